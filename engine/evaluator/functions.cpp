// Functions a caller adds to one evaluator. Everything goes through the
// public tables, as if the caller had edited them (the callables themselves
// beside them), so the lookups and the compiled programs derived from them
// follow.
#include <limits>
#include <stdexcept>
#include <unordered_set>

#include "evaluator.h"
#include "prepared.h"
#include "standard.h"

using namespace velmoratrix;

double velmoratrix::callableUnary(double) {
    return std::numeric_limits<double>::quiet_NaN();
}

long double velmoratrix::callableBinary(long double, long double) {
    return std::numeric_limits<long double>::quiet_NaN();
}

namespace {

void refuseUncallable(const Lookups& lookups, const std::string& name) {
    auto refuse = [&](const char* why) {
        throw std::invalid_argument("'" + name + "' cannot name a function: " + why);
    };
    if (name.empty()) refuse("the name is empty");
    const std::int32_t known = lookups.lookup(name);
    if (known >= 0 && (lookups.names[known].isOperator || lookups.names[known].isSeparator))
        refuse("it is an operator or separator symbol");
    for (char c : name)
        if (lookups.delimiter[static_cast<unsigned char>(c)] != Ordinary)
            refuse("it holds a character that splits tokens");
    double value;
    std::size_t consumed = 0;
    if (readNumber(name, value, &consumed) != Ending::NotANumber && consumed == name.size())
        refuse("it reads as a number");
}

// What every added function needs: no callable left under the name from
// before, no deletion of a syntax's own function of that name, its argument
// count, and the name listed.
void claim(MathEvaluator& m, const Lookups& lookups, OwnFunctions& own, const std::string& name,
           int arguments) {
    refuseUncallable(lookups, name);
    own.forgetCallables(name);
    own.withdrawn.erase(name);
    m.argumentCounts[name] = arguments;
    if (!m.functionNames.inList(name)) m.functionNames.append(name);
}

} // namespace

void MathEvaluator::appendFunction(std::string name, UnaryFunction function) {
    Entry call(*this);
    refuseWhileRunning("appendFunction");
    claim(*this, prepared().lookups, *functions_, name, 1);
    binaryFunctions.erase(name);
    unaryFunctions[name] = function;
}

void MathEvaluator::appendFunction(std::string name, BinaryFunction function) {
    Entry call(*this);
    refuseWhileRunning("appendFunction");
    claim(*this, prepared().lookups, *functions_, name, 2);
    unaryFunctions.erase(name);
    binaryFunctions[name] = function;
}

namespace {

// An empty function object would throw std::bad_function_call at every run.
template <typename F> void refuseEmpty(const std::string& name, const F& function) {
    if (!function)
        throw std::invalid_argument("'" + name + "' cannot name a function: the callable is empty");
}

} // namespace

void MathEvaluator::appendCallable(std::string name, UnaryCallable function) {
    Entry call(*this);
    refuseEmpty(name, function);
    appendFunction(name, callableUnary);
    functions_->unary[name] = std::move(function);
}

void MathEvaluator::appendCallable(std::string name, BinaryCallable function) {
    Entry call(*this);
    refuseEmpty(name, function);
    appendFunction(name, callableBinary);
    functions_->binary[name] = std::move(function);
}

void MathEvaluator::appendCallable(std::string name, NaryCallable function, int arguments) {
    Entry call(*this);
    refuseEmpty(name, function);
    if (arguments < 0 || arguments > kMostArguments)
        throw std::invalid_argument("'" + name + "' cannot take " + std::to_string(arguments) +
                                    " arguments: a function takes 0 to " +
                                    std::to_string(kMostArguments));
    if (arguments == 1) return appendCallable(name, UnaryCallable(NaryOfOne{std::move(function)}));
    if (arguments == 2)
        return appendCallable(
            name, BinaryCallable([f = std::move(function)](long double l, long double r) {
                const double pair[2] = {static_cast<double>(l), static_cast<double>(r)};
                return static_cast<long double>(f(pair, 2));
            }));
    refuseWhileRunning("appendCallable");
    claim(*this, prepared().lookups, *functions_, name, arguments);
    unaryFunctions.erase(name);
    binaryFunctions.erase(name);
    functions_->nary[name] = {std::move(function), arguments};
}

void MathEvaluator::appendCallable(std::string name, NaryCallable function, BlockCallable block,
                                   int arguments) {
    Entry call(*this);
    refuseEmpty(name, block);
    appendCallable(name, std::move(function), arguments);
    functions_->block[name] = std::move(block);
    ++argumentCounts.edits; // derived again, with the block
}

void MathEvaluator::deleteFunction(const std::string& name) {
    Entry call(*this);
    refuseWhileRunning("deleteFunction");
    for (long i = functionNames.indexOf(name); i >= 0; i = functionNames.indexOf(name))
        functionNames.remove(static_cast<unsigned>(i));
    unaryFunctions.erase(name);
    binaryFunctions.erase(name);
    argumentCounts.erase(name);
    functions_->forgetCallables(name);
    if (languageOf(Syntax::Standard).function(name)) functions_->withdrawn.insert(name);
    ++argumentCounts.edits; // derived again, without the name
}

std::vector<std::string> MathEvaluator::withdrawnFunctions() const {
    return {functions_->withdrawn.begin(), functions_->withdrawn.end()};
}

// Read from the tables themselves, so that it derives nothing (a function
// being run may call it).
std::vector<std::string> MathEvaluator::functions() {
    Entry call(*this);
    std::vector<std::string> names;
    std::unordered_set<std::string_view> listed; // the list's own texts, which stay put
    for (const ListNode<std::string>* n = functionNames.empty() ? nullptr : functionNames.head; n;
         n = n->next)
        if (n->value) names.push_back(*n->value), listed.insert(*n->value);
    for (const BuiltinFunction& f : languageOf(syntax).functions())
        if (!listed.count(f.name) && !functions_->withdrawn.count(f.name))
            names.emplace_back(f.name);
    return names;
}

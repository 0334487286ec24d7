// Functions a caller adds to one evaluator. Everything goes through the
// public tables, as if the caller had edited them, so the lookups and the
// compiled programs derived from them follow.
#include <limits>
#include <stdexcept>

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

void refuseUncallable(const Language& language, const std::string& name) {
    auto refuse = [&](const char* why) {
        throw std::invalid_argument("'" + name + "' cannot name a function: " + why);
    };
    if (name.empty()) refuse("the name is empty");
    const std::int32_t known = language.lookup(name);
    if (known >= 0 && (language.names[known].isOperator || language.names[known].isSeparator))
        refuse("it is an operator or separator symbol");
    for (char c : name)
        if (language.delimiter[static_cast<unsigned char>(c)] != Ordinary)
            refuse("it holds a character that splits tokens");
    double value;
    std::size_t consumed = 0;
    if (readNumber(name, value, &consumed) != Ending::NotANumber && consumed == name.size())
        refuse("it reads as a number");
}

// What every added function needs: no callable left under the name from
// before, its argument count, and the name listed.
void claim(MathEvaluator& m, Language& language, const std::string& name, int arguments) {
    refuseUncallable(language, name);
    language.unaryCallables.erase(name);
    language.binaryCallables.erase(name);
    language.naryCallables.erase(name);
    language.blockCallables.erase(name);
    m.argumentCounts[name] = arguments;
    if (!m.functionNames.inList(name)) m.functionNames.append(name);
}

} // namespace

void MathEvaluator::appendFunction(std::string name, UnaryFunction function) {
    Entry call(*this);
    refuseWhileRunning("appendFunction");
    claim(*this, prepared().language, name, 1);
    binaryFunctions.erase(name);
    unaryFunctions[name] = function;
}

void MathEvaluator::appendFunction(std::string name, BinaryFunction function) {
    Entry call(*this);
    refuseWhileRunning("appendFunction");
    claim(*this, prepared().language, name, 2);
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
    prepared_->language.unaryCallables[name] = std::move(function);
}

void MathEvaluator::appendCallable(std::string name, BinaryCallable function) {
    Entry call(*this);
    refuseEmpty(name, function);
    appendFunction(name, callableBinary);
    prepared_->language.binaryCallables[name] = std::move(function);
}

void MathEvaluator::appendCallable(std::string name, NaryCallable function, int arguments) {
    Entry call(*this);
    refuseEmpty(name, function);
    if (arguments < 0 || arguments > kMostArguments)
        throw std::invalid_argument("'" + name + "' cannot take " + std::to_string(arguments) +
                                    " arguments: a function takes 0 to " +
                                    std::to_string(kMostArguments));
    if (arguments == 1)
        return appendCallable(
            name, UnaryCallable([f = std::move(function)](double x) { return f(&x, 1); }));
    if (arguments == 2)
        return appendCallable(
            name, BinaryCallable([f = std::move(function)](long double l, long double r) {
                const double pair[2] = {static_cast<double>(l), static_cast<double>(r)};
                return static_cast<long double>(f(pair, 2));
            }));
    refuseWhileRunning("appendCallable");
    Language& language = prepared().language;
    claim(*this, language, name, arguments);
    unaryFunctions.erase(name);
    binaryFunctions.erase(name);
    language.naryCallables[name] = {std::move(function), arguments};
}

void MathEvaluator::appendCallable(std::string name, NaryCallable function, BlockCallable block,
                                   int arguments) {
    Entry call(*this);
    refuseEmpty(name, block);
    appendCallable(name, std::move(function), arguments);
    prepared_->language.blockCallables[name] = std::move(block);
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
    prepared_->language.unaryCallables.erase(name);
    prepared_->language.binaryCallables.erase(name);
    prepared_->language.naryCallables.erase(name);
    prepared_->language.blockCallables.erase(name);
}

// The standard syntax's functions stand in the tables while it is followed.
void MathEvaluator::followSyntax() {
    Entry call(*this);
    Prepared& p = *prepared_;
    auto entry = [](const auto& map, const std::string& name) {
        const auto found = map.find(name);
        return found == map.end() ? std::nullopt : std::optional(found->second);
    };
    if (syntax == Syntax::Standard) {
        for (const StandardFunction& f : kStandardFunctions) {
            if (functionNames.inList(f.name)) continue; // a caller's own stays
            p.standardAdded.push_back({&f, entry(std::as_const(unaryFunctions), f.name),
                                       entry(std::as_const(binaryFunctions), f.name),
                                       entry(std::as_const(argumentCounts), f.name)});
            if (f.unary)
                appendFunction(f.name, f.unary);
            else
                appendFunction(f.name, f.binary);
        }
    } else {
        // Only what still holds the routine added here goes: a caller may
        // have put a function of their own under the name since. The
        // entries the name had before come back.
        for (const Prepared::Added& added : p.standardAdded) {
            const StandardFunction& f = *added.function;
            const auto u = entry(std::as_const(unaryFunctions), f.name);
            const auto b = entry(std::as_const(binaryFunctions), f.name);
            if (f.unary ? u != f.unary : b != f.binary) continue;
            deleteFunction(f.name);
            if (added.unary) unaryFunctions[f.name] = *added.unary;
            if (added.binary) binaryFunctions[f.name] = *added.binary;
            if (added.arguments) argumentCounts[f.name] = *added.arguments;
        }
        p.standardAdded.clear();
    }
    p.syntax = syntax;
}

// Functions a caller adds to one evaluator. Everything goes through the
// public tables, as if the caller had edited them, so the lookups and the
// compiled programs derived from them follow.
#include <limits>

#include "evaluator.h"
#include "prepared.h"

double callableUnary(double) {
    return std::numeric_limits<double>::quiet_NaN();
}

long double callableBinary(long double, long double) {
    return std::numeric_limits<long double>::quiet_NaN();
}

namespace {

// What every added function needs: no callable left under the name from
// before, its argument count, and the name listed.
void claim(MathEvaluator& m, Language& language, const std::string& name, int arguments) {
    language.unaryCallables.erase(name);
    language.binaryCallables.erase(name);
    m.argumentCounts[name] = arguments;
    if (!m.functionNames.inList(name)) m.functionNames.append(name);
}

} // namespace

void MathEvaluator::appendFunction(std::string name, UnaryFunction function) {
    claim(*this, prepared_->language, name, 1);
    binaryFunctions.erase(name);
    unaryFunctions[name] = function;
}

void MathEvaluator::appendFunction(std::string name, BinaryFunction function) {
    claim(*this, prepared_->language, name, 2);
    unaryFunctions.erase(name);
    binaryFunctions[name] = function;
}

void MathEvaluator::appendCallable(std::string name, UnaryCallable function) {
    appendFunction(name, callableUnary);
    prepared_->language.unaryCallables[name] = std::move(function);
}

void MathEvaluator::appendCallable(std::string name, BinaryCallable function) {
    appendFunction(name, callableBinary);
    prepared_->language.binaryCallables[name] = std::move(function);
}

void MathEvaluator::deleteFunction(const std::string& name) {
    for (long i = functionNames.indexOf(name); i >= 0; i = functionNames.indexOf(name))
        functionNames.remove(static_cast<unsigned>(i));
    unaryFunctions.erase(name);
    binaryFunctions.erase(name);
    argumentCounts.erase(name);
    prepared_->language.unaryCallables.erase(name);
    prepared_->language.binaryCallables.erase(name);
}

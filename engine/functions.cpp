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

void listName(List<std::string>& names, const std::string& name) {
    if (!names.inList(name)) names.append(name);
}

} // namespace

void MathEvaluator::appendFunction(std::string name, UnaryFunction function) {
    Language& language = prepared_->language;
    language.unaryCallables.erase(name);
    language.binaryCallables.erase(name);
    binaryFunctions.erase(name);
    unaryFunctions[name] = function;
    argumentCounts[name] = 1;
    listName(functionNames, name);
}

void MathEvaluator::appendFunction(std::string name, BinaryFunction function) {
    Language& language = prepared_->language;
    language.unaryCallables.erase(name);
    language.binaryCallables.erase(name);
    unaryFunctions.erase(name);
    binaryFunctions[name] = function;
    argumentCounts[name] = 2;
    listName(functionNames, name);
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

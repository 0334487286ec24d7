// Variables are bound by address: the engine reads the caller's double at
// every evaluation that uses the name and never owns it.
#include "evaluator.h"

void MathEvaluator::appendVariable(std::string name, double& value) {
    externalVariables[name] = &value;
    if (!variableNames.inList(name)) variableNames.append(name);
}

void MathEvaluator::deleteVariable(std::string name) {
    externalVariables.erase(name);
    const long index = variableNames.indexOf(name);
    if (index >= 0) variableNames.remove(static_cast<unsigned>(index));
}

std::map<std::string, double*> MathEvaluator::getExternalVariables() {
    return externalVariables;
}

#include "py_evaluator.h"

#include <memory>

py_Evaluator::py_Evaluator(bool accuracyOverEfficiency) : MathEvaluator(accuracyOverEfficiency) {}

py_Evaluator::~py_Evaluator() {
    for (auto& entry : externalVariables)
        if (ownsCell(entry.second)) delete entry.second;
}

void py_Evaluator::_appendVariable(std::string name, double value) {
    const auto found = externalVariables.find(name);
    double* replaced = found == externalVariables.end() ? nullptr : found->second;
    auto cell = std::make_unique<double>(value);
    try {
        appendVariable(name, *cell);
    } catch (...) {
        // Once the table holds the new cell, it is registered and ours to keep.
        const auto now = externalVariables.find(name);
        if (now == externalVariables.end() || now->second != cell.get()) throw;
        cell.release();
        if (ownsCell(replaced)) delete replaced;
        throw;
    }
    cell.release();
    if (ownsCell(replaced)) delete replaced; // a repeated name replaces its cell
}

void py_Evaluator::_deleteVariable(std::string name) {
    const auto found = externalVariables.find(name);
    // "pi" and "e" may still designate the engine's own cells: not ours to free.
    if (found != externalVariables.end() && ownsCell(found->second)) delete found->second;
    deleteVariable(std::move(name));
}

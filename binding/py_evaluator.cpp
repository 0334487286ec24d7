#include "py_evaluator.h"

#include <memory>

py_Evaluator::py_Evaluator(bool accuracyOverEfficiency) : MathEvaluator(accuracyOverEfficiency) {}

py_Evaluator::~py_Evaluator() {
    for (const double* cell : cells_) delete cell;
}

void py_Evaluator::_appendVariable(std::string name, double value) {
    const auto found = std::as_const(externalVariables).find(name);
    double* replaced = found == externalVariables.cend() ? nullptr : found->second;
    if (replaced && cells_.count(replaced) && isVariable(name)) {
        *replaced = value; // our own cell, still registered: a new value is all it takes
        return;
    }
    auto cell = std::make_unique<double>(value);
    cells_.insert(cell.get());
    try {
        appendVariable(name, *cell);
    } catch (...) {
        // Once the table holds the new cell, it is registered and ours to keep.
        const auto now = std::as_const(externalVariables).find(name);
        if (now == externalVariables.cend() || now->second != cell.get()) {
            cells_.erase(cell.get());
            throw;
        }
        cell.release();
        if (cells_.erase(replaced)) delete replaced;
        throw;
    }
    cell.release();
    if (cells_.erase(replaced)) delete replaced; // a repeated name replaces its cell
}

void py_Evaluator::_deleteVariable(std::string name) {
    const auto found = std::as_const(externalVariables).find(name);
    // Only cells made here are released: "pi" and "e" may still designate the
    // engine's own, and a C++ caller may have bound a double of its own.
    if (found != externalVariables.cend() && cells_.erase(found->second)) delete found->second;
    deleteVariable(std::move(name));
}

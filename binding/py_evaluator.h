// The engine as the host sees it: an evaluator that owns one value cell per
// variable the host registers. It adds no data: a cell is ours exactly when
// it is not one of the engine's own constant cells.
#pragma once

#include <string>

#include "evaluator.h"

class py_Evaluator : public MathEvaluator {
public:
    explicit py_Evaluator(bool accuracyOverEfficiency);
    // Releases every cell still registered.
    ~py_Evaluator();

    void _appendVariable(std::string name, double value);
    void _deleteVariable(std::string name);

private:
    bool ownsCell(const double* cell) const { return cell && cell != &piValue && cell != &eValue; }
};

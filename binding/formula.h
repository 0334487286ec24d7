// Evaluator.prepare and its Formula: a text compiled once, evaluated again
// and again without being looked up, under its evaluator's lock.
#pragma once

#include <vector>

#include "calls.h"

struct py_Formula {
    py::object evaluator; // kept alive: the formula runs on it
    py::str text;
    velmoratrix::Formula formula;
};
using FormulaSelf = Constructed<py_Formula>;

py_Formula prepare(Self self, const py::str& expression);
double formulaEval(FormulaSelf self, py::object values);
py::object formulaEvalMany(FormulaSelf self, py::object values, py::object out, py::object threads,
                           py::object dtype);
std::vector<py::str> formulaNames(FormulaSelf self);
// Pickled as its evaluator and its text; restored by preparing the text anew.
py::tuple formulaState(FormulaSelf self);
py_Formula restoreFormula(const py::tuple& saved);

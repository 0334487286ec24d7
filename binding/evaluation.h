// Evaluating texts: one value (eval, evaluate, eval_with) or one per row of
// columns of data (eval_many).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "calls.h"

double eval(Self self, std::string text);
double evaluateText(std::string text);
// values maps names to floats bound for this call only.
double evalWith(Self self, std::string text, py::object values);
py::object evalMany(Self self, std::string text, py::object values, py::object out,
                    py::object threads);
// eval_many's columns in, results out (a new array, or `out`): `run` gets
// the columns and where to write, under the evaluator's lock, without the
// GIL.
using RowsRun = std::function<void(const std::vector<velmoratrix::Column>&, std::size_t, double*,
                                   std::ptrdiff_t)>;
py::object evalRows(py_Evaluator& evaluator, const std::string& text, py::object values,
                    py::object out, const RowsRun& run);
// threads=None or a count of at least 1 (call names the method in errors).
std::size_t threadCount(const char* call, const py::object& threads);
// The module's thread count for eval_many: set returns the previous one.
std::size_t setNumThreads(long threads);
std::size_t getNumThreads();

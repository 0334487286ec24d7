// Evaluator.compile and its Compiled: a text resolved once, run by any
// number of Python threads at once without the GIL or the evaluator's lock.
#pragma once

#include <string>
#include <vector>

#include "calls.h"

struct py_Compiled {
    // Kept alive for the Python functions the text calls, which belong to it.
    py::object evaluator;
    py::str text;
    velmoratrix::Compiled compiled;
};

py_Compiled compileText(Self self, const py::str& expression,
                        const std::vector<std::string>& names);
double compiledEval(const py_Compiled& self, const py::args& values);
py::object compiledEvalMany(const py_Compiled& self, py::object values, py::object out,
                            py::object threads, py::object dtype);
void registerCompiled(py::module_& m);

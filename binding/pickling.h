// Pickling and copying an Evaluator: its flag, variables, function names and
// host functions.
#pragma once

#include "calls.h"

py::tuple state(Self self);
py_Evaluator* restore(const py::tuple& saved);

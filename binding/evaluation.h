// Evaluating texts: one value (eval, evaluate, eval_with) or one per row of
// columns of data (eval_many).
#pragma once

#include <string>

#include "calls.h"

long double eval(Self self, std::string text);
long double evaluateText(std::string text);
// values maps names to floats bound for this call only.
double evalWith(Self self, std::string text, py::object values);
py::object evalMany(Self self, std::string text, py::object values, py::object out);

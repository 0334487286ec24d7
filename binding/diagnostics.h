// check, names and explain for the host: texts as str, positions and lengths
// in characters of the str.
#pragma once

#include <vector>

#include "calls.h"

// The module's Problem type, which check returns a list of; set once, at
// import.
void setProblemType(py::handle type);
py::list checkText(Self self, const py::str& expression, const py::object& names);
py::list checkDefault(const py::str& expression, const py::object& names);
std::vector<py::str> namesOf(Self self, const py::str& expression);
// Names of a text as str (bytes that are no UTF-8 as Python decodes them).
std::vector<py::str> inCharacters(const std::vector<std::string>& names);
py::dict explainText(Self self, const py::str& expression);

// Velmoratrix.ExpressionError, a ValueError with .problems, .position and
// .text (in characters), made and registered once, at import.
void registerExpressionError(py::module_& m);

// The most stack values explain lists over all its steps.
constexpr std::size_t kExplainedValues = 1000000;

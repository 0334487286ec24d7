// An Evaluator's variables as the host sees them.
#pragma once

#include <map>
#include <string>

#include "calls.h"

// What a variable's cell held when it was read: a float, or None when the
// name has no cell.
struct Reading {
    bool present;
    double value;
};

namespace pybind11::detail {
template <> struct type_caster<Reading> {
    PYBIND11_TYPE_CASTER(Reading, const_name("float"));
    bool load(handle, bool) { return false; }
    static handle cast(const Reading& r, return_value_policy, handle) {
        return r.present ? PyFloat_FromDouble(r.value) : none().release().ptr();
    }
};
} // namespace pybind11::detail

void appendVariable(Self self, std::string name, double value);
void deleteVariable(Self self, std::string name);
std::map<std::string, Reading> variables(Self self);

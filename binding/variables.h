// An Evaluator's variables as the host sees them.
#pragma once

#include <pybind11/stl.h>

#include <map>
#include <string>

#include "calls.h"

// What a variable's cell held when it was read: a float, or None when the
// name has no cell.
struct Reading {
    bool present;
    double value;
};

// What variables() returns: a dict in key order, shown in signatures as
// "Dict[str, float]" whatever pybind11's own spelling of the day.
struct Listing {
    std::map<std::string, Reading> entries;
};

namespace pybind11::detail {
template <> struct type_caster<Reading> {
    PYBIND11_TYPE_CASTER(Reading, const_name("float"));
    bool load(handle, bool) { return false; }
    static handle cast(const Reading& r, return_value_policy, handle) {
        return r.present ? PyFloat_FromDouble(r.value) : none().release().ptr();
    }
};
template <> struct type_caster<Listing> {
    PYBIND11_TYPE_CASTER(Listing, const_name("Dict[str, float]"));
    bool load(handle, bool) { return false; }
    static handle cast(const Listing& listing, return_value_policy policy, handle parent) {
        return make_caster<std::map<std::string, Reading>>::cast(listing.entries, policy, parent);
    }
};
} // namespace pybind11::detail

// The syntax as the host names it, "classic" or "standard".
std::string syntaxOf(Self self);
void setSyntax(Self self, const std::string& name);
// How many compiled texts the evaluator keeps.
std::size_t cacheSizeOf(Self self);
void setCacheSize(Self self, long texts);
void appendVariable(Self self, std::string name, double value);
void deleteVariable(Self self, std::string name);
Listing variables(Self self);

#include "variables.h"

#include <pybind11/stl.h>

std::string syntaxOf(Self self) {
    Hold hold(*self.object);
    return self->syntax == velmoratrix::Syntax::Standard ? "standard" : "classic";
}

void setSyntax(Self self, const std::string& name) {
    if (name != "classic" && name != "standard")
        throw py::value_error("syntax must be \"classic\" or \"standard\", not '" + name + "'");
    Hold hold(*self.object);
    self->syntax =
        name == "standard" ? velmoratrix::Syntax::Standard : velmoratrix::Syntax::Classic;
}

std::size_t cacheSizeOf(Self self) {
    Hold hold(*self.object);
    return self->cacheSize();
}

void setCacheSize(Self self, long texts) {
    if (texts < 1) throw py::value_error("cache_size must be at least 1");
    Hold hold(*self.object);
    self->setCacheSize(static_cast<std::size_t>(texts));
}

void appendVariable(Self self, std::string name, double value) {
    Hold hold(*self.object);
    self->_appendVariable(std::move(name), value);
}

void deleteVariable(Self self, std::string name) {
    Hold hold(*self.object);
    self->_deleteVariable(std::move(name));
}

// The values are read before any Python object is made: making the dict may
// run a finalizer that changes or deletes the very variables being listed.
Listing variables(Self self) {
    Listing snapshot;
    {
        Hold hold(*self.object);
        for (const auto& [name, cell] : std::as_const(self->externalVariables))
            snapshot.entries.emplace_hint(snapshot.entries.end(), name,
                                          Reading{cell != nullptr, cell ? *cell : 0.0});
    }
    return snapshot;
}

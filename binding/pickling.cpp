#include "pickling.h"

#include <pybind11/stl.h>

#include <set>

#include "functions.h"
#include "variables.h"

// Pickled state: the flag, every entry of the variable table (name, value
// or None), the names that resolve in the order they were registered, the
// function names, the host functions with their argument counts, the
// syntax, and a dict of the rest: the cache's size and the syntaxes' own
// functions deleted. Read under the lock, made into Python objects after it.
py::tuple state(Self self) {
    bool flag, standard;
    std::size_t cacheSize;
    std::vector<std::pair<std::string, Reading>> entries;
    std::vector<std::string> registered, functionNames, withdrawn;
    std::vector<std::pair<std::string, std::shared_ptr<HostFunction>>> hosts;
    {
        Hold hold(*self.object);
        flag = self->accuracyOverEfficiency;
        standard = self->syntax == velmoratrix::Syntax::Standard;
        for (const auto& [name, cell] : std::as_const(self->externalVariables))
            entries.push_back({name, Reading{cell != nullptr, cell ? *cell : 0.0}});
        registered = namesIn(self->variableNames);
        functionNames = namesIn(self->functionNames);
        withdrawn = self->withdrawnFunctions();
        cacheSize = self->cacheSize();
        hosts.assign(self->hostFunctions.begin(), self->hostFunctions.end());
    }
    py::list savedEntries, savedRegistered, savedFunctions, savedHosts, savedWithdrawn;
    for (const auto& [name, reading] : entries)
        savedEntries.append(py::make_tuple(py::bytes(name), py::cast(reading)));
    for (const std::string& name : registered) savedRegistered.append(py::bytes(name));
    for (const std::string& name : functionNames) savedFunctions.append(py::bytes(name));
    for (const std::string& name : withdrawn) savedWithdrawn.append(py::bytes(name));
    for (const auto& [name, host] : hosts) // a vectorized one with True after its count
        savedHosts.append(
            host->vectorized
                ? py::make_tuple(py::bytes(name), host->function, host->arguments, true)
                : py::make_tuple(py::bytes(name), host->function, host->arguments));
    py::dict rest;
    rest["cache_size"] = cacheSize;
    rest["deleted"] = savedWithdrawn;
    return py::make_tuple(flag, savedEntries, savedRegistered, savedFunctions, savedHosts,
                          standard ? "standard" : "classic", rest);
}

py_Evaluator* restore(const py::tuple& saved) {
    // Five items before the syntax was saved (those read as classic), six
    // before the rest.
    if (saved.size() < 5 || saved.size() > 7)
        throw std::runtime_error("Evaluator: invalid pickled state");
    auto evaluator = std::make_unique<py_Evaluator>(saved[0].cast<bool>());
    std::map<std::string, py::object> values;
    for (py::handle entry : saved[1].cast<py::list>()) {
        const py::tuple pair = entry.cast<py::tuple>();
        values[pair[0].cast<std::string>()] = pair[1].cast<py::object>();
    }
    // pi and e keep the engine's own cells unless they were deleted.
    for (const char* constant : {"pi", "e"})
        if (!values.count(constant)) evaluator->_deleteVariable(constant);
    for (py::handle name : saved[2].cast<py::list>()) {
        const auto found = values.find(name.cast<std::string>());
        if (found != values.end() && !found->second.is_none())
            evaluator->_appendVariable(found->first, found->second.cast<double>());
    }
    std::vector<std::string> order;
    for (py::handle name : saved[3].cast<py::list>()) order.push_back(name.cast<std::string>());
    const std::set<std::string> functionNames(order.begin(), order.end());
    for (const std::string& name : namesIn(evaluator->functionNames))
        if (!functionNames.count(name)) evaluator->deleteFunction(name);
    Self self{evaluator.get()};
    for (py::handle host : saved[4].cast<py::list>()) {
        const py::tuple entry = host.cast<py::tuple>();
        appendHostFunction(self, entry[0].cast<std::string>(), entry[1].cast<py::object>(),
                           entry[2].cast<int>(), entry.size() > 3 && entry[3].cast<bool>());
    }
    // The functions listed in the order saved (messages name them so), then
    // any other.
    const std::vector<std::string> present = namesIn(evaluator->functionNames);
    std::set<std::string> unlisted(present.begin(), present.end());
    std::vector<std::string> listed;
    for (const std::string& name : order)
        if (unlisted.erase(name)) listed.push_back(name);
    for (const std::string& name : present)
        if (unlisted.count(name)) listed.push_back(name);
    evaluator->functionNames.freeAll();
    for (const std::string& name : listed) evaluator->functionNames.append(name);
    if (saved.size() >= 6 && saved[5].cast<std::string>() == "standard")
        evaluator->syntax = velmoratrix::Syntax::Standard;
    if (saved.size() == 7) {
        const py::dict rest = saved[6].cast<py::dict>();
        if (rest.contains("cache_size"))
            evaluator->setCacheSize(rest["cache_size"].cast<std::size_t>());
        if (rest.contains("deleted"))
            for (py::handle name : rest["deleted"].cast<py::list>())
                evaluator->deleteFunction(name.cast<std::string>());
    }
    return evaluator.release();
}

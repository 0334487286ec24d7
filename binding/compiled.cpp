#include "compiled.h"

#include <pybind11/stl.h>

#include <string_view>
#include <unordered_map>

#include "environment.h"
#include "evaluation.h"

using velmoratrix::Column;
using velmoratrix::Output;

py_Compiled compileText(Self self, const py::str& expression,
                        const std::vector<std::string>& names) {
    py::object evaluator = py::cast(self.object, py::return_value_policy::reference);
    Hold hold(*self.object);
    velmoratrix::Compiled compiled = self->compile(std::string(expression), names);
    return py_Compiled{std::move(evaluator), expression, std::move(compiled)};
}

double compiledEval(const py_Compiled& self, const py::args& values) {
    const std::vector<std::string>& names = self.compiled.names();
    if (values.size() != names.size())
        throw py::type_error("Compiled.eval: " + std::to_string(values.size()) + " values for " +
                             std::to_string(names.size()) + " names");
    double few[8];
    std::vector<double> many(names.size() > 8 ? names.size() : 0);
    double* given = many.empty() ? few : many.data();
    for (std::size_t k = 0; k < names.size(); ++k) given[k] = toDouble(values[k]);
    long double value = 0;
    withoutGil([&] { value = self.compiled.value(given); });
    return velmoratrix::EngineX87::rounded(value);
}

py::object compiledEvalMany(const py_Compiled& self, py::object values, py::object out,
                            py::object threads, py::object dtype) {
    const std::size_t count = threadCount("eval_many", threads);
    const std::vector<std::string>& names = self.compiled.names();
    // A sequence of columns stands in the names' order.
    if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr())) {
        const py::sequence columns = values;
        if (columns.size() != names.size())
            throw py::value_error("Compiled.eval_many: " + std::to_string(columns.size()) +
                                  " columns for " + std::to_string(names.size()) + " names");
        py::dict byName;
        for (std::size_t k = 0; k < names.size(); ++k)
            if (!byName.contains(names[k])) byName[py::str(names[k])] = columns[k];
        values = byName;
    }
    return unlockedRows(
        names, self.compiled.isCondition(), std::move(values), std::move(out), std::move(dtype),
        [&](const std::vector<Column>& columns, std::size_t n, const Output& to) {
            std::unordered_map<std::string_view, const Column*> byName;
            for (const Column& c : columns) byName[c.name] = &c;
            std::vector<Column> ordered;
            ordered.reserve(names.size());
            for (const std::string& name : names) {
                const auto found = byName.find(name);
                if (found == byName.end())
                    throw std::invalid_argument("Compiled.eval_many: no column " + name);
                ordered.push_back(*found->second);
            }
            self.compiled.values(ordered, n, to, count);
        });
}

void registerCompiled(py::module_& m) {
    py::class_<py_Compiled>(m, "Compiled",
                            "A text compiled by Evaluator.compile: any number of threads may\n"
                            "call it at once, each without the GIL.")
        .def("eval", &compiledEval,
             "The value for the values given in the order of names, as Formula.eval\n"
             "gives it with those values bound.")
        .def("eval_many", &compiledEvalMany, py::arg("columns"), py::arg("out") = py::none(),
             py::arg("threads") = py::none(), py::arg("dtype") = py::none(),
             "The rows, as Formula.eval_many gives them; columns is a mapping or frame\n"
             "holding the names, or a list of columns in their order.")
        .def_property_readonly(
            "names", [](const py_Compiled& self) { return self.compiled.names(); },
            "The names, in the order eval takes their values.")
        .def_property_readonly(
            "text", [](const py_Compiled& self) { return self.text; }, "The text, as compiled.")
        .def("__repr__", [](const py_Compiled& self) {
            return "Compiled(" + std::string(py::repr(self.text)) + ", " +
                   std::string(py::repr(py::cast(self.compiled.names()))) + ")";
        });
}

// The Velmoratrix module: declares what the host sees and forwards to the
// engine. Conversions, signatures and exception translation are pybind11's.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "py_evaluator.h"

namespace py = pybind11;

PYBIND11_MODULE(Velmoratrix, m) {
    py::class_<me_RPN>(m, "mp_RPN")
        .def_readwrite("RPN", &me_RPN::RPN)
        .def_readwrite("RPN_values", &me_RPN::RPN_values);

    m.def("evaluate", &evaluate);

    py::class_<py_Evaluator>(m, "Evaluator")
        .def(py::init<bool>(), py::arg("accuracyOverEfficiency") = false)
        .def("append_variable", &py_Evaluator::_appendVariable)
        .def("delete_variable", &py_Evaluator::_deleteVariable)
        .def("variables", &MathEvaluator::getExternalVariables)
        .def("eval", &MathEvaluator::eval);
}

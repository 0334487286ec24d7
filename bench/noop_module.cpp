// The floor of any host call: a pybind11 function and method that take one
// str and return a float, doing nothing else.
#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

namespace {
struct Noop {
    double call(std::string) { return 0.0; }
};
double noop(std::string) {
    return 0.0;
}
} // namespace

PYBIND11_MODULE(velmo_noop, m) {
    m.def("noop", &noop);
    py::class_<Noop>(m, "Noop").def(py::init<>()).def("call", &Noop::call);
}

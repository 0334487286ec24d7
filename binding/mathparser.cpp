// The Velmoratrix module: declares what the host sees and forwards to the
// engine. Conversions, signatures and exception translation are pybind11's;
// the two casters below only add checks the defaults lack.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "py_evaluator.h"

namespace py = pybind11;

namespace {

// `self` of a method: refused with TypeError when the object's __init__
// never ran (made by __new__ alone), where the default would call the
// method on unconstructed memory.
template <typename T> struct Constructed {
    T* object = nullptr;
    T* operator->() const { return object; }
};

// What a variable's cell held when it was read: a float, or None when the
// name has no cell.
struct Reading {
    bool present;
    double value;
};

} // namespace

namespace pybind11::detail {

template <typename T> struct type_caster<Constructed<T>> {
    static constexpr auto name = const_name<T>();
    Constructed<T> value;

    bool load(handle source, bool) {
        static const type_info* const type = get_type_info(typeid(T));
        if (!type || !PyObject_TypeCheck(source.ptr(), type->type)) return false;
        auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
        const value_and_holder slot = instance->get_value_and_holder(type, false);
        if (!slot || !slot.holder_constructed())
            throw type_error(std::string(Py_TYPE(source.ptr())->tp_name) +
                             " object is not initialized: its __init__ was never called");
        value.object = slot.value_ptr<T>();
        return true;
    }
    template <typename> using cast_op_type = Constructed<T>&;
    operator Constructed<T>&() { return value; }
};

template <> struct type_caster<Reading> {
    PYBIND11_TYPE_CASTER(Reading, const_name("float"));
    bool load(handle, bool) { return false; }
    static handle cast(const Reading& r, return_value_policy, handle) {
        return r.present ? PyFloat_FromDouble(r.value) : none().release().ptr();
    }
};

} // namespace pybind11::detail

namespace {

using Self = Constructed<py_Evaluator>;

// The values are read before any Python object is made: making the dict may
// run a finalizer that changes or deletes the very variables being listed.
std::map<std::string, Reading> variables(Self self) {
    std::map<std::string, Reading> snapshot;
    for (const auto& [name, cell] : std::as_const(self->externalVariables))
        snapshot.emplace_hint(snapshot.end(), name, Reading{cell != nullptr, cell ? *cell : 0.0});
    return snapshot;
}

} // namespace

PYBIND11_MODULE(Velmoratrix, m) {
    using Record = Constructed<me_RPN>;
    py::class_<me_RPN> record(m, "mp_RPN");
    auto method = [&record](auto&& f) { return py::cpp_function(f, py::is_method(record)); };
    record
        .def_property("RPN", method([](Record self) { return self->RPN; }),
                      method([](Record self, std::string rpn) { self->RPN = std::move(rpn); }))
        // Never touches the record: a read fails to convert, a write to match.
        .def_readwrite("RPN_values", &me_RPN::RPN_values);

    m.def("evaluate", &evaluate);

    py::class_<py_Evaluator>(m, "Evaluator")
        .def(py::init<bool>(), py::arg("accuracyOverEfficiency") = false)
        .def("append_variable", [](Self self, std::string name,
                                   double value) { self->_appendVariable(std::move(name), value); })
        .def("delete_variable",
             [](Self self, std::string name) { self->_deleteVariable(std::move(name)); })
        .def("variables", &variables)
        .def("eval", [](Self self, std::string text) { return self->eval(std::move(text)); });
}

#include "functions.h"

using namespace velmoratrix;

namespace {

PyObject* call(PyObject* function, double x) {
    return PyObject_CallFunction(function, "d", x);
}

PyObject* call(PyObject* function, double left, double right) {
    return PyObject_CallFunction(function, "dd", left, right);
}

PyObject* call(PyObject* function, const double* arguments, std::size_t count) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (!tuple) return nullptr;
    for (std::size_t k = 0; k < count; ++k) {
        PyObject* value = PyFloat_FromDouble(arguments[k]);
        if (!value) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(k), value);
    }
    PyObject* result = PyObject_Call(function, tuple, nullptr);
    Py_DECREF(tuple);
    return result;
}

// Called from the engine, with or without the interpreter lock (eval_many
// runs without it). The call itself holds no Python object of its own, so
// that it can end in the sleep of a thread past interpreter exit.
template <typename... Arguments> double callHost(const HostFunction& host, Arguments... arguments) {
    PyGILState_STATE gil{};
    double value = 0;
    bool failed = false;
    unlessEnded([&] {
        gil = PyGILState_Ensure();
        PyObject* result = call(host.function.ptr(), arguments...);
        failed = !result;
        if (result) {
            try { // float()'s TypeError for anything else, a complex number too
                value = toDouble(result);
            } catch (py::error_already_set& error) {
                error.restore();
                failed = true;
            }
            Py_DECREF(result);
        }
    });
    if (failed) {
        py::error_already_set error; // takes the Python error, under the lock
        PyGILState_Release(gil);
        throw error;
    }
    PyGILState_Release(gil);
    return value;
}

// The collector sees the callables an evaluator holds, and may drop them to
// break a cycle through one.
int visitFunctions(PyObject* self, visitproc visit, void* arg) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    const auto slot = instance->get_value_and_holder();
    if (slot && slot.holder_constructed())
        for (const auto& entry : slot.value_ptr<py_Evaluator>()->hostFunctions)
            Py_VISIT(entry.second->function.ptr());
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    return 0;
}

int dropFunctions(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    const auto slot = instance->get_value_and_holder();
    if (slot && slot.holder_constructed())
        for (const auto& entry : slot.value_ptr<py_Evaluator>()->hostFunctions)
            entry.second->function = py::none();
    return 0;
}

} // namespace

void appendHostFunction(Self self, std::string name, py::object function, int arguments) {
    if (arguments < 0 || arguments > kMostArguments)
        throw py::value_error("append_function: arguments must be 0 to " +
                              std::to_string(kMostArguments) + ", not " +
                              std::to_string(arguments));
    if (!PyCallable_Check(function.ptr()))
        throw py::type_error("append_function: function must be callable");
    auto host = std::make_shared<HostFunction>(HostFunction{std::move(function), arguments});
    Hold hold(*self.object);
    try {
        if (arguments == 1)
            self->appendCallable(name,
                                 UnaryCallable([host](double x) { return callHost(*host, x); }));
        else if (arguments == 2)
            self->appendCallable(name, BinaryCallable([host](long double l, long double r) {
                                     return static_cast<long double>(callHost(
                                         *host, static_cast<double>(l), static_cast<double>(r)));
                                 }));
        else // any other count: the standard syntax's
            self->appendCallable(name,
                                 NaryCallable([host](const double* values, std::size_t count) {
                                     return callHost(*host, values, count);
                                 }),
                                 arguments);
    } catch (const std::invalid_argument& refused) {
        throw py::value_error(std::string("append_function: ") + refused.what());
    }
    self->hostFunctions[name] = std::move(host);
}

void deleteHostFunction(Self self, const std::string& name) {
    Hold hold(*self.object);
    self->deleteFunction(name);
    self->hostFunctions.erase(name);
}

std::vector<std::string> namesIn(const List<std::string>& list) {
    std::vector<std::string> names;
    for (const ListNode<std::string>* n = list.empty() ? nullptr : list.head; n; n = n->next)
        if (n->value) names.push_back(*n->value);
    return names;
}

std::vector<std::string> functions(Self self) {
    Hold hold(*self.object);
    return namesIn(self->functionNames);
}

void takePartInCollection(PyHeapTypeObject* heapType) {
    PyTypeObject& type = heapType->ht_type;
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = visitFunctions;
    type.tp_clear = dropFunctions;
}

#include "functions.h"

#include <cstring>

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
        const InsideFunction inside(host.owner);
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

// A block of values as a new float64 array of its own (the function may keep
// it): numpy's where numpy can be imported, else array('d').
PyObject* newArray(const double* values, std::size_t count) {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) {
        PyErr_Clear();
        PyObject* module = PyImport_ImportModule("array");
        if (!module) return nullptr;
        PyObject* bytes = PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(values), static_cast<Py_ssize_t>(count * sizeof(double)));
        PyObject* array = bytes ? PyObject_CallMethod(module, "array", "sO", "d", bytes) : nullptr;
        Py_XDECREF(bytes);
        Py_DECREF(module);
        return array;
    }
    PyObject* array = PyObject_CallMethod(numpy, "empty", "n", static_cast<Py_ssize_t>(count));
    Py_DECREF(numpy);
    Py_buffer view;
    if (!array || PyObject_GetBuffer(array, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        Py_XDECREF(array);
        return nullptr;
    }
    if (count) std::memcpy(view.buf, values, count * sizeof(double));
    PyBuffer_Release(&view);
    return array;
}

bool isFloat64(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    return view.ndim == 1 && view.itemsize == 8 && std::strcmp(f, "d") == 0;
}

// A block's results: `count` floats from a float64 buffer or any sequence of
// numbers, else a Python error (naming the function) and false.
bool readResults(PyObject* result, const std::string& name, std::size_t count, double* out) {
    auto wrongLength = [&](Py_ssize_t n) {
        PyErr_Format(PyExc_ValueError, "'%s' returned %zd values for a block of %zu rows",
                     name.c_str(), n, count);
        return false;
    };
    Py_buffer view;
    if (PyObject_CheckBuffer(result) &&
        PyObject_GetBuffer(result, &view, PyBUF_FORMAT | PyBUF_STRIDES) == 0) {
        if (isFloat64(view)) {
            const bool fits = static_cast<std::size_t>(view.shape[0]) == count;
            if (fits && count > 0 && view.strides[0] == sizeof(double))
                std::memcpy(out, view.buf, count * sizeof(double));
            for (std::size_t j = 0; fits && view.strides[0] != sizeof(double) && j < count; ++j)
                std::memcpy(out + j, static_cast<char*>(view.buf) + j * view.strides[0],
                            sizeof(double));
            const Py_ssize_t n = view.shape[0];
            PyBuffer_Release(&view);
            return fits || wrongLength(n);
        }
        PyBuffer_Release(&view);
    }
    PyErr_Clear();
    PyObject* items = PySequence_Fast(result, "");
    if (!items) {
        PyErr_Format(PyExc_TypeError, "'%s' returned %s where a sequence of %zu floats should be",
                     name.c_str(), Py_TYPE(result)->tp_name, count);
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    bool ok = static_cast<std::size_t>(n) == count || wrongLength(n);
    for (std::size_t j = 0; ok && j < count; ++j) {
        PyObject* item = PySequence_Fast_GET_ITEM(items, static_cast<Py_ssize_t>(j));
        try {
            out[j] = toDouble(item);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
                error.restore();
            } else {
                const std::string why = py::str(error.value());
                PyErr_Format(PyExc_TypeError, "'%s' returned %s at index %zu, not a float: %s",
                             name.c_str(), Py_TYPE(item)->tp_name, j, why.c_str());
            }
            ok = false;
        }
    }
    Py_DECREF(items);
    return ok;
}

// A vectorized host function over a block of rows, called from any thread of
// eval_many, with or without the interpreter lock.
void callHostBlock(const HostFunction& host, const std::string& name,
                   const double* const* arguments, std::size_t count, double* out) {
    PyGILState_STATE gil{};
    bool failed = false;
    unlessEnded([&] {
        gil = PyGILState_Ensure();
        PyObject* tuple = PyTuple_New(host.arguments);
        failed = !tuple;
        for (int k = 0; !failed && k < host.arguments; ++k) {
            PyObject* array = newArray(arguments[k], count);
            failed = !array;
            if (array) PyTuple_SET_ITEM(tuple, k, array);
        }
        const InsideFunction inside(host.owner);
        PyObject* result = failed ? nullptr : PyObject_Call(host.function.ptr(), tuple, nullptr);
        Py_XDECREF(tuple);
        failed = !result || !readResults(result, name, count, out);
        Py_XDECREF(result);
    });
    if (failed) {
        py::error_already_set error; // takes the Python error, under the lock
        PyGILState_Release(gil);
        throw error;
    }
    PyGILState_Release(gil);
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

void appendHostFunction(Self self, std::string name, py::object function, int arguments,
                        bool vectorized) {
    if (arguments < 0 || arguments > kMostArguments)
        throw py::value_error("append_function: arguments must be 0 to " +
                              std::to_string(kMostArguments) + ", not " +
                              std::to_string(arguments));
    if (!PyCallable_Check(function.ptr()))
        throw py::type_error("append_function: function must be callable");
    if (vectorized && arguments == 0) // its arrays are how it knows a block's length
        throw py::value_error("append_function: a vectorized function takes at least one"
                              " argument; add one of no arguments without vectorized=True");
    auto host = std::make_shared<HostFunction>(
        HostFunction{std::move(function), arguments, vectorized, self.object});
    Hold hold(*self.object);
    try {
        if (vectorized)
            self->appendCallable(name,
                                 NaryCallable([host](const double* values, std::size_t count) {
                                     return count == 1   ? callHost(*host, values[0])
                                            : count == 2 ? callHost(*host, values[0], values[1])
                                                         : callHost(*host, values, count);
                                 }),
                                 BlockCallable([host, name](const double* const* values,
                                                            std::size_t count, double* out) {
                                     callHostBlock(*host, name, values, count, out);
                                 }),
                                 arguments);
        else if (arguments == 1)
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
    return self->functions();
}

void takePartInCollection(PyHeapTypeObject* heapType) {
    PyTypeObject& type = heapType->ht_type;
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = visitFunctions;
    type.tp_clear = dropFunctions;
}

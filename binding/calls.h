// What every host call on an Evaluator goes through: `self` checked to be
// constructed, the evaluator's lock, and the interpreter lock given up while
// waiting or computing.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "py_evaluator.h"

namespace py = pybind11;

// `self` of a method: refused with TypeError when the object's __init__
// never ran (made by __new__ alone), where the default would call the
// method on unconstructed memory.
template <typename T> struct Constructed {
    T* object = nullptr;
    T* operator->() const { return object; }
};

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

} // namespace pybind11::detail

using Self = Constructed<py_Evaluator>;

// At interpreter exit, a thread other than the main one that takes the
// interpreter lock, or runs Python code, is ended by a forced unwind. That
// unwind must not reach frames that hold Python objects, whose destructors
// would run without the lock: each place that may end so calls through this,
// and the thread sleeps instead until the process ends (what Python itself
// does from 3.14 on). f holds no object with a destructor.
[[noreturn]] void sleepForever();
template <typename F> void unlessEnded(F&& f) {
    try {
        f();
    } catch (abi::__forced_unwind&) {
        sleepForever();
    }
}

// Runs f without the interpreter lock. An exception of f is carried past
// taking the lock back and thrown after it, never while unwinding.
template <typename F> void withoutGil(F&& f) {
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        f();
    } catch (abi::__forced_unwind&) {
        throw; // f took the lock and was ended: nothing here may run on
    } catch (...) {
        failure = std::current_exception();
    }
    unlessEnded([state] { PyEval_RestoreThread(state); });
    if (failure) std::rethrow_exception(failure);
}

// One host call on an evaluator: holds its lock, waiting for it without the
// GIL so that the thread inside can take the GIL back. A call from inside a
// call on the same thread (a finalizer, a user function) is refused, and so
// is one from a function the evaluator runs on another thread (eval_many's):
// the call it is inside waits for that thread. In a child process, a lock
// that a thread of the parent held is made anew.
class Hold {
public:
    explicit Hold(py_Evaluator& e);
    ~Hold() { evaluator_.holder = std::thread::id(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    py_Evaluator& evaluator_;
    std::unique_lock<std::mutex> lock_;
};

// While a host function of `evaluator` runs on this thread (the marks of
// nested calls form a chain through the thread's stack).
class InsideFunction {
public:
    explicit InsideFunction(const py_Evaluator* evaluator);
    ~InsideFunction();
    InsideFunction(const InsideFunction&) = delete;
    InsideFunction& operator=(const InsideFunction&) = delete;
    static bool of(const py_Evaluator& evaluator);

private:
    const py_Evaluator* evaluator_;
    const InsideFunction* outer_;
};

// Python's complex and numpy's complex scalars, by their type's name.
inline bool isComplex(py::handle object) {
    return PyComplex_Check(object.ptr()) || std::strstr(Py_TYPE(object.ptr())->tp_name, "complex");
}

// Counts forks from now on, so that Hold can tell a child process.
void watchForks();

// What float() makes of an object; TypeError where it makes nothing, and for
// a complex number, whose float() would drop the imaginary part.
inline double toDouble(py::handle object) {
    if (!PyFloat_CheckExact(object.ptr()) && isComplex(object)) {
        PyErr_Format(PyExc_TypeError,
                     "a complex number (%s) has no float value; take its .real or abs() first",
                     Py_TYPE(object.ptr())->tp_name);
        throw py::error_already_set();
    }
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

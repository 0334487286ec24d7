// Python callables as functions of an Evaluator, and the garbage collector's
// view of them.
#pragma once

#include <string>
#include <vector>

#include "calls.h"

// A host callable as a function of the engine. The evaluator holds it, the
// garbage collector sees it (tp_traverse) and may drop it (tp_clear): after
// that a call raises TypeError, as calling None does.
struct HostFunction {
    py::object function;
    int arguments;
    bool vectorized = false;
    const py_Evaluator* owner = nullptr; // the evaluator that calls it
};

// vectorized: the function also takes float64 arrays of a block of rows, one
// per argument, and returns the block's results (eval_many calls it so).
void appendHostFunction(Self self, std::string name, py::object function, int arguments,
                        bool vectorized);
void deleteHostFunction(Self self, const std::string& name);
std::vector<std::string> functions(Self self);
// The names of one of the engine's lists, in list order.
std::vector<std::string> namesIn(const List<std::string>& list);
// Makes Evaluator take part in garbage collection (py::custom_type_setup).
void takePartInCollection(PyHeapTypeObject* heapType);

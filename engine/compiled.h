// Compiled: a text compiled once for any number of threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "columns.h"

class MathEvaluator;

namespace velmoratrix {

// What MathEvaluator::compile makes: a text read in the evaluator's syntax,
// its names given in the order their values come, everything else resolved
// once. It is immutable, holds its own program and generated code, and
// outlives the evaluator: every call is const and may run on any number of
// threads at once, each under the engine's floating-point settings.
//
// Registered variables are read at each call through the addresses they had
// at compile time (the caller keeps them alive and unchanged while others
// evaluate; the evaluator's own pi and e are copied). Functions and
// callables are bound at compile time: a callable shared this way is called
// from every thread that evaluates, and must be thread-safe.
class Compiled {
public:
    // Empty: value and values throw std::logic_error.
    Compiled() = default;

    // What Formula::value(values) returns for the same values, values[k]
    // being the value of names()[k].
    long double value(const double* values) const;
    // What Formula::values writes, column k being names()[k] (a column with
    // a name must have that one).
    void values(const std::vector<Column>& columns, std::size_t count, double* out,
                std::ptrdiff_t outStride = sizeof(double), std::size_t threads = 0) const;
    void values(const std::vector<Column>& columns, std::size_t count, const Output& out,
                std::size_t threads = 0) const;

    const std::string& text() const;
    const std::vector<std::string>& names() const;
    bool standard() const;
    // Whether its value is a truth value (as isCondition says).
    bool isCondition() const;
    explicit operator bool() const { return state_ != nullptr; }

    struct State; // the resolved code and what it owns (compiled.cpp)

private:
    friend class ::MathEvaluator;
    explicit Compiled(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    const State& state() const;
    std::shared_ptr<const State> state_;
};

// The engine's floating-point settings on the calling thread for as long as
// it lives, and the thread's own given back at its end. Compiled::value
// inside one does not read the settings at every call (the x87 control word,
// and the SSE settings, MXCSR, which on some processors costs as much as a
// short formula): for a loop of many calls, say one frame of a simulation.
// Leave the settings alone while it lives: a change made inside it
// (fesetround, a callable that sets them) would reach the calls that follow.
// Scopes nest; each belongs to the thread that made it.
class EngineSettings {
public:
    EngineSettings();
    ~EngineSettings();
    EngineSettings(const EngineSettings&) = delete;
    EngineSettings& operator=(const EngineSettings&) = delete;

private:
    alignas(8) unsigned char saved_[64]; // the settings put aside (compiled.cpp)
};

} // namespace velmoratrix

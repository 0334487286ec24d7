// The functions an evaluator calls: plain functions in its tables, and
// callables with state of their own.
#pragma once

#include <cstddef>
#include <functional>

namespace velmoratrix {

using BinaryFunction = long double (*)(long double, long double);
using UnaryFunction = double (*)(double);
using OperatorFunction = long double (*)(long double, long double, bool);
// Functions with state of their own; they may throw, and the throw leaves
// eval as any exception does.
using UnaryCallable = std::function<double(double)>;
using BinaryCallable = std::function<long double(long double, long double)>;
// A function of any count of arguments, for the standard syntax: the
// arguments as doubles, in order, and their count.
using NaryCallable = std::function<double(const double*, std::size_t)>;
// A function over many rows at once: arguments[k] holds the k-th argument of
// `count` rows (as doubles); it writes the rows' results to out.
using BlockCallable =
    std::function<void(const double* const* arguments, std::size_t count, double* out)>;
// The most arguments a function may take.
constexpr int kMostArguments = 32;

// What the function tables hold for a callable added by appendCallable; the
// evaluator calls the callable instead. Called directly, they give NaN.
double callableUnary(double);
long double callableBinary(long double, long double);

} // namespace velmoratrix

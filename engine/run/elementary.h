// The standard syntax's own elementary functions. Each is computed in the
// extended type from the double it is given and rounded once to double, so
// every platform (x87 or the software type) and every C library gives the
// same bits; the result is within 0.51 ulp of the exact value (the nearest
// double unless the exact value lies within 2^-9 ulp of a tie). A NaN made
// is x87's indefinite; a NaN given is passed on as x87 passes it.
#pragma once

#include <cstddef>

namespace velmoratrix::elementary {

double exp(double x);
double exp2(double x);
double expm1(double x);
double log(double x);
double log2(double x);
double log10(double x);
double log1p(double x);
double sinh(double x);
double cosh(double x);
double tanh(double x);
double asinh(double x);
double acosh(double x);
double atanh(double x);
double cbrt(double x);
double sin(double x);
double cos(double x);
double tan(double x);
double asin(double x);
double acos(double x);
double atan(double x);
double atan2(double y, double x);
double hypot(double x, double y);
double pow(double x, double y);

// A function over n rows, out[i] the function of in[i] with its bits, where
// columns are read a block at a time: several rows to a vector.
using RowsFunction = void (*)(const double*, double*, std::size_t);
// f's form over rows (exp, log, log1p, sin and cos have one); else null.
RowsFunction rowsOf(double (*f)(double));
// How many rows go to a vector, and whether a product's error is one fused
// instruction: the widest form the processor has, up to the one set (tests
// compare them).
enum class RowsForm { Two, Four, FourFused };
void setRowsForm(RowsForm widest);

} // namespace velmoratrix::elementary

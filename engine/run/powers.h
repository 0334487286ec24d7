// pow of a number and a constant exponent, faster where the exponent is a
// small integer (-4 to 8) or 1/2, with pow's very bits: the power is
// computed exactly enough (a double-double, with fma where the processor has
// it) to know how far it lies from the nearest double, and that double is
// returned only where the exact value is within 0.39 of an ulp of it. pow's
// error is at most 0.52 ulp (glibc), so pow returns that double there too.
// Elsewhere (other exponents, zeros, infinities, NaNs, magnitudes whose powers
// would come near underflow or overflow, powers of two), pow itself.
#pragma once

namespace velmoratrix {

double powNumber(double x, double n);
// The same without fma, whatever the processor (for tests).
double powNumberWithoutFma(double x, double n);

} // namespace velmoratrix

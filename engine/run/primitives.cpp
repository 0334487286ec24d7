#include "primitives.h"

#include "real.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kLargestFiniteFactorial = 1754;

// Truncation toward zero into 32 bits; anything that does not fit (and NaN)
// becomes -2^31, written out because a plain cast would be undefined.
using velmoratrix::Real;
using velmoratrix::wide;

std::int32_t truncateToInt32(Real x) {
    if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
    return kInt32Min;
}

bool isInt32Integral(Real x) {
    return x >= -2147483648.0 && x <= 2147483647.0 && Real(static_cast<std::int32_t>(x)) == x;
}

} // namespace

long double _add(long double left, long double right, bool) {
    return wide(Real(left) + Real(right));
}
long double _sub(long double left, long double right, bool) {
    return wide(Real(left) - Real(right));
}
long double _mul(long double left, long double right, bool) {
    return wide(Real(left) * Real(right));
}
long double _div(long double left, long double right, bool) {
    return wide(Real(left) / Real(right));
}

long double _mod(long double left, long double right, bool) {
    std::int32_t dividend = truncateToInt32(left);
    std::int32_t divisor = truncateToInt32(right);
    // The integer division would trap on both of these.
    if (divisor == 0) return velmoratrix::indefinite();
    if (divisor == -1) return 0.0L;
    return static_cast<long double>(dividend % divisor);
}

long double _pow(long double left, long double right, bool) {
    return velmoratrix::libraryPow(static_cast<double>(left), static_cast<double>(right));
}

long double _factorial(long double, long double right, bool accuracyOverEfficiency) {
    const Real x = right;
    if (accuracyOverEfficiency && isInt32Integral(x)) {
        if (x < 1) return 1.0L;
        // 1755! exceeds the extended range, and the product stays infinite from
        // there on: answering at once keeps 2147483647! from looping (its
        // counter could never pass it) or running two billion steps.
        const auto n = static_cast<std::int32_t>(x);
        if (n > kLargestFiniteFactorial) return std::numeric_limits<long double>::infinity();
        Real product = 1.0;
        for (std::int32_t i = 2; i <= n; ++i) product *= Real(i);
        return wide(product);
    }
    // Stirling's formula, with the double roundings between the steps.
    const Real twoPi = 6.283185307179586;
    const Real e = 2.718281828459045;
    const double t = static_cast<double>(x * twoPi);
    const double s = static_cast<double>(velmoratrix::realSqrt(Real(t)));
    const double w = static_cast<double>(x / e);
    const double u = static_cast<double>(x);
    const double p = velmoratrix::libraryPow(w, u);
    return wide(Real(p) * Real(s));
}

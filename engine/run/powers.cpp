#include "powers.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "environment.h"

namespace {

using velmoratrix::libraryPow;
using velmoratrix::librarySqrt;

struct Exact {
    double hi, lo; // hi + lo, hi the nearest double to it
};

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// a*b as hi + lo exactly (no overflow or underflow in range).
template <bool kFma> [[gnu::always_inline]] inline Exact product(double a, double b) {
    const double p = a * b;
    if constexpr (kFma) {
        return {p, __builtin_fma(a, b, -p)};
    } else {                                   // Dekker
        constexpr double kSplit = 134217729.0; // 2^27 + 1
        const double ca = kSplit * a, cb = kSplit * b;
        const double ah = ca - (ca - a), al = a - ah;
        const double bh = cb - (cb - b), bl = b - bh;
        return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
    }
}

[[gnu::always_inline]] inline Exact normalized(double hi, double lo) {
    const double s = hi + lo;
    return {s, lo - (s - hi)};
}

// (hi + lo) * b, to about 2^-104 relative.
template <bool kFma> [[gnu::always_inline]] inline Exact times(Exact a, double b) {
    const Exact p = product<kFma>(a.hi, b);
    return normalized(p.hi, p.lo + a.lo * b);
}

// 1 / (hi + lo), to about 2^-104 relative.
template <bool kFma> [[gnu::always_inline]] inline Exact reciprocal(Exact a) {
    const double q = 1.0 / a.hi;
    const Exact p = product<kFma>(q, a.hi);                   // q * hi exactly
    const double residual = ((1.0 - p.hi) - p.lo) - q * a.lo; // 1 - q * (hi + lo)
    return normalized(q, residual * q);
}

// The nearest double where the exact value is safely near it, else pow.
[[gnu::always_inline]] inline double nearestOrPow(Exact v, double x, double n) {
    const std::uint64_t b = bitsOf(v.hi);
    const std::uint64_t exponent = b & 0x7FF0000000000000u;
    // Powers of two (the ulp below is half the ulp above) and magnitudes
    // below 2^-960 or at 2^960 and above go to pow.
    if ((b & 0x000FFFFFFFFFFFFFu) == 0 || exponent < (63ull << 52) || exponent >= (1983ull << 52))
        return libraryPow(x, n);
    double ulp;
    const std::uint64_t ulpBits = exponent - (52ull << 52);
    std::memcpy(&ulp, &ulpBits, sizeof ulp);
    return std::fabs(v.lo) < 0.39 * ulp ? v.hi : libraryPow(x, n);
}

template <bool kFma> [[gnu::always_inline]] inline double powBody(double x, double n) {
    const double magnitude = std::fabs(x);
    // 2^-120 .. 2^120: every partial power of up to eight factors stays
    // within 2^-960 .. 2^960 (and so does its reciprocal).
    if (!(magnitude >= 0x1p-120 && magnitude <= 0x1p120)) return libraryPow(x, n);
    if (n == 0.5) {
        if (x < 0) return libraryPow(x, n);
        const double s = std::sqrt(x);
        const Exact square = product<kFma>(s, s);
        const double residual = (x - square.hi) - square.lo; // x - s*s, exactly
        // sqrt(x) - s is residual / (2s), to far within the margin.
        return nearestOrPow({s, residual / (2 * s)}, x, n);
    }
    if (!(n >= -4 && n <= 8)) return libraryPow(x, n);
    const int k = static_cast<int>(n);
    if (static_cast<double>(k) != n || k == 0 || k == 1) return libraryPow(x, n);
    Exact v{x, 0.0};
    for (int m = 1; m < (k < 0 ? -k : k); ++m) v = times<kFma>(v, x);
    if (k < 0) v = reciprocal<kFma>(v);
    return nearestOrPow(v, x, n);
}

double powWithoutFma(double x, double n) {
    return powBody<false>(x, n);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("fma")]] double powWithFma(double x, double n) {
    return powBody<true>(x, n);
}
double (*const chosen)(double, double) = __builtin_cpu_supports("fma") ? powWithFma : powWithoutFma;
#else
// Elsewhere std::fma is exact whatever the processor has (an instruction on
// aarch64), so the proof holds as it is.
double (*const chosen)(double, double) = [](double x, double n) { return powBody<true>(x, n); };
#endif

} // namespace

double velmoratrix::powNumberWithSse(double x, double n) {
    const EngineSse sse;
    return powNumber(x, n);
}

double velmoratrix::sqrtWithSse(double x) {
    const EngineSse sse;
    return librarySqrt(x);
}

double velmoratrix::powNumber(double x, double n) {
    return chosen(x, n);
}

double velmoratrix::powNumberWithoutFma(double x, double n) {
    return powWithoutFma(x, n);
}

// pow of a number and a constant exponent, faster where the exponent is a
// small integer (-4 to 8) or 1/2, with pow's very bits: the power is
// computed exactly enough (a double-double, with fma where the processor has
// it) to know how far it lies from the nearest double, and that double is
// returned only where the exact value is within 0.39 of an ulp of it. pow's
// error is at most 0.52 ulp (glibc), so pow returns that double there too.
// Elsewhere (other exponents, zeros, infinities, NaNs, magnitudes whose powers
// would come near underflow or overflow, powers of two), pow itself.
#pragma once

#include <cstdint>
#include <cstring>

namespace velmoratrix {

double powNumber(double x, double n);
// The same without fma, whatever the processor (for tests).
double powNumberWithoutFma(double x, double n);

// Both under the engine's SSE settings, whatever the caller's: where the
// x87 forms below cannot decide.
double powNumberWithSse(double x, double n);
double sqrtWithSse(double x);

// A scalar run that calls neither pow nor any other function reads no SSE
// setting (MXCSR, whose read costs more than these): the forms below give
// the same bits from x87 arithmetic, under the engine's x87 settings, and
// integer tests of bits (no SSE comparison, which could trap).
#if defined(__x86_64__) || defined(__i386__)
#define VELMO_POWERS_ON_X87 1

inline std::uint64_t bitsOfDouble(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// The exponents powNumber takes without pow: -4 to 8 but 0 and 1; else 0.
inline int fastExponent(double n) {
    static constexpr int kWhole[] = {-4, -3, -2, -1, 2, 3, 4, 5, 6, 7, 8};
    const std::uint64_t b = bitsOfDouble(n);
    for (int k : kWhole)
        if (b == bitsOfDouble(k)) return k;
    return 0;
}

// Whether |x| lies in 2^-120 .. 2^120, where powNumber's proof holds.
inline bool powerInRange(double x) {
    constexpr std::uint64_t kLow = std::uint64_t{1023 - 120} << 52;
    constexpr std::uint64_t kHigh = std::uint64_t{1023 + 120} << 52;
    return (bitsOfDouble(x) & ~(std::uint64_t{1} << 63)) - kLow <= kHigh - kLow;
}

// Where the product's 11 bits below a double's last one are these, it lies
// at most 0.375 ulp from that double; the product's error (at most 8
// roundings of 2^-64) adds under 0.004, so the exact power lies within 0.39
// ulp of it: powNumber's proof, by which pow gives that double.
inline bool nearADouble(std::uint64_t significand) {
    return static_cast<std::uint32_t>(significand & 0x7FF) - 769u > 510u;
}

// powNumber(x, n) for x's product by itself, left to right, each product
// rounded to 64 bits (and 1 divided by it for a negative exponent), rounded
// to its double where that lies near enough and is no power of two (the ulp
// below one is half the ulp above). Generated code does the same steps.
inline double powNumberOnX87(double x, double n) {
    const int k = fastExponent(n);
    if (k != 0 && powerInRange(x)) {
        long double power = x;
        for (int m = 1; m < (k < 0 ? -k : k); ++m) power = power * x;
        if (k < 0) power = 1 / power;
        std::uint64_t significand;
        std::memcpy(&significand, &power, sizeof significand);
        if (nearADouble(significand)) {
            const double nearest = static_cast<double>(power);
            if (bitsOfDouble(nearest) << 12) return nearest;
        }
    }
    return powNumberWithSse(x, n);
}

// sqrt of a double, correctly rounded as sqrtsd under round to nearest:
// the x87 root rounded to 64 bits has no 64-bit value between it and the
// exact root, so rounding it to 53 bits gives the root's double unless it
// lies exactly halfway between two doubles (its 11 lowest bits 10000000000).
inline double sqrtOnX87(double x) {
    long double root;
    __asm__("fsqrt" : "=t"(root) : "0"(static_cast<long double>(x)));
    std::uint64_t significand;
    std::memcpy(&significand, &root, sizeof significand);
    if ((significand & 0x7FF) != 0x400) return static_cast<double>(root);
    return sqrtWithSse(x);
}
#endif

} // namespace velmoratrix

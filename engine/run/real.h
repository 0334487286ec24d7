// The engine's extended value, chosen in this one place: x87's long double
// where long double is x87's format; elsewhere the software type of
// extended.h, which gives the same bits. The public API keeps long double
// (binary128 on aarch64, which holds every extended value exactly).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(VELMO_SOFT_EXTENDED)
#define VELMO_X87 1
#endif

#ifndef VELMO_X87
#include "extended.h"
#endif

namespace velmoratrix {

#ifdef VELMO_X87

using Real = long double;

// fsqrt itself: std::sqrt would call the C library for a negative operand
// only to set errno, at many times the cost, for the same bits.
inline Real realSqrt(Real x) {
    __asm__("fsqrt" : "+t"(x));
    return x;
}
inline Real realFmod(Real a, Real b) {
    return std::fmod(a, b);
}
inline Real realFloor(Real x) {
    return std::floor(x);
}
inline Real realTrunc(Real x) {
    return std::trunc(x);
}
inline bool realIsNaN(Real x) {
    return std::isnan(x);
}
inline bool realSignBit(Real x) {
    return std::signbit(x);
}
inline long double wide(Real x) {
    return x;
}

#else

class Real {
public:
    Real() : v_(soft::fromInteger(0)) {}
    [[gnu::always_inline]] Real(double d) : v_(soft::fromDouble(d)) {}
    Real(long double q) : v_(fromQuad(q)) {}
    Real(int i) : v_(soft::fromInteger(i)) {}
    Real(long i) : v_(soft::fromInteger(i)) {}
    Real(long long i) : v_(soft::fromInteger(i)) {}
    Real(unsigned i) : v_(soft::fromInteger(i)) {}
    static Real of(soft::Extended v) {
        Real r;
        r.v_ = v;
        return r;
    }
    soft::Extended bits() const { return v_; }

    [[gnu::always_inline]] explicit operator double() const { return soft::toDouble(v_); }
    explicit operator float() const { return soft::toFloat(v_); }
    explicit operator long double() const { return toQuad(v_); }
    explicit operator std::int32_t() const {
        return static_cast<std::int32_t>(soft::toInteger(v_));
    }
    explicit operator std::int64_t() const { return soft::toInteger(v_); }

    [[gnu::always_inline]] friend Real operator+(Real a, Real b) {
        return of(soft::add(a.v_, b.v_));
    }
    [[gnu::always_inline]] friend Real operator-(Real a, Real b) {
        return of(soft::subtract(a.v_, b.v_));
    }
    [[gnu::always_inline]] friend Real operator*(Real a, Real b) {
        return of(soft::multiply(a.v_, b.v_));
    }
    [[gnu::always_inline]] friend Real operator/(Real a, Real b) {
        return of(soft::divide(a.v_, b.v_));
    }
    Real operator-() const { return of(soft::negate(v_)); }
    Real operator+() const { return *this; }
    Real& operator+=(Real b) { return *this = *this + b; }
    Real& operator-=(Real b) { return *this = *this - b; }
    Real& operator*=(Real b) { return *this = *this * b; }
    Real& operator/=(Real b) { return *this = *this / b; }
    friend bool operator==(Real a, Real b) { return soft::equal(a.v_, b.v_); }
    friend bool operator!=(Real a, Real b) { return !soft::equal(a.v_, b.v_); }
    friend bool operator<(Real a, Real b) { return soft::less(a.v_, b.v_); }
    friend bool operator<=(Real a, Real b) { return soft::lessEqual(a.v_, b.v_); }
    friend bool operator>(Real a, Real b) { return soft::less(b.v_, a.v_); }
    friend bool operator>=(Real a, Real b) { return soft::lessEqual(b.v_, a.v_); }

private:
    soft::Extended v_;

    // From and to the long double of the platform: x87's own format (the
    // software type built on x86-64, for its proofs), binary128 (aarch64),
    // whose exponent has the same bias, or double.
    static_assert(std::numeric_limits<long double>::digits == 64 ||
                      std::numeric_limits<long double>::digits == 53 ||
                      (std::numeric_limits<long double>::digits == 113 &&
                       sizeof(long double) == 16),
                  "long double is x87's format, binary128 or double");
    static soft::Extended fromQuad(long double q) {
        if constexpr (std::numeric_limits<long double>::digits == 64) {
            soft::Extended x;
            std::memcpy(&x, &q, 10);
            return x;
        } else if constexpr (std::numeric_limits<long double>::digits == 53) {
            return soft::fromDouble(static_cast<double>(q));
        } else {
            unsigned __int128 bits;
            std::memcpy(&bits, &q, sizeof bits);
            const bool negative = static_cast<bool>(bits >> 127);
            const int field = static_cast<int>((bits >> 112) & 0x7fff);
            const unsigned __int128 fraction =
                bits & ((static_cast<unsigned __int128>(1) << 112) - 1);
            const std::uint64_t integer = std::uint64_t{1} << 63;
            const auto signExponent = static_cast<std::uint16_t>(negative << 15 | field);
            if (field == 0x7fff) {
                if (fraction == 0) return {integer, signExponent};
                return {integer | (std::uint64_t{1} << 62) |
                            static_cast<std::uint64_t>(fraction >> 49),
                        signExponent};
            }
            if (field == 0 && fraction == 0) return soft::detail::zero(negative);
            if (field == 0) // subnormal: fraction * 2^(-16382 - 112)
                return soft::detail::normalizedPack(negative, -16382 - 112 + 127, fraction);
            return soft::detail::roundPack(negative, field - 16383,
                                           (fraction | static_cast<unsigned __int128>(1) << 112)
                                               << 15);
        }
    }
    // Exact where long double holds every extended value (not where it is double).
    static long double toQuad(soft::Extended v) {
        if constexpr (std::numeric_limits<long double>::digits == 64) {
            long double q = 0;
            std::memcpy(&q, &v, 10);
            return q;
        } else if constexpr (std::numeric_limits<long double>::digits == 53) {
            return soft::toDouble(v);
        } else {
            const unsigned __int128 sign = static_cast<unsigned __int128>(v.signExponent >> 15)
                                           << 127;
            const unsigned __int128 field = static_cast<unsigned __int128>(v.signExponent & 0x7fff);
            const unsigned __int128 fraction =
                static_cast<unsigned __int128>(v.significand & ~(std::uint64_t{1} << 63)) << 49;
            unsigned __int128 bits = sign | (field << 112) | fraction;
            if (field == 0) bits = sign | (static_cast<unsigned __int128>(v.significand) << 49);
            long double q;
            std::memcpy(&q, &bits, sizeof q);
            return q;
        }
    }
};

inline Real realSqrt(Real x) {
    return Real::of(soft::squareRoot(x.bits()));
}
inline Real realFmod(Real a, Real b) {
    return Real::of(soft::remainderOf(a.bits(), b.bits()));
}
inline Real realFloor(Real x) {
    return Real::of(soft::floorOf(x.bits()));
}
inline Real realTrunc(Real x) {
    return Real::of(soft::truncated(x.bits()));
}
inline bool realIsNaN(Real x) {
    return soft::detail::isNaN(x.bits());
}
inline bool realSignBit(Real x) {
    return soft::detail::sign(x.bits());
}
inline long double wide(Real x) {
    return static_cast<long double>(x);
}

#endif

// The NaN that x87 and SSE make is the negative "indefinite"; other
// hardware (aarch64) makes a positive one, and C libraries make either (even
// on x86-64: glibc's asin(2)) and pass one on as they please (glibc's pow
// drops a NaN's sign for a whole exponent). So a C library function's NaN
// result is x87's: the indefinite where it made one, else the NaN passed in,
// quieted, as x87's arithmetic passes it on (the larger payload of two).
constexpr std::uint64_t kIndefinite = 0xFFF8000000000000u;
inline double indefinite() {
    double nan;
    std::memcpy(&nan, &kIndefinite, sizeof nan);
    return nan;
}
inline double madeNaN(double result, double a, double b = 0) {
    if (!std::isnan(result)) return result;
    if (std::isnan(a) || std::isnan(b)) return static_cast<double>(Real(a) + Real(b));
    return indefinite();
}
inline double libraryPow(double x, double n) {
    return madeNaN(std::pow(x, n), x, n);
}
inline double librarySqrt(double x) {
    return madeNaN(std::sqrt(x), x);
}

} // namespace velmoratrix

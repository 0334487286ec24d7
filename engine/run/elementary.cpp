// The standard syntax's elementary functions, in the extended type alone:
// its operations are x87's on every platform (real.h), so these functions
// are too. Each reduces its argument exactly (or to far below 2^-64 of the
// result), evaluates a short series, and rounds to double once at the end.
#include "elementary.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "elementary_tables.h"
#include "real.h"

using namespace velmoratrix;
using namespace velmoratrix::elementary;

namespace {

[[gnu::always_inline]] inline Real of(Pair p) { // exact: the pairs are written so
    return Real(p.hi) + Real(p.lo);
}

// The significand (its integer bit at the top) and biased exponent of a
// finite extended value.
struct Parts {
    std::uint64_t significand;
    int field;
};
[[gnu::always_inline]] inline Parts partsOf(Real x) {
#ifdef VELMO_X87
    unsigned char bytes[10];
    std::memcpy(bytes, &x, sizeof bytes);
    Parts p;
    std::memcpy(&p.significand, bytes, 8);
    p.field = (bytes[8] | bytes[9] << 8) & 0x7fff;
    return p;
#else
    return {x.bits().significand, x.bits().signExponent & 0x7fff};
#endif
}
constexpr int kBias = 16383;

// 2^k as doubles (built from bits and loaded as such, which is faster on x87
// than an 80-bit value put together in memory), for |k| < 2000.
[[gnu::always_inline]] inline Real twoTo(int k) {
    auto power = [](int n) {
        const std::uint64_t bits = static_cast<std::uint64_t>(1023 + n) << 52;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return Real(d);
    };
    if (k > -1000 && k < 1000) return power(k);
    return power(k / 2) * power(k - k / 2);
}

// t rounded to the nearest integer, for |t| < 2^52, as a value and as an
// integer (in [2^63, 2^64) the ulp is 1). The integer comes through a
// double: x87's own conversion to an integer changes its control word, and
// its 80-bit stores do not forward to integer loads.
[[gnu::always_inline]] inline Real roundedInteger(Real t, std::int64_t& k) {
    const Real magic = Real(0x1.8p63);
    const Real integer = (t + magic) - magic;
    k = static_cast<std::int64_t>(static_cast<double>(integer));
    return integer;
}

[[gnu::always_inline]] inline bool negative(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b >> 63;
}
[[gnu::always_inline]] inline double magnitude(double x) {
    return negative(x) ? -x : x;
}
double passed(double x) { // a NaN given, as x87's arithmetic passes it on
    return static_cast<double>(Real(x) + Real(0.0));
}
double made() { // x87's indefinite
    return static_cast<double>(Real(0.0) / Real(0.0));
}
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The coefficients c[first], -c[first + step], c[first + 2 step] ... (every
// sign + where not alternating), N of them. Written without loops, here and
// in estrin, so that every optimization level gets straight-line code: a
// loop left rolled keeps its 80-bit values in memory, three times slower.
template <std::size_t... K>
[[gnu::always_inline]] inline std::array<Real, sizeof...(K)>
coefficientsAt(const Pair* c, int first, int step, bool alternate, std::index_sequence<K...>) {
    return {(alternate && K % 2 ? -of(c[first + static_cast<int>(K) * step])
                                : of(c[first + static_cast<int>(K) * step]))...};
}
template <std::size_t N>
[[gnu::always_inline]] inline std::array<Real, N> coefficients(const Pair* c, int first, int step,
                                                               bool alternate) {
    return coefficientsAt(c, first, step, alternate, std::make_index_sequence<N>{});
}

// c[0] + c[1] t + c[2] t^2 ... by Estrin's scheme: pairs in t, then pairs of
// those in t^2 and so on, whose chains of dependent steps are shorter than
// Horner's (x87's multiplications wait 4 to 5 cycles for their operands).
template <std::size_t K, std::size_t N>
[[gnu::always_inline]] inline Real pairAt(const std::array<Real, N>& c, Real t) {
    if constexpr (2 * K + 1 < N)
        return c[2 * K] + c[2 * K + 1] * t;
    else
        return c[2 * K];
}
template <std::size_t N, std::size_t... K>
[[gnu::always_inline]] inline std::array<Real, sizeof...(K)>
pairs(const std::array<Real, N>& c, Real t, std::index_sequence<K...>) {
    return {pairAt<K>(c, t)...};
}
template <std::size_t N>
[[gnu::always_inline]] inline Real estrin(const std::array<Real, N>& c, Real t) {
    if constexpr (N == 1)
        return c[0];
    else
        return estrin(pairs(c, t, std::make_index_sequence<(N + 1) / 2>{}), t * t);
}

// --- exponentials -------------------------------------------------------

// e^r - 1 for |r| <= ln2/512 (to 2^-66 of the whole).
[[gnu::always_inline]] inline Real expm1Near(Real r) {
    return r + r * r * estrin(coefficients<4>(kInverseFactorial, 2, 1, false), r);
}

// e^x = scale (1 + q) with scale = 2^(k/256), for |x| below 750.
struct Exponential {
    Real scale, q;
};
[[gnu::always_inline]] inline Exponential exponential(Real x) {
    std::int64_t k;
    const Real kk = roundedInteger(x * of(k256ByLn2), k);
    const Real r = (x - kk * Real(kLn2By256Hi)) - kk * of(kLn2By256Lo); // the first step exact
    const auto j = static_cast<int>(k & 255);
    const auto m = static_cast<int>((k - j) / 256);
    return {twoTo(m) * of(kExp2By256[j]), expm1Near(r)};
}
[[gnu::always_inline]] inline Real expReal(Real x) {
    const Exponential e = exponential(x);
    return e.scale + e.scale * e.q;
}
// e^x - 1 with an error relative to it, for |x| below 750.
[[gnu::always_inline]] inline Real expm1Real(Real x) {
    if (x < Real(0.125) && x > Real(-0.125)) // the series; e^x - 1 cancels here
        return x + x * x * estrin(coefficients<12>(kInverseFactorial, 2, 1, false), x);
    const Exponential e = exponential(x);
    return (e.scale - Real(1.0)) + e.scale * e.q;
}

// --- logarithms ---------------------------------------------------------

// log(1 + r) for |r| <= 2^-9 (to 2^-72 of it).
[[gnu::always_inline]] inline Real log1pNear(Real r) {
    return r - r * r * estrin(coefficients<7>(kReciprocal, 2, 1, true), r);
}

// log x = e ln2 + hi + lo, for a finite x > 0.
struct Logarithm {
    int e;
    Real hi, lo;
};
// From m in [1, 2) whose top fraction bits are j: x = 2^e m.
[[gnu::always_inline]] inline Logarithm logarithmOf(Real m, int j, int e) {
    const Real u = m - Real(1 + j / 256.0); // exact
    const Real r = u * Real(kInverse[j]) + Real(kGap[j]);
    return {e + (j >= 128), Real(kLogInverse[j].hi), Real(kLogInverse[j].lo) + log1pNear(r)};
}
// For an extended x that is not within 2^-9 of 1 (log1pReal's, and the
// large arguments of asinh and acosh).
[[gnu::always_inline]] inline Logarithm logarithm(Real x) {
    const Parts p = partsOf(x);
    return logarithmOf(x * twoTo(kBias - p.field), static_cast<int>(p.significand >> 55 & 0xff),
                       p.field - kBias);
}
// A finite double x > 0 as 2^e m with m in [1, 2), and the top 8 bits of
// m's fraction, read from its bits (no trip of an 80-bit value through
// memory).
struct DoubleParts {
    double m;
    int j, e;
};
[[gnu::always_inline]] inline DoubleParts doubleParts(double x) {
    int scaled = 0;
    if (x < 0x1p-1022) { // subnormal: exactly into the normal range
        x *= 0x1p64;
        scaled = 64;
    }
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint64_t mBits = (b & 0x000FFFFFFFFFFFFFu) | std::uint64_t{1023} << 52;
    DoubleParts p;
    std::memcpy(&p.m, &mBits, sizeof p.m);
    p.j = static_cast<int>(b >> 44 & 0xff);
    p.e = static_cast<int>(b >> 52) - 1023 - scaled;
    return p;
}
// The same for a double.
[[gnu::always_inline]] inline Logarithm logarithm(double x) {
    const Real nearOne = Real(x) - Real(1.0);
    if (nearOne < Real(0x1p-9) && nearOne > Real(-0x1p-9)) return {0, log1pNear(nearOne), 0.0};
    const DoubleParts p = doubleParts(x);
    return logarithmOf(Real(p.m), p.j, p.e);
}
[[gnu::always_inline]] inline Real logReal(Real x) {
    const Logarithm l = logarithm(x);
    const Real e = Real(l.e);
    return (e * Real(kLn2Hi) + l.hi) + (e * of(kLn2Lo) + l.lo);
}
// log(1 + y) for y > -1, finite.
[[gnu::always_inline]] inline Real log1pReal(Real y) {
    if (y < Real(0x1p-9) && y > Real(-0x1p-9)) return log1pNear(y);
    const Real x = Real(1.0) + y;
    const Real lost = y - (x - Real(1.0)); // what 1 + y rounded away
    const Logarithm l = logarithm(x);
    const Real e = Real(l.e);
    return (e * Real(kLn2Hi) + l.hi) + (e * of(kLn2Lo) + (l.lo + lost / x));
}

// The same for a double y: 1 + y is split exactly into the double s and
// what rounding left, t (Fast2Sum, exact in doubles on every platform), so
// that the logarithm reads s's bits rather than an 80-bit value's through
// memory; log(1 + t/s) is t/s to far below 2^-64 of the result.
[[gnu::always_inline]] inline Real log1pReal(double y) {
    if (y < 0x1p-9 && y > -0x1p-9) return log1pNear(Real(y));
    const double s = 1.0 + y;
    const double t = y > 1 ? 1.0 - (s - y) : y - (s - 1.0);
    const Logarithm l = logarithm(s);
    const Real e = Real(l.e);
    return (e * Real(kLn2Hi) + l.hi) + (e * of(kLn2Lo) + (l.lo + Real(t) / Real(s)));
}

// Where a logarithm's argument is a NaN, negative, zero or infinite: the
// value, and true.
bool logSpecial(double x, double& value) {
    if (x != x) {
        value = passed(x);
    } else if (x < 0) {
        value = made();
    } else if (x == 0) {
        value = -kInfinity;
    } else if (x == kInfinity) {
        value = x;
    } else {
        return false;
    }
    return true;
}

// --- inverse tangent ------------------------------------------------------

// atan t as hi + lo, for 0 <= t <= 1 (hi exact enough to subtract from pi).
struct Angle {
    Real hi, lo;
};
[[gnu::always_inline]] inline Angle atanReduced(Real t) {
    std::int64_t k;
    const Real c = roundedInteger(t * Real(32.0), k) / Real(32.0);
    const auto j = static_cast<int>(k);
    const Real u = j == 0 ? t : (t - c) / (Real(1.0) + t * c); // |u| <= 1/64
    const Real s = u * u;
    const Real sum = estrin(coefficients<6>(kReciprocal, 3, 2, true), s); // 1/3 - s/5 ...
    return {Real(kAtanOfThirtySeconds[j].hi), Real(kAtanOfThirtySeconds[j].lo) + (u - u * s * sum)};
}
// pi/2 - a
[[gnu::always_inline]] inline Angle complement(Angle a) {
    return {Real(kHalfPi.hi) - a.hi, Real(kHalfPi.lo) - a.lo};
}
// atan(y/x) for 0 <= y, x, not both zero nor both infinite.
[[gnu::always_inline]] inline Angle atanOfRatio(Real y, Real x) {
    return y <= x ? atanReduced(y / x) : complement(atanReduced(x / y));
}
double rounded(Angle a, bool minus) {
    const double v = static_cast<double>(a.hi + a.lo);
    return minus ? -v : v;
}

// --- sine and cosine ------------------------------------------------------

// 64 bits of 2/pi from bit k (0: the first after the point; zeros before).
std::uint64_t twoByPiFrom(int k) {
    if (k <= -64) return 0;
    if (k < 0) return kTwoByPiBits[0] >> -k;
    const int w = k / 64, s = k % 64;
    return s == 0 ? kTwoByPiBits[w] : kTwoByPiBits[w] << s | kTwoByPiBits[w + 1] >> (64 - s);
}

// x = (4i + n) pi/2 + r with |r| <= pi/4, for a finite x >= pi/4: x 2/pi to
// 190 bits below the point from the 192 bits of 2/pi where its bits fall
// (the ones above give multiples of 4), whatever the size of x.
int reduced(double x, Real& r) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint64_t m = (b & 0x000FFFFFFFFFFFFFu) | std::uint64_t{1} << 52;
    const int exponent = static_cast<int>(b >> 52) - 1075; // x = m 2^exponent
    const int start = exponent - 2;                        // bit b_(exponent - 1)
    const std::uint64_t w2 = twoByPiFrom(start), w1 = twoByPiFrom(start + 64),
                        w0 = twoByPiFrom(start + 128);
    using Wide = unsigned __int128;
    const Wide p0 = static_cast<Wide>(m) * w0, p1 = static_cast<Wide>(m) * w1;
    const std::uint64_t low = static_cast<std::uint64_t>(p0);
    const Wide middle = (p0 >> 64) + static_cast<std::uint64_t>(p1);
    const std::uint64_t mid = static_cast<std::uint64_t>(middle);
    const std::uint64_t high = static_cast<std::uint64_t>(middle >> 64) +
                               static_cast<std::uint64_t>(p1 >> 64) + m * w2; // mod 2^64
    // x 2/pi mod 4 = (high:mid:low) 2^-190: the top two bits the quadrant.
    int n = static_cast<int>(high >> 62);
    std::uint64_t f2 = high << 2 >> 2, f1 = mid, f0 = low; // the fraction, 190 bits
    const bool upper = f2 >> 61 & 1;                       // at least a half
    if (upper) {                                           // 1 - fraction, negated below
        ++n;
        f0 = ~f0 + 1;
        f1 = ~f1 + (f0 == 0);
        f2 = ((~f2 + (f0 == 0 && f1 == 0)) & (~std::uint64_t{0} >> 2));
    }
    // Its top 64 bits from the first one (at least 2^-128 by far for a double).
    if ((f2 | f1 | f0) == 0) { // a multiple of pi/2 (no double is one)
        r = 0.0;
        return n & 3;
    }
    int shift = 0; // the first one is at bit 191 - shift of the fraction
    std::uint64_t top = f2, next = f1, last = f0;
    while (top == 0) {
        top = next, next = last, last = 0;
        shift += 64;
    }
    const int lead = __builtin_clzll(top);
    shift += lead;
    const std::uint64_t significand = lead ? top << lead | next >> (64 - lead) : top;
    // significand 2^(-62 - shift), its last bit dropped (exact as an int64)
    const Real fraction = Real(static_cast<long long>(significand >> 1)) * twoTo(-61 - shift);
    r = fraction * of(kHalfPiExtended);
    if (upper) r = -r;
    return n & 3;
}

// sin r and cos r for |r| <= pi/4 (to 2^-68 of them).
[[gnu::always_inline]] inline Real sinNear(Real r) {
    const Real s = r * r;
    return r - r * s * estrin(coefficients<10>(kInverseFactorial, 3, 2, true), s);
}
[[gnu::always_inline]] inline Real cosNear(Real r) {
    const Real s = r * r;
    return Real(1.0) - s * estrin(coefficients<10>(kInverseFactorial, 2, 2, true), s);
}

// x = n pi/2 + r (n mod 4), for a finite x >= 0.
[[gnu::always_inline]] inline int quadrant(double x, Real& r) {
    if (x < kQuarterPi.hi) {
        r = Real(x);
        return 0;
    }
    return reduced(x, r);
}

// --- powers ---------------------------------------------------------------

// hi + lo exactly (Knuth's two-sum and Dekker's product, which hold in any
// binary arithmetic rounding to nearest: here 64 bits, split at 32).
struct Two {
    Real hi, lo;
};
[[gnu::always_inline]] inline Two twoSum(Real a, Real b) {
    const Real s = a + b, bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}
[[gnu::always_inline]] inline Two plus(Two a, Real b) { // to a's low part what b's sum lost
    const Two s = twoSum(a.hi, b);
    return {s.hi, s.lo + a.lo};
}
[[gnu::always_inline]] inline Two twoProduct(Real a, Real b) {
    auto split = [](Real v, Real& high, Real& low) {
        const Real c = Real(4294967297.0) * v; // 2^32 + 1
        high = c - (c - v);
        low = v - high;
    };
    Real ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    const Real p = a * b;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

// log x to 2^-120 of it, as hi + lo, for a finite x > 0: the reduction of
// logarithm() with every rounding it made kept.
Two logarithmTwo(double x) {
    const Real f = Real(x) - Real(1.0);
    if (f < Real(0x1p-9) && f > Real(-0x1p-9)) // f exact; the rest to 2^-64 of f^2/2
        return twoSum(f, -(f * f * estrin(coefficients<7>(kReciprocal, 2, 1, true), f)));
    const DoubleParts p = doubleParts(x);
    const int j = p.j;
    const Real e = Real(p.e + (j >= 128));
    const Real u = Real(p.m) - Real(1 + j / 256.0); // exact
    const Two product = twoProduct(u, Real(kInverse[j]));
    const Two r = plus(twoSum(product.hi, Real(kGap[j])), product.lo); // r = m/c - 1, exactly
    const Real higher = -(r.hi * r.hi * estrin(coefficients<7>(kReciprocal, 2, 1, true), r.hi));
    Two sum = twoSum(e * Real(kLn2Hi), Real(kLogInverse[j].hi)); // the first exact
    sum = plus(sum, e * Real(kLn2Lo.hi));                        // exact
    sum = plus(sum, r.hi);
    sum.lo =
        sum.lo + (Real(kLogInverse[j].lo) + e * Real(kLn2Lo.lo) + higher + (r.lo - r.lo * r.hi));
    return twoSum(sum.hi, sum.lo);
}

// The double nearest v, where the exact value is within v's relative
// `error` and no value there rounds otherwise (a normal double, not at a
// tie); else false.
bool roundsSafely(Real v, Real error, double& out) {
    const double d = static_cast<double>(v);
    const double m = magnitude(d);
    if (!(m >= 0x1p-1022) || m == kInfinity) return false;
    std::uint64_t b;
    std::memcpy(&b, &m, sizeof b);
    const bool power = (b & 0x000FFFFFFFFFFFFFu) == 0; // the ulp below is half the one above
    const Real half = twoTo(static_cast<int>(b >> 52) - 1023 - 53 - power);
    const Real gap = v - Real(d), size = v < Real(0) ? -v : v;
    if (half - (gap < Real(0) ? -gap : gap) <= error * size) return false;
    out = d;
    return true;
}

// Whether a finite y is whole, and an odd whole number, from its bits.
bool isInteger(double y) {
    std::uint64_t b;
    std::memcpy(&b, &y, sizeof b);
    const int e = static_cast<int>(b >> 52 & 0x7ff) - 1023;
    if (e < 0) return y == 0;
    return e >= 52 || (b & ((std::uint64_t{1} << (52 - e)) - 1)) == 0;
}
bool isOdd(double y) {
    std::uint64_t b;
    std::memcpy(&b, &y, sizeof b);
    const int e = static_cast<int>(b >> 52 & 0x7ff) - 1023;
    if (e < 0 || e > 52) return false; // from 2^53 on every double is even
    return isInteger(y) && ((b | std::uint64_t{1} << 52) >> (52 - e) & 1);
}

} // namespace

double elementary::exp(double x) {
    if (x != x) return passed(x);
    if (x > 750) return kInfinity;
    if (x < -750) return 0.0;
    return static_cast<double>(expReal(Real(x)));
}

double elementary::exp2(double x) {
    if (x != x) return passed(x);
    if (x > 1100) return kInfinity;
    if (x < -1100) return 0.0;
    std::int64_t k;
    const Real r = Real(x) - roundedInteger(Real(x) * Real(256.0), k) / Real(256.0); // exact
    const auto j = static_cast<int>(k & 255);
    const Real scale = twoTo(static_cast<int>((k - j) / 256)) * of(kExp2By256[j]);
    return static_cast<double>(scale + scale * expm1Near(r * of(kLn2)));
}

double elementary::expm1(double x) {
    if (x != x) return passed(x);
    if (x == 0) return x;
    if (x > 750) return kInfinity;
    if (x < -750) return -1.0;
    return static_cast<double>(expm1Real(Real(x)));
}

double elementary::log(double x) {
    double special;
    if (logSpecial(x, special)) return special;
    const Logarithm l = logarithm(x);
    const Real e = Real(l.e);
    return static_cast<double>((e * Real(kLn2Hi) + l.hi) + (e * of(kLn2Lo) + l.lo));
}

double elementary::log2(double x) {
    double special;
    if (logSpecial(x, special)) return special;
    const Logarithm l = logarithm(x);
    return static_cast<double>(Real(l.e) + (l.hi + l.lo) * of(kInverseLn2));
}

double elementary::log10(double x) {
    double special;
    if (logSpecial(x, special)) return special;
    const Logarithm l = logarithm(x);
    const Real e = Real(l.e);
    return static_cast<double>(e * Real(kLog10Of2Hi) +
                               (e * of(kLog10Of2Lo) + (l.hi + l.lo) * of(kInverseLn10)));
}

double elementary::log1p(double x) {
    if (x != x) return passed(x);
    if (x == 0 || x == kInfinity) return x;
    if (x == -1) return -kInfinity;
    if (x < -1) return made();
    return static_cast<double>(log1pReal(x));
}

double elementary::sinh(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a < 0x1p-28 || a == kInfinity) return x;
    Real v;
    if (a > 720) {
        v = kInfinity;
    } else if (a > 24) { // e^-a is below 2^-69 of e^a
        v = expReal(Real(a)) / Real(2.0);
    } else {
        const Real m = expm1Real(Real(a));
        v = (m + m / (m + Real(1.0))) / Real(2.0);
    }
    const double s = static_cast<double>(v);
    return x < 0 ? -s : s;
}

double elementary::cosh(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a > 720) return kInfinity;
    const Real e = expReal(Real(a));
    return static_cast<double>(a > 24 ? e / Real(2.0) : (e + Real(1.0) / e) / Real(2.0));
}

double elementary::tanh(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a < 0x1p-28) return x;
    double t = 1.0; // from 22 on, 1 - tanh is below a quarter of 1's ulp
    if (a < 22) {
        const Real m = expm1Real(Real(2.0) * Real(a));
        t = static_cast<double>(m / (m + Real(2.0)));
    }
    return x < 0 ? -t : t;
}

double elementary::asinh(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a < 0x1p-28 || a == kInfinity) return x;
    Real v;
    if (a > 0x1p32) { // log 2a, to below 2^-66
        v = logReal(Real(a)) + of(kLn2);
    } else {
        const Real r = Real(a), s = r * r;
        v = log1pReal(r + s / (Real(1.0) + realSqrt(Real(1.0) + s)));
    }
    const double s = static_cast<double>(v);
    return x < 0 ? -s : s;
}

double elementary::acosh(double x) {
    if (x != x) return passed(x);
    if (x < 1) return made();
    if (x == kInfinity) return x;
    if (x > 0x1p32) return static_cast<double>(logReal(Real(x)) + of(kLn2));
    const Real t = Real(x) - Real(1.0); // exact
    return static_cast<double>(log1pReal(t + realSqrt(Real(2.0) * t + t * t)));
}

double elementary::atanh(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a > 1) return made();
    if (a == 1) return x < 0 ? -kInfinity : kInfinity;
    if (a < 0x1p-28) return x;
    const Real r = Real(a);
    const double v = static_cast<double>(log1pReal(Real(2.0) * r / (Real(1.0) - r)) / Real(2.0));
    return x < 0 ? -v : v;
}

double elementary::cbrt(double x) {
    if (x != x) return passed(x);
    const double a = magnitude(x);
    if (a == 0 || a == kInfinity) return x;
    const DoubleParts p = doubleParts(a);
    const int third = (p.e >= 0 ? p.e : p.e - 2) / 3, rest = p.e - 3 * third; // floor, and 0..2
    const Real m = Real(a) * twoTo(-3 * third);                               // in [1, 8)
    Real y = Real(kCubeRootStart[rest * 32 + (p.j >> 3)]);
    // Halley's steps: each triples the bits (from 7.6).
    Real cube = y * y * y;
    y = y * (cube + Real(2.0) * m) / (Real(2.0) * cube + m);
    cube = y * y * y;
    y = y - y * (cube - m) / (Real(2.0) * cube + m); // the last as a small correction
    const double v = static_cast<double>(y * twoTo(third));
    return x < 0 ? -v : v;
}

double elementary::sin(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a == kInfinity) return made();
    if (a < 0x1p-28) return x;
    Real r;
    const int n = quadrant(a, r);
    const Real v = n & 1 ? cosNear(r) : sinNear(r);
    const bool minus = (n >= 2) != (x < 0);
    return static_cast<double>(minus ? -v : v);
}

double elementary::cos(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a == kInfinity) return made();
    if (a < 0x1p-28) return 1.0;
    Real r;
    const int n = quadrant(a, r);
    const Real v = n & 1 ? sinNear(r) : cosNear(r);
    return static_cast<double>(n == 1 || n == 2 ? -v : v);
}

double elementary::tan(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a == kInfinity) return made();
    if (a < 0x1p-28) return x;
    Real r;
    const int n = quadrant(a, r);
    const Real v = n & 1 ? -cosNear(r) / sinNear(r) : sinNear(r) / cosNear(r);
    return static_cast<double>(x < 0 ? -v : v);
}

double elementary::atan(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a < 0x1p-28) return x;
    const Angle v = a <= 1 ? atanReduced(Real(a)) : complement(atanReduced(Real(1.0) / Real(a)));
    return rounded(v, x < 0);
}

double elementary::asin(double x) {
    const double a = magnitude(x);
    if (x != x) return passed(x);
    if (a > 1) return made();
    if (a < 0x1p-28) return x;
    const Real r = Real(a);
    return rounded(atanOfRatio(r, realSqrt((Real(1.0) - r) * (Real(1.0) + r))), x < 0);
}

double elementary::acos(double x) {
    if (x != x) return passed(x);
    if (x > 1 || x < -1) return made();
    // 2 atan sqrt((1 - x)/(1 + x)), from the side where the ratio is at most 1.
    const Real r = Real(x), below = Real(1.0) - r, above = Real(1.0) + r;
    const Angle half = x >= 0 ? atanReduced(realSqrt(below / above))
                              : complement(atanReduced(realSqrt(above / below)));
    return static_cast<double>(Real(2.0) * half.hi + Real(2.0) * half.lo);
}

double elementary::atan2(double y, double x) {
    if (x != x || y != y) return static_cast<double>(Real(y) + Real(x));
    const double ay = magnitude(y), ax = magnitude(x);
    Angle v;
    if (ay == 0 && ax == 0) {
        v = {0.0, 0.0};
    } else if (ay == kInfinity && ax == kInfinity) {
        v = atanReduced(Real(1.0));
    } else {
        v = atanOfRatio(Real(ay), Real(ax));
    }
    if (negative(x)) v = {Real(kPi.hi) - v.hi, Real(kPi.lo) - v.lo};
    return rounded(v, negative(y));
}

double elementary::hypot(double x, double y) {
    if (magnitude(x) == kInfinity || magnitude(y) == kInfinity) return kInfinity;
    if (x != x || y != y) return static_cast<double>(Real(x) + Real(y));
    const Real a = Real(x), b = Real(y);
    return static_cast<double>(realSqrt(a * a + b * b));
}

// C's pow, at every special argument as C99 defines it.
double elementary::pow(double x, double y) {
    if (y == 0 || x == 1) return 1.0;
    if (x != x || y != y) return static_cast<double>(Real(x) + Real(y));
    const double a = magnitude(x), b = magnitude(y);
    const bool odd = isOdd(y);
    const bool minus = negative(x) && odd;
    auto sign = [minus](double v) { return minus ? -v : v; };
    if (b == kInfinity) {
        if (a == 1) return 1.0;
        return (a < 1) == (y < 0) ? kInfinity : 0.0;
    }
    if (a == 0) return sign(y < 0 ? kInfinity : 0.0);
    if (a == kInfinity) return sign(y < 0 ? 0.0 : kInfinity);
    if (x < 0 && !isInteger(y)) return made();
    // |x|^y = e^(y log|x|): first in the extended type alone, whose double
    // is kept where no error it can have would change it; else with the
    // logarithm and the product kept in two parts.
    const Logarithm quick = logarithm(a);
    const Real e = Real(quick.e);
    const Real w = Real(y) * ((e * Real(kLn2Hi) + quick.hi) + (e * of(kLn2Lo) + quick.lo));
    if (w < Real(700) && w > Real(-700)) {
        // The logarithm to 2^-62 of it and e^w to 2^-62: (1.25 |w| + 1) 2^-62
        // with the product's rounding, and a margin.
        const Real bound = ((w < Real(0) ? -w : w) * Real(1.5) + Real(2.0)) * Real(0x1p-62);
        double nearest;
        if (roundsSafely(expReal(w), bound, nearest)) return sign(nearest);
    }
    const Two l = logarithmTwo(a);
    const Two p = twoProduct(Real(y), l.hi);
    const Two z = twoSum(p.hi, p.lo + Real(y) * l.lo);
    if (z.hi > Real(1100)) return sign(kInfinity);
    if (z.hi < Real(-1100)) return sign(0.0);
    std::int64_t k;
    const Real kk = roundedInteger(z.hi * of(k256ByLn2), k);
    const Real r = ((z.hi - kk * Real(kLn2By256Hi)) - kk * of(kLn2By256Lo)) + z.lo;
    const auto j = static_cast<int>(k & 255);
    const Real scale = twoTo(static_cast<int>((k - j) / 256)) * of(kExp2By256[j]);
    return sign(static_cast<double>(scale + scale * expm1Near(r)));
}

// x87's 80-bit extended format in software, for machines whose long double
// is something else: a sign, a 15-bit exponent and a 64-bit significand with
// its integer bit, rounded to nearest even at 64 bits, with x87's results for
// NaN operands (the larger significand, quieted), invalid operations (the
// "real indefinite" NaN), infinities, signed zeros and subnormals, as under
// the engine's settings (every exception masked). The same bits as x87,
// proven against it by a test and the fuzzer on x86-64.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace velmoratrix::soft {

struct Extended {
    std::uint64_t significand;  // bit 63: the integer bit
    std::uint16_t signExponent; // bit 15: the sign; bits 0-14: the biased exponent
};

namespace detail {

using u128 = unsigned __int128;
constexpr int kBias = 16383;
constexpr std::uint16_t kMaxField = 0x7fff;
constexpr std::uint64_t kInteger = std::uint64_t{1} << 63, kQuiet = std::uint64_t{1} << 62;

inline bool sign(Extended x) {
    return x.signExponent >> 15;
}
inline int field(Extended x) {
    return x.signExponent & kMaxField;
}
inline bool isNaN(Extended x) {
    return field(x) == kMaxField && (x.significand << 1) != 0;
}
inline bool isInf(Extended x) {
    return field(x) == kMaxField && (x.significand << 1) == 0;
}
inline bool isZero(Extended x) {
    return field(x) == 0 && x.significand == 0;
}

inline Extended make(bool negative, int field, std::uint64_t significand) {
    return {significand, static_cast<std::uint16_t>((negative ? 0x8000 : 0) | field)};
}
inline Extended infinity(bool negative) {
    return make(negative, kMaxField, kInteger);
}
inline Extended zero(bool negative) {
    return make(negative, 0, 0);
}
// What an invalid operation gives: the "real indefinite" quiet NaN.
inline Extended indefinite() {
    return make(true, kMaxField, kInteger | kQuiet);
}

inline Extended quieted(Extended x) {
    return {x.significand | kQuiet, x.signExponent};
}

// The NaN an operation with a NaN operand gives, quieted: of a quiet and a
// signaling NaN, the quiet one; of two alike, the one with the larger
// significand (on a tie, the positive one).
inline Extended nanOf(Extended a, Extended b) {
    if (isNaN(a) && isNaN(b)) {
        const bool qa = a.significand & kQuiet, qb = b.significand & kQuiet;
        if (qa != qb) return quieted(qa ? a : b);
        if (a.significand != b.significand) return quieted(a.significand > b.significand ? a : b);
        return quieted(a.signExponent <= b.signExponent ? a : b);
    }
    return quieted(isNaN(a) ? a : b);
}

inline int leadingZeros(u128 m) {
    const auto high = static_cast<std::uint64_t>(m >> 64);
    return high ? __builtin_clzll(high) : 64 + __builtin_clzll(static_cast<std::uint64_t>(m));
}

// A finite nonzero value as (exponent of the top bit, significand with its top
// bit set): subnormals normalized.
struct Unpacked {
    bool negative;
    int exponent;
    std::uint64_t significand;
};
inline Unpacked unpack(Extended x) {
    int e = field(x) == 0 ? 1 - kBias : field(x) - kBias;
    std::uint64_t s = x.significand;
    const int shift = __builtin_clzll(s);
    s <<= shift;
    e -= shift;
    return {sign(x), e, s};
}

// Rounds m (top bit at bit 127, nonzero) times 2^(top - 127) to 64 bits,
// nearest even: infinity past the largest, subnormal below the smallest
// normal.
inline Extended roundPack(bool negative, int top, u128 m) {
    const int biased = top + kBias;
    // Bits of m below the kept ones.
    const int drop = biased >= 1 ? 64 : 64 + (1 - biased);
    std::uint64_t kept;
    bool round, sticky;
    if (drop > 128) {
        kept = 0;
        round = false;
        sticky = true;
    } else if (drop == 128) {
        kept = 0;
        round = static_cast<bool>(m >> 127);
        sticky = (m << 1) != 0;
    } else {
        kept = static_cast<std::uint64_t>(m >> drop);
        round = static_cast<bool>((m >> (drop - 1)) & 1);
        sticky = (m & ((u128{1} << (drop - 1)) - 1)) != 0;
    }
    int result = biased >= 1 ? biased : 0;
    if (round && (sticky || (kept & 1))) {
        ++kept;
        if (kept == 0) { // carried out of the top: the next binade
            kept = kInteger;
            ++result;
        } else if (result == 0 && (kept & kInteger)) {
            result = 1; // a subnormal rounded up to the smallest normal
        }
    }
    if (result >= kMaxField) return infinity(negative);
    return make(negative, result, kept);
}

inline Extended normalizedPack(bool negative, int topAt127, u128 m) {
    const int shift = leadingZeros(m);
    return roundPack(negative, topAt127 - shift, m << shift);
}

// The common case, tested first: both normal (a biased exponent from 1 to
// 0x7ffe, the integer bit set), with no special value to sort out.
inline bool ordinary(Extended a, Extended b) {
    return static_cast<unsigned>(field(a) - 1) < kMaxField - 1u &&
           static_cast<unsigned>(field(b) - 1) < kMaxField - 1u &&
           (a.significand & b.significand & kInteger);
}

// m (top bit at bit 127) rounded to 64 bits, nearest even, as a normal value
// of biased exponent `biased`; false where the result is not normal (past the
// largest, or below the smallest where rounding happens at another bit), which
// roundPack then handles.
// In two words (kept, the top 64 bits, and the rest): a 128-bit value would
// go through memory in a busy loop.
inline bool roundedNormal(bool negative, int biased, std::uint64_t kept, std::uint64_t rest,
                          Extended& out) {
    if (biased < 1) return false;
    // Without a branch: random data rounds up half the time.
    kept += (rest >> 63) & (static_cast<std::uint64_t>((rest << 1) != 0) | (kept & 1));
    if (kept == 0) { // carried out of the top: the next binade
        kept = kInteger;
        ++biased;
    }
    if (biased >= kMaxField) return false;
    out = make(negative, biased, kept);
    return true;
}
inline bool roundedNormal(bool negative, int biased, u128 m, Extended& out) {
    return roundedNormal(negative, biased, static_cast<std::uint64_t>(m >> 64),
                         static_cast<std::uint64_t>(m), out);
}

} // namespace detail

namespace detail {

[[gnu::noinline]] inline Extended addAny(Extended a, Extended b) {
    if (isNaN(a) || isNaN(b)) return nanOf(a, b);
    if (isInf(a) || isInf(b)) {
        if (isInf(a) && isInf(b) && sign(a) != sign(b)) return indefinite();
        return isInf(a) ? a : b;
    }
    if (isZero(a) && isZero(b)) return zero(sign(a) && sign(b));
    if (isZero(a)) return b;
    if (isZero(b)) return a;
    Unpacked x = unpack(a), y = unpack(b);
    if (x.exponent < y.exponent || (x.exponent == y.exponent && x.significand < y.significand)) {
        const Unpacked t = x;
        x = y;
        y = t;
    }
    // The larger's top at bit 126 (room for a carry); the smaller shifted
    // to its place, what falls off kept as a sticky bit.
    const u128 big = u128{x.significand} << 63;
    u128 small = u128{y.significand} << 63;
    const int d = x.exponent - y.exponent;
    if (d >= 127) {
        small = 1;
    } else if (d > 0) {
        const bool lost = (small & ((u128{1} << d) - 1)) != 0;
        small = (small >> d) | u128{lost};
    }
    if (x.negative == y.negative) return normalizedPack(x.negative, x.exponent + 1, big + small);
    const u128 m = big - small;
    if (m == 0) return zero(false);
    return normalizedPack(x.negative, x.exponent + 1, m);
}

[[gnu::noinline]] inline Extended multiplyAny(Extended a, Extended b) {
    if (isNaN(a) || isNaN(b)) return nanOf(a, b);
    const bool negative = sign(a) != sign(b);
    if (isInf(a) || isInf(b)) {
        if (isZero(a) || isZero(b)) return indefinite();
        return infinity(negative);
    }
    if (isZero(a) || isZero(b)) return zero(negative);
    const Unpacked x = unpack(a), y = unpack(b);
    const u128 m = u128{x.significand} * y.significand; // exact, top at bit 126 or 127
    return normalizedPack(negative, x.exponent + y.exponent + 1, m);
}

[[gnu::noinline]] inline Extended divideAny(Extended a, Extended b) {
    if (isNaN(a) || isNaN(b)) return nanOf(a, b);
    const bool negative = sign(a) != sign(b);
    if (isInf(a)) return isInf(b) ? indefinite() : infinity(negative);
    if (isInf(b)) return zero(negative);
    if (isZero(b)) return isZero(a) ? indefinite() : infinity(negative);
    if (isZero(a)) return zero(negative);
    const Unpacked x = unpack(a), y = unpack(b);
    // 128 bits of the quotient of the significands, and whether more follow.
    const u128 first = (u128{x.significand} << 64) / y.significand;
    const u128 rest = (u128{x.significand} << 64) % y.significand;
    const u128 second = (rest << 64) / y.significand;
    const bool more = (rest << 64) % y.significand != 0;
    if (first >> 64) { // 65 bits: the quotient's top at bit 127 of (first, second) / 2
        const u128 m = (first << 63) | (second >> 1) | u128{(second & 1) || more};
        return roundPack(negative, x.exponent - y.exponent, m);
    }
    const u128 m = (first << 64) | second | u128{more};
    return roundPack(negative, x.exponent - y.exponent - 1, m);
}

// high:low divided by d, where the quotient fits 64 bits (high < d).
inline std::uint64_t divideWide(std::uint64_t high, std::uint64_t low, std::uint64_t d,
                                std::uint64_t& remainder) {
#if defined(__x86_64__)
    std::uint64_t q;
    __asm__("divq %4" : "=a"(q), "=d"(remainder) : "a"(low), "d"(high), "rm"(d) : "cc");
    return q;
#else
    const u128 n = (u128{high} << 64) | low;
    const auto q = static_cast<std::uint64_t>(n / d);
    remainder = static_cast<std::uint64_t>(n - u128{q} * d);
    return q;
#endif
}

} // namespace detail

namespace detail {

// a + b for normal operands whose exponents lie less than 64 apart: both
// significands aligned in 128 bits, exactly (the larger's top at bit 126, so
// that no sum overflows), and added, the smaller negated first where the
// signs differ (random data takes either way half the time, so no branch
// decides). False where the general path must answer: farther apart, or a
// result that cancels to 64 bits or fewer or leaves the normal range.
[[gnu::always_inline]] inline bool addedNormal(Extended a, Extended b, Extended& out) {
    using u64 = std::uint64_t;
    const u64 fa = a.signExponent & kMaxField, fb = b.signExponent & kMaxField;
    // x: the larger magnitude, chosen by masks (a branch would miss on
    // random data half the time).
    const u64 swap = -static_cast<u64>(((static_cast<u128>(fa) << 64) | a.significand) <
                                       ((static_cast<u128>(fb) << 64) | b.significand));
    const u64 xs = a.significand ^ ((a.significand ^ b.significand) & swap);
    const u64 ys = b.significand ^ ((a.significand ^ b.significand) & swap);
    const u64 ex = fa ^ ((fa ^ fb) & swap), d = ex - (fb ^ ((fa ^ fb) & swap));
    const bool negative = ((a.signExponent ^ ((a.signExponent ^ b.signExponent) & swap)) >> 15) & 1;
    if (d >= 64) return false;
    // In 64-bit words: 128-bit temporaries end up in memory in a busy loop.
    const u64 mask = -static_cast<u64>(sign(a) != sign(b));
    const u64 yLow = (ys << (63 - d)) ^ mask, yHigh = ((ys >> 1) >> d) ^ mask;
    u64 low;
    const bool carry = __builtin_add_overflow(xs << 63, yLow, &low);
    const bool carried = __builtin_add_overflow(low, mask & 1, &low);
    const u64 high = (xs >> 1) + yHigh + carry + carried;
    if (high == 0) return false;
    const int s = __builtin_clzll(high);
    const u64 kept = (high << s) | ((low >> 1) >> (63 - s)), guard = low << s;
    return roundedNormal(negative, static_cast<int>(ex) + 1 - s, (u128{kept} << 64) | guard, out);
}

} // namespace detail

[[gnu::always_inline]] inline Extended add(Extended a, Extended b) {
    Extended r;
    if (detail::ordinary(a, b) && detail::addedNormal(a, b, r)) return r;
    return detail::addAny(a, b);
}

inline Extended negate(Extended x) {
    return {x.significand, static_cast<std::uint16_t>(x.signExponent ^ 0x8000)};
}

[[gnu::always_inline]] inline Extended subtract(Extended a, Extended b) {
    // a - b is a + (-b) but for NaN operands, whose sign stays as given.
    if (detail::isNaN(a) || detail::isNaN(b)) return detail::nanOf(a, b);
    return add(a, negate(b));
}

[[gnu::always_inline]] inline Extended multiply(Extended a, Extended b) {
    using namespace detail;
    if (ordinary(a, b)) {
        u128 m = u128{a.significand} * b.significand; // exact, top at bit 126 or 127
        const int top = static_cast<int>(m >> 127);
        m <<= 1 - top;
        const int biased = field(a) + field(b) - kBias + top;
        Extended r;
        if (roundedNormal(sign(a) != sign(b), biased, m, r)) return r;
    }
    return multiplyAny(a, b);
}

[[gnu::always_inline]] inline Extended divide(Extended a, Extended b) {
    using namespace detail;
    if (ordinary(a, b)) {
        // 64 bits of the quotient of the significands (its top bit set): of
        // x / y or x / 2y, whichever lies in [1/2, 1), chosen without a branch
        // (random data takes either half the time). The remainder against
        // half the divisor gives the round and sticky bits.
        const std::uint64_t x = a.significand, y = b.significand, halved = x >= y;
        const int biased = field(a) - field(b) + kBias - 1 + static_cast<int>(halved);
        std::uint64_t rest;
        const std::uint64_t q = divideWide(x >> halved, (x << 63) & (0 - halved), y, rest);
        const std::uint64_t half = rest >= y - rest, more = rest != 0 && rest != y - rest;
        Extended r;
        if (roundedNormal(sign(a) != sign(b), biased, q, half << 63 | more, r)) return r;
    }
    return divideAny(a, b);
}

// The square root, correctly rounded (x87's fsqrt): -0 for -0, the invalid
// NaN below zero.
inline Extended squareRoot(Extended x) {
    using namespace detail;
    if (!ordinary(x, x) || sign(x)) {
        if (isNaN(x)) return quieted(x);
        if (isZero(x)) return x;
        if (sign(x)) return indefinite();
        if (isInf(x)) return x;
    }
    // A positive normal operand. (A branch on the exponent's parity would
    // miss half the time over random data.)
    const Unpacked u = unpack(x);
    // x = radicand * 2^scale with the scale even and the radicand in [2^126, 2^128).
    const int odd = (u.exponent - 127) & 1;
    const u128 radicand = (u128{u.significand} << 64) >> odd;
    const int scale = u.exponent - 127 + odd;
    // The whole root: the double square root of the top word (IEEE's, the
    // same everywhere) lies within 2^12 of it, one Newton step from there
    // within 2 of it, and squares settle it exactly. (The word is read
    // halved, as a signed one: an unsigned one is read with a branch on its
    // top bit, which the exponent's parity sets.)
    const auto high = static_cast<std::uint64_t>(radicand >> 64);
    const double estimate =
        std::sqrt(2 * static_cast<double>(static_cast<std::int64_t>(high >> 1))) * 0x1p32;
    constexpr std::uint64_t kLargest = ~std::uint64_t{0};
    std::uint64_t root = estimate >= 0x1p64 ? kLargest : static_cast<std::uint64_t>(estimate);
    std::uint64_t remainder;
    const u128 q = high < root // the quotient fits 64 bits: one instruction on x86-64
                       ? divideWide(high, static_cast<std::uint64_t>(radicand), root, remainder)
                       : radicand / root;
    root = static_cast<std::uint64_t>((root + q) >> 1);
    root -= u128{root} * root > radicand;
    root -= u128{root} * root > radicand;
    root += root != kLargest && u128{root + 1} * (root + 1) <= radicand;
    while (u128{root} * root > radicand) --root; // never taken: a guard, not a step
    while (root != kLargest && u128{root + 1} * (root + 1) <= radicand) ++root;
    // rest = radicand - root^2: past root + 1/2 (never on it) where rest > root,
    // and below 2^64 rounded up: the radicand is below (2^64 - 1/2)^2.
    const std::uint64_t significand = root + (radicand - u128{root} * root > root);
    return make(false, 63 + scale / 2 + kBias, significand);
}

// The exact remainder of a / b with a's sign (C's fmodl, x87's fprem).
inline Extended remainderOf(Extended a, Extended b) {
    using namespace detail;
    if (isNaN(a) || isNaN(b)) return nanOf(a, b);
    if (isInf(a) || isZero(b)) return indefinite();
    if (isZero(a) || isInf(b)) return a;
    const Unpacked x = unpack(a), y = unpack(b);
    if (x.exponent < y.exponent) return a;
    u128 rest = x.significand % y.significand;
    for (int d = x.exponent - y.exponent; d > 0 && rest != 0;) {
        const int k = d < 63 ? d : 63;
        rest = (rest << k) % y.significand;
        d -= k;
    }
    if (rest == 0) return zero(x.negative);
    // rest * 2^(y.exponent - 63): exact, subnormal where b is small.
    const int shift = leadingZeros(rest);
    return roundPack(x.negative, y.exponent - 63 + (127 - shift), rest << shift);
}

// Rounded toward minus infinity, or toward zero, to a whole number.
inline Extended wholeOf(Extended x, bool down) {
    using namespace detail;
    if (isNaN(x)) return quieted(x);
    if (isInf(x) || isZero(x)) return x;
    const int e = field(x) - kBias; // of the integer bit (subnormals: far below 1)
    if (e >= 63) return x;
    if (e < 0) return sign(x) && down ? make(true, kBias, kInteger) : zero(sign(x));
    const std::uint64_t fraction = (std::uint64_t{1} << (63 - e)) - 1;
    if ((x.significand & fraction) == 0) return x;
    Extended whole = make(sign(x), field(x), x.significand & ~fraction);
    if (sign(x) && down) whole = subtract(whole, make(false, kBias, kInteger));
    return whole;
}
inline Extended floorOf(Extended x) {
    return wholeOf(x, true);
}
inline Extended truncated(Extended x) {
    return wholeOf(x, false);
}

// Truncated toward zero; a NaN, an infinity or a value beyond int64 gives
// INT64_MIN (x87's "integer indefinite").
inline std::int64_t toInteger(Extended x) {
    using namespace detail;
    constexpr std::int64_t kIndefinite = -0x7fffffffffffffff - 1;
    if (field(x) == kMaxField) return kIndefinite;
    if (isZero(x)) return 0;
    const int e = field(x) - kBias;
    if (e < 0) return 0;
    if (e >= 63) return kIndefinite;
    const std::uint64_t magnitude = x.significand >> (63 - e);
    return sign(x) ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

namespace detail {

// x as a signed 128-bit integer in the order of the values: the magnitude's
// bits (exponent over significand), negated for a negative value, so that -0
// and +0 meet at 0. Comparisons then take no branch on signs or classes.
inline __int128 ordered(Extended x) {
    const auto magnitude = static_cast<__int128>(
        (static_cast<u128>(x.signExponent & kMaxField) << 64) | x.significand);
    return sign(x) ? -magnitude : magnitude;
}

// Both tested at once, without a branch between them.
inline bool eitherNaN(Extended a, Extended b) {
    return (static_cast<unsigned>(isNaN(a)) | static_cast<unsigned>(isNaN(b))) != 0;
}

} // namespace detail

// Comparisons: false where either is NaN, as C's operators on long double.
inline bool equal(Extended a, Extended b) {
    using namespace detail;
    return !eitherNaN(a, b) && ordered(a) == ordered(b);
}

inline bool less(Extended a, Extended b) {
    using namespace detail;
    return !eitherNaN(a, b) && ordered(a) < ordered(b);
}

inline bool lessEqual(Extended a, Extended b) {
    using namespace detail;
    return !eitherNaN(a, b) && ordered(a) <= ordered(b);
}

// Exact: every double is an extended value (a signaling NaN is quieted).
namespace detail {

// A double that is not normal: zero, subnormal, infinite or NaN.
[[gnu::noinline]] inline Extended fromDoubleAny(std::uint64_t bits) {
    const bool negative = bits >> 63;
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (((bits >> 52) & 0x7ff) == 0x7ff)
        return fraction ? make(negative, kMaxField, kInteger | kQuiet | (fraction << 11))
                        : infinity(negative);
    if (fraction == 0) return zero(negative);
    const int shift = __builtin_clzll(fraction); // subnormal: normal in extended
    return make(negative, 1 - 1023 - (shift - 11) + kBias, fraction << shift);
}

} // namespace detail

[[gnu::always_inline]] inline Extended fromDouble(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    const int e = static_cast<int>((bits >> 52) & 0x7ff);
    if (e != 0 && e != 0x7ff) // normal: the fraction under the integer bit
        return detail::make(bits >> 63, e - 1023 + detail::kBias, detail::kInteger | (bits << 11));
    return detail::fromDoubleAny(bits);
}

// A double as x87's arithmetic takes it from memory (fadd m64 and the like):
// a signaling NaN stays signaling, so that a quiet NaN on the stack wins.
[[gnu::always_inline]] inline Extended operandOf(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    Extended x = fromDouble(d);
    const bool signaling = (bits & 0x7ff0000000000000u) == 0x7ff0000000000000u &&
                           (bits & 0x000fffffffffffffu) != 0 && !(bits & 0x0008000000000000u);
    if (signaling) x.significand &= ~detail::kQuiet;
    return x;
}

inline Extended fromInteger(std::int64_t v) {
    using namespace detail;
    if (v == 0) return zero(false);
    const bool negative = v < 0;
    std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    const int shift = __builtin_clzll(magnitude);
    magnitude <<= shift;
    return make(negative, 63 - shift + kBias, magnitude);
}

namespace detail {

// The bits of x in a binary format of `fraction` fraction bits and an
// exponent of `width` bits (in the low bits of the result), rounded to
// nearest even as a store to that format rounds: subnormal below its
// smallest normal, infinity past its largest; a NaN keeps its sign and the
// top of its payload, quieted.
template <int fraction, int width> [[gnu::noinline]] std::uint64_t narrowed(Extended x) {
    constexpr int bias = (1 << (width - 1)) - 1, extra = 63 - fraction;
    constexpr std::uint64_t top = (std::uint64_t{1} << width) - 1;
    constexpr std::uint64_t mask = (std::uint64_t{1} << fraction) - 1;
    const std::uint64_t negative = std::uint64_t{sign(x)} << (fraction + width);
    if (isNaN(x))
        return negative | (top << fraction) | (std::uint64_t{1} << (fraction - 1)) |
               ((x.significand >> extra) & mask);
    if (isInf(x)) return negative | (top << fraction);
    if (isZero(x)) return negative;
    const Unpacked u = unpack(x);
    // Bits to drop from the 64: `extra` for a normal result, more below it.
    int drop = extra;
    if (u.exponent < 1 - bias) drop += 1 - bias - u.exponent;
    std::uint64_t kept = drop >= 64 ? 0 : u.significand >> drop;
    bool round, sticky;
    if (drop > 64) {
        round = false;
        sticky = true;
    } else {
        round = (u.significand >> (drop - 1)) & 1;
        sticky = (u.significand & ((std::uint64_t{1} << (drop - 1)) - 1)) != 0;
    }
    int e = u.exponent;
    if (round && (sticky || (kept & 1))) {
        ++kept;
        if (drop == extra && kept >> (fraction + 1)) { // into the next binade
            kept >>= 1;
            ++e;
        }
    }
    if (u.exponent < 1 - bias) return negative | kept; // subnormal, or the smallest normal
    if (e > bias) return negative | (top << fraction);
    return negative | (static_cast<std::uint64_t>(e + bias) << fraction) | (kept & mask);
}

} // namespace detail

namespace detail {

inline double fromBits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

} // namespace detail

// Rounded to nearest even, as a store to a double rounds.
[[gnu::always_inline]] inline double toDouble(Extended x) {
    using namespace detail;
    const int e = field(x) - kBias;
    const std::uint64_t negative = std::uint64_t{sign(x)} << 63;
    // Infinity or a NaN (quieted, the top of its payload) beside a normal
    // double, selected rather than branched to: a column may mix them.
    const bool special = field(x) == kMaxField;
    const bool normal = (e >= -1022) & (e <= 1023) & static_cast<bool>(x.significand >> 63);
    if (!(normal | special)) return fromBits(narrowed<52, 11>(x));
    // The integer bit carries the exponent to its place, and a rounding carry
    // into the next binade (or to infinity) as a store gives it.
    const std::uint64_t kept = x.significand >> 11, rest = x.significand & 0x7ff;
    const std::uint64_t rounded =
        (static_cast<std::uint64_t>(e + 1022) << 52) + kept +
        ((rest >> 10) & (static_cast<std::uint64_t>((rest & 0x3ff) != 0) | (kept & 1)));
    const std::uint64_t nan = static_cast<std::uint64_t>((x.significand << 1) != 0);
    const std::uint64_t other = 0x7ff0000000000000u | ((x.significand << 1) >> 12) | (nan << 51);
    return fromBits(negative | (special ? other : rounded));
}

// Rounded once, to nearest even, as a store to a float rounds.
inline float toFloat(Extended x) {
    const auto bits = static_cast<std::uint32_t>(detail::narrowed<23, 8>(x));
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

} // namespace velmoratrix::soft

// exp, log, log1p, sin and cos over many rows at once, in doubles, two or
// four rows to a vector. Each row is reduced as elementary.cpp reduces it
// (the same tables; sin and cos by pi/2 in five parts), every step exact or
// its rounding kept, to within 2^-62 of the result (2^-70 for exp and the
// logarithms). Where that leaves the result farther than 2^-6 ulp from a
// tie between doubles, the nearest double is the result, and it is the one
// the extended path gives too (it is within 2^-9 ulp of the exact value); a
// row nearer a tie, or special (NaN, negative, infinite, subnormal, within
// 2^-9 of log's 1, beyond exp's normal range, beyond 2^20 or within 2^-30 of
// a multiple of pi/2 for sin and cos), is computed by the extended path, and
// a zero takes its value at zero. So the bits are the scalar function's, at a
// third of its time.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "elementary.h"
#include "elementary_tables.h"

using namespace velmoratrix::elementary;

namespace {

template <typename T, typename F> [[gnu::always_inline]] inline T as(F f) {
    static_assert(sizeof(T) == sizeof(F));
    T t;
    std::memcpy(&t, &f, sizeof t);
    return t;
}

enum { kLog, kLog1p, kExp, kSin, kCos };

// 1/k! for the series of e^r - 1, k = 3 .. 7.
constexpr double kE3 = 0x1.5555555555555p-3, kE4 = 0x1.5555555555555p-5, kE5 = 0x1.1111111111111p-7,
                 kE6 = 0x1.6c16c16c16c17p-10, kE7 = 0x1.a01a01a01a01ap-13;
// The top 32 bits of kLn2By256Hi.
constexpr double kLn2By256First = 0x1.62e42fefp-9;
// pi/2 in parts: 31, 32, 26, 27 and 53 bits (the products of the first four
// by a whole number below 2^20 exact), and 2/pi.
constexpr double kHalfPi1 = 0x1.921fb544p+0, kHalfPi2 = 0x1.0b4611a6p-34,
                 kHalfPi3 = 0x1.3198a28p-69, kHalfPi4 = 0x1.80dc1ccp-95,
                 kHalfPi5 = 0x1.129024e088a67p-123, kTwoByPi = 0x1.45f306dc9c883p-1;

// 1/k for the series of log(1 + x), k = 3 .. 10.
constexpr double kC3 = 0x1.5555555555555p-2, kC4 = 0.25, kC5 = 0x1.999999999999ap-3,
                 kC6 = 0x1.5555555555555p-3, kC7 = 0x1.2492492492492p-3, kC8 = 0.125,
                 kC9 = 0x1.c71c71c71c71cp-4, kC10 = 0x1.999999999999ap-4;

typedef double Doubles2 __attribute__((vector_size(16)));
typedef std::uint64_t Bits2 __attribute__((vector_size(16)));
typedef std::int64_t Mask2 __attribute__((vector_size(16)));
typedef double Doubles4 __attribute__((vector_size(32)));
typedef std::uint64_t Bits4 __attribute__((vector_size(32)));
typedef std::int64_t Mask4 __attribute__((vector_size(32)));

// The exact error of a product, a b - p, fused: only where the target has
// FMA, where the compilers make one vector instruction of the lanes (a
// library call a lane elsewhere).
template <typename Value>
[[gnu::always_inline]] inline Value productError(Value a, Value b, Value p) {
    Value e;
    for (int k = 0; k < static_cast<int>(sizeof(Value) / sizeof(double)); ++k)
        e[k] = __builtin_fma(a[k], b[k], -p[k]);
    return e;
}

// N rows to a vector: Value holds their doubles, Bits their bits, Mask a
// comparison's outcome. Fused: a product's error is one fused
// multiply-subtract (the same exact value as Dekker's split gives).
template <typename Value, typename Bits, typename Mask, int N, bool fused = false> struct Lanes {

    [[gnu::always_inline]] static Value select(Mask m, Value a, Value b) {
        return as<Value>((as<Bits>(a) & as<Bits>(m)) | (as<Bits>(b) & ~as<Bits>(m)));
    }
    [[gnu::always_inline]] static Value twoSum(Value a, Value b, Value& lo) {
        const Value s = a + b, bb = s - a;
        lo = (a - (s - bb)) + (b - bb);
        return s;
    }
    template <typename Table> [[gnu::always_inline]] static Value gather(const Table& t, Bits j) {
        Value v;
        for (int k = 0; k < N; ++k) v[k] = t(static_cast<int>(j[k]));
        return v;
    }

    // log(s + t) where s is a normal double above 0, not within 2^-9 of 1,
    // and |t| at most half s's ulp; `safe` is all ones in the rows whose
    // result is the nearest double beyond doubt.
    [[gnu::always_inline]] static Value logarithm(Value s, Value t, Mask& safe) {
        const Bits b = as<Bits>(s);
        const Bits j = (b >> 44) & 0xff;
        // s = 2^e m with m in [1, 2), read from the bits; c = 1 + j/256,
        // and m's top 44 fraction bits mh: mh - c has at most 36 bits.
        const Bits mb = (b & 0x000FFFFFFFFFFFFFu) | (std::uint64_t{1023} << 52);
        const Value m = as<Value>(mb), mh = as<Value>(mb & ~std::uint64_t{0xff});
        const Value c = as<Value>(mb & ~((std::uint64_t{1} << 44) - 1));
        // e (one more from j = 128 on, as the tables count it) as a double,
        // through 2^52 + 2048 + e.
        const Value e =
            as<Value>((b >> 52) + (j >> 7) + (0x4330000000000000u + 2048 - 1023)) - (0x1p52 + 2048);
        const Value inverse = gather([](int k) { return kInverse[k]; }, j);
        // m/c - 1 as x + xl exactly: (mh - c) 1/c and the gap are exact (36
        // and 16 bits, within 2^-8), and so is (m - mh) 1/c (8 and 16 bits).
        const Value high = (mh - c) * inverse + gather([](int k) { return kGap[k]; }, j);
        Value xl;
        const Value x = twoSum(high, (m - mh) * inverse, xl);
        // x^2 = q + ql exactly.
        Value ql;
        const Value q = square(x, ql);
        // log(1 + x + xl) = x - x^2/2 + x^3 (1/3 - x/4 ...) + xl (1 - x), to
        // 2^-80 for |x| <= 2^-8.
        const Value series = ((kC3 - kC4 * x) + q * (kC5 - kC6 * x)) +
                             (q * q) * ((kC7 - kC8 * x) + q * (kC9 - kC10 * x));
        const Value small = ((q * x) * series - 0.5 * ql) + xl * (1 - x) + t / s +
                            (e * kLn2Lo.hi + gather([](int k) { return kLogInverse[k].lo; }, j));
        // e ln2 (exact: kLn2Hi has 42 bits), -log(1/c), x and -q/2 summed
        // with each rounding kept.
        Value lo1, lo2, lo3;
        Value sum = twoSum(e * kLn2Hi, gather([](int k) { return kLogInverse[k].hi; }, j), lo1);
        sum = twoSum(sum, x, lo2);
        sum = twoSum(sum, -0.5 * q, lo3);
        const Value lo = ((lo1 + lo2) + lo3) + small;
        const Value hi = sum + lo, rest = lo - (hi - sum); // hi + rest = sum + lo exactly
        safe = safelyRounded(hi, rest);
        return hi;
    }

    // hi + rest, the exact sum of a value computed to within 2^-70 of
    // itself: safe where rest lies clear of half hi's ulp (and hi is no power
    // of two, below which the ulp halves).
    [[gnu::always_inline]] static Mask safelyRounded(Value hi, Value rest) {
        const Bits magnitude = as<Bits>(hi) & 0x7FFFFFFFFFFFFFFFu;
        const Value ulp = as<Value>((magnitude & 0x7FF0000000000000u) - (std::uint64_t{52} << 52));
        const Value gap = as<Value>(as<Bits>(rest) & 0x7FFFFFFFFFFFFFFFu);
        return (gap < ulp * (0.5 - 0x1p-6)) & ((magnitude & 0x000FFFFFFFFFFFFFu) != 0);
    }
    // x^2 = q + ql exactly (Dekker, split at 27 bits).
    [[gnu::always_inline]] static Value square(Value x, Value& ql) {
        const Value q = x * x;
        if constexpr (fused) {
            ql = productError(x, x, q);
        } else {
            const Value split = 134217729.0 * x, h = split - (split - x), l = x - h;
            ql = ((h * h - q) + 2 * h * l) + l * l;
        }
        return q;
    }
    // a b = p + pl exactly (Dekker, split at 27 bits).
    [[gnu::always_inline]] static Value twoProduct(Value a, Value b, Value& pl) {
        if constexpr (fused) {
            const Value p = a * b;
            pl = productError(a, b, p);
            return p;
        }
        const Value sa = 134217729.0 * a, ah = sa - (sa - a), al = a - ah;
        const Value sb = 134217729.0 * b, bh = sb - (sb - b), bl = b - bh;
        const Value p = a * b;
        pl = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
        return p;
    }

    // e^x for |x| <= 708, where the result is normal.
    [[gnu::always_inline]] static Value exponential(Value x, Mask& safe) {
        // x = k ln2/256 + r, k the integer nearest x 256/ln2 (through 1.5
        // 2^52); k ln2/256 in three parts, the first two products exact (32
        // and 13 bits of ln2/256 by at most 20 of k) and x minus the first
        // exact too (the two within a factor of 2, or k = 0).
        const Value shifted = x * k256ByLn2.hi + 0x1.8p52;
        const Bits k = as<Bits>(shifted) - as<Bits>(Value{} + 0x1.8p52);
        const Value kk = shifted - 0x1.8p52;
        constexpr double first = kLn2By256First, second = kLn2By256Hi - kLn2By256First;
        Value rl;
        const Value r = twoSum(x - kk * first, -(kk * second), rl);
        rl = rl - (kk * kLn2By256Lo.hi + kk * kLn2By256Lo.lo);
        // e^r - 1 = r + r^2/2 + r^3 (1/6 + r/24 ...) + rl (1 + r), to 2^-75
        // for |r| <= 2^-9.
        Value ql;
        const Value q = twoProduct(r, r, ql);
        const Value series = (kE3 + kE4 * r) + q * ((kE5 + kE6 * r) + q * kE7);
        Value pl;
        const Value p = twoSum(r, 0.5 * q, pl);
        pl = pl + ((0.5 * ql + (q * r) * series) + rl * (1 + r));
        // 2^(j/256) (1 + p), j = k mod 256, with its parts' products kept.
        const Bits j = k & 0xff;
        const Value th = gather([](int i) { return kExp2By256[i].hi; }, j);
        const Value tl = gather([](int i) { return kExp2By256[i].lo; }, j);
        Value al;
        const Value a = twoProduct(th, p, al);
        Value e1;
        const Value sum = twoSum(th, a, e1);
        const Value lo = e1 + (al + (th * pl + (tl + tl * p)));
        const Value hi = sum + lo, rest = lo - (hi - sum);
        safe = safelyRounded(hi, rest);
        // Times 2^m, m = (k - j)/256: exact in the normal range.
        const Bits m = as<Bits>(as<Mask>(k - j) >> 8);
        return hi * as<Value>((m + 1023) << 52);
    }

    // 1/k! as a double and as two.
    static constexpr double f(int k) { return kInverseFactorial[k].hi; }
    // a (ah + al) to a pair, for a table's 1/k!.
    [[gnu::always_inline]] static Value timesPair(Value a, Value al, const Pair& c, Value& lo) {
        const Value p = twoProduct(a, Value{} + c.hi, lo);
        lo = lo + (a * c.lo + al * c.hi);
        return p;
    }

    // sin x or cos x for 2^-28 <= |x| <= 2^20: x = n pi/2 + r, r = rh + rl to
    // 2^-105 (the products by n exact but the last, x minus the first exact),
    // then the series of sin r and cos r with their leading terms in pairs,
    // to 2^-62 of the result. Safe only where |r| >= 2^-30.
    template <bool cosine> [[gnu::always_inline]] static Value sine(Value x, Mask& safe) {
        const Value shifted = x * kTwoByPi + 0x1.8p52;
        const Bits n = as<Bits>(shifted) - as<Bits>(Value{} + 0x1.8p52);
        const Value nn = shifted - 0x1.8p52;
        Value be, de;
        const Value b = twoSum(x - nn * kHalfPi1, -(nn * kHalfPi2), be);
        const Value d = twoSum(b, -(nn * kHalfPi3), de);
        const Value rest = (be + de) - (nn * kHalfPi4 + nn * kHalfPi5);
        const Value rh = d + rest, rl = rest - (rh - d);
        // r^2 = s + sl, and its square s2 + s2l.
        Value sl, s2l;
        const Value s = twoProduct(rh, rh, sl);
        sl = sl + 2 * rh * rl;
        const Value s2 = twoProduct(s, s, s2l);
        s2l = s2l + 2 * s * sl;
        // sin r = r (1 + T), T = -s/6 + s^2/120 - s^3 (1/7! - s/9! ...).
        Value al, bl, tl;
        const Value a = timesPair(s, sl, kInverseFactorial[3], al);
        const Value c = timesPair(s2, s2l, kInverseFactorial[5], bl);
        const Value tailS =
            (s2 * s) *
            (f(7) - s * (f(9) - s * (f(11) - s * (f(13) - s * (f(15) - s * (f(17) - s * f(19)))))));
        const Value t = twoSum(-a, c, tl);
        tl = tl + ((bl - al) - tailS);
        Value pl, hl;
        const Value p = twoProduct(rh, t, pl);
        pl = pl + (rh * tl + rl * t);
        const Value sh = twoSum(rh, p, hl);
        const Value sLo = hl + (pl + rl);
        // cos r = 1 - s/2 + s^2/24 - s^3 (1/6! - s/8! ...).
        Value gl, ul, vl;
        const Value g = timesPair(s2, s2l, kInverseFactorial[4], gl);
        const Value tailC =
            (s2 * s) *
            (f(6) - s * (f(8) - s * (f(10) - s * (f(12) - s * (f(14) - s * (f(16) - s * f(18)))))));
        const Value u = twoSum(Value{} + 1.0, -0.5 * s, ul);
        const Value ch = twoSum(u, g, vl);
        const Value cLo = (ul + vl) + ((gl - 0.5 * sl) - tailC);
        // The quadrant picks which and its sign: sin x is sin r, cos r,
        // -sin r, -cos r for n mod 4 = 0 .. 3; cos x the next quadrant's.
        const Bits q = (n + (cosine ? 1 : 0)) & 3;
        const Mask odd = as<Mask>((q & 1) != 0), minus = as<Mask>((q & 2) != 0);
        const Value high = select(odd, ch, sh), low = select(odd, cLo, sLo);
        const Value hi = high + low, restOf = low - (hi - high);
        const Value r = as<Value>(as<Bits>(rh) & 0x7FFFFFFFFFFFFFFFu);
        safe = safelyRounded(hi, restOf) & (r >= 0x1p-30);
        return as<Value>(as<Bits>(hi) ^ (as<Bits>(minus) & 0x8000000000000000u));
    }

    // Rows of in through the vectors where each is safe, the rest (and a
    // last part shorter than a vector) through the scalar function.
    template <int kind>
    [[gnu::always_inline]] static void rows(const double* in, double* out, std::size_t n,
                                            double (*scalar)(double)) {
        // Zeros are common (sparse data; null rows often read one), and no
        // kind's vector form takes them: the scalar function's values at +0
        // and -0, taken once.
        const double zero = scalar(0.0), minusZero = scalar(-0.0);
        Value atZero, atMinusZero; // lane by lane: 0 + -0 would be +0
        for (int k = 0; k < N; ++k) {
            atZero[k] = zero;
            atMinusZero[k] = minusZero;
        }
        std::size_t i = 0;
        for (; i + N <= n; i += N) {
            Value y;
            std::memcpy(&y, in + i, sizeof y);
            Value v;
            Mask fits, safe;
            if (kind == kExp) {
                fits = (y <= 708.0) & (y >= -708.0);
                v = exponential(select(fits, y, Value{} * 0.0), safe);
            } else if (kind == kSin || kind == kCos) {
                const Value a = as<Value>(as<Bits>(y) & 0x7FFFFFFFFFFFFFFFu);
                fits = (a >= 0x1p-28) & (a <= 0x1p20);
                v = sine<kind == kCos>(select(fits, y, Value{} + 1.0), safe);
            } else {
                Value s, t;
                if (kind == kLog1p) { // 1 + y = s + t exactly (Fast2Sum, larger first)
                    s = 1.0 + y;
                    t = select(y > 1.0, 1.0 - (s - y), y - (s - 1.0));
                    fits = ((y >= 0x1p-9) & (y < 0x1p1023)) | ((y <= -0x1p-9) & (y > -1.0));
                } else {
                    s = y;
                    t = Value{} * 0.0;
                    fits = ((y >= 1.0 + 0x1p-9) & (y < 0x1p1023)) |
                           ((y <= 1.0 - 0x1p-9) & (y >= 0x1p-1022));
                }
                // Rows that do not fit are computed anew below: give them a
                // harmless argument meanwhile.
                s = select(fits, s, Value{} + 2.0);
                t = select(fits, t, Value{} * 0.0);
                v = logarithm(s, t, safe);
            }
            const Mask zeros = y == 0.0;
            v = select(zeros, select(as<Mask>(y) < 0, atMinusZero, atZero), v);
            std::memcpy(out + i, &v, sizeof v);
            const Mask done = (fits & safe) | zeros;
            for (int k = 0; k < N; ++k)
                if (!done[k]) out[i + k] = scalar(in[i + k]);
        }
        for (; i < n; ++i) out[i] = scalar(in[i]);
    }
};

// Each kind's function of one row, which computes what the vectors leave.
double (*const kScalar[])(double) = {&velmoratrix::elementary::log, &velmoratrix::elementary::log1p,
                                     &velmoratrix::elementary::exp, &velmoratrix::elementary::sin,
                                     &velmoratrix::elementary::cos};

// The widest form a test allows.
std::atomic<RowsForm> widest{RowsForm::FourFused};

// Four rows to a vector where the processor has AVX2: the same operations,
// so the same bits. Where it has FMA too, a product's exact error is one
// fused instruction; nothing else is fused, and that error is the same value
// either way. Not on Windows, whose GCC does not align the stack for 32-byte
// vectors.
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define VELMO_FOUR_ROWS 1
template <int kind>
[[gnu::target("avx2")]] void fourRows(const double* in, double* out, std::size_t n) {
    Lanes<Doubles4, Bits4, Mask4, 4>::rows<kind>(in, out, n, kScalar[kind]);
}
template <int kind>
[[gnu::target("avx2,fma")]] void fourRowsFused(const double* in, double* out, std::size_t n) {
    Lanes<Doubles4, Bits4, Mask4, 4, true>::rows<kind>(in, out, n, kScalar[kind]);
}
// The widest form the processor has, no wider than the one set.
RowsForm form() {
    // Initialized here, not by a constructor's order: the module may load late.
    static const RowsForm has = (__builtin_cpu_init(), !__builtin_cpu_supports("avx2"))
                                    ? RowsForm::Two
                                : __builtin_cpu_supports("fma") ? RowsForm::FourFused
                                                                : RowsForm::Four;
    return std::min(has, widest.load(std::memory_order_relaxed));
}
#else
template <int kind> void fourRows(const double*, double*, std::size_t) {}
template <int kind> void fourRowsFused(const double*, double*, std::size_t) {}
RowsForm form() {
    return RowsForm::Two;
}
#endif

template <int kind> void rows(const double* in, double* out, std::size_t n) {
    switch (form()) {
    case RowsForm::FourFused:
        return fourRowsFused<kind>(in, out, n);
    case RowsForm::Four:
        return fourRows<kind>(in, out, n);
    case RowsForm::Two:
        break;
    }
    Lanes<Doubles2, Bits2, Mask2, 2>::rows<kind>(in, out, n, kScalar[kind]);
}

} // namespace

void velmoratrix::elementary::setRowsForm(RowsForm widest) {
    ::widest.store(widest, std::memory_order_relaxed);
}

velmoratrix::elementary::RowsFunction velmoratrix::elementary::rowsOf(double (*f)(double)) {
    for (int kind = kLog; kind <= kCos; ++kind)
        if (f == kScalar[kind]) {
            constexpr RowsFunction forms[] = {&rows<kLog>, &rows<kLog1p>, &rows<kExp>, &rows<kSin>,
                                              &rows<kCos>};
            return forms[kind];
        }
    return nullptr;
}

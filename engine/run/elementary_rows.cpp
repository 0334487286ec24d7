// log and log1p over many rows at once, in doubles, two or four rows to a
// vector. Each row's logarithm is reduced as elementary.cpp reduces it (the
// same tables), every step exact or its rounding kept, to within 2^-70 of
// the result. Where that leaves the result farther than 2^-6 ulp from a tie
// between doubles, the nearest double is the result, and it is the one the
// extended path gives too (it is within 2^-9 ulp of the exact value); a row
// nearer a tie, or special (NaN, zero, negative, infinite, subnormal, within
// 2^-9 of log's 1), is computed by the extended path. So the bits are the
// scalar function's, at a third to a half of its time.
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

// N rows to a vector: Value holds their doubles, Bits their bits, Mask a
// comparison's outcome.
template <typename Value, typename Bits, typename Mask, int N> struct Lanes {

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
        // x^2 = q + ql exactly (Dekker, split at 27 bits).
        const Value split = 134217729.0 * x, h = split - (split - x), l = x - h, q = x * x;
        const Value ql = ((h * h - q) + 2 * h * l) + l * l;
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
        // Safe where rest lies clear of half hi's ulp (and hi is no power of
        // two, below which the ulp halves).
        const Bits magnitude = as<Bits>(hi) & 0x7FFFFFFFFFFFFFFFu;
        const Value ulp = as<Value>((magnitude & 0x7FF0000000000000u) - (std::uint64_t{52} << 52));
        const Value gap = as<Value>(as<Bits>(rest) & 0x7FFFFFFFFFFFFFFFu);
        safe = (gap < ulp * (0.5 - 0x1p-6)) & ((magnitude & 0x000FFFFFFFFFFFFFu) != 0);
        return hi;
    }

    // Rows of in through the vectors where each is safe, the rest (and a
    // last part shorter than a vector) through the scalar function.
    template <bool onePlus>
    [[gnu::always_inline]] static void rows(const double* in, double* out, std::size_t n,
                                            double (*scalar)(double)) {
        std::size_t i = 0;
        for (; i + N <= n; i += N) {
            Value y;
            std::memcpy(&y, in + i, sizeof y);
            Value s, t;
            Mask fits;
            if (onePlus) { // 1 + y = s + t exactly (Fast2Sum, larger first)
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
            Mask safe;
            const Value v = logarithm(s, t, safe);
            std::memcpy(out + i, &v, sizeof v);
            const Mask done = fits & safe;
            for (int k = 0; k < N; ++k)
                if (!done[k]) out[i + k] = scalar(in[i + k]);
        }
        for (; i < n; ++i) out[i] = scalar(in[i]);
    }
};

using Two = Lanes<Doubles2, Bits2, Mask2, 2>;

// Four rows to a vector where the processor has AVX2 (the same operations,
// so the same bits: no fused multiply-add is enabled). Not on Windows, whose
// GCC does not align the stack for 32-byte vectors.
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define VELMO_FOUR_ROWS 1
using Four = Lanes<Doubles4, Bits4, Mask4, 4>;
[[gnu::target("avx2")]] void log1pQuad(const double* in, double* out, std::size_t n) {
    Four::rows<true>(in, out, n, &velmoratrix::elementary::log1p);
}
[[gnu::target("avx2")]] void logQuad(const double* in, double* out, std::size_t n) {
    Four::rows<false>(in, out, n, &velmoratrix::elementary::log);
}
std::atomic<bool> fourRows{true};
bool wide() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && fourRows.load(std::memory_order_relaxed);
}
#else
void log1pQuad(const double*, double*, std::size_t) {}
void logQuad(const double*, double*, std::size_t) {}
bool wide() {
    return false;
}
#endif

} // namespace

void velmoratrix::elementary::log1pRows(const double* in, double* out, std::size_t n) {
    if (wide()) return log1pQuad(in, out, n);
    Two::rows<true>(in, out, n, &log1p);
}

void velmoratrix::elementary::logRows(const double* in, double* out, std::size_t n) {
    if (wide()) return logQuad(in, out, n);
    Two::rows<false>(in, out, n, &log);
}

void velmoratrix::elementary::setFourRows(bool enabled) {
#ifdef VELMO_FOUR_ROWS
    fourRows.store(enabled, std::memory_order_relaxed);
#else
    (void)enabled;
#endif
}

velmoratrix::elementary::RowsFunction velmoratrix::elementary::rowsOf(double (*f)(double)) {
    if (f == &log1p) return &log1pRows;
    if (f == &log) return &logRows;
    return nullptr;
}

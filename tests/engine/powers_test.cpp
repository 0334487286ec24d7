// The fast powers give pow's very bits: every exponent of the fast path over
// values drawn to hit its hard cases, against the C library's pow.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "evaluator.h"
#include "native.h"
#include "powers.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

double fromBits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Random magnitudes; odd significands of 17 to 28 bits, whose small powers
// sit on or next to a rounding midpoint; values near the edges of the fast
// path's range, subnormals, zeros, infinities, NaNs, signaling NaNs.
double hardValue(std::mt19937_64& random) {
    const std::uint64_t r = random();
    switch (r % 8) {
    case 0:
    case 1:
        return fromBits(random());
    case 2:
    case 3:
    case 4: {
        const int bits = 17 + static_cast<int>(random() % 12);
        const double odd = static_cast<double>((random() >> (64 - bits)) | 1);
        const int scale = static_cast<int>(random() % 300) - 150;
        return (r >> 8 & 1 ? -1 : 1) * std::ldexp(odd, scale - bits);
    }
    case 5:
        return std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52,
                          static_cast<int>(random() % 40) + (r >> 9 & 1 ? 100 : -140));
    case 6: {
        static const double special[] = {0.0,
                                         -0.0,
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::signaling_NaN(),
                                         std::numeric_limits<double>::denorm_min(),
                                         1.0,
                                         -1.0};
        return special[random() % 9];
    }
    default:
        return std::ldexp(static_cast<double>(random() % 2000000) + 0.5,
                          -static_cast<int>(random() % 20));
    }
}

} // namespace

TEST(PowersTest, EveryFastExponentGivesPowsBits) {
#ifndef __GLIBC__ // others' pow is not correctly rounded where glibc's is
    GTEST_SKIP() << "the fast forms give glibc's pow; this C library's differs";
#endif
    std::mt19937_64 random(25);
    for (double n :
         {-4.0, -3.0, -2.0, -1.0, 0.0, 0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 2.5}) {
        for (int k = 0; k < 1000000; ++k) {
            const double x = hardValue(random);
            const double fast = powNumber(x, n), reference = libraryPow(x, n);
            const double dekker = k % 4 == 0 ? powNumberWithoutFma(x, n) : reference;
#ifdef VELMO_POWERS_ON_X87
            const double x87 = k % 4 == 1 ? powNumberOnX87(x, n) : reference;
#else
            const double x87 = reference;
#endif
            if (bitsOf(fast) != bitsOf(reference) || bitsOf(dekker) != bitsOf(reference) ||
                bitsOf(x87) != bitsOf(reference))
                FAIL() << "pow(" << std::hexfloat << x << ", " << n << "): " << fast << " against "
                       << reference;
        }
    }
}

TEST(PowersTest, EveryPathTakesThem) {
#ifndef __GLIBC__ // others' pow is not correctly rounded where glibc's is
    GTEST_SKIP() << "the fast forms give glibc's pow; this C library's differs";
#endif
    MathEvaluator m(false); // the classic "^" is pow's
    double x = 1.0 + 0x1p-30, column[600], out[600];
    for (int k = 0; k < 600; ++k) column[k] = 1.0 + k * 0x1p-27;
    m.appendVariable("x", x);
    const std::pair<const char*, double> texts[] = {{"x^2", 2}, {"x^3", 3}, {"x^0.5", 0.5}};
    for (const auto& [text, n] : texts) {
        for (int run = 0; run < 3; ++run) // interpreted, then generated
            EXPECT_EQ(bitsOf(static_cast<double>(m.eval(text))), bitsOf(std::pow(x, n))) << text;
        m.evalMany(text, {{"x", column}}, 600, out);
        for (int k = 0; k < 600; ++k)
            ASSERT_EQ(bitsOf(out[k]), bitsOf(std::pow(column[k], n))) << text << " " << k;
    }
}

// A scalar run of a power with a fast exponent, or of a root, reads no SSE
// setting: interpreted and generated, it gives pow's and sqrt's bits under
// the caller's rounding (which fesetround sets for SSE too), over the hard
// values and over roots that lie halfway between two doubles at 64 bits.
TEST(PowersTest, ScalarRunsGivePowsAndSqrtsBitsUnderAnySseSetting) {
#ifndef __GLIBC__ // others' pow is not correctly rounded where glibc's is
    GTEST_SKIP() << "the fast forms give glibc's pow; this C library's differs";
#endif
    std::mt19937_64 random(37);
    std::vector<double> values, halfway;
    for (int k = 0; k < 4000; ++k) values.push_back(hardValue(random));
    while (halfway.size() < 40) {
        const double x = fromBits(random() >> 2); // positive, finite
        const long double root = std::sqrt(static_cast<long double>(x));
        std::uint64_t significand;
        std::memcpy(&significand, &root, sizeof significand);
        if ((significand & 0x7FF) == 0x400) halfway.push_back(x);
    }
    const std::pair<const char*, double> texts[] = {{"x^2", 2},   {"x^-3", -3}, {"x^8", 8},
                                                    {"x^-1", -1}, {"x^7", 7},   {"sqrt(x)", 0.5}};
    for (const bool generated : {false, true}) {
        setNativeEnabled(generated);
        for (const auto& [text, n] : texts) {
            MathEvaluator m(false);
            double x = 0;
            m.appendVariable("x", x);
            Formula formula = m.prepare(text);
            const std::vector<double>& xs = n == 0.5 ? halfway : values;
            std::vector<double> expected;
            for (double v : xs) expected.push_back(n == 0.5 ? std::sqrt(v) : std::pow(v, n));
            std::fesetround(FE_UPWARD);
            std::vector<double> got;
            for (double v : xs) {
                x = v;
                got.push_back(static_cast<double>(formula.value()));
            }
            std::fesetround(FE_TONEAREST);
            for (std::size_t k = 0; k < xs.size(); ++k)
                ASSERT_EQ(bitsOf(got[k]), bitsOf(expected[k]))
                    << text << " of " << std::hexfloat << xs[k] << (generated ? ", generated" : "");
        }
    }
    setNativeEnabled(true);
}

// The standard syntax's power of a constant whole exponent is the product it
// denotes, and of 0.5 the extended root: the same bits on every path (the
// interpreter, the block runner, generated code), x**2 those of x*x, x**3 of
// x*x*x and x**-2 of 1/(x*x), and pow's answers in every case of zeros,
// infinities and NaN (but x**0, 1 for a NaN too).
TEST(PowersTest, StandardPowersAreTheProductsTheyDenote) {
    std::mt19937_64 random(26);
    constexpr std::size_t kRows = 600;
    double column[kRows], out[3][kRows];
    for (double& v : column) v = hardValue(random);
    const double special[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 1.0, -1.0, 0.5, -2.0};
    std::memcpy(column, special, sizeof special);
    auto rows = [&](const std::string& text, bool generated, double* to) {
        setNativeEnabled(generated);
        MathEvaluator m(false);
        m.syntax = Syntax::Standard;
        m.evalMany(text, {{"x", column}}, kRows, to);
        setNativeEnabled(true);
    };
    for (double n : {-1024.0, -7.0, -3.0, -2.0, -1.0, 0.0,  0.5,  1.0,    2.0,    3.0,   4.0,
                     5.0,     6.0,  7.0,  8.0,  13.0, 31.0, 64.0, 1000.0, 1023.0, 1024.0}) {
        const std::string text = "x ** " + (n == 0.5 ? std::string("0.5") : std::to_string(int(n)));
        rows(text, false, out[0]);
        rows(text, true, out[1]);
        for (std::size_t k = 0; k < kRows; ++k) {
            ASSERT_EQ(bitsOf(out[0][k]), bitsOf(out[1][k])) << text << " of " << column[k];
            // C's pow; elsewhere than x86-64 but for the sign of its NaN, which is
            // the platform's (aarch64's is positive; ours is x87's everywhere).
            const double theirs = std::pow(column[k], n);
#if defined(__x86_64__) || defined(__i386__)
            const bool nanSign = false;
#else
            const bool nanSign = theirs != theirs && out[1][k] != out[1][k];
#endif
            if (k < sizeof special / sizeof special[0] && (n != 0 || column[k] == column[k]) &&
                !nanSign) {
                EXPECT_EQ(bitsOf(out[1][k]), bitsOf(theirs)) << text << " of " << column[k];
            }
        }
        MathEvaluator m(false);
        m.syntax = Syntax::Standard;
        for (std::size_t k = 0; k < kRows; k += 37) // one row, the interpreter
            ASSERT_EQ(bitsOf(static_cast<double>(m.evalWith(text, {{"x", column + k, 0}}))),
                      bitsOf(out[1][k]));
        EXPECT_EQ(m.eval("nan ** 0"), 1);
    }
    const std::pair<const char*, const char*> same[] = {
        {"x ** 2", "x * x"}, {"x ** 3", "x * x * x"}, {"pow(x, -2)", "1 / (x * x)"}};
    for (const auto& [power, product] : same) {
        rows(power, true, out[1]);
        rows(product, true, out[2]);
        for (std::size_t k = 0; k < kRows; ++k)
            ASSERT_EQ(bitsOf(out[1][k]), bitsOf(out[2][k])) << power << " of " << column[k];
    }
}

// The fast powers give pow's very bits: every exponent of the fast path over
// values drawn to hit its hard cases, against the C library's pow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>

#include "evaluator.h"
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
    std::mt19937_64 random(25);
    for (double n :
         {-4.0, -3.0, -2.0, -1.0, 0.0, 0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 2.5}) {
        for (int k = 0; k < 1000000; ++k) {
            const double x = hardValue(random);
            const double fast = powNumber(x, n), reference = std::pow(x, n);
            const double dekker = k % 4 == 0 ? powNumberWithoutFma(x, n) : reference;
            if (bitsOf(fast) != bitsOf(reference) || bitsOf(dekker) != bitsOf(reference))
                FAIL() << "pow(" << std::hexfloat << x << ", " << n << "): " << fast << " against "
                       << reference;
        }
    }
}

TEST(PowersTest, EveryPathTakesThem) {
    MathEvaluator m(false);
    m.syntax = Syntax::Standard;
    double x = 1.0 + 0x1p-30, column[600], out[600];
    for (int k = 0; k < 600; ++k) column[k] = 1.0 + k * 0x1p-27;
    m.appendVariable("x", x);
    const std::pair<const char*, double> texts[] = {
        {"x^2", 2}, {"x ** 3", 3}, {"pow(x, -2)", -2}, {"x^0.5", 0.5}};
    for (const auto& [text, n] : texts) {
        for (int run = 0; run < 3; ++run) // interpreted, then generated
            EXPECT_EQ(bitsOf(static_cast<double>(m.eval(text))), bitsOf(std::pow(x, n))) << text;
        m.evalMany(text, {{"x", column}}, 600, out);
        for (int k = 0; k < 600; ++k)
            ASSERT_EQ(bitsOf(out[k]), bitsOf(std::pow(column[k], n))) << text << " " << k;
    }
}

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "primitives.h"

namespace {

using Primitive = long double (*)(long double, long double, bool);
constexpr long double kInf = std::numeric_limits<long double>::infinity();
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();

struct Case {
    const char* label;
    Primitive primitive;
    long double left, right;
    bool flag;
    long double expected;
};

void expectSame(long double actual, long double expected) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << static_cast<double>(actual);
    } else {
        EXPECT_EQ(actual, expected);
    }
}

TEST(PrimitivesTest, ExactResults) {
    const Case cases[] = {
        {"sub takes left first", _sub, 2, 3, false, -1},
        {"div takes left first", _div, 8, 2, false, 4},
        {"add in extended precision", _add, 1, 0x1p-60L, false, 1 + 0x1p-60L},
        {"mul in extended precision", _mul, 1 + 0x1p-30L, 1 + 0x1p-30L, false,
         1 + 0x1p-29L + 0x1p-60L},
        {"div by zero", _div, 1, 0, false, kInf},
        {"negative div by zero", _div, -1, 0, false, -kInf},
        {"zero by zero", _div, 0, 0, false, kNaN},
        {"mod", _mod, 7, 3, false, 1},
        {"mod negative dividend", _mod, -7, 3, false, -1},
        {"mod negative divisor", _mod, 7, -3, false, 1},
        {"mod truncates first", _mod, 7.9L, 2.5L, false, 1},
        {"mod zero divisor", _mod, 7, 0, false, kNaN},
        {"mod divisor truncating to zero", _mod, 7, 0.5L, false, kNaN},
        {"mod most negative by -1", _mod, -2147483648.0L, -1, false, 0},
        {"mod huge dividend is -2^31", _mod, 1e10L, 7, false, -2},
        {"mod infinity is -2^31", _mod, kInf, 1000, false, -648},
        {"mod NaN is -2^31", _mod, kNaN, 1000, false, -648},
        {"mod huge divisor is -2^31", _mod, 5, -1e12L, false, 5},
        {"pow", _pow, 2, 10, false, 1024},
        {"pow negative base fraction", _pow, -8, 1.0L / 3, false, kNaN},
        {"pow zero to zero", _pow, 0, 0, false, 1},
        {"pow overflows in double", _pow, 10, 400, false, kInf},
        {"factorial exact", _factorial, 0, 5, true, 120},
        {"factorial beyond double precision", _factorial, 0, 25, true,
         15511210043330985984000000.0L},
        {"factorial ignores left", _factorial, 99, 5, true, 120},
        {"factorial of 0", _factorial, 0, 0, true, 1},
        {"factorial of negative integer", _factorial, 0, -3, true, 1},
        {"factorial of 1755 overflows", _factorial, 0, 1755, true, kInf},
        {"factorial of 2^31-1 ends", _factorial, 0, 2147483647.0L, true, kInf},
        {"factorial of 2e9 ends", _factorial, 0, 2e9L, true, kInf},
        {"factorial of 2^31 takes the approximation", _factorial, 0, 2147483648.0L, true, kInf},
        {"factorial below -2^31", _factorial, 0, -3e9L, true, kNaN},
        {"stirling of 0", _factorial, 0, 0, false, 0},
        {"stirling of negative", _factorial, 0, -3, false, kNaN},
        {"stirling of 172", _factorial, 0, 172, false, kInf},
        {"stirling of +inf", _factorial, 0, kInf, false, kInf},
        {"stirling of -inf", _factorial, 0, -kInf, false, kNaN},
        {"stirling of NaN", _factorial, 0, kNaN, true, kNaN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        expectSame(c.primitive(c.left, c.right, c.flag), c.expected);
    }
}

TEST(PrimitivesTest, FactorialApproximation) {
    struct Approx {
        const char* label;
        long double x;
        bool flag;
        long double expected;
    };
    const Approx cases[] = {
        {"1 without flag", 1, false, 0.9221370088957891L},
        {"5 without flag", 5, false, 118.0191679575901L},
        {"2.5 even with flag", 2.5L, true, 3.214946538651742L},
    };
    for (const Approx& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_NEAR(static_cast<double>(_factorial(0, c.x, c.flag)),
                    static_cast<double>(c.expected), 1e-12 * static_cast<double>(c.expected));
    }
    const long double f171 = _factorial(0, 171, false);
    EXPECT_TRUE(std::isfinite(f171));
    EXPECT_GT(f171, std::numeric_limits<double>::max());
    EXPECT_NEAR(static_cast<double>(f171 / 1e309L), 1.24, 0.01);
}

TEST(PrimitivesTest, ExactFactorialRange) {
    const long double f1754 = _factorial(0, 1754, true);
    EXPECT_TRUE(std::isfinite(f1754));
    EXPECT_GT(f1754, 1e4930L);
    EXPECT_EQ(_factorial(0, 1754, true) * 1755, kInf);
}

TEST(PrimitivesTest, FactorialOfLargestIntegerIsPrompt) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(_factorial(0, 2147483647.0L, true), kInf);
    // Generous: only a walk through the whole 32-bit range would exceed it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

} // namespace

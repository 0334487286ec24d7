// The standard syntax's own steps: comparisons, logic and the choice over
// the values where x87 comparisons differ (NaN, signed zeros, infinities),
// on every path; and functions of any count of arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "evaluator.h"
#include "native.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

struct Case {
    const char* text;
    double (*expected)(double x, double y);
};

double truth(bool b) {
    return b ? 1.0 : 0.0;
}

const Case kCases[] = {
    {"x < y", [](double x, double y) { return truth(x < y); }},
    {"x <= y", [](double x, double y) { return truth(x <= y); }},
    {"x > y", [](double x, double y) { return truth(x > y); }},
    {"x >= y", [](double x, double y) { return truth(x >= y); }},
    {"x == y", [](double x, double y) { return truth(x == y); }},
    {"x != y", [](double x, double y) { return truth(x != y); }},
    {"not x", [](double x, double) { return truth(x == 0); }},
    {"x and y", [](double x, double y) { return truth(x != 0 && y != 0); }},
    {"x or y", [](double x, double y) { return truth(x != 0 || y != 0); }},
    {"x ? y : -1", [](double x, double y) { return x != 0 ? y : -1.0; }},
    {"where(x > y, x, y * 2)", [](double x, double y) { return x > y ? x : y * 2; }},
    {"x < y < 1", [](double x, double y) { return truth(x < y && y < 1); }},
};

} // namespace

TEST(StandardTest, ComparisonsAndChoicesGiveTheSameBitsOnEveryPath) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double special[] = {nan, -nan, 0.0, -0.0, 1.0, -1.5, inf, -inf, 1e-310};
    std::vector<double> xs, ys;
    while (xs.size() < 1024) // enough rows for generated code
        for (double x : special)
            for (double y : special) xs.push_back(x), ys.push_back(y);
    const bool enabled = nativeEnabled();
    for (const Case& c : kCases) {
        for (bool generated : {false, true}) {
            setNativeEnabled(generated);
            MathEvaluator m(false);
            m.syntax = Syntax::Standard;
            std::vector<double> out(xs.size());
            m.evalMany(c.text, {{"x", xs.data()}, {"y", ys.data()}}, xs.size(), out.data());
            double x = 0, y = 0;
            m.appendVariable("x", x);
            m.appendVariable("y", y);
            for (std::size_t i = 0; i < xs.size(); ++i) {
                const double expected = c.expected(xs[i], ys[i]);
                ASSERT_EQ(bitsOf(out[i]), bitsOf(expected))
                    << c.text << " " << xs[i] << " " << ys[i];
                if (i >= 81) continue;
                x = xs[i], y = ys[i];
                for (int run = 0; run < 2; ++run) // interpreted, then generated
                    ASSERT_EQ(bitsOf(static_cast<double>(m.eval(c.text))), bitsOf(expected))
                        << c.text << " " << x << " " << y;
            }
        }
    }
    setNativeEnabled(enabled);
}

TEST(StandardTest, FunctionsOfAnyCountOfArguments) {
    MathEvaluator m(false);
    std::vector<std::size_t> counts;
    m.appendCallable("sum3", NaryCallable([&](const double* v, std::size_t n) {
                         counts.push_back(n);
                         return v[0] + 10 * v[1] + 100 * v[2];
                     }),
                     3);
    m.appendCallable("zero", NaryCallable([](const double*, std::size_t) { return 7.0; }), 0);
    m.appendCallable("half", NaryCallable([](const double* v, std::size_t) { return v[0] / 2; }),
                     1);
    EXPECT_EQ(m.eval("sum3(1,2,3)"), 0.0L); // the classic language: a token without effect
    EXPECT_EQ(m.argumentCounts["sum3"], 3);
    m.syntax = Syntax::Standard;
    EXPECT_EQ(m.eval("sum3(1, 2, 3) + zero() + half(5)"), 330.5L);
    double x = 2;
    m.appendVariable("x", x); // a value pushed after the call keeps the call's below it
    EXPECT_EQ(m.eval("sum3(1, 2, 3) + x * 3"), 327.0L);
    EXPECT_EQ(m.currentRPN.tokens.head, nullptr); // a success leaves no lists
    double column[3] = {1, 2, 3}, out[3];
    m.evalMany("sum3(x, x, 1)", {{"x", column}}, 3, out);
    EXPECT_EQ(std::vector<double>(out, out + 3), (std::vector<double>{111, 122, 133}));
    EXPECT_EQ(counts.size(), 5u);
    EXPECT_THROW(m.eval("sum3(1, 2)"), ExpressionError);
    EXPECT_THROW(m.appendCallable("many", NaryCallable(), kMostArguments + 1),
                 std::invalid_argument);
    m.deleteFunction("sum3");
    EXPECT_THROW(m.eval("sum3(1, 2, 3)"), ExpressionError);
}

TEST(StandardTest, CallablesWithBlocksAreCalledOncePerBlock) {
    MathEvaluator m(false);
    int scalarCalls = 0, blockCalls = 0;
    m.appendCallable("third", NaryCallable([&](const double* v, std::size_t) {
                         return ++scalarCalls, v[0] / 3;
                     }),
                     BlockCallable([&](const double* const* v, std::size_t count, double* out) {
                         ++blockCalls;
                         for (std::size_t j = 0; j < count; ++j) out[j] = v[0][j] / 3;
                     }),
                     1);
    std::vector<double> xs(20000), out(xs.size());
    for (std::size_t k = 0; k < xs.size(); ++k) xs[k] = 0.1 * static_cast<double>(k);
    m.evalMany("third(x)*7+x", {{"x", xs.data()}}, xs.size(), out.data(), sizeof(double), 2);
    EXPECT_EQ(scalarCalls, 0);
    EXPECT_LE(blockCalls, 8);
    double x = 0;
    m.appendVariable("x", x);
    for (std::size_t k = 0; k < xs.size(); k += 997) {
        x = xs[k];
        ASSERT_EQ(bitsOf(static_cast<double>(m.eval("third(x)*7+x"))), bitsOf(out[k])) << k;
    }
    EXPECT_GT(scalarCalls, 0);
}

// The standard syntax's own steps: comparisons, logic and the choice over
// the values where x87 comparisons differ (NaN, signed zeros, infinities),
// on every path; and functions of any count of arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "elementary.h"
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
    {"x in [y, 1, -0.0]", [](double x, double y) { return truth(x == y || x == 1 || x == 0); }},
    {"x + 1 not in (y,)", [](double x, double y) { return truth(!(x + 1 == y)); }},
    {"x in []", [](double, double) { return 0.0; }},
    // Nothing is null here: is_null is false, fill_null and coalesce their first value.
    {"where(x == x, fill_null(x, y) == x, 1) and where(y == y, coalesce(y, x) == y, 1) and "
     "not is_null(x)",
     [](double, double) { return 1.0; }},
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
    const NaryCallable some = [](const double*, std::size_t) { return 0.0; };
    for (int count : {-1, kMostArguments + 1})
        EXPECT_THROW(m.appendCallable("many", some, count), std::invalid_argument);
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

// Generated rows cut at each call over blocks keep what crosses a call in 80
// bits (or compute it again after the call), spill past the register stack,
// and read strided columns: every row has the bits of one evaluation, on
// the block runner too.
TEST(StandardTest, RowsBetweenCallsOverBlocksGiveTheBitsOfOneEvaluation) {
    MathEvaluator m(false);
    m.syntax = Syntax::Standard;
    auto add = [&](const char* name, int n, double (*f)(const double*)) {
        m.appendCallable(
            name, NaryCallable([f](const double* v, std::size_t) { return f(v); }),
            BlockCallable([f, n](const double* const* v, std::size_t count, double* out) {
                double row[3];
                for (std::size_t j = 0; j < count; ++j) {
                    for (int k = 0; k < n; ++k) row[k] = v[k][j];
                    out[j] = f(row);
                }
            }),
            n);
    };
    add("seven", 0, [](const double*) { return 7.0; });
    add("third", 1, [](const double* v) { return v[0] / 3; });
    add("mix", 2, [](const double* v) { return v[0] - 2 * v[1]; });
    add("sum3", 3, [](const double* v) { return v[0] + v[1] + v[2]; });
    const char* const texts[] = {
        "x / 3 + third(x) * x",        // computed again after the call
        "third(x) / 3 + third(x / 7)", // kept in 80 bits across it
        "mix(third(x * x), y / 7) + x * 2.5",
        "sum3(x / 3, third(y), x / 7) - seven() / 3",
        "third(x)/3 + (third(x)/5 + (third(x)/7 + (third(x)/9 + (third(x)/11 + (third(x)/13"
        " + (third(x)/17 + (third(x)/19 + (third(x)/23 + third(x/29)))))))))",
        "where(third(x) > 1, x / 3, third(y)) ^ 2 + x / 3",
        "where(x > 0, x / 3, 1) + sin(x)", // the choice spilled in 80 bits at the call
    };
    constexpr std::size_t kRows = 3000;
    std::vector<double> x(kRows), y(2 * kRows), generated(kRows), blocks(kRows);
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(),
                          -0.0,
                          std::numeric_limits<double>::infinity(),
                          4.9e-324,
                          1e308,
                          -1e-300};
    for (std::size_t i = 0; i < kRows; ++i) {
        x[i] = i % 50 < 6 ? odd[i % 50] : 0.37 * static_cast<double>(i) - 500;
        y[2 * i] = 1.0 / (static_cast<double>(i) + 0.5);
    }
    const std::vector<Column> columns{{"x", x.data()}, {"y", y.data(), 2 * sizeof(double)}};
    for (const char* text : texts) {
        const std::size_t pieces = nativeCounts().pieces;
        m.evalMany(text, columns, kRows, generated.data(), sizeof(double), 2);
        if (buildInfo().generatedCode) {
            EXPECT_GT(nativeCounts().pieces, pieces) << text;
        }
        setNativeEnabled(false);
        m.evalMany(text, columns, kRows, blocks.data());
        setNativeEnabled(true);
        for (std::size_t i = 0; i < kRows; ++i) {
            ASSERT_EQ(bitsOf(generated[i]), bitsOf(blocks[i])) << text << " row " << i;
            if (i % 7 != 0 && i % 50 >= 6) continue;
            const double one =
                static_cast<double>(m.evalWith(text, {{"x", &x[i]}, {"y", &y[2 * i]}}));
            ASSERT_EQ(bitsOf(one), bitsOf(generated[i])) << text << " row " << i;
        }
    }
}

// A text deeper than the inline stack that calls a function row by row: each
// row runs on a stack of its own size.
TEST(StandardTest, DeepTextsCallingOutRowByRow) {
    MathEvaluator m(false);
    m.appendCallable("half", UnaryCallable([](double v) { return v / 2; }));
    std::string text = "half(x)";
    for (int k = 0; k < 80; ++k) text = "x/3+(" + text + ")";
    std::vector<double> xs(40), out(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = 0.7 * static_cast<double>(i) - 9;
    m.evalMany(text, {{"x", xs.data()}}, xs.size(), out.data());
    double x = 0;
    m.appendVariable("x", x);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        x = xs[i];
        ASSERT_EQ(bitsOf(static_cast<double>(m.eval(text))), bitsOf(out[i])) << i;
    }
}

// A switch of syntax edits no table, and a formula keeps the syntax, the
// functions and the columns it was prepared with.
TEST(StandardTest, ASwitchEditsNoTableAndFormulasKeepTheirReading) {
    MathEvaluator m(false), fresh(false);
    double one = 1;
    m.appendVariable("x", one);
    const auto tables = [](MathEvaluator& e) {
        return std::make_tuple(
            e.getExternalVariables().size(), e.functions(),
            std::map<std::string, UnaryFunction>(e.unaryFunctions.begin(), e.unaryFunctions.end()),
            e.argumentCounts.size(), e.binaryFunctions.size());
    };
    m.syntax = Syntax::Standard;
    Formula f = m.prepare("max(x, 0) * 5");
    EXPECT_EQ(m.unaryFunctions.size(), fresh.unaryFunctions.size());
    m.syntax = Syntax::Classic;
    fresh.appendVariable("x", one);
    EXPECT_EQ(tables(m), tables(fresh));
    const double xs[] = {1, 2, 3};
    double out[3];
    f.values({{"x", xs}}, 3, out);
    EXPECT_EQ(std::vector<double>(out, out + 3), (std::vector<double>{5, 10, 15}));
    EXPECT_EQ(f.bindableNames(), std::vector<std::string>{"x"});
    // A standard function deleted is gone in that syntax until added again.
    m.deleteFunction("max");
    EXPECT_THROW(f.value(), ExpressionError);
    m.syntax = Syntax::Standard;
    const std::vector<std::string> listed = m.functions();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), "max"), 0);
    m.appendFunction("max", [](long double a, long double b) { return a + b; });
    EXPECT_EQ(f.value(), 5);
    EXPECT_EQ(m.eval("max(2, 3)"), 5);
}

using BinaryPower = double (*)(double, double);

// The syntax's sin ... atan are the engine's own (the same bits everywhere)
// while the table holds the C library's; a function the caller puts there
// wins, a deleted one is gone, and the classic language keeps the table's.
TEST(StandardTest, OwnFunctionsStandInForTheCLibrarysUntilTheCallerChangesThem) {
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    const double x = 1e22; // far from where the C library and ours could agree by luck
    EXPECT_EQ(bitsOf(static_cast<double>(m.eval("sin(1e22)"))), bitsOf(elementary::sin(x)));
    // Arguments where glibc's last bit is another (so the table's function
    // would show).
    const struct {
        const char* text;
        double (*f)(double);
        double x;
    } own[] = {{"sin(2.9019524559216352)", elementary::sin, 2.9019524559216352},
               {"cos(1.3964650997677825)", elementary::cos, 1.3964650997677825},
               {"tan(-1.3035126572893265)", elementary::tan, -1.3035126572893265},
               {"asin(-0.25653579833595797)", elementary::asin, -0.25653579833595797},
               {"acos(0.90668010977985247)", elementary::acos, 0.90668010977985247},
               {"atan(-0.34560929764905657)", elementary::atan, -0.34560929764905657}};
    for (const auto& c : own)
        EXPECT_EQ(bitsOf(static_cast<double>(m.eval(c.text))), bitsOf(c.f(c.x))) << c.text;
    EXPECT_EQ(bitsOf(static_cast<double>(m.eval("atan(3) + arctan(3)"))),
              bitsOf(static_cast<double>(2.0L * elementary::atan(3))));
    std::vector<double> column{0.5, 1e22, -3}, out(3);
    m.evalMany("cos(x)", {{"x", column.data()}}, 3, out.data());
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_EQ(bitsOf(out[k]), bitsOf(elementary::cos(column[k])));

    // Powers too, on every path (1,000 rows: generated code); classic "^" is C's.
    std::vector<double> bases(1000), powers(1000);
    for (std::size_t k = 0; k < bases.size(); ++k) bases[k] = 0.37 * static_cast<double>(k) - 3;
    for (const char* text : {"x ** 1.7", "pow(x, x)", "x ** -0.3"}) {
        m.evalMany(text, {{"x", bases.data()}}, bases.size(), powers.data());
        for (std::size_t k = 0; k < bases.size(); ++k) {
            const double exponent = text[5] == '1' ? 1.7 : text[0] == 'p' ? bases[k] : -0.3;
            ASSERT_EQ(bitsOf(powers[k]), bitsOf(elementary::pow(bases[k], exponent)))
                << text << " " << bases[k];
        }
    }
    EXPECT_EQ(bitsOf(static_cast<double>(m.eval("7.67 ** 0.37"))),
              bitsOf(elementary::pow(7.67, 0.37)));
    // Half an odd number: the square root's power, pow's value at every
    // special base and within an ulp of it elsewhere.
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> special{-0.0, 0.0, -inf, inf, -4, std::nan(""), 0.37, 7.67, 1e300, 3e-320};
    for (const char* text : {"x ** 1.5", "x ** -0.5", "x ** (5/2)", "pow(x, -1.5)"}) {
        m.evalMany(text, {{"x", special.data()}}, special.size(), powers.data());
        const double exponent = text[5] == '1'   ? 1.5
                                : text[5] == '-' ? -0.5
                                : text[5] == '(' ? 2.5
                                                 : -1.5;
        for (std::size_t k = 0; k < special.size(); ++k) {
            const double expected = elementary::pow(special[k], exponent);
            if (special[k] > 0 && std::isfinite(expected) && expected != 0)
                EXPECT_LE(std::fabs(powers[k] - expected),
                          std::nextafter(std::fabs(expected), inf) - std::fabs(expected))
                    << text;
            else
                EXPECT_EQ(bitsOf(powers[k]), bitsOf(expected)) << text << " " << special[k];
        }
    }

    // The C library's at run time (a compiler folds std::sin(1e22) exactly;
    // Windows' C runtime gives 0.47 for it).
    volatile UnaryFunction librarySin = static_cast<UnaryFunction>(std::sin);
    volatile BinaryPower libraryPow = static_cast<BinaryPower>(std::pow);
    m.syntax = Syntax::Classic;
    EXPECT_EQ(bitsOf(static_cast<double>(m.eval("sin(1e22)"))), bitsOf(librarySin(x)));
    EXPECT_EQ(bitsOf(static_cast<double>(m.eval("7.67 ^ 0.37"))), bitsOf(libraryPow(7.67, 0.37)));

    m.appendFunction("sin", [](double v) { return v + 1; });
    m.syntax = Syntax::Standard;
    EXPECT_EQ(m.eval("sin(2)"), 3.0L);
    m.deleteFunction("sin");
    EXPECT_THROW(m.eval("sin(2)"), ExpressionError);
    EXPECT_EQ(bitsOf(static_cast<double>(m.eval("tan(2)"))), bitsOf(elementary::tan(2)));
}

// A Compiled against the Formula of the same text: the same bits on every
// path a call over rows takes; what it owns after its evaluator is gone; and
// an evaluator moved with its formulas and code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "evaluator.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

std::string randomText(std::mt19937_64& random, int depth = 0) {
    if (depth > 3 || random() % 4 == 0) {
        const char* leaves[] = {"x", "y", "2.5", "x", "y", "k"};
        return leaves[random() % 6];
    }
    const std::string a = randomText(random, depth + 1), b = randomText(random, depth + 1);
    const char* forms[] = {"(A + B)",        "(A / B)",         "(A > B)",    "(A and B)",
                           "where(A, B, 1)", "(A ** 0.5)",      "sin(A) * B", "twice(A) - B",
                           "plus(A, B)",     "fill_null(A, B)", "(A ** 3)",   "hypot(A, B)",
                           "half(A)"};
    std::string form = forms[random() % 13];
    form.replace(form.find('A'), 1, a);
    if (form.find('B') != std::string::npos) form.replace(form.find('B'), 1, b);
    return form;
}

void addCallables(MathEvaluator& m) {
    m.appendCallable("twice", UnaryCallable([](double v) { return 2 * v; }));
    m.appendCallable("half", NaryCallable([](const double* a, std::size_t) { return a[0] / 2; }),
                     1);
    m.appendCallable("plus", NaryCallable([](const double* a, std::size_t) { return a[0] + a[1]; }),
                     BlockCallable([](const double* const* a, std::size_t count, double* out) {
                         for (std::size_t j = 0; j < count; ++j) out[j] = a[0][j] + a[1][j];
                     }),
                     2);
}

template <typename T> std::vector<unsigned long long> bitsOfAll(const std::vector<T>& values) {
    std::vector<unsigned long long> bits;
    for (T v : values) bits.push_back(bitsOf(static_cast<double>(v)));
    return bits;
}

} // namespace

TEST(Compiled, GivesAFormulasBitsOnEveryPathOverRows) {
    std::mt19937_64 random(5);
    const std::size_t n = 700; // past the rows generated code is made for
    std::vector<double> xs(n), ys(n);
    std::vector<std::uint8_t> bits((n + 7) / 8);
    for (std::size_t i = 0; i < n; ++i) {
        xs[i] = std::uniform_real_distribution<double>(-3, 3)(random);
        ys[i] = static_cast<double>(random() % 5) - 2;
        bits[i / 8] |= static_cast<std::uint8_t>((random() % 4 != 0) << (i % 8));
    }
    double k = 0.25;
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    m.appendVariable("k", k);
    addCallables(m);
    for (int t = 0; t < 60; ++t) {
        const std::string text = randomText(random);
        SCOPED_TRACE(text);
        Formula f = m.prepare(text);
        const Compiled c = m.compile(text, {"x", "y"});
        for (std::size_t i = 0; i < 20; ++i) {
            const double values[] = {xs[i], ys[i]};
            const long double a = c.value(values);
            const long double b = f.value({{"x", &xs[i]}, {"y", &ys[i]}});
            ASSERT_EQ(0, std::memcmp(&a, &b, 10)) << i;
        }
        Column y{"y", ys.data()};
        Column nullableY = y;
        nullableY.valid = bits.data();
        const Column broadcast{"y", &ys[1], 0};
        for (const auto& columns : std::vector<std::vector<Column>>{{{"x", xs.data()}, y},
                                                                    {{"x", xs.data()}, nullableY},
                                                                    {{"x", xs.data()}, broadcast}})
            for (std::size_t rows : {n, std::size_t{100}})
                for (std::size_t threads : {1, 2}) {
                    std::vector<double> mine(rows), theirs(rows);
                    std::vector<std::uint8_t> myValid(rows), theirValid(rows);
                    c.values(
                        columns, rows,
                        Output{mine.data(), sizeof(double), ValueType::Float64, myValid.data()},
                        threads);
                    f.values(columns, rows,
                             Output{theirs.data(), sizeof(double), ValueType::Float64,
                                    theirValid.data()},
                             threads);
                    ASSERT_EQ(bitsOfAll(mine), bitsOfAll(theirs));
                    ASSERT_EQ(myValid, theirValid);
                    std::vector<float> narrow(2 * rows), narrowTheirs(2 * rows);
                    c.values(columns, rows,
                             Output{narrow.data(), 2 * sizeof(float), ValueType::Float32});
                    f.values(columns, rows,
                             Output{narrowTheirs.data(), 2 * sizeof(float), ValueType::Float32});
                    ASSERT_EQ(bitsOfAll(narrow), bitsOfAll(narrowTheirs));
                    std::vector<std::uint8_t> truth(rows), truthTheirs(rows);
                    c.values(columns, rows, Output{truth.data(), 1, ValueType::Bool}, threads);
                    f.values(columns, rows, Output{truthTheirs.data(), 1, ValueType::Bool},
                             threads);
                    ASSERT_EQ(truth, truthTheirs);
                }
    }
}

TEST(Compiled, OwnsWhatItReadsButTheCallersVariables) {
    double k = 2;
    auto m = std::make_unique<MathEvaluator>();
    m->appendVariable("k", k);
    addCallables(*m);
    const Compiled classic = m->compile("x*k+pi", {"x"});
    const Compiled both = m->compile("pi-e", {});
    const Compiled malformed = m->compile("twice(x) 2", {"x"}); // two values left
    EXPECT_THROW(m->compile("zz+x", {"x"}), ExpressionError);
    m->syntax = Syntax::Standard;
    const Compiled standard = m->compile("twice(x) + plus(x, k)", {"x"});
    EXPECT_THROW(m->compile("x + z", {"x"}), ExpressionError);
    EXPECT_THROW(m->compile("1.5.5", {}), ExpressionError);
    // Edits after compile, then no evaluator at all.
    m->piValue = 0;
    m->appendCallable("twice", UnaryCallable([](double v) { return 3 * v; }));
    m.reset();
    const double x = 1.5;
    EXPECT_EQ(classic.value(&x), 1.5L * 2 + 3.141592653589793);
    EXPECT_EQ(both.value(nullptr), (long double)3.141592653589793 - 2.718281828459045);
    double rows[2];
    malformed.values({{"x", &x, 0}}, 2, rows);
    EXPECT_EQ(malformed.value(&x), 0.0L);
    EXPECT_EQ(rows[0], 0.0);
    k = 4;
    EXPECT_EQ(standard.value(&x), 3.0L + 5.5L);
    EXPECT_EQ(classic.names(), std::vector<std::string>{"x"});
    EXPECT_TRUE(standard.standard());
    std::vector<double> out(2);
    EXPECT_THROW(classic.values({{"y", &x}}, 1, out.data()), std::invalid_argument);
    EXPECT_THROW(classic.values({}, 1, out.data()), std::invalid_argument);
    classic.values({{"", &x}}, 1, out.data()); // a column without a name is taken by place
    EXPECT_EQ(out[0], static_cast<double>(classic.value(&x)));
    EXPECT_THROW(Compiled().value(&x), std::logic_error);
}

TEST(Compiled, KnownNamesAreCheckedWhenPreparedAndCheckAndNamesAreConst) {
    MathEvaluator m;
    for (Syntax syntax : {Syntax::Classic, Syntax::Standard}) {
        m.syntax = syntax;
        EXPECT_NO_THROW(m.prepare("a*b+pi", {"a", "b"}));
        try {
            m.prepare("a*bb+1", {"a", "b"});
            ADD_FAILURE() << "an unknown name was taken";
        } catch (const ExpressionError& e) {
            EXPECT_EQ(e.position, 2u);
            EXPECT_EQ(e.problems.front().message, "'bb' is no registered name");
        }
        const MathEvaluator& reader = m;
        EXPECT_EQ(reader.names("a*b"), (std::vector<std::string>{"a", "b"}));
        EXPECT_TRUE(reader.check("a*b", {"a", "b"}).empty());
    }
    EXPECT_NO_THROW(m.prepare("q*2")); // without names: checked when it runs
}

TEST(Evaluator, MovesWithItsFormulasProgramsAndMachineCode) {
    double x = 3;
    std::vector<MathEvaluator> pool;
    pool.emplace_back();
    pool[0].appendVariable("x", x);
    addCallables(pool[0]);
    EXPECT_EQ(pool[0].eval("x*pi"), pool[0].eval("x*pi")); // the second run is generated code
    Formula f = pool[0].prepare("twice(x)+e");
    EXPECT_EQ(f.value(), 6 + (long double)2.718281828459045);
    for (int i = 0; i < 8; ++i) pool.emplace_back(); // moves the first, more than once
    MathEvaluator& moved = pool[0];
    x = 4;
    EXPECT_EQ(moved.eval("x*pi"), 4 * (long double)3.141592653589793);
    EXPECT_EQ(f.value(), 8 + (long double)2.718281828459045);
    moved.piValue = 1; // the table follows the moved cell
    EXPECT_EQ(moved.eval("x*pi"), 4.0L);
    MathEvaluator left = std::move(moved);
    EXPECT_EQ(left.eval("x*pi"), 4.0L);
    EXPECT_EQ(moved.eval("2"), 2.0L); // empty, and usable
    EXPECT_TRUE(moved.names("x").size() == 1);
    moved = MathEvaluator();
    EXPECT_EQ(moved.eval("2*pi"), 2 * (long double)3.141592653589793);
    EXPECT_EQ(f.value(), 8 + (long double)2.718281828459045);
}

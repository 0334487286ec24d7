// Columns with nulls, read as polars reads them: Kleene's logic, a choice
// null only where its condition or the chosen value is, the null functions,
// and everything else null where an operand is. A row that reads no null has
// the bits of the same call without bitmaps, on every path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "evaluator.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

struct Nullable {
    std::vector<double> values;
    std::vector<std::uint8_t> bits; // Arrow's order
    bool valid(std::size_t i) const { return (bits[i / 8] >> (i % 8)) & 1; }
};

Nullable nullable(std::vector<double> values, const std::vector<bool>& valid) {
    Nullable n{std::move(values), std::vector<std::uint8_t>((valid.size() + 7) / 8, 0)};
    for (std::size_t i = 0; i < valid.size(); ++i)
        if (valid[i]) n.bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    return n;
}

Column columnOf(const std::string& name, const Nullable& n) {
    Column c{name, n.values.data()};
    c.valid = n.bits.data();
    return c;
}

struct Rows {
    std::vector<double> values;
    std::vector<std::uint8_t> valid;
};

Rows run(MathEvaluator& m, const std::string& text, const std::vector<Column>& columns,
         std::size_t n, std::size_t threads = 1) {
    Rows r{std::vector<double>(n), std::vector<std::uint8_t>(n, 7)};
    m.evalMany(text, columns, n,
               Output{r.values.data(), sizeof(double), ValueType::Float64, r.valid.data()},
               threads);
    return r;
}

} // namespace

TEST(Nulls, KleeneLogicChoicesAndTheNullFunctions) {
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    // Every pair of false, true and null.
    const Nullable p = nullable({0, 0, 0, 1, 1, 1, 5, 5, 5}, {1, 1, 1, 1, 1, 1, 0, 0, 0});
    const Nullable q = nullable({0, 1, 9, 0, 1, 9, 0, 1, 9}, {1, 1, 0, 1, 1, 0, 1, 1, 0});
    const std::vector<Column> columns{columnOf("p", p), columnOf("q", q)};
    struct Case {
        const char* text;
        std::vector<int> expected; // -1 for a null
    };
    const Case cases[] = {
        {"p and q", {0, 0, 0, 0, 1, -1, 0, -1, -1}},
        {"p or q", {0, 1, -1, 1, 1, 1, -1, 1, -1}},
        {"p & q", {0, 0, 0, 0, 1, -1, 0, -1, -1}},
        {"not p", {1, 1, 1, 0, 0, 0, -1, -1, -1}},
        {"p == q", {1, 0, -1, 0, 1, -1, -1, -1, -1}},
        {"p < q < 0", {0, 0, -1, 0, 0, -1, 0, 0, -1}}, // a false link decides
        {"where(p, q, 7)", {7, 7, 7, 0, 1, -1, -1, -1, -1}},
        {"p ? 7 : q", {0, 1, -1, 7, 7, 7, -1, -1, -1}},
        {"is_null(q)", {0, 0, 1, 0, 0, 1, 0, 0, 1}},
        {"not is_null(p + q)", {1, 1, 0, 1, 1, 0, 0, 0, 0}},
        {"fill_null(q, 4)", {0, 1, 4, 0, 1, 4, 0, 1, 4}},
        {"fill_null(q, p)", {0, 1, 0, 0, 1, 1, 0, 1, -1}},
        {"coalesce(q, p, 3)", {0, 1, 0, 0, 1, 1, 0, 1, 3}},
        {"coalesce(q)", {0, 1, -1, 0, 1, -1, 0, 1, -1}},
        {"q * 2 + p", {0, 2, -1, 1, 3, -1, -1, -1, -1}},
    };
    for (const Case& c : cases) {
        const Rows r = run(m, c.text, columns, 9);
        for (std::size_t i = 0; i < 9; ++i) {
            SCOPED_TRACE(std::string(c.text) + " row " + std::to_string(i));
            EXPECT_EQ(r.valid[i], c.expected[i] >= 0);
            if (c.expected[i] >= 0)
                EXPECT_EQ(r.values[i], c.expected[i]);
            else
                EXPECT_TRUE(std::isnan(r.values[i])); // a null written as NaN
        }
    }
    // NaN is a number: compared as IEEE compares it, and no null.
    const Nullable nan = nullable({NAN, 1}, {1, 1});
    const Rows r = run(m, "is_null(x) or x > 0", {columnOf("x", nan)}, 2);
    EXPECT_EQ(r.values, (std::vector<double>{0, 1}));
    EXPECT_EQ(r.valid, (std::vector<std::uint8_t>{1, 1}));
}

TEST(Nulls, ValuesOfRowsWithoutNullsAreTheBitsOfARunWithout) {
    // Random texts over two columns, with and without nulls, on every path
    // the columns may take (blocks, threads, callables with and without
    // blocks, bool results): where a row reads no null its value is the
    // same, and a run without bitmaps says every row is valid.
    std::mt19937_64 random(11);
    const std::size_t n = 3000;
    std::vector<double> xs(n), ys(n);
    std::vector<bool> xv(n), yv(n);
    for (std::size_t i = 0; i < n; ++i) {
        xs[i] = std::uniform_real_distribution<double>(-3, 3)(random);
        ys[i] = static_cast<double>(random() % 5) - 2;
        xv[i] = random() % 4 != 0, yv[i] = random() % 3 != 0;
    }
    const Nullable x = nullable(xs, xv), y = nullable(ys, yv);
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    m.appendCallable("twice", UnaryCallable([](double v) { return 2 * v; }));
    m.appendCallable("plus", NaryCallable([](const double* a, std::size_t) { return a[0] + a[1]; }),
                     BlockCallable([](const double* const* a, std::size_t count, double* out) {
                         for (std::size_t j = 0; j < count; ++j) out[j] = a[0][j] + a[1][j];
                     }),
                     2);
    const char* texts[] = {"x * y + 1",
                           "x > y and y != 0",
                           "where(y > 0, x / y, x)",
                           "twice(x) - y",
                           "plus(x, y) ** 2",
                           "hypot(x, y) < 2 or x < -1",
                           "fill_null(x, y) + coalesce(y, x, 0)"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        for (std::size_t threads : {1, 2}) {
            const Rows plain = run(m, text, {{"x", xs.data()}, {"y", ys.data()}}, n, threads);
            EXPECT_EQ(plain.valid, std::vector<std::uint8_t>(n, 1));
            const Rows with = run(m, text, {columnOf("x", x), columnOf("y", y)}, n, threads);
            std::vector<std::uint8_t> truth(n), truthValid(n);
            m.evalMany(text, {columnOf("x", x), columnOf("y", y)}, n,
                       Output{truth.data(), 1, ValueType::Bool, truthValid.data()}, threads);
            EXPECT_EQ(truthValid, with.valid);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(truth[i], with.valid[i] && with.values[i] != 0) << i;
                if (xv[i] && yv[i]) {
                    ASSERT_TRUE(with.valid[i]) << i;
                    ASSERT_EQ(bitsOf(with.values[i]), bitsOf(plain.values[i])) << i;
                }
            }
        }
    }
}

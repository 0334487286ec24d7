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
#include "native.h"
#include "program.h"
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

struct Results {
    std::vector<double> values;
    std::vector<std::uint8_t> valid;
};

Results run(MathEvaluator& m, const std::string& text, const std::vector<Column>& columns,
            std::size_t n, std::size_t threads = 1, bool nullsAsNaN = true) {
    Results r{std::vector<double>(n), std::vector<std::uint8_t>(n, 7)};
    Output out{r.values.data(), sizeof(double), ValueType::Float64, r.valid.data()};
    out.nullsAsNaN = nullsAsNaN;
    m.evalMany(text, columns, n, out, threads);
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
        const Results r = run(m, c.text, columns, 9);
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
    const Results r = run(m, "is_null(x) or x > 0", {columnOf("x", nan)}, 2);
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
    m.appendCallable("hyp",
                     BinaryCallable([](long double a, long double b) { return std::hypot(a, b); }));
    m.appendCallable("three", NaryCallable([](const double*, std::size_t) { return 3.0; }), 0);
    // With null rules, callables without blocks are called row by row beside
    // the validity.
    const char* texts[] = {"x * y + 1",
                           "x > y and y != 0",
                           "where(y > 0, x / y, x)",
                           "twice(x) - y",
                           "plus(x, y) ** 2",
                           "hypot(x, y) < 2 or x < -1",
                           "fill_null(x, y) + coalesce(y, x, 0)",
                           "is_null(x) * 4 + y",
                           "twice(x) > y or x < 0",
                           "where(plus(x, y) > 0, twice(y), x)",
                           "fill_null(hyp(x, y), three()) - 1"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        for (std::size_t threads : {1, 2}) {
            const Results plain = run(m, text, {{"x", xs.data()}, {"y", ys.data()}}, n, threads);
            EXPECT_EQ(plain.valid, std::vector<std::uint8_t>(n, 1));
            const Results with = run(m, text, {columnOf("x", x), columnOf("y", y)}, n, threads);
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

TEST(Nulls, LongColumnsWithBitmapsThatStartMidByte) {
    // Past several pieces of rows, each a bitmap whose first row is its bit 5,
    // on both null paths (null where an operand is, and Kleene's or): each
    // row's value and validity are its own.
    const std::size_t n = 150001, offset = 5;
    std::mt19937_64 random(17);
    std::vector<double> xs(n), ys(n);
    std::vector<bool> xv(n + offset), yv(n + offset);
    for (std::size_t i = 0; i < n; ++i) {
        xs[i] = static_cast<double>(random() % 7) - 3;
        ys[i] = static_cast<double>(random() % 5) - 2;
        xv[i + offset] = random() % 9 != 0, yv[i + offset] = random() % 5 != 0;
    }
    const Nullable x = nullable({}, xv), y = nullable({}, yv);
    Column cx{"x", xs.data()}, cy{"y", ys.data()};
    cx.valid = x.bits.data(), cy.valid = y.bits.data();
    cx.validFirst = cy.validFirst = offset;
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    const Results product = run(m, "x * y + 1", {cx, cy}, n, 2);
    const Results either = run(m, "x > 0 or y > 0", {cx, cy}, n, 2);
    // Where the caller keeps the validity beside the values and asks for no
    // NaN, a null row keeps what its value came to.
    const Results masked = run(m, "x * y + 1", {cx, cy}, n, 2, false);
    EXPECT_EQ(masked.valid, product.valid);
    for (std::size_t i = 0; i < n; ++i) {
        const bool vx = x.valid(i + offset), vy = y.valid(i + offset);
        ASSERT_EQ(product.valid[i], vx && vy) << i;
        ASSERT_EQ(masked.values[i], xs[i] * ys[i] + 1) << i;
        if (vx && vy) {
            ASSERT_EQ(product.values[i], xs[i] * ys[i] + 1) << i;
        } else {
            ASSERT_TRUE(std::isnan(product.values[i])) << i;
        }
        const bool known = (vx && vy) || (vx && xs[i] > 0) || (vy && ys[i] > 0);
        ASSERT_EQ(either.valid[i], known) << i;
        if (known) {
            ASSERT_EQ(either.values[i], (vx && xs[i] > 0) || (vy && ys[i] > 0)) << i;
        }
    }
}

namespace {

// A random standard formula over p, q and r, with every null rule.
std::string randomFormula(std::mt19937_64& random, int depth = 0) {
    if (depth > 3 || random() % 4 == 0) {
        const char* leaves[] = {"p", "q", "r", "1.5", "p", "q"};
        return leaves[random() % 6];
    }
    const std::string a = randomFormula(random, depth + 1), b = randomFormula(random, depth + 1);
    switch (random() % 12) {
    case 0:
        return "(" + a + " + " + b + ")";
    case 1:
        return "(" + a + " / " + b + ")";
    case 2:
        return "(" + a + " > " + b + ")";
    case 3:
        return "(" + a + " and " + b + ")";
    case 4:
        return "(" + a + " or " + b + ")";
    case 5:
        return "(not " + a + ")";
    case 6:
        return "where(" + a + " < 0.5, " + a + ", " + b + ")";
    case 7:
        return "(" + a + " ? " + b + " : -1)";
    case 8:
        return "fill_null(" + a + ", " + b + ")";
    case 9:
        return "coalesce(" + a + ", " + b + ", 7)";
    case 10:
        return "(is_null(" + a + ") * " + b + ")";
    default:
        return "(" + a + " in [0, " + b + "])";
    }
}

} // namespace

TEST(Nulls, ResultsWrittenOverTheirColumnKeepTheNullsOfTheRowsRead) {
    // Out is the column x itself, element for element: each row's nulls come
    // from the x it read, not from the results written over it, on every
    // path (nulls in words, beside the split's values, the split's codes).
    const std::size_t n = 200003;
    std::mt19937_64 random(19);
    std::vector<double> xs(n), ys(n);
    std::vector<bool> xv(n), yv(n);
    for (std::size_t i = 0; i < n; ++i) {
        xs[i] = static_cast<double>(random() % 5) - 2;
        ys[i] = static_cast<double>(random() % 5) - 2;
        xv[i] = random() % 7 != 0, yv[i] = random() % 3 != 0;
    }
    const Nullable x = nullable(xs, xv), y = nullable(ys, yv);
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    for (const char* text : {"where(x > 0, y, -x)", "(x > 1 or y < 0) * 5",
                             "fill_null(where(x > 0, y, x), -1)", "(x - 1) or y"}) {
        SCOPED_TRACE(text);
        const Results apart = run(m, text, {columnOf("x", x), columnOf("y", y)}, n, 2);
        Nullable over = x;
        std::vector<std::uint8_t> valid(n);
        m.evalMany(text, {columnOf("x", over), columnOf("y", y)}, n,
                   Output{over.values.data(), sizeof(double), ValueType::Float64, valid.data()},
                   2);
        ASSERT_EQ(valid, apart.valid);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(bitsOf(over.values[i]), bitsOf(apart.values[i])) << i;
    }
}

TEST(Nulls, SplitCodesGiveTheBlockRunnersBitsAndNulls) {
    // The fastest paths run null rules as two codes of plain steps, or the
    // nulls in words beside the values of plain steps; the block runner,
    // which carries validity beside the values, is the reference: the same
    // values, the same nulls, generated or interpreted.
    std::mt19937_64 random(23);
    const std::size_t n = 1500;
    std::vector<Nullable> data;
    for (int c = 0; c < 3; ++c) {
        std::vector<double> values(n);
        std::vector<bool> valid(n);
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = static_cast<double>(random() % 7) / 4 - 0.5;
            valid[i] = random() % 4 != 0;
        }
        data.push_back(nullable(values, valid));
    }
    const std::vector<Column> columns{columnOf("p", data[0]), columnOf("q", data[1]),
                                      columnOf("r", data[2])};
    const bool enabled = nativeEnabled();
    // A value first on the stack (a number, a column) copied where it is not.
    const std::vector<std::string> chosen{"(1.5 + p) or q", "fill_null(p * 2, q) > 1 and r",
                                          "where(q, 2, p) + is_null(r)"};
    for (std::size_t k = 0; k < 150 + chosen.size(); ++k) {
        const std::string text = k < chosen.size() ? chosen[k] : randomFormula(random);
        SCOPED_TRACE(text);
        setSplitNullsEnabled(false);
        setConditionWordsEnabled(false);
        MathEvaluator reference;
        reference.syntax = Syntax::Standard;
        const Results want = run(reference, text, columns, n);
        setSplitNullsEnabled(true);
        setConditionWordsEnabled(true);
        for (bool generated : {false, true}) {
            setNativeEnabled(generated);
            MathEvaluator m;
            m.syntax = Syntax::Standard;
            const Results got = run(m, text, columns, n, 2);
            ASSERT_EQ(got.valid, want.valid);
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(bitsOf(got.values[i]), bitsOf(want.values[i])) << i;
        }
    }
    setNativeEnabled(enabled);
}

namespace {

// A random condition: comparisons of p, q, r and numbers joined by and, or,
// not, & and |.
std::string randomCondition(std::mt19937_64& random, int depth = 0) {
    static const char* const operands[] = {"p", "q", "r", "0", "1.5", "-0.5", "q"};
    static const char* const relations[] = {" < ", " <= ", " > ", " >= ", " == ", " != "};
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const std::size_t kind = depth > 2 ? 0 : pick(6);
    if (kind < 2)
        return std::string(operands[pick(7)]) + relations[pick(6)] + operands[pick(3)];
    const std::string a = randomCondition(random, depth + 1);
    if (kind == 2) return "not (" + a + ")";
    const std::string b = randomCondition(random, depth + 1);
    if (kind == 3) return "(" + a + " and " + b + ")";
    if (kind == 4) return "(" + a + ") | (" + b + ")";
    return "(" + a + " or " + b + ")";
}

} // namespace

TEST(Nulls, ConditionsInWordsGiveTheStepsBitsAndNulls) {
    // Conditions run 64 rows a word, and the nulls of values that choose by
    // them or read them; the steps are the reference: the same
    // values and nulls in every output kind, over columns of doubles (NaN
    // among them), float32 and int64, bitmaps that start mid-byte, with and
    // without nulls, on two threads, for a count that is no multiple of 64.
    std::mt19937_64 random(29);
    const std::size_t n = 1001, offset = 3;
    std::vector<double> p(n);
    std::vector<float> q(n);
    std::vector<std::int64_t> r(2 * n);
    std::vector<bool> pv(n + offset), qv(n + offset), rv(n + offset);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = random() % 11 == 0 ? NAN : static_cast<double>(random() % 7) / 4 - 0.5;
        q[i] = static_cast<float>(random() % 5) / 2 - 1;
        r[2 * i] = static_cast<std::int64_t>(random() % 3) - 1;
        pv[i + offset] = random() % 4 != 0, qv[i + offset] = random() % 3 != 0;
        rv[i + offset] = random() % 5 != 0;
    }
    const Nullable pn = nullable({}, pv), qn = nullable({}, qv), rn = nullable({}, rv);
    std::vector<Column> plain{{"p", p.data()},
                              {"q", q.data(), sizeof(float), ValueType::Float32},
                              {"r", r.data(), 2 * sizeof(std::int64_t), ValueType::Int64}};
    std::vector<Column> withNulls = plain;
    for (Column& c : withNulls) c.validFirst = offset;
    withNulls[0].valid = pn.bits.data(), withNulls[1].valid = qn.bits.data();
    withNulls[2].valid = rn.bits.data();
    struct Outputs {
        Results doubles;
        std::vector<std::uint8_t> truths, truthsValid;
        std::vector<float> floats;
    };
    auto outputs = [&](const std::string& text, const std::vector<Column>& columns) {
        MathEvaluator m;
        m.syntax = Syntax::Standard;
        Outputs o{run(m, text, columns, n, 2), std::vector<std::uint8_t>(n),
                  std::vector<std::uint8_t>(n), std::vector<float>(n)};
        m.evalMany(text, columns, n,
                   Output{o.truths.data(), 1, ValueType::Bool, o.truthsValid.data()}, 2);
        m.evalMany(text, columns, n, Output{o.floats.data(), sizeof(float), ValueType::Float32},
                   2);
        return o;
    };
    for (int k = 0; k < 300; ++k) {
        // A condition alone, or choosing between values or scaling one: the
        // values by steps, the nulls in words.
        const std::string condition = randomCondition(random);
        const std::string text =
            k % 3 == 0   ? condition
            : k % 3 == 1 ? "where(" + condition + ", (p + 1) * (q - 1), r / 2)"
                         : "(" + condition + ") * p - q";
        SCOPED_TRACE(text);
        for (const std::vector<Column>* columns : {&plain, &withNulls}) {
            setConditionWordsEnabled(false);
            const Outputs want = outputs(text, *columns);
            setConditionWordsEnabled(true);
            const Outputs got = outputs(text, *columns);
            ASSERT_EQ(got.doubles.valid, want.doubles.valid);
            ASSERT_EQ(got.truths, want.truths);
            ASSERT_EQ(got.truthsValid, want.truthsValid);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(bitsOf(got.doubles.values[i]), bitsOf(want.doubles.values[i])) << i;
                ASSERT_EQ(bitsOf(got.floats[i]), bitsOf(want.floats[i])) << i;
            }
        }
    }
}

TEST(Nulls, AssignmentsReadTheResultsBeforeThemWithTheirNulls) {
    // More rows than a piece: later formulas read earlier results (and a
    // result hides the column of its name), nulls included.
    const std::size_t n = 70001;
    std::vector<double> ps(n), qs(n);
    std::vector<bool> pv(n);
    for (std::size_t i = 0; i < n; ++i) ps[i] = i * 0.25, qs[i] = 1.0 / (i + 1), pv[i] = i % 3;
    const Nullable p = nullable(ps, pv);
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    std::vector<double> a(n), q(n), b(n);
    std::vector<std::uint8_t> av(n), qv(n), bv(n);
    m.evalAssignments({{"a", "p * 2"}, {"q", "a + q"}, {"b", "fill_null(a, -1) + fill_null(q, 0)"}},
                      {columnOf("p", p), {"q", qs.data()}}, n,
                      {Output{a.data(), sizeof(double), ValueType::Float64, av.data()},
                       Output{q.data(), sizeof(double), ValueType::Float64, qv.data()},
                       Output{b.data(), sizeof(double), ValueType::Float64, bv.data()}},
                      1);
    // As evalMany gives each in turn, where p is not null.
    std::vector<double> a1(n), q1(n), b1(n);
    m.evalMany("p * 2", {{"p", ps.data()}}, n, a1.data());
    m.evalMany("a + q", {{"a", a1.data()}, {"q", qs.data()}}, n, q1.data());
    m.evalMany("a + q", {{"a", a1.data()}, {"q", q1.data()}}, n, b1.data());
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(av[i], pv[i]) << i;
        ASSERT_EQ(qv[i], pv[i]) << i;
        ASSERT_EQ(bv[i], 1) << i;
        ASSERT_EQ(bitsOf(q[i]), bitsOf(pv[i] ? q1[i] : NAN)) << i;
        ASSERT_EQ(bitsOf(b[i]), bitsOf(pv[i] ? b1[i] : -1.0)) << i;
    }
    EXPECT_THROW(m.evalAssignments({{"a", "p +"}}, {columnOf("p", p)}, n, {Output{a.data(), 8}}),
                 ExpressionError);
}

TEST(Nulls, AFailedResolutionIsNotKept) {
    // A call whose names do not resolve throws, and so does the same call
    // again: no half-made resolution stands in for it.
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    std::vector<double> a{1, 2}, b{3, 4}, out(2);
    m.evalMany("a + b", {{"a", a.data()}, {"b", b.data()}}, 2, out.data());
    for (int again = 0; again < 2; ++again)
        EXPECT_THROW(m.evalMany("a + b", {{"a", a.data()}, {"c", b.data()}}, 2, out.data()),
                     ExpressionError);
}

// exp, log, log1p, sin and cos over many rows at once give the bits of one call a row, on
// either width of vector, and so do columns whose texts call them, between
// callables over blocks, generated or interpreted, with nulls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "elementary.h"
#include "evaluator.h"
#include "native.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

// Arguments of every kind: the ranges a column has, any bits at all (NaNs,
// infinities, subnormals, negatives), exp's whole range, near 1, and sin's
// and cos's hard places.
std::vector<double> arguments(std::size_t n, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (i % 7) {
        case 0: // zeros too, as null rows read
            x[i] = i % 10 == 0 ? (i % 20 == 0 ? 0.0 : -0.0) : 30 * unit(random);
            break;
        case 1:
            x[i] = 3.2 * unit(random) - 1.2;
            break;
        case 2:
            x[i] = std::ldexp(1 + unit(random), static_cast<int>(random() % 2100) - 1075);
            break;
        case 3: {
            const std::uint64_t bits = random();
            std::memcpy(&x[i], &bits, sizeof bits);
            break;
        }
        case 4:
            x[i] = 1440 * unit(random) - 720;
            break;
        case 5: // near a multiple of pi/2, or anywhere below 2^20
            x[i] = i % 4 == 1
                       ? 2e6 * unit(random) - 1e6
                       : static_cast<double>(random() % 600000) * 1.5707963267948966 +
                             std::ldexp(2 * unit(random) - 1, -static_cast<int>(random() % 40));
            break;
        default:
            x[i] = 1 + std::ldexp(2 * unit(random) - 1, -static_cast<int>(random() % 60));
        }
    }
    return x;
}

} // namespace

TEST(ElementaryRowsTest, RowsGiveTheFunctionsBits) {
    const std::vector<double> x = arguments(200003, 7); // a tail shorter than a vector
    std::vector<double> out(x.size());
    for (auto form :
         {elementary::RowsForm::Two, elementary::RowsForm::Four, elementary::RowsForm::FourFused}) {
        elementary::setRowsForm(form);
        for (double (*f)(double) : {&elementary::exp, &elementary::log, &elementary::log1p,
                                    &elementary::sin, &elementary::cos}) {
            elementary::rowsOf(f)(x.data(), out.data(), x.size());
            for (std::size_t i = 0; i < x.size(); ++i)
                ASSERT_EQ(bitsOf(out[i]), bitsOf(f(x[i])))
                    << std::hexfloat << x[i] << static_cast<int>(form);
        }
    }
    elementary::setRowsForm(elementary::RowsForm::FourFused);
    EXPECT_EQ(elementary::rowsOf(&elementary::tan), nullptr);
}

TEST(ElementaryRowsTest, ColumnsGiveEachRowsValue) {
    constexpr std::size_t n = 3000;
    const std::vector<double> x = arguments(n, 11), y = arguments(n, 12);
    std::vector<std::uint8_t> valid((n + 7) / 8, 0xB7);
    const std::vector<Column> columns{{"x", x.data()}, {"y", y.data()}},
        nullable{{"x", x.data(), sizeof(double), ValueType::Float64, valid.data()},
                 {"y", y.data()}};
    for (const char* text :
         {"log1p(abs(x)) * 2", "log(x) + log1p(y) * exp(x)", "twice(log(x * y)) - log1p(twice(y))",
          "where(x > y, log(x), sin(y) + cos(x))"}) {
        std::vector<double> ways[3];
        for (int way = 0; way < 3; ++way) { // interpreted, generated, with nulls
            setNativeEnabled(way != 0);
            MathEvaluator m;
            m.syntax = Syntax::Standard;
            m.appendCallable(
                "twice", NaryCallable([](const double* a, std::size_t) { return 2 * a[0]; }),
                BlockCallable([](const double* const* a, std::size_t count, double* out) {
                    for (std::size_t i = 0; i < count; ++i) out[i] = 2 * a[0][i];
                }),
                1);
            ways[way].resize(n);
            std::vector<std::uint8_t> known(n);
            Output out{ways[way].data(), sizeof(double)};
            out.valid = known.data();
            m.evalMany(text, way == 2 ? nullable : columns, n, out);
            for (std::size_t i = 0; i < n; i += 97) { // each row as eval gives it
                double xi = x[i], yi = y[i];
                MathEvaluator one;
                one.syntax = Syntax::Standard;
                one.appendVariable("x", xi);
                one.appendVariable("y", yi);
                one.appendCallable("twice", UnaryCallable([](double v) { return 2 * v; }));
                const bool null = way == 2 && !(valid[i / 8] >> (i % 8) & 1);
                EXPECT_EQ(known[i], null ? 0 : 1);
                if (!null) {
                    EXPECT_EQ(bitsOf(ways[way][i]), bitsOf(static_cast<double>(one.eval(text))))
                        << text << " row " << i << " way " << way;
                }
            }
        }
        setNativeEnabled(true);
        EXPECT_EQ(std::memcmp(ways[0].data(), ways[1].data(), n * sizeof(double)), 0) << text;
    }
}

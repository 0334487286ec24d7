// Columns of every type, read in place: each path (generated code, the block
// runner, stretches around a block call, row by row) gives the bits of the
// same call over a float64 copy; float32 results are rounded once, from 80
// bits; bool results are the truth of the double results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "evaluator.h"
#include "native.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

// Random elements of a type, extremes included, stored `gap` elements apart
// (a stride of gap elements, negative to run backwards).
struct Typed {
    ValueType type;
    std::vector<unsigned char> bytes;
    std::vector<double> copy; // what a float64 copy holds
    std::ptrdiff_t stride;
    const void* first;
};

template <typename T> Typed typed(ValueType type, std::size_t n, int gap, std::mt19937_64& random) {
    Typed t{type, std::vector<unsigned char>(sizeof(T) * n * std::abs(gap) + 1), {}, 0, nullptr};
    const T extremes[] = {std::numeric_limits<T>::lowest(), std::numeric_limits<T>::max(), T(0),
                          T(1), std::numeric_limits<T>::min()};
    t.stride = static_cast<std::ptrdiff_t>(sizeof(T)) * gap;
    unsigned char* start = t.bytes.data() + (gap < 0 ? sizeof(T) * (n - 1) * -gap : 0);
    for (std::size_t i = 0; i < n; ++i) {
        T v;
        if (i < 5) {
            v = extremes[i];
        } else if constexpr (std::is_floating_point_v<T>) {
            v = static_cast<T>(std::ldexp(std::uniform_real_distribution<double>(-1, 1)(random),
                                          static_cast<int>(random() % 300) - 150));
        } else if constexpr (std::is_same_v<T, bool>) {
            v = random() & 1;
        } else {
            std::uint64_t r = random();
            std::memcpy(&v, &r, sizeof v);
        }
        std::memcpy(start + static_cast<std::ptrdiff_t>(i) * t.stride, &v, sizeof v);
        t.copy.push_back(static_cast<double>(v)); // under round to nearest
    }
    t.first = start;
    return t;
}

Typed typedOf(ValueType type, std::size_t n, int gap, std::mt19937_64& random) {
    switch (type) {
    case ValueType::Float32:
        return typed<float>(type, n, gap, random);
    case ValueType::Int8:
        return typed<std::int8_t>(type, n, gap, random);
    case ValueType::Int16:
        return typed<std::int16_t>(type, n, gap, random);
    case ValueType::Int32:
        return typed<std::int32_t>(type, n, gap, random);
    case ValueType::Int64:
        return typed<std::int64_t>(type, n, gap, random);
    case ValueType::UInt8:
        return typed<std::uint8_t>(type, n, gap, random);
    case ValueType::UInt16:
        return typed<std::uint16_t>(type, n, gap, random);
    case ValueType::UInt32:
        return typed<std::uint32_t>(type, n, gap, random);
    case ValueType::Bool:
        return typed<bool>(type, n, gap, random);
    default:
        return typed<double>(type, n, gap, random);
    }
}

// An evaluator whose "blk" has a block form (stretches run around it) and
// "one" none (the rows then run one by one).
void addFunctions(MathEvaluator& m) {
    m.syntax = Syntax::Standard;
    m.appendCallable(
        "blk", [](const double* v, std::size_t) { return v[0] * 0.5; },
        [](const double* const* v, std::size_t count, double* out) {
            for (std::size_t j = 0; j < count; ++j) out[j] = v[0][j] * 0.5;
        },
        1);
    m.appendCallable(
        "one", [](const double* v, std::size_t) { return v[0] * 0.5; }, 1);
}

const char* const kTexts[] = {"a",
                              "a*3 + b",
                              "b/a - a",
                              "sqrt(abs(a)) + b**2",
                              "blk(a) + b*a",
                              "one(a) - b",
                              "a > b",
                              "where(b > 0.5, a - b, a * 2)",
                              "where(a, b - 1, b * 2)"};

} // namespace

TEST(TypedColumnsTest, EveryTypeAndStrideGivesTheBitsOfItsFloat64Copy) {
    std::mt19937_64 random(7);
    const ValueType types[] = {ValueType::Float64, ValueType::Float32, ValueType::Int8,
                               ValueType::Int16,   ValueType::Int32,   ValueType::Int64,
                               ValueType::UInt8,   ValueType::UInt16,  ValueType::UInt32,
                               ValueType::Bool};
    MathEvaluator m;
    addFunctions(m);
    for (const ValueType type : types)
        for (const int gap : {1, 3, -2})
            for (const std::size_t n : {std::size_t{100}, std::size_t{1500}}) {
                const Typed a = typedOf(type, n, gap, random);
                const Typed b = typedOf(types[random() % 10], n, 1, random);
                const std::vector<Column> typedColumns{{"a", a.first, a.stride, type},
                                                       {"b", b.first, b.stride, b.type}};
                const std::vector<Column> copies{{"a", a.copy.data()}, {"b", b.copy.data()}};
                for (const char* text : kTexts)
                    for (const bool generated : {true, false}) {
                        SCOPED_TRACE(std::string(text) + " type " + std::to_string(int(type)) +
                                     " gap " + std::to_string(gap) + " rows " + std::to_string(n) +
                                     (generated ? " native" : ""));
                        setNativeEnabled(generated);
                        std::vector<double> expected(n), got(n);
                        m.evalMany(text, copies, n, expected.data(), sizeof(double), 1);
                        m.evalMany(text, typedColumns, n, got.data(), sizeof(double), 2);
                        for (std::size_t i = 0; i < n; ++i)
                            ASSERT_EQ(bitsOf(got[i]), bitsOf(expected[i])) << "row " << i;
                        // One row of per-call values reads the same conversion.
                        const std::vector<Column> last{
                            {"a",
                             static_cast<const char*>(a.first) + a.stride * std::ptrdiff_t(n - 1),
                             0, type},
                            {"b", b.copy.data() + n - 1}};
                        ASSERT_EQ(bitsOf(double(m.evalWith(text, last))), bitsOf(expected[n - 1]));
                    }
            }
    setNativeEnabled(true);
}

TEST(TypedColumnsTest, Float32AndBoolResultsRoundTheRowsValueOnce) {
    std::mt19937_64 random(11);
    MathEvaluator m;
    addFunctions(m);
    const std::size_t n = 1200;
    const Typed a = typedOf(ValueType::Float64, n, 1, random);
    std::vector<double> b(n);
    for (double& v : b) v = std::uniform_real_distribution<double>(-3, 3)(random);
    b[7] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Column> columns{{"a", a.first}, {"b", b.data()}};
    for (const char* text : kTexts)
        for (const bool generated : {true, false}) {
            SCOPED_TRACE(std::string(text) + (generated ? " native" : ""));
            setNativeEnabled(generated);
            std::vector<float> floats(2 * n);
            std::vector<unsigned char> truths(n, 7);
            std::vector<double> doubles(n);
            m.evalMany(text, columns, n,
                       Output{floats.data(), 2 * sizeof(float), ValueType::Float32});
            m.evalMany(text, columns, n, Output{truths.data(), 1, ValueType::Bool}, 2);
            m.evalMany(text, columns, n, doubles.data());
            for (std::size_t i = 0; i < n; ++i) {
                const long double exact =
                    m.evalWith(text, {{"a", a.copy.data() + i, 0}, {"b", b.data() + i, 0}});
                const float once = static_cast<float>(exact);
                ASSERT_EQ(std::memcmp(&floats[2 * i], &once, sizeof once), 0) << "row " << i;
                ASSERT_EQ(truths[i], doubles[i] != 0) << "row " << i;
            }
        }
    setNativeEnabled(true);
    // Rounded once: 1 + 2^-24 + 2^-60 is above the float halfway point, but
    // its double (1 + 2^-24) is on it and would round down to 1.
    const double one = 1, low = std::ldexp(1.0, -24), lower = std::ldexp(1.0, -60);
    float result = 0;
    m.evalMany("a + b + c", {{"a", &one, 0}, {"b", &low, 0}, {"c", &lower, 0}}, 1,
               Output{&result, sizeof result, ValueType::Float32});
    EXPECT_EQ(result, 1.0f + std::ldexp(1.0f, -23));
    int64_t wrong = 0;
    EXPECT_THROW(m.evalMany("a", {{"a", &one, 0}}, 1, Output{&wrong, 8, ValueType::Int64}),
                 std::invalid_argument);
}

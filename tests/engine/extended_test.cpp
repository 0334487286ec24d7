// The software extended type against x87 itself, bit for bit: every
// operation and conversion over random encodings (subnormals, NaNs quiet and
// signaling, infinities, the extended-only range) and precision boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "environment.h"
#include "extended.h"
#include "extended_operands.h"

#if defined(__x86_64__) || defined(__i386__)

using namespace velmoratrix;
using soft::Extended;

namespace {

long double native(Extended x) {
    long double v = 0;
    std::memcpy(&v, &x, 10);
    return v;
}

bool same(Extended a, long double b) {
    return std::memcmp(&a, &b, 10) == 0;
}

// x87's own store to int64, truncated: the "integer indefinite" past its range.
std::int64_t truncatedStore(long double x) {
    std::int64_t v;
    __asm__("fisttpll %0" : "=m"(v) : "t"(x) : "st");
    return v;
}

} // namespace

TEST(ExtendedTest, EveryOperationGivesX87sBits) {
    const EngineX87 floats; // nearest, 64-bit precision, exceptions masked
    soft::Operands operands;
    for (int k = 0; k < 2000000; ++k) {
        const Extended a = operands.any();
        const Extended b = k % 2 ? operands.near(a) : operands.any();
        volatile long double x = native(a), y = native(b);
        const long double sum = x + y, difference = x - y, product = x * y, quotient = x / y;
        SCOPED_TRACE(testing::Message() << std::hex << a.signExponent << ":" << a.significand << " "
                                        << b.signExponent << ":" << b.significand);
        ASSERT_TRUE(same(soft::add(a, b), sum));
        ASSERT_TRUE(same(soft::subtract(a, b), difference));
        ASSERT_TRUE(same(soft::multiply(a, b), product));
        ASSERT_TRUE(same(soft::divide(a, b), quotient));
        ASSERT_EQ(soft::less(a, b), x < y);
        ASSERT_EQ(soft::lessEqual(a, b), x <= y);
        ASSERT_EQ(soft::equal(a, b), x == y);
        ASSERT_TRUE(same(soft::squareRoot(a), std::sqrt(x)));
        ASSERT_TRUE(same(soft::remainderOf(a, b), std::fmod(x, y)));
        if (!std::isnan(x)) { // the C library's own NaN rules, not x87's
            ASSERT_TRUE(same(soft::floorOf(a), std::floor(x)));
            ASSERT_TRUE(same(soft::truncated(a), std::trunc(x)));
        }
        // Stores to double, float and int64 of both (b's cut bits make ties).
        for (const Extended v : {a, b}) {
            const long double w = native(v);
            const double rounded = static_cast<double>(w), mine = soft::toDouble(v);
            ASSERT_EQ(std::memcmp(&rounded, &mine, sizeof mine), 0);
            const float narrow = static_cast<float>(w), myNarrow = soft::toFloat(v);
            ASSERT_EQ(std::memcmp(&narrow, &myNarrow, sizeof narrow), 0);
            ASSERT_EQ(soft::toInteger(v), truncatedStore(w));
        }
        const double rounded = static_cast<double>(x);
        ASSERT_TRUE(same(soft::fromDouble(rounded), static_cast<long double>(rounded)));
        // An operand from memory: loaded as x87 loads it, but a signaling NaN
        // keeps its quiet bit clear.
        double raw;
        const std::uint64_t rawBits = operands.random();
        std::memcpy(&raw, &rawBits, sizeof raw);
        Extended loaded = soft::operandOf(raw);
        const bool signaling = std::isnan(raw) && !(rawBits >> 51 & 1);
        ASSERT_EQ(signaling, std::isnan(raw) && !(loaded.significand >> 62 & 1));
        if (signaling) loaded.significand |= std::uint64_t{1} << 62;
        ASSERT_TRUE(same(loaded, static_cast<long double>(raw)));
        const auto integer = static_cast<std::int64_t>(operands.random() >> (k % 64));
        const std::int64_t either = k % 3 || integer == INT64_MIN ? integer : -integer;
        ASSERT_TRUE(same(soft::fromInteger(either), static_cast<long double>(either)));
    }
}

// Products and quotients at the bottom of the subnormals, where a result
// rounds to zero, to the smallest subnormal, or up from half of it; and at
// their top, where a result of ones rounds up into the smallest normal.
TEST(ExtendedTest, ResultsAtTheEndsOfTheSubnormalsGiveX87sBits) {
    const EngineX87 floats;
    std::mt19937_64 random(99);
    for (int k = 0; k < 300000; ++k) {
        const bool top = k % 2;
        const int total =
            (top ? 16383 : 16320) + static_cast<int>(random() % 9) - 4; // the fields' sum
        const int first = 1 + static_cast<int>(random() % 16000);
        Extended a{random() | (std::uint64_t{1} << 63), static_cast<std::uint16_t>(first)};
        Extended b{random() | (std::uint64_t{1} << 63), static_cast<std::uint16_t>(total - first)};
        if (top) a.significand = ~std::uint64_t{0} << (random() % 4);
        if (k % 3 == 0) b.significand = std::uint64_t{1} << 63; // exact halves and ties
        if (k % 5 == 0)
            a.significand = std::uint64_t{1} << 63; // powers of two, halves of the least
        Extended c = b;                             // a / c: the field of c far above a's
        c.signExponent = static_cast<std::uint16_t>(
            first + (top ? 16382 + static_cast<int>(random() % 3) : 16446 - (total - 16320) % 5));
        if (c.signExponent >= 0x7fff) continue;
        volatile long double x = native(a), y = native(b), z = native(c);
        ASSERT_TRUE(same(soft::multiply(a, b), x * y)) << k;
        ASSERT_TRUE(same(soft::divide(a, c), x / z)) << k;
    }
}

#endif

// The software extended type against x87 itself, bit for bit: every
// operation and conversion over random encodings (subnormals, NaNs quiet and
// signaling, infinities, the extended-only range) and precision boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "environment.h"
#include "extended.h"

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

// Operands that reach every case: random encodings of every class, values of
// doubles, and pairs whose exponents lie close (carries, cancellations, ties).
struct Operands {
    std::mt19937_64 random{2024};
    Extended any() {
        const std::uint64_t r = random();
        Extended x;
        switch (r % 8) {
        case 0:                                                 // subnormal or zero
            x.significand = (random() >> 1) >> (random() % 63); // no integer bit
            x.signExponent = 0;
            break;
        case 1: // infinity or NaN, quiet or signaling, any payload
            x.significand = (std::uint64_t{1} << 63) | (r % 3 == 0 ? 0 : random() >> 1);
            x.signExponent = 0x7fff;
            break;
        case 2: // near the ends of the range
            x.significand = random() | (std::uint64_t{1} << 63);
            x.signExponent =
                static_cast<std::uint16_t>(r % 2 ? 1 + random() % 80 : 0x7ffe - random() % 80);
            break;
        case 4: // ones at the top: roundings that carry into the next binade
            x.significand = ~std::uint64_t{0} << (random() % 14);
            x.signExponent = static_cast<std::uint16_t>(
                r % 2 ? 16383 - 1100 + random() % 2200 : 16383 - 40 + random() % 80);
            break;
        case 3: { // a double's value
            double d;
            const std::uint64_t bits = random();
            std::memcpy(&d, &bits, sizeof d);
            return soft::fromDouble(d);
        }
        default:
            x.significand = random() | (std::uint64_t{1} << 63);
            x.signExponent = static_cast<std::uint16_t>(16383 - 40 + random() % 80);
        }
        if (random() & 1) x.signExponent |= 0x8000;
        return x;
    }
    // b close to a: a few bits either way, or a's low bits cut (ties).
    Extended near(Extended a) {
        Extended b = a;
        const int field = a.signExponent & 0x7fff;
        if (field == 0 || field == 0x7fff) return any();
        const int shift = static_cast<int>(random() % 140) - 70;
        const int moved = field + shift;
        if (moved < 1 || moved > 0x7ffe) return any();
        b.signExponent = static_cast<std::uint16_t>((a.signExponent & 0x8000) | moved);
        if (random() & 1) b.signExponent ^= 0x8000;
        if (random() % 3 == 0)
            b.significand = (std::uint64_t{1} << 63); // a power of two
        else if (random() % 3 == 0)
            b.significand &= ~std::uint64_t{0} << (random() % 64);
        return b;
    }
};

} // namespace

TEST(ExtendedTest, EveryOperationGivesX87sBits) {
    const EngineX87 floats; // nearest, 64-bit precision, exceptions masked
    Operands operands;
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
        const double rounded = static_cast<double>(x);
        const double mine = soft::toDouble(a);
        ASSERT_EQ(std::memcmp(&rounded, &mine, sizeof mine), 0);
        ASSERT_TRUE(same(soft::fromDouble(rounded), static_cast<long double>(rounded)));
        const auto integer = static_cast<std::int64_t>(operands.random() >> (k % 64));
        const std::int64_t either = k % 3 || integer == INT64_MIN ? integer : -integer;
        ASSERT_TRUE(same(soft::fromInteger(either), static_cast<long double>(either)));
    }
}

#endif

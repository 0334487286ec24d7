// Random operands for the software extended type's proofs: encodings of
// every class x87 makes, values of doubles, and pairs whose exponents lie
// close (carries, cancellations, ties, roundings into the next binade).
#pragma once

#include <cstdint>
#include <cstring>
#include <random>

#include "extended.h"

namespace velmoratrix::soft {

// Operands that reach every case: random encodings of every class, values of
// doubles, and pairs whose exponents lie close (carries, cancellations, ties).
struct Operands {
    std::mt19937_64 random{2024};
    Extended any() {
        // r picks the class alone: a choice within a class draws afresh (r's
        // low bits are fixed by the class).
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
            x.signExponent = static_cast<std::uint16_t>(random() % 2 ? 1 + random() % 80
                                                                     : 0x7ffe - random() % 80);
            break;
        case 4: // ones at the top: roundings that carry into the next binade
            x.significand = ~std::uint64_t{0} << (random() % 14);
            x.signExponent = static_cast<std::uint16_t>(
                random() % 2 ? 16383 - 1100 + random() % 2200 : 16383 - 40 + random() % 80);
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

} // namespace velmoratrix::soft

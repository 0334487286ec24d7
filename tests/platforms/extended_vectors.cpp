// The software extended type's bits on another architecture: on x86-64,
// `write` records random operand pairs and what x87 gives for each operation
// and conversion; elsewhere (aarch64 under emulation), `check` computes the
// same with the software type and compares every bit.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "extended.h"
#include "extended_operands.h"

using velmoratrix::soft::Extended;
namespace soft = velmoratrix::soft;

namespace {

// One record: the operands, then +, -, *, / of them, the first's square root,
// the remainder of the two, the first's floor and truncation, <, <=, == as
// bytes, the first rounded to double, and that double back as extended.
constexpr std::size_t kRecord = 2 * 10 + 8 * 10 + 3 + 8 + 10;

void put(unsigned char*& at, const void* from, std::size_t n) {
    std::memcpy(at, from, n);
    at += n;
}

void record(const Extended& a, const Extended& b, unsigned char* at) {
    put(at, &a, 10);
    put(at, &b, 10);
    for (const Extended r : {soft::add(a, b), soft::subtract(a, b), soft::multiply(a, b),
                             soft::divide(a, b), soft::squareRoot(a), soft::remainderOf(a, b),
                             soft::floorOf(a), soft::truncated(a)})
        put(at, &r, 10);
    const unsigned char flags[3] = {soft::less(a, b), soft::lessEqual(a, b), soft::equal(a, b)};
    put(at, flags, 3);
    const double rounded = soft::toDouble(a);
    put(at, &rounded, 8);
    const Extended back = soft::fromDouble(rounded);
    put(at, &back, 10);
}

#if defined(__x86_64__) || defined(__i386__)
// What x87 itself gives, under round to nearest and 64-bit precision.
void recordX87(const Extended& a, const Extended& b, unsigned char* at) {
    unsigned short control = 0x037f; // every exception masked, 64 bits, nearest
    __asm__ volatile("fldcw %0" : : "m"(control));
    volatile long double x = 0, y = 0;
    std::memcpy(const_cast<long double*>(&x), &a, 10);
    std::memcpy(const_cast<long double*>(&y), &b, 10);
    put(at, &a, 10);
    put(at, &b, 10);
    for (const long double r : {x + y, x - y, x * y, x / y, std::sqrt(x), std::fmod(x, y)})
        put(at, &r, 10);
    // floor and trunc of a NaN follow the C library's rules, not x87's: not compared.
    const bool nan = x != x;
    const Extended down = soft::floorOf(a), toward = soft::truncated(a);
    const long double floored = std::floor(x), cut = std::trunc(x);
    put(at, nan ? static_cast<const void*>(&down) : &floored, 10);
    put(at, nan ? static_cast<const void*>(&toward) : &cut, 10);
    const unsigned char flags[3] = {x < y, x <= y, x == y};
    put(at, flags, 3);
    const double rounded = static_cast<double>(x);
    put(at, &rounded, 8);
    const long double back = rounded;
    put(at, &back, 10);
}
#endif

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: extended_vectors write|check FILE\n");
        return 2;
    }
    const std::string mode = argv[1];
    std::vector<unsigned char> bytes(kRecord), mine(kRecord);
    if (mode == "write") {
#if defined(__x86_64__) || defined(__i386__)
        std::FILE* out = std::fopen(argv[2], "wb");
        if (!out) return 2;
        soft::Operands operands;
        for (int k = 0; k < 300000; ++k) {
            const Extended a = operands.any();
            const Extended b = k % 2 ? operands.near(a) : operands.any();
            recordX87(a, b, bytes.data());
            if (std::fwrite(bytes.data(), 1, kRecord, out) != kRecord) return 2;
        }
        return std::fclose(out) == 0 ? 0 : 2;
#else
        std::fprintf(stderr, "extended_vectors: x87's results are written on x86 only\n");
        return 2;
#endif
    }
    std::FILE* in = std::fopen(argv[2], "rb");
    if (!in) return 2;
    long records = 0, wrong = 0;
    while (std::fread(bytes.data(), 1, kRecord, in) == kRecord) {
        Extended a, b;
        std::memcpy(&a, bytes.data(), 10);
        std::memcpy(&b, bytes.data() + 10, 10);
        record(a, b, mine.data());
        ++records;
        if (mine != bytes && ++wrong <= 5) std::fprintf(stderr, "record %ld differs\n", records - 1);
    }
    std::fclose(in);
    std::printf("%ld records, %ld differ\n", records, wrong);
    return records > 0 && wrong == 0 ? 0 : 1;
}

// libFuzzer target: Arrow structs built from the bytes, as a hostile
// producer would hand them over (released structs, null pointers, counts
// that do not match, negative or overflowing sizes, batches of another type
// than the schema, dictionaries with indices out of range), through the
// importer. Every buffer is allocated to exactly the size its array's shape
// and its schema's type give, so that a read outside the shape the importer
// accepted is an AddressSanitizer error; every value and validity bit of
// what it accepts is read. A refusal is the other allowed outcome.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "arrow_import.h"
#include "values.h"

namespace {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    // One in `in`; never once the bytes run out.
    bool chance(unsigned in) { return (next() + 1u) % in == 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_, at_ = 0;
};

void releaseSchema(ArrowSchema*) {}
void releaseArray(ArrowArray*) {}

const char* const kFormats[] = {"g", "f", "c", "s", "i",  "l", "C",  "S",    "I",
                                "L", "e", "b", "u", "+s", "",  "gg", "tsu:", nullptr};
const char* const kNames[] = {"x", "y", "x", "z", nullptr};

// The bytes n elements of a format take (1 where it has none we know).
std::size_t bytesFor(const char* format, std::int64_t n) {
    const auto rows = static_cast<std::size_t>(n);
    if (!format || std::strlen(format) != 1) return 1;
    switch (format[0]) {
    case 'g':
    case 'l':
    case 'L':
        return 8 * rows;
    case 'f':
    case 'i':
    case 'I':
        return 4 * rows;
    case 's':
    case 'S':
    case 'e':
        return 2 * rows;
    case 'c':
    case 'C':
        return rows;
    case 'b':
        return (rows + 7) / 8;
    default:
        return 1;
    }
}

// Owns everything the structs point to.
struct Pool {
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
    std::vector<std::unique_ptr<ArrowSchema>> schemas;
    std::vector<std::unique_ptr<ArrowSchema*[]>> schemaLists;
    std::vector<std::unique_ptr<ArrowArray>> arrays;
    std::vector<std::unique_ptr<ArrowArray*[]>> arrayLists;
    std::vector<std::unique_ptr<const void*[]>> pointerLists;

    const void* buffer(Bytes& in, std::size_t size) {
        std::uint8_t* b = buffers.emplace_back(new std::uint8_t[size]).get();
        for (std::size_t i = 0; i < size; ++i) b[i] = in.next();
        return b;
    }
};

ArrowSchema* schemaOf(Pool& pool, Bytes& in, int depth) {
    ArrowSchema* s = pool.schemas.emplace_back(new ArrowSchema{}).get();
    s->format = kFormats[in.next() % (sizeof kFormats / sizeof *kFormats)];
    s->name = kNames[in.next() % (sizeof kNames / sizeof *kNames)];
    s->release = in.chance(16) ? nullptr : releaseSchema;
    if (depth == 0 && (in.chance(2) || (s->format && std::strcmp(s->format, "+s") == 0))) {
        s->format = in.chance(8) ? "g" : "+s";
        s->n_children = in.next() % 4;
        if (in.chance(16)) s->n_children = -1;
        if (s->n_children > 0 && !in.chance(16)) {
            ArrowSchema** list =
                pool.schemaLists.emplace_back(new ArrowSchema*[s->n_children]).get();
            for (std::int64_t k = 0; k < s->n_children; ++k)
                list[k] = in.chance(16) ? nullptr : schemaOf(pool, in, depth + 1);
            s->children = list;
        }
    } else if (depth < 2 && in.chance(4)) {
        s->format = in.chance(2) ? "i" : kFormats[in.next() % 12];
        s->dictionary = schemaOf(pool, in, depth + 1);
    }
    return s;
}

// A length or offset: small, or negative. Sizes a producer gives that are
// larger than its buffers cannot be told from the structs, so only those
// whose sum overflows stand for them (below).
std::int64_t sizeOf(Bytes& in) {
    const std::uint8_t b = in.next();
    return b == 255 ? -1 : b % 24;
}

// An array for the schema, of the shape the bytes say, with buffers the
// size that shape needs in the schema's type (or none where a null stands).
ArrowArray* arrayOf(Pool& pool, Bytes& in, const ArrowSchema* schema, std::int64_t rows) {
    ArrowArray* a = pool.arrays.emplace_back(new ArrowArray{}).get();
    a->release = in.chance(16) ? nullptr : releaseArray;
    a->length = in.chance(4) ? rows : sizeOf(in);
    a->offset = in.chance(2) ? 0 : sizeOf(in);
    if (in.chance(32)) { // a length and an offset whose sum overflows
        a->length = std::numeric_limits<std::int64_t>::max() - 1;
        a->offset = 2;
        if (in.chance(2)) std::swap(a->length, a->offset);
    }
    a->null_count = static_cast<std::int64_t>(in.next() % 5) - 1;
    const bool frame = schema && schema->format && std::strcmp(schema->format, "+s") == 0;
    a->n_buffers = frame ? 1 : 2;
    if (in.chance(12)) a->n_buffers = in.next() % 4;
    a->n_children = frame && schema->n_children > 0 ? schema->n_children : 0;
    if (in.chance(12)) a->n_children = in.next() % 4;
    // The rows a buffer holds, where the sizes add up; otherwise none are
    // read, or the importer would have to refuse.
    const bool sane = a->length >= 0 && a->offset >= 0 && a->length < 1000 && a->offset < 1000;
    const std::int64_t extent = sane ? a->length + a->offset : 0;
    if (a->n_buffers > 0 && !in.chance(16)) {
        const void** list = pool.pointerLists.emplace_back(new const void*[a->n_buffers]).get();
        for (std::int64_t k = 0; k < a->n_buffers; ++k) {
            const char* format = k == 0 ? "b" : schema ? schema->format : nullptr;
            list[k] = in.chance(6) ? nullptr : pool.buffer(in, bytesFor(format, extent));
        }
        a->buffers = list;
    }
    if (a->n_children > 0 && !in.chance(16)) {
        ArrowArray** list = pool.arrayLists.emplace_back(new ArrowArray*[a->n_children]).get();
        for (std::int64_t k = 0; k < a->n_children; ++k) {
            const ArrowSchema* child =
                frame && k < schema->n_children && schema->children ? schema->children[k] : nullptr;
            list[k] = in.chance(16) ? nullptr : arrayOf(pool, in, child, extent);
        }
        a->children = list;
    }
    if (schema && schema->dictionary && !in.chance(16))
        a->dictionary = arrayOf(pool, in, schema->dictionary, 0);
    return a;
}

void readAll(const ArrowImport& frame) {
    volatile double sink = 0;
    for (const ArrowImport::Batch& b : frame.batches()) {
        for (const velmoratrix::Column& c : b.columns)
            for (std::size_t i = 0; i < b.count; ++i) sink = sink + velmoratrix::valueAt(c, i);
        for (const auto& [bits, start] : b.validity)
            for (std::size_t i = 0; i < b.count; ++i)
                sink = sink + ((bits[(start + i) / 8] >> ((start + i) % 8)) & 1);
    }
    std::vector<std::uint8_t> bits((frame.rows() + 7) / 8);
    frame.validity(bits.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    Pool pool;
    const ArrowSchema* schema = schemaOf(pool, in, 0);
    std::vector<ArrowArray> batches;
    for (int n = in.next() % 4; n > 0; --n) batches.push_back(*arrayOf(pool, in, schema, 0));
    const std::unordered_set<std::string> some{"x", "y"};
    const std::uint8_t how = in.next() % 4;
    const std::string lone = "x";
    try {
        const ArrowImport frame("fuzz", *schema, batches, how == 0 ? nullptr : &some,
                                how == 3 ? &lone : nullptr);
        readAll(frame);
    } catch (const ArrowRefusal&) {
    }
    return 0;
}

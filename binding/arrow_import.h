// Arrow's C data interface, read: a producer's schema and arrays checked
// against the interface's rules and the schema before a byte of their data
// is read, then taken as batches of columns the engine reads in place. No
// Python here, so that the fuzzer can hand it structs of its own.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "columns.h"

// The interface's structs: a stable ABI, declared here so that no Arrow
// library is needed to build or to run.
extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};
struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};
struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, ArrowArray*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};
}

// Why data is not read: of a type that is no number (`type`: a TypeError to
// a Python caller), or breaking the interface's rules (a ValueError).
struct ArrowRefusal {
    bool type;
    std::string message;
};

// The rows of a frame (a struct whose children are its columns) or of one
// array, as batches of columns. Only the names in `used` are read (where it
// is null, every numeric field); with `lone`, the array is one column, read
// under that name. Each column points into the producer's buffers, but for
// booleans, float16, uint64 and dictionaries, converted a batch at a time.
// The buffers' sizes are the one thing the interface does not give: they
// are trusted to hold the rows each array says it has. Throws ArrowRefusal,
// naming the column (`call` first).
class ArrowImport {
public:
    ArrowImport(const char* call, const ArrowSchema& schema, const std::vector<ArrowArray>& arrays,
                const std::unordered_set<std::string>* used, const std::string* lone);
    struct Batch {
        std::size_t first, count;
        std::vector<velmoratrix::Column> columns;
        // The validity bitmaps of the columns with nulls (and of the frame's
        // own rows), and their first bit.
        std::vector<std::pair<const std::uint8_t*, std::size_t>> validity;
        // Column k's bitmap and first bit, or null where it has no nulls.
        std::vector<std::pair<const std::uint8_t*, std::size_t>> columnNulls;
    };
    const std::vector<Batch>& batches() const { return batches_; }
    std::size_t rows() const { return rows_; }
    bool hasNulls() const { return nulls_; }
    // The results' validity (bit i: row i reads no null), into `bits`.
    void validity(std::uint8_t* bits) const;
    std::string name; // the schema's own name (a lone array's)

private:
    class Reader;
    std::vector<Batch> batches_;
    std::vector<std::vector<double>> converted_;
    std::vector<std::vector<std::uint8_t>> bitmaps_;
    std::size_t rows_ = 0;
    bool nulls_ = false;
};

// Bit i of a bitmap, counted from the first byte's lowest bit, as Arrow counts.
inline bool bitOf(const std::uint8_t* bits, std::size_t i) {
    return (bits[i / 8] >> (i % 8)) & 1;
}

// Clears in `to` (from bit `at`) the bits clear in `from` (from bit `start`).
void andBits(std::uint8_t* to, std::size_t at, const std::uint8_t* from, std::size_t start,
             std::size_t count);

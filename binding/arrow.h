// Frames and arrays of other libraries (polars, pyarrow, anything offering
// Arrow's PyCapsule interface) read through Arrow's C data interface, in
// place, batch by batch; results handed back the same way, without a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "calls.h"

// Whether values is read as an Arrow frame or array (a mapping is not).
bool offersArrow(py::handle values);

struct ArrowBatches; // the imported arrays, released with the frame

// The rows of an Arrow frame, array or stream, as batches of columns. Only
// the names in `used` are read (where it is null, every numeric field); each batch's columns point
// into the producer's buffers (booleans, float16 and uint64 are converted, a batch at a time). With
// `lone`, values is one column, read under that name. Errors name the column.
class ArrowFrame {
public:
    ArrowFrame(const char* call, py::handle values, const std::unordered_set<std::string>* used,
               const std::string* lone = nullptr);
    ~ArrowFrame();
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
    bool polars = false; // made by polars: results go back as a polars Series
    std::string name;    // a lone array's name

private:
    std::unique_ptr<ArrowBatches> held_;
    std::vector<Batch> batches_;
    std::vector<std::vector<double>> converted_;
    std::size_t rows_ = 0;
    bool nulls_ = false;
};

// A buffer of float64 or float32 results (and their validity, where some row
// is null) offered as an Arrow array: pyarrow.array() and polars.Series()
// take it without a copy.
class ArrowResults {
public:
    ArrowResults(std::size_t rows, bool float32, bool nulls);
    std::uint8_t* validity() const;
    // Where the engine writes the results.
    velmoratrix::Output output() const;
    py::tuple exported(py::object requestedSchema);
    // As the caller's library holds them: a polars.Series (named) or a
    // pyarrow.Array.
    py::object handedBack(bool polars, const std::string& name);
    struct Buffers; // shared with the arrays handed out

private:
    std::shared_ptr<Buffers> buffers_;
};

// Clears in `to` (from bit `at`) the bits clear in `from` (from bit `start`).
void andBits(std::uint8_t* to, std::size_t at, const std::uint8_t* from, std::size_t start,
             std::size_t count);

void registerArrow(py::module_& m);

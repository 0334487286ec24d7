// Frames and arrays of other libraries (polars, pyarrow, anything offering
// Arrow's PyCapsule interface) read through Arrow's C data interface, in
// place, batch by batch; results handed back the same way, without a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "arrow_import.h"
#include "calls.h"

// Whether values is read as an Arrow frame or array (a mapping is not).
bool offersArrow(py::handle values);

struct ArrowBatches; // the imported arrays, released with the frame

// The rows of an Arrow frame, array or stream (ArrowImport reads them, after
// its checks). Only the names in `used` are read (where it is null, every
// numeric field); with `lone`, values is one column, read under that name.
// A capsule is taken once: a second read of it is refused. An exception the
// producer raised (KeyboardInterrupt, SystemExit, MemoryError) reaches the
// caller as it is.
class ArrowFrame {
public:
    ArrowFrame(const char* call, py::handle values, const std::unordered_set<std::string>* used,
               const std::string* lone = nullptr);
    ~ArrowFrame();
    using Batch = ArrowImport::Batch;
    const std::vector<Batch>& batches() const { return import_->batches(); }
    std::size_t rows() const { return import_->rows(); }
    bool hasNulls() const { return import_->hasNulls(); }
    // The results' validity (bit i: row i reads no null), into `bits`.
    void validity(std::uint8_t* bits) const { import_->validity(bits); }
    bool polars = false; // made by polars: results go back as a polars Series
    std::string name;    // a lone array's name

private:
    std::unique_ptr<ArrowBatches> held_;
    std::unique_ptr<ArrowImport> import_;
};

// A buffer of float64, float32 or boolean results (and their validity, where
// some row is null) offered as an Arrow array: pyarrow.array() and
// polars.Series() take it without a copy.
class ArrowResults {
public:
    enum class Kind { Float64, Float32, Boolean };
    ArrowResults(std::size_t rows, Kind kind, bool nulls);
    std::uint8_t* validity() const;
    // Where the engine writes float results.
    velmoratrix::Output output() const;
    // Booleans' bits, to be packed from a byte per row.
    std::uint8_t* bits() const;
    py::tuple exported(py::object requestedSchema);
    // As the caller's library holds them: a polars.Series (named) or a
    // pyarrow.Array.
    py::object handedBack(bool polars, const std::string& name);
    struct Buffers; // shared with the arrays handed out

private:
    std::shared_ptr<Buffers> buffers_;
};

void registerArrow(py::module_& m);

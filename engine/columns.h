// The data evalMany reads and writes: named columns of numbers of any
// common type, in place, and where its results go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmoratrix {

// What a column's elements are. Each is read as the double a float64 copy
// of it holds: exact for every type but Int64, whose values beyond 2^53 read
// as their nearest double (ties to even). Bool is one byte, 0 or not.
enum class ValueType : std::uint8_t {
    Float64,
    Float32,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    Bool
};

// One named column of values for evalMany: the i-th value stands `stride`
// bytes after the (i-1)-th; a stride of 0 gives every element the same value.
struct Column {
    std::string name;
    const void* values;
    std::ptrdiff_t stride = sizeof(double);
    ValueType type = ValueType::Float64;
    // Where the column has nulls: bit `validFirst + i` of `valid` (Arrow's
    // order, from the first byte's lowest bit) is clear where the i-th value
    // is null. A row over such columns is null as polars reads it (NullRule
    // in program.h); a null value's bits are never read.
    const std::uint8_t* valid = nullptr;
    std::size_t validFirst = 0;
};

// Where evalMany writes its results, `stride` bytes apart: Float64 (each
// row's value rounded to double), Float32 (rounded once to float, never
// through double) or Bool (a byte: 1 where the double value is not 0, NaN
// included).
//
// A row that is null, where a column has nulls, is written as NaN (false for
// Bool); `valid`, where given, gets a byte per row: 1 where the row has a
// value, 0 where it is null (1 everywhere where no column has nulls). A
// caller that keeps `valid` beside the values (as Arrow's bitmap does) may
// clear `nullsAsNaN` and save the pass that writes them: a null row then
// holds whatever its value came to.
struct Output {
    void* values;
    std::ptrdiff_t stride;
    ValueType type = ValueType::Float64;
    std::uint8_t* valid = nullptr;
    bool nullsAsNaN = true;
};

} // namespace velmoratrix

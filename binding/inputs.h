// The columns of one call, read from a Python mapping of names to values:
// numeric buffers (numpy, pandas) in place where the engine reads their type,
// masked values (numpy.ma, pandas' nullable dtypes) with their nulls, Arrow
// columns (polars, pyarrow) through arrow.h, sequences and numbers converted
// once. Every error names the column.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "columns.h"

namespace py = pybind11;

class ArrowFrame;

// The element types a buffer's format may name, by what they convert from.
enum class Element { Other, Float64, Float32, Signed, Unsigned, Bool };
Element elementOf(const py::buffer_info& info);
// A buffer of the object, or nothing (and no error set).
bool bufferOf(py::handle object, py::buffer_info& info, bool writable);
// Whether values is a mapping (a dict, or anything with keys and items).
bool isMapping(py::handle values);
// The module of the value's type ("" where it has none).
std::string moduleOf(py::handle value);
// Whether the value comes from numpy or pandas (its results are numpy's).
bool fromNumpyOrPandas(py::handle value);
// A numpy masked array, or a pandas array or Series of a masked dtype (Int64,
// Float64, boolean): its values and its mask (True: missing).
bool maskedValues(py::handle value, py::object& data, py::object& mask);

// The columns of one call, read from the mapping of names to values.
class Columns {
public:
    std::vector<velmoratrix::Column> columns;
    std::optional<std::size_t> count; // rows, where some value is a sequence
    std::string lengths;              // "'x' has 3 values, ..." for the error message
    bool mismatch = false;
    bool fromNumpy = false;                     // some value is a numpy or pandas object
    bool fromPolars = false, fromArrow = false; // some value read through Arrow, and whose
    bool nulls = false; // some column has nulls, which it carries (Column::valid)

    // With `used`, a value under any other name is not converted: only its
    // length counts, as the rows' count.
    Columns(const char* call, py::handle values, bool scalarsOnly,
            const std::unordered_set<std::string>* used = nullptr);
    ~Columns();

private:
    const char* call_;
    bool scalarsOnly_;
    std::vector<py::buffer_info> buffers_;
    std::vector<std::vector<double>> converted_;
    std::vector<double> numbers_;
    std::vector<std::unique_ptr<ArrowFrame>> frames_;
    std::vector<std::vector<std::uint8_t>> joinedBits_;

    // A column offering Arrow's interface (a polars Series, a pyarrow Array
    // or ChunkedArray): read in place where it is one chunk, joined into one
    // where it is more.
    void arrowColumn(const std::string& name, const py::object& value);
    std::string where(const std::string& name) const;
    std::string nameOf(const py::object& key) const;
    // A value of any kind, as a column or a number.
    void add(std::string name, const py::object& value);
    bool masked(const std::string& name, py::handle value, py::object& data, py::object& mask);

    // Values with a mask: a masked element is a null (a masked number, NaN).
    void withMask(std::string name, const py::object& data, const py::object& mask);

    // A date or a duration is no number, though numpy's scalars of them
    // offer their raw bytes as a buffer.
    void refuseTimes(const std::string& name, const py::object& value) const;
    void unused(const std::string& name, const py::object& value);
    void sequence(const std::string& name) const;
    double element(const std::string& name, py::handle item, std::optional<std::size_t> index);
    void number(const std::string& name, double value);
    void counted(const std::string& name, std::size_t n);
};

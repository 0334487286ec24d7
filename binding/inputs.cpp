// Columns are read from any mapping of names to numbers, sequences, buffers
// or array-likes: numeric buffers in place, others converted once here,
// anything else element by element; every error names the column.
#include "inputs.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "arrow.h"
#include "values.h"

using namespace velmoratrix;

namespace {

// The engine's type for a buffer's elements where it reads them in place
// (all but uint64, which is converted).
std::optional<ValueType> inPlace(Element type, py::ssize_t size) {
    switch (type) {
    case Element::Float64:
        return ValueType::Float64;
    case Element::Float32:
        return ValueType::Float32;
    case Element::Bool:
        return ValueType::Bool;
    case Element::Signed:
        return size == 1   ? ValueType::Int8
               : size == 2 ? ValueType::Int16
               : size == 4 ? ValueType::Int32
                           : ValueType::Int64;
    case Element::Unsigned:
        if (size == 8) return std::nullopt;
        return size == 1 ? ValueType::UInt8 : size == 2 ? ValueType::UInt16 : ValueType::UInt32;
    default:
        return std::nullopt;
    }
}

// One element, converted as the engine converts a column's (uint64, read in
// no column, as C++ converts it).
double read(const char* at, Element type, py::ssize_t size) {
    if (const auto kind = inPlace(type, size))
        return withReader(*kind, [at](auto readAs) { return readAs(at); });
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return static_cast<double>(value);
}

} // namespace

bool bufferOf(py::handle object, py::buffer_info& info, bool writable) {
    auto* view = new Py_buffer();
    const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object.ptr(), view, flags) != 0) {
        delete view;
        PyErr_Clear();
        return false;
    }
    info = py::buffer_info(view); // releases the view when it goes
    return true;
}

Element elementOf(const py::buffer_info& info) {
    std::string_view f = info.format;
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
    if (f.size() != 1) return Element::Other;
    const auto size = info.itemsize;
    const bool integral = size == 1 || size == 2 || size == 4 || size == 8;
    switch (f[0]) {
    case 'd':
        return size == 8 ? Element::Float64 : Element::Other;
    case 'f':
        return size == 4 ? Element::Float32 : Element::Other;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
        return integral ? Element::Signed : Element::Other;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
        return integral ? Element::Unsigned : Element::Other;
    case '?':
        return size == 1 ? Element::Bool : Element::Other;
    default:
        return Element::Other;
    }
}

bool isMapping(py::handle values) {
    return py::hasattr(values, "keys") && PyObject_HasAttrString(values.ptr(), "__getitem__");
}

std::string moduleOf(py::handle value) {
    const py::object module = py::reinterpret_steal<py::object>(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), "__module__"));
    if (!module || !PyUnicode_Check(module.ptr())) {
        PyErr_Clear();
        return {};
    }
    return module.cast<std::string>();
}

bool fromNumpyOrPandas(py::handle value) {
    const std::string name = moduleOf(value);
    return name.rfind("numpy", 0) == 0 || name.rfind("pandas", 0) == 0;
}

bool maskedValues(py::handle value, py::object& data, py::object& mask) {
    const std::string module = moduleOf(value);
    if (module.rfind("numpy.ma", 0) == 0) {
        const py::object ma = py::module_::import("numpy.ma");
        data = ma.attr("getdata")(value);
        mask = ma.attr("getmaskarray")(value);
        return true;
    }
    if (module.rfind("pandas", 0) != 0 || !py::hasattr(value, "dtype") ||
        !py::hasattr(value, "isna"))
        return false;
    const py::object dtype = value.attr("dtype");
    if (!py::hasattr(dtype, "na_value") ||
        !dtype.attr("na_value").is(py::module_::import("pandas").attr("NA")))
        return false;
    data = value.attr("to_numpy")("float64", py::arg("na_value") = 0.0);
    mask = py::module_::import("numpy").attr("asarray")(value.attr("isna")());
    return true;
}

// With `used`, a value under any other name is not converted: only its
// length counts, as the rows' count.
Columns::Columns(const char* call, py::handle values, bool scalarsOnly,
                 const std::unordered_set<std::string>* used)
    : call_(call), scalarsOnly_(scalarsOnly) {
    if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr()) ||
        !py::hasattr(values, "keys") || !PyObject_HasAttrString(values.ptr(), "__getitem__"))
        throw py::type_error(std::string(call) +
                             ": values must be a mapping from names to floats or"
                             " sequences of floats");
    const py::list keys(values.attr("keys")());
    const std::size_t n = keys.size();
    // Columns point into these: reserved so that they never move.
    columns.reserve(n);
    numbers_.reserve(n);
    converted_.reserve(n);
    buffers_.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const py::object key = keys[k];
        std::string name = nameOf(key);
        const py::object value =
            py::reinterpret_steal<py::object>(PyObject_GetItem(values.ptr(), key.ptr()));
        if (!value) throw py::error_already_set();
        if (used && !used->count(name))
            unused(name, value);
        else
            add(std::move(name), value);
    }
}

// A column offering Arrow's interface (a polars Series, a pyarrow Array
// or ChunkedArray): read in place where it is one chunk, joined into one
// where it is more.
void Columns::arrowColumn(const std::string& name, const py::object& value) {
    sequence(name);
    const ArrowFrame& frame =
        *frames_.emplace_back(std::make_unique<ArrowFrame>(call_, value, nullptr, &name));
    (frame.polars ? fromPolars : fromArrow) = true;
    const auto& batches = frame.batches();
    nulls |= frame.hasNulls();
    if (batches.size() == 1) {
        columns.push_back(batches[0].columns[0]);
        return counted(name, frame.rows());
    }
    std::vector<double>& joined = converted_.emplace_back(frame.rows());
    for (const ArrowFrame::Batch& b : batches)
        for (std::size_t i = 0; i < b.count; ++i) joined[b.first + i] = valueAt(b.columns[0], i);
    columns.push_back({name, joined.data()});
    if (frame.hasNulls()) {
        std::vector<std::uint8_t>& bits = joinedBits_.emplace_back((frame.rows() + 7) / 8);
        frame.validity(bits.data());
        columns.back().valid = bits.data();
    }
    counted(name, frame.rows());
}

std::string Columns::where(const std::string& name) const {
    return std::string(call_) + ": the value of '" + name + "'";
}

std::string Columns::nameOf(const py::object& key) const {
    if (PyBytes_Check(key.ptr())) return key.cast<std::string>();
    if (!PyUnicode_Check(key.ptr()))
        throw py::type_error(std::string(call_) + ": names must be str or bytes, not " +
                             Py_TYPE(key.ptr())->tp_name);
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!text) throw py::error_already_set();
    return std::string(text, static_cast<std::size_t>(size));
}

void Columns::add(std::string name, const py::object& value) {
    const bool numpy = fromNumpyOrPandas(value);
    fromNumpy |= numpy;
    if (numpy) refuseTimes(name, value);
    py::object data, mask;
    if (numpy && masked(name, value, data, mask)) return withMask(std::move(name), data, mask);
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
        throw py::type_error(where(name) + " is a string, not a float or a sequence of floats");
    if (!numpy && offersArrow(value)) return arrowColumn(name, value);
    py::buffer_info info;
    bool buffered = bufferOf(value, info, false);
    if (!buffered && PyObject_HasAttrString(value.ptr(), "__array__")) {
        const py::object array = value.attr("__array__")();
        buffered = bufferOf(array, info, false); // the buffer keeps the array alive
    }
    if (buffered && info.ndim > 1)
        throw py::type_error(where(name) + " has " + std::to_string(info.ndim) +
                             " dimensions; a column has one");
    if (buffered && info.format.find('Z') != std::string::npos)
        throw py::type_error(where(name) + " is complex; take its .real or abs() first");
    const Element type = buffered ? elementOf(info) : Element::Other;
    if (buffered && info.ndim == 0) // one number, of whatever type float() reads
        return number(name, type != Element::Other
                                ? read(static_cast<const char*>(info.ptr), type, info.itemsize)
                                : element(name, value, std::nullopt));
    if (buffered && info.ndim == 1 && type != Element::Other) {
        sequence(name);
        const auto n = static_cast<std::size_t>(info.shape[0]);
        if (const auto kind = inPlace(type, info.itemsize)) {
            columns.push_back({name, info.ptr, info.strides[0], *kind});
            buffers_.push_back(std::move(info));
        } else {
            std::vector<double>& copy = converted_.emplace_back(n);
            const char* from = static_cast<const char*>(info.ptr);
            for (std::size_t i = 0; i < n; ++i, from += info.strides[0])
                copy[i] = read(from, type, info.itemsize);
            columns.push_back({name, copy.data(), sizeof(double)});
        }
        return counted(name, n);
    }
    if (PySequence_Check(value.ptr())) {
        sequence(name);
        std::vector<double>& copy = converted_.emplace_back();
        const py::iterator items = py::iter(value);
        for (const py::handle item : items) // each item held until the next
            copy.push_back(element(name, item, copy.size()));
        columns.push_back({name, copy.data(), sizeof(double)});
        return counted(name, copy.size());
    }
    number(name, element(name, value, std::nullopt));
}

bool Columns::masked(const std::string& name, py::handle value, py::object& data,
                     py::object& mask) {
    try {
        return maskedValues(value, data, mask);
    } catch (py::error_already_set& failed) {
        if (!failed.matches(PyExc_TypeError) && !failed.matches(PyExc_ValueError)) throw;
        throw py::type_error(where(name) +
                             " is not a float: " + std::string(py::str(failed.value())));
    }
}

// Values with a mask: a masked element is a null (a masked number, NaN).
void Columns::withMask(std::string name, const py::object& data, const py::object& mask) {
    py::buffer_info flags;
    if (!bufferOf(mask, flags, false) || elementOf(flags) != Element::Bool || flags.ndim > 1)
        throw py::type_error(where(name) + " has a mask that is not of booleans");
    const auto missing = [&](std::size_t i) {
        return *(static_cast<const char*>(flags.ptr) +
                 static_cast<std::ptrdiff_t>(i) * (flags.ndim ? flags.strides[0] : 0)) != 0;
    };
    if (flags.ndim == 0) {
        if (missing(0)) return number(name, std::numeric_limits<double>::quiet_NaN());
        return add(std::move(name), data);
    }
    const std::size_t before = columns.size();
    add(name, data);
    if (columns.size() == before || columns.back().stride == 0) return;
    const auto n = static_cast<std::size_t>(flags.shape[0]);
    std::vector<std::uint8_t>& bits = joinedBits_.emplace_back((n + 7) / 8, 0xff);
    for (std::size_t i = 0; i < n; ++i)
        if (missing(i)) bits[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
    columns.back().valid = bits.data();
    nulls = true;
}

// A date or a duration is no number, though numpy's scalars of them
// offer their raw bytes as a buffer.
void Columns::refuseTimes(const std::string& name, const py::object& value) const {
    if (!PyObject_HasAttrString(value.ptr(), "dtype")) return;
    const py::object dtype = value.attr("dtype");
    if (!PyObject_HasAttrString(dtype.ptr(), "kind")) return;
    const std::string kind = py::str(dtype.attr("kind"));
    if (kind == "M" || kind == "m")
        throw py::type_error(where(name) + " is of numpy's " + std::string(py::str(dtype)) +
                             ", not a number; convert it first");
}

void Columns::unused(const std::string& name, const py::object& value) {
    fromNumpy |= fromNumpyOrPandas(value); // the result's kind follows every value
    if (scalarsOnly_ || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return;
    const Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) {
        PyErr_Clear(); // a number, or nothing with a length: no rows of its own
        return;
    }
    counted(name, static_cast<std::size_t>(n));
}

void Columns::sequence(const std::string& name) const {
    if (scalarsOnly_) throw py::type_error(where(name) + " must be a float, not a sequence");
}

double Columns::element(const std::string& name, py::handle item,
                        std::optional<std::size_t> index) {
    try {
        return toDouble(item);
    } catch (py::error_already_set& failed) {
        if (!failed.matches(PyExc_TypeError) && !failed.matches(PyExc_ValueError)) throw;
        std::string message = where(name);
        if (index) message += " at index " + std::to_string(*index);
        throw py::type_error(message + " is not a float: " + std::string(py::str(failed.value())));
    }
}

void Columns::number(const std::string& name, double value) {
    numbers_.push_back(value);
    columns.push_back({name, &numbers_.back(), 0});
}

void Columns::counted(const std::string& name, std::size_t n) {
    if (count && *count != n) mismatch = true;
    if (!count) count = n;
    lengths += (lengths.empty() ? "'" : ", '") + name + "' has " + std::to_string(n) +
               (n == 1 ? " value" : " values");
}

Columns::~Columns() = default;

// Columns are read from any mapping of names to numbers, sequences, buffers
// or array-likes: float64 buffers in place, other numeric buffers converted
// once here, anything else element by element; every error names the column.
#include "evaluation.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "arrow.h"
#include "environment.h"
#include "values.h"

using namespace velmoratrix;

namespace {

// Texts this long take long enough to evaluate that other threads may run.
constexpr std::size_t kLongText = 4096;

// A buffer of the object, or nothing (and no error set).
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

// The element types a buffer's format may name, by what they convert from.
enum class Element { Other, Float64, Float32, Signed, Unsigned, Bool };

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

// A numpy masked array, or a pandas array or Series of a masked dtype (Int64,
// Float64, boolean: NA their missing value): its values (as numpy holds them,
// or as float64 where NA stands, with 0 there) and its mask (True: missing).
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

} // namespace

// The columns of one call, read from the mapping of names to values.
class Columns {
public:
    std::vector<Column> columns;
    std::optional<std::size_t> count; // rows, where some value is a sequence
    std::string lengths;              // "'x' has 3 values, ..." for the error message
    bool mismatch = false;
    bool fromNumpy = false;                     // some value is a numpy or pandas object
    bool fromPolars = false, fromArrow = false; // some value read through Arrow, and whose
    bool nulls = false; // some column has nulls, which it carries (Column::valid)

    // With `used`, a value under any other name is not converted: only its
    // length counts, as the rows' count.
    Columns(const char* call, py::handle values, bool scalarsOnly,
            const std::unordered_set<std::string>* used = nullptr)
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
    void arrowColumn(const std::string& name, const py::object& value) {
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
            for (std::size_t i = 0; i < b.count; ++i)
                joined[b.first + i] = valueAt(b.columns[0], i);
        columns.push_back({name, joined.data()});
        if (frame.hasNulls()) {
            std::vector<std::uint8_t>& bits = joinedBits_.emplace_back((frame.rows() + 7) / 8);
            frame.validity(bits.data());
            columns.back().valid = bits.data();
        }
        counted(name, frame.rows());
    }

    std::string where(const std::string& name) const {
        return std::string(call_) + ": the value of '" + name + "'";
    }

    std::string nameOf(const py::object& key) const {
        if (PyBytes_Check(key.ptr())) return key.cast<std::string>();
        if (!PyUnicode_Check(key.ptr()))
            throw py::type_error(std::string(call_) + ": names must be str or bytes, not " +
                                 Py_TYPE(key.ptr())->tp_name);
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
        if (!text) throw py::error_already_set();
        return std::string(text, static_cast<std::size_t>(size));
    }

    void add(std::string name, const py::object& value) {
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

    bool masked(const std::string& name, py::handle value, py::object& data, py::object& mask) {
        try {
            return maskedValues(value, data, mask);
        } catch (py::error_already_set& failed) {
            if (!failed.matches(PyExc_TypeError) && !failed.matches(PyExc_ValueError)) throw;
            throw py::type_error(where(name) +
                                 " is not a float: " + std::string(py::str(failed.value())));
        }
    }

    // Values with a mask: a masked element is a null (a masked number, NaN).
    void withMask(std::string name, const py::object& data, const py::object& mask) {
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
    void refuseTimes(const std::string& name, const py::object& value) const {
        if (!PyObject_HasAttrString(value.ptr(), "dtype")) return;
        const py::object dtype = value.attr("dtype");
        if (!PyObject_HasAttrString(dtype.ptr(), "kind")) return;
        const std::string kind = py::str(dtype.attr("kind"));
        if (kind == "M" || kind == "m")
            throw py::type_error(where(name) + " is of numpy's " + std::string(py::str(dtype)) +
                                 ", not a number; convert it first");
    }

    void unused(const std::string& name, const py::object& value) {
        fromNumpy |= fromNumpyOrPandas(value); // the result's kind follows every value
        if (scalarsOnly_ || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return;
        const Py_ssize_t n = PyObject_Length(value.ptr());
        if (n < 0) {
            PyErr_Clear(); // a number, or nothing with a length: no rows of its own
            return;
        }
        counted(name, static_cast<std::size_t>(n));
    }

    void sequence(const std::string& name) const {
        if (scalarsOnly_) throw py::type_error(where(name) + " must be a float, not a sequence");
    }

    double element(const std::string& name, py::handle item, std::optional<std::size_t> index) {
        try {
            return toDouble(item);
        } catch (py::error_already_set& failed) {
            if (!failed.matches(PyExc_TypeError) && !failed.matches(PyExc_ValueError)) throw;
            std::string message = where(name);
            if (index) message += " at index " + std::to_string(*index);
            throw py::type_error(message +
                                 " is not a float: " + std::string(py::str(failed.value())));
        }
    }

    void number(const std::string& name, double value) {
        numbers_.push_back(value);
        columns.push_back({name, &numbers_.back(), 0});
    }

    void counted(const std::string& name, std::size_t n) {
        if (count && *count != n) mismatch = true;
        if (!count) count = n;
        lengths += (lengths.empty() ? "'" : ", '") + name + "' has " + std::to_string(n) +
                   (n == 1 ? " value" : " values");
    }
};

namespace {

py::object newResults(std::size_t n, bool ndarray, bool float32) {
    if (ndarray)
        return py::module_::import("numpy").attr("empty")(n, float32 ? "float32" : "float64");
    const py::object one =
        py::module_::import("array").attr("array")(float32 ? "f" : "d", py::make_tuple(0.0));
    const auto repeated = PySequence_Repeat(one.ptr(), static_cast<Py_ssize_t>(n));
    if (!repeated) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(repeated);
}

} // namespace

// The value reaches Python as a float rounded under the engine's own
// settings, whatever the calling program has set.
double eval(Self self, std::string text) {
    Hold hold(*self.object);
    if (text.size() < kLongText) return EngineX87::rounded(self->eval(std::move(text)));
    long double value = 0;
    withoutGil([&] { value = self->eval(std::move(text)); });
    return EngineX87::rounded(value);
}

double evaluateText(std::string text) {
    if (text.size() < kLongText) return EngineX87::rounded(evaluate(std::move(text)));
    long double value = 0;
    withoutGil([&] { value = evaluate(std::move(text)); });
    return EngineX87::rounded(value);
}

PerCall::PerCall(const char* call, py::handle values,
                 const std::function<std::vector<std::string>()>& bindable) {
    // The common case, a dict of str to float or int, read at once; anything
    // else (and any error) as eval_many reads its columns.
    if (PyDict_CheckExact(values.ptr())) {
        const Py_ssize_t n = PyDict_Size(values.ptr());
        numbers_.reserve(static_cast<std::size_t>(n)); // columns point into it
        columns_.reserve(static_cast<std::size_t>(n));
        PyObject *key, *value;
        Py_ssize_t at = 0, size = 0;
        bool plain = true;
        while (plain && PyDict_Next(values.ptr(), &at, &key, &value)) {
            const char* name =
                PyUnicode_CheckExact(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            double number = 0;
            if (name && PyFloat_CheckExact(value))
                number = PyFloat_AS_DOUBLE(value);
            else if (name && PyLong_CheckExact(value))
                number = PyLong_AsDouble(value);
            plain = name && (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) &&
                    !(number == -1.0 && PyErr_Occurred());
            if (!plain) break;
            numbers_.push_back(number);
            columns_.push_back(
                {std::string(name, static_cast<std::size_t>(size)), &numbers_.back(), 0});
        }
        if (plain) return;
        PyErr_Clear();
        numbers_.clear();
        columns_.clear();
    }
    if (!isMapping(values) && offersArrow(values)) { // one row of a frame
        std::vector<std::string> names = bindable();
        const std::unordered_set<std::string> used(names.begin(), names.end());
        frame_ = std::make_unique<ArrowFrame>(call, values, &used);
        if (frame_->rows() != 1)
            throw py::value_error(std::string(call) + ": values is a frame of " +
                                  std::to_string(frame_->rows()) + " rows; it takes one");
        const ArrowFrame::Batch& row = frame_->batches()[0];
        numbers_.reserve(row.columns.size());
        for (std::size_t k = 0; k < row.columns.size(); ++k) {
            const auto [bits, start] = row.columnNulls[k];
            const bool null = bits && !bitOf(bits, start);
            numbers_.push_back(null ? std::numeric_limits<double>::quiet_NaN()
                                    : valueAt(row.columns[k], 0));
            columns_.push_back({row.columns[k].name, &numbers_.back(), 0});
        }
        return;
    }
    read_ = std::make_unique<Columns>(call, values, true);
}

PerCall::~PerCall() = default;

const std::vector<Column>& PerCall::columns() const {
    return read_ ? read_->columns : columns_;
}

double evalWith(Self self, std::string text, py::object values) {
    const PerCall data("eval_with", values, [&] {
        Hold hold(*self.object);
        return self->bindableNames(text);
    });
    Hold hold(*self.object);
    if (text.size() < kLongText) return EngineX87::rounded(self->evalWith(text, data.columns()));
    long double value = 0;
    withoutGil([&] { value = self->evalWith(text, data.columns()); });
    return EngineX87::rounded(value);
}

std::size_t threadCount(const char* call, const py::object& threads) {
    if (threads.is_none()) return 0; // the module's setting
    if (!PyLong_Check(threads.ptr()) || PyBool_Check(threads.ptr()))
        throw py::type_error(std::string(call) + ": threads must be an int or None, not " +
                             Py_TYPE(threads.ptr())->tp_name);
    const long n = PyLong_AsLong(threads.ptr());
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (n < 1) throw py::value_error(std::string(call) + ": threads must be at least 1");
    return static_cast<std::size_t>(n);
}

namespace {

// What eval_many's dtype asks for: float32 results, or float64 (None).
bool float32Asked(const py::object& dtype) {
    if (dtype.is_none()) return false;
    std::string name =
        PyUnicode_Check(dtype.ptr())
            ? dtype.cast<std::string>()
            : std::string(py::str(py::module_::import("numpy").attr("dtype")(dtype)));
    if (name == "float32" || name == "float64") return name == "float32";
    throw py::value_error("eval_many: dtype must be 'float64' or 'float32', not " +
                          std::string(py::repr(dtype)));
}

// Whether the text is a condition, as the call reads it (under the lock).
using IsCondition = std::function<bool()>;

// out=, as the engine writes it: float64, float32, or bool for a condition.
Output outputOf(py_Evaluator& evaluator, const IsCondition& isCondition, const py::object& out,
                py::buffer_info& target, bool float32) {
    const bool taken = bufferOf(out, target, true);
    const Element type = taken && target.ndim == 1 ? elementOf(target) : Element::Other;
    Output o{target.ptr, taken ? target.strides[0] : 0, ValueType::Float64};
    if (type == Element::Float32) o.type = ValueType::Float32;
    if (type == Element::Bool) {
        Hold hold(evaluator);
        if (!isCondition())
            throw py::type_error("eval_many: out may be bool only for a condition (a text"
                                 " whose last operation compares or is logical)");
        o.type = ValueType::Bool;
    }
    if (type != Element::Float64 && type != Element::Float32 && type != Element::Bool)
        throw py::type_error("eval_many: out must be a writable one-dimensional buffer of"
                             " float64 (format 'd'), float32 ('f'), or bool for a condition");
    if (float32 && o.type != ValueType::Float32)
        throw py::type_error("eval_many: dtype is float32 but out is not");
    return o;
}

char* rowOf(const Output& out, std::size_t row) {
    return static_cast<char*>(out.values) + static_cast<std::ptrdiff_t>(row) * out.stride;
}

// The rows' validity bytes (the engine's, Output::valid) as Arrow's bitmap.
void packValidity(const std::uint8_t* valid, std::size_t n, std::uint8_t* bits) {
    std::memset(bits, 0, (n + 7) / 8);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) { // eight bytes of 0 or 1 into one, the first lowest
        std::uint64_t eight;
        std::memcpy(&eight, valid + i, 8);
        bits[i / 8] = static_cast<std::uint8_t>((eight * 0x0102040810204080ull) >> 56);
    }
    for (; i < n; ++i) bits[i / 8] |= static_cast<std::uint8_t>((valid[i] != 0) << (i % 8));
}

// The truth of each row as a numpy bool array: False where the value is 0
// or the row is null (`valid`, a byte per row, or null: none is), True
// elsewhere (NaN included).
py::object truthOf(const Output& rows, std::size_t n, const std::uint8_t* valid) {
    py::object mask = py::module_::import("numpy").attr("empty")(n, "bool");
    py::buffer_info target;
    bufferOf(mask, target, true);
    auto* to = static_cast<bool*>(target.ptr);
    for (std::size_t i = 0; i < n; ++i)
        to[i] = (!valid || valid[i]) &&
                (rows.type == ValueType::Float32 ? loaded<float>(rowOf(rows, i)) != 0
                                                 : loaded<double>(rowOf(rows, i)) != 0);
    return mask;
}

// A frame or array read through Arrow: results as an array of the caller's
// library, with its nulls (or their truth), or into out (NaN where a row is
// null).
py::object arrowRows(py_Evaluator& evaluator, const IsCondition& isCondition, py::handle values,
                     const std::unordered_set<std::string>& used, const py::object& out,
                     bool float32, bool truth, const RowsRun& run) {
    const ArrowFrame frame("eval_many", values, &used);
    const std::size_t n = frame.rows();
    py::buffer_info target;
    std::optional<ArrowResults> results;
    Output base;
    if (!out.is_none()) {
        base = outputOf(evaluator, isCondition, out, target, float32);
        if (static_cast<std::size_t>(target.shape[0]) != n)
            throw py::value_error("eval_many: out has " + std::to_string(target.shape[0]) +
                                  " values but the frame has " + std::to_string(n) + " rows");
    } else {
        results.emplace(n, float32, frame.hasNulls());
        base = results->output();
    }
    // A byte per row from the engine where a column has nulls (a null row
    // of `out` is NaN).
    std::vector<std::uint8_t> valid(frame.hasNulls() ? n : 0);
    {
        Hold hold(evaluator);
        withoutGil([&] {
            for (const ArrowFrame::Batch& b : frame.batches())
                run(b.columns, b.count,
                    Output{rowOf(base, b.first), base.stride, base.type,
                           valid.empty() ? nullptr : valid.data() + b.first});
            if (results && results->validity()) packValidity(valid.data(), n, results->validity());
        });
    }
    if (!results) return out;
    if (truth) return truthOf(base, n, valid.empty() ? nullptr : valid.data());
    return results->handedBack(frame.polars, frame.name);
}

} // namespace

namespace {

// What rowsOf gives: the rows, their truth, or the rows in numpy's kind and
// each row's validity (a numpy bool array, or None where no column has nulls).
enum class Give { Rows, Truth, RowsAndValidity };

py::object rowsOf(py_Evaluator& evaluator, const std::string& text, Formula* formula,
                  py::object values, py::object out, py::object dtype, Give give,
                  const RowsRun& run) {
    const bool truth = give == Give::Truth;
    const bool float32 = float32Asked(dtype);
    // Only the columns the text may read are converted.
    std::unordered_set<std::string> used;
    {
        Hold hold(evaluator);
        for (std::string& name : formula ? formula->bindableNames() : evaluator.bindableNames(text))
            used.insert(std::move(name));
    }
    const IsCondition isCondition = [&] {
        return formula ? formula->isCondition() : evaluator.isCondition(text);
    };
    if (!isMapping(values) && !PyUnicode_Check(values.ptr())) {
        const std::string kind = Py_TYPE(values.ptr())->tp_name;
        if (kind == "LazyFrame")
            throw py::type_error("eval_many: values is a polars LazyFrame; collect() it first"
                                 " (or use lf.vx.with_columns from Velmoratrix.polars)");
        if (offersArrow(values))
            return arrowRows(evaluator, isCondition, values, used, out, float32, truth, run);
        if (PyObject_HasAttrString(values.ptr(), "__dataframe__")) { // read through pyarrow
            const py::object table =
                py::module_::import("pyarrow.interchange").attr("from_dataframe")(values);
            return arrowRows(evaluator, isCondition, table, used, out, float32, truth, run);
        }
    }
    const Columns data("eval_many", values, false, &used);
    if (data.mismatch)
        throw py::value_error("eval_many: the sequences differ in length: " + data.lengths);
    py::object result;
    py::buffer_info target;
    std::optional<ArrowResults> results;
    std::size_t n;
    Output to;
    if (!out.is_none()) {
        to = outputOf(evaluator, isCondition, out, target, float32);
        n = static_cast<std::size_t>(target.shape[0]);
        if (data.count && *data.count != n)
            throw py::value_error("eval_many: out has " + std::to_string(n) + " values but " +
                                  data.lengths);
        result = py::reinterpret_borrow<py::object>(out);
    } else if ((data.fromPolars || data.fromArrow) && give != Give::RowsAndValidity) {
        n = data.count.value_or(1);
        results.emplace(n, float32, data.nulls);
        to = results->output();
    } else {
        n = data.count.value_or(1); // numbers alone: one row
        result = newResults(n, data.fromNumpy, float32);
        bufferOf(result, target, true);
        to = Output{target.ptr, target.strides[0],
                    float32 ? ValueType::Float32 : ValueType::Float64};
    }
    std::vector<std::uint8_t> valid(data.nulls ? n : 0);
    {
        Hold hold(evaluator);
        withoutGil([&] {
            if (!valid.empty()) to.valid = valid.data();
            run(data.columns, n, to);
            if (results && results->validity()) packValidity(valid.data(), n, results->validity());
        });
    }
    if (truth) return truthOf(to, n, valid.empty() ? nullptr : valid.data());
    if (results) return results->handedBack(data.fromPolars, "");
    if (give != Give::RowsAndValidity) return result;
    if (valid.empty()) return py::make_tuple(result, py::none());
    py::object known = py::module_::import("numpy").attr("empty")(n, "bool");
    py::buffer_info bytes;
    bufferOf(known, bytes, true);
    std::memcpy(bytes.ptr, valid.data(), n);
    return py::make_tuple(result, known);
}

} // namespace

py::object evalRows(py_Evaluator& evaluator, const std::string& text, Formula* formula,
                    py::object values, py::object out, py::object dtype, const RowsRun& run) {
    return rowsOf(evaluator, text, formula, std::move(values), std::move(out), std::move(dtype),
                  Give::Rows, run);
}

py::object evalMany(Self self, std::string text, py::object values, py::object out,
                    py::object threads, py::object dtype) {
    const std::size_t count = threadCount("eval_many", threads);
    return evalRows(*self.object, text, nullptr, std::move(values), std::move(out),
                    std::move(dtype),
                    [&](const std::vector<Column>& columns, std::size_t n, const Output& to) {
                        self->evalMany(text, columns, n, to, count);
                    });
}

py::object mask(Self self, std::string text, py::object values, py::object threads) {
    py::module_::import("numpy"); // before any work
    const std::size_t count = threadCount("eval_many", threads);
    return rowsOf(*self.object, text, nullptr, std::move(values), py::none(), py::none(),
                  Give::Truth,
                  [&](const std::vector<Column>& columns, std::size_t n, const Output& to) {
                      self->evalMany(text, columns, n, to, count);
                  });
}

py::object rowsAndValidity(Self self, std::string text, py::object values, py::object out,
                           py::object threads) {
    py::module_::import("numpy"); // before any work
    const std::size_t count = threadCount("eval_many", threads);
    return rowsOf(*self.object, text, nullptr, std::move(values), std::move(out), py::none(),
                  Give::RowsAndValidity,
                  [&](const std::vector<Column>& columns, std::size_t n, const Output& to) {
                      self->evalMany(text, columns, n, to, count);
                  });
}

py::object assignRows(Self self, const std::vector<std::pair<std::string, std::string>>& formulas,
                      py::object values, py::object threads) {
    const py::module_ numpy = py::module_::import("numpy"); // before any work
    const std::size_t count = threadCount("eval_many", threads);
    std::unordered_set<std::string> used;
    {
        Hold hold(*self.object);
        for (const auto& formula : formulas)
            for (std::string& name : self->bindableNames(formula.second))
                used.insert(std::move(name));
    }
    const Columns data("eval_many", values, false, &used);
    if (data.mismatch)
        throw py::value_error("eval_many: the sequences differ in length: " + data.lengths);
    const std::size_t n = data.count.value_or(1);
    py::list rows, valid;
    std::vector<Output> outs;
    for (std::size_t k = 0; k < formulas.size(); ++k) {
        py::buffer_info target, known;
        rows.append(numpy.attr("empty")(n, "float64"));
        bufferOf(rows[k], target, true);
        Output out{target.ptr, target.strides[0]};
        if (data.nulls) {
            valid.append(numpy.attr("empty")(n, "bool"));
            bufferOf(valid[k], known, true);
            out.valid = static_cast<std::uint8_t*>(known.ptr);
        } else {
            valid.append(py::none());
        }
        outs.push_back(out);
    }
    {
        Hold hold(*self.object);
        withoutGil([&] { self->evalAssignments(formulas, data.columns, n, outs, count); });
    }
    return py::make_tuple(rows, valid);
}

bool isCondition(Self self, const std::string& text) {
    Hold hold(*self.object);
    return self->isCondition(text);
}

std::size_t setNumThreads(long threads) {
    if (threads < 1) throw py::value_error("set_num_threads: threads must be at least 1");
    const std::size_t previous = defaultThreads();
    setDefaultThreads(static_cast<std::size_t>(threads));
    return previous;
}

std::size_t getNumThreads() {
    return defaultThreads();
}

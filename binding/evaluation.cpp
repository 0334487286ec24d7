// Evaluating texts for Python: one value, or one per row of the columns a
// call hands over (inputs.h reads them), into numpy's, Arrow's or the
// caller's results.
#include "evaluation.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "arrow.h"
#include "environment.h"
#include "inputs.h"
#include "values.h"

using namespace velmoratrix;

namespace {

// Texts this long take long enough to evaluate that other threads may run.
constexpr std::size_t kLongText = 4096;

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
// The evaluator's lock where a call runs on one (a Compiled runs on none).
class Holding {
public:
    explicit Holding(py_Evaluator* evaluator) {
        if (evaluator) hold_.emplace(*evaluator);
    }

private:
    std::optional<Hold> hold_;
};

Output outputOf(py_Evaluator* evaluator, const IsCondition& isCondition, const py::object& out,
                py::buffer_info& target, bool float32) {
    const bool taken = bufferOf(out, target, true);
    const Element type = taken && target.ndim == 1 ? elementOf(target) : Element::Other;
    Output o{target.ptr, taken ? target.strides[0] : 0, ValueType::Float64};
    if (type == Element::Float32) o.type = ValueType::Float32;
    if (type == Element::Bool) {
        const Holding hold(evaluator);
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

// A numpy bool array of n rows, and the engine's Output into it: each row's
// truth, false where the row is null (mask's).
py::object truthArray(std::size_t n, Output& to) {
    py::object mask = py::module_::import("numpy").attr("empty")(n, "bool");
    py::buffer_info target;
    bufferOf(mask, target, true);
    to = Output{target.ptr, 1, ValueType::Bool};
    return mask;
}

// What rowsOf gives: the rows, their truth, the rows in numpy's kind and
// each row's validity (a numpy bool array, or None where no column has nulls),
// or (from an Arrow frame) each row's truth as Arrow booleans with its nulls.
enum class Give { Rows, Truth, RowsAndValidity, Booleans };

// A frame or array read through Arrow: results as an array of the caller's
// library, with its nulls (or their truth), or into out (NaN where a row is
// null).
py::object arrowRows(py_Evaluator* evaluator, const IsCondition& isCondition, py::handle values,
                     const std::unordered_set<std::string>& used, const py::object& out,
                     bool float32, Give give, const RowsRun& run) {
    const bool truth = give == Give::Truth;
    const ArrowFrame frame("eval_many", values, &used);
    const std::size_t n = frame.rows();
    py::buffer_info target;
    std::optional<ArrowResults> results;
    Output base;
    py::object truths;
    // Booleans: a byte per row from the engine, packed into Arrow's bits.
    std::vector<std::uint8_t> bytes;
    if (truth) {
        truths = truthArray(n, base);
    } else if (give == Give::Booleans) {
        results.emplace(n, ArrowResults::Kind::Boolean, frame.hasNulls());
        bytes.resize(n);
        base = Output{bytes.data(), 1, ValueType::Bool};
        base.nullsAsNaN = false; // the bitmap marks the nulls
    } else if (!out.is_none()) {
        base = outputOf(evaluator, isCondition, out, target, float32);
        if (static_cast<std::size_t>(target.shape[0]) != n)
            throw py::value_error("eval_many: out has " + std::to_string(target.shape[0]) +
                                  " values but the frame has " + std::to_string(n) + " rows");
    } else {
        results.emplace(n, float32 ? ArrowResults::Kind::Float32 : ArrowResults::Kind::Float64,
                        frame.hasNulls());
        base = results->output();
    }
    // A byte per row from the engine where a column has nulls (a null row
    // of `out` is NaN).
    std::vector<std::uint8_t> valid(frame.hasNulls() && !truth ? n : 0);
    {
        const Holding hold(evaluator);
        withoutGil([&] {
            for (const ArrowFrame::Batch& b : frame.batches()) {
                Output batch = base;
                batch.values = rowOf(base, b.first);
                batch.valid = valid.empty() ? nullptr : valid.data() + b.first;
                run(b.columns, b.count, batch);
            }
            if (results && results->validity()) packValidity(valid.data(), n, results->validity());
            if (!bytes.empty()) packValidity(bytes.data(), n, results->bits());
        });
    }
    if (truth) return truths;
    if (!results) return out;
    return results->handedBack(frame.polars, frame.name);
}

} // namespace

namespace {

py::object rowsWith(py_Evaluator* evaluator, const std::unordered_set<std::string>& used,
                    const IsCondition& isCondition, py::object values, py::object out,
                    py::object dtype, Give give, const RowsRun& run) {
    const bool truth = give == Give::Truth;
    const bool float32 = float32Asked(dtype);
    if (!isMapping(values) && !PyUnicode_Check(values.ptr())) {
        const std::string kind = Py_TYPE(values.ptr())->tp_name;
        if (kind == "LazyFrame")
            throw py::type_error("eval_many: values is a polars LazyFrame; collect() it first"
                                 " (or use lf.vx.with_columns from Velmoratrix.polars)");
        if (offersArrow(values))
            return arrowRows(evaluator, isCondition, values, used, out, float32, give, run);
        if (PyObject_HasAttrString(values.ptr(), "__dataframe__")) { // read through pyarrow
            const py::object table =
                py::module_::import("pyarrow.interchange").attr("from_dataframe")(values);
            return arrowRows(evaluator, isCondition, table, used, out, float32, give, run);
        }
    }
    if (give == Give::Booleans)
        throw py::type_error("_truths: values must be a frame or array offering Arrow's interface");
    const Columns data("eval_many", values, false, &used);
    if (data.mismatch)
        throw py::value_error("eval_many: the sequences differ in length: " + data.lengths);
    py::object result;
    py::buffer_info target;
    std::optional<ArrowResults> results;
    std::size_t n;
    Output to;
    if (truth) {
        n = data.count.value_or(1);
        result = truthArray(n, to);
    } else if (!out.is_none()) {
        to = outputOf(evaluator, isCondition, out, target, float32);
        n = static_cast<std::size_t>(target.shape[0]);
        if (data.count && *data.count != n)
            throw py::value_error("eval_many: out has " + std::to_string(n) + " values but " +
                                  data.lengths);
        result = py::reinterpret_borrow<py::object>(out);
    } else if ((data.fromPolars || data.fromArrow) && give != Give::RowsAndValidity) {
        n = data.count.value_or(1);
        results.emplace(n, float32 ? ArrowResults::Kind::Float32 : ArrowResults::Kind::Float64,
                        data.nulls);
        to = results->output();
    } else {
        n = data.count.value_or(1); // numbers alone: one row
        result = newResults(n, data.fromNumpy, float32);
        bufferOf(result, target, true);
        to = Output{target.ptr, target.strides[0],
                    float32 ? ValueType::Float32 : ValueType::Float64};
    }
    std::vector<std::uint8_t> valid(data.nulls && !truth ? n : 0);
    {
        const Holding hold(evaluator);
        withoutGil([&] {
            if (!valid.empty()) to.valid = valid.data();
            run(data.columns, n, to);
            if (results && results->validity()) packValidity(valid.data(), n, results->validity());
        });
    }
    if (truth) return result;
    if (results) return results->handedBack(data.fromPolars, "");
    if (give != Give::RowsAndValidity) return result;
    if (valid.empty()) return py::make_tuple(result, py::none());
    py::object known = py::module_::import("numpy").attr("empty")(n, "bool");
    py::buffer_info bytes;
    bufferOf(known, bytes, true);
    std::memcpy(bytes.ptr, valid.data(), n);
    return py::make_tuple(result, known);
}

py::object rowsOf(py_Evaluator& evaluator, const std::string& text, Formula* formula,
                  py::object values, py::object out, py::object dtype, Give give,
                  const RowsRun& run) {
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
    return rowsWith(&evaluator, used, isCondition, std::move(values), std::move(out),
                    std::move(dtype), give, run);
}

} // namespace

py::object evalRows(py_Evaluator& evaluator, const std::string& text, Formula* formula,
                    py::object values, py::object out, py::object dtype, const RowsRun& run) {
    return rowsOf(evaluator, text, formula, std::move(values), std::move(out), std::move(dtype),
                  Give::Rows, run);
}

py::object unlockedRows(const std::vector<std::string>& names, bool condition, py::object values,
                        py::object out, py::object dtype, const RowsRun& run) {
    const std::unordered_set<std::string> used(names.begin(), names.end());
    return rowsWith(
        nullptr, used, [condition] { return condition; }, std::move(values), std::move(out),
        std::move(dtype), Give::Rows, run);
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

namespace {
py::object truthsOf(Self self, const std::string& text, py::object values, py::object threads,
                    Give give) {
    const std::size_t count = threadCount("eval_many", threads);
    return rowsOf(*self.object, text, nullptr, std::move(values), py::none(), py::none(), give,
                  [&](const std::vector<Column>& columns, std::size_t n, const Output& to) {
                      self->evalMany(text, columns, n, to, count);
                  });
}
} // namespace

py::object mask(Self self, std::string text, py::object values, py::object threads) {
    py::module_::import("numpy"); // before any work
    return truthsOf(self, text, std::move(values), std::move(threads), Give::Truth);
}

py::object truths(Self self, std::string text, py::object values, py::object threads) {
    return truthsOf(self, text, std::move(values), std::move(threads), Give::Booleans);
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

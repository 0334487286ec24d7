#include "arrow.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "values.h"

using namespace velmoratrix;

// Arrow's C data interface: a stable ABI, declared here so that no Arrow
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

namespace {

constexpr std::int64_t kNullable = 2;

// The struct a capsule holds, moved out: the capsule no longer releases it.
template <typename T> T taken(const py::handle capsule, const char* name) {
    auto* at = static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (!at) throw py::error_already_set();
    T moved = *at;
    at->release = nullptr;
    return moved;
}

bool bitOf(const std::uint8_t* bits, std::size_t i) {
    return (bits[i / 8] >> (i % 8)) & 1;
}

} // namespace

// The imported arrays and the schema, released (with the GIL held, as their
// producers may expect) when the frame goes.
struct ArrowBatches {
    ArrowSchema schema{};
    std::vector<ArrowArray> arrays;
    ~ArrowBatches() {
        for (ArrowArray& a : arrays)
            if (a.release) a.release(&a);
        if (schema.release) schema.release(&schema);
    }
};

bool offersArrow(py::handle values) {
    return PyObject_HasAttrString(values.ptr(), "__arrow_c_stream__") ||
           PyObject_HasAttrString(values.ptr(), "__arrow_c_array__");
}

namespace {

std::string moduleOf(py::handle value) {
    const py::object module = py::reinterpret_steal<py::object>(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), "__module__"));
    if (!module || !PyUnicode_Check(module.ptr())) {
        PyErr_Clear();
        return {};
    }
    return module.cast<std::string>();
}

// What an Arrow format reads as in place, or Float64 with `convert` set
// where it is converted, or nothing.
bool typeOf(std::string_view format, ValueType& type, bool& convert) {
    convert = false;
    if (format.size() != 1) return false;
    switch (format[0]) {
    case 'g':
        type = ValueType::Float64;
        return true;
    case 'f':
        type = ValueType::Float32;
        return true;
    case 'c':
        type = ValueType::Int8;
        return true;
    case 's':
        type = ValueType::Int16;
        return true;
    case 'i':
        type = ValueType::Int32;
        return true;
    case 'l':
        type = ValueType::Int64;
        return true;
    case 'C':
        type = ValueType::UInt8;
        return true;
    case 'S':
        type = ValueType::UInt16;
        return true;
    case 'I':
        type = ValueType::UInt32;
        return true;
    case 'L': // uint64, float16 and bit-packed booleans: converted
    case 'e':
    case 'b':
        type = ValueType::Float64;
        convert = true;
        return true;
    default:
        return false;
    }
}

double halfToDouble(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f, fraction = h & 0x3ff;
    double v;
    if (exponent == 0)
        v = std::ldexp(fraction, -24);
    else if (exponent == 31)
        v = fraction ? std::nan("") : HUGE_VAL;
    else
        v = std::ldexp(fraction + 1024, exponent - 25);
    return (h & 0x8000) ? -v : v;
}

} // namespace

ArrowFrame::ArrowFrame(const char* call, py::handle values,
                       const std::unordered_set<std::string>* used, const std::string* lone)
    : held_(std::make_unique<ArrowBatches>()) {
    const std::string module = moduleOf(values);
    polars = module.rfind("polars", 0) == 0;
    ArrowBatches& held = *held_;
    if (PyObject_HasAttrString(values.ptr(), "__arrow_c_stream__")) {
        const py::object capsule = values.attr("__arrow_c_stream__")();
        ArrowArrayStream stream = taken<ArrowArrayStream>(capsule, "arrow_array_stream");
        struct Closing {
            ArrowArrayStream& s;
            ~Closing() { s.release(&s); }
        } closing{stream};
        auto failed = [&](const char* what) {
            const char* error = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
            throw py::value_error(std::string(call) + ": the Arrow stream failed " + what +
                                  (error ? std::string(": ") + error : std::string()));
        };
        if (stream.get_schema(&stream, &held.schema) != 0) failed("to give its schema");
        for (;;) {
            ArrowArray next{};
            if (stream.get_next(&stream, &next) != 0) failed("to give a batch");
            if (!next.release) break;
            held.arrays.push_back(next);
        }
    } else {
        const py::tuple pair = values.attr("__arrow_c_array__")();
        held.schema = taken<ArrowSchema>(pair[0], "arrow_schema");
        held.arrays.push_back(taken<ArrowArray>(pair[1], "arrow_array"));
    }
    // A frame is a struct whose children are its columns; anything else is
    // one column, under its own name.
    const ArrowSchema& schema = held.schema;
    const bool frame = std::string_view(schema.format) == "+s";
    name = schema.name ? schema.name : "";
    if (lone && frame)
        throw py::type_error(std::string(call) + ": the value of '" + *lone +
                             "' is a frame, not a column");
    if (!lone && !frame && name.empty())
        throw py::type_error(std::string(call) +
                             ": an Arrow array without a name binds no column; give it in a"
                             " mapping, {'x': array}");
    std::vector<const ArrowSchema*> fields;
    if (frame)
        for (std::int64_t k = 0; k < schema.n_children; ++k) fields.push_back(schema.children[k]);
    else
        fields.push_back(&schema);
    auto nameOf = [&](const ArrowSchema& field) {
        return lone ? *lone : std::string(field.name ? field.name : "");
    };
    std::vector<std::size_t> read; // the fields the text may read
    for (std::size_t k = 0; k < fields.size(); ++k) {
        const std::string field = lone ? *lone : fields[k]->name ? fields[k]->name : "";
        if (!lone && used && !used->count(field)) continue;
        ValueType type;
        bool convert;
        const bool number = !fields[k]->dictionary && typeOf(fields[k]->format, type, convert);
        if (!number && !used && !lone) continue; // all fields: only the numbers
        if (!number)
            throw py::type_error(std::string(call) + ": the value of '" + field +
                                 "' is of Arrow's type '" + fields[k]->format + "', not a number");
        read.push_back(k);
    }
    // A producer's arrays are trusted for their buffers' sizes (the interface
    // gives none), not for the shape the schema promises.
    auto malformed = [&](const ArrowArray& a, std::int64_t needed) {
        return a.length < 0 || a.offset < 0 || a.length < needed;
    };
    for (const ArrowArray& whole : held.arrays) {
        bool wrong = malformed(whole, 0) || (frame && whole.n_children != schema.n_children);
        for (std::size_t k = 0; !wrong && frame && k < read.size(); ++k)
            wrong = !whole.children[read[k]] ||
                    malformed(*whole.children[read[k]], whole.offset + whole.length);
        if (wrong)
            throw py::value_error(std::string(call) +
                                  ": the Arrow data does not have the shape its schema gives");
        if (whole.length == 0) continue;
        Batch batch{rows_, static_cast<std::size_t>(whole.length), {}, {}, {}};
        auto nullsOf = [&](const ArrowArray& a, std::size_t at) {
            if (a.null_count == 0 || a.n_buffers == 0 || !a.buffers[0]) return false;
            batch.validity.emplace_back(static_cast<const std::uint8_t*>(a.buffers[0]), at);
            return nulls_ = true;
        };
        const std::size_t top = static_cast<std::size_t>(whole.offset);
        if (frame) nullsOf(whole, top);
        for (const std::size_t k : read) {
            const ArrowSchema& field = *fields[k];
            const ArrowArray& a = frame ? *whole.children[k] : whole;
            const std::size_t first = (frame ? top : 0) + static_cast<std::size_t>(a.offset);
            ValueType type;
            bool convert;
            typeOf(field.format, type, convert);
            batch.columnNulls.push_back(nullsOf(a, first)
                                            ? batch.validity.back()
                                            : std::pair<const std::uint8_t*, std::size_t>{});
            const char* data = a.n_buffers > 1 ? static_cast<const char*>(a.buffers[1]) : nullptr;
            if (!data) { // no values at all (a length of nulls): read zeros
                converted_.emplace_back(batch.count, 0.0);
                batch.columns.push_back({nameOf(field), converted_.back().data()});
                continue;
            }
            if (!convert) {
                batch.columns.push_back({nameOf(field), data + first * sizeOf(type),
                                         static_cast<std::ptrdiff_t>(sizeOf(type)), type});
                continue;
            }
            std::vector<double>& copy = converted_.emplace_back(batch.count);
            const char f = field.format[0];
            for (std::size_t i = 0; i < batch.count; ++i) {
                if (f == 'b') {
                    copy[i] = bitOf(reinterpret_cast<const std::uint8_t*>(data), first + i);
                } else if (f == 'e') {
                    std::uint16_t h;
                    std::memcpy(&h, data + 2 * (first + i), 2);
                    copy[i] = halfToDouble(h);
                } else {
                    std::uint64_t u;
                    std::memcpy(&u, data + 8 * (first + i), 8);
                    copy[i] = static_cast<double>(u);
                }
            }
            batch.columns.push_back({nameOf(field), copy.data()});
        }
        rows_ += batch.count;
        batches_.push_back(std::move(batch));
    }
    if (batches_.empty()) { // no rows: the columns still bind their names
        static const double none = 0;
        Batch empty{0, 0, {}, {}, {}};
        for (const std::size_t k : read) empty.columns.push_back({nameOf(*fields[k]), &none, 0});
        batches_.push_back(std::move(empty));
    }
}

ArrowFrame::~ArrowFrame() = default;

void andBits(std::uint8_t* to, std::size_t at, const std::uint8_t* from, std::size_t start,
             std::size_t count) {
    std::size_t i = 0;
    if (at % 8 == 0 && start % 8 == 0) // whole bytes where they line up
        for (; i + 8 <= count; i += 8) to[(at + i) / 8] &= from[(start + i) / 8];
    for (; i < count; ++i)
        if (!bitOf(from, start + i))
            to[(at + i) / 8] &= static_cast<std::uint8_t>(~(1u << ((at + i) % 8)));
}

void ArrowFrame::validity(std::uint8_t* bits) const {
    std::memset(bits, 0xff, (rows_ + 7) / 8);
    for (const Batch& b : batches_)
        for (const auto& [from, start] : b.validity) andBits(bits, b.first, from, start, b.count);
}

// The results' memory, shared by the exported arrays until each is released.
struct ArrowResults::Buffers {
    std::size_t rows;
    bool float32;
    void* values = nullptr;
    std::uint8_t* validity = nullptr;
    std::int64_t nulls = 0;
    ~Buffers();
};

namespace {

// Freed results' memory, kept for the next results of a like size: fresh
// pages cost more than the formula (the kernel clears each on first touch),
// as polars' and pyarrow's own allocators know. At most two blocks of at
// most 256 MiB in all. Only try_lock is used: a child forked while another
// thread held the lock allocates afresh instead of waiting for good.
class Recycled {
public:
    static constexpr std::size_t kSmallest = std::size_t{1} << 20, kMost = std::size_t{256} << 20;
    void* take(std::size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (bytes >= kSmallest && lock.owns_lock())
            for (std::size_t k = 0; k < kept_.size(); ++k)
                if (kept_[k].bytes >= bytes && kept_[k].bytes <= 2 * bytes) {
                    void* at = kept_[k].at;
                    total_ -= kept_[k].bytes;
                    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(k));
                    return at;
                }
        return nullptr;
    }
    void give(void* at, std::size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (bytes < kSmallest || bytes > kMost || !lock.owns_lock()) return std::free(at);
        while (!kept_.empty() && (kept_.size() == 2 || total_ + bytes > kMost)) {
            std::free(kept_.front().at);
            total_ -= kept_.front().bytes;
            kept_.erase(kept_.begin());
        }
        kept_.push_back({at, bytes});
        total_ += bytes;
    }

private:
    struct Block {
        void* at;
        std::size_t bytes;
    };
    std::mutex mutex_;
    std::vector<Block> kept_;
    std::size_t total_ = 0;
};

Recycled& recycled() {
    static Recycled* kept = new Recycled; // never destroyed: arrays may outlive statics
    return *kept;
}

std::size_t rounded(std::size_t bytes) {
    return (bytes + 63) / 64 * 64 + 64;
}

void* aligned(std::size_t bytes) {
    if (void* at = recycled().take(rounded(bytes))) return at;
    void* at = std::aligned_alloc(64, rounded(bytes));
    if (!at) throw std::bad_alloc();
    return at;
}

struct Exported {
    std::shared_ptr<ArrowResults::Buffers> buffers;
    const void* pointers[2];
};

void releaseSchema(ArrowSchema* s) {
    s->release = nullptr;
}

void releaseArray(ArrowArray* a) {
    delete static_cast<Exported*>(a->private_data);
    a->release = nullptr;
}

void dropSchema(PyObject* capsule) {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (s && s->release) s->release(s);
    delete s;
}

void dropArray(PyObject* capsule) {
    auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (a && a->release) a->release(a);
    delete a;
}

} // namespace

ArrowResults::Buffers::~Buffers() {
    if (values) recycled().give(values, rounded(rows * (float32 ? 4 : 8)));
    std::free(validity);
}

ArrowResults::ArrowResults(std::size_t rows, bool float32, bool nulls)
    : buffers_(std::make_shared<Buffers>()) {
    buffers_->rows = rows;
    buffers_->float32 = float32;
    buffers_->values = aligned(rows * (float32 ? 4 : 8));
    if (nulls) buffers_->validity = static_cast<std::uint8_t*>(aligned((rows + 7) / 8));
}

Output ArrowResults::output() const {
    const bool narrow = buffers_->float32;
    return {buffers_->values, narrow ? 4 : 8, narrow ? ValueType::Float32 : ValueType::Float64};
}

std::uint8_t* ArrowResults::validity() const {
    return buffers_->validity;
}

py::tuple ArrowResults::exported(py::object requestedSchema) {
    (void)requestedSchema; // the results are of one type: a request is not met
    Buffers& b = *buffers_;
    if (b.validity) {
        std::size_t valid = 0, i = 0;
        for (; i + 8 <= b.rows; i += 8) valid += __builtin_popcount(b.validity[i / 8]);
        for (; i < b.rows; ++i) valid += bitOf(b.validity, i);
        b.nulls = static_cast<std::int64_t>(b.rows - valid);
    }
    auto* schema =
        new ArrowSchema{b.float32 ? "f" : "g", "",     nullptr, kNullable, 0, nullptr, nullptr,
                        &releaseSchema,        nullptr};
    py::capsule schemaCapsule(schema, "arrow_schema", &dropSchema);
    auto* exported = new Exported{buffers_, {b.nulls ? b.validity : nullptr, b.values}};
    auto* array = new ArrowArray{static_cast<std::int64_t>(b.rows),
                                 b.nulls,
                                 0,
                                 2,
                                 0,
                                 exported->pointers,
                                 nullptr,
                                 nullptr,
                                 &releaseArray,
                                 exported};
    py::capsule arrayCapsule(array, "arrow_array", &dropArray);
    return py::make_tuple(schemaCapsule, arrayCapsule);
}

py::object ArrowResults::handedBack(bool polars, const std::string& name) {
    const py::object self = py::cast(*this);
    if (polars) return py::module_::import("polars").attr("Series")(name, self);
    return py::module_::import("pyarrow").attr("array")(self);
}

void registerArrow(py::module_& m) {
    py::class_<ArrowResults>(m, "_ArrowResults",
                             "Results offered as an Arrow array (pyarrow.array, polars.Series).")
        .def("__arrow_c_array__", &ArrowResults::exported,
             py::arg("requested_schema") = py::none());
}

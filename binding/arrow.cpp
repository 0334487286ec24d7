#include "arrow.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "inputs.h"
#include "values.h"

using namespace velmoratrix;

namespace {

constexpr std::int64_t kNullable = 2;

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

// Where a stream failed: an exception its producer left set, or a signal
// that arrived meanwhile, as it is; the Python exception pyarrow names in its
// message where the caller must see it (an interrupt, an exit); memory as
// MemoryError; anything else as ValueError.
[[noreturn]] void streamFailed(const char* call, ArrowArrayStream& stream, int code,
                               const char* what) {
    if (PyErr_Occurred() || PyErr_CheckSignals() != 0) throw py::error_already_set();
    const char* error = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    const std::string message = error ? error : "";
    std::string_view last = message;
    while (!last.empty() && last.back() == '\n') last.remove_suffix(1);
    last = last.substr(last.rfind('\n') == std::string_view::npos ? 0 : last.rfind('\n') + 1);
    for (auto [type, exception] :
         {std::pair{"KeyboardInterrupt", PyExc_KeyboardInterrupt},
          std::pair{"SystemExit", PyExc_SystemExit}, std::pair{"MemoryError", PyExc_MemoryError}})
        if (last.rfind(type, 0) == 0) {
            const std::string_view rest = last.substr(std::strlen(type));
            PyErr_SetString(exception,
                            std::string(rest.rfind(": ", 0) == 0 ? rest.substr(2) : rest).c_str());
            throw py::error_already_set();
        }
    const std::string text = std::string(call) + ": the Arrow stream failed " + what +
                             (message.empty() ? std::string() : ": " + message);
    PyErr_SetString(code == ENOMEM ? PyExc_MemoryError : PyExc_ValueError, text.c_str());
    throw py::error_already_set();
}

// The struct a capsule holds, moved out and marked released in the capsule,
// as the interface marks a consumed struct: a second read is refused.
template <typename T> T taken(const char* call, const py::handle capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule.ptr(), name))
        throw py::type_error(std::string(call) + ": the Arrow interface gave no '" + name +
                             "' capsule");
    auto* at = static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (!at) throw py::error_already_set();
    if (!at->release)
        throw py::value_error(std::string(call) + ": the Arrow data was already read: its '" +
                              name + "' capsule is released");
    T moved = *at;
    at->release = nullptr;
    return moved;
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
        ArrowArrayStream stream = taken<ArrowArrayStream>(call, capsule, "arrow_array_stream");
        struct Closing {
            ArrowArrayStream& s;
            ~Closing() { s.release(&s); }
        } closing{stream};
        if (!stream.get_schema || !stream.get_next)
            throw py::value_error(std::string(call) + ": the Arrow stream has no callbacks");
        if (const int code = stream.get_schema(&stream, &held.schema))
            streamFailed(call, stream, code, "to give its schema");
        for (;;) {
            ArrowArray next{};
            if (const int code = stream.get_next(&stream, &next))
                streamFailed(call, stream, code, "to give a batch");
            if (!next.release) break;
            held.arrays.push_back(next);
        }
    } else {
        const py::object given = values.attr("__arrow_c_array__")();
        if (!PyTuple_Check(given.ptr()) || PyTuple_GET_SIZE(given.ptr()) != 2)
            throw py::type_error(std::string(call) +
                                 ": __arrow_c_array__ gave no pair of capsules");
        const auto pair = py::reinterpret_borrow<py::tuple>(given);
        held.schema = taken<ArrowSchema>(call, pair[0], "arrow_schema");
        held.arrays.push_back(taken<ArrowArray>(call, pair[1], "arrow_array"));
    }
    try {
        import_ = std::make_unique<ArrowImport>(call, held.schema, held.arrays, used, lone);
    } catch (const ArrowRefusal& refusal) {
        if (refusal.type) throw py::type_error(refusal.message);
        throw py::value_error(refusal.message);
    }
    name = import_->name;
}

ArrowFrame::~ArrowFrame() = default;

// The results' memory, shared by the exported arrays until each is released.
struct ArrowResults::Buffers {
    std::size_t rows;
    Kind kind;
    void* values = nullptr;
    std::uint8_t* validity = nullptr;
    std::int64_t nulls = 0;
    ~Buffers();
};

namespace {

// Freed results' memory, kept for the next results of a like size: fresh
// pages cost more than the formula (the kernel clears each on first touch),
// as polars' and pyarrow's own allocators know. A pipeline holds several
// results at once (one per formula), so up to eight blocks of at most 1 GiB
// in all are kept; as those allocators decay theirs, a block unused for ten
// seconds is given back to the system at the next results. Only try_lock is
// used: a child forked while another thread held the lock allocates afresh
// instead of waiting for good.
class Recycled {
public:
    static constexpr std::size_t kSmallest = std::size_t{1} << 20, kMost = std::size_t{1} << 30;
    static constexpr std::size_t kBlocks = 8;
    static constexpr std::chrono::seconds kUnused{10};
    void* take(std::size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (bytes < kSmallest || !lock.owns_lock()) return nullptr;
        dropUnused();
        for (std::size_t k = 0; k < kept_.size(); ++k)
            if (kept_[k].bytes >= bytes && kept_[k].bytes <= 2 * bytes) {
                void* at = kept_[k].at;
                drop(k, false);
                return at;
            }
        return nullptr;
    }
    void give(void* at, std::size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (bytes < kSmallest || bytes > kMost || !lock.owns_lock()) return std::free(at);
        dropUnused();
        while (!kept_.empty() && (kept_.size() == kBlocks || total_ + bytes > kMost)) drop(0, true);
        kept_.push_back({at, bytes, std::chrono::steady_clock::now()});
        total_ += bytes;
    }

private:
    struct Block {
        void* at;
        std::size_t bytes;
        std::chrono::steady_clock::time_point since;
    };
    void drop(std::size_t k, bool release) {
        if (release) std::free(kept_[k].at);
        total_ -= kept_[k].bytes;
        kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(k));
    }
    // Blocks are kept oldest first.
    void dropUnused() {
        const auto now = std::chrono::steady_clock::now();
        while (!kept_.empty() && now - kept_.front().since > kUnused) drop(0, true);
    }
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

namespace {
std::size_t valuesBytes(std::size_t rows, ArrowResults::Kind kind) {
    if (kind == ArrowResults::Kind::Boolean) return (rows + 7) / 8;
    return rows * (kind == ArrowResults::Kind::Float32 ? 4 : 8);
}
} // namespace

ArrowResults::Buffers::~Buffers() {
    if (values) recycled().give(values, rounded(valuesBytes(rows, kind)));
    std::free(validity);
}

ArrowResults::ArrowResults(std::size_t rows, Kind kind, bool nulls)
    : buffers_(std::make_shared<Buffers>()) {
    buffers_->rows = rows;
    buffers_->kind = kind;
    buffers_->values = aligned(valuesBytes(rows, kind));
    if (nulls) buffers_->validity = static_cast<std::uint8_t*>(aligned((rows + 7) / 8));
}

std::uint8_t* ArrowResults::bits() const {
    return static_cast<std::uint8_t*>(buffers_->values);
}

Output ArrowResults::output() const {
    const bool narrow = buffers_->kind == Kind::Float32;
    // A null row's value is never read: Arrow's bitmap says it is null.
    Output out{buffers_->values, narrow ? 4 : 8, narrow ? ValueType::Float32 : ValueType::Float64};
    out.nullsAsNaN = false;
    return out;
}

std::uint8_t* ArrowResults::validity() const {
    return buffers_->validity;
}

py::tuple ArrowResults::exported(py::object requestedSchema) {
    (void)requestedSchema; // the results are of one type: a request is not met
    Buffers& b = *buffers_;
    if (b.validity) {
        std::size_t valid = 0, i = 0;
        for (; i + 64 <= b.rows; i += 64) {
            std::uint64_t word;
            std::memcpy(&word, b.validity + i / 8, sizeof word);
            valid += static_cast<std::size_t>(__builtin_popcountll(word));
        }
        for (; i < b.rows; ++i) valid += bitOf(b.validity, i);
        b.nulls = static_cast<std::int64_t>(b.rows - valid);
    }
    const char* format = b.kind == Kind::Float32 ? "f" : b.kind == Kind::Boolean ? "b" : "g";
    auto* schema = new ArrowSchema{format,  "",      nullptr,        kNullable, 0,
                                   nullptr, nullptr, &releaseSchema, nullptr};
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

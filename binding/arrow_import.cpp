#include "arrow_import.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "values.h"

using namespace velmoratrix;

namespace {

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

// A format of one number per element: how it is read. Int formats may also
// index a dictionary.
struct Leaf {
    ValueType type;
    enum Read : std::uint8_t { InPlace, Bits, Half, Unsigned64 } read;
    bool index; // an integer, which may index a dictionary
};

bool leafOf(const char* format, Leaf& leaf) {
    if (!format || std::strlen(format) != 1) return false;
    switch (format[0]) {
    case 'g':
        leaf = {ValueType::Float64, Leaf::InPlace, false};
        return true;
    case 'f':
        leaf = {ValueType::Float32, Leaf::InPlace, false};
        return true;
    case 'c':
        leaf = {ValueType::Int8, Leaf::InPlace, true};
        return true;
    case 's':
        leaf = {ValueType::Int16, Leaf::InPlace, true};
        return true;
    case 'i':
        leaf = {ValueType::Int32, Leaf::InPlace, true};
        return true;
    case 'l':
        leaf = {ValueType::Int64, Leaf::InPlace, true};
        return true;
    case 'C':
        leaf = {ValueType::UInt8, Leaf::InPlace, true};
        return true;
    case 'S':
        leaf = {ValueType::UInt16, Leaf::InPlace, true};
        return true;
    case 'I':
        leaf = {ValueType::UInt32, Leaf::InPlace, true};
        return true;
    case 'L':
        leaf = {ValueType::Float64, Leaf::Unsigned64, true};
        return true;
    case 'e':
        leaf = {ValueType::Float64, Leaf::Half, false};
        return true;
    case 'b':
        leaf = {ValueType::Float64, Leaf::Bits, false};
        return true;
    default:
        return false;
    }
}

// Element i of a leaf's values (i counted from the buffer's start).
double elementOf(const Leaf& leaf, const char* data, std::size_t i) {
    switch (leaf.read) {
    case Leaf::Bits:
        return bitOf(reinterpret_cast<const std::uint8_t*>(data), i);
    case Leaf::Half: {
        std::uint16_t h;
        std::memcpy(&h, data + 2 * i, 2);
        return halfToDouble(h);
    }
    case Leaf::Unsigned64: {
        std::uint64_t u;
        std::memcpy(&u, data + 8 * i, 8);
        return static_cast<double>(u);
    }
    default:
        return withReader(leaf.type, [&](auto read) { return read(data + sizeOf(leaf.type) * i); });
    }
}

// An integer element as an index, or -1 where it is negative or too large.
std::int64_t indexAt(const Leaf& leaf, const char* data, std::size_t i) {
    if (leaf.read == Leaf::Unsigned64) {
        std::uint64_t u;
        std::memcpy(&u, data + 8 * i, 8);
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? -1
                   : static_cast<std::int64_t>(u);
    }
    if (leaf.type == ValueType::Int64) {
        std::int64_t v;
        std::memcpy(&v, data + 8 * i, 8);
        return v < 0 ? -1 : v;
    }
    const double v = elementOf(leaf, data, i); // exact for 32 bits and fewer
    return v < 0 ? -1 : static_cast<std::int64_t>(v);
}

} // namespace

// The checks and the reading of one import.
class ArrowImport::Reader {
public:
    Reader(ArrowImport& out, const char* call) : out_(out), call_(call) {}

    [[noreturn]] void refuse(bool type, const std::string& what) const {
        throw ArrowRefusal{type, std::string(call_) + ": " + what};
    }

    // The schema's own rules: not released, a format, children where it
    // counts them.
    void checkSchema(const ArrowSchema& s, const std::string& whose) const {
        if (!s.release) refuse(false, whose + " is released (its capsule was consumed before?)");
        if (!s.format) refuse(false, whose + " has no format");
        if (s.n_children < 0 || (s.n_children > 0 && !s.children))
            refuse(false, whose + " does not have the children it counts");
        for (std::int64_t k = 0; k < s.n_children; ++k)
            if (!s.children[k] || !s.children[k]->format ||
                (s.children[k]->dictionary && !s.children[k]->dictionary->format))
                refuse(false, whose + " has a child without a format");
        if (s.dictionary && !s.dictionary->format)
            refuse(false, whose + " has a dictionary without a format");
    }

    // What every array must be, whatever its type: not released, and sizes
    // that are sizes.
    void checkSizes(const ArrowArray& a, const std::string& whose) const {
        if (!a.release) refuse(false, whose + " is released (its capsule was consumed before?)");
        if (a.length < 0 || a.offset < 0 || a.null_count < -1 || a.null_count > a.length ||
            a.length > std::numeric_limits<std::int64_t>::max() - a.offset)
            refuse(false, whose + " does not have the shape its schema gives: a negative or "
                                  "overflowing length, offset or null count");
    }

    // An array's own rules, against the buffers and children its type has:
    // not released, sizes that are sizes, the pointers it counts, a
    // validity bitmap where it counts nulls, and at least `rows` rows past
    // its offset. A data buffer may be null only where no value is read.
    void checkArray(const ArrowArray* a, const std::string& whose, std::int64_t buffers,
                    std::int64_t children, std::int64_t rows) const {
        const auto shape = [&](const std::string& detail) {
            refuse(false, whose + " does not have the shape its schema gives: " + detail);
        };
        if (!a) shape("it is missing");
        checkSizes(*a, whose);
        if (a->length < rows) shape("fewer rows than the frame that holds it");
        if (a->n_buffers != buffers)
            shape(std::to_string(a->n_buffers) + " buffers where its type has " +
                  std::to_string(buffers) + " (a batch of another type than the schema's?)");
        if (a->n_children != children)
            shape(std::to_string(a->n_children) + " children where its type has " +
                  std::to_string(children));
        if (buffers > 0 && !a->buffers) shape("no buffers");
        if (children > 0 && !a->children) shape("no children");
        if (buffers > 0 && !a->buffers[0] && a->null_count > 0)
            shape("nulls counted but no validity bitmap");
    }

    // A column's values: rows [first, first + count) of a leaf array, or of
    // a dictionary array through its dictionary.
    void column(Batch& batch, const std::string& name, const ArrowSchema& field,
                const ArrowArray& a, std::size_t first) {
        const std::string whose = "the Arrow data of '" + name + "'";
        Leaf leaf{};
        leafOf(field.format, leaf);
        const std::uint8_t* valid = nullsOf(a);
        batch.columnNulls.push_back({valid, first});
        if (valid) batch.validity.push_back({valid, first});
        const char* data = static_cast<const char*>(a.buffers[1]);
        if (field.dictionary)
            return dictionaryColumn(batch, name, *field.dictionary, a, first, leaf);
        if (!data) {
            if (a.null_count != a.length)
                refuse(false, whose + " does not have the shape its schema gives: no values");
            converted(batch, name); // every row is null
            return;
        }
        if (leaf.read == Leaf::InPlace) {
            batch.columns.push_back({name, data + first * sizeOf(leaf.type),
                                     static_cast<std::ptrdiff_t>(sizeOf(leaf.type)), leaf.type});
            return;
        }
        std::vector<double>& copy = converted(batch, name);
        for (std::size_t i = 0; i < batch.count; ++i) copy[i] = elementOf(leaf, data, first + i);
    }

    // The indices' rows through the dictionary; a row whose value is null
    // in the dictionary is null.
    void dictionaryColumn(Batch& batch, const std::string& name, const ArrowSchema& values,
                          const ArrowArray& a, std::size_t first, const Leaf& index) {
        const std::string whose = "the Arrow dictionary of '" + name + "'";
        Leaf leaf{};
        leafOf(values.format, leaf);
        const ArrowArray& d = *a.dictionary; // checked with the column
        const char* indices = static_cast<const char*>(a.buffers[1]);
        const char* data = static_cast<const char*>(d.buffers[1]);
        const std::uint8_t* rowValid = batch.columnNulls.back().first;
        const std::uint8_t* valueValid = nullsOf(d);
        std::vector<double>& copy = converted(batch, name);
        std::vector<std::uint8_t>* own = nullptr;
        for (std::size_t i = 0; i < batch.count; ++i) {
            if (rowValid && !bitOf(rowValid, first + i)) continue; // its index means nothing
            if (!indices) refuse(false, "the Arrow data of '" + name + "' has no indices");
            const std::int64_t k = indexAt(index, indices, first + i);
            if (k < 0 || k >= d.length)
                refuse(false, "the Arrow data of '" + name +
                                  "' has an index outside its "
                                  "dictionary at row " +
                                  std::to_string(i));
            const auto at = static_cast<std::size_t>(d.offset + k);
            if (valueValid && !bitOf(valueValid, at)) {
                if (!own) { // the rows' own bitmap, with these nulls too
                    own = &out_.bitmaps_.emplace_back((batch.count + 7) / 8, 0xff);
                    if (rowValid) andBits(own->data(), 0, rowValid, first, batch.count);
                    batch.columnNulls.back() = {own->data(), 0};
                    batch.validity.push_back({own->data(), 0});
                    out_.nulls_ = true;
                }
                (*own)[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
                continue;
            }
            if (!data) refuse(false, whose + " has no values");
            copy[i] = elementOf(leaf, data, at);
        }
    }

private:
    ArrowImport& out_;
    const char* call_;

    const std::uint8_t* nullsOf(const ArrowArray& a) const {
        if (a.null_count == 0 || !a.buffers[0]) return nullptr;
        out_.nulls_ = true;
        return static_cast<const std::uint8_t*>(a.buffers[0]);
    }

    // A column of its own, of zeros until written (its buffer never moves).
    std::vector<double>& converted(Batch& batch, const std::string& name) {
        std::vector<double>& copy = out_.converted_.emplace_back(batch.count);
        batch.columns.push_back({name, copy.data()});
        return copy;
    }
};

ArrowImport::ArrowImport(const char* call, const ArrowSchema& schema,
                         const std::vector<ArrowArray>& arrays,
                         const std::unordered_set<std::string>* used, const std::string* lone) {
    Reader reader(*this, call);
    reader.checkSchema(schema, "the Arrow schema");
    // A frame is a struct whose children are its columns; anything else is
    // one column, under its own name.
    const bool frame = std::string_view(schema.format) == "+s";
    name = schema.name ? schema.name : "";
    if (lone && frame) reader.refuse(true, "the value of '" + *lone + "' is a frame, not a column");
    if (!lone && !frame && name.empty())
        reader.refuse(true, "an Arrow array without a name binds no column; give it in a"
                            " mapping, {'x': array}");
    std::vector<const ArrowSchema*> fields;
    if (frame)
        for (std::int64_t k = 0; k < schema.n_children; ++k) fields.push_back(schema.children[k]);
    else
        fields.push_back(&schema);
    std::vector<std::string> names;
    for (const ArrowSchema* field : fields)
        names.push_back(lone ? *lone : field->name ? field->name : "");
    std::vector<std::size_t> read; // the fields the text may read
    std::unordered_set<std::string> seen;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (!lone && used && !used->count(names[k])) continue;
        const ArrowSchema& field = *fields[k];
        Leaf leaf{}, value{};
        const bool indices = field.dictionary && leafOf(field.format, leaf) && leaf.index;
        const bool number = field.dictionary ? indices && leafOf(field.dictionary->format, value) &&
                                                   !field.dictionary->dictionary
                                             : leafOf(field.format, leaf);
        if (!number && !used && !lone) continue; // all fields: only the numbers
        if (!number && indices)
            reader.refuse(true, "the value of '" + names[k] +
                                    "' is a dictionary of Arrow's type '" +
                                    field.dictionary->format + "', not of numbers");
        if (!number)
            reader.refuse(true, "the value of '" + names[k] + "' is of Arrow's type '" +
                                    field.format + "', not a number");
        if (!seen.insert(names[k]).second)
            reader.refuse(false, "the frame has more than one column named '" + names[k] +
                                     "': which one the text reads is ambiguous; rename them");
        read.push_back(k);
    }
    for (const ArrowArray& whole : arrays) {
        reader.checkSizes(whole, frame ? "the Arrow frame" : "the Arrow array");
        if (frame) reader.checkArray(&whole, "the Arrow frame", 1, schema.n_children, 0);
        const std::size_t top = frame ? static_cast<std::size_t>(whole.offset) : 0;
        // Each column read is checked, as its type says (with its dictionary),
        // before any is read; only a dictionary's indices wait for the read.
        for (const std::size_t k : read) {
            const ArrowArray* a = frame ? whole.children[k] : &whole;
            reader.checkArray(a, "the Arrow data of '" + names[k] + "'", 2, 0,
                              frame ? whole.offset + whole.length : 0);
            if (fields[k]->dictionary)
                reader.checkArray(a->dictionary, "the Arrow dictionary of '" + names[k] + "'", 2, 0,
                                  0);
        }
        if (whole.length == 0) continue;
        Batch batch{rows_, static_cast<std::size_t>(whole.length), {}, {}, {}};
        if (frame && whole.null_count != 0 && whole.buffers[0]) {
            batch.validity.emplace_back(static_cast<const std::uint8_t*>(whole.buffers[0]), top);
            nulls_ = true;
        }
        for (const std::size_t k : read) {
            const ArrowArray& a = frame ? *whole.children[k] : whole;
            reader.column(batch, names[k], *fields[k], a, top + static_cast<std::size_t>(a.offset));
        }
        // Each column carries its nulls to the engine, the frame's null rows among them.
        const bool frameNulls = frame && whole.null_count != 0 && whole.buffers[0];
        for (std::size_t c = 0; c < batch.columns.size(); ++c) {
            auto& nulls = batch.columnNulls[c];
            if (frameNulls) {
                std::vector<std::uint8_t>& both =
                    bitmaps_.emplace_back((batch.count + 7) / 8, 0xff);
                andBits(both.data(), 0, static_cast<const std::uint8_t*>(whole.buffers[0]), top,
                        batch.count);
                if (nulls.first) andBits(both.data(), 0, nulls.first, nulls.second, batch.count);
                nulls = {both.data(), 0};
            }
            batch.columns[c].valid = nulls.first;
            batch.columns[c].validFirst = nulls.second;
        }
        rows_ += batch.count;
        batches_.push_back(std::move(batch));
    }
    if (batches_.empty()) { // no rows: the columns still bind their names
        static const double none = 0;
        Batch empty{0, 0, {}, {}, {}};
        for (const std::size_t k : read) empty.columns.push_back({names[k], &none, 0});
        batches_.push_back(std::move(empty));
    }
}

void andBits(std::uint8_t* to, std::size_t at, const std::uint8_t* from, std::size_t start,
             std::size_t count) {
    std::size_t i = 0;
    if (at % 8 == 0 && start % 8 == 0) // whole bytes where they line up
        for (; i + 8 <= count; i += 8) to[(at + i) / 8] &= from[(start + i) / 8];
    for (; i < count; ++i)
        if (!bitOf(from, start + i))
            to[(at + i) / 8] &= static_cast<std::uint8_t>(~(1u << ((at + i) % 8)));
}

void ArrowImport::validity(std::uint8_t* bits) const {
    if (rows_ == 0) return;
    std::memset(bits, 0xff, (rows_ + 7) / 8);
    for (const Batch& b : batches_)
        for (const auto& [from, start] : b.validity) andBits(bits, b.first, from, start, b.count);
}

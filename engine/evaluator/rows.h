// What evalMany and a Compiled share to run code over rows: the columns as
// the run reads them, the rows' pieces and the two ways a run ends.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "blocks.h"
#include "evaluator.h"
#include "native.h"
#include "program.h"
#include "values.h"

namespace velmoratrix {

// Machine code pays for its generation over a few hundred rows.
constexpr std::size_t kNativeRows = 512;
// Rows a level or an argument of a stretch's buffers holds: a block and some,
// so that no two start at the same offset in a page (a load and a store
// there seem to alias, and stall).
constexpr std::size_t kStretchRows = BlockRunner::kCallBlock + 68;
// Rows a thread takes at a time: enough to pay for handing them over.
constexpr std::size_t kRowsPerRange = 16384;

inline char* at(const void* base, std::ptrdiff_t stride, std::size_t i) {
    return const_cast<char*>(static_cast<const char*>(base)) +
           static_cast<std::ptrdiff_t>(i) * stride;
}

// The bytes [first, last) that n values of `size` bytes, `stride` bytes
// apart, cover.
inline std::pair<const char*, const char*> span(const void* base, std::ptrdiff_t stride,
                                                std::size_t n, std::size_t size) {
    const char* first = static_cast<const char*>(base);
    const char* last = first + static_cast<std::ptrdiff_t>(n - 1) * stride;
    if (last < first) std::swap(first, last);
    return {first, last + size};
}

// The columns as the run reads them: a column that `out` overlaps other than
// element for element is copied first (as doubles), so that no row reads a
// result; a broadcast value within `out` is read once, before any row.
class Inputs {
public:
    Inputs(const std::vector<Column>& columns, std::size_t count, const Output& out)
        : columns_(&columns) {
        if (count == 0) return;
        const auto written = span(out.values, out.stride, count, sizeOf(out.type));
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const Column& c = columns[k];
            if (c.stride != 0 && c.values == out.values && c.stride == out.stride &&
                c.type == out.type)
                continue;
            const std::size_t rows = c.stride == 0 ? 1 : count;
            const auto read = span(c.values, c.stride, rows, sizeOf(c.type));
            if (read.second <= written.first || written.second <= read.first) continue;
            if (copies_.empty()) {
                own_ = columns;
                columns_ = &own_;
                copies_.reserve(columns.size());
            }
            std::vector<double>& copy = copies_.emplace_back(rows);
            for (std::size_t i = 0; i < rows; ++i) copy[i] = valueAt(c, i);
            own_[k].values = copy.data();
            own_[k].stride = c.stride == 0 ? 0 : static_cast<std::ptrdiff_t>(sizeof(double));
            own_[k].type = ValueType::Float64;
        }
    }
    const std::vector<Column>& columns() const { return *columns_; }

private:
    const std::vector<Column>* columns_;
    std::vector<Column> own_;
    std::vector<std::vector<double>> copies_; // reserved: never moved once pointed at
};

// Whether every registered variable the code reads has its cell (a column's
// slot always has one).
inline bool cellsPresent(const Code& code, double* const* slots, std::size_t columns) {
    for (const Instruction& i : code.steps)
        if (readsCell(i.op) && !(i.cell >= slots && i.cell < slots + columns) && !*i.cell)
            return false;
    return true;
}

// Rows first .. last-1 through code generated for the columns.
inline void runRows(const Native& native, const std::vector<Column>& columns, std::size_t first,
                    std::size_t last, const Output& out) {
    const char* few[kMostArguments];
    std::vector<const char*> many(columns.size() > kMostArguments ? columns.size() : 0);
    const char** from = many.empty() ? few : many.data();
    for (std::size_t k = 0; k < columns.size(); ++k) from[k] = elementAt(columns[k], first);
    Rows rows{last - first, at(out.values, out.stride, first), out.stride, from};
    native.run(rows);
}

// The eight bits of a byte as eight bytes of 0 or 1, the lowest bit first.
std::uint64_t spread(std::uint8_t bits);

// Where the code reads no step's NullRule: each row null where a column it
// reads is null, written as NaN (or false), and its validity into out.valid.
void markNulls(const Code& code, const std::vector<Column>& columns, double* const* slots,
               std::size_t count, const Output& out);

// Rows 0 .. count-1 of `out` written as null (NaN, or false) where
// valid[i] is 0, without a branch per row: nulls fall at random. Nothing
// where out keeps its validity and asks for no NaN.
void writeNulls(const std::uint8_t* valid, std::size_t count, const Output& out);

// A condition of comparisons of columns and numbers joined by and, or and
// not, 64 rows a word, with the values and nulls its steps would give; false
// where the code is of another kind (conditions.cpp).
bool conditionInWords(const Code& code, const std::vector<Column>& columns, double* const* slots,
                      std::size_t count, const Output& out, std::size_t threads);

// Each row's validity (1, or 0 where null) into valid[0 .. count), from
// the columns' nulls and the truths of the conditions within the code, 64
// rows a word; false, and nothing written, where the code reads nulls
// otherwise (Kleene's logic or a choice on values that are no such truths,
// and fill_null and is_null but with `nullFunctions`, whose values then
// come from elsewhere). With valid null, only whether it can.
bool nullsInWords(const Code& code, const std::vector<Column>& columns, double* const* slots,
                  bool nullFunctions, std::size_t count, std::uint8_t* valid);

// A bool output as the truth of the rows' doubles, a piece at a time:
// rows(part, n, piece) writes the doubles (and validity, where a column has
// nulls) of n rows from the columns' `part`.
void truthInPieces(
    const std::vector<Column>& columns, std::size_t count, const Output& out,
    const std::function<void(const std::vector<Column>&, std::size_t, const Output&)>& rows);

// Code with nulls in the block runner, each value's validity beside it;
// callables without a block see the rows in order on this thread.
void blocksWithNulls(const Code& code, const std::vector<Column>& columns, double* const* slots,
                     bool accurate, std::size_t count, const Output& out, std::size_t threads);

// Rows first .. last-1 of code cut at its calls over blocks: each block runs
// the stretches in turn, and between two the call, over the block at once.
void runStretches(const Code& code, const Program::RowsCode& plan,
                  const std::vector<Column>& columns, std::size_t first, std::size_t last,
                  const Output& out);

} // namespace velmoratrix

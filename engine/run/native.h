// Machine code for resolved code: the very x87 operations the interpreter
// (machine.h) performs, with the values kept in registers instead of being
// stored and loaded at every step. The interpreter stays the reference and
// the fallback: where code cannot be generated (no Xbyak at build, another
// architecture, a step or depth the generator does not take, VELMO_JIT=0),
// the factories return null.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <vector>

#include "evaluator.h"
#include "program.h"

namespace velmoratrix {

// Whether code is generated at all: off where the build has no generator or
// the environment says VELMO_JIT=0; tests turn it off and on to compare.
bool nativeEnabled();
void setNativeEnabled(bool enabled);

// What was generated in this process so far: pieces of code, and their
// bytes of instructions and constants; and the bytes of pages that hold code
// now (for tests and benchmarks).
struct NativeCounts {
    std::size_t pieces, bytes, mapped;
};
NativeCounts nativeCounts();

// How a scalar run ended besides its value: a registered variable that lost
// its cell, or a callable that threw (the exception is kept in `error`, never
// unwound through generated frames). Code that calls no callable needs no
// `error`, and saves making and destroying one.
struct NativeOutcome {
    unsigned char lost = 0;
    unsigned char threw = 0;
    std::exception_ptr* error = nullptr;
    // Code generated with slots (scalar's second form): the k-th slot's value.
    const double* values = nullptr;
#ifdef _WIN32
    long double result = 0; // where a scalar run leaves its value there
#endif
};

// The rows a row run computes: `count` values into out, `outStride` bytes
// apart; columns[k] is where the k-th overlay slot's column starts, its
// stride the one the code was generated for.
struct Rows {
    std::size_t count;
    char* out;
    std::ptrdiff_t outStride;
    const char* const* columns;
    // A stretch's buffers (program.h): level j of row r at kept[j * capacity + r],
    // argument k at arguments[k * capacity + r], the call's result at result[r].
    long double* kept = nullptr;
    double* arguments = nullptr;
    const double* result = nullptr;
};

class Native {
public:
    ~Native();
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    // Code that returns what execute returns, for code that ends in one
    // value; calls out through noexcept trampolines.
    // Without an arena, the piece has pages of its own.
    static NativeCode scalar(const Code& code, const std::shared_ptr<CodeArena>& arena = {});
    // The same where a step that reads overlay slot k (of `count`) takes
    // outcome.values[k]: a run keeps nothing of its own in the code, so any
    // number of threads may run it at once.
    static NativeCode scalar(const Code& code, double* const* slots, std::size_t count);
    // Code that computes rows: overlay slot k reads column k, with that
    // column's stride and type. For code that ends in one value and calls
    // nothing from outside the engine; every registered variable it reads
    // must have its cell. Results are stored as `output` (Float64 or Float32).
    static NativeCode rows(const Code& code, double* const* slots,
                           const std::vector<Column>& columns,
                           const std::shared_ptr<CodeArena>& arena = {},
                           ValueType output = ValueType::Float64);
    // A stretch's rows, for blocks of at most `capacity` rows.
    static NativeCode stretch(const Code& code, const Stretch& s, std::size_t capacity,
                              double* const* slots, const std::vector<Column>& columns,
                              const std::shared_ptr<CodeArena>& arena = {},
                              ValueType output = ValueType::Float64);

    long double value(NativeOutcome& outcome) const {
#ifdef _WIN32 // no long double comes back in a register there
        reinterpret_cast<void (*)(NativeOutcome*)>(entry_)(&outcome);
        return outcome.result;
#else
        return reinterpret_cast<long double (*)(NativeOutcome*)>(entry_)(&outcome);
#endif
    }
    void run(Rows& rows) const {
        reinterpret_cast<void (*)(Rows*)>(entry_)(&rows);
    }
    // The bytes it takes in its arena, and where its code starts.
    std::size_t bytes() const {
        return bytes_;
    }
    const void* entry() const {
        return entry_;
    }

private:
    Native() = default;
    static NativeCode place(const std::vector<std::uint8_t>& code,
                            const std::shared_ptr<CodeArena>& arena);
    std::shared_ptr<CodeArena> arena_;
    void* entry_ = nullptr;
    std::size_t bytes_ = 0;
};

} // namespace velmoratrix

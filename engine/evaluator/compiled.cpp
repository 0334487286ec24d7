// compile: a text resolved once into code that owns everything it reads but
// the caller's variables, run by any number of threads at once.
#include <algorithm>
#include <atomic>
#include <deque>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "compiled.h"
#include "evaluator.h"
#include "machine.h"
#include "messages.h"
#include "native.h"
#include "pool.h"
#include "prepared.h"
#include "rows.h"

using namespace velmoratrix;

struct Compiled::State {
    std::string text;
    std::vector<std::string> names;
    bool standard = false, condition = false, accurate = false;
    bool empty = false;     // nothing to run (an empty classic text)
    bool malformed = false; // every run ends in the failure value
    Code code;
    // Slot k stands for names[k]: a step whose cell is slot k reads the
    // call's k-th value (its address range is all that matters).
    std::vector<double*> slots;
    std::vector<double> slotCells;
    // The registered variables' addresses as compiled, which steps read
    // through; the evaluator's own cells are copied into `copies`.
    std::vector<double*> registered;
    std::vector<double> copies;
    // The callables the code calls, its own copies.
    std::deque<UnaryCallable> unary;
    std::deque<BinaryCallable> binary;
    std::deque<NaryCallable> nary;
    std::deque<BlockCallable> blocks;
    // Code that runs value(), where it can be generated (made at compile
    // time, into pages of its own).
    NativeCode scalar;
    // Code generated at the first run over rows, for columns of doubles side
    // by side into doubles; generation makes pages of its own, so no thread
    // runs code on a page another writes.
    // 0: not yet, 1: being made (a caller does without it meanwhile, so that
    // none waits, not even in a child forked while it was made), 2: made.
    mutable std::atomic<int> generated{0};
    mutable Program::RowsCode rows;

    void own(const MathEvaluator& m);
    void throwEnding() const {
        if (code.ending == Ending::NotANumber) throw std::invalid_argument("stod");
        if (code.ending == Ending::OutOfRange) throw std::out_of_range("stod");
    }
    bool isSlot(double* const* cell) const {
        return cell >= slots.data() && cell < slots.data() + slots.size();
    }
    const Program::RowsCode* rowsCode() const;
    [[gnu::noinline]] long double interpreted(const double* values) const;
    long double byCode(const double* values) const;
    void byRows(const std::vector<Column>& columns, std::size_t count, const Output& out,
                std::size_t threads) const;
};

// The evaluator's cells and callables the resolved code points into become
// the state's own, so that it outlives the evaluator and its edits.
void Compiled::State::own(const MathEvaluator& m) {
    registered.reserve(code.steps.size());
    copies.reserve(2);
    std::unordered_map<const void*, const void*> mine;
    auto copy = [&](const auto* theirs, auto& into) {
        auto [at, added] = mine.emplace(theirs, nullptr);
        if (added) {
            into.push_back(*theirs);
            at->second = &into.back();
        }
        return static_cast<decltype(theirs)>(at->second);
    };
    for (Instruction& i : code.steps) {
        if (readsCell(i.op) && !isSlot(i.cell)) {
            auto [at, added] = mine.emplace(i.cell, nullptr);
            if (added) {
                double* cell = *i.cell;
                if (cell == &m.piValue || cell == &m.eValue) {
                    copies.push_back(*cell);
                    cell = &copies.back();
                }
                registered.push_back(cell);
                at->second = &registered.back();
            }
            i.cell = static_cast<double* const*>(at->second);
        }
        if (i.op == Op::CallUnary) i.callUnary = copy(i.callUnary, unary);
        if (i.op == Op::CallBinary) i.callBinary = copy(i.callBinary, binary);
        if (i.op == Op::CallNary) i.callNary = copy(i.callNary, nary);
        if (callsCallable(i.op) && i.block) i.block = copy(i.block, blocks);
    }
}

namespace {

// Where a step finds its variable: a slot's value among the call's, else the
// registered variable's cell.
struct CellsOfValues {
    double* const* first;
    std::size_t count;
    const double* values;
    const double* operator()(const Instruction& i) const {
        const auto k = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(i.cell) -
                                                reinterpret_cast<std::uintptr_t>(first)) /
                       sizeof(double*);
        return i.cell >= first && k < count ? values + k : *i.cell;
    }
};

bool doublesSideBySide(const std::vector<Column>& columns) {
    for (const Column& c : columns)
        if (c.type != ValueType::Float64 || c.stride != static_cast<std::ptrdiff_t>(sizeof(double)))
            return false;
    return true;
}

} // namespace

// The rows code, where it is made: the first caller makes it.
const Program::RowsCode* Compiled::State::rowsCode() const {
    int state = generated.load(std::memory_order_acquire);
    if (state == 0 && generated.compare_exchange_strong(state, 1, std::memory_order_acquire)) {
        if (!malformed && cellsPresent(code, slots.data(), slots.size())) {
            std::vector<Column> layout(names.size());
            for (Column& c : layout) c.stride = sizeof(double);
            if (inStretches(code)) {
                rows.plan = stretchesOf(code);
                for (const Stretch& s : rows.plan) {
                    rows.stretches.push_back(
                        Native::stretch(code, s, kStretchRows, slots.data(), layout));
                    if (!rows.stretches.back()) {
                        rows.stretches.clear();
                        break;
                    }
                }
            } else if (!code.callsOut) {
                rows.native = Native::rows(code, slots.data(), layout);
            }
        }
        rows.made = true;
        generated.store(2, std::memory_order_release);
        return &rows;
    }
    return state == 2 ? &rows : nullptr;
}

// evalMany's paths, without the evaluator: nothing here writes the state.
void Compiled::State::byRows(const std::vector<Column>& given, std::size_t count, const Output& out,
                             std::size_t threads) const {
    const Inputs inputs(given, count, out);
    const std::vector<Column>& columns = inputs.columns();
    const bool nulls = hasNulls(columns);
    if (out.type == ValueType::Bool) {
        truthInPieces(columns, count, out,
                      [&](const std::vector<Column>& part, std::size_t n, const Output& piece) {
                          byRows(part, n, piece, threads);
                      });
        return;
    }
    if (out.valid && (!nulls || malformed)) std::memset(out.valid, 1, count);
    if (nulls && !malformed && !code.nullRules) {
        std::vector<Column> values = columns;
        for (Column& c : values) c.valid = nullptr;
        byRows(values, count, Output{out.values, out.stride, out.type}, threads);
        markNulls(code, columns, slots.data(), count, out);
        return;
    }
    if (nulls && !malformed) {
        blocksWithNulls(code, columns, slots.data(), accurate, count, out, threads);
        return;
    }
    const bool inOrder = code.callsOut && !code.inBlocks;
    if (malformed && !code.callsOut) {
        for (std::size_t i = 0; i < count; ++i)
            store(at(out.values, out.stride, i), out.type, 0.0L);
        return;
    }
    const Program::RowsCode* made =
        doublesSideBySide(columns) && out.type == ValueType::Float64 ? rowsCode() : nullptr;
    const Native* native = made ? made->native.get() : nullptr;
    const bool stretches = made && !made->stretches.empty();
    if (!malformed && !inOrder && (native || stretches || code.maxDepth < kInlineStack)) {
        const std::size_t size = code.callsOut ? BlockRunner::kCallBlock : BlockRunner::kBlock;
        forEachRange(count, threads, kRowsPerRange, [&](std::size_t first, std::size_t last) {
            if (native) {
                runRows(*native, columns, first, last, out);
                return;
            }
            if (stretches) {
                runStretches(code, rows, columns, first, last, out);
                return;
            }
            BlockRunner blocks(code, columns, slots.data(), accurate, size);
            for (std::size_t block = first; block < last && !rangeFailed(); block += size)
                blocks.run(block, std::min(last - block, size), at(out.values, out.stride, block),
                           out.stride, out.type);
        });
        return;
    }
    // Row by row on this thread: deep stacks, and callables without blocks,
    // which see the rows in order.
    std::vector<Real> deep(code.maxDepth + 2 > kInlineStack ? code.maxDepth + 2 : 0);
    Real shallow[kInlineStack];
    Real* stack = deep.empty() ? shallow : deep.data();
    std::vector<double> values(columns.size());
    const CellsOfValues cells{slots.data(), slots.size(), values.data()};
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < columns.size(); ++k) values[k] = valueAt(columns[k], i);
        if (scalar) { // value()'s code, a row at a time
            store(at(out.values, out.stride, i), out.type, Real(byCode(values.data())));
            continue;
        }
        bool ok = !empty;
        const Real value = ok ? execute(code, stack, accurate, ok, cells) : 0.0L;
        store(at(out.values, out.stride, i), out.type, ok && !malformed ? value : 0.0L);
    }
}

const Compiled::State& Compiled::state() const {
    if (!state_) throw std::logic_error("Compiled: empty (made by its default constructor)");
    return *state_;
}

const std::string& Compiled::text() const {
    return state().text;
}
const std::vector<std::string>& Compiled::names() const {
    return state().names;
}
bool Compiled::standard() const {
    return state().standard;
}
bool Compiled::isCondition() const {
    return state().condition;
}

namespace {
// How many EngineSettings the thread is inside.
thread_local unsigned settingsHeld = 0;

struct SavedSettings {
    EngineX87 x87;
    EngineSse sse;
};
} // namespace

EngineSettings::EngineSettings() {
    static_assert(sizeof(SavedSettings) <= sizeof saved_ && alignof(SavedSettings) <= 8);
    new (saved_) SavedSettings;
    ++settingsHeld;
}

EngineSettings::~EngineSettings() {
    if (settingsHeld != 0) --settingsHeld; // not below zero on a thread that made none
    std::launder(reinterpret_cast<SavedSettings*>(saved_))->~SavedSettings();
}

// The interpreter's run, where no code was generated.
long double Compiled::State::interpreted(const double* values) const {
    throwEnding();
    if (malformed && !code.callsOut) return 0.0L;
    const EngineX87 floats;
    std::optional<EngineSse> sse;
    if (code.sse && settingsHeld == 0) sse.emplace();
    const CellsOfValues cells{slots.data(), slots.size(), values};
    bool ok = !empty;
    Real value;
    if (code.maxDepth + 2 > kInlineStack) {
        std::vector<Real> stack(code.maxDepth + 2);
        value = ok ? execute(code, stack.data(), accurate, ok, cells) : 0.0L;
    } else {
        Real stack[kInlineStack];
        value = ok ? execute(code, stack, accurate, ok, cells) : 0.0L;
    }
    return ok && !malformed ? wide(value) : 0.0L;
}

// Generated code's run (of code that ends in one value). The value stays in
// a register: an 80-bit store and load would cost more than the rest.
inline long double Compiled::State::byCode(const double* values) const {
    NativeOutcome outcome;
    outcome.values = values;
    if (!code.callsOut) {
        const Real value = scalar->value(outcome);
        return outcome.lost ? 0.0L : wide(value);
    }
    std::exception_ptr error;
    outcome.error = &error;
    const Real value = scalar->value(outcome);
    if (outcome.threw) std::rethrow_exception(error);
    return outcome.lost ? 0.0L : wide(value);
}

long double Compiled::value(const double* values) const {
    const State& s = state();
    if (!s.scalar) return s.interpreted(values);
    if (settingsHeld != 0) return s.byCode(values);
    const EngineX87 floats;
    if (s.code.sse) {
        const EngineSse sse;
        return s.byCode(values);
    }
    return s.byCode(values);
}

void Compiled::values(const std::vector<Column>& columns, std::size_t count, double* out,
                      std::ptrdiff_t outStride, std::size_t threads) const {
    values(columns, count, Output{out, outStride}, threads);
}

void Compiled::values(const std::vector<Column>& columns, std::size_t count, const Output& out,
                      std::size_t threads) const {
    const State& s = state();
    if (out.type != ValueType::Float64 && out.type != ValueType::Float32 &&
        out.type != ValueType::Bool)
        throw std::invalid_argument("Compiled::values: results are float64, float32 or bool");
    if (columns.size() != s.names.size())
        throw std::invalid_argument("Compiled::values: " + std::to_string(columns.size()) +
                                    " columns for " + std::to_string(s.names.size()) + " names");
    for (std::size_t k = 0; k < columns.size(); ++k)
        if (!columns[k].name.empty() && columns[k].name != s.names[k])
            throw std::invalid_argument("Compiled::values: column " + std::to_string(k) +
                                        " is named " + quoted(columns[k].name) + ", compiled for " +
                                        quoted(s.names[k]));
    s.throwEnding();
    const EngineFloats floats;
    s.byRows(columns, count, out, threads);
}

// The names a text reads that nothing binds: neither `known`, nor a
// registered variable, nor (classic) a number, nor (standard) a constant.
void MathEvaluator::refuseUnknown(const Program& program, const std::vector<std::string>& known) {
    const std::unordered_set<std::string_view> given(known.begin(), known.end());
    Diagnostic problem;
    if (program.standard) {
        if (unboundName(*this, program.standardSteps, program.text, given, problem))
            throw ExpressionError({std::move(problem)}, program.text);
        return;
    }
    for (std::size_t i = 0; i < program.pieces.size(); ++i) {
        const std::string_view t = program.slice(i);
        double number;
        if (program.kind(i) != Operand || t.empty() || given.count(t) || registeredCell(*this, t) ||
            readNumber(t, number) != Ending::NotANumber)
            continue;
        throw ExpressionError(
            {{program.pieces[i].offset(), t.size(), true, quoted(t) + " is no registered name"}},
            program.text);
    }
}

Compiled MathEvaluator::compile(std::string expression, const std::vector<std::string>& names) {
    Entry call(*this);
    refuseWhileRunning("compile");
    const Program& program = programFor(expression, syntax == Syntax::Standard);
    refuseUnknown(program, names);
    auto state = std::make_shared<Compiled::State>();
    Compiled::State& s = *state;
    s.text = std::move(expression);
    s.names = names;
    s.standard = program.standard;
    s.condition = program.condition;
    s.empty = program.empty();
    s.slotCells.assign(names.size(), 0.0);
    for (double& cell : s.slotCells) s.slots.push_back(&cell);
    Overlay overlay{{}, s.slots.data()};
    overlay.names.reserve(names.size());
    for (std::size_t k = 0; k < names.size(); ++k) overlay.names.emplace(s.names[k], k);
    resolve(*this, prepared_->lookups, program, s.code, &overlay);
    s.accurate = s.code.accurate;
    s.malformed = s.empty || s.code.ending != Ending::Value || s.code.depth != 1;
    s.own(*this);
    if (!s.malformed) s.scalar = Native::scalar(s.code, s.slots.data(), s.slots.size());
    return Compiled(std::move(state));
}

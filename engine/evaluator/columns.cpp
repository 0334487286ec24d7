// evalMany: one expression over columns of values, compiled once. Code that
// stays in the engine runs block by block; the rest element by element.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "blocks.h"
#include "elementary.h"
#include "evaluator.h"
#include "machine.h"
#include "native.h"
#include "pool.h"
#include "prepared.h"
#include "rows.h"
#include "values.h"

using namespace velmoratrix;

// The program's code for these columns (for code that calls callables over
// blocks, its stretches in program.rows), generated again only where they,
// the variables or the flag differ from the last call's.
bool MathEvaluator::rowsCode(Program& program, const Code& code, const std::vector<Column>& given,
                             const std::vector<Column>& columns, double* const* slots,
                             ValueType output, std::size_t count) {
    Program::RowsCode& kept = program.rows;
    bool same = kept.made && kept.registryEdits == registryEdits() &&
                kept.accurate == accuracyOverEfficiency && kept.output == output &&
                kept.names.size() == given.size();
    for (std::size_t k = 0; same && k < given.size(); ++k)
        same = kept.names[k] == given[k].name && kept.strides[k] == columns[k].stride &&
               kept.types[k] == columns[k].type;
    if (same) return true;
    // Machine code pays for its generation over a few hundred rows, or where
    // the program runs over rows again.
    if (count < kNativeRows && (kept.made || ++kept.smallRuns < 2)) return false;
    kept.native.reset();
    kept.stretches.clear();
    kept.plan.clear();
    if (inStretches(code)) {
        kept.plan = stretchesOf(code);
        for (const Stretch& s : kept.plan) {
            kept.stretches.push_back(
                Native::stretch(code, s, kStretchRows, slots, columns, prepared_->code, output));
            if (!kept.stretches.back()) {
                kept.stretches.clear();
                break;
            }
        }
    } else {
        kept.native = Native::rows(code, slots, columns, prepared_->code, output);
    }
    kept.made = true;
    kept.names.clear();
    kept.strides.clear();
    kept.types.clear();
    for (std::size_t k = 0; k < given.size(); ++k) {
        kept.names.push_back(given[k].name);
        kept.strides.push_back(columns[k].stride);
        kept.types.push_back(columns[k].type);
    }
    kept.output = output;
    kept.registryEdits = registryEdits();
    kept.accurate = accuracyOverEfficiency;
    return true;
}

std::uint64_t velmoratrix::spread(std::uint8_t bits) {
    static const auto table = [] {
        std::array<std::uint64_t, 256> t{};
        for (unsigned b = 0; b < 256; ++b)
            for (unsigned k = 0; k < 8; ++k)
                t[b] |= static_cast<std::uint64_t>((b >> k) & 1) << (8 * k);
        return t;
    }();
    return table[bits];
}

void velmoratrix::markNulls(const Code& code, const std::vector<Column>& columns,
                            double* const* slots, std::size_t count, const Output& out) {
    std::vector<bool> read(columns.size());
    for (const Instruction& i : code.steps)
        if (readsCell(i.op) && i.cell >= slots && i.cell < slots + columns.size())
            read[static_cast<std::size_t>(i.cell - slots)] = true;
    std::vector<std::uint8_t> own(out.valid ? 0 : count);
    std::uint8_t* valid = out.valid ? out.valid : own.data();
    std::memset(valid, 1, count);
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const Column& c = columns[k];
        if (!read[k] || !c.valid) continue;
        if (c.stride == 0) {
            if (!validAt(c, 0)) std::memset(valid, 0, count);
            continue;
        }
        std::size_t i = 0;
        for (; i < count && (c.validFirst + i) % 8 != 0; ++i) valid[i] &= validAt(c, i);
        for (; i + 8 <= count; i += 8) { // a byte of the bitmap: eight rows at once
            std::uint64_t eight;
            std::memcpy(&eight, valid + i, 8);
            eight &= spread(c.valid[(c.validFirst + i) / 8]);
            std::memcpy(valid + i, &eight, 8);
        }
        for (; i < count; ++i) valid[i] &= validAt(c, i);
    }
    writeNulls(valid, count, out);
}

void velmoratrix::writeNulls(const std::uint8_t* valid, std::size_t count, const Output& out) {
    if (!out.nullsAsNaN && out.valid) return;
    const Real null = out.type == ValueType::Bool ? 0.0L : Real(NAN);
    if (out.type != ValueType::Float64) {
        for (std::size_t i = 0; i < count; ++i)
            if (!valid[i]) store(at(out.values, out.stride, i), out.type, null);
        return;
    }
    std::uint64_t nullBits;
    store(reinterpret_cast<char*>(&nullBits), ValueType::Float64, null);
    for (std::size_t i = 0; i < count; ++i) {
        char* to = at(out.values, out.stride, i);
        std::uint64_t bits;
        std::memcpy(&bits, to, sizeof bits);
        const std::uint64_t isNull = 0 - static_cast<std::uint64_t>(valid[i] == 0); // all ones
        bits = (bits & ~isNull) | (nullBits & isNull);
        std::memcpy(to, &bits, sizeof bits);
    }
}

void velmoratrix::truthInPieces(
    const std::vector<Column>& columns, std::size_t count, const Output& out,
    const std::function<void(const std::vector<Column>&, std::size_t, const Output&)>& rows) {
    constexpr std::size_t kPiece = 65536;
    const bool nulls = hasNulls(columns);
    std::vector<double> piece(std::min(count, kPiece));
    std::vector<std::uint8_t> known(nulls ? piece.size() : 0);
    std::vector<Column> part = columns;
    for (std::size_t first = 0; first < count; first += kPiece) {
        const std::size_t n = std::min(count - first, kPiece);
        for (std::size_t k = 0; k < part.size(); ++k) part[k] = columnFrom(columns[k], first);
        rows(part, n,
             Output{piece.data(), sizeof(double), ValueType::Float64,
                    nulls ? known.data() : nullptr});
        for (std::size_t j = 0; j < n; ++j)
            store(at(out.values, out.stride, first + j), out.type,
                  nulls && !known[j] ? 0.0 : piece[j]);
        if (out.valid && nulls) std::memcpy(out.valid + first, known.data(), n);
    }
    if (out.valid && !nulls) std::memset(out.valid, 1, count);
}

void velmoratrix::blocksWithNulls(const Code& code, const std::vector<Column>& columns,
                                  double* const* slots, bool accurate, std::size_t count,
                                  const Output& out, std::size_t threads) {
    const bool inOrder = code.callsOut && !code.inBlocks;
    const std::size_t size = code.callsOut ? BlockRunner::kCallBlock : BlockRunner::kBlock;
    forEachRange(
        count, inOrder ? 1 : threads, kRowsPerRange, [&](std::size_t first, std::size_t last) {
            BlockRunner blocks(code, columns, slots, accurate, size);
            for (std::size_t block = first; block < last && !rangeFailed(); block += size)
                blocks.run(block, std::min(last - block, size), at(out.values, out.stride, block),
                           out.stride, out.type, out.valid ? out.valid + block : nullptr);
        });
}

// What ends a stretch, over the rows of its arguments.
static void callOverRows(const Instruction& i, const double* const* arguments, std::size_t count,
                         double* results) {
    if (i.op != Op::Unary) return (*i.block)(arguments, count, results);
    elementary::rowsOf(i.unary)(arguments[0], results, count);
    if (i.library)
        for (std::size_t j = 0; j < count; ++j) results[j] = madeNaN(results[j], arguments[0][j]);
}

void velmoratrix::runStretches(const Code& code, const Program::RowsCode& plan,
                               const std::vector<Column>& columns, std::size_t first,
                               std::size_t last, const Output& out) {
    constexpr std::size_t capacity = BlockRunner::kCallBlock, rows = kStretchRows;
    std::size_t levels = 0, most = 0;
    for (const Stretch& s : plan.plan) {
        for (std::size_t l : s.keep) levels = std::max(levels, l + 1);
        most = std::max(most, s.arguments);
    }
    // The levels (80 bits in 16 bytes, read and written by the stretches
    // alone), then the arguments and the results, in one buffer.
    // Taken from this thread's spare, so that a call over a few rows does
    // not map and clear a block's buffer; a call from inside a callable finds
    // none and makes its own.
    static thread_local std::vector<double> spare;
    struct Borrowed {
        std::vector<double> buffer;
        Borrowed() { buffer.swap(spare); }
        ~Borrowed() {
            // At most 2 MiB stays with the thread.
            if (buffer.capacity() >= spare.capacity() && buffer.capacity() <= (1u << 18))
                buffer.swap(spare);
        }
    } borrowed;
    std::vector<double>& buffer = borrowed.buffer;
    if (buffer.size() < (2 * levels + most + 1) * rows)
        buffer.resize((2 * levels + most + 1) * rows);
    long double* kept = reinterpret_cast<long double*>(buffer.data()); // generated code's
    double* arguments = buffer.data() + 2 * levels * rows;
    double* results = arguments + most * rows;
    const double* argumentsOf[kMostArguments];
    for (std::size_t k = 0; k < most; ++k) argumentsOf[k] = arguments + k * rows;
    std::vector<const char*> from(columns.size());
    for (std::size_t block = first; block < last && !rangeFailed(); block += capacity) {
        const std::size_t count = std::min(last - block, capacity);
        for (std::size_t k = 0; k < columns.size(); ++k) from[k] = elementAt(columns[k], block);
        Rows run{
            count,  at(out.values, out.stride, block), out.stride, from.data(), kept, arguments,
            results};
        for (std::size_t s = 0; s < plan.plan.size(); ++s) {
            plan.stretches[s]->run(run);
            const std::size_t call = plan.plan[s].call;
            if (call < code.steps.size())
                callOverRows(code.steps[call], argumentsOf, count, results);
        }
    }
}

void MathEvaluator::evalMany(std::string expression, const std::vector<Column>& given,
                             std::size_t count, double* out, std::ptrdiff_t outStride,
                             std::size_t threads) {
    Entry call(*this);
    refuseWhileRunning("evalMany");
    evalProgram(programFor(expression, syntax == Syntax::Standard), given, count,
                Output{out, outStride}, threads);
}

void MathEvaluator::evalMany(std::string expression, const std::vector<Column>& given,
                             std::size_t count, const Output& out, std::size_t threads) {
    Entry call(*this);
    refuseWhileRunning("evalMany");
    evalProgram(programFor(expression, syntax == Syntax::Standard), given, count, out, threads);
}

void MathEvaluator::evalAssignments(
    const std::vector<std::pair<std::string, std::string>>& formulas,
    const std::vector<Column>& given, std::size_t count, const std::vector<Output>& outs,
    std::size_t threads) {
    Entry call(*this);
    refuseWhileRunning("evalAssignments");
    if (outs.size() != formulas.size())
        throw std::invalid_argument("evalAssignments: one output for each formula");
    std::vector<Formula> programs;
    programs.reserve(formulas.size());
    for (const auto& [name, text] : formulas) {
        programs.push_back(Formula(home_, text));
        programs.back().standard_ = syntax == Syntax::Standard;
        programOf(programs.back()); // throws for a text it cannot read, before any row
    }
    // Which columns formula k reads: the given ones a result has not hidden,
    // then the results before it.
    std::vector<std::vector<Column>> reads(formulas.size());
    std::vector<std::vector<std::size_t>> results(formulas.size()); // indices into outs
    for (std::size_t k = 0; k < formulas.size(); ++k) {
        for (const Column& c : given) {
            bool hidden = false;
            for (std::size_t j = 0; j < k && !hidden; ++j) hidden = formulas[j].first == c.name;
            if (!hidden) reads[k].push_back(c);
        }
        for (std::size_t j = 0; j < k; ++j) {
            bool later = false; // a name assigned again: the last result before k
            for (std::size_t i = j + 1; i < k && !later; ++i)
                later = formulas[i].first == formulas[j].first;
            if (!later) results[k].push_back(j);
        }
    }
    const bool nulls = hasNulls(given);
    // A piece's results' validity as bitmaps, for the formulas that read them.
    const std::size_t piece = std::max<std::size_t>(
        std::size_t{1} << 16, 2 * kRowsPerRange * (threads ? threads : defaultThreads()));
    std::vector<std::vector<std::uint8_t>> bytes(nulls ? formulas.size() : 0,
                                                 std::vector<std::uint8_t>(piece));
    std::vector<std::vector<std::uint8_t>> bits(nulls ? formulas.size() : 0,
                                                std::vector<std::uint8_t>(piece / 8));
    std::vector<Column> columns;
    for (std::size_t first = 0; first < count; first += piece) {
        const std::size_t n = std::min(piece, count - first);
        for (std::size_t k = 0; k < formulas.size(); ++k) {
            columns.clear();
            for (const Column& c : reads[k]) columns.push_back(columnFrom(c, first));
            for (const std::size_t j : results[k]) {
                Column r{formulas[j].first, at(outs[j].values, outs[j].stride, first),
                         outs[j].stride, outs[j].type};
                if (nulls) r.valid = bits[j].data();
                columns.push_back(std::move(r));
            }
            Output out = outs[k];
            out.values = at(out.values, out.stride, first);
            if (out.valid) out.valid += first;
            if (nulls) out.valid = bytes[k].data();
            evalProgram(programOf(programs[k]), columns, n, out, threads);
            if (!nulls) continue;
            std::fill(bits[k].begin(), bits[k].end(), 0);
            for (std::size_t i = 0; i < n; ++i)
                bits[k][i / 8] |= static_cast<std::uint8_t>(bytes[k][i] << (i % 8));
            if (outs[k].valid) std::memcpy(outs[k].valid + first, bytes[k].data(), n);
        }
    }
}

long double MathEvaluator::evalWith(const std::string& expression,
                                    const std::vector<Column>& values) {
    Entry call(*this);
    refuseWhileRunning("evalWith");
    return runWith(programFor(expression, syntax == Syntax::Standard), values);
}

// The program's code with the columns' names bound to cells of its own
// (slot k for column k), as registered variables would be, in program.with:
// resolved again only where the names, the variables or the flag differ from
// the last call's. Throws where a token reads as no number.
void MathEvaluator::resolveWith(Program& program, const std::vector<Column>& given) {
    Program::WithCode& w = program.with;
    bool same = w.made && w.registryEdits == registryEdits() &&
                w.accurate == accuracyOverEfficiency && w.names.size() == given.size();
    for (std::size_t k = 0; same && k < given.size(); ++k) same = w.names[k] == given[k].name;
    if (!same) {
        w.made = false;
        w.names.clear();
        w.cells.assign(given.size(), 0.0);
        w.slots.resize(given.size());
        for (std::size_t k = 0; k < given.size(); ++k) {
            w.names.push_back(given[k].name);
            w.slots[k] = &w.cells[k];
        }
        Overlay overlay{{}, w.slots.data()};
        overlay.names.reserve(given.size());
        for (std::size_t k = 0; k < given.size(); ++k) overlay.names.emplace(w.names[k], k);
        resolve(*this, prepared_->lookups, program, w.code, &overlay);
        w.registryEdits = registryEdits();
        w.accurate = accuracyOverEfficiency;
        w.made = true;
        ++w.generation;
    }
    if (w.code.ending == Ending::NotANumber) throw std::invalid_argument("stod");
    if (w.code.ending == Ending::OutOfRange) throw std::out_of_range("stod");
}

// evalProgram's run of one row.
long double MathEvaluator::runWith(Program& program, const std::vector<Column>& values) {
    resolveWith(program, values);
    Program::WithCode& w = program.with;
    const Code& code = w.code;
    std::optional<EngineSse> sse; // where the code calls functions
    if (code.sse) sse.emplace();
    const bool malformed = program.empty() || code.ending != Ending::Value || code.depth != 1;
    if (malformed && !code.callsOut) return 0.0L;
    for (std::size_t k = 0; k < values.size(); ++k) w.cells[k] = valueAt(values[k], 0);
    Running running(*this); // the code stays while functions from outside run
    std::vector<Real> deep(code.maxDepth + 2 > kInlineStack ? code.maxDepth + 2 : 0);
    Real shallow[kInlineStack];
    bool ok = !program.empty();
    const Real value =
        ok ? execute(code, deep.empty() ? shallow : deep.data(), accuracyOverEfficiency, ok) : 0.0L;
    return ok && !malformed ? wide(value) : 0.0L;
}

// Code with null rules over columns with nulls, as its two codes of plain
// steps (splitNulls) on the fastest path, a piece of rows at a time: each
// nullable column's validity unpacked to a column of 0/1 bytes beside it.
// False where the code cannot be split.
bool MathEvaluator::runSplit(Program& program, const std::vector<Column>& columns,
                             std::size_t count, const Output& out, std::size_t threads) {
    const Program::WithCode& w = program.with;
    std::vector<bool> nullable(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) nullable[k] = columns[k].valid != nullptr;
    std::shared_ptr<NullCodes>& kept = program.nulls;
    if (!kept || kept->generation != w.generation || kept->nullable != nullable) {
        kept = std::make_shared<NullCodes>();
        kept->generation = w.generation;
        kept->nullable = nullable;
        std::vector<std::size_t> validSlot(columns.size());
        std::size_t slots = columns.size();
        for (std::size_t k = 0; k < columns.size(); ++k)
            if (nullable[k]) validSlot[k] = slots++;
        for (Program* p : {&kept->values, &kept->validity}) {
            p->standard = true;
            Program::WithCode& own = p->with;
            own.names = w.names;
            for (std::size_t k = 0; k < columns.size(); ++k)
                if (nullable[k]) own.names.push_back(std::string(1, '\0') + std::to_string(k));
            own.cells.assign(slots, 0.0);
            own.slots.resize(slots);
            for (std::size_t j = 0; j < slots; ++j) own.slots[j] = &own.cells[j];
            own.registryEdits = w.registryEdits;
            own.accurate = w.accurate;
            own.made = true;
        }
        kept->split = splitNulls(w.code, w.slots.data(), columns.size(), nullable, validSlot,
                                 kept->values.with.slots.data(), kept->validity.with.slots.data(),
                                 kept->values.with.code, kept->validity.with.code);
    }
    if (!kept->split) return false;
    // The nulls in words where the code's allow it; the values by the split.
    const bool inWords = nullsInWords(w.code, columns, w.slots.data(), true, 0, nullptr);
    std::vector<Column> part(inWords ? columns.size() : 0);
    const std::vector<std::string>& names = kept->values.with.names;
    constexpr std::size_t kPiece = std::size_t{1} << 16;
    const std::size_t piece = std::min(count, kPiece);
    std::vector<std::vector<std::uint8_t>> bytes;
    std::vector<std::uint8_t> known(piece);
    std::vector<Column> all;
    for (std::size_t first = 0; first < count; first += kPiece) {
        const std::size_t n = std::min(kPiece, count - first);
        all.clear();
        for (const Column& c : columns) {
            all.push_back(columnFrom(c, first));
            all.back().valid = nullptr;
        }
        for (std::size_t k = 0, j = 0; k < columns.size(); ++k) {
            if (!nullable[k]) continue;
            if (bytes.size() <= j) bytes.emplace_back(piece);
            std::uint8_t* to = bytes[j].data();
            const Column c = columnFrom(columns[k], first);
            std::size_t i = 0;
            if (c.stride != 0 && c.validFirst % 8 == 0)
                for (; i + 8 <= n; i += 8) {
                    const std::uint64_t eight = spread(c.valid[(c.validFirst + i) / 8]);
                    std::memcpy(to + i, &eight, 8);
                }
            for (; i < n; ++i) to[i] = validAt(c, i);
            all.push_back({names[columns.size() + j++], to, 1, ValueType::UInt8});
        }
        Output values = out;
        values.values = at(out.values, out.stride, first);
        values.valid = nullptr;
        // The nulls first: they read columns that the values may be written
        // over, row for row.
        if (inWords) {
            for (std::size_t k = 0; k < columns.size(); ++k) part[k] = columnFrom(columns[k], first);
            nullsInWords(w.code, part, w.slots.data(), true, n, known.data());
        } else {
            evalProgram(kept->validity, all, n, Output{known.data(), 1, ValueType::Bool},
                        threads);
        }
        evalProgram(kept->values, all, n, values, threads);
        values.valid = out.valid;
        writeNulls(known.data(), n, values);
        if (out.valid) std::memcpy(out.valid + first, known.data(), n);
    }
    return true;
}

void MathEvaluator::evalProgram(Program& program, const std::vector<Column>& given,
                                std::size_t count, const Output& out, std::size_t threads) {
    if (out.type != ValueType::Float64 && out.type != ValueType::Float32 &&
        out.type != ValueType::Bool)
        throw std::invalid_argument("evalMany: results are float64, float32 or bool");
    Running running(*this); // the program stays while functions from outside run
    const EngineSse sse;    // once for all the rows
    // The columns are read through cells of their own, filled anew for each
    // element where the rows run one at a time.
    resolveWith(program, given);
    Program::WithCode& resolved = program.with;
    const Code& code = resolved.code;
    std::vector<double>& cells = resolved.cells;
    const std::vector<double*>& slots = resolved.slots;
    const Inputs inputs(given, count, out);
    const std::vector<Column>& columns = inputs.columns();
    const bool nulls = hasNulls(columns);
    if (conditionInWords(code, columns, slots.data(), count, out, threads)) return;
    if (out.type == ValueType::Bool) {
        truthInPieces(columns, count, out,
                      [&](const std::vector<Column>& part, std::size_t n, const Output& piece) {
                          evalProgram(program, part, n, piece, threads);
                      });
        return;
    }
    const bool malformed = program.empty() || code.ending != Ending::Value || code.depth != 1;
    if (out.valid && (!nulls || malformed)) std::memset(out.valid, 1, count);
    // Nulls that follow from the columns' and the conditions' alone: the
    // rows' values as if nothing were null (on the fastest path), then null
    // where a row is, a piece at a time while its results are in the cache.
    const bool inWords = nulls && !malformed && code.nullRules &&
                         nullsInWords(code, columns, slots.data(), false, 0, nullptr);
    if (nulls && !malformed && (!code.nullRules || inWords)) {
        constexpr std::size_t kPiece = std::size_t{1} << 16;
        std::vector<Column> part(columns.size()), values(columns.size());
        std::vector<std::uint8_t> known(inWords && !out.valid ? std::min(count, kPiece) : 0);
        for (std::size_t first = 0; first < count; first += kPiece) {
            const std::size_t n = std::min(kPiece, count - first);
            for (std::size_t k = 0; k < columns.size(); ++k) {
                part[k] = values[k] = columnFrom(columns[k], first);
                values[k].valid = nullptr;
            }
            Output piece = out;
            piece.values = at(out.values, out.stride, first);
            piece.valid = out.valid ? out.valid + first : nullptr;
            // The nulls in words read the conditions' columns: before the
            // values, which may be written over them, row for row.
            std::uint8_t* valid = piece.valid ? piece.valid : known.data();
            if (inWords) nullsInWords(code, part, slots.data(), false, n, valid);
            evalProgram(program, values, n, Output{piece.values, piece.stride, piece.type},
                        threads);
            if (inWords)
                writeNulls(valid, n, piece);
            else
                markNulls(code, part, slots.data(), n, piece);
        }
        return;
    }
    if (nulls && !malformed && runSplit(program, columns, count, out, threads)) return;
    if (nulls && !malformed) {
        blocksWithNulls(code, columns, slots.data(), accuracyOverEfficiency, count, out, threads);
        return;
    }
    if (malformed && !code.callsOut) { // every element is the failure value
        for (std::size_t i = 0; i < count; ++i)
            store(at(out.values, out.stride, i), out.type, 0.0L);
        return;
    }
    // Functions over many rows at once: the code between them in stretches.
    const bool stretched = inStretches(code) && code.maxDepth < kInlineStack;
    if (!malformed && !code.callsOut && !stretched) {
        // Machine code pays for its generation over a few hundred rows.
        const Native* native =
            cellsPresent(code, slots.data(), slots.size()) &&
                    rowsCode(program, code, given, columns, slots.data(), out.type, count)
                ? program.rows.native.get()
                : nullptr;
        if (native || code.maxDepth < kInlineStack) {
            forEachRange(count, threads, kRowsPerRange, [&](std::size_t first, std::size_t last) {
                if (native) {
                    runRows(*native, columns, first, last, out);
                    return;
                }
                BlockRunner blocks(code, columns, slots.data(), accuracyOverEfficiency);
                for (std::size_t block = first; block < last; block += BlockRunner::kBlock)
                    blocks.run(block, std::min(last - block, BlockRunner::kBlock),
                               at(out.values, out.stride, block), out.stride, out.type);
            });
            return;
        }
    }
    if (!malformed && stretched) {
        // Callables that take blocks of rows, and functions over many rows:
        // one call a block, the rest of the text over the blocks (generated
        // between the calls), on every thread.
        const bool generated =
            cellsPresent(code, slots.data(), slots.size()) &&
            rowsCode(program, code, given, columns, slots.data(), out.type, count) &&
            !program.rows.stretches.empty();
        forEachRange(count, threads, kRowsPerRange, [&](std::size_t first, std::size_t last) {
            if (generated) {
                runStretches(code, program.rows, columns, first, last, out);
                return;
            }
            BlockRunner blocks(code, columns, slots.data(), accuracyOverEfficiency,
                               code.callsOut ? BlockRunner::kCallBlock : BlockRunner::kBlock);
            for (std::size_t block = first; block < last && !rangeFailed(); block += blocks.size())
                blocks.run(block, std::min(last - block, blocks.size()),
                           at(out.values, out.stride, block), out.stride, out.type);
        });
        return;
    }
    // Element by element: deep stacks, and functions from outside the engine,
    // which see the elements in order.
    std::vector<Real> deep(code.maxDepth + 2 > kInlineStack ? code.maxDepth + 2 : 0);
    Real shallow[kInlineStack];
    Real* stack = deep.empty() ? shallow : deep.data();
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < columns.size(); ++k) cells[k] = valueAt(columns[k], i);
        bool ok = !program.empty();
        const Real value = ok ? execute(code, stack, accuracyOverEfficiency, ok) : 0.0L;
        store(at(out.values, out.stride, i), out.type, ok && !malformed ? value : 0.0L);
    }
}

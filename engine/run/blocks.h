// The block runner: resolved code over a block of rows at once, step by
// step, for code that calls nothing outside the engine (or only callables
// over blocks) and keeps the stack shallow, where no machine code runs it.
// Each row sees the very operations of a scalar run (machine.h).
#pragma once

#include <cmath>
#include <cstring>
#include <vector>

#include "elementary.h"
#include "evaluator.h"
#include "machine.h"
#include "program.h"
#include "values.h"

namespace velmoratrix {

// A step with its operand from memory as a type of its own, so that the
// loop over a block has the operation inlined, not called per element.
template <void (*operation)(Real&, const double&)> struct FromMemory {
    [[gnu::always_inline]] void operator()(Real& top, const double& v) const { operation(top, v); }
};

// Runs code over a block of elements at once, step by step, so that a step's
// dispatch is paid once per block (each element still sees the very
// operations of a scalar run). For code that calls nothing outside the
// engine but callables over blocks, and keeps the stack shallow. Where a
// registered variable has lost
// its cell, every element of the block is the failure value.
class BlockRunner {
public:
    static constexpr std::size_t kBlock = 256;
    // Rows at a time for code that calls callables over blocks: a call costs
    // what some thousand rows do, and a Python function's arrays (64 KB) stay
    // below the size for which the C library maps fresh pages.
    static constexpr std::size_t kCallBlock = 8192;

    // Where a column has nulls, each level of the stack has a validity byte
    // per element beside its values, computed step by step (NullRule); a
    // callable without a block is then called for one element at a time.
    BlockRunner(const Code& code, const std::vector<Column>& columns, double* const* slots,
                bool accurate, std::size_t size = kBlock)
        : code_(code), columns_(columns), slots_(slots), accurate_(accurate), size_(size),
          values_((code.maxDepth + 1) * size),
          valid_(hasNulls(columns) ? (code.maxDepth + 1) * size : 0) {}
    std::size_t size() const { return size_; }

    // Results of elements first .. first+count-1 into out (count <= size()),
    // and where columns have nulls, each one's validity into `valid` (if
    // given; a null is written as NaN, or false).
    void run(std::size_t first, std::size_t count, char* out, std::ptrdiff_t outStride,
             ValueType outType = ValueType::Float64, std::uint8_t* valid = nullptr) {
        std::size_t depth = 0;
        bool ok = true;
        const bool nulls = !valid_.empty();
        for (const Instruction& i : code_.steps) {
            if (!ok) break;
            if (nulls) nullsBefore(i, first, count, depth);
            switch (i.op) {
            case Op::Number:
            case Op::NumberFirst:
                fill(level(depth++), count, i.number);
                break;
            case Op::Constant:
            case Op::ConstantFirst:
                fill(level(depth++), count, code_.constants[i.index]);
                break;
            case Op::Variable:
            case Op::VariableFirst:
                ok = load(i, first, count, depth);
                break;
            case Op::Add:
                pair(depth, count, [](Real l, Real r) { return l + r; });
                break;
            case Op::Sub:
                pair(depth, count, [](Real l, Real r) { return l - r; });
                break;
            case Op::Mul:
                pair(depth, count, [](Real l, Real r) { return l * r; });
                break;
            case Op::Div:
                pair(depth, count, [](Real l, Real r) { return l / r; });
                break;
            case Op::Less:
                pair(depth, count, [](Real l, Real r) { return Real(l < r); });
                break;
            case Op::LessEqual:
                pair(depth, count, [](Real l, Real r) { return Real(l <= r); });
                break;
            case Op::Greater:
                pair(depth, count, [](Real l, Real r) { return Real(l > r); });
                break;
            case Op::GreaterEqual:
                pair(depth, count, [](Real l, Real r) { return Real(l >= r); });
                break;
            case Op::Equal:
                pair(depth, count, [](Real l, Real r) { return Real(l == r); });
                break;
            case Op::NotEqual:
                pair(depth, count, [](Real l, Real r) { return Real(l != r); });
                break;
            case Op::Not:
                each(depth, count, [](Real& t) { t = Real(t == 0); });
                break;
            case Op::Truth:
                each(depth, count, [](Real& t) { t = Real(t != 0); });
                break;
            case Op::Select: {
                Real* condition = level(depth - 3);
                const Real* chosen = level(depth - 2);
                const Real* other = level(depth - 1);
                for (std::size_t j = 0; j < count; ++j)
                    condition[j] = condition[j] != 0 ? chosen[j] : other[j];
                depth -= 2;
                break;
            }
            case Op::PowInteger:
                each(depth, count, [&](Real& t) { t = powInteger(t, i.number); });
                break;
            case Op::PowHalf:
                each(depth, count, [](Real& t) { t = powHalf(t); });
                break;
            case Op::Pow:
                pair(depth, count, [](Real l, Real r) -> Real {
                    return libraryPow(static_cast<double>(l), static_cast<double>(r));
                });
                break;
            case Op::AddNumber:
                withNumber(depth, count, i.number, [](Real& t, Real n) { t += n; });
                break;
            case Op::SubNumber:
                withNumber(depth, count, i.number, [](Real& t, Real n) { t -= n; });
                break;
            case Op::MulNumber:
                withNumber(depth, count, i.number, [](Real& t, Real n) { t *= n; });
                break;
            case Op::DivNumber:
                withNumber(depth, count, i.number, [](Real& t, Real n) { t /= n; });
                break;
            case Op::AddVariable:
                ok = operand(i, first, count, depth, FromMemory<addFrom>{});
                break;
            case Op::SubVariable:
                ok = operand(i, first, count, depth, FromMemory<subFrom>{});
                break;
            case Op::MulVariable:
                ok = operand(i, first, count, depth, FromMemory<mulFrom>{});
                break;
            case Op::DivVariable:
                ok = operand(i, first, count, depth, FromMemory<divFrom>{});
                break;
            case Op::PowNumber:
                each(depth, count,
                     [&](Real& t) { t = powNumber(static_cast<double>(t), i.number); });
                break;
            case Op::Primitive: {
                // A one-operand operator receives its operand as `right`.
                const int n = i.arity;
                if (n == 0) {
                    fill(level(depth++), count, i.primitive(0.0L, 0.0L, accurate_));
                    break;
                }
                Real* right = level(depth - 1);
                Real* left = n >= 2 ? level(depth - 2) : nullptr;
                Real* result = level(depth - n);
                for (std::size_t j = 0; j < count; ++j)
                    result[j] = i.primitive(left ? wide(left[j]) : 0.0L, wide(right[j]), accurate_);
                depth -= n - 1;
                break;
            }
            case Op::PrimitiveNumber:
                each(depth, count,
                     [&](Real& t) { t = i.primitive(wide(t), i.number2, accurate_); });
                break;
            case Op::Unary:
                if (const elementary::RowsFunction rows = elementary::rowsOf(i.unary)) {
                    onRows(depth, count, rows, i.library);
                    break;
                }
                if (i.library)
                    each(depth, count, [&](Real& t) {
                        const double x = static_cast<double>(t);
                        t = madeNaN(i.unary(x), x);
                    });
                else
                    each(depth, count, [&](Real& t) { t = i.unary(static_cast<double>(t)); });
                break;
            case Op::Sqrt:
                each(depth, count, [](Real& t) { t = librarySqrt(static_cast<double>(t)); });
                break;
            case Op::Binary: // the engine's own (the others call out)
                pair(depth, count,
                     [&](Real l, Real r) { return Real(i.binary(wide(l), wide(r))); });
                break;
            case Op::CallUnary:
            case Op::CallBinary:
            case Op::CallNary:
                ok = call(i, depth, count);
                break;
            default:
                ok = false;
                break;
            }
            if (nulls && i.rule == NullRule::IsNull) {
                Real* top = level(depth - 1);
                std::uint8_t* known = validity(depth - 1);
                for (std::size_t j = 0; j < count; ++j) top[j] = known[j] ? 0.0L : 1.0L;
                std::memset(known, 1, count);
            }
        }
        Real* result = level(0);
        if (nulls) {
            const std::uint8_t* known = validity(0);
            for (std::size_t j = 0; j < count; ++j)
                if (ok && !known[j]) result[j] = outType == ValueType::Bool ? 0.0L : NAN;
            if (valid) {
                if (ok)
                    std::memcpy(valid, known, count);
                else
                    std::memset(valid, 1, count);
            }
        } else if (valid) {
            std::memset(valid, 1, count);
        }
        for (std::size_t j = 0; j < count; ++j, out += outStride) {
            if (outType != ValueType::Float64) {
                store(out, outType, ok ? result[j] : 0.0L);
                continue;
            }
            const double value = ok ? static_cast<double>(result[j]) : 0.0;
            std::memcpy(out, &value, sizeof value);
        }
    }

private:
    const Code& code_;
    const std::vector<Column>& columns_;
    double* const* slots_;
    bool accurate_;
    std::size_t size_;
    std::vector<Real> values_;        // the stack: size_ values a level
    std::vector<std::uint8_t> valid_; // beside it where columns have nulls: 0 for a null
    std::vector<double> doubles_;     // a callable's arguments and results

    Real* level(std::size_t k) { return values_.data() + k * size_; }
    std::uint8_t* validity(std::size_t k) { return valid_.data() + k * size_; }

    // The validity of the value a step leaves, from its operands' (and their
    // values, for Kleene's logic, a choice and fill_null), before the step
    // computes the value over them.
    void nullsBefore(const Instruction& i, std::size_t first, std::size_t count,
                     std::size_t depth) {
        const auto taken = static_cast<std::size_t>(1 - stackChange(i));
        std::uint8_t* to = validity(depth - taken);
        if (taken == 0) std::memset(to, 1, count);
        if (i.rule == NullRule::And || i.rule == NullRule::Or || i.rule == NullRule::FillNull) {
            Real* left = level(depth - 2);
            const Real* right = level(depth - 1);
            const std::uint8_t* known = validity(depth - 1);
            // Truths are 0 or 1: the one that decides alone is 0 for and, 1 for or.
            const Real decides = i.rule == NullRule::And ? 0.0L : 1.0L;
            for (std::size_t j = 0; j < count; ++j) {
                if (i.rule == NullRule::FillNull) {
                    if (!to[j]) left[j] = right[j];
                    to[j] |= known[j];
                } else {
                    to[j] = static_cast<std::uint8_t>((to[j] & known[j]) |
                                                      (to[j] & (left[j] == decides)) |
                                                      (known[j] & (right[j] == decides)));
                }
            }
            return;
        }
        if (i.op == Op::Select) {
            const Real* condition = level(depth - 3);
            const std::uint8_t* chosen = validity(depth - 2);
            const std::uint8_t* other = validity(depth - 1);
            for (std::size_t j = 0; j < count; ++j)
                to[j] = to[j] && (condition[j] != 0 ? chosen[j] : other[j]);
            return;
        }
        for (std::size_t k = 1; k < taken; ++k) {
            const std::uint8_t* operand = validity(depth - taken + k);
            for (std::size_t j = 0; j < count; ++j) to[j] &= operand[j];
        }
        if (!readsCell(i.op)) return;
        const std::size_t k = static_cast<std::size_t>(i.cell - slots_);
        if (i.cell < slots_ || k >= columns_.size() || !columns_[k].valid) return;
        for (std::size_t j = 0; j < count; ++j) to[j] &= validAt(columns_[k], first + j);
    }

    // A callable over the rows at once, where it has a block: its arguments
    // rounded to double, as a call of it for one row takes them. Where
    // columns have nulls, one without a block is called for each row.
    bool call(const Instruction& i, std::size_t& depth, std::size_t count) {
        const std::size_t n = i.op == Op::CallUnary    ? 1
                              : i.op == Op::CallBinary ? 2
                                                       : static_cast<std::size_t>(i.arity);
        if (!i.block && valid_.empty()) return false;
        if (!i.block) { // as the scalar run calls it (machine.h)
            if (n == 0) {
                double none[1];
                Real* to = level(depth++);
                for (std::size_t j = 0; j < count; ++j) to[j] = (*i.callNary)(none, 0);
                return true;
            }
            Real* to = level(depth - n);
            for (std::size_t j = 0; j < count; ++j) {
                if (i.op == Op::CallBinary) {
                    to[j] = (*i.callBinary)(wide(to[j]), wide(level(depth - 1)[j]));
                    continue;
                }
                double arguments[kMostArguments];
                for (std::size_t k = 0; k < n; ++k)
                    arguments[k] = static_cast<double>(level(depth - n + k)[j]);
                to[j] = i.op == Op::CallUnary ? (*i.callUnary)(arguments[0])
                                              : (*i.callNary)(arguments, n);
            }
            depth -= n - 1;
            return true;
        }
        doubles_.resize((n + 1) * size_);
        const double* arguments[kMostArguments];
        for (std::size_t k = 0; k < n; ++k) {
            const Real* from = level(depth - n + k);
            double* to = doubles_.data() + k * size_;
            for (std::size_t j = 0; j < count; ++j) to[j] = static_cast<double>(from[j]);
            arguments[k] = to;
        }
        double* results = doubles_.data() + n * size_;
        (*i.block)(arguments, count, results);
        depth -= n;
        Real* to = level(depth++);
        for (std::size_t j = 0; j < count; ++j) to[j] = results[j];
        return true;
    }

    // A function over the top level's rows at once (the same bits as one
    // call a row).
    void onRows(std::size_t depth, std::size_t count, elementary::RowsFunction rows, bool library) {
        doubles_.resize(2 * size_);
        double* in = doubles_.data();
        double* results = in + size_;
        Real* top = level(depth - 1);
        for (std::size_t j = 0; j < count; ++j) in[j] = static_cast<double>(top[j]);
        rows(in, results, count);
        for (std::size_t j = 0; j < count; ++j)
            top[j] = library ? madeNaN(results[j], in[j]) : results[j];
    }

    static void fill(Real* to, std::size_t count, Real value) {
        for (std::size_t j = 0; j < count; ++j) to[j] = value;
    }
    template <typename F> void pair(std::size_t& depth, std::size_t count, F f) {
        Real* left = level(depth - 2);
        const Real* right = level(depth - 1);
        for (std::size_t j = 0; j < count; ++j) left[j] = f(left[j], right[j]);
        --depth;
    }
    template <typename F> void each(std::size_t depth, std::size_t count, F f) {
        Real* top = level(depth - 1);
        for (std::size_t j = 0; j < count; ++j) f(top[j]);
    }
    // f(top, number) for each element, the number converted once, not per row.
    template <typename F>
    void withNumber(std::size_t depth, std::size_t count, double number, F f) {
        const Real n = number;
        each(depth, count, [&](Real& t) { f(t, n); });
    }
    // Applies f to each element's top value and its value of the variable:
    // a column's i-th value, or a registered variable's one value.
    template <typename F>
    bool operand(const Instruction& i, std::size_t first, std::size_t count, std::size_t depth,
                 F f) {
        Real* top = level(depth - 1);
        const std::size_t k = static_cast<std::size_t>(i.cell - slots_);
        if (i.cell >= slots_ && k < columns_.size()) {
            const std::ptrdiff_t stride = columns_[k].stride;
            // By value: a pointer the loop reads through could alias one
            // held by reference, which would then go to memory every row.
            withReader(columns_[k].type, [&, from = elementAt(columns_[k], first)](auto read) {
                const char* at = from;
                const std::ptrdiff_t step = stride;
                for (std::size_t j = 0; j < count; ++j, at += step) f(top[j], read(at));
            });
            return true;
        }
        const double* cell = *i.cell;
        if (!cell) return false;
        const double v = *cell;
        for (std::size_t j = 0; j < count; ++j) f(top[j], v);
        return true;
    }
    bool load(const Instruction& i, std::size_t first, std::size_t count, std::size_t& depth) {
        ++depth;
        return operand(i, first, count, depth, [](Real& t, const double& v) { t = v; });
    }
};

} // namespace velmoratrix

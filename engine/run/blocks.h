// The block runner: resolved code over a block of rows at once, step by
// step, for code that calls nothing outside the engine and keeps the stack
// shallow. Each row sees the very operations of a scalar run (machine.h).
#pragma once

#include <cmath>
#include <cstring>
#include <vector>

#include "evaluator.h"
#include "machine.h"
#include "program.h"

namespace velmoratrix {

// Runs code over a block of elements at once, step by step, so that a step's
// dispatch is paid once per block (each element still sees the very
// operations of a scalar run). For code that calls nothing outside the
// engine and keeps the stack shallow. Where a registered variable has lost
// its cell, every element of the block is the failure value.
class BlockRunner {
public:
    static constexpr std::size_t kBlock = 256;

    BlockRunner(const Code& code, const std::vector<Column>& columns, double* const* slots,
                bool accurate)
        : code_(code), columns_(columns), slots_(slots), accurate_(accurate),
          values_(code.maxDepth + 1) {}

    // Results of elements first .. first+count-1 into out (count <= kBlock).
    void run(std::size_t first, std::size_t count, char* out, std::ptrdiff_t outStride) {
        std::size_t depth = 0;
        bool ok = true;
        for (const Instruction& i : code_.steps) {
            if (!ok) break;
            switch (i.op) {
            case Op::Number:
            case Op::NumberFirst:
                fill(values_[depth++], count, i.number);
                break;
            case Op::Constant:
            case Op::ConstantFirst:
                fill(values_[depth++], count, code_.constants[i.index]);
                break;
            case Op::Variable:
            case Op::VariableFirst:
                ok = load(i, first, count, depth);
                break;
            case Op::Add:
                pair(depth, count, [](long double l, long double r) { return l + r; });
                break;
            case Op::Sub:
                pair(depth, count, [](long double l, long double r) { return l - r; });
                break;
            case Op::Mul:
                pair(depth, count, [](long double l, long double r) { return l * r; });
                break;
            case Op::Div:
                pair(depth, count, [](long double l, long double r) { return l / r; });
                break;
            case Op::Less:
                pair(depth, count,
                     [](long double l, long double r) { return l < r ? 1.0L : 0.0L; });
                break;
            case Op::LessEqual:
                pair(depth, count,
                     [](long double l, long double r) { return l <= r ? 1.0L : 0.0L; });
                break;
            case Op::Greater:
                pair(depth, count,
                     [](long double l, long double r) { return l > r ? 1.0L : 0.0L; });
                break;
            case Op::GreaterEqual:
                pair(depth, count,
                     [](long double l, long double r) { return l >= r ? 1.0L : 0.0L; });
                break;
            case Op::Equal:
                pair(depth, count,
                     [](long double l, long double r) { return l == r ? 1.0L : 0.0L; });
                break;
            case Op::NotEqual:
                pair(depth, count,
                     [](long double l, long double r) { return l != r ? 1.0L : 0.0L; });
                break;
            case Op::Not:
                each(depth, count, [](long double& t) { t = t == 0 ? 1.0L : 0.0L; });
                break;
            case Op::Truth:
                each(depth, count, [](long double& t) { t = t != 0 ? 1.0L : 0.0L; });
                break;
            case Op::Select: {
                long double* condition = values_[depth - 3];
                const long double* chosen = values_[depth - 2];
                const long double* other = values_[depth - 1];
                for (std::size_t j = 0; j < count; ++j)
                    condition[j] = condition[j] != 0 ? chosen[j] : other[j];
                depth -= 2;
                break;
            }
            case Op::Pow:
                pair(depth, count, [](long double l, long double r) -> long double {
                    return std::pow(static_cast<double>(l), static_cast<double>(r));
                });
                break;
            case Op::AddNumber:
                each(depth, count, [&](long double& t) { t += i.number; });
                break;
            case Op::SubNumber:
                each(depth, count, [&](long double& t) { t -= i.number; });
                break;
            case Op::MulNumber:
                each(depth, count, [&](long double& t) { t *= i.number; });
                break;
            case Op::DivNumber:
                each(depth, count, [&](long double& t) { t /= i.number; });
                break;
            case Op::AddVariable:
                ok = operand(i, first, count, depth, addFrom);
                break;
            case Op::SubVariable:
                ok = operand(i, first, count, depth, subFrom);
                break;
            case Op::MulVariable:
                ok = operand(i, first, count, depth, mulFrom);
                break;
            case Op::DivVariable:
                ok = operand(i, first, count, depth, divFrom);
                break;
            case Op::PowNumber:
                each(depth, count,
                     [&](long double& t) { t = powNumber(static_cast<double>(t), i.number); });
                break;
            case Op::Primitive: {
                // A one-operand operator receives its operand as `right`.
                const int n = i.arity;
                if (n == 0) {
                    fill(values_[depth++], count, i.primitive(0.0L, 0.0L, accurate_));
                    break;
                }
                long double* right = values_[depth - 1];
                long double* left = n >= 2 ? values_[depth - 2] : nullptr;
                long double* result = values_[depth - n];
                for (std::size_t j = 0; j < count; ++j)
                    result[j] = i.primitive(left ? left[j] : 0.0L, right[j], accurate_);
                depth -= n - 1;
                break;
            }
            case Op::PrimitiveNumber:
                each(depth, count,
                     [&](long double& t) { t = i.primitive(t, i.number2, accurate_); });
                break;
            case Op::Unary:
                each(depth, count, [&](long double& t) { t = i.unary(static_cast<double>(t)); });
                break;
            case Op::Sqrt:
                each(depth, count, [](long double& t) { t = std::sqrt(static_cast<double>(t)); });
                break;
            case Op::Binary: // the engine's own (the others call out)
                pair(depth, count, [&](long double l, long double r) { return i.binary(l, r); });
                break;
            default: // callables call out: never run here
                ok = false;
                break;
            }
        }
        const long double* result = values_[0];
        for (std::size_t j = 0; j < count; ++j) {
            const double value = ok ? static_cast<double>(result[j]) : 0.0;
            std::memcpy(out + static_cast<std::ptrdiff_t>(j) * outStride, &value, sizeof value);
        }
    }

private:
    using Block = long double[kBlock];
    const Code& code_;
    const std::vector<Column>& columns_;
    double* const* slots_;
    bool accurate_;
    std::vector<Block> values_;

    static void fill(long double* to, std::size_t count, long double value) {
        for (std::size_t j = 0; j < count; ++j) to[j] = value;
    }
    template <typename F> void pair(std::size_t& depth, std::size_t count, F f) {
        long double* left = values_[depth - 2];
        const long double* right = values_[depth - 1];
        for (std::size_t j = 0; j < count; ++j) left[j] = f(left[j], right[j]);
        --depth;
    }
    template <typename F> void each(std::size_t depth, std::size_t count, F f) {
        long double* top = values_[depth - 1];
        for (std::size_t j = 0; j < count; ++j) f(top[j]);
    }
    // Applies f to each element's top value and its value of the variable:
    // a column's i-th value, or a registered variable's one value.
    template <typename F>
    bool operand(const Instruction& i, std::size_t first, std::size_t count, std::size_t depth,
                 F f) {
        long double* top = values_[depth - 1];
        const std::size_t k = static_cast<std::size_t>(i.cell - slots_);
        if (i.cell >= slots_ && k < columns_.size()) {
            const std::ptrdiff_t stride = columns_[k].stride;
            const char* from = reinterpret_cast<const char*>(columns_[k].values) +
                               static_cast<std::ptrdiff_t>(first) * stride;
            for (std::size_t j = 0; j < count; ++j, from += stride) {
                double v;
                std::memcpy(&v, from, sizeof v);
                f(top[j], v);
            }
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
        return operand(i, first, count, depth, [](long double& t, const double& v) { t = v; });
    }
};

} // namespace velmoratrix

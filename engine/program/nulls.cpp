// Code that reads nulls otherwise than "null where an operand is" (Kleene's
// and/or, choices, is_null, fill_null, coalesce), rewritten as two codes of
// plain steps that the fastest path runs: one for the values, one for each
// row's validity as 1.0 or 0.0, computed from a 0/1 column of each nullable
// column's validity. A row's value is the one the block runner computes with
// validity beside the values: the same steps on the same operands.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "evaluator.h"
#include "program.h"
#include "standard.h"

using namespace velmoratrix;

namespace {

class Split {
public:
    Split(const Code& code, double* const* slots, std::size_t columns,
          const std::vector<bool>& nullable, const std::vector<std::size_t>& validSlot,
          std::size_t budget)
        : steps_(code.steps), slots_(slots), columns_(columns), nullable_(nullable),
          validSlot_(validSlot), budget_(budget), first_(steps_.size()), reads_(steps_.size()),
          rules_(steps_.size()), logic_(steps_.size()) {
        // Each step's subtree: where it starts, whether it reads a nullable
        // column, and whether a value rule (is_null, fill_null) is inside.
        std::vector<std::size_t> roots, depth(steps_.size());
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            const Instruction& s = steps_[i];
            const auto taken = static_cast<std::size_t>(1 - stackChange(s));
            first_[i] = i;
            reads_[i] = nullableColumn(s) >= 0;
            rules_[i] = s.rule == NullRule::IsNull || s.rule == NullRule::FillNull;
            logic_[i] = s.rule != NullRule::None || s.op == Op::Select;
            for (std::size_t k = 0; k < taken; ++k) {
                const std::size_t child = roots.back();
                roots.pop_back();
                first_[i] = first_[child];
                reads_[i] = reads_[i] || reads_[child];
                rules_[i] = rules_[i] || rules_[child];
                logic_[i] = logic_[i] || logic_[child];
                // Only steps with a rule inside recurse: their nesting is bounded.
                if (logic_[child]) depth[i] = std::max(depth[i], depth[child] + 1);
            }
            if (s.rule == NullRule::IsNull) reads_[i] = false; // never null
            deep_ = deep_ || depth[i] > kDeepest;
            roots.push_back(i);
        }
    }

    // The two codes' steps, cells still the code's own; false past the budget.
    bool make(std::vector<Instruction>& values, std::vector<Instruction>& validity) {
        if (deep_) return false;
        const std::size_t root = steps_.size() - 1;
        out_ = &values;
        if (!value(root)) return false;
        out_ = &validity;
        return valid(root);
    }

    // Column k's validity slot where step i reads nullable column k, else -1.
    std::ptrdiff_t nullableColumn(const Instruction& i) const {
        if (!readsCell(i.op) || i.cell < slots_ || i.cell >= slots_ + columns_) return -1;
        const auto k = static_cast<std::size_t>(i.cell - slots_);
        return nullable_[k] ? static_cast<std::ptrdiff_t>(validSlot_[k]) : -1;
    }

private:
    const std::vector<Instruction>& steps_;
    double* const* slots_;
    std::size_t columns_;
    const std::vector<bool>& nullable_;
    const std::vector<std::size_t>& validSlot_;
    std::size_t budget_;
    std::vector<std::size_t> first_;
    std::vector<bool> reads_, rules_, logic_;
    bool deep_ = false;
    static constexpr std::size_t kDeepest = 256;
    std::vector<Instruction>* out_ = nullptr;

    // The roots of step i's operands, first to last.
    std::vector<std::size_t> operands(std::size_t i) const {
        std::vector<std::size_t> roots(static_cast<std::size_t>(1 - stackChange(steps_[i])));
        std::size_t root = i;
        for (std::size_t k = roots.size(); k-- > 0;) {
            roots[k] = root - 1;
            root = first_[root - 1];
        }
        return roots;
    }

    bool push(Instruction i) {
        i.rule = NullRule::None; // a push onto an empty stack is placed again by finishCode
        out_->push_back(i);
        return out_->size() <= budget_;
    }
    bool op(Op o) {
        Instruction i{};
        i.op = o;
        return push(i);
    }
    bool number(double value) {
        Instruction i{};
        i.op = Op::Number;
        i.number = value;
        return push(i);
    }
    bool validityOf(std::size_t slot, Op o) { // a nullable column's validity, read by `o`
        Instruction i{};
        i.op = o;
        i.cell = reinterpret_cast<double* const*>(slot); // rebased by the caller
        i.arity = -1;                                    // marks a validity slot for the caller
        return push(i);
    }

    // Step i's value: its steps as they are, but is_null and fill_null,
    // which read validity.
    bool value(std::size_t i) {
        if (!rules_[i]) {
            for (std::size_t k = first_[i]; k <= i; ++k)
                if (!push(steps_[k])) return false;
            return true;
        }
        const std::vector<std::size_t> roots = operands(i);
        if (steps_[i].rule == NullRule::IsNull) return valid(roots[0]) && op(Op::Not);
        if (steps_[i].rule == NullRule::FillNull) // valid(x) ? x : v
            return valid(roots[0]) && value(roots[0]) && value(roots[1]) && op(Op::Select);
        for (const std::size_t root : roots)
            if (!value(root)) return false;
        return push(steps_[i]);
    }

    // Step i's validity: 1.0, or 0.0 where its value is null.
    bool valid(std::size_t i) {
        if (!reads_[i]) return number(1.0);
        if (!logic_[i]) { // null where a column it reads is: the product of theirs, once each
            std::vector<std::size_t> seen;
            for (std::size_t k = first_[i]; k <= i; ++k) {
                const std::ptrdiff_t column = nullableColumn(steps_[k]);
                const auto slot = static_cast<std::size_t>(column);
                if (column < 0 || std::find(seen.begin(), seen.end(), slot) != seen.end()) continue;
                if (!validityOf(slot, seen.empty() ? Op::Variable : Op::MulVariable)) return false;
                seen.push_back(slot);
            }
            return true;
        }
        const Instruction& s = steps_[i];
        const std::vector<std::size_t> roots = operands(i);
        switch (s.rule) {
        case NullRule::FillNull: // either
            return valid(roots[0]) && valid(roots[1]) && op(Op::Add) && op(Op::Truth);
        case NullRule::And: // valid(l) ? (l ? valid(r) : 1) : valid(r) and not r
        case NullRule::Or:  // valid(l) ? (l ? 1 : valid(r)) : valid(r) and r
        {
            const bool isAnd = s.rule == NullRule::And;
            if (!valid(roots[0]) || !value(roots[0])) return false;
            if (isAnd ? !(valid(roots[1]) && number(1.0)) : !(number(1.0) && valid(roots[1])))
                return false;
            if (!op(Op::Select) || !valid(roots[1]) || !value(roots[1])) return false;
            if (isAnd && !op(Op::Not)) return false;
            return op(Op::Mul) && op(Op::Select);
        }
        default:
            break;
        }
        if (s.op == Op::Select) // valid(c) and (c ? valid(a) : valid(b))
            return valid(roots[0]) && value(roots[0]) && valid(roots[1]) && valid(roots[2]) &&
                   op(Op::Select) && op(Op::Mul);
        // Null where an operand is: the product of the operands' validity.
        bool pushed = false;
        for (const std::size_t root : roots) {
            if (!reads_[root]) continue;
            if (!valid(root) || (pushed && !op(Op::Mul))) return false;
            pushed = true;
        }
        const std::ptrdiff_t column = nullableColumn(s);
        if (column >= 0)
            return validityOf(static_cast<std::size_t>(column),
                              pushed ? Op::MulVariable : Op::Variable);
        return pushed || number(1.0);
    }
};

// Rebases cells: the code's overlay slots to `to`, validity slots (marked)
// to their slot of `to`.
void rebase(std::vector<Instruction>& steps, double* const* slots, std::size_t columns,
            double* const* to) {
    for (Instruction& i : steps) {
        if (!readsCell(i.op)) continue;
        if (i.arity == -1) {
            i.cell = to + reinterpret_cast<std::size_t>(i.cell);
            i.arity = 0;
        } else if (i.cell >= slots && i.cell < slots + columns) {
            i.cell = to + (i.cell - slots);
        }
    }
}

void finish(Code& made, const Code& from, std::vector<Instruction> steps) {
    made.steps = std::move(steps);
    made.constants = from.constants;
    made.ending = Ending::Value;
    made.depth = 1;
    made.accurate = from.accurate;
    std::size_t depth = 0, most = 0;
    for (const Instruction& i : made.steps) {
        depth = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(depth) + stackChange(i));
        most = std::max(most, depth);
    }
    made.maxDepth = most;
    finishCode(made);
}

} // namespace

namespace {
std::atomic<bool> splitting{true};
} // namespace

bool velmoratrix::splitNullsEnabled() {
    return splitting.load(std::memory_order_relaxed);
}

void velmoratrix::setSplitNullsEnabled(bool enabled) {
    splitting.store(enabled, std::memory_order_relaxed);
}

bool velmoratrix::splitNulls(const Code& code, double* const* slots, std::size_t columns,
                             const std::vector<bool>& nullable,
                             const std::vector<std::size_t>& validSlot, double* const* valuesSlots,
                             double* const* validitySlots, Code& values, Code& validity) {
    if (!splitNullsEnabled() || code.callsOut || code.steps.empty() ||
        code.ending != Ending::Value || code.depth != 1)
        return false;
    // Kleene's rules read an operand twice: a budget keeps nested ones linear.
    Split split(code, slots, columns, nullable, validSlot, 8 * code.steps.size() + 256);
    std::vector<Instruction> valueSteps, validSteps;
    if (!split.make(valueSteps, validSteps)) return false;
    rebase(valueSteps, slots, columns, valuesSlots);
    rebase(validSteps, slots, columns, validitySlots);
    finish(values, code, std::move(valueSteps));
    finish(validity, code, std::move(validSteps));
    return true;
}

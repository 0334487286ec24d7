// Conditions over columns, 64 rows a word: comparisons of columns and
// numbers joined by and, or and not (Kleene's logic where columns have
// nulls). Two doubles compare alike in any precision, so each row gets the
// value and validity its steps would give, at a fraction of their cost.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pool.h"
#include "rows.h"

using namespace velmoratrix;

namespace {

struct Node {
    enum Kind : std::uint8_t { Column, Number, Compare, Not, And, Or, Sum } kind;
    Op relation;                 // Compare's
    std::size_t column;          // Column's
    double number;               // Number's
    std::int32_t left, right;    // the operands' nodes
};

bool isTruth(const Node& n) {
    return n.kind == Node::Compare || n.kind == Node::Not || n.kind == Node::And ||
           n.kind == Node::Or;
}
bool isValue(const Node& n) {
    return n.kind == Node::Column || n.kind == Node::Number;
}

// The steps as a tree of such nodes (the root last), or false where a step
// is of another kind.
bool parse(const Code& code, std::size_t columns, double* const* slots,
           std::vector<Node>& nodes) {
    if (code.ending != Ending::Value || code.depth != 1 || code.steps.empty()) return false;
    std::vector<std::int32_t> stack;
    auto pop = [&] {
        const std::int32_t top = stack.back();
        stack.pop_back();
        return top;
    };
    for (const Instruction& i : code.steps) {
        if (i.rule != NullRule::None && !(i.op == Op::Mul && i.rule == NullRule::And) &&
            !(i.op == Op::Add && i.rule == NullRule::Or))
            return false;
        Node n{Node::Column, Op::Less, 0, 0.0, -1, -1};
        switch (i.op) {
        case Op::Variable:
        case Op::VariableFirst:
            if (i.cell < slots || i.cell >= slots + columns) return false; // not a column
            n.column = static_cast<std::size_t>(i.cell - slots);
            break;
        case Op::Number:
        case Op::NumberFirst:
            n.kind = Node::Number;
            n.number = i.number;
            break;
        case Op::Constant:
        case Op::ConstantFirst: {
            const Real c = code.constants[i.index];
            n.kind = Node::Number;
            n.number = static_cast<double>(c);
            if (!(Real(n.number) == c)) return false; // not a double
            break;
        }
        case Op::Less:
        case Op::LessEqual:
        case Op::Greater:
        case Op::GreaterEqual:
        case Op::Equal:
        case Op::NotEqual:
            if (stack.size() < 2) return false;
            n.kind = Node::Compare;
            n.relation = i.op;
            n.right = pop();
            n.left = pop();
            if (!isValue(nodes[n.left]) || !isValue(nodes[n.right])) return false;
            break;
        case Op::Not:
        case Op::Truth:
            if (stack.empty()) return false;
            n.kind = Node::Not;
            n.left = pop();
            if (i.op == Op::Truth) { // of a truth itself; of Kleene's sum, the or
                if (nodes[n.left].kind == Node::Sum) nodes[n.left].kind = Node::Or;
                if (!isTruth(nodes[n.left])) return false;
                stack.push_back(n.left);
                continue;
            }
            if (!isTruth(nodes[n.left])) return false;
            break;
        case Op::Mul:
        case Op::Add:
            if (i.rule == NullRule::None || stack.size() < 2) return false;
            n.kind = i.op == Op::Mul ? Node::And : Node::Sum;
            n.right = pop();
            n.left = pop();
            if (!isTruth(nodes[n.left]) || !isTruth(nodes[n.right])) return false;
            break;
        default:
            return false;
        }
        stack.push_back(static_cast<std::int32_t>(nodes.size()));
        nodes.push_back(n);
    }
    return stack.size() == 1 && isTruth(nodes[stack.back()]);
}

std::uint64_t lowBits(std::size_t n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Rows first .. first+n-1 of a column as valid bits, the first lowest.
std::uint64_t validBits(const Column& c, std::size_t first, std::size_t n) {
    if (!c.valid) return lowBits(n);
    if (c.stride == 0) return validAt(c, 0) ? lowBits(n) : 0;
    const std::size_t bit = c.validFirst + first;
    unsigned __int128 bytes = 0;
    for (std::size_t b = bit / 8, k = 0; b <= (bit + n - 1) / 8; ++b, ++k)
        bytes |= static_cast<unsigned __int128>(c.valid[b]) << (8 * k);
    return static_cast<std::uint64_t>(bytes >> (bit % 8)) & lowBits(n);
}

struct Word {
    std::uint64_t value, valid;
};

// Bit k set where holds(a[k], b[k]), two rows an instruction where SSE2 is.
template <Op relation> std::uint64_t bits(const double* a, const double* b, std::size_t n) {
    std::uint64_t out = 0;
    std::size_t k = 0;
#if defined(__SSE2__)
    for (; k + 2 <= n; k += 2) {
        const __m128d x = _mm_loadu_pd(a + k), y = _mm_loadu_pd(b + k);
        __m128d m;
        if constexpr (relation == Op::Less) m = _mm_cmplt_pd(x, y);
        if constexpr (relation == Op::LessEqual) m = _mm_cmple_pd(x, y);
        if constexpr (relation == Op::Greater) m = _mm_cmplt_pd(y, x);
        if constexpr (relation == Op::GreaterEqual) m = _mm_cmple_pd(y, x);
        if constexpr (relation == Op::Equal) m = _mm_cmpeq_pd(x, y);
        if constexpr (relation == Op::NotEqual) m = _mm_cmpneq_pd(x, y);
        out |= static_cast<std::uint64_t>(_mm_movemask_pd(m)) << k;
    }
#endif
    for (; k < n; ++k) {
        bool holds;
        if constexpr (relation == Op::Less) holds = a[k] < b[k];
        if constexpr (relation == Op::LessEqual) holds = a[k] <= b[k];
        if constexpr (relation == Op::Greater) holds = a[k] > b[k];
        if constexpr (relation == Op::GreaterEqual) holds = a[k] >= b[k];
        if constexpr (relation == Op::Equal) holds = a[k] == b[k];
        if constexpr (relation == Op::NotEqual) holds = a[k] != b[k];
        out |= static_cast<std::uint64_t>(holds) << k;
    }
    return out;
}

class Words {
public:
    Words(const std::vector<Node>& nodes, const std::vector<Column>& columns)
        : nodes_(nodes), columns_(columns), numbers_(nodes.size()) {
        for (std::size_t k = 0; k < nodes.size(); ++k)
            if (nodes[k].kind == Node::Number) numbers_[k].fill(nodes[k].number);
    }

    // Node k's truth over rows first .. first+n-1 (n <= 64): its value where
    // valid.
    Word of(std::int32_t k, std::size_t first, std::size_t n) {
        const Node& node = nodes_[static_cast<std::size_t>(k)];
        switch (node.kind) {
        case Node::Compare:
            return compare(node, first, n);
        case Node::Not: {
            const Word a = of(node.left, first, n);
            return {~a.value & lowBits(n), a.valid};
        }
        case Node::And: { // false where either is, null or not
            const Word a = of(node.left, first, n), b = of(node.right, first, n);
            const std::uint64_t falseA = a.valid & ~a.value, falseB = b.valid & ~b.value;
            return {a.value & b.value, (a.valid & b.valid) | falseA | falseB};
        }
        default: { // Or: true where either is, null or not
            const Word a = of(node.left, first, n), b = of(node.right, first, n);
            const std::uint64_t trueA = a.valid & a.value, trueB = b.valid & b.value;
            return {trueA | trueB, (a.valid & b.valid) | trueA | trueB};
        }
        }
    }

private:
    const std::vector<Node>& nodes_;
    const std::vector<Column>& columns_;
    std::vector<std::array<double, 64>> numbers_;
    double left_[64], right_[64];

    // A value node's rows as doubles (the engine's reading of its column),
    // in place where the column is of doubles side by side; their validity.
    const double* read(std::int32_t k, std::size_t first, std::size_t n, double* buffer,
                       std::uint64_t& valid) const {
        const Node& node = nodes_[static_cast<std::size_t>(k)];
        valid = lowBits(n);
        if (node.kind == Node::Number) return numbers_[static_cast<std::size_t>(k)].data();
        const Column& c = columns_[node.column];
        valid = validBits(c, first, n);
        if (c.type == ValueType::Float64 && c.stride == sizeof(double))
            return reinterpret_cast<const double*>(elementAt(c, first));
        withReader(c.type, [&](auto reader) {
            for (std::size_t j = 0; j < n; ++j) buffer[j] = reader(elementAt(c, first + j));
        });
        return buffer;
    }

    Word compare(const Node& node, std::size_t first, std::size_t n) {
        std::uint64_t validLeft, validRight;
        const double* a = read(node.left, first, n, left_, validLeft);
        const double* b = read(node.right, first, n, right_, validRight);
        std::uint64_t value;
        switch (node.relation) {
        case Op::Less:
            value = bits<Op::Less>(a, b, n);
            break;
        case Op::LessEqual:
            value = bits<Op::LessEqual>(a, b, n);
            break;
        case Op::Greater:
            value = bits<Op::Greater>(a, b, n);
            break;
        case Op::GreaterEqual:
            value = bits<Op::GreaterEqual>(a, b, n);
            break;
        case Op::Equal:
            value = bits<Op::Equal>(a, b, n);
            break;
        default:
            value = bits<Op::NotEqual>(a, b, n);
            break;
        }
        return {value, validLeft & validRight};
    }
};

// Rows first .. first+n-1 of the output from their word, without a branch
// per row.
template <ValueType type, bool validity>
void write(Word w, std::size_t first, std::size_t n, const Output& out, std::uint64_t nullBits) {
    // By validity and value: null, null, 0.0 and 1.0.
    const std::uint64_t doubles[4] = {nullBits, nullBits, 0, 0x3FF0000000000000u};
    char* const base = at(out.values, out.stride, first);
    std::uint8_t* const known = validity ? out.valid + first : nullptr;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t valid = (w.valid >> k) & 1, value = (w.value >> k) & 1;
        char* to = base + static_cast<std::ptrdiff_t>(k) * out.stride;
        if constexpr (type == ValueType::Float64) {
            std::memcpy(to, &doubles[2 * valid + value], sizeof(double));
        } else if constexpr (type == ValueType::Bool) {
            *to = static_cast<char>(valid & value);
        } else {
            store(to, out.type, valid ? Real(value ? 1.0 : 0.0) : Real(NAN));
        }
        if constexpr (validity) known[k] = static_cast<std::uint8_t>(valid);
    }
}

template <ValueType type>
void writeAny(Word w, std::size_t first, std::size_t n, const Output& out,
              std::uint64_t nullBits) {
    if (out.valid)
        write<type, true>(w, first, n, out, nullBits);
    else
        write<type, false>(w, first, n, out, nullBits);
}

} // namespace

namespace {
std::atomic<bool> inWords{true};
} // namespace

bool velmoratrix::conditionWordsEnabled() {
    return inWords.load(std::memory_order_relaxed);
}

void velmoratrix::setConditionWordsEnabled(bool enabled) {
    inWords.store(enabled, std::memory_order_relaxed);
}

bool velmoratrix::conditionInWords(const Code& code, const std::vector<Column>& columns,
                                   double* const* slots, std::size_t count, const Output& out,
                                   std::size_t threads) {
    std::vector<Node> nodes;
    if (!conditionWordsEnabled() || !parse(code, columns.size(), slots, nodes)) return false;
    std::uint64_t nullBits;
    store(reinterpret_cast<char*>(&nullBits), ValueType::Float64, Real(NAN));
    const auto root = static_cast<std::int32_t>(nodes.size() - 1);
    const std::size_t words = (count + 63) / 64;
    forEachRange(words, threads, kRowsPerRange / 64, [&](std::size_t from, std::size_t to) {
        Words truths(nodes, columns);
        for (std::size_t w = from; w < to; ++w) {
            const std::size_t first = w * 64, n = std::min<std::size_t>(64, count - first);
            const Word word = truths.of(root, first, n);
            if (out.type == ValueType::Float64)
                writeAny<ValueType::Float64>(word, first, n, out, nullBits);
            else if (out.type == ValueType::Bool)
                writeAny<ValueType::Bool>(word, first, n, out, nullBits);
            else
                writeAny<ValueType::Float32>(word, first, n, out, nullBits);
        }
    });
    return true;
}

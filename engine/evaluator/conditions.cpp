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
    // Compare, Not, And, Or and IsNull have a truth of their own in words;
    // Sum is Kleene's or before its Truth step; Select, FillNull and Plain
    // have only nulls (Plain: null where an operand or the column it reads is).
    enum Kind : std::uint8_t {
        Column,
        Number,
        Compare,
        Not,
        And,
        Or,
        IsNull,
        Sum,
        Select,
        FillNull,
        Plain
    } kind;
    Op relation;             // Compare's
    std::ptrdiff_t column;   // Column's, and the one a Plain step reads (or -1)
    double number;           // Number's
    bool exact;              // Number's: a double
    std::int32_t operand[3]; // -1 where there is none
};

bool isTruth(const Node& n) {
    return n.kind == Node::Compare || n.kind == Node::Not || n.kind == Node::And ||
           n.kind == Node::Or || n.kind == Node::IsNull;
}
bool isValue(const Node& n) {
    return n.kind == Node::Column || (n.kind == Node::Number && n.exact);
}

// The steps as a tree of such nodes (the root last), or false where a step
// reads nulls otherwise (Kleene's logic or a choice on a value that is no
// such truth, and fill_null and is_null but with `nullFunctions`) or calls
// out of the engine.
bool parse(const Code& code, std::size_t columns, double* const* slots, bool nullFunctions,
           std::vector<Node>& nodes) {
    if (code.ending != Ending::Value || code.depth != 1 || code.steps.empty() || code.callsOut)
        return false;
    std::vector<std::int32_t> stack;
    stack.reserve(code.maxDepth + 1);
    nodes.reserve(code.steps.size());
    auto pop = [&] {
        const std::int32_t top = stack.back();
        stack.pop_back();
        return top;
    };
    auto column = [&](const Instruction& i) -> std::ptrdiff_t {
        return i.cell >= slots && i.cell < slots + columns ? i.cell - slots : -1;
    };
    for (const Instruction& i : code.steps) {
        const bool nullFunction = i.rule == NullRule::FillNull || i.rule == NullRule::IsNull;
        if (nullFunction ? !nullFunctions || i.op != Op::Primitive
                         : i.rule != NullRule::None &&
                               !(i.op == Op::Mul && i.rule == NullRule::And) &&
                               !(i.op == Op::Add && i.rule == NullRule::Or))
            return false;
        Node n{Node::Plain, Op::Less, -1, 0.0, false, {-1, -1, -1}};
        const std::ptrdiff_t taken = 1 - stackChange(i);
        if (taken < 0 || taken > 3 || static_cast<std::size_t>(taken) > stack.size()) return false;
        for (std::ptrdiff_t k = taken; k-- > 0;) n.operand[k] = pop();
        const Node* a = taken > 0 ? &nodes[static_cast<std::size_t>(n.operand[0])] : nullptr;
        const Node* b = taken > 1 ? &nodes[static_cast<std::size_t>(n.operand[1])] : nullptr;
        switch (i.op) {
        case Op::Variable:
        case Op::VariableFirst:
            n.column = column(i);
            if (n.column >= 0) n.kind = Node::Column; // else a registered variable: no null
            break;
        case Op::Number:
        case Op::NumberFirst:
            n.kind = Node::Number;
            n.number = i.number;
            n.exact = true;
            break;
        case Op::Constant:
        case Op::ConstantFirst: {
            const Real c = code.constants[i.index];
            n.kind = Node::Number;
            n.number = static_cast<double>(c);
            n.exact = Real(n.number) == c;
            break;
        }
        case Op::Less:
        case Op::LessEqual:
        case Op::Greater:
        case Op::GreaterEqual:
        case Op::Equal:
        case Op::NotEqual:
            if (isValue(*a) && isValue(*b)) {
                n.kind = Node::Compare;
                n.relation = i.op;
            }
            break;
        case Op::Truth: // of a truth itself; of Kleene's sum, the or
            if (a->kind == Node::Sum) nodes[static_cast<std::size_t>(n.operand[0])].kind = Node::Or;
            if (!isTruth(nodes[static_cast<std::size_t>(n.operand[0])])) break;
            stack.push_back(n.operand[0]);
            continue;
        case Op::Not:
            if (isTruth(*a)) n.kind = Node::Not;
            break;
        case Op::Select:
            if (!isTruth(*a)) return false;
            n.kind = Node::Select;
            break;
        default:
            if (i.rule == NullRule::FillNull) {
                n.kind = Node::FillNull;
            } else if (i.rule == NullRule::IsNull) {
                n.kind = Node::IsNull;
            } else if (i.rule != NullRule::None) { // Kleene's and (a product) and or (a sum)
                if (!isTruth(*a) || !isTruth(*b)) return false;
                n.kind = i.op == Op::Mul ? Node::And : Node::Sum;
            } else if (readsCell(i.op)) {
                n.column = column(i);
            }
            break;
        }
        for (std::ptrdiff_t k = 0; k < taken; ++k) // Kleene's sum has no meaning but its truth
            if (nodes[static_cast<std::size_t>(n.operand[k])].kind == Node::Sum) return false;
        stack.push_back(static_cast<std::int32_t>(nodes.size()));
        nodes.push_back(n);
    }
    return stack.size() == 1 && nodes[static_cast<std::size_t>(stack.back())].kind != Node::Sum;
}

// Whether the tree is a condition alone: truths all the way down.
bool condition(const std::vector<Node>& nodes) {
    for (const Node& n : nodes)
        if (n.kind == Node::Select || n.kind == Node::Plain || n.kind == Node::Sum) return false;
    return isTruth(nodes.back());
}

std::uint64_t lowBits(std::size_t n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Rows first .. first+n-1 of a column as valid bits, the first lowest.
std::uint64_t validBits(const Column& c, std::size_t first, std::size_t n) {
    if (!c.valid) return lowBits(n);
    if (c.stride == 0) return validAt(c, 0) ? lowBits(n) : 0;
    const std::size_t bit = c.validFirst + first;
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (bit % 8 == 0 && n == 64) { // the usual word: eight whole bytes, in order
        std::uint64_t word;
        std::memcpy(&word, c.valid + bit / 8, sizeof word);
        return word;
    }
#endif
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
    auto holds = [&](std::size_t at) {
        const __m128d x = _mm_loadu_pd(a + at), y = _mm_loadu_pd(b + at);
        if constexpr (relation == Op::Less) return _mm_castpd_si128(_mm_cmplt_pd(x, y));
        if constexpr (relation == Op::LessEqual) return _mm_castpd_si128(_mm_cmple_pd(x, y));
        if constexpr (relation == Op::Greater) return _mm_castpd_si128(_mm_cmplt_pd(y, x));
        if constexpr (relation == Op::GreaterEqual) return _mm_castpd_si128(_mm_cmple_pd(y, x));
        if constexpr (relation == Op::Equal) return _mm_castpd_si128(_mm_cmpeq_pd(x, y));
        if constexpr (relation == Op::NotEqual) return _mm_castpd_si128(_mm_cmpneq_pd(x, y));
    };
    // Sixteen rows at a time, their masks (all ones or zero) packed down to a
    // byte each, in order, and read by one movemask. The first packs leave
    // each row's mask twice (its two halves), the next two once.
    for (; k + 16 <= n; k += 16) {
        const __m128i q0 = _mm_packs_epi32(holds(k), holds(k + 2));
        const __m128i q1 = _mm_packs_epi32(holds(k + 4), holds(k + 6));
        const __m128i q2 = _mm_packs_epi32(holds(k + 8), holds(k + 10));
        const __m128i q3 = _mm_packs_epi32(holds(k + 12), holds(k + 14));
        const __m128i h = _mm_packs_epi16(_mm_packs_epi32(q0, q1), _mm_packs_epi32(q2, q3));
        out |= static_cast<std::uint64_t>(_mm_movemask_epi8(h) & 0xFFFF) << k;
    }
    for (; k + 2 <= n; k += 2)
        out |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_castsi128_pd(holds(k)))) << k;
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

    // Node k over rows first .. first+n-1 (n <= 64): where each is valid,
    // and a truth's value there.
    Word of(std::int32_t k, std::size_t first, std::size_t n) {
        const Node& node = nodes_[static_cast<std::size_t>(k)];
        auto operand = [&](int j) { return of(node.operand[j], first, n); };
        switch (node.kind) {
        case Node::Column:
            return {0, validBits(columns_[static_cast<std::size_t>(node.column)], first, n)};
        case Node::Number:
            return {0, lowBits(n)};
        case Node::Compare:
            return compare(node, first, n);
        case Node::Not: {
            const Word a = operand(0);
            return {~a.value & lowBits(n), a.valid};
        }
        case Node::And: { // false where either is, null or not
            const Word a = operand(0), b = operand(1);
            const std::uint64_t falseA = a.valid & ~a.value, falseB = b.valid & ~b.value;
            return {a.value & b.value, (a.valid & b.valid) | falseA | falseB};
        }
        case Node::Or: { // true where either is, null or not
            const Word a = operand(0), b = operand(1);
            const std::uint64_t trueA = a.valid & a.value, trueB = b.valid & b.value;
            return {trueA | trueB, (a.valid & b.valid) | trueA | trueB};
        }
        case Node::IsNull: // never null
            return {~operand(0).valid & lowBits(n), lowBits(n)};
        case Node::FillNull: { // null where both are
            std::uint64_t valid = 0;
            for (int j = 0; j < 3 && node.operand[j] >= 0; ++j) valid |= operand(j).valid;
            return {0, valid};
        }
        case Node::Select: { // null where the condition or the value chosen is
            const Word c = operand(0), a = operand(1), b = operand(2);
            return {0, c.valid & ((c.value & a.valid) | (~c.value & b.valid))};
        }
        default: { // Plain: null where an operand or its column is
            std::uint64_t valid = node.column >= 0
                                      ? validBits(columns_[static_cast<std::size_t>(node.column)],
                                                  first, n)
                                      : lowBits(n);
            for (int j = 0; j < 3 && node.operand[j] >= 0; ++j) valid &= operand(j).valid;
            return {0, valid};
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
        const Column& c = columns_[static_cast<std::size_t>(node.column)];
        valid = validBits(c, first, n);
        const char* start = elementAt(c, first);
        if (c.type == ValueType::Float64 && c.stride == sizeof(double) &&
            reinterpret_cast<std::uintptr_t>(start) % alignof(double) == 0)
            return reinterpret_cast<const double*>(start);
        withReader(c.type, [&](auto reader) {
            for (std::size_t j = 0; j < n; ++j, start += c.stride) buffer[j] = reader(start);
        });
        return buffer;
    }

    Word compare(const Node& node, std::size_t first, std::size_t n) {
        std::uint64_t validLeft, validRight;
        const double* a = read(node.operand[0], first, n, left_, validLeft);
        const double* b = read(node.operand[1], first, n, right_, validRight);
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

// Bits 0 .. n-1 as n bytes of 0 or 1, eight at a time.
void bytesOf(std::uint64_t bits, std::size_t n, std::uint8_t* to) {
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const std::uint64_t eight = spread(static_cast<std::uint8_t>(bits >> k));
        std::memcpy(to + k, &eight, sizeof eight);
    }
    for (; k < n; ++k) to[k] = (bits >> k) & 1;
}

// Rows first .. first+n-1 of the output from their word, without a branch
// per row.
template <ValueType type>
void write(Word w, std::size_t first, std::size_t n, const Output& out, std::uint64_t nullBits) {
    if (out.valid) bytesOf(w.valid, n, out.valid + first);
    char* const base = at(out.values, out.stride, first);
    if (type == ValueType::Bool && out.stride == 1)
        return bytesOf(w.valid & w.value, n, reinterpret_cast<std::uint8_t*>(base));
    // By validity and value: null, null, 0.0 and 1.0.
    const std::uint64_t doubles[4] = {nullBits, nullBits, 0, 0x3FF0000000000000u};
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t valid = (w.valid >> k) & 1, value = (w.value >> k) & 1;
        char* to = base + static_cast<std::ptrdiff_t>(k) * out.stride;
        if constexpr (type == ValueType::Float64)
            std::memcpy(to, &doubles[2 * valid + value], sizeof(double));
        else if constexpr (type == ValueType::Bool)
            *to = static_cast<char>(valid & value);
        else
            store(to, out.type, valid ? Real(value ? 1.0 : 0.0) : Real(NAN));
    }
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
    // Most texts end in no truth: told from the last step, before any work.
    if (!conditionWordsEnabled() || code.steps.empty()) return false;
    const Instruction& last = code.steps.back();
    if (!(last.op >= Op::Less && last.op <= Op::Truth) &&
        !(last.op == Op::Mul && last.rule == NullRule::And))
        return false;
    std::vector<Node> nodes;
    if (!parse(code, columns.size(), slots, false, nodes) || !condition(nodes)) return false;
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
                write<ValueType::Float64>(word, first, n, out, nullBits);
            else if (out.type == ValueType::Bool)
                write<ValueType::Bool>(word, first, n, out, nullBits);
            else
                write<ValueType::Float32>(word, first, n, out, nullBits);
        }
    });
    return true;
}

bool velmoratrix::nullsInWords(const Code& code, const std::vector<Column>& columns,
                               double* const* slots, bool nullFunctions, std::size_t count,
                               std::uint8_t* valid) {
    std::vector<Node> nodes;
    if (!conditionWordsEnabled() || !parse(code, columns.size(), slots, nullFunctions, nodes))
        return false;
    if (!valid) return true;
    Words words(nodes, columns);
    const auto root = static_cast<std::int32_t>(nodes.size() - 1);
    for (std::size_t first = 0; first < count; first += 64) {
        const std::size_t n = std::min<std::size_t>(64, count - first);
        bytesOf(words.of(root, first, n).valid, n, valid + first);
    }
    return true;
}

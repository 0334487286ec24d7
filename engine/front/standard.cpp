#include "standard.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "environment.h"
#include "machine.h"
#include "messages.h"
#include "primitives.h"

using namespace velmoratrix;

namespace {

// Python's and numpy's divmod, in extended precision: the quotient floored,
// the remainder with the divisor's sign, snapped as numpy snaps them. (A
// comparison with a NaN is false, as isless and isgreater give.)
Real divmod(Real a, Real b, Real& mod) {
    mod = realFmod(a, b);
    Real quotient = (a - mod) / b;
    if (mod != 0) { // a NaN too
        if ((b < 0) != (mod < 0)) {
            mod += b;
            quotient -= 1;
        }
    } else {
        mod = realSignBit(b) ? -Real(0.0) : Real(0.0);
    }
    if (quotient != 0) {
        Real floored = realFloor(quotient);
        if (quotient - floored > 0.5) floored += 1;
        return floored;
    }
    return realSignBit(a / b) ? -Real(0.0) : Real(0.0);
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool nameStart(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
}
bool nameByte(char c) {
    return nameStart(c) || (c >= '0' && c <= '9');
}
bool digit(char c) {
    return c >= '0' && c <= '9';
}

// Binding strength, loosest first, as Python reads the same operators.
enum Level : int {
    kConditional = 1,
    kOr,
    kAnd,
    kNot,
    kComparison,
    kSum,
    kProduct,
    kSign,
    kPower,
};

// A Pratt parser that writes the steps as it reads: each operator's steps
// follow its operands', so one pass makes the program.
class Parser {
public:
    Parser(const Language& language, const Lookups& tables, std::string_view text,
           std::vector<StandardStep>& steps, Diagnostic& failure,
           std::vector<Explanation::Token>* tokens)
        : language_(language), tables_(tables), text_(text), steps_(steps), failure_(failure),
          tokens_(tokens) {}

    bool parse() {
        steps_.clear();
        skip();
        if (at_ == text_.size()) return fail(0, 0, "the expression is empty");
        if (!expression(kConditional)) return false;
        skip();
        return at_ == text_.size() || misplaced();
    }

private:
    static constexpr int kDeepest = 1000;        // nested groups, signs and calls (in its message)
    static constexpr double kMostFactors = 1024; // a whole exponent's, as a product
    static constexpr std::size_t kMostFolded = 256; // steps of a computed constant exponent
    const Language& language_;
    const Lookups& tables_;
    std::string_view text_;
    std::vector<StandardStep>& steps_;
    Diagnostic& failure_;
    std::vector<Explanation::Token>* tokens_;
    std::size_t at_ = 0;
    int depth_ = 0;
    bool failed_ = false;
    // steps_.size() right after the last step that leaves 1.0 or 0.0.
    std::size_t booleanEnd_ = ~std::size_t{0};

    void skip() {
        while (at_ < text_.size() && blank(text_[at_])) ++at_;
    }
    // What stands at at_, where a value is complete and an operator, or the
    // end of the text, its group or its call, should follow: a mistake
    // inside parentheses is reported where it is, as outside them.
    [[gnu::noinline]] bool misplaced() {
        const char c = text_[at_];
        if (c == ')') return fail(at_, 1, "')' has no '(' before it");
        if (c == ',') return fail(at_, 1, "',' stands outside the parentheses of a call");
        if (c == ':') return fail(at_, 1, "':' has no '?' before it");
        if (c == '=') return fail(at_, 1, "'=' is not part of the language: write '==' to compare");
        if (c == '.' && at_ + 1 < text_.size() && nameStart(text_[at_ + 1])) return method();
        if (!nameByte(c) && c != '.' && c != '(' && c != '`' && c != '~')
            return fail(at_, 1, text_.substr(at_, 1), " is not part of the language");
        return fail(at_, tokenLength(), text_.substr(at_, tokenLength()),
                    " follows a value: put an operator between them");
    }

    // A method called on a value (x.isna(), x.str.len()): the language has
    // functions instead.
    [[gnu::noinline, gnu::cold]] bool method() {
        std::size_t end = at_ + 1;
        while (end < text_.size() && nameByte(text_[end])) ++end;
        const std::string_view word = text_.substr(at_ + 1, end - at_ - 1);
        const char* instead = word == "isna" || word == "isnull"     ? ": write is_null(x)"
                              : word == "notna" || word == "notnull" ? ": write not is_null(x)"
                              : word == "fillna" || word == "fill_null"
                                  ? ": write fill_null(x, value)"
                              : word == "abs" ? ": write abs(x)"
                                              : ": call a function, as in abs(x)";
        if (word == "str")
            return failWith(at_, end - at_,
                            "'.str' reads strings, which are not part of the language: filter "
                            "a column of strings in pandas or polars first");
        return failWith(at_, end - at_,
                        quoted(text_.substr(at_, end - at_)) +
                            " is a method; the language has no methods" + instead);
    }

public:
    // Whether the text's value is a truth value: its last step compares or
    // is logical.
    bool condition() const { return booleanEnd_ == steps_.size(); }

private:
    std::size_t tokenLength() const {
        std::size_t n = 1;
        if (nameByte(text_[at_]))
            while (at_ + n < text_.size() && nameByte(text_[at_ + n])) ++n;
        return n;
    }
    // The parser recurses (into groups, operands, calls): the functions on
    // that path stay out of line, and messages are built in their own
    // frames, so that a level of nesting costs little stack, under the
    // sanitizers too.
    [[gnu::noinline, gnu::cold]] bool fail(std::size_t offset, std::size_t length,
                                           const char* message) {
        return failWith(offset, length, message);
    }
    [[gnu::noinline, gnu::cold]] bool fail(std::size_t offset, std::size_t length,
                                           std::string_view quote, const char* after,
                                           const char* before = "") {
        return failWith(offset, length, before + quoted(quote) + after);
    }
    [[gnu::noinline, gnu::cold]] bool failTakes(std::size_t offset, std::string_view name,
                                                int arity) {
        return failWith(
            offset, name.size(),
            quoted(name) + " takes " +
                (arity < 0 ? std::string("1 or more arguments")
                           : std::to_string(arity) + (arity == 1 ? " argument" : " arguments")));
    }
    [[gnu::noinline, gnu::cold]] bool failFunction(std::size_t offset, std::string_view word) {
        return failWith(offset, word.size(),
                        quoted(word) + " is a function: write its arguments in parentheses, " +
                            quoted(std::string(word) + "(x)"));
    }
    bool failWith(std::size_t offset, std::size_t length, std::string message) {
        if (!failed_) failure_ = {offset, length, true, std::move(message)};
        failed_ = true;
        return false;
    }
    [[gnu::noinline]] void token(std::size_t offset, std::size_t length, std::int32_t kind) {
        if (tokens_) tokens_->push_back({std::string(text_.substr(offset, length)), kind, offset});
    }

    [[gnu::noinline]] StandardStep& emit(StandardStep::Kind kind, std::size_t offset,
                                         std::size_t length) {
        StandardStep s;
        s.kind = kind;
        s.op = Op::Number;
        s.rule = NullRule::None;
        s.arity = 0;
        s.offset = offset;
        s.length = length;
        s.block = nullptr;
        s.number = 0;
        steps_.push_back(s);
        return steps_.back();
    }
    [[gnu::noinline]] void machine(Op op, std::size_t offset, std::size_t length) {
        emit(StandardStep::Machine, offset, length).op = op;
        const bool boolean = op != Op::Select;
        if (boolean) booleanEnd_ = steps_.size();
    }
    [[gnu::noinline]] void primitive(OperatorFunction f, int arity, std::size_t offset,
                                     std::size_t length, NullRule rule = NullRule::None) {
        StandardStep& s = emit(StandardStep::Primitive, offset, length);
        s.primitive = f;
        s.arity = arity;
        s.rule = rule;
    }
    void binaryCall(BinaryFunction f, std::size_t offset, std::size_t length) {
        emit(StandardStep::Binary, offset, length).binary = f;
    }
    // A power whose exponent's steps start at `from`: of a constant whole
    // exponent (|n| <= kMostFactors), the product it denotes; of 0.5, the
    // square root; of half an odd n, the square root's power n (x**1.5 is
    // sqrt(x)**3); else the syntax's own pow (C's, with the same bits on
    // every platform). A constant exponent may be computed (2^3 in
    // pi^2^3): one power, one value.
    void exponentiate(std::size_t from, std::size_t offset, std::size_t length) {
        Real value = 0.0;
        const bool constant =
            constantFrom(from, value) && value == Real(static_cast<double>(value));
        const double exponent = static_cast<double>(value), twice = 2 * exponent;
        const bool whole =
            constant && exponent == std::trunc(exponent) && std::fabs(exponent) <= kMostFactors;
        const bool half =
            constant && !whole && twice == std::trunc(twice) && std::fabs(twice) <= kMostFactors;
        if (whole || half) {
            steps_.resize(from);
            StandardStep& s = emit(StandardStep::Machine, offset, length);
            s.op = whole ? Op::PowInteger : Op::PowHalf;
            s.number = whole ? exponent : 0.5;
            if (half && twice != 1) {
                StandardStep& power = emit(StandardStep::Machine, offset, length);
                power.op = Op::PowInteger;
                power.number = twice;
            }
            return;
        }
        binaryCall(language_.function("pow")->binary, offset, length);
    }
    // The value of the steps from `from` on, where they compute a constant
    // that neither a name, the factorial's flag nor a function from outside
    // can change: as the interpreter computes it. At most kMostFolded steps,
    // so that nested powers stay linear.
    [[gnu::noinline]] bool constantFrom(std::size_t from, Real& value) const {
        const std::size_t n = steps_.size() - from;
        if (n == 0 || n > kMostFolded) return false;
        Real stack[kMostFolded];
        std::size_t depth = 0;
        for (std::size_t k = from; k < steps_.size(); ++k) {
            const StandardStep& s = steps_[k];
            if (s.kind == StandardStep::Number) {
                stack[depth++] = s.number;
                continue;
            }
            const bool pure = s.kind == StandardStep::Machine ||
                              (s.kind == StandardStep::Primitive && isPure(s.primitive) &&
                               s.primitive != _factorial) ||
                              (s.kind == StandardStep::Unary && isPure(s.unary)) ||
                              (s.kind == StandardStep::Binary && isPure(s.binary));
            const std::size_t takes = stepTakes(s);
            if (!pure || takes > depth) return false;
            depth -= takes;
            stack[depth] = stepValue(stepInstruction(s), stack + depth, takes, false);
            ++depth;
        }
        if (depth != 1) return false;
        value = stack[0];
        return true;
    }
    // 1.0 or 0.0 for the value just written: as it is where it is one already.
    void truth(std::size_t offset, std::size_t length) {
        if (booleanEnd_ != steps_.size()) machine(Op::Truth, offset, length);
    }

    // The word at the cursor, if it is one of the language's.
    bool keywordAt(std::string_view word) const {
        if (text_.compare(at_, word.size(), word) != 0) return false;
        const std::size_t end = at_ + word.size();
        return end == text_.size() || !nameByte(text_[end]);
    }

    // The binary operator at the cursor: its level, its length, and whether
    // it groups from the right. False where none stands there.
    [[gnu::noinline]] bool binary(int& level, std::size_t& length, bool& right) const {
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        const char d = at_ + 1 < text_.size() ? text_[at_ + 1] : '\0';
        right = false;
        length = 1;
        switch (c) {
        case '+':
        case '-':
            level = kSum;
            return true;
        case '*':
            if (d == '*') {
                level = kPower, length = 2, right = true;
                return true;
            }
            level = kProduct;
            return true;
        case '/': // "//" floors
            level = kProduct, length = d == '/' ? 2 : 1;
            return true;
        case '%':
            level = kProduct;
            return true;
        case '&': // as pandas.eval reads them: "a > 1 & b < 2" compares first
            level = kAnd;
            return true;
        case '|':
            level = kOr;
            return true;
        case '^':
            level = kPower, right = true;
            return true;
        case '<':
        case '>':
            level = kComparison, length = d == '=' ? 2 : 1;
            return true;
        case '=':
        case '!':
            if (d != '=') return false;
            level = kComparison, length = 2;
            return true;
        case '?':
            level = kConditional, right = true;
            return true;
        default:
            if (keywordAt("and")) {
                level = kAnd, length = 3;
                return true;
            }
            if (keywordAt("or")) {
                level = kOr, length = 2;
                return true;
            }
            if (keywordAt("in")) { // membership, as Python reads it
                level = kComparison, length = 2;
                return true;
            }
            if (keywordAt("not")) { // "not in", blanks between
                std::size_t k = at_ + 3;
                while (k < text_.size() && blank(text_[k])) ++k;
                if (text_.compare(k, 2, "in") != 0 ||
                    (k + 2 < text_.size() && nameByte(text_[k + 2])))
                    return false;
                level = kComparison, length = k + 2 - at_;
                return true;
            }
            return false;
        }
    }

    bool expression(int minimum) {
        if (++depth_ > kDeepest) return fail(at_, 1, "the expression nests deeper than 1000");
        skip();
        const std::size_t left = steps_.size(); // where the left value's steps start
        if (keywordAt("not")) {
            const std::size_t at = at_;
            if (minimum > kNot)
                return fail(at, 3, "'not' stands inside an operation: write (not ...)");
            at_ += 3;
            token(at, 3, Operator);
            if (!expression(kNot)) return false;
            machine(Op::Not, at, 3);
        } else if (!operand()) {
            return false;
        }
        for (;;) {
            skip();
            if (at_ < text_.size() && text_[at_] == '!' &&
                !(at_ + 1 < text_.size() && text_[at_ + 1] == '=')) { // postfix, tightest
                token(at_, 1, Operator);
                primitive(_factorial, 1, at_++, 1);
                continue;
            }
            int level;
            std::size_t length;
            bool right;
            if (!binary(level, length, right) || level < minimum) break;
            const std::size_t at = at_;
            at_ += length;
            token(at, length, Operator);
            if (!infix(text_.substr(at, length), level, right, at, left)) return false;
        }
        --depth_;
        return true;
    }

    bool infix(std::string_view symbol, int level, bool right, std::size_t at, std::size_t left) {
        const std::size_t n = symbol.size();
        switch (level) {
        case kConditional: {
            if (!expression(kConditional)) return false;
            skip();
            if (at_ == text_.size() || text_[at_] != ':')
                return fail(at, 1, "'?' has no ':' after its first value");
            token(at_++, 1, Operator);
            if (!expression(kConditional)) return false;
            machine(Op::Select, at, 1);
            return true;
        }
        case kOr: // the truth of the sum of the truths: no test where both are truths
            truth(at, n);
            if (!expression(kAnd)) return false;
            truth(at, n);
            primitive(_add, 2, at, n, NullRule::Or);
            machine(Op::Truth, at, n);
            return true;
        case kAnd:
            truth(at, n);
            if (!expression(kNot)) return false;
            truth(at, n);
            primitive(_mul, 2, at, n, NullRule::And);
            booleanEnd_ = steps_.size();
            return true;
        case kComparison:
            if (nameStart(symbol[0])) return membership(symbol, at, left);
            return comparisons(symbol, at);
        default:
            break;
        }
        const std::size_t from = steps_.size(); // the right value's steps
        if (!expression(right ? level : level + 1)) return false;
        const char c = symbol[0];
        if (c == '^' || (c == '*' && n == 2)) return exponentiate(from, at, n), true;
        primitive(c == '+'             ? _add
                  : c == '-'           ? _sub
                  : c == '*'           ? _mul
                  : c == '/' && n == 2 ? floorQuotient
                  : c == '/'           ? _div
                                       : floorRemainder,
                  2, at, n);
        return true;
    }

    // a < b < c is a < b and b < c: b's steps are written again.
    [[gnu::noinline]] bool comparisons(std::string_view symbol, std::size_t at) {
        for (bool first = true;; first = false) {
            const std::size_t from = steps_.size();
            if (!expression(kSum)) return false;
            const std::size_t end = steps_.size(); // the right value's steps
            machine(symbol == "<"    ? Op::Less
                    : symbol == "<=" ? Op::LessEqual
                    : symbol == ">"  ? Op::Greater
                    : symbol == ">=" ? Op::GreaterEqual
                    : symbol == "==" ? Op::Equal
                                     : Op::NotEqual,
                    at, symbol.size());
            if (!first)
                primitive(_mul, 2, at, symbol.size(), NullRule::And); // and the links before
            booleanEnd_ = steps_.size();
            skip();
            int level;
            std::size_t length;
            bool right;
            if (!binary(level, length, right) || level != kComparison) return true;
            if (nameStart(text_[at_]))
                return fail(at_, length, "'in' after a comparison: write the two apart with 'and'");
            const std::size_t count = end - from;
            // Bounded, or chains nested in the right values would double it
            // at every level.
            if (steps_.size() + count > 4 * text_.size() + 64)
                return fail(at_, length,
                            "the chained comparisons repeat too much: write them apart with "
                            "'and'");
            steps_.reserve(steps_.size() + count);
            for (std::size_t k = 0; k < count; ++k) steps_.push_back(steps_[from + k]);
            at = at_;
            at_ += length;
            symbol = text_.substr(at, length);
            token(at, length, Operator);
        }
    }

    // x in [a, b, ...] is x == a or x == b ...: x's steps are written again
    // for each value (Kleene's or, where x is null). "not in" negates it; in
    // [] is false.
    [[gnu::noinline]] bool membership(std::string_view symbol, std::size_t at, std::size_t left) {
        const std::size_t n = symbol.size();
        const std::size_t count = steps_.size() - left;
        skip();
        if (at_ == text_.size() || (text_[at_] != '[' && text_[at_] != '('))
            return fail(at, n, symbol, " takes a list of values after it, as in 'x in [1, 2]'");
        const std::size_t open = at_;
        const char close = text_[at_] == '[' ? ']' : ')';
        token(at_++, 1, Separator);
        std::size_t items = 0;
        for (skip(); !(at_ < text_.size() && text_[at_] == close); skip()) {
            if (items > 0) {
                if (steps_.size() + count > 4 * text_.size() + 64)
                    return fail(at, n, symbol,
                                " repeats its value too much: bind the value to a name first");
                steps_.reserve(steps_.size() + count);
                for (std::size_t k = 0; k < count; ++k) steps_.push_back(steps_[left + k]);
            }
            if (!expression(kConditional)) return false;
            machine(Op::Equal, at, n);
            if (items++ > 0) {
                primitive(_add, 2, at, n, NullRule::Or);
                machine(Op::Truth, at, n);
            }
            skip();
            if (at_ < text_.size() && text_[at_] == ',') {
                token(at_++, 1, Separator);
                continue;
            }
            if (at_ < text_.size() && text_[at_] != close) return misplaced();
            if (at_ == text_.size()) break;
        }
        if (at_ == text_.size())
            return fail(open, 1, text_.substr(open, 1),
                        " is never closed: close the list of values");
        token(at_++, 1, Separator);
        if (items == 0) { // nothing is in no values
            steps_.resize(left);
            emit(StandardStep::Number, at, n).number = 0;
        }
        if (symbol[0] == 'n') machine(Op::Not, at, n);
        booleanEnd_ = steps_.size();
        return true;
    }

    [[gnu::noinline]] bool operand() {
        skip();
        if (at_ == text_.size())
            return fail(text_.size(), 0, "the expression ends where a value should follow");
        const char c = text_[at_];
        if (c == '-' || c == '+') {
            const std::size_t at = at_++;
            token(at, 1, Operator);
            if (!expression(kSign)) return false;
            if (c == '-') { // -1 * v is -v, exactly
                emit(StandardStep::Number, at, 1).number = -1.0;
                primitive(_mul, 2, at, 1);
            }
            return true;
        }
        if (c == '~') { // logical not, of a truth value only: never a bitwise one
            const std::size_t at = at_++;
            token(at, 1, Operator);
            if (!expression(kSign)) return false;
            if (booleanEnd_ != steps_.size())
                return fail(at, 1,
                            "'~' is logical not, of a comparison or a condition; bitwise not "
                            "is not part of the language: write 'not x' for the truth of x");
            machine(Op::Not, at, 1);
            return true;
        }
        if (c == '(') {
            const std::size_t open = at_++;
            token(open, 1, Separator);
            if (!expression(kConditional)) return false;
            skip();
            if (at_ == text_.size()) return fail(open, 1, "'(' is never closed: add a ')'");
            if (text_[at_] != ')') return misplaced();
            token(at_++, 1, Separator);
            return true;
        }
        if (c == '`') {
            const std::size_t open = at_;
            const std::size_t close = text_.find('`', open + 1);
            if (close == std::string_view::npos)
                return fail(open, 1, "'`' is never closed: add a '`' after the name");
            if (close == open + 1) return fail(open, 2, "'``' quotes no name");
            token(open + 1, close - open - 1, Operand);
            emit(StandardStep::Name, open + 1, close - open - 1);
            at_ = close + 1;
            return true;
        }
        if (c == ')') return fail(at_, 1, "')' stands where a value should");
        if (c == '"' || c == '\'') {
            const std::size_t end = text_.find(c, at_ + 1);
            return fail(at_, end == std::string_view::npos ? 1 : end + 1 - at_,
                        "strings are not part of the language, which computes with numbers: "
                        "filter a column of strings in pandas or polars first, or quote a "
                        "column's name with '`'");
        }
        if (c == '@')
            return fail(at_, tokenLength(),
                        "'@' reads a Python name in df.vx.eval and df.vx.query only; elsewhere "
                        "bind the value by name (eval_with, or values=)");
        if (digit(c) || c == '.') return number();
        if (nameStart(c)) return name();
        return fail(at_, 1, text_.substr(at_, 1), " is not part of the language here");
    }

    [[gnu::noinline]] bool number() {
        const std::size_t start = at_;
        while (at_ < text_.size() && (digit(text_[at_]) || text_[at_] == '.')) ++at_;
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            std::size_t e = at_ + 1;
            if (e < text_.size() && (text_[e] == '+' || text_[e] == '-')) ++e;
            if (e < text_.size() && digit(text_[e])) {
                at_ = e;
                while (at_ < text_.size() && digit(text_[at_])) ++at_;
            }
        }
        const std::string_view literal = text_.substr(start, at_ - start);
        double number;
        std::size_t consumed = 0;
        const Ending read = readNumber(literal, number, &consumed);
        // Below the normal range a literal reads as the nearest double (a
        // subnormal, or zero), as Python's float() reads it: repr() reads back.
        if (read == Ending::OutOfRange && std::isinf(number))
            return fail(start, literal.size(), literal, " is beyond the range of a float");
        if (read == Ending::NotANumber || consumed != literal.size())
            return fail(start, literal.size(), literal, " is no number");
        token(start, literal.size(), Operand);
        emit(StandardStep::Number, start, literal.size()).number = number;
        return true;
    }

    [[gnu::noinline]] bool name() {
        const std::size_t start = at_;
        while (at_ < text_.size() && nameByte(text_[at_])) ++at_;
        const std::string_view word = text_.substr(start, at_ - start);
        if (word == "and" || word == "or")
            return fail(start, word.size(), word, " stands where a value should");
        std::size_t next = at_;
        while (next < text_.size() && blank(text_[next])) ++next;
        // The tables' function of the name, else the language's own (unless
        // deleted on this evaluator). An entry that still holds the C
        // library's function the tables start with reads as the language's
        // own, whose bits are the same on every platform.
        const NameInfo* function = tables_.function(word);
        const BuiltinFunction* own = tables_.withdrawn(word) ? nullptr : language_.function(word);
        if (function && own && own->replaces && function->unary == own->replaces &&
            function->functionArity == 1)
            function = nullptr;
        if (function) own = nullptr;
        if (next < text_.size() && text_[next] == '(') {
            token(start, word.size(), Function);
            return call(word, start, function, own, next);
        }
        // where, if, clip and the null functions are calls the syntax reads,
        // and names elsewhere.
        if (function || (own && !own->readsItself())) return failFunction(start, word);
        token(start, word.size(), Operand);
        emit(StandardStep::Name, start, word.size());
        return true;
    }

    [[gnu::noinline]] bool call(std::string_view name, std::size_t start, const NameInfo* f,
                                const BuiltinFunction* own, std::size_t open) {
        // How many arguments: -1 any count from 1, else exactly.
        int arity = 0;
        using Form = BuiltinFunction;
        const Form::Form form = own ? own->form : Form::Call;
        if (f) {
            arity = f->functionArity;
            if (!f->callable())
                return fail(start, name.size(), name, " has no usable argument count");
        } else if (!own) {
            return fail(start, name.size(), name, " is no function of this evaluator");
        } else {
            arity = form == Form::Fold || form == Form::Coalesce    ? -1
                    : form == Form::Select || form == Form::Clip    ? 3
                    : form == Form::Power || form == Form::FillNull ? 2
                    : own->binary                                   ? 2
                                                                    : 1;
        }
        at_ = open + 1;
        token(open, 1, Separator);
        int count = 0;
        std::size_t last = steps_.size(); // where the last argument's steps start
        skip();
        if (at_ < text_.size() && text_[at_] == ')') {
            token(at_++, 1, Separator);
        } else {
            for (;;) {
                last = steps_.size();
                if (!expression(kConditional)) return false;
                ++count;
                if (form == Form::Fold && count > 1) binaryCall(own->binary, start, name.size());
                if (form == Form::Coalesce && count > 1)
                    primitive(keepFirst, 2, start, name.size(), NullRule::FillNull);
                if (form == Form::Clip && (count == 2 || count == 3))
                    binaryCall(language_.function(count == 2 ? "max" : "min")->binary, start,
                               name.size());
                skip();
                if (at_ < text_.size() && text_[at_] == ',') {
                    token(at_++, 1, Separator);
                    continue;
                }
                if (at_ < text_.size() && text_[at_] == ')') {
                    token(at_++, 1, Separator);
                    break;
                }
                if (at_ < text_.size()) return misplaced();
                return fail(open, 1, name, " is never closed: add a ')' after its arguments",
                            "'(' of ");
            }
        }
        if (arity < 0 ? count < 1 : count != arity) return failTakes(start, name, arity);
        if (!f) {
            if (form == Form::Select) machine(Op::Select, start, name.size());
            if (form == Form::FillNull)
                primitive(keepFirst, 2, start, name.size(), NullRule::FillNull);
            if (form == Form::IsNull) {
                primitive(nullTest, 1, start, name.size(), NullRule::IsNull);
                booleanEnd_ = steps_.size();
            }
            if (form == Form::Power) exponentiate(last, start, name.size()); // as "^"
            if (form == Form::Call && own->unary)
                emit(StandardStep::Unary, start, name.size()).unary = own->unary;
            if (form == Form::Call && own->binary) binaryCall(own->binary, start, name.size());
            return true;
        }
        if (arity == 1) {
            StandardStep& s = emit(f->callUnary ? StandardStep::CallUnary : StandardStep::Unary,
                                   start, name.size());
            if (f->callUnary)
                s.callUnary = f->callUnary, s.block = f->callBlock;
            else
                s.unary = f->unary;
        } else if (arity == 2) {
            StandardStep& s = emit(f->callBinary ? StandardStep::CallBinary : StandardStep::Binary,
                                   start, name.size());
            if (f->callBinary)
                s.callBinary = f->callBinary, s.block = f->callBlock;
            else
                s.binary = f->binary;
        } else {
            StandardStep& s = emit(StandardStep::CallNary, start, name.size());
            s.callNary = f->callNary;
            s.arity = arity;
            s.block = f->callBlock;
        }
        return true;
    }
};

} // namespace

bool velmoratrix::readStandard(const Language& language, const Lookups& tables,
                               std::string_view text, std::vector<StandardStep>& steps,
                               Diagnostic& failure, std::vector<Explanation::Token>* tokens,
                               bool* condition) {
    // Numbers are read (and constant exponents folded) as the engine
    // rounds, whatever the caller has set.
    const EngineFloats floats;
    Parser parser(language, tables, text, steps, failure, tokens);
    const bool read = parser.parse();
    if (condition) *condition = read && parser.condition();
    return read;
}

long double velmoratrix::floorRemainder(long double a, long double b, bool) {
    if (b == 0) return wide(realFmod(a, b)); // NaN
    Real mod;
    divmod(a, b, mod);
    return wide(mod);
}

long double velmoratrix::floorQuotient(long double a, long double b, bool) {
    if (b == 0) return wide(Real(a) / Real(b)); // an infinity, or NaN
    Real mod;
    return wide(divmod(a, b, mod));
}

long double velmoratrix::nullTest(long double, long double, bool) {
    return 0;
}

long double velmoratrix::keepFirst(long double a, long double, bool) {
    return a;
}

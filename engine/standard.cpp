#include "standard.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "messages.h"
#include "primitives.h"

using namespace velmoratrix;

namespace {

// A NaN on either side is the result, as numpy's minimum and maximum give.
long double smaller(long double a, long double b) {
    if (a != a) return a;
    return b < a || b != b ? b : a;
}
long double larger(long double a, long double b) {
    if (a != a) return a;
    return a < b || b != b ? b : a;
}
long double hypotenuse(long double a, long double b) {
    return std::hypot(static_cast<double>(a), static_cast<double>(b));
}
long double angle(long double y, long double x) {
    return std::atan2(static_cast<double>(y), static_cast<double>(x));
}
long double power(long double a, long double b) {
    return _pow(a, b, false); // as "^" computes it
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


// A Pratt parser: each operator binds by its precedence, unary minus and
// plus between "*" and "^", so -x^2 is -(x^2) and 2^-1 is 2^(-1). It writes
// the classic text as it reads, in the order of the standard one, so one pass
// makes it: the specified language orders binary operators the same way, and
// only what it lacks is spelled out (-v as ((0-1)*v), exactly -v).
class Parser {
public:
    Parser(const Language& language, std::string_view text, Translation& out)
        : language_(language), text_(text), out_(out) {}

    bool parse() {
        out_.classic.reserve(text_.size() + 8);
        skip();
        if (at_ == text_.size()) return fail(0, 0, "the expression is empty");
        if (!expression(0)) return false;
        skip();
        if (at_ < text_.size()) {
            if (text_[at_] == ')') return fail(at_, 1, "')' has no '(' before it");
            const char c = text_[at_];
            if (!nameByte(c) && c != '.' && c != '(')
                return fail(at_, 1, quoted(text_.substr(at_, 1)) + " is not part of the language");
            return fail(at_, tokenLength(),
                        quoted(text_.substr(at_, tokenLength())) +
                            " follows a value: put an operator between them");
        }
        return true;
    }

private:
    static constexpr int kUnary = 35;     // between "*" (30) and "^" (40)
    static constexpr int kDeepest = 1000; // nested groups, signs and calls
    const Language& language_;
    std::string_view text_;
    Translation& out_;
    std::size_t at_ = 0;
    int depth_ = 0;

    void skip() {
        while (at_ < text_.size() && blank(text_[at_])) ++at_;
    }
    std::size_t tokenLength() const {
        std::size_t n = 1;
        if (nameByte(text_[at_]))
            while (at_ + n < text_.size() && nameByte(text_[at_ + n])) ++n;
        return n;
    }
    bool fail(std::size_t offset, std::size_t length, std::string message) {
        if (!out_.failed) out_.failure = {offset, length, true, std::move(message)};
        out_.failed = true;
        return false;
    }
    void write(std::string_view piece) { out_.classic.append(piece); }

    // The binary operator at the cursor, its precedence and whether it is
    // right-associative; false where none stands there.
    bool binary(std::string_view& symbol, int& precedence, bool& right) const {
        if (at_ >= text_.size()) return false;
        switch (text_[at_]) {
        case '+':
        case '-':
            symbol = text_.substr(at_, 1), precedence = 20, right = false;
            return true;
        case '*':
            if (at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
                symbol = text_.substr(at_, 2), precedence = 40, right = true;
                return true;
            }
            [[fallthrough]];
        case '/':
        case '%':
            symbol = text_.substr(at_, 1), precedence = 30, right = false;
            return true;
        case '^':
            symbol = text_.substr(at_, 1), precedence = 40, right = true;
            return true;
        default:
            return false;
        }
    }

    bool expression(int minimum) {
        if (++depth_ > kDeepest)
            return fail(at_, 1, "the expression nests deeper than " + std::to_string(kDeepest));
        if (!operand()) return false;
        for (;;) {
            skip();
            if (at_ < text_.size() && text_[at_] == '!') { // postfix, tightest
                ++at_;
                write("!");
                continue;
            }
            std::string_view symbol;
            int precedence;
            bool right;
            if (!binary(symbol, precedence, right) || precedence < minimum) break;
            at_ += symbol.size();
            // After "!" a "-" would be read as a sign: "()" stands between,
            // an empty group that changes nothing.
            if (symbol == "-" && !out_.classic.empty() && out_.classic.back() == '!') write("()");
            write(symbol == "**" ? std::string_view("^") : symbol);
            if (!expression(right ? precedence : precedence + 1)) return false;
        }
        --depth_;
        return true;
    }

    bool operand() {
        skip();
        if (at_ == text_.size())
            return fail(text_.size(), 0, "the expression ends where a value should follow");
        const char c = text_[at_];
        if (c == '-' || c == '+') {
            ++at_;
            if (c == '+') return expression(kUnary);
            out_.numbers.push_back({out_.classic.size() + 2, 1, at_ - 1, 1});
            out_.numbers.push_back({out_.classic.size() + 4, 1, at_ - 1, 1});
            write("((0-1)*"); // -1 * v is -v, exactly
            if (!expression(kUnary)) return false;
            write(")");
            return true;
        }
        if (c == '(') {
            const std::size_t open = at_++;
            write("(");
            if (!expression(0)) return false;
            skip();
            if (at_ == text_.size() || text_[at_] != ')')
                return fail(open, 1, "'(' is never closed: add a ')'");
            ++at_;
            write(")");
            return true;
        }
        if (c == ')') return fail(at_, 1, "')' stands where a value should");
        if (digit(c) || c == '.') return number();
        if (nameStart(c)) return name();
        return fail(at_, 1, quoted(text_.substr(at_, 1)) + " is not part of the language here");
    }

    bool number() {
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
        if (read == Ending::OutOfRange)
            return fail(start, literal.size(), quoted(literal) + " is beyond the range of a float");
        if (read != Ending::Value || consumed != literal.size())
            return fail(start, literal.size(), quoted(literal) + " is no number");
        const std::size_t before = out_.classic.size();
        if (literal.find_first_of("eE") == std::string_view::npos) {
            write(literal); // the specified language reads it alike
            out_.numbers.push_back({before, literal.size(), start, literal.size()});
            return true;
        }
        // A plain decimal that reads back to the same double: the specified
        // language has no signed exponent.
        char digits[400];
        const auto written =
            std::to_chars(digits, digits + sizeof digits, number, std::chars_format::fixed);
        write(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
        out_.numbers.push_back({before, out_.classic.size() - before, start, literal.size()});
        return true;
    }

    bool name() {
        const std::size_t start = at_;
        while (at_ < text_.size() && nameByte(text_[at_])) ++at_;
        const std::string_view word = text_.substr(start, at_ - start);
        std::size_t next = at_;
        while (next < text_.size() && blank(text_[next])) ++next;
        const std::int32_t index = language_.lookup(word);
        const bool function = index >= 0 && language_.names[index].isFunction;
        if (next < text_.size() && text_[next] == '(') {
            if (!function)
                return fail(start, word.size(), quoted(word) + " is no function of this evaluator");
            out_.functions.push_back({start, word.size()});
            return call(word, language_.names[index].functionArity, next);
        }
        if (function)
            return fail(start, word.size(),
                        quoted(word) + " is a function: write its argument in parentheses, " +
                            quoted(std::string(word) + "(x)"));
        out_.names.push_back({start, word.size()});
        write(word);
        return true;
    }

    bool call(std::string_view function, int arity, std::size_t open) {
        if (arity < 1 || arity > 2)
            return fail(open, 1, quoted(function) + " has no usable argument count");
        at_ = open + 1;
        write(function);
        write("(");
        // The classic comma only keeps tokens apart: each of several
        // arguments is a group of its own, or max(10+x,3) would add x to 3.
        const bool grouped = arity > 1;
        for (int k = 0; k < arity; ++k) {
            if (k) write(",");
            if (grouped) write("(");
            if (!expression(0)) return false;
            if (grouped) write(")");
            skip();
            const char expected = k + 1 < arity ? ',' : ')';
            if (at_ == text_.size() || text_[at_] != expected)
                return fail(open, 1,
                            quoted(function) + " takes " + std::to_string(arity) +
                                (arity == 1 ? " argument" : " arguments") +
                                ", in parentheses and apart by ','");
            ++at_;
        }
        write(")");
        return true;
    }
};

} // namespace

const StandardFunction velmoratrix::kStandardFunctions[12] = {
    {"exp", static_cast<UnaryFunction>(std::exp), nullptr},
    {"log", static_cast<UnaryFunction>(std::log), nullptr},
    {"log10", static_cast<UnaryFunction>(std::log10), nullptr},
    {"log2", static_cast<UnaryFunction>(std::log2), nullptr},
    {"abs", static_cast<UnaryFunction>(std::fabs), nullptr},
    {"floor", static_cast<UnaryFunction>(std::floor), nullptr},
    {"ceil", static_cast<UnaryFunction>(std::ceil), nullptr},
    {"min", nullptr, smaller},
    {"max", nullptr, larger},
    {"hypot", nullptr, hypotenuse},
    {"atan2", nullptr, angle},
    {"pow", nullptr, power},
};

Translation velmoratrix::translate(const Language& language, std::string_view text) {
    Translation out;
    Parser(language, text, out).parse();
    return out;
}

bool velmoratrix::checkNames(MathEvaluator& m, Translation& t, std::string_view text,
                             const std::unordered_set<std::string_view>& known) {
    if (t.failed) return false;
    auto fail = [&](std::size_t offset, std::size_t length, std::string message) {
        t.failure = {offset, length, true, std::move(message)};
        t.failed = true;
        return false;
    };
    for (const auto& [offset, length] : t.names) {
        const std::string_view name = text.substr(offset, length);
        if (!m.isVariable(name) && !known.count(name))
            return fail(offset, length, quoted(name) + " is no registered name");
    }
    for (const Translation::Number& n : t.numbers) {
        const std::string_view spelled = std::string_view(t.classic).substr(n.classic, n.length);
        if (m.isVariable(spelled))
            return fail(n.offset, n.written,
                        "a variable named " + quoted(spelled) +
                            " stands in for that number here: delete the variable");
    }
    for (const auto& [offset, length] : t.functions) {
        const std::string_view name = text.substr(offset, length);
        if (m.isVariable(name) || known.count(name))
            return fail(offset, length,
                        quoted(name) + " is a function and a variable: delete one of them");
    }
    return true;
}

velmoratrix::ExpressionError::ExpressionError(std::vector<Diagnostic> found, std::string source)
    : std::invalid_argument(found.front().message + " (at " + std::to_string(found.front().offset) +
                            ")"),
      problems(std::move(found)), position(problems.front().offset), text(std::move(source)) {}

void MathEvaluator::followSyntax() {
    Entry call(*this);
    Prepared& p = *prepared_;
    if (syntax == Syntax::Standard) {
        for (const StandardFunction& f : kStandardFunctions) {
            if (functionNames.inList(f.name)) continue; // a caller's own stays
            if (f.unary)
                appendFunction(f.name, f.unary);
            else
                appendFunction(f.name, f.binary);
            p.standardAdded.push_back(&f);
        }
    } else {
        // Only what still holds the routine added here goes: a caller may
        // have put a function of their own under the name since.
        for (const StandardFunction* f : p.standardAdded) {
            const auto& table = std::as_const(unaryFunctions);
            const auto& binaryTable = std::as_const(binaryFunctions);
            const auto u = table.find(f->name);
            const auto b = binaryTable.find(f->name);
            const bool ours = f->unary ? u != table.end() && u->second == f->unary
                                       : b != binaryTable.end() && b->second == f->binary;
            if (ours) deleteFunction(f->name);
        }
        p.standardAdded.clear();
    }
    p.syntax = syntax;
}

const std::string& MathEvaluator::classicText(const std::string& text,
                                              const std::vector<Column>* columns) {
    Prepared& p = prepared();
    const std::uint64_t edits = languageEdits() + registryEdits();
    if (!columns && p.standardEdits == edits && sameText(p.standardText, text))
        return p.classicText;
    Translation t = translate(p.language, text);
    std::unordered_set<std::string_view> known;
    if (columns)
        for (const Column& c : *columns) known.insert(c.name);
    if (!checkNames(*this, t, text, known)) throw ExpressionError({t.failure}, text);
    // Kept for the next call, but for one read with columns: their names
    // made it valid.
    p.standardText = text;
    p.classicText = t.classic;
    p.standardEdits = columns ? ~std::uint64_t{0} : edits;
    return p.classicText;
}

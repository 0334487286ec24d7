#include "standard.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "primitives.h"

using namespace velmoratrix;

namespace {

long double smaller(long double a, long double b) {
    return b < a ? b : a;
}
long double larger(long double a, long double b) {
    return a < b ? b : a;
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

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// A Pratt parser: each operator binds by its precedence, unary minus and
// plus between "*" and "^", so -x^2 is -(x^2) and 2^-1 is 2^(-1).
class Parser {
public:
    Parser(const Language& language, std::string_view text, Translation& out)
        : language_(language), text_(text), out_(out) {}

    bool parse() {
        skip();
        if (at_ == text_.size()) return fail(0, 0, "the expression is empty");
        std::string value;
        if (!expression(0, value)) return false;
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
        out_.classic = std::move(value);
        return true;
    }

private:
    static constexpr int kUnary = 35; // between "*" (30) and "^" (40)
    const Language& language_;
    std::string_view text_;
    Translation& out_;
    std::size_t at_ = 0;

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

    bool expression(int minimum, std::string& value) {
        if (!operand(value)) return false;
        for (;;) {
            skip();
            if (at_ < text_.size() && text_[at_] == '!') { // postfix, tightest
                ++at_;
                value = "(" + value + ")!";
                continue;
            }
            std::string_view symbol;
            int precedence;
            bool right;
            if (!binary(symbol, precedence, right) || precedence < minimum) return true;
            at_ += symbol.size();
            std::string rhs;
            if (!expression(right ? precedence : precedence + 1, rhs)) return false;
            value = "(" + value + ")" + (symbol == "**" ? std::string("^") : std::string(symbol)) +
                    "(" + rhs + ")";
        }
    }

    bool operand(std::string& value) {
        skip();
        if (at_ == text_.size())
            return fail(text_.size(), 0, "the expression ends where a value should follow");
        const char c = text_[at_];
        if (c == '-' || c == '+') {
            ++at_;
            std::string inner;
            if (!expression(kUnary, inner)) return false;
            value = c == '-' ? "((0-1)*(" + inner + "))" : inner; // -1 * v is -v, exactly
            return true;
        }
        if (c == '(') {
            const std::size_t open = at_++;
            if (!expression(0, value)) return false;
            skip();
            if (at_ == text_.size() || text_[at_] != ')')
                return fail(open, 1, "'(' is never closed: add a ')'");
            ++at_;
            return true;
        }
        if (c == ')') return fail(at_, 1, "')' stands where a value should");
        if (digit(c) || c == '.') return number(value);
        if (nameStart(c)) return name(value);
        return fail(at_, 1, quoted(text_.substr(at_, 1)) + " is not part of the language here");
    }

    bool number(std::string& value) {
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
        // The value as a plain decimal the specified language reads back to
        // the same double (no signed exponent there).
        char digits[400];
        const auto written =
            std::to_chars(digits, digits + sizeof digits, number, std::chars_format::fixed);
        value.assign(digits, written.ptr);
        return true;
    }

    bool name(std::string& value) {
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
            return call(word, language_.names[index].functionArity, next, value);
        }
        if (function)
            return fail(start, word.size(),
                        quoted(word) + " is a function: write its argument in parentheses, " +
                            quoted(std::string(word) + "(x)"));
        out_.names.push_back({start, word.size()});
        value.assign(word);
        return true;
    }

    bool call(std::string_view function, int arity, std::size_t open, std::string& value) {
        at_ = open + 1;
        value = std::string(function) + "(";
        for (int k = 0; k < arity; ++k) {
            std::string argument;
            if (!expression(0, argument)) return false;
            value += (k ? "," : "") + argument;
            skip();
            const char expected = k + 1 < arity ? ',' : ')';
            if (at_ == text_.size() || text_[at_] != expected)
                return fail(open, 1,
                            quoted(function) + " takes " + std::to_string(arity) +
                                (arity == 1 ? " argument" : " arguments") +
                                ", in parentheses and apart by ','");
            ++at_;
        }
        if (arity < 1 || arity > 2)
            return fail(open, 1, quoted(function) + " has no usable argument count");
        value += ")";
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

bool velmoratrix::unknownName(MathEvaluator& m, const Translation& t, std::string_view text,
                              const std::unordered_set<std::string_view>& known,
                              Diagnostic& failure) {
    for (const auto& [offset, length] : t.names) {
        const std::string_view name = text.substr(offset, length);
        if (m.isVariable(name) || known.count(name)) continue;
        failure = {offset, length, true, quoted(name) + " is no registered name"};
        return true;
    }
    for (const auto& [offset, length] : t.functions) {
        const std::string_view name = text.substr(offset, length);
        if (!m.isVariable(name) && !known.count(name)) continue;
        failure = {offset, length, true,
                   quoted(name) + " is a function and a variable: delete one of them"};
        return true;
    }
    return false;
}

velmoratrix::ExpressionError::ExpressionError(std::vector<Diagnostic> found, std::string source)
    : std::invalid_argument(found.front().message + " (at " + std::to_string(found.front().offset) +
                            ")"),
      problems(std::move(found)), position(problems.front().offset), text(std::move(source)) {}

void MathEvaluator::followSyntax() {
    Prepared& p = *prepared_;
    if (syntax == Syntax::Standard) {
        for (const StandardFunction& f : kStandardFunctions) {
            if (functionNames.inList(f.name)) continue; // a caller's own stays
            if (f.unary)
                appendFunction(f.name, f.unary);
            else
                appendFunction(f.name, f.binary);
            p.standardAdded.emplace_back(f.name);
        }
    } else {
        for (const std::string& name : p.standardAdded) {
            const auto& unary = std::as_const(unaryFunctions);
            const auto& binaryTable = std::as_const(binaryFunctions);
            const auto u = unary.find(name);
            const auto b = binaryTable.find(name);
            bool ours = false;
            for (const StandardFunction& f : kStandardFunctions)
                ours = ours || (u != unary.end() && u->second == f.unary && f.unary) ||
                       (b != binaryTable.end() && b->second == f.binary && f.binary);
            if (ours) deleteFunction(name);
        }
        p.standardAdded.clear();
    }
    p.syntax = syntax;
}

std::string MathEvaluator::classicText(const std::string& text,
                                       const std::vector<Column>* columns) {
    Prepared& p = prepared();
    const std::uint64_t edits = languageEdits() + registryEdits();
    if (!columns && p.standardEdits == edits && sameText(p.standardText, text))
        return p.classicText;
    const Translation t = translate(p.language, text);
    Diagnostic failure = t.failure;
    std::unordered_set<std::string_view> known;
    if (columns)
        for (const Column& c : *columns) known.insert(c.name);
    if (t.failed || unknownName(*this, t, text, known, failure))
        throw ExpressionError({failure}, text);
    if (!columns) {
        p.standardText = text;
        p.classicText = t.classic;
        p.standardEdits = edits;
    }
    return t.classic;
}

// eval: runs the reverse Polish program of the current expression on a stack
// of extended-precision values. Structural faults (too few operands, a value
// too many at the end) give 0.0; a token that reads as no number throws.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <stdexcept>
#include <vector>

#include "evaluator.h"
#include "primitives.h"

namespace {

// Operand stack: local to one run, on the C++ stack unless it grows deep.
class ValueStack {
public:
    std::size_t size() const { return size_; }
    void push(long double v) {
        if (size_ == capacity_) grow();
        data_[size_++] = v;
    }
    long double pop() { return data_[--size_]; }

private:
    long double inline_[32];
    std::vector<long double> heap_;
    long double* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 32;

    [[gnu::noinline]] void grow() {
        std::vector<long double> bigger(data_, data_ + size_);
        bigger.resize(capacity_ * 2);
        heap_.swap(bigger);
        data_ = heap_.data();
        capacity_ *= 2;
    }
};

// Number texts are read as in the "C" locale, whatever locale the host has
// set: under a decimal-comma locale "1.5" would otherwise read as 1.
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// Exact powers of ten in double: up to 10^22.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common token [-]digits[.digits][e digits] whose digits fit in 2^53
// and whose scale is at most 10^22: both factors are exact doubles, so one
// multiplication or division rounds exactly as strtod does (Clinger's fast
// path). Anything else is left to strtod.
bool readSimpleNumber(std::string_view text, double& value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    p += negative;
    std::uint64_t digits = 0;
    int significant = 0, scale = 0;
    bool any = false;
    auto digit = [&](bool fraction) {
        any = true;
        if (digits == 0 && *p == '0') {
            scale -= fraction;
            return;
        }
        if (++significant > 19) return;
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
        scale -= fraction;
    };
    for (; p != end && *p >= '0' && *p <= '9'; ++p) digit(false);
    if (p != end && *p == '.')
        for (++p; p != end && *p >= '0' && *p <= '9'; ++p) digit(true);
    if (!any || significant > 19 || digits > (std::uint64_t{1} << 53)) return false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        int exponent = 0;
        const char* start = ++p;
        for (; p != end && *p >= '0' && *p <= '9' && exponent < 1000; ++p)
            exponent = exponent * 10 + (*p - '0');
        if (p == start) return false;
        scale += exponent;
    }
    if (p != end || scale > 22 || scale < -22) return false;
    const double d = static_cast<double>(digits);
    value = scale >= 0 ? d * kPowersOfTen[scale] : d / kPowersOfTen[-scale];
    if (negative) value = -value;
    return true;
}

// std::stod's contract: leading blanks skipped, longest prefix taken, errno
// left as found unless the conversion set it.
double readNumber(std::string_view token) {
    double simple;
    if (readSimpleNumber(token, simple)) return simple;
    const std::string text(token); // strtod wants the terminating NUL
    const char* begin = text.c_str();
    char* end = nullptr;
    const int savedErrno = errno;
    errno = 0;
    const locale_t c = cLocale();
    const double value = c ? strtod_l(begin, &end, c) : std::strtod(begin, &end);
    const int conversionErrno = errno;
    if (conversionErrno == 0) errno = savedErrno;
    if (end == begin) throw std::invalid_argument("stod");
    if (conversionErrno == ERANGE) throw std::out_of_range("stod");
    return value;
}

// The four arithmetic primitives done in place: the same extended-precision
// operation without passing both operands through memory to a call.
inline long double apply(OperatorFunction f, long double left, long double right, bool flag) {
    if (f == _add) return left + right;
    if (f == _sub) return left - right;
    if (f == _mul) return left * right;
    if (f == _div) return left / right;
    return f(left, right, flag);
}

} // namespace

// The record of the last expression is complete after every call: after a
// success its token lists are empty, so they are built only for a failure.
long double MathEvaluator::eval(std::string expression) {
    Compiled& c = compiledFor(expression);
    currentRPN.freeLists(); // what the previous call left behind (after a failure)
    if (currentRPN.RPN != c.rpn) currentRPN.RPN = c.rpn;
    if (currentRPN.expression != expression) currentRPN.expression = std::move(expression);
    long double result = 0.0L;
    bool ok = false;
    try {
        ok = !c.program.empty() && run(c, result);
    } catch (...) {
        fillTokenLists(currentRPN, c);
        throw;
    }
    if (!ok) fillTokenLists(currentRPN, c);
    return ok ? result : 0.0L;
}

// False where the program is malformed (the caller's 0.0).
bool MathEvaluator::run(Compiled& c, long double& result) {
    ValueStack stack;
    for (Step& step : c.program) {
        const std::int32_t kind = c.kind(step.piece);
        const std::string_view t = c.slice(step.piece);
        if (kind != Operator) {
            // A registered name shadows the number it spells, and a function
            // name registered as a variable is read, then applied.
            if (variableNames.inList(t)) {
                const auto entry = externalVariables.find(std::string(t));
                if (entry == externalVariables.end() || !entry->second) return false;
                stack.push(*entry->second);
            } else if (kind != Function) {
                if (!step.numberKnown) {
                    step.number = readNumber(t);
                    step.numberKnown = true;
                }
                stack.push(step.number);
            }
        }
        if (kind == Function) {
            const FunctionEntry* f = functionFor(t);
            const int n = f ? f->argumentCount : 0;
            if (n < 0 || stack.size() < static_cast<std::size_t>(n)) return false;
            if (n == 1) {
                if (!f->unary) return false;
                stack.push(f->unary(static_cast<double>(stack.pop())));
            } else if (n == 2) {
                if (!f->binary) return false;
                const long double right = stack.pop();
                const long double left = stack.pop();
                stack.push(f->binary(left, right));
            }
        } else if (kind == Operator) {
            const OperatorEntry& op = operatorFor(t[0]);
            const int n = op.argumentCount;
            if (n < 0 || stack.size() < static_cast<std::size_t>(n) || !op.function) return false;
            long double right = 0.0L, left = 0.0L;
            if (n >= 1) right = stack.pop();
            if (n >= 2) left = stack.pop();
            for (int extra = 2; extra < n; ++extra) stack.pop();
            stack.push(apply(op.function, left, right, accuracyOverEfficiency));
        }
    }
    if (stack.size() != 1) return false;
    result = stack.pop();
    return true;
}

// The engine is never seen by the caller and eval leaves nothing in it that
// changes a later result, so one default engine per thread serves every call.
long double evaluate(std::string expression) {
    thread_local MathEvaluator engine;
    return engine.eval(std::move(expression));
}

// eval: runs the reverse Polish program of the current expression on a stack
// of extended-precision values. Structural faults (too few operands, a value
// too many at the end) give 0.0; a token that reads as no number throws.
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <stdexcept>
#include <vector>

#include "evaluator.h"

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

    void grow() {
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

// std::stod's contract: leading blanks skipped, longest prefix taken, errno
// left as found unless the conversion set it.
long double readNumber(const std::string& text) {
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

} // namespace

long double MathEvaluator::eval(std::string expression) {
    me_RPN compiled = compile(std::move(expression));
    currentRPN.freeLists(); // what the previous call left behind (after a failure)
    currentRPN = std::move(compiled);
    long double result = 0.0L;
    if (currentRPN.RPN_values.empty() || !run(currentRPN.RPN_values, result)) return 0.0L;
    currentRPN.freeLists();
    return result;
}

// False where the program is malformed (the caller's 0.0).
bool MathEvaluator::run(const List<Token>& program, long double& result) {
    ValueStack stack;
    for (const ListNode<Token>* node = program.head; node; node = node->next) {
        const Token& t = *node->value;
        if (t.kind != Operator) {
            // A registered name shadows the number it spells, and a function
            // name registered as a variable is read, then applied.
            if (variableNames.inList(t.text)) {
                const auto entry = externalVariables.find(t.text);
                if (entry == externalVariables.end() || !entry->second) return false;
                stack.push(*entry->second);
            } else if (t.kind != Function) {
                stack.push(readNumber(t.text));
            }
        }
        if (t.kind == Function) {
            const FunctionEntry* f = functionFor(t.text);
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
        } else if (t.kind == Operator) {
            const OperatorEntry& op = operatorFor(t.text);
            const int n = op.argumentCount;
            if (n < 0 || stack.size() < static_cast<std::size_t>(n) || !op.function) return false;
            long double right = 0.0L, left = 0.0L;
            if (n >= 1) right = stack.pop();
            if (n >= 2) left = stack.pop();
            for (int extra = 2; extra < n; ++extra) stack.pop();
            stack.push(op.function(left, right, accuracyOverEfficiency));
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

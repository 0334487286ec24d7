// eval: runs the reverse Polish program of an expression on a stack of
// extended-precision values. Structural faults (too few operands, a value too
// many at the end) give 0.0; a token that reads as no number throws.
//
// A program is resolved once against the tables and variables: each step
// knows what it does, and how deep the stack gets is known before the run.
// A step that would fail cuts the program there and says how it ends.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <memory>
#include <stdexcept>

#include "evaluator.h"
#include "prepared.h"
#include "primitives.h"

namespace {

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
// left as found unless the conversion set it. Says how a failed read ends.
Ending readNumber(std::string_view token, double& value) {
    if (readSimpleNumber(token, value)) return Ending::Value;
    const std::string text(token); // strtod wants the terminating NUL
    const char* begin = text.c_str();
    char* end = nullptr;
    const int savedErrno = errno;
    errno = 0;
    const locale_t c = cLocale();
    value = c ? strtod_l(begin, &end, c) : std::strtod(begin, &end);
    const int conversionErrno = errno;
    if (conversionErrno == 0) errno = savedErrno;
    if (end == begin) return Ending::NotANumber;
    if (conversionErrno == ERANGE) return Ending::OutOfRange;
    return Ending::Value;
}

Instruction instruction(Op op) {
    Instruction i;
    i.op = op;
    i.arity = 0;
    i.number = 0;
    return i;
}

} // namespace

void resolve(MathEvaluator& m, const Language& language, Program& program) {
    std::vector<Instruction>& code = program.code;
    code.clear();
    program.ending = Ending::Value;
    std::size_t depth = 0, maxDepth = 0;
    auto push = [&](Instruction i) {
        code.push_back(i);
        maxDepth = std::max(maxDepth, ++depth);
    };
    for (std::uint32_t index : program.output) {
        const std::string_view t = program.slice(index);
        const std::int32_t kind = program.kind(index);
        if (kind != Operator && m.isVariable(t)) {
            // A registered name shadows the number it spells, and a function
            // name registered as a variable is read, then applied.
            const auto& variables = std::as_const(m.externalVariables);
            const auto entry = variables.find(std::string(t));
            if (entry == variables.end()) {
                program.ending = Ending::Malformed;
                break;
            }
            Instruction i = instruction(Op::Variable);
            i.cell = &entry->second; // read at every run: rebinding is seen
            push(i);
        } else if (kind != Operator && kind != Function) {
            Instruction i = instruction(Op::Number);
            program.ending = readNumber(t, i.number);
            if (program.ending != Ending::Value) break;
            push(i);
        }
        if (kind == Function) {
            const NameInfo& f = language.names[language.lookup(t)];
            if (f.functionArity > 0 && depth < static_cast<std::size_t>(f.functionArity)) {
                program.ending = Ending::Malformed;
                break;
            }
            if (f.functionArity == 1) {
                if (!f.unary) {
                    program.ending = Ending::Malformed;
                    break;
                }
                Instruction i = instruction(Op::Unary);
                i.unary = f.unary;
                code.push_back(i);
            } else if (f.functionArity == 2) {
                if (!f.binary) {
                    program.ending = Ending::Malformed;
                    break;
                }
                Instruction i = instruction(Op::Binary);
                i.binary = f.binary;
                code.push_back(i);
                --depth;
            } // any other count: the token has no effect
        } else if (kind == Operator) {
            const NameInfo& o = language.names[language.lookup(t)];
            const int n = std::max(o.operatorArity, 0);
            if (static_cast<std::size_t>(n) > depth || !o.primitive) {
                program.ending = Ending::Malformed;
                break;
            }
            Instruction i = instruction(Op::Primitive);
            if (n == 2 && o.primitive == _add) i.op = Op::Add;
            if (n == 2 && o.primitive == _sub) i.op = Op::Sub;
            if (n == 2 && o.primitive == _mul) i.op = Op::Mul;
            if (n == 2 && o.primitive == _div) i.op = Op::Div;
            i.arity = n;
            i.primitive = o.primitive;
            depth -= n;
            push(i);
        }
    }
    program.depth = depth;
    program.maxDepth = maxDepth;
}

bool run(const Program& program, bool accuracyOverEfficiency, long double& result) {
    constexpr std::size_t kInline = 64;
    long double inlineStack[kInline];
    std::unique_ptr<long double[]> heapStack;
    long double* stack = inlineStack;
    if (program.maxDepth > kInline) {
        heapStack.reset(new long double[program.maxDepth]);
        stack = heapStack.get();
    }
    long double* top = stack; // one past the top value
    for (const Instruction& i : program.code) {
        switch (i.op) {
        case Op::Number:
            *top++ = i.number;
            break;
        case Op::Variable: {
            const double* cell = *i.cell;
            if (!cell) return false;
            *top++ = *cell;
            break;
        }
        case Op::Add:
            top[-2] = top[-2] + top[-1];
            --top;
            break;
        case Op::Sub:
            top[-2] = top[-2] - top[-1];
            --top;
            break;
        case Op::Mul:
            top[-2] = top[-2] * top[-1];
            --top;
            break;
        case Op::Div:
            top[-2] = top[-2] / top[-1];
            --top;
            break;
        case Op::Primitive: {
            // A one-operand operator receives its operand as `right`.
            long double right = 0.0L, left = 0.0L;
            if (i.arity >= 1) right = *--top;
            if (i.arity >= 2) left = *--top;
            top -= std::max(i.arity - 2, 0);
            *top++ = i.primitive(left, right, accuracyOverEfficiency);
            break;
        }
        case Op::Unary:
            top[-1] = i.unary(static_cast<double>(top[-1]));
            break;
        case Op::Binary:
            top[-2] = i.binary(top[-2], top[-1]);
            --top;
            break;
        }
    }
    switch (program.ending) {
    case Ending::NotANumber:
        throw std::invalid_argument("stod");
    case Ending::OutOfRange:
        throw std::out_of_range("stod");
    case Ending::Malformed:
        return false;
    case Ending::Value:
        break;
    }
    if (program.depth != 1) return false;
    result = stack[0];
    return true;
}

// The record of the last expression is complete after every call: after a
// success its token lists are empty, so they are built only for a failure.
long double MathEvaluator::eval(std::string expression) {
    Program& program = programFor(expression);
    const std::uint64_t registry = registryEdits();
    if (program.registryEdits != registry) {
        resolve(*this, prepared_->language, program);
        program.registryEdits = registry;
    }
    currentRPN.freeLists(); // what the previous call left behind (after a failure)
    if (currentRPN.RPN != program.rpn) currentRPN.RPN = program.rpn;
    if (currentRPN.expression != expression) currentRPN.expression = std::move(expression);
    long double result = 0.0L;
    bool ok = false;
    auto fillTokenLists = [&] {
        for (std::size_t i = 0; i < program.pieces.size(); ++i)
            appendToken(currentRPN.tokens, program, i);
        for (std::uint32_t i : program.output) appendToken(currentRPN.RPN_values, program, i);
    };
    try {
        ok = !program.output.empty() && run(program, accuracyOverEfficiency, result);
    } catch (...) {
        fillTokenLists();
        throw;
    }
    if (!ok) fillTokenLists();
    return ok ? result : 0.0L;
}

// The engine is never seen by the caller, so one default engine per thread
// serves every call: after each call it holds nothing of the text's size.
// While it is in use (a call from inside a call), and before or after its
// thread-local lifetime, a fresh engine serves instead.
namespace {

enum class EngineState : unsigned char { Unborn, Ready, Busy, Gone };
thread_local EngineState engineState = EngineState::Unborn; // trivially destroyed

struct ThreadEngine {
    MathEvaluator engine;
    ThreadEngine() { engineState = EngineState::Ready; }
    ~ThreadEngine() { engineState = EngineState::Gone; }
};

constexpr std::size_t kLargeText = 1 << 16;

} // namespace

long double evaluate(std::string expression) {
    if (engineState == EngineState::Unborn || engineState == EngineState::Ready) {
        thread_local ThreadEngine cached;
        if (engineState == EngineState::Ready) {
            MathEvaluator& engine = cached.engine;
            engineState = EngineState::Busy;
            struct Release {
                MathEvaluator& engine;
                bool large;
                ~Release() {
                    engine.currentRPN.freeLists();
                    if (large) {
                        engine.releaseCompilations();
                        std::string().swap(engine.currentRPN.expression);
                        std::string().swap(engine.currentRPN.RPN);
                    }
                    engineState = EngineState::Ready;
                }
            } release{engine, expression.size() > kLargeText};
            return engine.eval(std::move(expression));
        }
    }
    MathEvaluator fresh;
    return fresh.eval(std::move(expression));
}

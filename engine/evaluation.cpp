// eval: runs the reverse Polish program of an expression on a stack of
// extended-precision values. Structural faults (too few operands, a value too
// many at the end) give 0.0; a token that reads as no number throws.
//
// A program is resolved once against the tables and variables: each step
// knows what it does, and how deep the stack gets is known before the run.
// A step that would fail cuts the program there and says how it ends.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <memory>
#include <stdexcept>

#include "evaluator.h"
#include "prepared.h"
#include "primitives.h"

namespace {

// Programs this deep run on a stack in the frame of the call.
constexpr std::size_t kInlineStack = 64;

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
} // namespace

Ending readNumber(std::string_view token, double& value, std::size_t* consumed) {
    if (readSimpleNumber(token, value)) {
        if (consumed) *consumed = token.size();
        return Ending::Value;
    }
    const std::string text(token); // strtod wants the terminating NUL
    const char* begin = text.c_str();
    char* end = nullptr;
    const int savedErrno = errno;
    errno = 0;
    const locale_t c = cLocale();
    value = c ? strtod_l(begin, &end, c) : std::strtod(begin, &end);
    const int conversionErrno = errno;
    if (conversionErrno == 0) errno = savedErrno;
    if (consumed) *consumed = static_cast<std::size_t>(end - begin);
    if (end == begin) return Ending::NotANumber;
    if (conversionErrno == ERANGE) return Ending::OutOfRange;
    return Ending::Value;
}

namespace {

Instruction instruction(Op op) {
    Instruction i;
    i.op = op;
    i.arity = 0;
    i.number = 0;
    i.number2 = 0;
    return i;
}

// The functions whose result depends on their arguments alone: a step of
// one of them on constants is done once, when the program is resolved, with
// the very operations a run would do, so the bits are the same.
bool isPure(OperatorFunction f) {
    return f == _add || f == _sub || f == _mul || f == _div || f == _mod || f == _pow ||
           f == _factorial;
}

bool isPure(UnaryFunction f) {
    for (UnaryFunction known :
         {static_cast<UnaryFunction>(std::sin), static_cast<UnaryFunction>(std::cos),
          static_cast<UnaryFunction>(std::tan), static_cast<UnaryFunction>(std::asin),
          static_cast<UnaryFunction>(std::acos), static_cast<UnaryFunction>(std::atan),
          static_cast<UnaryFunction>(std::sqrt)})
        if (f == known) return true;
    return false;
}

// Builds the code of a program, folding constant steps and giving
// arithmetic steps their right operand where the step before pushed it.
class Emitter {
public:
    Emitter(Code& code, bool accurate) : code_(code), accurate_(accurate) {
        code_.steps.clear();
        code_.constants.clear();
    }

    void push(const Instruction& i) { code_.steps.push_back(i); }

    void unary(UnaryFunction f) {
        long double x;
        if (isPure(f) && takeConstant(x)) return constant(f(static_cast<double>(x)));
        Instruction i = instruction(Op::Unary);
        i.unary = f;
        if (f == static_cast<UnaryFunction>(std::sqrt)) i.op = Op::Sqrt;
        push(i);
    }

    void primitive(OperatorFunction f, int arity) {
        if (isPure(f) && arity == 2 && constants(2)) {
            const long double right = popConstant();
            return constant(f(popConstant(), right, accurate_));
        }
        if (isPure(f) && arity == 1 && constants(1))
            return constant(f(0, popConstant(), accurate_));
        Instruction i = instruction(Op::Primitive);
        i.arity = arity;
        i.primitive = f;
        if (arity == 2 && !code_.steps.empty()) {
            Instruction& last = code_.steps.back();
            const int fused = f == _add ? 0 : f == _sub ? 1 : f == _mul ? 2 : f == _div ? 3 : -1;
            if (last.op == Op::Number && fused >= 0) {
                last.op = static_cast<Op>(static_cast<int>(Op::AddNumber) + fused);
                return;
            }
            if (last.op == Op::Variable && fused >= 0) {
                last.op = static_cast<Op>(static_cast<int>(Op::AddVariable) + fused);
                return;
            }
            if (last.op == Op::Number && f == _pow) {
                last.op = Op::PowNumber;
                return;
            }
            if (last.op == Op::Number) {
                i.op = Op::PrimitiveNumber;
                i.number2 = last.number;
                last = i;
                return;
            }
            if (fused >= 0) i.op = static_cast<Op>(static_cast<int>(Op::Add) + fused);
            if (f == _pow) i.op = Op::Pow;
        }
        push(i);
    }

private:
    Code& code_;
    bool accurate_;

    bool isConstant(const Instruction& i) const {
        return i.op == Op::Number || i.op == Op::Constant;
    }
    bool constants(std::size_t n) const {
        const auto& code = code_.steps;
        if (code.size() < n) return false;
        for (std::size_t k = 1; k <= n; ++k)
            if (!isConstant(code[code.size() - k])) return false;
        return true;
    }
    long double popConstant() {
        const Instruction i = code_.steps.back();
        code_.steps.pop_back();
        if (i.op == Op::Number) return i.number;
        const long double value = code_.constants[i.index];
        if (i.index + 1 == code_.constants.size()) code_.constants.pop_back();
        return value;
    }
    bool takeConstant(long double& value) {
        if (!constants(1)) return false;
        value = popConstant();
        return true;
    }
    void constant(long double value) {
        Instruction i = instruction(Op::Constant);
        i.index = code_.constants.size();
        code_.constants.push_back(value);
        push(i);
    }
};

} // namespace

void resolve(MathEvaluator& m, const Language& language, const Program& program, Code& code,
             const Overlay* overlay) {
    Emitter emit(code, m.accuracyOverEfficiency);
    code.accurate = m.accuracyOverEfficiency;
    code.ending = Ending::Value;
    // The depth the steps as written leave, which decides where the run
    // fails; folding and fusing only ever make the stack shallower.
    std::size_t depth = 0, maxDepth = 0;
    auto pushed = [&] { maxDepth = std::max(maxDepth, ++depth); };
    auto fail = [&](Ending ending) { code.ending = ending; };
    auto bound = [&](std::string_view name) -> double* const* {
        if (!overlay) return nullptr;
        for (std::size_t k = 0; k < overlay->names.size(); ++k)
            if (overlay->names[k] == name) return overlay->slots + k;
        return nullptr;
    };
    for (std::uint32_t index : program.output) {
        const std::string_view t = program.slice(index);
        const std::int32_t kind = program.kind(index);
        double* const* slot = kind != Operator ? bound(t) : nullptr;
        if (slot) {
            Instruction i = instruction(Op::Variable);
            i.cell = slot;
            emit.push(i);
            pushed();
        } else if (kind != Operator && m.isVariable(t)) {
            // A registered name shadows the number it spells, and a function
            // name registered as a variable is read, then applied.
            const auto& variables = std::as_const(m.externalVariables);
            const auto entry = variables.find(std::string(t));
            if (entry == variables.end()) {
                fail(Ending::Malformed);
                break;
            }
            Instruction i = instruction(Op::Variable);
            i.cell = &entry->second; // read at every run: rebinding is seen
            emit.push(i);
            pushed();
        } else if (kind != Operator && kind != Function) {
            Instruction i = instruction(Op::Number);
            const Ending read = readNumber(t, i.number);
            if (read != Ending::Value) {
                fail(read);
                break;
            }
            emit.push(i);
            pushed();
        }
        if (kind == Function) {
            const NameInfo& f = language.names[language.lookup(t)];
            const int n = f.functionArity;
            if (n > 0 && depth < static_cast<std::size_t>(n)) {
                fail(Ending::Malformed);
                break;
            }
            if (!f.hasRoutine()) {
                fail(Ending::Malformed);
                break;
            }
            if (n == 1 && f.callUnary) {
                Instruction i = instruction(Op::CallUnary);
                i.callUnary = f.callUnary;
                emit.push(i);
            } else if (n == 1) {
                emit.unary(f.unary);
            } else if (n == 2) {
                Instruction i = instruction(f.callBinary ? Op::CallBinary : Op::Binary);
                if (f.callBinary)
                    i.callBinary = f.callBinary;
                else
                    i.binary = f.binary;
                emit.push(i);
                --depth;
            } // any other count: the token has no effect
        } else if (kind == Operator) {
            const NameInfo& o = language.names[language.lookup(t)];
            const int n = std::max(o.operatorArity, 0);
            if (static_cast<std::size_t>(n) > depth || !o.primitive) {
                fail(Ending::Malformed);
                break;
            }
            emit.primitive(o.primitive, n);
            depth -= n;
            pushed();
        }
    }
    code.depth = depth;
    code.maxDepth = maxDepth;
    // A push onto an empty stack has nothing to save below it.
    std::size_t values = 0;
    bool callsOut = false;
    for (Instruction& i : code.steps) {
        switch (i.op) {
        case Op::Number:
        case Op::Constant:
        case Op::Variable:
            if (values++ == 0)
                i.op = static_cast<Op>(static_cast<int>(i.op) - static_cast<int>(Op::Number) +
                                       static_cast<int>(Op::NumberFirst));
            break;
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
        case Op::Pow:
        case Op::Binary:
        case Op::CallBinary:
            --values;
            break;
        case Op::Primitive:
            values = values + 1 - static_cast<std::size_t>(i.arity);
            callsOut |= !isPure(i.primitive);
            break;
        case Op::PrimitiveNumber:
            callsOut |= !isPure(i.primitive);
            break;
        case Op::Unary:
            callsOut |= !isPure(i.unary);
            break;
        default:
            break;
        }
        callsOut |= i.op == Op::Binary || i.op == Op::CallUnary || i.op == Op::CallBinary;
    }
    code.callsOut = callsOut;
    code.direct = code.ending == Ending::Value && code.depth == 1 && !callsOut &&
                  code.maxDepth + 2 <= kInlineStack;
}

namespace {

// Runs the code with `below` as the stack under the accumulator `top`, which
// stays in a register while the arithmetic steps use it. False where a
// variable has lost its cell.
[[gnu::always_inline]] inline long double execute(const Code& code, long double* below,
                                                  bool accuracyOverEfficiency, bool& ok) {
    const long double* constants = code.constants.data();
    // The two topmost values live in registers; `below` holds the rest.
    long double top = 0.0L, next = 0.0L;
    auto push = [&](long double v) {
        *below++ = next;
        next = top;
        top = v;
    };
    auto pop = [&] {
        const long double left = next;
        next = *--below;
        return left;
    };
    auto variable = [&](const Instruction& i, long double& value) {
        const double* cell = *i.cell;
        if (!cell) return false;
        value = *cell;
        return true;
    };
    long double v;
    for (const Instruction& i : code.steps) {
        switch (i.op) {
        case Op::Number:
            push(i.number);
            break;
        case Op::Constant:
            push(constants[i.index]);
            break;
        case Op::Variable:
            if (!variable(i, v)) return ok = false;
            push(v);
            break;
        case Op::NumberFirst:
            top = i.number;
            break;
        case Op::ConstantFirst:
            top = constants[i.index];
            break;
        case Op::VariableFirst:
            if (!variable(i, top)) return ok = false;
            break;
        case Op::Add:
            top = pop() + top;
            break;
        case Op::Sub:
            top = pop() - top;
            break;
        case Op::Mul:
            top = pop() * top;
            break;
        case Op::Div:
            top = pop() / top;
            break;
        case Op::AddNumber:
            top += i.number;
            break;
        case Op::SubNumber:
            top -= i.number;
            break;
        case Op::MulNumber:
            top *= i.number;
            break;
        case Op::DivNumber:
            top /= i.number;
            break;
        case Op::AddVariable:
            if (!variable(i, v)) return ok = false;
            top += v;
            break;
        case Op::SubVariable:
            if (!variable(i, v)) return ok = false;
            top -= v;
            break;
        case Op::MulVariable:
            if (!variable(i, v)) return ok = false;
            top *= v;
            break;
        case Op::DivVariable:
            if (!variable(i, v)) return ok = false;
            top /= v;
            break;
        case Op::Primitive: {
            // A one-operand operator receives its operand as `right`; the
            // values past the second are dropped.
            if (i.arity == 0) {
                push(i.primitive(0.0L, 0.0L, accuracyOverEfficiency));
                break;
            }
            const long double right = top;
            const long double left = i.arity >= 2 ? pop() : 0.0L;
            for (int extra = 2; extra < i.arity; ++extra) pop();
            top = i.primitive(left, right, accuracyOverEfficiency);
            break;
        }
        case Op::PrimitiveNumber:
            top = i.primitive(top, i.number2, accuracyOverEfficiency);
            break;
        case Op::Pow:
            top = std::pow(static_cast<double>(pop()), static_cast<double>(top));
            break;
        case Op::PowNumber:
            top = std::pow(static_cast<double>(top), i.number);
            break;
        case Op::Unary:
            top = i.unary(static_cast<double>(top));
            break;
        case Op::Sqrt:
            top = std::sqrt(static_cast<double>(top));
            break;
        case Op::Binary:
            top = i.binary(pop(), top);
            break;
        case Op::CallUnary:
            top = (*i.callUnary)(static_cast<double>(top));
            break;
        case Op::CallBinary: {
            const long double left = pop();
            top = (*i.callBinary)(left, top);
            break;
        }
        default:
            __builtin_unreachable(); // resolve makes no other step
        }
    }
    return top;
}

[[gnu::noinline]] long double executeDeep(const Code& code, bool accuracyOverEfficiency, bool& ok) {
    std::vector<long double> stack(code.maxDepth + 2);
    return execute(code, stack.data(), accuracyOverEfficiency, ok);
}

} // namespace

bool run(const Code& code, bool accuracyOverEfficiency, long double& result) {
    bool ok = true;
    long double stack[kInlineStack];
    const long double top = code.maxDepth + 2 <= kInlineStack
                                ? execute(code, stack, accuracyOverEfficiency, ok)
                                : executeDeep(code, accuracyOverEfficiency, ok);
    if (!ok) return false;
    switch (code.ending) {
    case Ending::NotANumber:
        throw std::invalid_argument("stod");
    case Ending::OutOfRange:
        throw std::out_of_range("stod");
    case Ending::Malformed:
        return false;
    case Ending::Value:
        break;
    }
    if (code.depth != 1) return false;
    result = top;
    return true;
}

// The record of the last expression is complete after every call: after a
// success its token lists are empty, so they are built only for a failure.
long double MathEvaluator::eval(std::string expression) {
    Program& program = programFor(expression);
    if (program.registryEdits != registryEdits() || program.code.accurate != accuracyOverEfficiency)
        resolveAgain(program);
    // What the previous call left behind (after a failure).
    if (currentRPN.tokens.head || currentRPN.RPN_values.head) currentRPN.freeLists();
    if (!sameText(currentRPN.RPN, program.rpn)) currentRPN.RPN = program.rpn;
    if (!sameText(currentRPN.expression, expression)) currentRPN.expression = std::move(expression);
    if (program.code.direct) { // the common case: nothing to fail, nothing that throws
        bool ok = true;
        long double stack[kInlineStack];
        const long double value = execute(program.code, stack, accuracyOverEfficiency, ok);
        if (ok) return value;
    }
    return finish(program);
}

void MathEvaluator::resolveAgain(Program& program) {
    resolve(*this, prepared_->language, program, program.code);
    program.registryEdits = registryEdits();
}

// The general run: a program that fails, throws or may call out; after a
// failure the record gets the token lists.
long double MathEvaluator::finish(Program& program) {
    long double result = 0.0L;
    bool ok = false;
    auto fillTokenLists = [&] {
        for (std::size_t i = 0; i < program.pieces.size(); ++i)
            appendToken(currentRPN.tokens, program, i);
        for (std::uint32_t i : program.output) appendToken(currentRPN.RPN_values, program, i);
    };
    try {
        ok = !program.output.empty() && run(program.code, accuracyOverEfficiency, result);
    } catch (...) {
        fillTokenLists();
        throw;
    }
    if (!ok) fillTokenLists();
    return ok ? result : 0.0L;
}

namespace {

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
                ok = operand(i, first, count, depth, [](long double& t, double v) { t += v; });
                break;
            case Op::SubVariable:
                ok = operand(i, first, count, depth, [](long double& t, double v) { t -= v; });
                break;
            case Op::MulVariable:
                ok = operand(i, first, count, depth, [](long double& t, double v) { t *= v; });
                break;
            case Op::DivVariable:
                ok = operand(i, first, count, depth, [](long double& t, double v) { t /= v; });
                break;
            case Op::PowNumber:
                each(depth, count,
                     [&](long double& t) { t = std::pow(static_cast<double>(t), i.number); });
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
            default: // binary functions call out: never run here
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
        return operand(i, first, count, depth, [](long double& t, double v) { t = v; });
    }
};

} // namespace

void MathEvaluator::evalMany(std::string expression, const std::vector<Column>& columns,
                             std::size_t count, double* out, std::ptrdiff_t outStride) {
    const Program& program = programFor(expression);
    // The columns are read through cells of their own, as registered
    // variables would be, filled anew for each element.
    std::vector<double> cells(columns.size());
    std::vector<double*> slots(columns.size());
    Overlay overlay{{}, slots.data()};
    for (std::size_t k = 0; k < columns.size(); ++k) {
        slots[k] = &cells[k];
        overlay.names.push_back(columns[k].name);
    }
    Code code;
    resolve(*this, prepared_->language, program, code, &overlay);
    if (code.ending == Ending::NotANumber) throw std::invalid_argument("stod");
    if (code.ending == Ending::OutOfRange) throw std::out_of_range("stod");
    auto at = [](double* base, std::ptrdiff_t stride, std::size_t i) {
        return reinterpret_cast<char*>(base) + static_cast<std::ptrdiff_t>(i) * stride;
    };
    const bool malformed =
        program.output.empty() || code.ending != Ending::Value || code.depth != 1;
    if (malformed && !code.callsOut) { // every element is the failure value
        for (std::size_t i = 0; i < count; ++i) {
            const double zero = 0.0;
            std::memcpy(at(out, outStride, i), &zero, sizeof zero);
        }
        return;
    }
    if (!malformed && !code.callsOut && code.maxDepth < kInlineStack) {
        BlockRunner blocks(code, columns, slots.data(), accuracyOverEfficiency);
        for (std::size_t first = 0; first < count; first += BlockRunner::kBlock)
            blocks.run(first, std::min(count - first, BlockRunner::kBlock),
                       at(out, outStride, first), outStride);
        return;
    }
    // Element by element: deep stacks, and functions from outside the engine,
    // which see the elements in order.
    std::vector<long double> deep(code.maxDepth + 2 > kInlineStack ? code.maxDepth + 2 : 0);
    long double shallow[kInlineStack];
    long double* stack = deep.empty() ? shallow : deep.data();
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < columns.size(); ++k)
            std::memcpy(&cells[k], at(const_cast<double*>(columns[k].values), columns[k].stride, i),
                        sizeof(double));
        bool ok = !program.output.empty();
        const long double value = ok ? execute(code, stack, accuracyOverEfficiency, ok) : 0.0L;
        const double result = ok && !malformed ? static_cast<double>(value) : 0.0;
        std::memcpy(at(out, outStride, i), &result, sizeof result);
    }
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

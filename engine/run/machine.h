// The run of resolved code: one loop over its steps, the two topmost values
// in registers. Shared by eval and by evalMany's element-by-element path.
#pragma once

#include <cmath>
#include <cstdint>

#include "powers.h"
#include "program.h"

namespace velmoratrix {

// The standard syntax's power of a constant whole exponent: the product it
// denotes, by squaring from the lowest bit (x*x, x*(x*x), (x*x)*(x*x), ...),
// each product rounded to 64 bits as any product is; a negative exponent
// divides 1 by it. x**0 is 1, a NaN's too. Generated code does the same.
inline Real powInteger(Real x, double exponent) {
    auto m = static_cast<std::uint32_t>(exponent < 0 ? -exponent : exponent);
    if (m == 0) return 1;
    Real base = x, result = 0;
    for (bool first = true;; first = false) {
        while (!(m & 1)) {
            base = base * base;
            m >>= 1;
        }
        result = first ? base : result * base;
        m >>= 1;
        if (!m) break;
        base = base * base;
    }
    return exponent < 0 ? 1 / result : result;
}

// The square root in extended precision, with pow's answers where they
// differ from it: pow(-0, 0.5) is +0, pow(-inf, 0.5) is +inf.
// x87's fsqrt takes any operand at one cost, so no branch decides its
// operand; the software root skips its work for a negative one.
inline Real powHalf(Real x) {
#ifdef VELMO_X87
    if (x == -Real(__builtin_inf())) return Real(__builtin_inf());
    return realSqrt(x + Real(0.0));
#else
    // The root answers all but -0 and -inf as pow does; two tests of bits.
    const soft::Extended v = x.bits();
    if (v.signExponent == 0x8000 && v.significand == 0) return Real(0.0);
    if (v.signExponent == 0xffff && v.significand == std::uint64_t{1} << 63)
        return Real(__builtin_inf());
    return realSqrt(x);
#endif
}

// Code this deep runs on a stack in the frame of the call.
constexpr std::size_t kInlineStack = 64;

// A step that takes its right operand from a variable takes the double from
// memory, as generated code does. The form decides the NaN of the result: a
// signaling NaN from memory meets a NaN accumulator with the accumulator's
// NaN as the result, where one loaded first would be quiet and the larger
// payload would win. Spelled out, so no compiler picks the other form.
#ifdef VELMO_X87
inline void addFrom(Real& top, const double& v) {
    __asm__("faddl %1" : "+t"(top) : "m"(v));
}
inline void subFrom(Real& top, const double& v) {
    __asm__("fsubl %1" : "+t"(top) : "m"(v));
}
inline void mulFrom(Real& top, const double& v) {
    __asm__("fmull %1" : "+t"(top) : "m"(v));
}
inline void divFrom(Real& top, const double& v) {
    __asm__("fdivl %1" : "+t"(top) : "m"(v));
}
#else
template <soft::Extended (*operation)(soft::Extended, soft::Extended)>
[[gnu::always_inline]] inline void withDouble(Real& top, const double& v) {
    top = Real::of(operation(top.bits(), soft::operandOf(v)));
}
[[gnu::always_inline]] inline void addFrom(Real& top, const double& v) {
    withDouble<soft::add>(top, v);
}
[[gnu::always_inline]] inline void subFrom(Real& top, const double& v) {
    withDouble<soft::subtract>(top, v);
}
[[gnu::always_inline]] inline void mulFrom(Real& top, const double& v) {
    withDouble<soft::multiply>(top, v);
}
[[gnu::always_inline]] inline void divFrom(Real& top, const double& v) {
    withDouble<soft::divide>(top, v);
}
#endif

// Where a step reads its variable: the cell its slot points to.
struct CellsOfSlots {
    const double* operator()(const Instruction& i) const { return *i.cell; }
};

// Runs the code with `below` as the stack under the accumulator `top`, which
// stays in a register while the arithmetic steps use it. False where a
// variable has lost its cell. `cells` finds each variable's double.
template <typename Cells = CellsOfSlots>
[[gnu::always_inline]] inline Real
execute(const Code& code, Real* below, bool accuracyOverEfficiency, bool& ok, Cells cells = {}) {
    const Real* constants = code.constants.data();
    // The two topmost values live in registers; `below` holds the rest.
    Real top = 0.0L, next = 0.0L;
    auto push = [&](Real v) {
        *below++ = next;
        next = top;
        top = v;
    };
    auto pop = [&] {
        const Real left = next;
        next = *--below;
        return left;
    };
    auto variable = [&](const Instruction& i, Real& value) {
        const double* cell = cells(i);
        if (!cell) return false;
        value = *cell;
        return true;
    };
    // The accumulator with a variable's double, as f takes it from memory.
    auto withVariable = [&](const Instruction& i, void (*f)(Real&, const double&)) {
        const double* cell = cells(i);
        if (!cell) return false;
        f(top, *cell);
        return true;
    };
    Real v;
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
            if (!withVariable(i, addFrom)) return ok = false;
            break;
        case Op::SubVariable:
            if (!withVariable(i, subFrom)) return ok = false;
            break;
        case Op::MulVariable:
            if (!withVariable(i, mulFrom)) return ok = false;
            break;
        case Op::DivVariable:
            if (!withVariable(i, divFrom)) return ok = false;
            break;
        case Op::Primitive: {
            // A one-operand operator receives its operand as `right`; the
            // values past the second are dropped.
            if (i.arity == 0) {
                push(i.primitive(0.0L, 0.0L, accuracyOverEfficiency));
                break;
            }
            const Real right = top;
            const Real left = i.arity >= 2 ? pop() : 0.0L;
            for (int extra = 2; extra < i.arity; ++extra) pop();
            top = i.primitive(wide(left), wide(right), accuracyOverEfficiency);
            break;
        }
        case Op::PrimitiveNumber:
            top = i.primitive(wide(top), i.number2, accuracyOverEfficiency);
            break;
        case Op::Less:
            top = pop() < top ? 1.0L : 0.0L;
            break;
        case Op::LessEqual:
            top = pop() <= top ? 1.0L : 0.0L;
            break;
        case Op::Greater:
            top = pop() > top ? 1.0L : 0.0L;
            break;
        case Op::GreaterEqual:
            top = pop() >= top ? 1.0L : 0.0L;
            break;
        case Op::Equal:
            top = pop() == top ? 1.0L : 0.0L;
            break;
        case Op::NotEqual:
            top = pop() != top ? 1.0L : 0.0L;
            break;
        case Op::Not:
            top = top == 0 ? 1.0L : 0.0L;
            break;
        case Op::Truth:
            top = top != 0 ? 1.0L : 0.0L;
            break;
        case Op::Select: {
            const Real chosen = pop();
            top = pop() != 0 ? chosen : top;
            break;
        }
        case Op::PowInteger:
            top = powInteger(top, i.number);
            break;
        case Op::PowHalf:
            top = powHalf(top);
            break;
        case Op::Pow:
            top = libraryPow(static_cast<double>(pop()), static_cast<double>(top));
            break;
        case Op::PowNumber:
#ifdef VELMO_POWERS_ON_X87
            top = powNumberOnX87(static_cast<double>(top), i.number);
#else
            top = powNumber(static_cast<double>(top), i.number);
#endif
            break;
        case Op::Unary: {
            const double x = static_cast<double>(top);
            top = i.library ? madeNaN(i.unary(x), x) : i.unary(x);
        } break;
        case Op::Sqrt:
#ifdef VELMO_POWERS_ON_X87
            top = sqrtOnX87(static_cast<double>(top));
#else
            top = librarySqrt(static_cast<double>(top));
#endif
            break;
        case Op::Binary: {
            const Real left = pop();
            top = i.binary(wide(left), wide(top));
        } break;
        case Op::CallUnary:
            top = (*i.callUnary)(static_cast<double>(top));
            break;
        case Op::CallBinary: {
            const Real left = pop();
            top = (*i.callBinary)(wide(left), wide(top));
            break;
        }
        case Op::CallNary: {
            double arguments[kMostArguments];
            const auto n = static_cast<std::size_t>(i.arity);
            if (n == 0) {
                push((*i.callNary)(arguments, 0));
                break;
            }
            arguments[n - 1] = static_cast<double>(top);
            for (std::size_t k = n - 1; k-- > 0;) arguments[k] = static_cast<double>(pop());
            top = (*i.callNary)(arguments, n);
            break;
        }
        default:
            __builtin_unreachable(); // resolve makes no other step
        }
    }
    return top;
}

// The value of one step on the `count` values it takes (bottom first), as a
// run computes it: for the steps that are worked out before any run.
inline Real stepValue(const Instruction& step, const Real* operands, std::size_t count,
                      bool accuracyOverEfficiency) {
    Code one;
    one.constants.assign(operands, operands + count);
    for (std::size_t k = 0; k < count; ++k) {
        Instruction c{};
        c.op = Op::Constant;
        c.index = k;
        one.steps.push_back(c);
    }
    one.steps.push_back(step);
    Real below[kMostArguments + 4];
    bool ok = true;
    return execute(one, below, accuracyOverEfficiency, ok);
}

} // namespace velmoratrix

#include "language.h"

#include <cmath>
#include <limits>

#include "elementary.h"
#include "real.h"

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
    return elementary::hypot(static_cast<double>(a), static_cast<double>(b));
}
long double angle(long double y, long double x) {
    return elementary::atan2(static_cast<double>(y), static_cast<double>(x));
}
long double power(long double a, long double b) {
    return elementary::pow(static_cast<double>(a), static_cast<double>(b));
}
long double remainderOf(long double a, long double b) {
    return wide(realFmod(a, b)); // exact
}

double notANumber(double x) {
    return std::isnan(x) ? 1.0 : 0.0;
}
double infinite(double x) {
    return std::isinf(x) ? 1.0 : 0.0;
}
double finite(double x) {
    return std::isfinite(x) ? 1.0 : 0.0;
}
double signOf(double x) { // a zero or a NaN is its own sign
    return x > 0 ? 1.0 : x < 0 ? -1.0 : x;
}

BuiltinFunction unary(const char* name, UnaryFunction f) {
    return {name, BuiltinFunction::Call, f, nullptr};
}
BuiltinFunction binary(const char* name, BinaryFunction f,
                       BuiltinFunction::Form form = BuiltinFunction::Call) {
    return {name, form, nullptr, f};
}
UnaryFunction c(double (*f)(double)) {
    return f;
}
// One of the engine's own in place of the C library's function a table
// entry holds from the start (sin ... atan).
BuiltinFunction replacing(const char* name, UnaryFunction own, double (*library)(double)) {
    return {name, BuiltinFunction::Call, own, nullptr, library};
}

std::vector<BuiltinFunction> standardFunctions() {
    using F = BuiltinFunction;
    return {
        replacing("sin", elementary::sin, std::sin),
        replacing("cos", elementary::cos, std::cos),
        replacing("tan", elementary::tan, std::tan),
        replacing("asin", elementary::asin, std::asin),
        replacing("acos", elementary::acos, std::acos),
        replacing("atan", elementary::atan, std::atan),
        unary("exp", elementary::exp),
        unary("log", elementary::log),
        unary("log10", elementary::log10),
        unary("log2", elementary::log2),
        unary("abs", c(std::fabs)),
        unary("floor", c(std::floor)),
        unary("ceil", c(std::ceil)),
        binary("min", smaller, F::Fold),
        binary("max", larger, F::Fold),
        binary("hypot", hypotenuse),
        binary("atan2", angle),
        binary("pow", power, F::Power),
        unary("isnan", notANumber),
        unary("isinf", infinite),
        unary("isfinite", finite),
        unary("sign", signOf),
        unary("round", c(std::round)),
        unary("trunc", c(std::trunc)),
        unary("cbrt", elementary::cbrt),
        unary("exp2", elementary::exp2),
        unary("expm1", elementary::expm1),
        unary("log1p", elementary::log1p),
        unary("sinh", elementary::sinh),
        unary("cosh", elementary::cosh),
        unary("tanh", elementary::tanh),
        unary("asinh", elementary::asinh),
        unary("acosh", elementary::acosh),
        unary("atanh", elementary::atanh),
        // numpy's names beside ours.
        unary("arcsin", elementary::asin),
        unary("arccos", elementary::acos),
        unary("arctan", elementary::atan),
        binary("arctan2", angle),
        unary("arcsinh", elementary::asinh),
        unary("arccosh", elementary::acosh),
        unary("arctanh", elementary::atanh),
        unary("absolute", c(std::fabs)),
        binary("power", power, F::Power),
        binary("fmod", remainderOf),
        // Calls it reads itself.
        {"where", F::Select, nullptr, nullptr},
        {"if", F::Select, nullptr, nullptr},
        {"clip", F::Clip, nullptr, nullptr},
        {"is_null", F::IsNull, nullptr, nullptr},
        {"fill_null", F::FillNull, nullptr, nullptr},
        {"coalesce", F::Coalesce, nullptr, nullptr},
    };
}

} // namespace

Language::Language(Syntax syntax, std::vector<BuiltinFunction> functions)
    : syntax_(syntax), functions_(std::move(functions)) {
    for (std::size_t k = 0; k < functions_.size(); ++k) byName_.emplace(functions_[k].name, k);
}

bool Language::constant(std::string_view name, double& value) const {
    if (syntax_ != Syntax::Standard) return false;
    if (name == "pi")
        value = 3.141592653589793;
    else if (name == "e")
        value = 2.718281828459045;
    else if (name == "nan")
        value = std::numeric_limits<double>::quiet_NaN();
    else if (name == "inf")
        value = std::numeric_limits<double>::infinity();
    else if (name == "True")
        value = 1;
    else if (name == "False")
        value = 0;
    else
        return false;
    return true;
}

const Language& velmoratrix::languageOf(Syntax syntax) {
    // Never destroyed: a thread may still read a text at exit.
    static const Language* const classic = new Language(Syntax::Classic, {});
    static const Language* const standard = new Language(Syntax::Standard, standardFunctions());
    return syntax == Syntax::Standard ? *standard : *classic;
}

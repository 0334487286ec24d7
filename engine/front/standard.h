// The standard syntax: the formulas people type (blanks between tokens,
// signed exponents, unary minus and plus, "**", comparisons, logic, the
// conditional, quoted names, functions of any count of arguments), read by
// a parser of its own straight into steps of the engine's program. The
// classic front end and this one meet only at the program: both resolve to
// the same code, which one interpreter, generator and block runner run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "evaluator.h"
#include "program.h"

namespace velmoratrix {

// Reads text into steps, with the language's functions (a name before "("
// must be one, taking as many arguments as the call gives). Names are found
// when the steps are resolved. False, with the first problem in `failure`,
// where the text cannot be read; `tokens`, where given, gets what was read.
// `condition`, where given, says whether its value is a truth value (its
// last step compares or is logical).
bool readStandard(const Language& language, std::string_view text, std::vector<StandardStep>& steps,
                  Diagnostic& failure, std::vector<Explanation::Token>* tokens = nullptr,
                  bool* condition = nullptr);

// Python's and numpy's % and // (the remainder takes the divisor's sign, the
// quotient is floored), with their rules for NaN, infinities and zero.
long double floorRemainder(long double a, long double b, bool);
long double floorQuotient(long double a, long double b, bool);

// What a name of a standard text reads where neither a column, a per-call
// value nor a registered variable has it: pi, e, nan, inf, True and False.
bool standardConstant(std::string_view name, double& value);

// The cell of a registered variable of that name (listed, and in the
// table), or null.
double* const* registeredCell(MathEvaluator& m, std::string_view name);

// The first name of the steps that nothing binds: a registered variable, a
// name of `known`, or a constant. False where every name is bound.
bool unboundName(MathEvaluator& m, const std::vector<StandardStep>& steps, std::string_view text,
                 const std::unordered_set<std::string_view>& known, Diagnostic& problem);

// The functions a standard evaluator's tables have beside the seven built-in ones.
struct StandardFunction {
    const char* name;
    UnaryFunction unary;
    BinaryFunction binary;
};
constexpr std::size_t kStandardFunctionCount = 38;
extern const StandardFunction kStandardFunctions[kStandardFunctionCount];

} // namespace velmoratrix

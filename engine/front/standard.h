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
#include <vector>

#include "evaluator.h"
#include "language.h"
#include "program.h"

namespace velmoratrix {

// Reads text into steps, with the language's functions and the tables'
// (a name before "(" must be one, taking as many arguments as the call
// gives; the tables' entry of a name comes first). Names are found when the
// steps are resolved. False, with the first problem in `failure`, where the
// text cannot be read; `tokens`, where given, gets what was read.
// `condition`, where given, says whether its value is a truth value (its
// last step compares or is logical).
bool readStandard(const Language& language, const Lookups& tables, std::string_view text,
                  std::vector<StandardStep>& steps, Diagnostic& failure,
                  std::vector<Explanation::Token>* tokens = nullptr, bool* condition = nullptr);

// Python's and numpy's % and // (the remainder takes the divisor's sign, the
// quotient is floored), with their rules for NaN, infinities and zero.
long double floorRemainder(long double a, long double b, bool);
long double floorQuotient(long double a, long double b, bool);
// is_null and fill_null where no value is null: 0, and the first value. A run
// over columns with nulls reads their steps' rules (NullRule).
long double nullTest(long double, long double, bool);
long double keepFirst(long double a, long double, bool);

} // namespace velmoratrix

// The standard syntax: the formulas people type (blanks between tokens, a
// signed exponent, unary minus and plus, "**"), read by a parser of its own
// and written out as a text of the specified language with every operation
// in parentheses, which the engine then compiles and runs as any other. So
// both syntaxes share one compiler, one run and one set of tables, and a
// text valid in both gives the same bits in both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "evaluator.h"
#include "prepared.h"

namespace velmoratrix {

// A standard text, read: the classic text it means, and the names it reads
// as variables (offset and length in the standard text), or where it fails.
struct Translation {
    std::string classic;
    std::vector<std::pair<std::size_t, std::size_t>> names, functions;
    // The numbers as written in the classic text (offset, length there), with
    // where they stand in the standard one; a variable of that name would
    // stand in for the number.
    struct Number {
        std::size_t classic, length, offset, written;
    };
    std::vector<Number> numbers;
    bool failed = false;
    Diagnostic failure{0, 0, true, {}};
};

// Reads text with the language's functions (a name before "(" must be one,
// with its argument count). Variables are not checked here: see checkNames.
Translation translate(const Language& language, std::string_view text);

// Whether t reads: it did not fail, and no name of it is neither registered
// nor known, nor a function that is also a variable (which the specified
// language would read, then apply). The first such name becomes t's failure.
bool checkNames(MathEvaluator& m, Translation& t, std::string_view text,
                const std::unordered_set<std::string_view>& known);

// The functions a standard evaluator has beside the specified seven.
struct StandardFunction {
    const char* name;
    UnaryFunction unary;
    BinaryFunction binary;
};
extern const StandardFunction kStandardFunctions[12];

} // namespace velmoratrix

// What a syntax brings of its own beside an evaluator's tables: functions
// and constants its texts read, the same for every evaluator. A switch of
// syntax edits no table: a text is read with its syntax's language and the
// evaluator's tables, whose entries (the caller's) come first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "callables.h"
#include "evaluator.h"

namespace velmoratrix {

// A function of a syntax's own, and how a call reads its arguments.
struct BuiltinFunction {
    enum Form : std::uint8_t {
        Call,   // `unary` or `binary`, of one or two arguments
        Fold,   // `binary` over one or more arguments (min, max)
        Power,  // as "^" (pow, power)
        Select, // c ? a : b (where, if)
        Clip,   // min(max(x, lo), hi)
        // What a null reads as (NullRule): is_null(x), fill_null(x, v),
        // coalesce(a, b, ...).
        IsNull,
        FillNull,
        Coalesce,
    };
    // A call the syntax reads itself, whose name is a name elsewhere.
    bool readsItself() const { return unary == nullptr && binary == nullptr; }
    const char* name;
    Form form;
    UnaryFunction unary;
    BinaryFunction binary;
    // The C library's function of the name, which every evaluator's table
    // starts with (sin ... atan): an entry still holding it reads as this.
    UnaryFunction replaces = nullptr;
};

class Language {
public:
    Language(Syntax syntax, std::vector<BuiltinFunction> functions);
    Syntax syntax() const { return syntax_; }
    // Its functions, in the order they are listed.
    const std::vector<BuiltinFunction>& functions() const { return functions_; }
    const BuiltinFunction* function(std::string_view name) const {
        const auto found = byName_.find(name);
        return found == byName_.end() ? nullptr : &functions_[found->second];
    }
    // What a name reads where nothing the caller binds has it.
    bool constant(std::string_view name, double& value) const;

private:
    Syntax syntax_;
    std::vector<BuiltinFunction> functions_;
    std::unordered_map<std::string_view, std::size_t> byName_;
};

// The classic language has nothing of its own: all it calls stands in the
// tables. The standard syntax's functions are exp, log, ..., min, max, where,
// if and clip; its constants pi, e, nan, inf, True and False.
const Language& languageOf(Syntax syntax);

} // namespace velmoratrix

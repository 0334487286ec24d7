// A compiled program and the passes over it: the language as lookups, a
// text's tokens and reverse Polish order (classic) or steps (standard), and
// its code resolved against variables, as the interpreter, the generator and
// the block runner take it. These types know nothing of the evaluator that
// keeps them; an evaluator is only passed to the passes that read its tables.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "callables.h"
#include "columns.h"
#include "containers.h"
#include "powers.h"
#include "real.h"

class MathEvaluator;

namespace velmoratrix {

struct Diagnostic; // a problem found in a text (evaluator.h)

// Machine code generated for resolved code (native.h); it belongs to the
// code it was generated from.
class Native;
struct NativeRelease {
    void operator()(Native* native) const;
};
using NativeCode = std::unique_ptr<Native, NativeRelease>;
std::size_t nativeBytes(const Native* native);
// Pages that hold the pieces of one evaluator's code side by side, so that
// code memory follows code size and freed space is used again. A page is
// writable while a piece is written into it, then executable, never both:
// so one arena serves one evaluator, whose code runs only within its own
// calls, never while it generates more. Null where no code is generated.
class CodeArena;
std::shared_ptr<CodeArena> newCodeArena();

// Whether a text may be one of a set of names, by its length and first byte:
// most tokens (numbers above all) are ruled out without hashing them.
struct NameFilter {
    std::uint64_t lengths = 0; // bit n: a name of n bytes (63: longer)
    std::uint64_t firstBytes[4] = {0, 0, 0, 0};

    static unsigned lengthBit(std::size_t size) {
        return size < 63 ? static_cast<unsigned>(size) : 63;
    }
    void add(std::string_view name) {
        lengths |= std::uint64_t{1} << lengthBit(name.size());
        if (!name.empty()) {
            const auto b = static_cast<unsigned char>(name[0]);
            firstBytes[b >> 6] |= std::uint64_t{1} << (b & 63);
        }
    }
    bool mayHave(std::string_view text) const {
        if (!(lengths >> lengthBit(text.size()) & 1u)) return false;
        if (text.empty()) return true;
        const auto b = static_cast<unsigned char>(text[0]);
        return firstBytes[b >> 6] >> (b & 63) & 1u;
    }
};

// One text of the three name lists, with what the tables say of it.
struct NameInfo {
    std::string text;
    bool isOperator = false;  // in operatorSymbols
    bool isFunction = false;  // in functionNames
    bool isSeparator = false; // in separatorSymbols
    // Ordering: a missing entry reads as 0 and, once compile has looked it
    // up, stands in the table with 0.
    bool hasPrecedence = false;
    bool hasRightAssociative = false;
    int precedence = 0;
    int rightAssociative = 0;
    // Running as an operator: arity through operatorNames and argumentCounts.
    int operatorArity = 0;
    OperatorFunction primitive = nullptr;
    // Running as a function.
    int functionArity = 0;
    UnaryFunction unary = nullptr;
    BinaryFunction binary = nullptr;
    const UnaryCallable* callUnary = nullptr; // where unary is callableUnary
    const BinaryCallable* callBinary = nullptr;
    const NaryCallable* callNary = nullptr;   // of functionArity arguments, not 1 or 2
    const BlockCallable* callBlock = nullptr; // the same callable over many rows
    bool withdrawn = false;                   // a syntax's own function deleted on this evaluator

    std::int32_t kind() const {
        return isOperator ? Operator : isFunction ? Function : isSeparator ? Separator : Operand;
    }
    // Whether a run as a function finds something to call; a count other
    // than 1 and 2 calls nothing and needs nothing.
    bool hasRoutine() const {
        if (functionArity == 1) return unary && (unary != callableUnary || callUnary);
        if (functionArity == 2) return binary && (binary != callableBinary || callBinary);
        return true;
    }
    // Whether the standard syntax can call it: a routine of its count.
    bool callable() const {
        if (functionArity == 1 || functionArity == 2) return hasRoutine();
        return callNary != nullptr;
    }
};

enum DelimiterClass : std::uint8_t { Ordinary = 0, OperatorChar = 1, SeparatorChar = 2 };

// A callable of one argument added as a NaryCallable, kept as a
// UnaryCallable; generated code finds the NaryCallable inside and calls it
// directly, one indirect call fewer.
struct NaryOfOne {
    NaryCallable f;
    double operator()(double x) const { return f(&x, 1); }
};

// The functions a caller added as callables, and the names of the syntaxes'
// own functions they deleted: the evaluator's own state, which its lookups
// point into and which outlives every derivation (and a fork's). Whoever
// changes it edits a table too (argumentCounts at least), so that what was
// derived is derived again.
struct OwnFunctions {
    std::map<std::string, UnaryCallable> unary;
    std::map<std::string, BinaryCallable> binary;
    // Callables of another count of arguments, with that count.
    std::map<std::string, std::pair<NaryCallable, int>> nary;
    // Beside a callable, the same over many rows.
    std::map<std::string, BlockCallable> block;
    std::set<std::string> withdrawn;

    void forgetCallables(const std::string& name) {
        unary.erase(name);
        binary.erase(name);
        nary.erase(name);
        block.erase(name);
    }
};

// The evaluator's tables as lookups by byte and by name, derived from them
// (and from its own functions) and derived again whenever they change.
struct Lookups {
    std::uint64_t edits = ~std::uint64_t{0}; // the tables' edit count it was derived at
    DelimiterClass delimiter[256];
    std::int32_t byteName[256]; // the one-byte name of each byte, or -1
    std::vector<NameInfo> names;
    std::unordered_map<std::string, std::int32_t> longNames;
    NameFilter longFilter;

    void derive(const MathEvaluator& m, const OwnFunctions& own);
    // The index of a name of the lists (or a withdrawn one), or -1.
    std::int32_t lookup(std::string_view text) const {
        if (text.size() == 1) return byteName[static_cast<unsigned char>(text[0])];
        if (!longFilter.mayHave(text)) return -1;
        const auto found = longNames.find(std::string(text));
        return found == longNames.end() ? -1 : found->second;
    }
    std::int32_t classify(std::string_view text) const { return kindOf(lookup(text)); }
    // The TokenKind of the name of that index (-1: an operand).
    std::int32_t kindOf(std::int32_t name) const {
        return name < 0 ? Operand : names[name].kind();
    }
    // The function the tables give a name, or null.
    const NameInfo* function(std::string_view text) const {
        const std::int32_t name = lookup(text);
        return name >= 0 && names[name].isFunction ? &names[name] : nullptr;
    }
    // Whether a syntax's own function of that name was deleted here.
    bool withdrawn(std::string_view text) const {
        const std::int32_t name = lookup(text);
        return name >= 0 && names[name].withdrawn;
    }
};

// An infix token as a slice of the text. The slices tile the text (their
// texts join to it), so each ends where the next begins.
struct Piece {
    // One word, so that a piece is made in a register: the offset in the low
    // 46 bits (a text is shorter than 64 TiB), the TokenKind in the next 2,
    // and in the top 16 the index of its name in the lookups that scanned it
    // plus one: 0 for none, kUnindexed where the index does not fit (the
    // name is looked up again).
    std::uint64_t bits;
    static constexpr std::uint64_t kUnindexed = 0xFFFF;

    static Piece of(std::size_t offset, std::int32_t kind, std::int32_t name) {
        const std::uint64_t n = name < 0 ? 0
                                : static_cast<std::uint64_t>(name) + 1 < kUnindexed
                                    ? static_cast<std::uint64_t>(name) + 1
                                    : kUnindexed;
        return Piece{offset | static_cast<std::uint64_t>(kind) << 46 | n << 48};
    }
    std::size_t offset() const { return bits & ((std::uint64_t{1} << 46) - 1); }
    std::int32_t kind() const { return static_cast<std::int32_t>(bits >> 46 & 3); }
    std::uint64_t name() const { return bits >> 48; }
};

// One step of a compiled program. The value on top of the stack is the
// accumulator; an arithmetic step whose right operand is a number or a
// variable takes it from the step itself instead of from the stack.
enum class Op : std::uint8_t {
    Number,      // push `number`
    Constant,    // push constants[index], a folded value
    Variable,    // push the variable's value
    NumberFirst, // the same three onto an empty stack
    ConstantFirst,
    VariableFirst,
    Add,
    Sub,
    Mul,
    Div,
    AddNumber,
    SubNumber,
    MulNumber,
    DivNumber,
    AddVariable,
    SubVariable,
    MulVariable,
    DivVariable,
    // The standard syntax's: 1.0 where the relation holds, else 0.0 (a NaN
    // holds none but NotEqual); Not and Truth compare with zero; Select
    // takes a condition and two values and keeps the first value where the
    // condition is not zero. They call nothing.
    Less,
    LessEqual,
    Greater,
    GreaterEqual,
    Equal,
    NotEqual,
    Not,
    Truth,
    Select,
    // The standard syntax's powers of a constant exponent, in place:
    // PowInteger of the whole `number` (the product it denotes), PowHalf the
    // square root (machine.h). They call nothing.
    PowInteger,
    PowHalf,
    Pow,             // "^" in place: pow of the two values, as _pow does it
    PowNumber,       // pow of the accumulator and `number`
    Primitive,       // `arity` values to `primitive`
    PrimitiveNumber, // two values: the accumulator and `number`
    Unary,
    Sqrt, // "sqrt" in place
    Binary,
    CallUnary, // a callable's function
    CallBinary,
    CallNary, // a callable of `arity` arguments
};
// The steps that call a callable (one with state of its own).
inline bool callsCallable(Op op) {
    return op == Op::CallUnary || op == Op::CallBinary || op == Op::CallNary;
}
// The steps that read a variable through `cell`.
inline bool readsCell(Op op) {
    return op == Op::Variable || op == Op::VariableFirst || op == Op::AddVariable ||
           op == Op::SubVariable || op == Op::MulVariable || op == Op::DivVariable;
}

// How a step reads nulls, where a column has them (the block runner's
// concern alone; a run without nulls ignores it). None: null where an operand
// is. And, Or: Kleene's logic on truths (false and null is false, true or
// null is true). IsNull: the truth of its operand's being null, never null.
// FillNull: the first operand, or the second where the first is null.
enum class NullRule : std::uint8_t { None, And, Or, IsNull, FillNull };

struct Instruction {
    Op op;
    NullRule rule;
    bool library;       // Unary: a C library function (set by finishCode)
    std::int32_t arity; // Primitive: how many values it takes
    union {
        double number;
        std::size_t index;
        double* const* cell; // the variable's entry in externalVariables
        OperatorFunction primitive;
        UnaryFunction unary;
        BinaryFunction binary;
        const UnaryCallable* callUnary;
        const BinaryCallable* callBinary;
        const NaryCallable* callNary;
    };
    union {
        double number2;             // PrimitiveNumber's right operand
        const BlockCallable* block; // a callable's over many rows, or null
    };
};

// Whether a step's value depends on the SSE settings in a scalar run: every
// call and pow, but for the forms computed on the x87 (powers.h).
inline bool dependsOnSse(const Instruction& i) {
#ifdef VELMO_POWERS_ON_X87
    if (i.op == Op::Sqrt) return false;
    if (i.op == Op::PowNumber) return fastExponent(i.number) == 0;
#endif
    return i.op >= Op::Pow;
}

// How a run ends once its instructions are done.
enum class Ending : std::uint8_t { Value, Malformed, NotANumber, OutOfRange };

// A program's steps, resolved against the variables and the flag of one
// moment.
struct Code {
    std::vector<Instruction> steps;
    std::vector<Real> constants;
    Ending ending = Ending::Malformed;
    std::size_t depth = 0;    // values left when the steps are done
    std::size_t maxDepth = 0; // the most values on the stack at once
    bool direct = false;      // runs to a value without calling out of the engine
    bool callsOut = false;    // calls a function that is not the engine's own
    bool accurate = false;    // the flag it folded factorials with
    bool sse = false;         // a step reads the SSE settings: a scalar run takes EngineSse
    bool inBlocks = false;    // every function from outside it calls takes blocks of rows
    // A step reads nulls otherwise than as "null where an operand is" (a
    // NullRule, or a choice): over columns with nulls, only the block runner
    // computes it.
    bool nullRules = false;
    // A step is a function with a form over many rows at once (elementary.h):
    // over columns, the rows run in stretches between them.
    bool rowsFunctions = false;

    std::size_t bytes() const {
        return steps.capacity() * sizeof(Instruction) + constants.capacity() * sizeof(Real);
    }
    // As new, keeping the steps' and constants' memory (see Program::renew).
    void renew() {
        auto& [steps_, constants_, ending_, depth_, maxDepth_, direct_, callsOut_, accurate_, sse_,
               inBlocks_, nullRules_, rowsFunctions_] = *this;
        steps_.clear();
        constants_.clear();
        ending_ = Ending::Malformed;
        depth_ = maxDepth_ = 0;
        direct_ = callsOut_ = accurate_ = sse_ = inBlocks_ = nullRules_ = rowsFunctions_ = false;
    }
};

// Where a stretch of rows ends: a callable over blocks, or a function over
// many rows at once.
bool endsStretch(const Instruction& i);
// Whether the code's rows run in stretches: every callable it calls takes
// blocks, or it calls none and has functions over many rows.
inline bool inStretches(const Code& code) {
    return code.inBlocks || (code.rowsFunctions && !code.callsOut);
}

// One step of a standard text, in the order it runs. What a name reads is
// found when the code is resolved; the rest is fixed when the text is read.
struct StandardStep {
    enum Kind : std::uint8_t {
        Number,
        Name,
        Primitive, // an operator's primitive of `arity` values
        Machine,   // `op`, a step that calls nothing
        Unary,
        Binary,
        CallUnary,
        CallBinary,
        CallNary, // of `arity` values
    };
    Kind kind;
    Op op;
    NullRule rule;
    std::int32_t arity;
    std::size_t offset, length; // where the text writes it (a quoted name: inside the quotes)
    const BlockCallable* block; // a callable's over many rows, or null
    union {
        double number;
        OperatorFunction primitive;
        UnaryFunction unary;
        BinaryFunction binary;
        const UnaryCallable* callUnary;
        const BinaryCallable* callBinary;
        const NaryCallable* callNary;
    };
};

// The values a step leaves on the stack less those it takes.
std::ptrdiff_t stackChange(const Instruction& i);

// Code that calls callables over blocks of rows, cut at each call into
// stretches, each generated as rows over a block. A stretch's rows do its
// actions in order: run steps, load a value an earlier stretch kept (80
// bits at its level of the stack), or load the call's result. It ends at the
// call `call` (or the end of the code), writing that call's `arguments` as
// doubles and keeping the values under them that a later stretch takes. A
// value computed from the columns alone is not kept: the stretch that takes
// it runs its steps.
struct StretchAction {
    enum Kind : std::uint8_t { Steps, Kept, Result };
    Kind kind;
    std::size_t first, last; // Steps: steps [first, last); Kept: the level `first`
};
struct Stretch {
    std::vector<StretchAction> actions;
    std::size_t call = 0, arguments = 0;
    std::vector<std::size_t> keep; // levels, bottom first
};
// The stretches of code whose calls out all take blocks (none where it
// calls nothing out).
std::vector<Stretch> stretchesOf(const Code& code);

// The instruction a standard step runs as (a name's is resolved apart), and
// how many values it takes off the stack; it leaves one.
Instruction stepInstruction(const StandardStep& s);
std::size_t stepTakes(const StandardStep& s);

// One text compiled: its tokens and reverse Polish order (which follow from
// the text and the language), and its code (which also follows from the
// variables, and is resolved again when those change).
struct NullCodes;

struct Program {
    std::string text;
    std::vector<Piece> pieces;
    // The lookups the pieces' names index, at their edit count then.
    const Lookups* scannedBy = nullptr;
    std::uint64_t scannedAt = 0;
    std::vector<std::uint32_t> output; // pieces in reverse Polish order, none empty
    std::vector<std::uint32_t> stack;  // the compiler's operator stack, kept for its buffer
    std::string rpn;
    // A standard text is read into steps of its own: pieces and output stay
    // empty.
    bool standard = false;
    std::vector<StandardStep> standardSteps;
    bool condition = false; // a standard text whose value is a truth value

    std::uint64_t registryEdits = ~std::uint64_t{0}; // what the code was resolved at
    Code code;
    // Evaluated once, code is interpreted; at the second evaluation of the
    // same code it is generated (where it can be).
    NativeCode native;
    std::uint32_t runs = 0;
    // The evaluator's stamp while `native` runs the code to its value, for
    // eval and Formula::value to call it at once (0: not now).
    std::uint64_t stamp = 0;
    // The code of the last evalMany over enough rows (null where none could
    // be generated), with what it was generated for: the columns' names,
    // strides and types, the output's type, the variables' edit count and
    // the flag.
    struct RowsCode {
        bool made = false;
        NativeCode native;
        // Code that calls callables over blocks: its stretches between the
        // calls (none where one could not be generated).
        std::vector<Stretch> plan;
        std::vector<NativeCode> stretches;
        std::size_t bytes() const {
            std::size_t n = nativeBytes(native.get()) + plan.capacity() * sizeof(Stretch);
            for (const Stretch& s : plan)
                n += s.actions.capacity() * sizeof(StretchAction) +
                     s.keep.capacity() * sizeof(std::size_t);
            for (const NativeCode& c : stretches) n += nativeBytes(c.get());
            return n;
        }
        std::vector<std::string> names;
        std::vector<std::ptrdiff_t> strides;
        std::vector<ValueType> types;
        ValueType output = ValueType::Float64;
        std::uint64_t registryEdits = 0;
        bool accurate = false;
        std::uint32_t smallRuns = 0; // runs over too few rows to generate for at once
        void renew() {
            auto& [made_, native_, plan_, stretches_, names_, strides_, types_, output_,
                   registryEdits_, accurate_, smallRuns_] = *this;
            made_ = accurate_ = false;
            native_.reset();
            plan_.clear();
            stretches_.clear();
            names_.clear();
            strides_.clear();
            types_.clear();
            output_ = ValueType::Float64;
            registryEdits_ = 0;
            smallRuns_ = 0;
        }
    } rows;
    // The code of the last evaluation over columns or per-call values,
    // resolved with their names bound to cells of its own, with what it was
    // resolved for: the names in order, the variables' edit count and the flag.
    struct WithCode {
        bool made = false;
        std::vector<std::string> names;
        std::vector<double> cells;
        std::vector<double*> slots; // the overlay's, which the code points into
        std::uint64_t registryEdits = 0;
        bool accurate = false;
        Code code;
        std::uint64_t generation = 0; // counts the resolutions
        void renew() {
            auto& [made_, names_, cells_, slots_, registryEdits_, accurate_, code_, generation_] =
                *this;
            made_ = accurate_ = false;
            names_.clear();
            cells_.clear();
            slots_.clear();
            registryEdits_ = generation_ = 0;
            code_.renew();
        }
    } with;
    // Over columns with nulls, `with`'s code split in two when it has null
    // rules (splitNulls), for the resolution and the nullable columns it was
    // made for.
    std::shared_ptr<NullCodes> nulls;
    void releaseNative() {
        stamp = 0;
        native.reset();
        rows.native.reset();
        rows.stretches.clear();
        rows.plan.clear();
        rows.made = false;
        rows.smallRuns = 0;
        runs = 0;
        nulls.reset();
    }

    std::int32_t kind(std::size_t i) const { return pieces[i].kind(); }
    // The index of piece i's name in `lookups` (-1: none): the one the scan
    // stored while they are the lookups it scanned with, unedited.
    std::int32_t nameIndex(std::size_t i, const Lookups& lookups) const {
        const std::uint64_t name = pieces[i].name();
        return scannedBy == &lookups && scannedAt == lookups.edits && name != Piece::kUnindexed
                   ? static_cast<std::int32_t>(name) - 1
                   : lookups.lookup(slice(i));
    }
    std::string_view slice(std::size_t i) const {
        const std::size_t start = pieces[i].offset();
        const std::size_t end = i + 1 < pieces.size() ? pieces[i + 1].offset() : text.size();
        return std::string_view(text.data() + start, end - start);
    }
    std::size_t bytes() const {
        return text.capacity() + rpn.capacity() + pieces.capacity() * sizeof(Piece) +
               (output.capacity() + stack.capacity()) * sizeof(std::uint32_t) + code.bytes() +
               nativeBytes(native.get()) + rows.bytes() + with.code.bytes() +
               standardSteps.capacity() * sizeof(StandardStep);
    }
    // Whether it has nothing to run (an empty classic text).
    bool empty() const { return !standard && output.empty(); }

    // Becomes a new program for another text, keeping only the memory of
    // the buffers its text was read into, emptied, so that a cycle of texts
    // reuses it: what was derived from a text (its code, machine code,
    // resolutions, plans) is born with its program and dies with it. Done
    // member by member (a default program moved in costs more than a short
    // text's compilation); the binding names every member, so that one
    // added without its line here does not compile.
    void renew() {
        auto& [text_, pieces_, scannedBy_, scannedAt_, output_, stack_, rpn_, standard_,
               standardSteps_, condition_, registryEdits_, code_, native_, runs_, stamp_, rows_,
               with_, nulls_] = *this;
        text_.clear();
        pieces_.clear();
        scannedBy_ = nullptr;
        scannedAt_ = 0;
        output_.clear();
        stack_.clear();
        rpn_.clear();
        standard_ = false;
        standardSteps_.clear();
        condition_ = false;
        registryEdits_ = ~std::uint64_t{0};
        code_.renew();
        native_.reset();
        runs_ = 0;
        stamp_ = 0;
        rows_.renew();
        with_.renew();
        nulls_.reset();
    }
};

// A program's code with null rules split in two (splitNulls): programs of
// their own, whose `with` holds each code over the columns and, after them,
// a 0/1 column of each nullable column's validity.
struct NullCodes {
    std::uint64_t generation = 0;
    std::vector<bool> nullable;
    bool split = false; // false: the block runner computes the code
    Program values, validity;
};

// Variable names to the node before each in variableNames (null for the
// head), so that a name is found and unlinked in constant time, and to its
// entry in externalVariables.
struct VariableIndex {
    std::uint64_t edits = ~std::uint64_t{0}; // variableNames' edit count it matches
    bool unique = true;                      // no name stands twice in the list
    struct Listed {
        ListNode<std::string>* before; // the node before the name's first, or null
        // Its entry's value in externalVariables (null: none), as found at
        // that table's edit count `cellAt`.
        double* const* cell = nullptr;
        std::uint64_t cellAt = ~std::uint64_t{0};
    };
    std::unordered_map<std::string, Listed> before;
    NameFilter filter; // of every name ever indexed since the last rebuild

    void rebuild(const List<std::string>& names);
};

// The engine's own functions (the built-in ones and the standard syntax's):
// their result depends on their arguments alone (what constant folding and
// sharing rows among threads rely on).
bool isPure(OperatorFunction f);
bool isPure(UnaryFunction f);
bool isPure(BinaryFunction f);

// What a number token reads as, with std::stod's contract; how a failed read
// ends a run, and how many bytes the number took.
Ending readNumber(std::string_view token, double& value, std::size_t* consumed = nullptr);
// A token of at most 15 digits, after an optional '-', as readNumber reads
// it; its value is exact, so unlike other numbers it reads the same under
// any rounding mode. False for any other token.
bool readWholeNumber(std::string_view token, double& value);

// The passes over a program, each linear in its length.
void scan(const Lookups& lookups, Program& program);
// Orders the pieces; the table lookups it makes enter missing entries in m's
// tables, as compile does, unless m is null.
void order(MathEvaluator* m, Lookups& lookups, Program& program);
// Names bound for one call only, ahead of the registered variables: the
// cells behind `slots` are read as a registered variable's would be. Where a
// name stands twice, the first binding counts.
struct Overlay {
    std::unordered_map<std::string_view, std::size_t> names; // to the index of its slot
    double* const* slots;
};
void resolve(MathEvaluator& m, const Lookups& lookups, const Program& program, Code& code,
             const Overlay* overlay = nullptr);
// The cell of a registered variable of that name (listed, and in the
// table), or null; `listed`, where given: whether the name is listed.
double* const* registeredCell(const MathEvaluator& m, std::string_view name,
                              bool* listed = nullptr);
// The first name of a standard text's steps that nothing binds: a
// registered variable, a name of `known`, or a constant of the syntax. False
// where every name is bound.
bool unboundName(const MathEvaluator& m, const std::vector<StandardStep>& steps,
                 std::string_view text, const std::unordered_set<std::string_view>& known,
                 Diagnostic& problem);
// Sets what a run needs to know of resolved steps (Code's flags; a push onto
// an empty stack takes its First form, and only such a push).
void finishCode(Code& code);
// Code with null rules (NullRule, Select) as two codes of plain steps, for
// columns with nulls: `values` gives each row's value, `validity` 1.0 where
// it is not null and 0.0 where it is. Each reads what the code reads, its
// overlay cells (slot k of `slots`, k < `columns`) at slot k of its own
// slots, and column k's validity, where nullable[k], at slot validSlot[k].
// False where the code calls out of the engine or would grow past a budget
// linear in its length (the block runner computes it then).
bool splitNulls(const Code& code, double* const* slots, std::size_t columns,
                const std::vector<bool>& nullable, const std::vector<std::size_t>& validSlot,
                double* const* valuesSlots, double* const* validitySlots, Code& values,
                Code& validity);
// Whether runs over columns with nulls split code (the default); tests turn
// it off to hold the split codes to the block runner.
bool splitNullsEnabled();
void setSplitNullsEnabled(bool enabled);
// Whether conditions over columns run 64 rows a word (the default); tests
// turn it off to hold them to the steps.
bool conditionWordsEnabled();
void setConditionWordsEnabled(bool enabled);
// The value of resolved code; throws what its ending says.
bool run(const Code& code, bool accuracyOverEfficiency, Real& result);
// Appends a token for piece i to list.
void appendToken(List<Token>& list, const Program& program, std::size_t i);
// Appends the program's infix tokens and its reverse Polish tokens to the
// record's two lists.
void fillTokenLists(me_RPN& record, const Program& program);

// Whether two texts are equal; the common short ones word by word, without
// a call to memcmp.
inline bool sameText(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    auto word = [](const char* at, auto bytes) {
        decltype(bytes) v;
        std::memcpy(&v, at, sizeof v);
        return v;
    };
    if (n >= 8) {
        if (n > 64) return std::memcmp(p, q, n) == 0;
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (word(p + i, std::uint64_t{}) != word(q + i, std::uint64_t{})) return false;
        return word(p + n - 8, std::uint64_t{}) == word(q + n - 8, std::uint64_t{});
    }
    if (n >= 4)
        return word(p, std::uint32_t{}) == word(q, std::uint32_t{}) &&
               word(p + n - 4, std::uint32_t{}) == word(q + n - 4, std::uint32_t{});
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != q[i]) return false;
    return true;
}

} // namespace velmoratrix

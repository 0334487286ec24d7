// MathEvaluator: the built-in language tables, the three passes
// (seperate -> compile -> eval) and the variables an expression may use.
// Values are x87 extended precision inside; numbers, variables, the unary
// functions and pow work in double.
//
// The tables and name lists are public and live: a caller may edit them, and
// the next seperate/compile/eval reads them as they are then. The engine
// derives fast lookups and compiled programs from them and derives again
// whenever their edit counters have moved.
//
// One evaluator serves one thread at a time: use one per thread, or hold a
// lock around every call and every table edit. A call that finds another
// thread inside the same evaluator throws std::logic_error instead of
// corrupting it. A Formula is used as its evaluator is, by one thread at a
// time; a Compiled (compile) by any number of threads at once. Every evaluation computes under
// round to nearest, 64-bit x87 precision and masked exceptions, whatever the caller has set; the
// caller's settings are given back on return.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "callables.h"
#include "columns.h"
#include "compiled.h"
#include "containers.h"

class MathEvaluator;

// What this project adds beside the engine's own names lives in a namespace,
// so that it cannot clash with a host program's types.
namespace velmoratrix {

struct Program;      // one text compiled (program.h)
struct Code;         // its resolved steps
class Native;        // machine code generated for them (native.h)
struct ThreadMarks;  // a thread's marks of the evaluators it is inside (ownership.h)
struct OwnFunctions; // the callables added, and the syntaxes' functions deleted (program.h)
double* const* registeredCell(const MathEvaluator& m, std::string_view name, bool* listed);

// Which thread is inside an evaluator's call: a second one is refused. The
// thread it is biased to enters without the lock word (ownership.h).
struct Ownership {
    std::atomic<const void*> owner{nullptr}; // inside through the lock word, or null
    std::atomic<ThreadMarks*> bias{nullptr};
    // The lock word's own: the thread of the last calls, how many in a row,
    // and how often a bias was taken away.
    const void* streakThread = nullptr;
    unsigned streak = 0, revocations = 0;
};

// The language an evaluator reads: the specified one, or the formulas people
// type (blanks, unary minus and plus, signed exponents, "**", more functions).
enum class Syntax { Classic, Standard };

// A problem check finds in a text: where (bytes of the text), how bad (an
// error: eval fails there; a warning: the text evaluates but likely does not
// mean what it says), and what to write instead.
struct Diagnostic {
    std::size_t offset;
    std::size_t length;
    bool error;
    std::string message;
};

// How a text is read and run, for a person: its tokens, its reverse Polish
// order, and each step of the run with the stack after it.
struct Explanation {
    struct Token {
        std::string text;
        std::int32_t kind; // a TokenKind
        std::size_t offset;
    };
    // Each step takes `popped` values off the top of the stack and pushes
    // `pushed`: the stack after a step follows from the steps before it, so
    // an explanation grows with the text, not with its square.
    struct Step {
        std::string token;
        std::string action;
        std::size_t popped = 0;
        long double pushed = 0;
    };
    std::vector<Token> tokens;
    std::vector<std::string> rpn;
    std::vector<Step> steps;
    bool succeeded = false;
    long double result = 0;
    std::string failure; // what ended the run, where it failed
};

// How many threads evalMany uses when the call does not say: the machine's
// cores (or the VELMO_NUM_THREADS environment variable, where it holds a
// count) until set; setting 0 returns to that. A call uses at most 256
// threads: a larger count, set or given, means 256.
std::size_t defaultThreads();
void setDefaultThreads(std::size_t threads);

// What this build is: its arithmetic ("x87"; "software" where long double
// is not x87's format), whether it generates machine code now (built with
// Xbyak on x86-64, and VELMO_JIT not 0), the compiler and the version.
struct BuildInfo {
    std::string arithmetic;
    bool generatedCode;
    std::string compiler;
    std::string version;
};
BuildInfo buildInfo();

// What a standard evaluator raises for a text it cannot read: the problems
// check reports (the first one is what() says, with its byte offset), and
// the text.
class ExpressionError : public std::invalid_argument {
public:
    ExpressionError(std::vector<Diagnostic> problems, std::string text);
    std::vector<Diagnostic> problems;
    std::size_t position;
    std::string text;
};

// A text compiled once for the evaluator that prepared it (which must
// outlive it, and which it follows when moved), evaluated without looking
// the text up. It keeps the syntax it
// was prepared in, with that syntax's own functions and constants, whatever
// the evaluator's syntax becomes; it follows table, function and variable
// edits as eval does, and outlives the evaluator's cache. It leaves
// currentRPN alone: a malformed text gives 0.0 without a record. A standard
// text is read once, when prepared; its names are checked when it runs (they
// may be columns still to come), and a missing one raises ExpressionError as
// eval does.
class Formula {
public:
    // What eval(text()) returns.
    long double value();
    // What evalWith(text(), values) returns.
    long double value(const std::vector<Column>& values);
    // What evalMany(text(), ...) writes.
    void values(const std::vector<Column>& columns, std::size_t count, double* out,
                std::ptrdiff_t outStride = sizeof(double), std::size_t threads = 0);
    void values(const std::vector<Column>& columns, std::size_t count, const Output& out,
                std::size_t threads = 0);
    const std::string& text() const { return text_; }
    // Whether the text is read in the standard syntax (as it was prepared).
    bool standard() const { return standard_; }
    // What the evaluator's names, bindableNames and isCondition give for the
    // text, read in the formula's syntax.
    std::vector<std::string> names();
    std::vector<std::string> bindableNames();
    bool isCondition();

private:
    friend class ::MathEvaluator;
    Formula(std::shared_ptr<MathEvaluator*> home, std::string text)
        : home_(std::move(home)), text_(std::move(text)) {}
    MathEvaluator& m() const { return **home_; }
    std::shared_ptr<MathEvaluator*> home_; // where the evaluator is now
    std::string text_;
    bool standard_ = false;
    std::shared_ptr<Program> program_; // compiled at `derived_`'s edit count `at_`
    const void* derived_ = nullptr;
    std::uint64_t at_ = 0;
};

} // namespace velmoratrix

class MathEvaluator {
public:
    double piValue;
    double eValue;
    me_RPN currentRPN;
    velmoratrix::CountedMap<std::string, velmoratrix::BinaryFunction> binaryFunctions;
    velmoratrix::CountedMap<std::string, double*> externalVariables;
    velmoratrix::CountedMap<std::string, velmoratrix::UnaryFunction> unaryFunctions;
    velmoratrix::CountedMap<std::string, std::string> operatorNames;
    velmoratrix::CountedMap<std::string, int> argumentCounts;
    velmoratrix::CountedMap<std::string, int> operatorPrecedence;
    velmoratrix::CountedMap<std::string, velmoratrix::OperatorFunction> operatorFunctions;
    velmoratrix::CountedMap<std::string, int> rightAssociative;
    me_List<std::string> variableNames;
    List<std::string> functionNames;
    List<std::string> operatorSymbols;
    List<std::string> separatorSymbols;
    bool accuracyOverEfficiency;
    // Classic: the specified language. Standard: the formulas people type;
    // a malformed text raises velmoratrix::ExpressionError instead of giving
    // 0.0, and it calls exp, log, log10, log2, abs, floor, ceil, min, max,
    // hypot, atan2, pow, isnan, isinf, isfinite, sign, round, trunc, cbrt,
    // exp2, expm1, log1p, sinh, cosh, tanh, asinh, acosh, atanh, where, if
    // and clip too. Those belong to the syntax, not to the tables: a switch
    // edits no table, and a table's function of the same name comes first.
    // seperate and compile read the classic language whatever the syntax;
    // currentRPN holds the standard text and its steps' spellings in order.
    velmoratrix::Syntax syntax = velmoratrix::Syntax::Classic;

    // accuracyOverEfficiency = true; "pi" and "e" resolve in expressions.
    MathEvaluator();
    // "pi" and "e" have cells but resolve only once registered.
    explicit MathEvaluator(bool accuracyOverEfficiency);
    // Releases the tables, the name lists and the lists of currentRPN.
    ~MathEvaluator();
    // The tables hold addresses of this object's own cells: no copies.
    MathEvaluator(const MathEvaluator&) = delete;
    MathEvaluator& operator=(const MathEvaluator&) = delete;
    // Everything moves: the tables (pi and e bound to the new cells), the
    // lists, the compiled programs with their machine code, the formulas
    // prepared from it. The evaluator moved from is left with empty tables
    // and lists, usable (a text it reads is a malformed one) and ready to be
    // assigned to. Refused (std::logic_error) while a call is inside either.
    MathEvaluator(MathEvaluator&& other);
    MathEvaluator& operator=(MathEvaluator&& other);

    void populateArrays();

    me_SepValues seperate(std::string expression);
    me_RPN compile(std::string expression);
    // The value, 0.0 for a malformed expression; throws std::invalid_argument
    // or std::out_of_range ("stod") for a token that is no number.
    long double eval(std::string expression);

    // Binds name to the address of value; the caller keeps value alive.
    void appendVariable(std::string name, double& value);
    void deleteVariable(std::string name);
    std::map<std::string, double*> getExternalVariables();

    // One expression over columns: out[i] (each `outStride` bytes after the
    // one before) is eval(expression), rounded to double, with each column's
    // name bound to its i-th value ahead of the registered variables, which
    // stay as they are. Compiles once; throws as eval does before computing
    // anything. `out` may overlap the columns: every row is computed from the
    // values as they were before the call. Rows are split among `threads`
    // threads (0: velmoratrix::defaultThreads()) unless the expression calls
    // a function from outside the engine without a block (appendCallable),
    // which sees the rows in order on the calling thread; the results are
    // the same whatever the count.
    void evalMany(std::string expression, const std::vector<velmoratrix::Column>& columns,
                  std::size_t count, double* out, std::ptrdiff_t outStride = sizeof(double),
                  std::size_t threads = 0);
    // The same into float32 or bool results (std::invalid_argument for an
    // output type it does not write).
    void evalMany(std::string expression, const std::vector<velmoratrix::Column>& columns,
                  std::size_t count, const velmoratrix::Output& out, std::size_t threads = 0);

    // Several named formulas over the same rows, in order: formula k reads
    // the columns and the results of the formulas before it by their names
    // (a result hides a column of its name), and outs[k] gets its rows, as
    // if evalMany ran each over all the rows in turn. The rows go a piece at
    // a time through every formula, while the piece is in cache. A result
    // read by a later formula keeps its nulls; `out` may not overlap the
    // columns.
    void evalAssignments(const std::vector<std::pair<std::string, std::string>>& formulas,
                         const std::vector<velmoratrix::Column>& columns, std::size_t count,
                         const std::vector<velmoratrix::Output>& outs, std::size_t threads = 0);

    // What evalMany(expression, values, 1, &out) writes, before rounding to
    // double: one evaluation with each value's name bound to its first value
    // for this call only. The resolution is kept for the next call with the
    // same names, so a call costs little more than eval's.
    long double evalWith(const std::string& expression,
                         const std::vector<velmoratrix::Column>& values);

    // The text compiled once, for repeated evaluation (see Formula), in the
    // evaluator's syntax or the one given.
    velmoratrix::Formula prepare(std::string expression);
    velmoratrix::Formula prepare(std::string expression, velmoratrix::Syntax syntax);
    // The same, with the names that will be bound when it runs (columns,
    // per-call values): a name that is none of them, no registered variable
    // and no number or constant raises ExpressionError now, as check does.
    velmoratrix::Formula prepare(std::string expression, const std::vector<std::string>& names);
    velmoratrix::Formula prepare(std::string expression, velmoratrix::Syntax syntax,
                                 const std::vector<std::string>& names);
    // The text in the evaluator's syntax, `names` being the values given at
    // each call in that order, for any number of threads (see Compiled).
    // Raises as prepare(expression, names) does.
    velmoratrix::Compiled compile(std::string expression, const std::vector<std::string>& names);

    // Adds name as a function of one or two arguments on this evaluator, or
    // makes it one (a built-in name is replaced here only). The public
    // tables say so as for a built-in: unaryFunctions or binaryFunctions,
    // argumentCounts and functionNames; a callable stands in its table as
    // callableUnary or callableBinary. A name that is empty, holds an
    // operator or separator symbol, or reads as a number could never be
    // called: std::invalid_argument, as does an empty callable.
    void appendFunction(std::string name, velmoratrix::UnaryFunction function);
    void appendFunction(std::string name, velmoratrix::BinaryFunction function);
    void appendCallable(std::string name, velmoratrix::UnaryCallable function);
    void appendCallable(std::string name, velmoratrix::BinaryCallable function);
    // A function of `arguments` (0 to kMostArguments) arguments. The tables
    // list it with that count; the classic language reads a function whose
    // count is not 1 or 2 as a token without effect, so only the standard
    // syntax calls one of 0 or more than 2 arguments.
    void appendCallable(std::string name, velmoratrix::NaryCallable function, int arguments);
    // The same, with the function over many rows at once beside it: evalMany
    // calls `block` once per block of rows (from any of its threads, a few
    // thousand rows at a time) where every function from outside the engine
    // that its text calls has one, and runs the rest of the text over the
    // blocks; eval and the rest call `function`. The two must give the same
    // value for the same arguments.
    void appendCallable(std::string name, velmoratrix::NaryCallable function,
                        velmoratrix::BlockCallable block, int arguments);
    // Makes name an ordinary operand again: out of functionNames and the
    // function tables; a function of the standard syntax's own of that name
    // is no longer called on this evaluator (until a function is added
    // under the name).
    void deleteFunction(const std::string& name);
    // The names a text of the evaluator's syntax calls: functionNames in
    // order, then the syntax's own functions that no entry there and no
    // deletion hides.
    std::vector<std::string> functions();
    // The syntaxes' own functions deleted here (deleteFunction), by name.
    std::vector<std::string> withdrawnFunctions() const;

    // Diagnostics; none of them changes the evaluator or currentRPN (check and
    // names are const; like every call, one thread at a time). check
    // has an error exactly where eval fails, sorted by position; names are
    // the operands read as variables or that read as no number, each once,
    // in order of appearance; explain runs the text step by step. check
    // reports at most 1,000 problems (then one more, last, that counts those
    // left out and is an error if any of them is); messages quote at most
    // 40 bytes of a token; explain reads at most 65,536 bytes, whose steps
    // spell at most 262,144 (std::length_error beyond).
    std::vector<velmoratrix::Diagnostic> check(const std::string& expression) const;
    // The same, with `known` read as registered variables too: a formula
    // checked before its columns are bound.
    std::vector<velmoratrix::Diagnostic> check(const std::string& expression,
                                               const std::vector<std::string>& known) const;
    std::vector<std::string> names(const std::string& expression) const;
    // Every text of the expression a column of evalMany may bind (its
    // operands, numbers and functions, each once): a column under any other
    // name is never read. A standard text that cannot be read has none.
    std::vector<std::string> bindableNames(const std::string& expression);
    velmoratrix::Explanation explain(const std::string& expression);
    // Whether the text's value is a truth value, 1.0 or 0.0: a standard text
    // whose last step compares or is logical (a classic text never is).
    // Throws ExpressionError for a standard text it cannot read.
    bool isCondition(const std::string& expression);

    // Whether name is in variableNames, in constant time.
    bool isVariable(std::string_view name) const;
    // The compiled texts it keeps, most recent first: a text given again is
    // not read again, and its machine code is kept with it. 16 until set
    // (at least 1); within 8 MiB, past which only the newest stays. A cache
    // smaller than the texts a caller cycles through compiles each again.
    std::size_t cacheSize() const { return cacheSize_; }
    void setCacheSize(std::size_t texts);
    // Drops every compiled program and, but for a small one's buffers, the
    // memory it holds.
    void releaseCompilations();

    // Nothing to do: a switch of syntax edits no table. Kept for callers of
    // earlier releases, whose tables followed the syntax.
    void followSyntax() {}

    // Forgets, without releasing, the derived state and the record's lists:
    // for a child process forked while another thread was inside a call,
    // whose half-made changes the child cannot trust. The tables, variables,
    // functions and syntax stay.
    void abandonAfterFork();

private:
    friend class velmoratrix::Formula;
    friend double* const* velmoratrix::registeredCell(const MathEvaluator&, std::string_view,
                                                      bool*);
    // Where a listed name's value is (null: no entry), and whether it is listed.
    double* const* cellOf(std::string_view name, bool& listed) const;
    struct Empty {};
    explicit MathEvaluator(Empty); // no tables, no lists: what a move leaves
    void swapWith(MathEvaluator& other) noexcept;
    // Where formulas find this evaluator; a move hands it on.
    std::shared_ptr<MathEvaluator*> home_;
    struct Prepared; // lookups and programs derived from the tables
    std::unique_ptr<Prepared> prepared_;
    std::unique_ptr<velmoratrix::OwnFunctions> functions_;
    // Runs in progress that may call a function from outside. Such a function
    // must not compile, run or drop programs on this evaluator, nor replace or
    // delete functions (the run is using them): those calls throw
    // std::logic_error while it runs.
    int running_ = 0;
    std::size_t cacheSize_ = 16;
    struct Running;
    mutable velmoratrix::Ownership ownership_;
    struct Entry;
    void refuseWhileRunning(const char* what) const;
    velmoratrix::Explanation explainClassic(const std::string& expression);
    velmoratrix::Explanation explainStandard(const std::string& expression);
    // names, bindableNames and isCondition of a text in the given syntax.
    std::vector<std::string> namesIn(const std::string& expression, bool standard) const;
    std::vector<std::string> bindableNamesIn(const std::string& expression, bool standard);
    bool isConditionIn(const std::string& expression, bool standard);
    std::vector<std::string> standardNames(const std::string& expression) const;
    // ExpressionError for the first name of the program that neither `known`
    // nor a registered variable binds and that reads as no number.
    void refuseUnknown(const velmoratrix::Program& program, const std::vector<std::string>& known);

    // Deriving again is no edit a caller sees: const callers may.
    Prepared& prepared() const;
    void rederive() const;
    // The program of a text, of the classic language or the standard syntax
    // (which throws ExpressionError for a text it cannot read).
    velmoratrix::Program& programFor(std::string_view text, bool standard = false);
    velmoratrix::Program& compileProgram(std::string_view text, bool standard);
    void keepWithinCache();
    void resolveAgain(velmoratrix::Program& program);
    // The run of a compiled program; `record`: a failure fills currentRPN's lists.
    long double runProgram(velmoratrix::Program& program, bool record);
    long double runResolved(velmoratrix::Program& program, bool record);
    // The program's machine code, where the evaluator's stamp is still the
    // one it was run at (nothing edited since but variables' values); `ran`
    // false where that does not hold, or a cell was lost. The value comes back
    // in a register: an 80-bit store and load would cost more than the rest.
    long double runStamped(const velmoratrix::Program& program, bool& ran);
    long double finish(velmoratrix::Program& program, bool record);
    void evalProgram(velmoratrix::Program& program, const std::vector<velmoratrix::Column>& columns,
                     std::size_t count, const velmoratrix::Output& out, std::size_t threads);
    bool runSplit(velmoratrix::Program& program, const std::vector<velmoratrix::Column>& columns,
                  std::size_t count, const velmoratrix::Output& out, std::size_t threads);
    velmoratrix::Program& programOf(velmoratrix::Formula& formula);
    void resolveWith(velmoratrix::Program& program, const std::vector<velmoratrix::Column>& given);
    long double runWith(velmoratrix::Program& program,
                        const std::vector<velmoratrix::Column>& values);
    // Whether program.rows holds code generated for these columns (kept for
    // the next call); false where it is not worth generating yet.
    bool rowsCode(velmoratrix::Program& program, const velmoratrix::Code& code,
                  const std::vector<velmoratrix::Column>& given,
                  const std::vector<velmoratrix::Column>& columns, double* const* slots,
                  velmoratrix::ValueType output, std::size_t count);
    std::uint64_t languageEdits() const;
    std::uint64_t registryEdits() const;
    // Moves with every edit of a table, a list or the flag.
    std::uint64_t stamp() const;
};

// One expression on an engine in the default configuration.
long double evaluate(std::string expression);

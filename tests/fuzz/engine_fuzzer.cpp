// libFuzzer target: arbitrary bytes through the three passes of one
// long-lived evaluator, and arbitrary operand bit patterns through the
// primitives. Any broken invariant aborts, as does any other exception.
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "elementary.h"
#include "environment.h"
#include "evaluator.h"
#include "extended.h"
#include "machine.h"
#include "native.h"
#include "primitives.h"

using namespace velmoratrix;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

double one = 1, five = 5, seven = 7, other = -2.5;

MathEvaluator* makeEngine(bool accurate = false) {
    auto* e = new MathEvaluator(accurate);
    e->appendVariable("x", one);
    e->appendVariable("sin", five); // a variable named like a function
    e->appendVariable("2", seven);  // and one named like a number
    return e;
}

MathEvaluator& engine() {
    static MathEvaluator* m = makeEngine();
    return *m;
}

// A second engine that always compiles afresh, to hold the first one's reuse
// of its last compilation to the same results.
MathEvaluator& reference() {
    static MathEvaluator* m = makeEngine();
    return *m;
}

// The outcome of one eval: a value (bit pattern) or which exception.
struct Outcome {
    int thrown = 0;      // 1 invalid_argument, 2 out_of_range
    bool failed = false; // thrown, or the failure value
    long double value = 0;
    std::string rpn;
    std::string values;
    bool operator==(const Outcome& o) const {
        return thrown == o.thrown && rpn == o.rpn && values == o.values &&
               (value == o.value || (value != value && o.value != o.value));
    }
};

std::string joined(const List<Token>& tokens) {
    std::string out;
    for (const ListNode<Token>* n = tokens.head; n; n = n->next) out += n->value->text;
    return out;
}

Outcome evaluateOnce(MathEvaluator& m, const std::string& text) {
    Outcome o;
    try {
        o.value = m.eval(text);
    } catch (const std::invalid_argument& e) {
        require(std::strcmp(e.what(), "stod") == 0);
        o.thrown = 1;
    } catch (const std::out_of_range& e) {
        require(std::strcmp(e.what(), "stod") == 0);
        o.thrown = 2;
    }
    require(m.currentRPN.expression == text);
    o.failed = o.thrown || text.empty() || m.currentRPN.tokens.head; // lists kept after a failure
    o.rpn = m.currentRPN.RPN;
    o.values = joined(m.currentRPN.RPN_values);
    require(o.values.empty() || o.values == o.rpn);
    return o;
}

long double largest(long double a, long double b) {
    return a > b ? a : b;
}

// Edits a caller may make between two evaluations, each with its exact undo.
struct Edit {
    void (*apply)(MathEvaluator&);
    void (*undo)(MathEvaluator&);
};
const Edit kEdits[] = {
    {[](MathEvaluator& m) { m.rightAssociative["-"] = 1; },
     [](MathEvaluator& m) { m.rightAssociative["-"] = 0; }},
    {[](MathEvaluator& m) { m.operatorPrecedence["+"] = 10; },
     [](MathEvaluator& m) { m.operatorPrecedence["+"] = 2; }},
    {[](MathEvaluator& m) { m.operatorFunctions["%"] = _mul; },
     [](MathEvaluator& m) { m.operatorFunctions["%"] = _mod; }},
    {[](MathEvaluator& m) { m.unaryFunctions["sin"] = static_cast<UnaryFunction>(std::cos); },
     [](MathEvaluator& m) { m.unaryFunctions["sin"] = static_cast<UnaryFunction>(std::sin); }},
    {[](MathEvaluator& m) { m.appendVariable("x", other); },
     [](MathEvaluator& m) { m.appendVariable("x", one); }},
    {[](MathEvaluator& m) { m.deleteVariable("x"); },
     [](MathEvaluator& m) { m.appendVariable("x", one); }},
    {[](MathEvaluator& m) { m.appendVariable("y", seven); },
     [](MathEvaluator& m) { m.deleteVariable("y"); }},
    {[](MathEvaluator& m) { m.appendVariable("1", other); },
     [](MathEvaluator& m) { m.deleteVariable("1"); }},
    {[](MathEvaluator& m) {
         m.binaryFunctions["max"] = largest;
         m.argumentCounts["max"] = 2;
         m.functionNames.append("max");
     },
     [](MathEvaluator& m) {
         m.functionNames.remove(m.functionNames.size() - 1);
         m.argumentCounts.erase("max");
         m.binaryFunctions.erase("max");
     }},
    {[](MathEvaluator& m) {
         m.operatorSymbols.append("&");
         m.operatorNames["&"] = "pow";
         m.operatorPrecedence["&"] = 4;
         m.operatorFunctions["&"] = _pow;
     },
     [](MathEvaluator& m) {
         m.operatorSymbols.remove(m.operatorSymbols.size() - 1);
         m.operatorNames.erase("&");
         m.operatorPrecedence.erase("&");
         m.operatorFunctions.erase("&");
     }},
};

// An edit made after a text was compiled: the engine that kept the text's
// compilation must give what an engine built with the edit gives.
void edited(const std::string& text, const Outcome& unedited) {
    unsigned hash = 0;
    for (unsigned char c : text) hash = hash * 31 + c;
    const Edit& edit = kEdits[hash % (sizeof kEdits / sizeof kEdits[0])];
    MathEvaluator& m = engine();
    edit.apply(m);
    const Outcome after = evaluateOnce(m, text);
    MathEvaluator* fresh = makeEngine();
    edit.apply(*fresh);
    require(after == evaluateOnce(*fresh, text));
    delete fresh;
    edit.undo(m);
    require(unedited == evaluateOnce(m, text));
}

int thrownBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::invalid_argument&) {
        return 1;
    } catch (const std::out_of_range&) {
        return 2;
    }
    return 0;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// evalMany's shapes: one row from numbers alone, which is eval rounded to
// double; and rows written over the column they read, one place on, which
// are the rows of an untouched copy.
void overData(const std::string& text, const Outcome& first) {
    MathEvaluator& m = engine();
    double x = one, row = -1;
    require(thrownBy([&] { m.evalMany(text, {{"x", &x, 0}}, 1, &row); }) == first.thrown);
    if (first.thrown) return;
    const double expected = static_cast<double>(first.value);
    require(sameBits(row, expected) || (row != row && expected != expected));

    double memory[9] = {0.5, -1, 2, 3.25, 1e300, -0.0, 7, 11, 13}, copy[9], rows[8];
    std::memcpy(copy, memory, sizeof memory);
    m.evalMany(text, {{"x", copy, sizeof(double)}}, 8, rows);
    m.evalMany(text, {{"x", memory, sizeof(double)}}, 8, memory + 1);
    require(std::memcmp(memory + 1, rows, sizeof rows) == 0);
}

// The standard syntax: check has an error exactly where eval raises, and a
// compiled text gives what a fresh evaluator gives.
MathEvaluator* makeStandard() {
    MathEvaluator* e = makeEngine();
    e->syntax = Syntax::Standard;
    return e;
}

void standard(const std::string& text) {
    static MathEvaluator* m = makeStandard();
    auto outcome = [&](MathEvaluator& e, long double& value) {
        try {
            value = e.eval(text);
            return true;
        } catch (const ExpressionError& failed) {
            require(!failed.problems.empty() && failed.text == text);
            return false;
        }
    };
    long double first = 0, again = 0, fresh = 0;
    const bool read = outcome(*m, first);
    require(read == m->check(text).empty());
    require(outcome(*m, again) == read);
    MathEvaluator* other = makeStandard();
    require(outcome(*other, fresh) == read);
    delete other;
    require(!read || ((first == again || first != first) && (first == fresh || first != first)));
}

// Generated code against the interpreter: values, exceptions and records
// under both flags, with x's cell lost, and over rows (enough to be
// generated for), which are read from and written to overlapping memory.
void bothWays(const std::string& text) {
    constexpr std::size_t kRows = 600;
    static double rows[2][kRows + 1];
    for (bool accurate : {false, true}) {
        Outcome ways[2][2]; // [generated][cell lost]
        int thrown[2];
        for (int generated = 0; generated < 2; ++generated) {
            setNativeEnabled(generated);
            MathEvaluator* e = makeEngine(accurate);
            evaluateOnce(*e, text);
            ways[generated][0] = evaluateOnce(*e, text); // the second run is generated
            e->externalVariables["x"] = nullptr;
            evaluateOnce(*e, text);
            ways[generated][1] = evaluateOnce(*e, text);
            e->externalVariables["x"] = &one;
            double* r = rows[generated];
            for (std::size_t i = 0; i <= kRows; ++i) r[i] = (i % 7 == 3) ? -0.0 : 0.37 * i - 50;
            thrown[generated] = thrownBy([&] { e->evalMany(text, {{"x", r}}, kRows, r + 1); });
            delete e;
        }
        require(ways[0][0] == ways[1][0] && ways[0][1] == ways[1][1] && thrown[0] == thrown[1]);
        require(std::memcmp(rows[0], rows[1], sizeof rows[0]) == 0);
    }
    setNativeEnabled(true);
}

// A random standard text with calls whose arguments hold operators, from the
// bytes, and its value computed apart from any text: by walking the tree the
// bytes describe, with the engine's own operations (extended precision, the
// functions in double). The text must give those very bits.
struct Built {
    std::string text;
    long double value;
    int precedence;       // of its outermost operator: 100 for an atom
    bool number = false;  // a number, or a number negated once: a power's constant exponent
    bool constant = true; // reads no variable and calls no callable
};

// Set where a power's exponent is constant but no number: the parser may
// compute it (a whole one is then a product) or not (beyond the steps it
// computes), so the model cannot tell the text's value.
bool uncertain = false;

// Callables over blocks of rows, which cut generated rows into stretches:
// third(v) = v / 3 and mix(a, b) = a - 2b, in double.
void addBlockCallables(MathEvaluator& e) {
    e.appendCallable("third", NaryCallable([](const double* v, std::size_t) { return v[0] / 3; }),
                     BlockCallable([](const double* const* v, std::size_t n, double* out) {
                         for (std::size_t j = 0; j < n; ++j) out[j] = v[0][j] / 3;
                     }),
                     1);
    e.appendCallable("mix",
                     NaryCallable([](const double* v, std::size_t) { return v[0] - 2 * v[1]; }),
                     BlockCallable([](const double* const* v, std::size_t n, double* out) {
                         for (std::size_t j = 0; j < n; ++j) out[j] = v[0][j] - 2 * v[1][j];
                     }),
                     2);
}

Built tree(const std::uint8_t*& at, const std::uint8_t* end, int depth) {
    auto next = [&]() -> unsigned { return at < end ? *at++ : 0; };
    const unsigned kind = next();
    if (depth == 0 || kind % 11 == 0) {
        const unsigned n = next() % 50;
        if (n % 5 == 0) return {"x", 1.5L, 100, false, false};
        return {std::to_string(n / 4) + (n % 2 ? ".5" : ""), n / 4 + (n % 2 ? 0.5L : 0.0L), 100,
                true};
    }
    auto wrap = [](const Built& b, int least) {
        return b.precedence < least ? "(" + b.text + ")" : b.text;
    };
    const Built a = tree(at, end, depth - 1);
    bool constant = a.constant; // and every other operand's, and no callable
    const auto operand = [&] {
        const Built b = tree(at, end, depth - 1);
        constant = constant && b.constant;
        return b;
    };
    Built made = [&]() -> Built {
        switch (kind % 11) {
        case 1: { // min, max, pow, atan2 or hypot of two arguments, each a whole expression
            const Built b = operand();
            static const char* const names[] = {"min", "max", "pow", "atan2", "hypot"};
            const unsigned f = next() % 5;
            const long double l = a.value, r = b.value;
            const double dl = static_cast<double>(l), dr = static_cast<double>(r);
            // A constant whole exponent is the product it denotes, 0.5 the root,
            // half an odd number the root's power; others the engine's own pow.
            const bool whole = b.number && r == std::trunc(r) && std::fabs(r) <= 1024;
            const bool half =
                b.number && !whole && 2 * r == std::trunc(2 * r) && std::fabs(2 * r) <= 1024;
            uncertain = uncertain || (f == 2 && b.constant && !b.number);
            const long double value = f == 2 && whole ? powInteger(l, dr)
                                      : f == 2 && half
                                          ? (r == 0.5 ? powHalf(l) : powInteger(powHalf(l), 2 * dr))
                                      : f == 0 ? (l != l   ? l
                                                  : r != r ? r
                                                  : r < l  ? r
                                                           : l)
                                      : f == 1 ? (l != l   ? l
                                                  : r != r ? r
                                                  : l < r  ? r
                                                           : l)
                                      : f == 2 ? elementary::pow(dl, dr)
                                      : f == 3 ? elementary::atan2(dl, dr)
                                               : elementary::hypot(dl, dr);
            return {std::string(names[f]) + "(" + a.text + ", " + b.text + ")", value, 100};
        }
        case 2: { // abs, or a callable over blocks
            const unsigned f = next() % 3;
            const double d = static_cast<double>(a.value);
            if (f == 0) return {"abs(" + a.text + ")", std::fabs(d), 100};
            constant = constant && f == 0;
            if (f == 1) return {"third(" + a.text + ")", d / 3, 100};
            const Built b = operand();
            return {"mix(" + a.text + ", " + b.text + ")", d - 2 * static_cast<double>(b.value),
                    100};
        }
        case 3:
            return {"-" + wrap(a, 35), -a.value, 35, a.number && a.precedence == 100};
        case 4: { // a comparison, never chained
            const Built b = operand();
            static const char* const symbols[] = {"<", "<=", ">", ">=", "==", "!="};
            const unsigned c = next() % 6;
            const long double l = a.value, r = b.value;
            const bool holds = c == 0   ? l < r
                               : c == 1 ? l <= r
                               : c == 2 ? l > r
                               : c == 3 ? l >= r
                               : c == 4 ? l == r
                                        : l != r;
            return {wrap(a, 16) + " " + symbols[c] + " " + wrap(b, 16), holds ? 1.0L : 0.0L, 15};
        }
        case 5: { // and, or, not
            const unsigned c = next() % 3;
            if (c == 2) return {"not " + wrap(a, 12), a.value == 0 ? 1.0L : 0.0L, 12};
            const Built b = operand();
            const int p = c == 0 ? 11 : 10;
            const bool holds = c == 0 ? a.value != 0 && b.value != 0 : a.value != 0 || b.value != 0;
            return {wrap(a, p) + (c == 0 ? " and " : " or ") + wrap(b, p + 1), holds ? 1.0L : 0.0L,
                    p};
        }
        case 6: { // where(c, a, b), or c ? a : b
            const Built b = operand();
            const Built c = operand();
            const long double v = c.value != 0 ? a.value : b.value;
            if (next() % 2)
                return {"where(" + c.text + ", " + a.text + ", " + b.text + ")", v, 100};
            return {wrap(c, 6) + " ? " + a.text + " : " + wrap(b, 5), v, 5};
        }
        default: {
            const Built b = operand();
            static const char symbols[] = {'+', '-', '*', '/'};
            const char op = symbols[kind % 4];
            const int p = op == '+' || op == '-' ? 20 : 30;
            const long double v = op == '+'   ? a.value + b.value
                                  : op == '-' ? a.value - b.value
                                  : op == '*' ? a.value * b.value
                                              : a.value / b.value;
            return {wrap(a, p) + " " + op + " " + wrap(b, p + 1), v, p};
        }
        }
    }();
    made.constant = constant;
    return made;
}

// The paths of a standard text: interpreted and generated, one value and
// rows (blocks or generated code), under both flags, give the same bits,
// and each row is what one evaluation with its value gives.
void standardWays(const std::string& text) {
    constexpr std::size_t kRows = 600;
    static double column[kRows], rows[2][kRows];
    for (std::size_t i = 0; i < kRows; ++i) column[i] = (i % 7 == 3) ? -0.0 : 0.25 * i - 50;
    for (bool accurate : {false, true}) {
        long double values[2];
        for (int generated = 0; generated < 2; ++generated) {
            setNativeEnabled(generated);
            MathEvaluator e(accurate);
            static double x = 1.5;
            e.appendVariable("x", x);
            addBlockCallables(e);
            e.syntax = Syntax::Standard;
            e.eval(text);
            values[generated] = e.eval(text); // the second run is generated
            e.evalMany(text, {{"x", column}}, kRows, rows[generated]);
            for (std::size_t i = 0; i < kRows; i += 97) {
                const double row = static_cast<double>(e.evalWith(text, {{"x", column + i}}));
                require(sameBits(row, rows[generated][i]));
            }
        }
        require(std::memcmp(&values[0], &values[1], 10) == 0);
        require(std::memcmp(rows[0], rows[1], sizeof rows[0]) == 0);
    }
    setNativeEnabled(true);
}

void standardCalls(const std::uint8_t* data, std::size_t size) {
    static MathEvaluator* m = [] {
        auto* e = new MathEvaluator(false);
        static double x = 1.5;
        e->appendVariable("x", x);
        addBlockCallables(*e);
        e->syntax = Syntax::Standard;
        return e;
    }();
    const std::uint8_t* at = data;
    uncertain = false;
    const Built b = tree(at, data + size, 6);
    const long double got = m->eval(b.text);
    require(uncertain || got == b.value || (got != got && b.value != b.value));
    standardWays(b.text);
}

// Under another rounding mode and x87 precision, every path gives what it
// gives under the defaults, and the caller's settings come back.
void otherRounding(const std::string& text, const Outcome& first) {
    if (first.thrown) return;
    MathEvaluator& m = engine();
    double x[600], rows[2][600];
    for (std::size_t i = 0; i < 600; ++i) x[i] = 0.37 * i - 50;
    m.evalMany(text, {{"x", x}}, 600, rows[0]);
    std::fesetround(FE_UPWARD);
    std::uint16_t control, changed;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    changed = static_cast<std::uint16_t>((control & ~0x0300) | 0x0200);
    __asm__ volatile("fldcw %0" : : "m"(changed));
    const Outcome again = evaluateOnce(m, text);
    m.evalMany(text, {{"x", x}}, 600, rows[1], sizeof(double), 2);
    std::uint16_t after;
    __asm__ volatile("fnstcw %0" : "=m"(after));
    require(after == changed && std::fegetround() == FE_UPWARD);
    __asm__ volatile("fldcw %0" : : "m"(control));
    std::fesetround(FE_TONEAREST);
    require(again == first);
    require(std::memcmp(rows[0], rows[1], sizeof rows[0]) == 0);
}

void pipeline(const std::string& text) {
    MathEvaluator& m = engine();
    me_SepValues tokens = m.seperate(text);
    require(joined(tokens.tokens) == text);
    tokens.freeLists();

    me_RPN compiled = m.compile(text);
    require(compiled.RPN == joined(compiled.RPN_values));
    require(joined(compiled.tokens) == text);
    compiled.freeLists();

    const Outcome first = evaluateOnce(m, text);
    // Diagnostics: an error exactly where eval fails, and the run explained
    // to the same end; none of them changes what eval gives next.
    bool error = false;
    for (const Diagnostic& d : m.check(text)) {
        require(d.offset + d.length <= text.size());
        error = error || d.error;
    }
    require(error == first.failed);
    require(m.explain(text).succeeded == !first.failed);
    m.names(text);
    require(first == evaluateOnce(m, text));
    reference().releaseCompilations();
    require(first == evaluateOnce(reference(), text));
    edited(text, first);
    overData(text, first);
    standard(text);
    bothWays(text);
    otherRounding(text, first);
    require(m.eval("x+1") == 2); // still working afterwards
}

// A sequence of calls on one long-lived evaluator with a small cache, each
// evaluation checked against a fresh evaluator built from what the sequence
// documented so far: syntax, flag, variables and their cells, functions and
// table edits. Nothing else that came before may change a value.
struct Model {
    bool standard = false, accurate = false;
    double* cells[3] = {nullptr, nullptr, nullptr}; // x, y, z where bound
    unsigned functions = 0;                         // f, g, h where added
    unsigned edits = 0;                             // of the first kCommuting edits
};
constexpr unsigned kCommuting = 4; // kEdits that a syntax switch leaves alone
const char* const kNames[] = {"x", "y", "z"};
double sequenceCells[3][2] = {{1.5, -2}, {0.25, 3}, {7, -0.0}};
const char* const kTexts[] = {"x+1",
                              "1000",
                              "2000",
                              "x*y-z",
                              "2^0.5",
                              "x^2",
                              "3+4*2/(1-5)^2^3",
                              "sin(x)",
                              "f(x)+1",
                              "g(x, y)",
                              "x**2",
                              "-x",
                              "x > 1 and y < 2",
                              "0.7",
                              "1.1",
                              "x/3+g(x,1)",
                              "h(x)",
                              "max(x, y)",
                              "pow(x, 3)",
                              "z",
                              "x+",
                              "1e999",
                              "sqrt(x)*e",
                              "exp(x)%2",
                              "5-3-1",
                              "2+3*4",
                              "f(2)",
                              "x y",
                              "(x)",
                              "sin(x)^2+1"};

void addSequenceFunction(MathEvaluator& m, unsigned which) {
    if (which == 0)
        m.appendCallable("f", UnaryCallable([](double v) { return v * 2 + 1; }));
    else if (which == 1)
        m.appendCallable("g",
                         NaryCallable([](const double* v, std::size_t) { return v[0] - 2 * v[1]; }),
                         BlockCallable([](const double* const* v, std::size_t n, double* out) {
                             for (std::size_t j = 0; j < n; ++j) out[j] = v[0][j] - 2 * v[1][j];
                         }),
                         2);
    else
        m.appendFunction("h", static_cast<UnaryFunction>(std::exp));
}

MathEvaluator* build(const Model& model) {
    auto* m = new MathEvaluator(model.accurate);
    m->syntax = model.standard ? Syntax::Standard : Syntax::Classic;
    for (unsigned k = 0; k < 3; ++k)
        if (model.cells[k]) m->appendVariable(kNames[k], *model.cells[k]);
    for (unsigned k = 0; k < 3; ++k)
        if (model.functions >> k & 1) addSequenceFunction(*m, k);
    for (unsigned k = 0; k < kCommuting; ++k)
        if (model.edits >> k & 1) kEdits[k].apply(*m);
    return m;
}

// A value's bits, or which exception: 1 invalid_argument, 2 out_of_range,
// 3 ExpressionError, 4 logic_error.
struct Result {
    int thrown = 0;
    long double value = 0;
    bool operator==(const Result& o) const {
        return thrown == o.thrown &&
               (std::memcmp(&value, &o.value, 10) == 0 || (value != value && o.value != o.value));
    }
};
Result resultOf(const std::function<long double()>& call) {
    Result r;
    try {
        r.value = call();
    } catch (const ExpressionError&) {
        r.thrown = 3;
    } catch (const std::invalid_argument&) {
        r.thrown = 1;
    } catch (const std::out_of_range&) {
        r.thrown = 2;
    } catch (const std::logic_error&) {
        r.thrown = 4;
    }
    return r;
}

void sequence(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* at = data;
    const std::uint8_t* const end = data + size;
    auto next = [&]() -> unsigned { return at < end ? *at++ : 0; };
    Model model;
    MathEvaluator* m = build(model);
    m->setCacheSize(1 + next() % 3);
    constexpr std::size_t kRows = 600;
    static double column[kRows], rows[2][kRows];
    for (std::size_t i = 0; i < kRows; ++i) column[i] = (i % 5 == 2) ? -0.0 : 0.5 * i - 99;
    std::vector<Formula> formulas;
    std::vector<bool> formulaStandard;
    while (at < end) {
        const unsigned op = next() % 12;
        const std::string text = kTexts[next() % (sizeof kTexts / sizeof kTexts[0])];
        // The same call on the long-lived evaluator and on a fresh one.
        auto compare = [&](const std::function<long double(MathEvaluator&)>& call) {
            const Result kept = resultOf([&] { return call(*m); });
            MathEvaluator* fresh = build(model);
            const Result made = resultOf([&] { return call(*fresh); });
            delete fresh;
            require(kept == made);
        };
        switch (op) {
        case 0:
        case 1: // eval, once or twice
            for (unsigned k = 0; k <= op; ++k)
                compare([&](MathEvaluator& e) { return e.eval(text); });
            break;
        case 2: { // evalWith, under a name that may also be registered
            const unsigned k = next() % 3;
            compare([&](MathEvaluator& e) {
                return e.evalWith(text, {{kNames[k], &sequenceCells[k][1], 0}});
            });
            break;
        }
        case 3: { // evalMany over few rows or many, on one thread or two
            const std::size_t n = next() % 2 ? kRows : 3;
            const std::size_t threads = 1 + next() % 2;
            const unsigned k = next() % 3;
            for (int which = 0; which < 2; ++which) {
                MathEvaluator* e = which ? build(model) : m;
                std::memset(rows[which], 0, sizeof rows[which]);
                const Result r = resultOf([&] {
                    e->evalMany(text, {{kNames[k], column}}, n, rows[which], sizeof(double),
                                threads);
                    return 0.0L;
                });
                if (which) delete e;
                rows[which][0] = r.thrown ? -r.thrown : rows[which][0];
            }
            require(std::memcmp(rows[0], rows[1], n * sizeof(double)) == 0);
            break;
        }
        case 4:
            model.standard = !model.standard;
            m->syntax = model.standard ? Syntax::Standard : Syntax::Classic;
            break;
        case 5: { // a variable bound to one of two cells, or deleted; or a cell's value changed
            const unsigned k = next() % 3, how = next() % 4;
            if (how < 2) {
                model.cells[k] = &sequenceCells[k][how];
                m->appendVariable(kNames[k], *model.cells[k]);
            } else if (how == 2) {
                model.cells[k] = nullptr;
                m->deleteVariable(kNames[k]);
            } else {
                sequenceCells[k][0] = static_cast<double>(next()) / 8 - 3;
            }
            break;
        }
        case 6: { // a function added or deleted
            const unsigned k = next() % 3;
            if (model.functions >> k & 1) {
                m->deleteFunction(k == 0 ? "f" : k == 1 ? "g" : "h");
            } else {
                addSequenceFunction(*m, k);
            }
            model.functions ^= 1u << k;
            break;
        }
        case 7: { // a table edited, or the edit undone
            const unsigned k = next() % kCommuting;
            (model.edits >> k & 1 ? kEdits[k].undo : kEdits[k].apply)(*m);
            model.edits ^= 1u << k;
            break;
        }
        case 8:
            if (next() % 2) {
                m->releaseCompilations();
            } else {
                m->setCacheSize(1 + next() % 3);
            }
            break;
        case 9:
            model.accurate = !model.accurate;
            m->accuracyOverEfficiency = model.accurate;
            break;
        case 10: // a formula prepared, which outlives the cache
            if (resultOf([&] {
                    formulas.push_back(m->prepare(text));
                    return 0.0L;
                }).thrown == 0)
                formulaStandard.push_back(model.standard);
            if (formulas.size() > 2) {
                formulas.erase(formulas.begin());
                formulaStandard.erase(formulaStandard.begin());
            }
            break;
        default: { // a formula's value, against one prepared afresh in its syntax
            if (formulas.empty()) break;
            const std::size_t k = next() % formulas.size();
            const bool with = next() % 2;
            const Column value{"y", &sequenceCells[1][1], 0};
            const Result kept =
                resultOf([&] { return with ? formulas[k].value({value}) : formulas[k].value(); });
            MathEvaluator* fresh = build(model);
            fresh->syntax = formulaStandard[k] ? Syntax::Standard : Syntax::Classic;
            const Result made = resultOf([&] {
                Formula f = fresh->prepare(formulas[k].text());
                fresh->syntax = model.standard ? Syntax::Standard : Syntax::Classic;
                return with ? f.value({value}) : f.value();
            });
            delete fresh;
            require(kept == made);
            break;
        }
        }
    }
    formulas.clear();
    delete m;
}

void primitives(const std::uint8_t* data, std::size_t size) {
    using Primitive = long double (*)(long double, long double, bool);
    static const Primitive all[] = {_add, _sub, _mul, _div, _mod, _pow, _factorial};
    long double left = 0, right = 0;
    std::memcpy(&left, data + 1, 10);
    std::memcpy(&right, data + 11, 10);
    const bool flag = data[0] & 1;
    (void)size;
    for (Primitive p : all) (void)p(left, right, flag);
}

// The software extended type against x87 on two operands: every operation
// and conversion gives the same bits. Encodings x87 never makes (an integer
// bit that disagrees with the exponent) are left out.
void extendedAgainstX87(const std::uint8_t* data) {
    soft::Extended a, b;
    std::memcpy(&a, data + 1, 10);
    std::memcpy(&b, data + 11, 10);
    for (const soft::Extended x : {a, b}) {
        const bool field = (x.signExponent & 0x7fff) != 0;
        if (field != static_cast<bool>(x.significand >> 63)) return;
    }
    const EngineX87 floats;
    volatile long double x = 0, y = 0;
    std::memcpy(const_cast<long double*>(&x), &a, 10);
    std::memcpy(const_cast<long double*>(&y), &b, 10);
    auto same = [](soft::Extended mine, long double theirs) {
        require(std::memcmp(&mine, &theirs, 10) == 0);
    };
    same(soft::add(a, b), x + y);
    same(soft::subtract(a, b), x - y);
    same(soft::multiply(a, b), x * y);
    same(soft::divide(a, b), x / y);
    same(soft::squareRoot(a), std::sqrt(x));
    same(soft::remainderOf(a, b), std::fmod(x, y));
    require(soft::less(a, b) == (x < y) && soft::equal(a, b) == (x == y) &&
            soft::lessEqual(a, b) == (x <= y));
    const double rounded = static_cast<double>(x), mine = soft::toDouble(a);
    require(std::memcmp(&rounded, &mine, sizeof mine) == 0);
    same(soft::fromDouble(rounded), static_cast<long double>(rounded));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // 21 bytes starting with 0xFF: a flag byte and two 80-bit operands.
    if (size == 21 && data[0] == 0xFF) {
        primitives(data, size);
        return 0;
    }
    // 21 bytes starting with 0xFC: two operands of the software extended type.
    if (size == 21 && data[0] == 0xFC) {
        extendedAgainstX87(data);
        return 0;
    }
    // Bytes starting with 0xFD: a sequence of calls on one evaluator.
    if (size > 1 && data[0] == 0xFD) {
        sequence(data + 1, size - 1);
        return 0;
    }
    // Bytes starting with 0xFE: a tree of a standard text with calls.
    if (size > 1 && data[0] == 0xFE) {
        standardCalls(data + 1, size - 1);
        return 0;
    }
    pipeline(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

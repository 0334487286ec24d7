// The public tables and lists are live: an edit a caller makes takes effect at
// the next call, also for a text compiled before the edit.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "evaluator.h"
#include "primitives.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

long double largest(long double a, long double b) {
    return a > b ? a : b;
}

constexpr long double kThrows = -999; // stands for "stod" in the tables below

long double valueOf(MathEvaluator& m, const char* text) {
    try {
        return m.eval(text);
    } catch (const std::invalid_argument&) {
        return kThrows;
    }
}

TEST(LiveTablesTest, EditsTakeEffectAtTheNextCall) {
    struct Case {
        const char* label;
        const char* text;
        long double before;
        std::function<void(MathEvaluator&)> edit;
        long double after;
    };
    const Case cases[] = {
        {"associativity", "8-3-2", 3, [](MathEvaluator& m) { m.rightAssociative["-"] = 1; }, 7},
        {"precedence", "2*3+4", 10, [](MathEvaluator& m) { m.operatorPrecedence["+"] = 10; }, 14},
        {"primitive", "5%3", 2, [](MathEvaluator& m) { m.operatorFunctions["%"] = _mul; }, 15},
        {"unary function", "sin(0)", 0,
         [](MathEvaluator& m) { m.unaryFunctions["sin"] = static_cast<UnaryFunction>(std::cos); },
         1},
        {"new binary function", "max(2,5)", kThrows,
         [](MathEvaluator& m) {
             m.binaryFunctions["max"] = largest;
             m.argumentCounts["max"] = 2;
             m.functionNames.append("max");
         },
         5},
        {"function dropped from the list", "sqrt(4)", 2,
         [](MathEvaluator& m) { m.functionNames.remove(5); }, kThrows}, // an operand now
        {"routine erased", "tan(0)", 0, [](MathEvaluator& m) { m.unaryFunctions.erase("tan"); }, 0},
        {"arity through the operator's name", "2+3", 5,
         [](MathEvaluator& m) { m.operatorNames["+"] = "factorial"; }, 0}, // 2 values left
        {"new operator symbol", "7&2", 7,
         [](MathEvaluator& m) {
             m.operatorSymbols.append("&");
             m.operatorNames["&"] = "sub";
             m.operatorPrecedence["&"] = 2;
             m.operatorFunctions["&"] = _sub;
         },
         5},
        {"new separator", "1;2", 1, [](MathEvaluator& m) { m.separatorSymbols.append(";"); }, 0},
        {"whole table assigned", "2+3", 5,
         [](MathEvaluator& m) {
             m.operatorFunctions = {{"+", _mul}};
         },
         6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MathEvaluator m;
        EXPECT_EQ(valueOf(m, c.text), c.before); // compiled and kept before the edit
        c.edit(m);
        EXPECT_EQ(valueOf(m, c.text), c.after);
    }
}

// An entry erased from a table must not be read through anything derived
// from it, whatever the next text is.
TEST(LiveTablesTest, ErasedEntriesAreNeverReadAgain) {
    MathEvaluator m;
    double abc = 2;
    m.appendVariable("abc", abc);
    EXPECT_EQ(m.eval("tan(0)+abc"), 2);
    m.unaryFunctions.erase("tan");
    m.operatorPrecedence.erase("*");
    EXPECT_EQ(m.eval("abc+1"), 3);
    EXPECT_EQ(m.eval("tan(0)+abc"), 0);
    EXPECT_EQ(m.eval("2*3+1"), 8); // "*" reads as precedence 0 (and is entered again)
    EXPECT_EQ(m.operatorPrecedence.at("*"), 0);
    m.rightAssociative.erase("-");
    EXPECT_EQ(m.eval("8-3-2"), 3); // read as 0, and entered as 0: left associative
    EXPECT_EQ(m.rightAssociative.at("-"), 0);
    m.operatorPrecedence["+"] = 2; // derived again, from the entry made
    EXPECT_EQ(m.eval("8-3-2+0"), 3);
}

TEST(LiveTablesTest, SeperateChangesNoMember) {
    MathEvaluator m;
    me_SepValues tokens = m.seperate("sin+(1+2)");
    EXPECT_EQ(texts(tokens.tokens),
              (std::vector<std::string>{"sin", "+", "", "(", "1", "+", "2", ")"}));
    tokens.freeLists();
    EXPECT_EQ(m.operatorPrecedence.size(), 7u);
    EXPECT_EQ(m.rightAssociative.size(), 7u);
    EXPECT_EQ(m.eval("sin+(1+2)"), 0); // compile's lookups enter "(" and "sin"
    EXPECT_EQ(m.operatorPrecedence.size(), 9u);
}

TEST(LiveTablesTest, EditedVariablesAreSeen) {
    MathEvaluator m(false);
    double x = 1, other = 2;
    m.appendVariable("x", x);
    auto entry = m.externalVariables.find("x");
    EXPECT_EQ(m.eval("x+1"), 2);
    entry->second = &other; // through an iterator kept across calls
    EXPECT_EQ(m.eval("x+1"), 3);
    entry->second = nullptr;
    EXPECT_EQ(m.eval("x+1"), 0);
    m.variableNames.remove(0); // "x" is no variable now: a token that is no number
    EXPECT_THROW(m.eval("x+1"), std::invalid_argument);
    m.variableNames.append("x");
    m.externalVariables.erase("x"); // listed without an entry: malformed
    EXPECT_EQ(m.eval("x+1"), 0);
    EXPECT_EQ(m.eval("x*1"), 0);
    // A new entry is a new cell: no text reads the erased one again.
    for (int round = 0; round < 3; ++round) {
        double cell = round;
        m.externalVariables.emplace("x", &cell);
        EXPECT_EQ(m.eval("x+1"), round + 1);
        EXPECT_EQ(m.eval("x*2"), 2 * round);
        m.externalVariables.erase("x");
        EXPECT_EQ(m.eval("x-1"), 0);
    }
}

// Registering, evaluating and deleting cost the same at any number of names.
TEST(LiveTablesTest, HundredThousandVariables) {
    constexpr int kCount = 100000;
    MathEvaluator m(false);
    std::vector<double> cells(kCount);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCount; ++i) {
        cells[i] = i;
        m.appendVariable("v" + std::to_string(i), cells[i]);
    }
    EXPECT_EQ(m.eval("v0+1"), 1);
    EXPECT_EQ(m.eval("v99999+1"), 100000);
    for (int i = 0; i < kCount; i += 2) m.deleteVariable("v" + std::to_string(i));
    EXPECT_THROW(m.eval("v0+1"), std::invalid_argument);
    EXPECT_EQ(m.eval("v99999+v1"), 100000);
    EXPECT_EQ(m.variableNames.size(), static_cast<unsigned>(kCount / 2));
    EXPECT_EQ(m.variableNames.getIndex("v99999"), static_cast<unsigned>(kCount / 2 - 1));
    for (int i = 1; i < kCount; i += 2) m.deleteVariable("v" + std::to_string(i));
    EXPECT_EQ(m.variableNames.head, nullptr);
    EXPECT_EQ(m.variableNames.tail, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// Names past the 65,534th of the lists are found by their text, as the others
// are by the index their token keeps.
TEST(LiveTablesTest, SeventyThousandFunctionNames) {
    MathEvaluator m;
    for (int i = 0; i < 70000; ++i) {
        const std::string name = "f" + std::to_string(i);
        m.unaryFunctions[name] = i % 2 ? static_cast<UnaryFunction>(std::sqrt)
                                       : static_cast<UnaryFunction>([](double x) { return x; });
        m.argumentCounts[name] = 1;
        m.functionNames.append(name);
    }
    for (int i : {0, 1, 65533, 65534, 65535, 69999}) {
        const std::string f = "f" + std::to_string(i);
        EXPECT_EQ(m.eval(f + "(9)*" + f + "(16)"), i % 2 ? 12 : 144) << i;
    }
}

// More texts than are kept, evaluated in turn, each with its own value; and
// texts alike but for their end.
TEST(LiveTablesTest, ManyTextsInTurn) {
    MathEvaluator m;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(m.eval("12+34"), 46);
        EXPECT_EQ(m.eval("12+35"), 47);
        EXPECT_EQ(m.eval("1234567+8"), 1234575);
        EXPECT_EQ(m.eval("1234567+9"), 1234576);
    }
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 40; ++i) ASSERT_EQ(m.eval(std::to_string(i) + "*2"), 2 * i) << i;
}

} // namespace

namespace {

long double negate(long double, long double right, bool) {
    return -right;
}

// An operator of one operand from outside, after a number and after a value.
TEST(LiveTablesTest, OperatorOfOneOperand) {
    MathEvaluator m;
    m.operatorSymbols.append("~");
    m.operatorNames["~"] = "negate";
    m.argumentCounts["negate"] = 1;
    m.operatorPrecedence["~"] = 5;
    m.operatorFunctions["~"] = negate;
    EXPECT_EQ(m.eval("3~"), -3);
    EXPECT_EQ(m.eval("2+3~"), -1);
    EXPECT_EQ(m.eval("(2*4)~+1"), -7);
}

int ticks = 0;
double tick(double x) {
    return x + ++ticks;
}

// A function from outside may have effects: it is called at every run, never
// folded away as a constant.
TEST(LiveTablesTest, OutsideFunctionsRunEveryTime) {
    MathEvaluator m;
    m.appendFunction("tick", tick);
    ticks = 0;
    EXPECT_EQ(m.eval("tick(1)"), 2);
    EXPECT_EQ(m.eval("tick(1)"), 3);
    EXPECT_EQ(ticks, 2);
}

// Functions added through the engine's own calls: plain and with state, the
// tables saying so, compiled programs following, a throw passing through.
TEST(LiveTablesTest, AddedFunctions) {
    MathEvaluator m;
    EXPECT_EQ(m.eval("sin(0)+1"), 1);
    m.appendFunction("sin", static_cast<UnaryFunction>(std::cos)); // replaces the built-in
    EXPECT_EQ(m.eval("sin(0)+1"), 2);
    int calls = 0;
    m.appendCallable("count", UnaryCallable([&calls](double x) { return x + ++calls; }));
    m.appendCallable("pair",
                     BinaryCallable([](long double a, long double b) { return a * 10 + b; }));
    EXPECT_EQ(m.eval("count(1)+count(1)"), 5);
    EXPECT_EQ(m.eval("pair(1,2)"), 12);
    EXPECT_EQ(m.argumentCounts.at("pair"), 2);
    EXPECT_EQ(m.binaryFunctions.at("pair"), callableBinary);
    EXPECT_TRUE(m.functionNames.inList("count"));
    m.appendFunction("pair", largest); // now a plain binary function
    EXPECT_EQ(m.eval("pair(1,2)"), 2);
    m.appendCallable("bad", UnaryCallable([](double) -> double { throw std::runtime_error("x"); }));
    EXPECT_THROW(m.eval("1+bad(2)"), std::runtime_error);
    EXPECT_EQ(texts(m.currentRPN.RPN_values), (std::vector<std::string>{"1", "2", "bad", "+"}));
    for (const char* name : {"count", "pair", "sin"}) m.deleteFunction(name);
    EXPECT_THROW(m.eval("count(1)"), std::invalid_argument);
    EXPECT_FALSE(m.functionNames.inList("sin"));
    EXPECT_EQ(m.unaryFunctions.count("sin"), 0u);
    EXPECT_EQ(m.eval("cos(0)"), 1);
}

} // namespace

// The tables cannot be edited past their counters: no mutable std::map& to
// them exists, while reading them as a std::map still works.
static_assert(
    !std::is_convertible_v<CountedMap<std::string, double*>&, std::map<std::string, double*>&>);
static_assert(
    std::is_convertible_v<const CountedMap<std::string, int>&, const std::map<std::string, int>&>);

TEST(LiveTablesTest, FunctionsCannotPullTheirRunAway) {
    // A function that uses its own evaluator while a run uses the function:
    // every call that could drop the running program or the function itself
    // throws, and the run ends with that exception; the evaluator goes on.
    MathEvaluator m;
    std::function<void(MathEvaluator&)> inside;
    m.appendCallable("f", UnaryCallable([&](double x) {
                         inside(m);
                         return x + 1;
                     }));
    const std::function<void(MathEvaluator&)> uses[] = {
        [](MathEvaluator& e) { e.eval("1+2"); },
        [](MathEvaluator& e) { e.compile("3*4"); },
        [](MathEvaluator& e) { e.appendFunction("f", static_cast<UnaryFunction>(std::exp)); },
        [](MathEvaluator& e) { e.appendCallable("f", UnaryCallable([](double) { return 0.0; })); },
        [](MathEvaluator& e) { e.deleteFunction("f"); },
        [](MathEvaluator& e) { e.deleteVariable("pi"); },
        [](MathEvaluator& e) { e.releaseCompilations(); },
        [](MathEvaluator& e) { e.explain("f(1)"); },
    };
    double x = 2;
    for (const auto& use : uses) {
        inside = use;
        EXPECT_THROW(m.eval("f(2)*3"), std::logic_error);
        EXPECT_THROW(m.evalMany("f(2)", {}, 1, &x), std::logic_error);
    }
    double k = 5;
    inside = [&k](MathEvaluator& e) { e.appendVariable("k", k); };
    EXPECT_EQ(m.eval("f(2)*3"), 9); // what leaves the run alone is allowed
    inside = [](MathEvaluator&) {};
    EXPECT_EQ(m.eval("f(pi)"), 3.141592653589793 + 1);
}

TEST(LiveTablesTest, FunctionNamesThatCouldNeverBeCalled) {
    MathEvaluator m;
    for (const char* name : {"", "(", ")", ",", "+", "a+b", "1", "2.5e3", "inf", "nan"})
        EXPECT_THROW(m.appendFunction(name, static_cast<UnaryFunction>(std::exp)),
                     std::invalid_argument)
            << name;
    EXPECT_EQ(m.eval("(1)"), 1);
    for (const char* name : {"e5", "1x", "my f"})
        EXPECT_NO_THROW(m.appendFunction(name, static_cast<UnaryFunction>(std::exp))) << name;
    EXPECT_EQ(m.eval("1x(0)"), 1);
}

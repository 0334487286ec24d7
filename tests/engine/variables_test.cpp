#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "evaluator.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

template <typename Map> Strings keys(const Map& map) {
    Strings out;
    for (const auto& entry : map) out.push_back(entry.first);
    return out;
}

TEST(VariablesTest, BindsByAddress) {
    MathEvaluator m(false);
    double x = 2;
    m.appendVariable("x", x);
    EXPECT_EQ(m.eval("2*x+1"), 5);
    x = 5;
    EXPECT_EQ(m.eval("x"), 5);
    double other = 7;
    m.appendVariable("x", other); // re-binding keeps one entry and one name
    EXPECT_EQ(elements(m.variableNames), Strings{"x"});
    EXPECT_EQ(m.getExternalVariables().at("x"), &other);
    EXPECT_EQ(m.eval("x"), 7);
}

TEST(VariablesTest, NamesMatchWholeTokens) {
    MathEvaluator m(false);
    double one = 1, two = 2, three = 3, four = 4, five = 5;
    m.appendVariable("x", one);
    m.appendVariable("2", two);    // shadows the number
    m.appendVariable("x ", three); // blank included
    m.appendVariable("-x", four);  // sign included
    m.appendVariable("sin", five); // read, then applied as the function
    struct Case {
        const char* input;
        long double expected;
        bool throws;
    };
    const Case cases[] = {
        {"x+1", 2, false},  {"2", 2, false}, {"2+2", 4, false}, {"x +1", 4, false},
        {"-x*2", 8, false}, {"X", 0, true},  {"pi", 0, true},   {"sin(0)", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        if (c.throws)
            EXPECT_THROW(m.eval(c.input), std::invalid_argument);
        else
            EXPECT_EQ(m.eval(c.input), c.expected);
    }
    EXPECT_EQ(m.eval("sin"), std::sin(5.0));
}

// The same text evaluated again must see every change of the variables made
// in between: registration, deletion, re-binding, shadowing a number.
TEST(VariablesTest, RepeatedTextSeesNewBindings) {
    MathEvaluator m(false);
    const std::string text = "x*2+2";
    EXPECT_THROW(m.eval(text), std::invalid_argument);
    double x = 1, other = 10, two = 100;
    m.appendVariable("x", x);
    EXPECT_EQ(m.eval(text), 4);
    x = 3;
    EXPECT_EQ(m.eval(text), 8);
    m.appendVariable("x", other);
    EXPECT_EQ(m.eval(text), 22);
    m.appendVariable("2", two);
    EXPECT_EQ(m.eval(text), 1100);
    m.deleteVariable("2");
    EXPECT_EQ(m.eval(text), 22);
    m.deleteVariable("x");
    EXPECT_THROW(m.eval(text), std::invalid_argument);
    EXPECT_EQ(texts(m.currentRPN.RPN_values), (Strings{"x", "2", "*", "2", "+"}));
}

// Names alike in length and first byte are still different names.
TEST(VariablesTest, SimilarNamesStayApart) {
    MathEvaluator m(false);
    double ab = 1, ac = 2;
    m.appendVariable("ab", ab);
    m.appendVariable("ac", ac);
    EXPECT_EQ(m.eval("ac*10+ab"), 21);
    m.deleteVariable("ab");
    EXPECT_EQ(m.eval("ac"), 2);
    EXPECT_THROW(m.eval("ab"), std::invalid_argument);
}

TEST(VariablesTest, DeleteUnregisters) {
    MathEvaluator m;
    m.deleteVariable("never"); // ignored
    EXPECT_EQ(m.eval("pi"), static_cast<long double>(3.141592653589793));
    m.deleteVariable("e");
    EXPECT_THROW(m.eval("e"), std::invalid_argument);
    EXPECT_EQ(m.eval("pi"), static_cast<long double>(3.141592653589793));
    EXPECT_EQ(keys(m.getExternalVariables()), Strings{"pi"});
    m.deleteVariable("pi");
    EXPECT_EQ(m.variableNames.head, nullptr);
    EXPECT_EQ(m.variableNames.tail, nullptr);
    double y = 1;
    m.appendVariable("y", y);
    EXPECT_EQ(elements(m.variableNames), Strings{"y"});
}

// A name a caller listed twice: deleting it unlinks the first, and the
// second still stands in the list (without an entry: a malformed read).
TEST(VariablesTest, DeletingANameListedTwice) {
    MathEvaluator m(false);
    double x = 2, y = 3;
    m.appendVariable("x", x);
    m.appendVariable("y", y);
    m.variableNames.append("x");
    EXPECT_EQ(m.eval("x+y"), 5);
    m.deleteVariable("x");
    EXPECT_EQ(elements(m.variableNames), (Strings{"y", "x"}));
    EXPECT_EQ(m.eval("x+1"), 0);
    m.appendVariable("x", x); // listed already: only its entry is made
    EXPECT_EQ(elements(m.variableNames), (Strings{"y", "x"}));
    EXPECT_EQ(m.eval("x+1"), 3);
}

TEST(VariablesTest, ConstantsOfAHostEngineNeedRegistration) {
    MathEvaluator m(true);
    EXPECT_EQ(keys(m.getExternalVariables()), (Strings{"e", "pi"}));
    EXPECT_THROW(m.eval("pi"), std::invalid_argument);
    double three = 3;
    m.appendVariable("pi", three);
    EXPECT_EQ(m.eval("pi"), 3);
    EXPECT_EQ(m.getExternalVariables().at("pi"), &three);
}

TEST(VariablesTest, ListingIsInByteOrder) {
    MathEvaluator m(false);
    double v = 0;
    for (const char* name : {"b", "ab", "a", "X", "", "\xff"}) m.appendVariable(name, v);
    EXPECT_EQ(keys(m.getExternalVariables()),
              (Strings{"", "X", "a", "ab", "b", "e", "pi", "\xff"}));
    EXPECT_EQ(elements(m.variableNames), (Strings{"b", "ab", "a", "X", "", "\xff"}));
}

} // namespace

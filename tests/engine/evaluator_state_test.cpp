#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "evaluator.h"
#include "primitives.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

using Strings = std::vector<std::string>;

template <typename Map> std::vector<typename Map::key_type> keys(const Map& map) {
    std::vector<typename Map::key_type> out;
    for (const auto& entry : map) out.push_back(entry.first);
    return out;
}

std::uint64_t bitsOf(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

TEST(EvaluatorStateTest, ConstructorsDifferOnlyInFlagAndVariableNames) {
    struct Case {
        const char* label;
        std::unique_ptr<MathEvaluator> evaluator;
        bool flag;
        Strings variableNames;
    };
    Case cases[] = {
        {"default", std::make_unique<MathEvaluator>(), true, {"pi", "e"}},
        {"true", std::make_unique<MathEvaluator>(true), true, {}},
        {"false", std::make_unique<MathEvaluator>(false), false, {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.label);
        MathEvaluator& m = *c.evaluator;
        EXPECT_EQ(m.accuracyOverEfficiency, c.flag);
        EXPECT_EQ(elements(m.variableNames), c.variableNames);
        EXPECT_EQ(bitsOf(m.piValue), 0x400921FB54442D18u);
        EXPECT_EQ(bitsOf(m.eValue), 0x4005BF0A8B145769u);

        const auto variables = m.getExternalVariables();
        EXPECT_EQ(keys(variables), (Strings{"e", "pi"}));
        EXPECT_EQ(variables.at("pi"), &m.piValue);
        EXPECT_EQ(variables.at("e"), &m.eValue);

        EXPECT_EQ(elements(m.separatorSymbols), (Strings{"(", ")", ","}));
        EXPECT_EQ(elements(m.operatorSymbols), (Strings{"!", "%", "*", "+", "-", "/", "^"}));
        EXPECT_EQ(elements(m.functionNames),
                  (Strings{"acos", "asin", "atan", "cos", "sin", "sqrt", "tan"}));
        EXPECT_TRUE(m.binaryFunctions.empty());
        EXPECT_TRUE(m.currentRPN.RPN.empty());
        EXPECT_EQ(m.currentRPN.tokens.head, nullptr);
    }
}

TEST(EvaluatorStateTest, OperatorTables) {
    MathEvaluator m(false);
    struct Row {
        const char* symbol;
        const char* name;
        int count, precedence;
        OperatorFunction function;
        int right;
    };
    const Row rows[] = {
        {"!", "factorial", 1, 5, _factorial, 1},
        {"^", "pow", 2, 4, _pow, 1},
        {"*", "mul", 2, 3, _mul, 0},
        {"/", "div", 2, 3, _div, 0},
        {"%", "mod", 2, 3, _mod, 0},
        {"+", "add", 2, 2, _add, 0},
        {"-", "sub", 2, 2, _sub, 0},
    };
    EXPECT_EQ(m.operatorNames.size(), 7u);
    EXPECT_EQ(m.operatorPrecedence.size(), 7u);
    EXPECT_EQ(m.operatorFunctions.size(), 7u);
    EXPECT_EQ(m.rightAssociative.size(), 7u);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.symbol);
        EXPECT_EQ(m.operatorNames.at(r.symbol), r.name);
        EXPECT_EQ(m.argumentCounts.at(r.name), r.count);
        EXPECT_EQ(m.argumentCounts.count(r.symbol), 0u); // counts are keyed by name
        EXPECT_EQ(m.operatorPrecedence.at(r.symbol), r.precedence);
        EXPECT_EQ(m.operatorFunctions.at(r.symbol), r.function);
        EXPECT_EQ(m.rightAssociative.at(r.symbol), r.right);
    }
    EXPECT_EQ(m.argumentCounts.size(), 14u);
    for (const char* f : {"sin", "cos", "tan", "asin", "acos", "atan", "sqrt"}) {
        EXPECT_EQ(m.argumentCounts.at(f), 1) << f;
        EXPECT_NE(m.unaryFunctions.at(f), nullptr) << f;
    }
    EXPECT_EQ(m.unaryFunctions.at("sqrt")(2.0), std::sqrt(2.0));
}

// Code made for another text never runs: not after eviction, whatever the
// cache's size, on any path.
TEST(EvaluatorStateTest, EvictedTextsLeaveNothingBehind) {
    for (std::size_t size : {1, 2, 16}) {
        MathEvaluator m;
        m.setCacheSize(size);
        EXPECT_EQ(m.cacheSize(), size);
        double x = 10, out[600];
        std::vector<double> column(600, 1.0);
        for (int k = 0; k < 40; ++k) {
            const std::string text = std::to_string(k) + "-x";
            EXPECT_EQ(m.evalWith(text, {{"x", &x, 0}}), k - 10);
            m.evalMany(text, {{"x", column.data()}}, 600, out);
            EXPECT_EQ(out[599], k - 1);
            m.eval(std::to_string(-k));
        }
    }
    MathEvaluator m;
    m.setCacheSize(0);
    EXPECT_EQ(m.cacheSize(), 1u);
}

TEST(EvaluatorStateTest, EmptyCallablesAreRefusedWhenAdded) {
    MathEvaluator m;
    EXPECT_THROW(m.appendCallable("f", UnaryCallable{}), std::invalid_argument);
    EXPECT_THROW(m.appendCallable("f", BinaryCallable{}), std::invalid_argument);
    EXPECT_THROW(m.appendCallable("f", NaryCallable{}, 3), std::invalid_argument);
    EXPECT_THROW(m.appendCallable("f", NaryCallable([](const double*, std::size_t) { return 1.0; }),
                                  BlockCallable{}, 1),
                 std::invalid_argument);
    EXPECT_FALSE(m.functionNames.inList("f"));
}

TEST(EvaluatorStateTest, PopulateArraysAppendsAgain) {
    MathEvaluator m(true);
    m.populateArrays();
    EXPECT_EQ(elements(m.separatorSymbols), (Strings{"(", ")", ",", "(", ")", ","}));
    EXPECT_EQ(m.operatorSymbols.size(), 14u);
    EXPECT_EQ(m.functionNames.size(), 14u);
}

} // namespace

// Diagnostics leave the evaluator as they found it, and their errors are
// exactly eval's failures (the Python tests hold thousands of texts to that;
// here it runs under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "evaluator.h"

using namespace velmoratrix;

namespace {

bool hasError(const std::vector<Diagnostic>& found) {
    return std::any_of(found.begin(), found.end(), [](const Diagnostic& d) { return d.error; });
}

TEST(DiagnosticsTest, ChangeNothing) {
    MathEvaluator m;
    EXPECT_EQ(m.eval("2*"), 0);
    const std::string rpn = m.currentRPN.RPN;
    for (const char* text : {"sin+(1+2)", "(1", "x + 1", "2*(-3)"}) {
        m.check(text);
        m.names(text);
        m.explain(text);
    }
    EXPECT_EQ(m.operatorPrecedence.size(), 7u); // compile would enter "(" and "sin"
    EXPECT_EQ(m.rightAssociative.size(), 7u);
    EXPECT_EQ(m.currentRPN.expression, "2*");
    EXPECT_EQ(m.currentRPN.RPN, rpn);
    ASSERT_NE(m.currentRPN.tokens.head, nullptr);

    // A tie between an operator and a function on the stack: compile would
    // look the function's associativity up (and enter it); check does not.
    m.operatorPrecedence["+"] = 0;
    EXPECT_FALSE(m.check("sin+1").empty());
    EXPECT_EQ(m.rightAssociative.count("sin"), 0u);
}

TEST(DiagnosticsTest, ErrorsAreTheFailuresOfEval) {
    const std::string alphabet = "0123456789.eE"
                                 "xsinqrtp"
                                 "!%*+-/^(),  ";
    std::mt19937 random(11);
    MathEvaluator m(true);
    double x = 2;
    m.appendVariable("x", x);
    // Whole tokens too, so that functions meet their arguments.
    const char* pieces[] = {"x", "2", "0.5", "sin(", "sqrt(", "(", ")", "+", "-", "*", "!", "^", ","};
    for (int round = 0; round < 6000; ++round) {
        std::string text(round % 2 ? 0 : random() % 10, ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        for (int k = round % 2 ? static_cast<int>(random() % 9) : 0; k > 0; --k)
            text += pieces[random() % std::size(pieces)];
        bool failed = text.empty();
        try {
            m.eval(text);
            failed = failed || m.currentRPN.tokens.head; // filled only after a failure
        } catch (const std::exception&) {
            failed = true;
        }
        ASSERT_EQ(hasError(m.check(text)), failed) << text;
        ASSERT_EQ(m.explain(text).succeeded, !failed) << text;
    }
}

} // namespace

TEST(DiagnosticsTest, ExplainRecordsWhatEachStepTakesAndGives) {
    MathEvaluator m;
    const Explanation e = m.explain("2,3*4-sqrt(9)");
    std::vector<std::pair<std::size_t, long double>> steps;
    for (const auto& s : e.steps) steps.push_back({s.popped, s.pushed});
    const std::vector<std::pair<std::size_t, long double>> expected = {
        {0, 2}, {0, 3}, {0, 4}, {2, 12}, {0, 9}, {1, 3}, {2, 9}};
    EXPECT_EQ(steps, expected);
    EXPECT_FALSE(e.succeeded); // two values are left
    m.syntax = Syntax::Standard; // a function of two arguments takes both, a callable runs
    m.appendCallable("twice", UnaryCallable([](double v) { return 2 * v; }));
    const Explanation two = m.explain("max(1, 2) + atan2(0, 1) + twice(3)");
    EXPECT_TRUE(two.succeeded);
    EXPECT_EQ(two.result, 8);
    EXPECT_EQ(two.steps[2].popped, 2u);
}

TEST(DiagnosticsTest, KnownNamesAreVariablesStillToCome) {
    MathEvaluator m;
    EXPECT_TRUE(m.check("price*qty", {"price", "qty"}).empty());
    const auto problems = m.check("price*qty", {"price"});
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].offset, 6u);
}

TEST(DiagnosticsTest, StandardSyntaxRaisesWhatCheckReports) {
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    double x = 2, price = 10, qty = 3, discount = 0.25;
    m.appendVariable("x", x);
    m.appendVariable("price", price);
    m.appendVariable("qty", qty);
    m.appendVariable("discount", discount);
    // What people type, as they mean it.
    const std::pair<const char*, double> typed[] = {{"price * qty * (1 - discount)", 22.5},
                                                    {"price*qty*(-discount+1)", 22.5},
                                                    {"exp(-x)", std::exp(-2.0)},
                                                    {"2*(-3)", -6},
                                                    {"-price*qty", -30},
                                                    {"+1", 1},
                                                    {"1e-5", 1e-5},
                                                    {"price*1e-2", 0.1},
                                                    {"x**2", 4},
                                                    {"log(x)", std::log(2.0)},
                                                    {"abs(-x)", 2},
                                                    {"min(price, qty)", 3},
                                                    {"2*x\n", 4},
                                                    {"-x^2 + 2*-x", -8}};
    for (const auto& [text, value] : typed)
        EXPECT_EQ(static_cast<double>(m.eval(text)), value) << text;
    try {
        m.eval("x * (y + 1)");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& raised) { // ExpressionError is one
        const auto& e = dynamic_cast<const ExpressionError&>(raised);
        EXPECT_EQ(e.position, 5u);
        EXPECT_EQ(e.problems[0].message, m.check("x * (y + 1)")[0].message);
        EXPECT_STREQ(e.what(), "'y' is no registered name (at 5)");
    }
    EXPECT_TRUE(m.check("y", {"y"}).empty());
}

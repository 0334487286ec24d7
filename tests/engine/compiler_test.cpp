#include <gtest/gtest.h>

#include "evaluator.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

struct Case {
    const char* input;
    const char* rpn;
    Strings values;
};

TEST(CompilerTest, ReversePolishOrder) {
    const Case cases[] = {
        {"3+4*2/(1-5)^2^3",
         "342*15-23^^/+",
         {"3", "4", "2", "*", "1", "5", "-", "2", "3", "^", "^", "/", "+"}},
        {"sin(pi/2)+cos(0)", "pi2/sin0cos+", {"pi", "2", "/", "sin", "0", "cos", "+"}},
        {"2^3^2", "232^^", {"2", "3", "2", "^", "^"}},
        {"8-3-2", "83-2-", {"8", "3", "-", "2", "-"}},
        {"2*3+4", "23*4+", {"2", "3", "*", "4", "+"}},
        {"2+3*4", "234*+", {"2", "3", "4", "*", "+"}},
        {"3!+1", "3!1+", {"3", "!", "1", "+"}},
        {"2^3!", "23!^", {"2", "3", "!", "^"}},
        {"3!!", "3!!", {"3", "!", "!"}},
        {"2^-1", "2-1^", {"2", "-1", "^"}},
        {"-2^2", "-22^", {"-2", "2", "^"}},
        {"3!-1", "3-1!", {"3", "-1", "!"}},
        {"-(2)", "2-", {"2", "-"}},
        {"sin(1,2)", "12sin", {"1", "2", "sin"}},
        {"sin(cos(0))", "0cossin", {"0", "cos", "sin"}},
        {"sin(0)^2", "0sin2^", {"0", "sin", "2", "^"}},
        {"sin+1", "1+sin", {"1", "+", "sin"}},
        {"2(3)", "23", {"2", "3"}},
        {"(1+2", "12+(", {"1", "2", "+", "("}},
        {"2*(-3)", "23-*", {"2", "3", "-", "*"}},
        {"2*pi", "2pi*", {"2", "pi", "*"}},
        {"2 + 3", "2  3+", {"2 ", " 3", "+"}},
        {"", "", {}},
        // A ")" without "(" empties the stack and is otherwise ignored.
        {"1+2)", "12+", {"1", "2", "+"}},
        {")", "", {}},
        {"2)*3", "23*", {"2", "3", "*"}},
        {"(1))+(2", "12(+", {"1", "2", "(", "+"}},
    };
    MathEvaluator m;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("input: ") + c.input);
        me_RPN result = m.compile(c.input);
        EXPECT_EQ(result.RPN, c.rpn);
        EXPECT_EQ(texts(result.RPN_values), c.values);
        EXPECT_EQ(result.expression, c.input);
        result.freeLists();
    }
}

TEST(CompilerTest, KeepsInfixTokensAndKinds) {
    MathEvaluator m;
    me_RPN result = m.compile("(1+2");
    EXPECT_EQ(texts(result.tokens), (Strings{"", "(", "1", "+", "2"}));
    EXPECT_EQ(kinds(result.RPN_values), (std::vector<int>{Operand, Operand, Operator, Separator}));
    result.freeLists();
}

TEST(CompilerTest, ParenthesisComparisonEntersPrecedenceTable) {
    MathEvaluator m;
    EXPECT_EQ(m.operatorPrecedence.count("("), 0u);
    me_RPN result = m.compile("sin(1+2)");
    result.freeLists();
    EXPECT_EQ(m.operatorPrecedence.at("("), 0);
    EXPECT_EQ(m.operatorPrecedence.count("sin"), 0u); // "(" was on top, not sin
    result = m.compile("sin+1");
    result.freeLists();
    EXPECT_EQ(m.operatorPrecedence.at("sin"), 0);
    EXPECT_EQ(m.rightAssociative.size(), 7u);
}

} // namespace

#include <gtest/gtest.h>

#include <random>

#include "evaluator.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
constexpr int O = Operator, N = Operand, S = Separator, F = Function;

struct Case {
    std::string input;
    Strings texts;
    std::vector<int> kinds; // empty: not checked
};

TEST(TokenizerTest, TextsAndKinds) {
    const Case cases[] = {
        {"3+4", {"3", "+", "4"}, {N, O, N}},
        {"(1+2)*3", {"", "(", "1", "+", "2", ")", "", "*", "3"}, {N, S, N, O, N, S, N, O, N}},
        {"-3*-x", {"-3", "*", "-x"}, {N, O, N}},
        {"2--3", {"2", "-", "-3"}, {N, O, N}},
        {"--3", {"-", "-", "3"}, {O, O, N}},
        {"2 + 3", {"2 ", "+", " 3"}, {N, O, N}},
        {"sin(pi/2)", {"sin", "(", "pi", "/", "2", ")"}, {F, S, N, O, N, S}},
        {"sin (0)", {"sin ", "(", "0", ")"}, {N, S, N, S}},
        {"2*(-3)", {"2", "*", "", "(", "", "-", "3", ")"}, {N, O, N, S, N, O, N, S}},
        {"3+", {"3", "+"}, {N, O}},
        {"3*-", {"3", "*", "-"}, {N, O, O}},
        {"1,2", {"1", ",", "2"}, {N, S, N}},
        {"", {}, {}},
        {" ", {" "}, {N}},
        {"-", {"-"}, {O}},
        {"(1)", {"", "(", "1", ")"}, {N, S, N, S}},
        {"3!+1", {"3", "!", "", "+", "1"}, {N, O, N, O, N}},
        {"3!-1", {"3", "!", "-1"}, {N, O, N}},
        {"2* -3", {"2", "*", " ", "-", "3"}, {N, O, N, O, N}},
        {"1e-5", {"1e", "-", "5"}, {N, O, N}},
        {"1e5", {"1e5"}, {N}},
        {"2&3", {"2&3"}, {N}},
        {"SIN(0)", {"SIN", "(", "0", ")"}, {N, S, N, S}},
        {"2sin", {"2sin"}, {N}},
        {"-(2)", {"-", "(", "2", ")"}, {O, S, N, S}},
        {"(-1)", {"", "(", "", "-", "1", ")"}, {N, S, N, O, N, S}},
        {"f(1,-2)", {"f", "(", "1", ",", "", "-", "2", ")"}, {N, S, N, S, N, O, N, S}},
        {"sqrt", {"sqrt"}, {F}},
        {std::string("1\0+2", 4), {std::string("1\0", 2), "+", "2"}, {N, O, N}},
        {"\xc3\xa9+\xff", {"\xc3\xa9", "+", "\xff"}, {N, O, N}},
    };
    MathEvaluator m;
    for (const Case& c : cases) {
        SCOPED_TRACE("input: " + c.input);
        me_SepValues result = m.seperate(c.input);
        EXPECT_EQ(texts(result.tokens), c.texts);
        EXPECT_EQ(kinds(result.tokens), c.kinds);
        EXPECT_EQ(result.expression, c.input);
        result.freeLists();
    }
}

std::string join(const List<Token>& tokens) {
    std::string out;
    for (const std::string& t : texts(tokens)) out += t;
    return out;
}

TEST(TokenizerTest, JoinGivesBackEveryByteString) {
    std::mt19937 random(12345);
    MathEvaluator m;
    for (int round = 0; round < 3000; ++round) {
        std::string input(random() % 24, '\0');
        for (char& c : input) c = static_cast<char>(random() % 256);
        me_SepValues result = m.seperate(input);
        ASSERT_EQ(join(result.tokens), input);
        for (const ListNode<Token>* n = result.tokens.head; n; n = n->next) {
            if (n->value->kind == Operator || n->value->kind == Separator) {
                ASSERT_EQ(n->value->text.size(), 1u);
            }
        }
        result.freeLists();
    }
}

} // namespace

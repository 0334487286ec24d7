#include <gtest/gtest.h>

#include <memory>

#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

TEST(ListTest, InListMatchesWholeElements) {
    List<std::string> empty;
    EXPECT_FALSE(empty.inList(""));
    List<std::string> separators = listOf({"(", ")", ","});
    EXPECT_TRUE(separators.inList(")"));
    EXPECT_FALSE(separators.inList(""));
    EXPECT_FALSE(separators.inList("(("));
    separators.freeAll();
}

TEST(ListTest, GetIndexReportsFirstMatchOrZero) {
    me_List<std::string> names;
    for (const char* n : {"pi", "e", "x", "e"}) names.append(n);
    EXPECT_EQ(names.getIndex("pi"), 0u);
    EXPECT_EQ(names.getIndex("x"), 2u);
    EXPECT_EQ(names.getIndex("e"), 1u);
    EXPECT_EQ(names.getIndex("y"), 0u);
    names.freeAll();
    EXPECT_EQ(names.getIndex("pi"), 0u);
}

TEST(ListTest, RemoveKeepsHeadAndTailConsistent) {
    struct Case {
        const char* label;
        Strings before;
        unsigned index;
        Strings after;
    };
    const Case cases[] = {
        {"last of two", {"pi", "e"}, 1, {"pi"}},
        {"first of two", {"pi", "e"}, 0, {"e"}},
        {"only element", {"pi"}, 0, {}},
        {"middle", {"a", "b", "c"}, 1, {"a", "c"}},
        {"at the end", {"pi", "e"}, 2, {"pi", "e"}},
        {"far past the end", {"pi", "e"}, 7, {"pi", "e"}},
        {"empty list", {}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        List<std::string> list = listOf(c.before);
        list.remove(c.index);
        EXPECT_EQ(elements(list), c.after);
        if (c.after.empty()) {
            EXPECT_EQ(list.head, nullptr);
            EXPECT_EQ(list.tail, nullptr);
        } else {
            EXPECT_EQ(*list.tail->value, c.after.back());
            EXPECT_EQ(list.tail->next, nullptr);
        }
        list.append("z"); // appending after a removal must still link correctly
        Strings expected = c.after;
        expected.push_back("z");
        EXPECT_EQ(elements(list), expected);
        list.freeAll();
    }
}

TEST(ListTest, FreeAllEmptiesAndGetReadsByPosition) {
    List<std::string> list = listOf({"a", "b", "c"});
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(list.get(0), "a");
    EXPECT_EQ(list.get(1), "b");
    EXPECT_EQ(list.get(2), "c");
    list.freeAll();
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_FALSE(list.inList("a"));
    list.freeAll();
    List<std::string> one = listOf({"only"});
    EXPECT_EQ(one.get(0), "only");
    one.freeAll();
}

// Each element is a heap object of its own: a caller may take one out (and
// delete it), and a node left without an element is released alone.
TEST(ListTest, ElementsAreHeapObjectsOfTheirOwn) {
    List<Token> tokens;
    tokens.append({"a", Operand});
    tokens.append({"b", Operator});
    delete tokens.head->value;
    tokens.head->value = nullptr;
    std::unique_ptr<Token> taken(tokens.tail->value);
    tokens.tail->value = nullptr;
    EXPECT_EQ(taken->text, "b");
    tokens.freeAll();
    EXPECT_EQ(tokens.head, nullptr);

    List<std::string> half = listOf({"x"});
    ListNode<std::string>* only = half.tail;
    half.tail = nullptr; // either pointer null: the list counts as empty
    EXPECT_FALSE(half.inList("x"));
    half.tail = only;
    half.freeAll();

    List<std::string> names = listOf({"x", "y"});
    std::unique_ptr<std::string> x(names.head->value);
    names.head->value = nullptr; // the list is still walked past it
    EXPECT_TRUE(names.inList("y"));
    EXPECT_FALSE(names.inList("x"));
    names.freeAll();
}

TEST(StackTest, PopsInReverseOrderAndKeepsKinds) {
    Stack<Token> stack;
    stack.push({"a", Operand});
    stack.push({"b", Operator});
    stack.push({"c", Function});
    EXPECT_EQ(stack.size(), 3u);
    const Token c = stack.pop();
    EXPECT_EQ(c.text, "c");
    EXPECT_EQ(c.kind, Function);
    EXPECT_EQ(stack.pop().text, "b");
    EXPECT_EQ(stack.pop().text, "a");
    EXPECT_EQ(stack.top, nullptr);
    EXPECT_EQ(stack.bottom, nullptr);
    stack.push({"again", Operand});
    EXPECT_EQ(stack.top, stack.bottom);
    stack.freeAll();
    EXPECT_TRUE(stack.empty());
}

TEST(RecordTest, FreshRecordIsEmpty) {
    me_RPN record;
    EXPECT_EQ(record.tokens.head, nullptr);
    EXPECT_EQ(record.RPN_values.tail, nullptr);
    EXPECT_TRUE(record.expression.empty());
    EXPECT_TRUE(record.RPN.empty());
}

} // namespace

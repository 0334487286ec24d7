// The host evaluator's cell ownership. Faults here are heap corruption or
// leaks, so these tests mean most under the sanitizer and leak checks.
#include <gtest/gtest.h>

#include <stdexcept>

#include "py_evaluator.h"


namespace {

TEST(PyEvaluatorTest, CellsAreReleasedOnceEach) {
    py_Evaluator m(false);
    m._appendVariable("x", 1.5);
    m._appendVariable("x", 2.5); // replaces (and releases) the first cell
    EXPECT_EQ(m.eval("x"), 2.5);
    m._deleteVariable("x");
    EXPECT_THROW(m.eval("x"), std::invalid_argument);
    EXPECT_EQ(m.getExternalVariables().count("x"), 0u);
    m._deleteVariable("x");
    m._appendVariable("y", 3); // left registered: the destructor releases it
}

TEST(PyEvaluatorTest, DeletingEngineConstantsReleasesNothing) {
    py_Evaluator m(true);
    m._deleteVariable("pi");
    m._deleteVariable("e");
    EXPECT_TRUE(m.getExternalVariables().empty());
    m._appendVariable("pi", 3);
    EXPECT_EQ(m.eval("pi"), 3);
    m._deleteVariable("pi"); // now a cell of ours
    EXPECT_THROW(m.eval("pi"), std::invalid_argument);
}

TEST(PyEvaluatorTest, ReplacingAConstantKeepsTheEngineCell) {
    py_Evaluator m(false);
    m._appendVariable("e", 1);
    m._appendVariable("e", 2);
    EXPECT_EQ(m.eval("e"), 2);
    EXPECT_EQ(m.eValue, 2.718281828459045);
}

// A double a C++ caller binds through the inherited appendVariable stays the
// caller's, whatever the host methods do to the name afterwards.
TEST(PyEvaluatorTest, CallersOwnDoublesAreNeverReleased) {
    double mine = 4;
    {
        py_Evaluator m(false);
        m.appendVariable("x", mine);
        m._appendVariable("x", 2.0); // a cell of its own replaces the binding
        EXPECT_EQ(m.eval("x"), 2);
        m.appendVariable("x", mine);
        m._deleteVariable("x");
        m.appendVariable("y", mine); // left bound at destruction
        m._appendVariable("z", 1.0);
        m.appendVariable("z", mine); // its replaced cell is still released once
    }
    EXPECT_EQ(mine, 4);
}

TEST(PyEvaluatorTest, ManyCyclesOnOneEvaluator) {
    py_Evaluator m(false);
    for (int i = 0; i < 10000; ++i) {
        m._appendVariable("x", i);
        ASSERT_EQ(m.eval("x+1"), i + 1);
        if (i % 3 == 0) {
            EXPECT_EQ(m.eval("x+"), 0);
        }
        m._deleteVariable("x");
    }
}

} // namespace

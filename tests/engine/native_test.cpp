// Generated code against the interpreter, for what random texts rarely reach:
// stacks deeper than the x87 registers, every kind of call, a throwing
// callable, a lost cell; and evalMany's rows on any number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(VELMO_HAVE_XBYAK) && defined(__x86_64__)
#include <xbyak/xbyak.h>
#endif

#include "evaluator.h"
#include "native.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

long double hypotenuse(long double a, long double b) {
    return std::sqrt(a * a + b * b);
}

struct Run {
    long double value = 0;
    std::string thrown, rpnValues;
};

// An evaluator with every kind of function: the run of `text` three times
// (the second and third are generated where code can be), then once more
// after `edit`.
std::vector<Run> runs(const std::string& text, bool generated,
                      void (*edit)(MathEvaluator&) = nullptr) {
    setNativeEnabled(generated);
    static double x = 1.25, y = -0.75;
    MathEvaluator m(false);
    m.appendVariable("x", x);
    m.appendVariable("y", y);
    m.appendFunction("hyp", hypotenuse);
    m.appendCallable("twice", UnaryCallable([](double v) { return 2 * v; }));
    m.appendCallable("fails", UnaryCallable([](double v) -> double {
                         if (v > 1) throw std::runtime_error("too big");
                         return v;
                     }));
    m.appendCallable("avg",
                     BinaryCallable([](long double a, long double b) { return (a + b) / 2; }));
    std::vector<Run> out;
    for (int k = 0; k < 4; ++k) {
        if (k == 3 && edit) edit(m);
        Run r;
        try {
            r.value = m.eval(text);
        } catch (const std::exception& e) {
            r.thrown = e.what();
        }
        r.rpnValues = std::to_string(elements(m.currentRPN.RPN_values).size());
        out.push_back(r);
    }
    setNativeEnabled(true);
    return out;
}

void expectSameRuns(const std::string& text, void (*edit)(MathEvaluator&) = nullptr) {
    const auto interpreted = runs(text, false, edit), generated = runs(text, true, edit);
    for (std::size_t k = 0; k < interpreted.size(); ++k) {
        SCOPED_TRACE(text + " run " + std::to_string(k));
        EXPECT_EQ(std::memcmp(&interpreted[k].value, &generated[k].value, 10), 0);
        EXPECT_EQ(interpreted[k].thrown, generated[k].thrown);
        EXPECT_EQ(interpreted[k].rpnValues, generated[k].rpnValues);
    }
}

std::string nested(int depth) { // 1+(2+(3+ ... (depth+x)...))
    std::string text;
    for (int k = 1; k <= depth; ++k) text += std::to_string(k) + "*x+(";
    text += "y";
    return text + std::string(static_cast<std::size_t>(depth), ')');
}

} // namespace

TEST(NativeTest, EveryStepGivesTheInterpretersBits) {
    const NativeCounts before = nativeCounts();
    std::size_t texts = 0;
    for (const char* text :
         {"x+y-x*y/3", "x^y+2^x+x^2", "x%sin(y)+(x*y)%sqrt(x)", "sqrt(x*x+y*y)",
          "sin(x)+cos(y)*tan(x)", "5!+x!+7%x+x%y", "hyp(x,y)*pi", "twice(x)+avg(x,y)",
          "avg(twice(y),hyp(1,x))", "(x+1)*(y-2)/(x+y+1)", "((3*x+2)*x-1)*x+0.5", "1/3+x*e",
          "x-(y-(x-(y-1)))", "(x+y/7)*sin(x)-x*sin(x)"}) { // (its sum kept whole across the call)
        expectSameRuns(text);
        ++texts;
    }
    for (int depth : {7, 8, 9, 17, 40, 300}) expectSameRuns(nested(depth));
    // Each was generated for, but the one deeper than generated code goes and
    // the two that read pi and e, which this evaluator does not know.
    if (nativeEnabled()) {
        EXPECT_EQ(nativeCounts().pieces - before.pieces, texts + 5 - 2);
    }
}

TEST(NativeTest, FailuresEndTheRunAsTheInterpretersDo) {
    // A throwing callable: its exception, the record of the failure, and no
    // later call.
    expectSameRuns("fails(x)+twice(fails(y))");
    expectSameRuns("x*y+fails(x*2)");
    // A variable that lost its cell fails the run; rebound, it runs again.
    expectSameRuns("x*y+3", [](MathEvaluator& m) { m.externalVariables["y"] = nullptr; });
    expectSameRuns("twice(x)-y", [](MathEvaluator& m) { m.externalVariables["x"] = nullptr; });
    // Edits the generated code must not outlive.
    expectSameRuns("x+y", [](MathEvaluator& m) { m.accuracyOverEfficiency = true; });
    expectSameRuns("sin(x)", [](MathEvaluator& m) {
        m.unaryFunctions["sin"] = static_cast<UnaryFunction>(std::cos);
    });
}

TEST(NativeTest, RowsAreTheSameOnAnyNumberOfThreads) {
    constexpr std::size_t n = 100000;
    std::vector<double> x(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = 0.001 * static_cast<double>(i) - 37.5;
        y[i] = 1e-3 / (1 + static_cast<double>(i % 97));
    }
    const std::vector<Column> columns{{"x", x.data()}, {"y", y.data()}};
    for (const std::string& text :
         std::vector<std::string>{"sqrt(x*x+y*y)", "x^2+y^2", "sin(x)+cos(y)", nested(12), "5!"}) {
        MathEvaluator m;
        std::vector<double> reference(n);
        setNativeEnabled(false);
        m.evalMany(text, columns, n, reference.data(), sizeof(double), 1);
        setNativeEnabled(true);
        for (std::size_t threads = 1; threads <= 4; ++threads) {
            std::vector<double> out(n);
            m.evalMany(text, columns, n, out.data(), sizeof(double), threads);
            EXPECT_EQ(std::memcmp(out.data(), reference.data(), n * sizeof(double)), 0)
                << text << " on " << threads << " threads";
        }
    }
}

TEST(NativeTest, GeneratedAtTheSecondRunSmallAndOnlyForEnoughRows) {
    if (!nativeEnabled()) GTEST_SKIP() << "no code generator in this build";
    MathEvaluator m;
    double x = 2, y = 3;
    m.appendVariable("x", x);
    m.appendVariable("y", y);
    const std::string text = "(x+1)*(y-2)/(x+y+1)*sqrt(x*y)+sin(x)"; // 31 tokens
    const NativeCounts before = nativeCounts();
    m.eval(text);
    EXPECT_EQ(nativeCounts().pieces, before.pieces); // once: interpreted
    m.eval(text);
    m.eval(text);
    const NativeCounts after = nativeCounts();
    EXPECT_EQ(after.pieces, before.pieces + 1);
    EXPECT_LE(after.bytes - before.bytes, 4096u);
    std::vector<double> xs(100, 1.5), out(100);
    m.evalMany(text, {{"x", xs.data()}}, xs.size(), out.data());
    EXPECT_EQ(nativeCounts().pieces, after.pieces);
}

// A signaling NaN read straight into a function gives what the quiet NaN of
// its extended value gives; pow(NaN, 0) is where the two differ, and a
// variable going to it is converted as the interpreter converts.
// Rows and eval alike: generated, over blocks (under 512 rows too) and one
// value at a time, also where a quiet NaN of a smaller payload meets a
// signaling one on its right.
TEST(NativeTest, SignalingNanRowsGiveTheInterpretersBits) {
    const std::uint64_t signaling = 0x7ff0000000000123, quiet = 0x7ff8000000000001;
    std::vector<double> x(600, 1.5), y(600, 0.0);
    std::memcpy(&x[7], &signaling, sizeof signaling);
    std::memcpy(&y[9], &signaling, sizeof signaling);
    std::memcpy(&x[11], &quiet, sizeof quiet);
    std::memcpy(&y[11], &signaling, sizeof signaling);
    for (const char* text :
         {"x^0", "x^2", "1^y", "sin(x)+cos(y)", "sqrt(x)", "x+y", "x-y", "x*y", "x/y", "abs(x)",
          "floor(y)+exp(x)", "log(x)*min(x, y)", "hypot(x, y)"}) {
        std::vector<double> ways[3];
        for (int way = 0; way < 3; ++way) {
            setNativeEnabled(way == 0);
            MathEvaluator m;
            m.syntax = Syntax::Standard; // the classic texts mean the same in it
            const std::size_t count = way == 2 ? 20 : x.size();
            ways[way].resize(count);
            m.evalMany(text, {{"x", x.data()}, {"y", y.data()}}, count, ways[way].data());
        }
        setNativeEnabled(true);
        EXPECT_EQ(std::memcmp(ways[0].data(), ways[1].data(), x.size() * sizeof(double)), 0)
            << text;
        EXPECT_EQ(std::memcmp(ways[0].data(), ways[2].data(), 20 * sizeof(double)), 0) << text;
        MathEvaluator one;
        one.syntax = Syntax::Standard;
        one.appendVariable("x", x[11]);
        one.appendVariable("y", y[11]);
        for (int run = 0; run < 3; ++run) // interpreted, then generated
            EXPECT_EQ(bitsOf(static_cast<double>(one.eval(text))), bitsOf(ways[0][11])) << text;
    }
}

#if defined(VELMO_HAVE_XBYAK) && defined(__x86_64__)
// Calls code with every register its caller may keep across a call set to a
// mark; returns a bit for each that came back changed. Windows x64 keeps rdi,
// rsi and xmm6-15 too, takes arguments in rcx and rdx, and gives a callee 32
// bytes above its return address.
struct KeepsRegisters : Xbyak::CodeGenerator {
    explicit KeepsRegisters(bool returnsValue) {
        using namespace Xbyak::util;
#ifdef _WIN32
        const Xbyak::Reg64 kept[] = {rbx, rbp, rdi, rsi, r12, r13, r14, r15};
        const Xbyak::Reg64 code = rcx, argument = rdx;
        constexpr int kXmm = 10, kFrame = 8 + 32 + 16 * kXmm;
#else
        const Xbyak::Reg64 kept[] = {rbx, rbp, r12, r13, r14, r15};
        const Xbyak::Reg64 code = rdi, argument = rsi;
        constexpr int kXmm = 0, kFrame = 8;
#endif
        constexpr int kGeneral = sizeof kept / sizeof kept[0];
        for (const auto& r : kept) push(r);
        sub(rsp, kFrame);
        for (int k = 0; k < kXmm; ++k) movdqu(ptr[rsp + 32 + 16 * k], Xbyak::Xmm(6 + k));
        mov(rax, code);
        mov(r10, argument);
        for (int k = 0; k < kXmm; ++k) {
            mov(r11, 0x5a5a0000 + kGeneral + k);
            movq(Xbyak::Xmm(6 + k), r11);
        }
        for (int k = 0; k < kGeneral; ++k) mov(kept[k], 0x5a5a0000 + k);
        mov(code, r10); // the code's own argument, where it takes it
        call(rax);
        if (returnsValue) fstp(st0);
        xor_(eax, eax);
        for (int k = 0; k < kGeneral + kXmm; ++k) {
            if (k < kGeneral)
                mov(rcx, kept[k]);
            else
                movq(rcx, Xbyak::Xmm(6 + k - kGeneral));
            mov(rdx, 0x5a5a0000 + k);
            cmp(rcx, rdx);
            setne(cl);
            movzx(ecx, cl);
            shl(ecx, k);
            or_(eax, ecx);
        }
        for (int k = 0; k < kXmm; ++k) movdqu(Xbyak::Xmm(6 + k), ptr[rsp + 32 + 16 * k]);
        add(rsp, kFrame);
        for (int k = kGeneral - 1; k >= 0; --k) pop(kept[k]);
        ret();
    }
};

TEST(NativeTest, CodeKeepsTheRegistersItsCallerKeeps) {
    if (!nativeEnabled()) GTEST_SKIP() << "no code generator in this build";
    double value = 0.5, *cell = &value, column[3] = {1, 2, 3}, out[3];
    double* const slots[1] = {&value};
    Code code; // sin(v)*v, v a registered variable or column 0
    Instruction load{}, sine{}, times{};
    load.op = Op::VariableFirst;
    sine.op = Op::Unary;
    sine.unary = static_cast<UnaryFunction>(std::sin);
    times.op = Op::MulVariable;
    code.ending = Ending::Value;
    code.depth = code.maxDepth = 1;
    for (int rows = 0; rows < 2; ++rows) {
        load.cell = times.cell = rows ? slots : &cell;
        code.steps = {load, sine, times};
        const std::vector<Column> columns{{"v", column}};
        const NativeCode native = rows ? Native::rows(code, slots, columns) : Native::scalar(code);
        ASSERT_TRUE(native);
#ifdef _WIN32 // a scalar run leaves its value in the outcome there
        KeepsRegisters check(false);
#else
        KeepsRegisters check(!rows);
#endif
        const char* starts[1] = {reinterpret_cast<const char*>(column)};
        Rows run{3, reinterpret_cast<char*>(out), sizeof(double), starts};
        NativeOutcome outcome;
        void* argument = rows ? static_cast<void*>(&run) : static_cast<void*>(&outcome);
        EXPECT_EQ(check.getCode<int (*)(const void*, void*)>()(native->entry(), argument), 0)
            << (rows ? "rows" : "scalar");
    }
    EXPECT_EQ(out[2], static_cast<double>(static_cast<long double>(std::sin(3.0)) * 3.0L));
}
#endif

// evalMany keeps a program's row code for the next call over the same
// columns, and makes it anew when columns, variables or the flag differ.
TEST(NativeTest, RowCodeIsKeptOnlyWhileItFits) {
    if (!nativeEnabled()) GTEST_SKIP() << "no code generator in this build";
    std::vector<double> x(2000), out(1000), expected(1000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.25 * static_cast<double>(i) - 7;
    double k = 3, other = -1;
    MathEvaluator m(false), reference(false);
    for (MathEvaluator* e : {&m, &reference}) e->appendVariable("k", k);
    const std::string text = "x!*k+x%3";
    int call = 0;
    auto same = [&](std::vector<Column> columns, std::size_t pieces) {
        SCOPED_TRACE("call " + std::to_string(++call));
        const NativeCounts before = nativeCounts();
        m.evalMany(text, columns, out.size(), out.data());
        EXPECT_EQ(nativeCounts().pieces - before.pieces, pieces);
        setNativeEnabled(false);
        reference.evalMany(text, columns, out.size(), expected.data());
        setNativeEnabled(true);
        EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(double)), 0);
    };
    same({{"x", x.data()}}, 1);
    same({{"x", x.data()}}, 0);
    same({{"x", x.data() + 1}}, 0); // another start: the same code
    same({{"x", x.data(), 2 * sizeof(double)}}, 1);
    same({{"y", x.data()}, {"x", x.data()}}, 1);
    k = 5; // read at every row
    same({{"y", x.data()}, {"x", x.data()}}, 0);
    for (MathEvaluator* e : {&m, &reference}) e->appendVariable("k", other); // rebound in place
    same({{"y", x.data()}, {"x", x.data()}}, 0);
    for (MathEvaluator* e : {&m, &reference}) e->externalVariables["k"] = nullptr;
    same({{"y", x.data()}, {"x", x.data()}}, 0); // a lost cell: every row fails
    for (MathEvaluator* e : {&m, &reference}) e->appendVariable("k", k);
    same({{"y", x.data()}, {"x", x.data()}}, 1);
    for (MathEvaluator* e : {&m, &reference}) e->accuracyOverEfficiency = true;
    same({{"y", x.data()}, {"x", x.data()}}, 1);
}

// An evaluator's pieces share pages: memory follows code size, and the space
// of freed pieces is used again or given back.
TEST(NativeTest, PiecesShareTheirEvaluatorsPages) {
    if (!nativeEnabled()) GTEST_SKIP() << "no generated code in this build";
    MathEvaluator m;
    double x = 1;
    m.appendVariable("x", x);
    const std::size_t before = nativeCounts().mapped;
    auto make = [&] {
        std::vector<Formula> formulas;
        for (int k = 0; k < 2000; ++k) {
            formulas.push_back(m.prepare("x*" + std::to_string(k) + "+1"));
            formulas.back().value();
            EXPECT_EQ(formulas.back().value(), k + 1); // generated
        }
        return formulas;
    };
    std::vector<Formula> formulas = make();
    const std::size_t held = nativeCounts().mapped - before;
    EXPECT_LT(held, 2000u * 4096 / 16); // a page each before
    formulas.clear();                   // but for the cache's few
    EXPECT_LE(nativeCounts().mapped - before, 64u * 1024);
    formulas = make();
    EXPECT_LE(nativeCounts().mapped - before, held + 64 * 1024);
}

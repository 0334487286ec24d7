// Callers that do what the engine cannot prevent: change the floating-point
// environment, add functions that throw, ask for absurd thread counts, share
// one evaluator between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "compiled.h"
#include "evaluator.h"
#include "native.h"
#include "pool.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

#if defined(__x86_64__) || defined(__i386__)
std::uint16_t x87Control() {
    std::uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
}
void setX87Control(std::uint16_t control) {
    __asm__ volatile("fldcw %0" : : "m"(control));
}
#else // no x87: the C library's rounding mode is what a caller may change
std::uint16_t x87Control() {
    return 0;
}
void setX87Control(std::uint16_t) {}
#endif

// Every path's bits for a text over rows: eval of each row, and rows
// on one and on two threads, generated and interpreted, over enough rows to
// be generated for and over a block.
std::vector<unsigned long long> everyPath(const std::string& text) {
    static const std::vector<double> x = [] { // made once, under the defaults
        std::vector<double> v(3000);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i + 1) / 7;
        return v;
    }();
    std::vector<unsigned long long> all;
    for (bool generated : {false, true}) {
        setNativeEnabled(generated);
        for (std::size_t threads : {1, 2}) {
            MathEvaluator m(false);
            std::vector<double> out(x.size());
            m.evalMany(text, {{"x", x.data()}}, x.size(), out.data(), sizeof(double), threads);
            m.evalMany(text, {{"x", x.data()}}, 100, out.data(), sizeof(double), threads);
            for (double v : out) all.push_back(bitsOf(v));
        }
        MathEvaluator m(false);
        double cell = 0;
        m.appendVariable("x", cell);
        for (std::size_t i = 0; i < 50; ++i) { // the extended value: rounding it is ours
            cell = x[i];
            const long double value = m.eval(text);
            unsigned long long words[2] = {0, 0};
            std::memcpy(words, &value, 10);
            all.insert(all.end(), words, words + 2);
        }
    }
    setNativeEnabled(true);
    return all;
}

} // namespace

TEST(CallersTest, TheCallersRoundingAndPrecisionChangeNoValue) {
    const char* texts[] = {"x/3", "2/3*3+x", "x*0.1+0.2", "sqrt(x)^3/7", "1/(x-0.5)", "3^x"};
    std::vector<std::vector<unsigned long long>> expected;
    for (const char* text : texts) expected.push_back(everyPath(text));
    const std::uint16_t control = x87Control();
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        setX87Control(static_cast<std::uint16_t>((x87Control() & ~0x0300) | 0x0200)); // 53 bits
        const std::uint16_t callers = x87Control();
        for (std::size_t k = 0; k < std::size(texts); ++k) {
            const auto got = everyPath(texts[k]);
            std::size_t same = 0;
            while (same < got.size() && got[same] == expected[k][same]) ++same;
            EXPECT_EQ(same, got.size()) << texts[k] << " under mode " << mode;
        }
        EXPECT_EQ(x87Control(), callers); // given back
        EXPECT_EQ(std::fegetround(), mode);
        setX87Control(control);
        std::fesetround(FE_TONEAREST);
    }
}

// Inside EngineSettings, a Compiled's callable computes under the engine's
// settings whatever the thread set before; the scope's end gives them back.
TEST(CallersTest, EngineSettingsHoldTheEnginesWhileTheyLive) {
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    m.appendCallable("third", UnaryCallable([](double v) { return v / 3; }));
    const Compiled f = m.compile("third(x) + x / 3", {"x"}); // the callable's and the x87's
    const double plus[] = {1}, minus[] = {-1};
    const long double up = f.value(plus), down = f.value(minus);
    volatile double one = 1; // divided at run time, under the thread's settings
    for (int mode : {FE_UPWARD, FE_DOWNWARD}) {
        std::fesetround(mode);
        const double callers = one / 3;
        {
            const EngineSettings scope;
            {
                const EngineSettings nested;
                EXPECT_EQ(f.value(plus), up);
            }
            EXPECT_EQ(f.value(minus), down); // the inner scope's end changed nothing
            EXPECT_EQ(one / 3, 1.0 / 3);
        }
        EXPECT_EQ(one / 3, callers) << "mode " << mode;
        EXPECT_EQ(f.value(plus), up);
        std::fesetround(FE_TONEAREST);
    }
}

namespace {
double refuse(double) {
    throw std::domain_error("refused");
}
long double refuseTwo(long double, long double) {
    throw std::domain_error("refused");
}
long double refuseOperator(long double, long double, bool) {
    throw std::domain_error("refused");
}
} // namespace

// Generated code calls these through trampolines: every run throws, none
// ends the process.
TEST(CallersTest, FunctionsThatThrowDoSoOnEveryRun) {
    MathEvaluator m;
    m.appendFunction("f", refuse);
    m.appendFunction("g", refuseTwo);
    m.operatorFunctions["%"] = refuseOperator;
    m.appendCallable("h", NaryCallable([](const double* v, std::size_t) { return refuse(*v); }), 1);
    for (const char* text : {"f(2)+1", "g(1,2)*3", "5%2", "2%(1+1)", "1+f(g(1,2))", "h(2)*2"})
        for (int run = 0; run < 4; ++run)
            EXPECT_THROW(m.eval(text), std::domain_error) << text << " run " << run;
    EXPECT_EQ(m.eval("1+2"), 3);
}

// Whatever the count asked for, the ranges tile the rows: each row once.
TEST(CallersTest, ThreadCountsBeyondThePoolAreThePool) {
    for (std::size_t threads : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 62}) {
        std::vector<std::atomic<int>> seen(100003);
        forEachRange(seen.size(), threads, 1000, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) ++seen[i];
        });
        std::size_t once = 0;
        for (const auto& s : seen) once += s.load() == 1;
        EXPECT_EQ(once, seen.size()) << threads << " threads";
    }
    const std::size_t previous = defaultThreads();
    setDefaultThreads(std::size_t{1} << 62);
    EXPECT_EQ(defaultThreads(), 256u);
    setDefaultThreads(previous);
    MathEvaluator m;
    std::vector<double> x(5000, 2.0), out(x.size());
    for (std::size_t threads : {std::size_t{1} << 62, SIZE_MAX, std::size_t{1}}) {
        m.evalMany("x*x", {{"x", x.data()}}, x.size(), out.data(), sizeof(double), threads);
        EXPECT_EQ(out.back(), 4.0);
    }
}

namespace {
// wait(v): sets stage to 1, waits until it is 2, and gives v.
void appendWait(MathEvaluator& m, std::atomic<int>& stage) {
    m.appendCallable("wait", UnaryCallable([&stage](double v) {
                         stage = 1;
                         while (stage.load() != 2) std::this_thread::yield();
                         return v;
                     }));
}
} // namespace

// A second thread that calls while the first is inside a call is refused,
// whichever call it makes; the first thread's call goes on undisturbed.
TEST(CallersTest, OneEvaluatorRefusesASecondThread) {
    MathEvaluator m;
    std::atomic<int> stage{0};
    appendWait(m, stage);
    long double value = 0;
    std::thread inside([&] { value = m.eval("wait(2)+1"); });
    while (stage.load() != 1) std::this_thread::yield();
    double cell = 1;
    std::vector<std::string> refused;
    auto attempt = [&](auto call) {
        try {
            call();
        } catch (const std::logic_error& e) {
            refused.push_back(e.what());
        }
    };
    attempt([&] { m.eval("1+1"); });
    attempt([&] { m.appendVariable("y", cell); });
    attempt([&] { m.check("1+"); });
    attempt([&] { m.prepare("2"); });
    stage = 2;
    inside.join();
    EXPECT_EQ(value, 3);
    ASSERT_EQ(refused.size(), 4u);
    EXPECT_NE(refused[0].find("one evaluator per thread"), std::string::npos) << refused[0];
    EXPECT_EQ(m.eval("1+1"), 2); // free again
}

// However often a thread called before (the evaluator then enters for it
// without a lock), another thread is refused while it is inside, and gets
// in once it has left; so in turn. An evaluator entered inside another on the
// same thread is the same use.
TEST(CallersTest, OwnershipPassesBetweenThreadsAndRefusesWhileInside) {
    MathEvaluator m, nested;
    m.appendCallable("probe", UnaryCallable([&](double v) {
                         bool refused = false;
                         std::thread([&] {
                             try {
                                 m.eval("1+1");
                             } catch (const std::logic_error& e) {
                                 refused = std::strstr(e.what(), "another thread") != nullptr;
                             }
                         }).join();
                         return refused ? v + nested.eval("1+1") : -v;
                     }));
    Formula probe = m.prepare("probe(1)");
    auto useOften = [&] {
        for (int k = 0; k < 300; ++k) ASSERT_EQ(m.eval("2+2"), 4);
        EXPECT_EQ(m.eval("probe(1)"), 3);
        EXPECT_EQ(probe.value(), 3);
    };
    for (int round = 0; round < 3; ++round) {
        useOften();
        std::thread(useOften).join();
    }
}

#if defined(__x86_64__) && defined(__linux__) // qemu-user forks no threads
// A child forked while another thread is inside a call finds the evaluator
// taken for good (that call never ends there), and a fresh one works.
TEST(CallersTest, ForkedChildFindsAnUnfinishedCallTaken) {
    MathEvaluator m;
    std::atomic<int> stage{0};
    appendWait(m, stage);
    std::thread inside([&] {
        for (int k = 0; k < 100; ++k) m.eval("1+1"); // the evaluator's own thread
        m.eval("wait(2)+1");
    });
    while (stage.load() != 1) std::this_thread::yield();
    const pid_t child = fork();
    if (child == 0) {
        int code = 0;
        try {
            m.eval("1+1");
            code = 1;
        } catch (const std::logic_error&) {
        }
        MathEvaluator fresh;
        if (fresh.eval("1+1") != 2) code = 2;
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    stage = 2;
    inside.join();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

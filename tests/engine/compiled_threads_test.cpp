// Threads sharing one Compiled, each with the bits of the Formula's value
// (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "evaluator.h"

using namespace velmoratrix;

TEST(CompiledThreads, ShareOneCompiledWithAFormulasBits) {
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    m.appendCallable("curve", UnaryCallable([](double v) { return v * v / 8; }));
    const char* text = "hp * (1 + level/10) + curve(level) + sin(hp) ** 2";
    const Compiled shared = m.compile(text, {"hp", "level"});
    Formula f = m.prepare(text);
    constexpr std::size_t n = 2000;
    std::vector<double> hp(n), level(n);
    std::vector<long double> expected(n);
    for (std::size_t i = 0; i < n; ++i) {
        hp[i] = 100 + 0.37 * static_cast<double>(i);
        level[i] = static_cast<double>(i % 60);
        expected[i] = f.value({{"hp", &hp[i]}, {"level", &level[i]}});
    }
    std::vector<double> rows(n);
    f.values({{"hp", hp.data()}, {"level", level.data()}}, n, rows.data());
    std::vector<int> wrong(2);
    auto work = [&](int t) {
        std::vector<double> out(n);
        for (int round = 0; round < 20; ++round) {
            for (std::size_t i = 0; i < n; ++i) {
                const double values[] = {hp[i], level[i]};
                const long double v = shared.value(values);
                wrong[t] += std::memcmp(&v, &expected[i], 10) != 0;
            }
            shared.values({{"hp", hp.data()}, {"level", level.data()}}, n, out.data(), 8, 1);
            wrong[t] += std::memcmp(out.data(), rows.data(), n * sizeof(double)) != 0;
        }
    };
    std::thread other(work, 1);
    work(0);
    other.join();
    EXPECT_EQ(wrong, std::vector<int>(2, 0));
}

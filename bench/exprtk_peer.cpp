// exprtk's compiled expression as a peer: value() of a text compiled once,
// its first variable changed before every call. Built only where the bench
// is given exprtk.hpp, which it takes from the cexprtk source package into a
// scratch folder (bench/run.sh).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exprtk.hpp"
#include "simulation.h"

void registerExprtk(const std::string& name, const std::string& text,
                    const std::map<std::string, double>& variables) {
    benchmark::RegisterBenchmark(("exprtk_value/" + name).c_str(), [=](benchmark::State& state) {
        std::map<std::string, double> cells = variables;
        exprtk::symbol_table<double> symbols;
        for (auto& [n, value] : cells) symbols.add_variable(n, value);
        symbols.add_constants(); // pi, epsilon, inf
        exprtk::expression<double> expression;
        expression.register_symbol_table(symbols);
        exprtk::parser<double> parser;
        if (!parser.compile(text, expression)) {
            state.SkipWithError("exprtk does not read the text");
            return;
        }
        double& first = cells.begin()->second;
        for (auto _ : state) {
            first += 0.5;
            benchmark::DoNotOptimize(expression.value());
        }
    });
}

namespace {

struct Curve : exprtk::ifunction<double> {
    Curve() : exprtk::ifunction<double>(1) {}
    double operator()(const double& level) override { return simulation::curve(level); }
};

// What exprtk asks of a thread: its own table and its own compiled formulas.
struct ExprtkThread {
    double hp = 0, level = 0;
    Curve curve;
    exprtk::symbol_table<double> symbols;
    std::vector<exprtk::expression<double>> formulas;
    ExprtkThread() : formulas(simulation::kTypes) {
        symbols.add_variable("hp", hp);
        symbols.add_variable("level", level);
        symbols.add_function("curve", curve);
        exprtk::parser<double> parser;
        for (std::size_t t = 0; t < simulation::kTypes; ++t) {
            formulas[t].register_symbol_table(symbols);
            parser.compile(simulation::formulaOf(t), formulas[t]);
        }
    }
};

} // namespace

void registerExprtkSimulation() {
    benchmark::RegisterBenchmark(
        "sim/exprtk",
        [](benchmark::State& state) {
            const auto threads = static_cast<std::size_t>(state.range(0));
            const simulation::Entities entities;
            std::vector<std::unique_ptr<ExprtkThread>> own;
            for (std::size_t t = 0; t < threads; ++t)
                own.push_back(std::make_unique<ExprtkThread>());
            std::vector<double> out(entities.hp.size());
            for (auto _ : state)
                simulation::frame(threads, [&](std::size_t t, std::size_t first, std::size_t last) {
                    ExprtkThread& mine = *own[t];
                    for (std::size_t type = first; type < last; ++type)
                        for (std::size_t e = 0; e < simulation::kEntities; ++e) {
                            const std::size_t i = type * simulation::kEntities + e;
                            mine.hp = entities.hp[i];
                            mine.level = entities.level[i];
                            out[i] = mine.formulas[type].value();
                        }
                });
            benchmark::DoNotOptimize(out.data());
        })
        ->Arg(1)
        ->Arg(2)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

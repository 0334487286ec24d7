// exprtk's compiled expression as a peer: value() of a text compiled once,
// its first variable changed before every call. Built only where the bench
// is given exprtk.hpp, which it takes from the cexprtk source package into a
// scratch folder (bench/run.sh).
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "exprtk.hpp"

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

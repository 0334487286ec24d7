// Engine benchmarks: every row of the expression table through eval,
// evaluate, seperate and compile, against muparser's SetExpr+Eval on the same
// text; the scaling of long chains and deep nestings; time against length.
//
// Usage: engine_bench <expressions.tsv> [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <muParser.h>

#include "compiled.h"
#include "evaluator.h"
#include "native.h"
#include "simulation.h"

using namespace velmoratrix;

#ifdef VELMO_HAVE_EXPRTK
void registerExprtk(const std::string& name, const std::string& text,
                    const std::map<std::string, double>& variables); // exprtk_peer.cpp
void registerExprtkSimulation();
#endif

// Heap in use and its peak, for the memory-per-character figures.
namespace {
std::atomic<long> heapInUse{0};
std::atomic<long> heapPeak{0};
// Only while a peak is measured: counters written by every allocation of
// every thread would make threads that allocate wait for each other.
std::atomic<bool> counting{false};
} // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    if (!counting.load(std::memory_order_relaxed)) return p;
    const long now = heapInUse += static_cast<long>(malloc_usable_size(p));
    long peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
// GCC takes free() here for a mismatch with new; this new is malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    if (!p) return;
    if (counting.load(std::memory_order_relaxed))
        heapInUse -= static_cast<long>(malloc_usable_size(p));
    std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

struct Row {
    std::string name, expression, standard; // the same formula in both syntaxes
    std::map<std::string, double> variables;
};

std::vector<Row> readRows(const char* path) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        std::exit(2);
    }
    std::vector<Row> rows;
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string f; std::getline(split, f, '\t');) fields.push_back(f);
        if (fields.size() < 2) continue;
        Row row{fields[0], fields[1], fields.size() > 2 ? fields[2] : fields[1], {}};
        std::stringstream vars(fields.size() > 3 ? fields[3] : "");
        for (std::string assignment; std::getline(vars, assignment, ';');) {
            const auto eq = assignment.find('=');
            if (eq != std::string::npos)
                row.variables[assignment.substr(0, eq)] = std::stod(assignment.substr(eq + 1));
        }
        rows.push_back(row);
    }
    return rows;
}

std::size_t tokenCount(const std::string& expression) {
    MathEvaluator m;
    me_SepValues s = m.seperate(expression);
    std::size_t n = 0;
    for (auto* node = s.tokens.head; node; node = node->next) n += !node->value->text.empty();
    s.freeLists();
    return n;
}

// One long-lived evaluator per row, with the row's variables bound.
// A call the compiler cannot see through, that only reads the cell.
[[gnu::noinline]] double readCell(const double* cell) {
    return *cell;
}

struct Engine {
    std::map<std::string, double> cells;
    MathEvaluator m;
    explicit Engine(const Row& row) : cells(row.variables) {
        for (auto& [name, value] : cells) m.appendVariable(name, value);
    }
};

void registerRow(const Row& row) {
    const auto tokens = static_cast<double>(tokenCount(row.expression));
    auto label = [tokens,
                  chars = static_cast<double>(row.expression.size())](benchmark::State& state) {
        state.counters["tokens"] = tokens;
        state.counters["chars"] = chars;
    };
    // The standard syntax on the row's Python spelling: the same evaluation,
    // after reading the text as the specified language would.
    benchmark::RegisterBenchmark(("standard/" + row.name).c_str(), [=](benchmark::State& state) {
        Engine engine(row);
        engine.m.syntax = Syntax::Standard;
        for (auto _ : state) benchmark::DoNotOptimize(engine.m.eval(row.standard));
        label(state);
    });
    benchmark::RegisterBenchmark(
        ("standard_fresh/" + row.name).c_str(), [=](benchmark::State& state) {
            Engine engine(row);
            engine.m.syntax = Syntax::Standard;
            const std::string texts[2] = {row.standard, "(" + row.standard + ")"};
            std::size_t i = 0;
            for (auto _ : state) {
                engine.m.releaseCompilations();
                benchmark::DoNotOptimize(engine.m.eval(texts[i++ & 1]));
            }
            label(state);
        });
    benchmark::RegisterBenchmark(("eval/" + row.name).c_str(), [=](benchmark::State& state) {
        Engine engine(row);
        for (auto _ : state) benchmark::DoNotOptimize(engine.m.eval(row.expression));
        label(state);
    });
    // The whole pipeline on every call: the evaluator's compilations are
    // dropped before each (and the text alternates with itself in parentheses).
    benchmark::RegisterBenchmark(("eval_fresh/" + row.name).c_str(), [=](benchmark::State& state) {
        Engine engine(row);
        const std::string texts[2] = {row.expression, "(" + row.expression + ")"};
        std::size_t i = 0;
        for (auto _ : state) {
            engine.m.releaseCompilations();
            benchmark::DoNotOptimize(engine.m.eval(texts[i++ & 1]));
        }
        label(state);
    });
    if (row.variables.empty())
        benchmark::RegisterBenchmark(("evaluate/" + row.name).c_str(),
                                     [=](benchmark::State& state) {
                                         for (auto _ : state)
                                             benchmark::DoNotOptimize(evaluate(row.expression));
                                         label(state);
                                     });
    benchmark::RegisterBenchmark(("seperate/" + row.name).c_str(), [=](benchmark::State& state) {
        Engine engine(row);
        for (auto _ : state) {
            me_SepValues s = engine.m.seperate(row.expression);
            s.freeLists();
        }
        label(state);
    });
    benchmark::RegisterBenchmark(("compile/" + row.name).c_str(), [=](benchmark::State& state) {
        Engine engine(row);
        for (auto _ : state) {
            me_RPN r = engine.m.compile(row.expression);
            r.freeLists();
        }
        label(state);
    });
    // A formula used as most users use one: the same text again, its first
    // variable changed before every call; as machine code, and through the
    // interpreter alone.
    for (const bool generated : {true, false}) {
        if (row.variables.empty()) break;
        const std::string name = generated ? "eval_changing/" : "eval_changing_interpreted/";
        benchmark::RegisterBenchmark((name + row.name).c_str(), [=](benchmark::State& state) {
            setNativeEnabled(generated);
            Engine engine(row);
            double& first = engine.cells.begin()->second;
            for (auto _ : state) {
                first += 0.5;
                benchmark::DoNotOptimize(engine.m.eval(row.expression));
            }
            setNativeEnabled(true);
            label(state);
        });
    }
    // The same through a prepared formula: no text to look up.
    if (!row.variables.empty())
        benchmark::RegisterBenchmark(("formula_changing/" + row.name).c_str(),
                                     [=](benchmark::State& state) {
                                         Engine engine(row);
                                         double& first = engine.cells.begin()->second;
                                         Formula formula = engine.m.prepare(row.expression);
                                         for (auto _ : state) {
                                             first += 0.5;
                                             benchmark::DoNotOptimize(formula.value());
                                         }
                                         label(state);
                                     });
#ifdef VELMO_HAVE_EXPRTK
    if (!row.variables.empty()) registerExprtk(row.name, row.expression, row.variables);
#endif
    // The loop alone: the variable changed and read by a call that does
    // nothing else, the least any evaluator's row can take.
    if (!row.variables.empty())
        benchmark::RegisterBenchmark(("loop_changing/" + row.name).c_str(),
                                     [=](benchmark::State& state) {
                                         Engine engine(row);
                                         double& first = engine.cells.begin()->second;
                                         for (auto _ : state) {
                                             first += 0.5;
                                             benchmark::DoNotOptimize(readCell(&first));
                                         }
                                     });
    // muparser's Eval alone, SetExpr once, with its optimizer off and on.
    for (const bool optimize : {false, true}) {
        const std::string name = optimize ? "muparser_eval_opt/" : "muparser_eval/";
        benchmark::RegisterBenchmark((name + row.name).c_str(), [=](benchmark::State& state) {
            std::map<std::string, double> cells = row.variables;
            mu::Parser parser;
            parser.EnableOptimizer(optimize);
            parser.DefineConst("pi", 3.141592653589793);
            parser.DefineConst("e", 2.718281828459045);
            for (auto& [name, value] : cells) parser.DefineVar(name, &value);
            parser.SetExpr(row.expression);
            double scratch = 0;
            double& first = cells.empty() ? scratch : cells.begin()->second;
            for (auto _ : state) {
                first += 0.5;
                benchmark::DoNotOptimize(parser.Eval());
            }
            label(state);
        });
    }
    benchmark::RegisterBenchmark(("muparser/" + row.name).c_str(), [=](benchmark::State& state) {
        std::map<std::string, double> cells = row.variables;
        mu::Parser parser;
        parser.DefineConst("pi", 3.141592653589793);
        parser.DefineConst("e", 2.718281828459045);
        for (auto& [name, value] : cells) parser.DefineVar(name, &value);
        for (auto _ : state) {
            parser.SetExpr(row.expression);
            benchmark::DoNotOptimize(parser.Eval());
        }
        label(state);
    });
}

std::string chain(long tokens) {
    std::string s = "1";
    s.reserve(static_cast<std::size_t>(tokens));
    while (static_cast<long>(s.size()) + 2 <= tokens) s += "+1";
    return s;
}

std::string nesting(long depth) {
    return std::string(static_cast<std::size_t>(depth), '(') + "1" +
           std::string(static_cast<std::size_t>(depth), ')');
}

// Time per token and peak heap per input character of one eval. Two texts
// that differ in one digit alternate, so that every call runs the whole
// pipeline instead of reusing the last compilation.
void scaling(benchmark::State& state, std::string (*make)(long)) {
    std::string texts[2] = {make(state.range(0)), make(state.range(0))};
    texts[1][texts[1].find('1')] = '2';
    const auto tokens = static_cast<double>(tokenCount(texts[0]));
    MathEvaluator m;
    m.eval(texts[0]); // steady state: the evaluator's arrays have grown
    m.eval(texts[1]);
    std::size_t i = 0;
    for (auto _ : state) {
        m.releaseCompilations();
        benchmark::DoNotOptimize(m.eval(texts[i++ & 1]));
    }
    // The peak, measured for a fresh evaluator.
    long peak = 0;
    std::thread([&] {
        MathEvaluator fresh;
        counting = true;
        const long before = heapInUse.load();
        heapPeak = before;
        benchmark::DoNotOptimize(fresh.eval(texts[0]));
        peak = heapPeak.load() - before;
        counting = false;
    }).join();
    state.counters["tokens"] = tokens;
    state.counters["chars"] = static_cast<double>(texts[0].size());
    state.counters["peak_bytes_per_char"] =
        static_cast<double>(peak) / static_cast<double>(texts[0].size());
}

// A 20-token formula compiled and evaluated twice, the second run with its
// code generated or interpreted: the difference is the generation.
void generation(benchmark::State& state, bool generated) {
    const std::string text = "(x+1)*(y-2)/(x+y)+sin(x)";
    double x = 1.5, y = -0.25;
    MathEvaluator m;
    m.appendVariable("x", x);
    m.appendVariable("y", y);
    setNativeEnabled(generated);
    const NativeCounts before = nativeCounts();
    for (auto _ : state) {
        m.releaseCompilations();
        benchmark::DoNotOptimize(m.eval(text));
        benchmark::DoNotOptimize(m.eval(text));
    }
    const NativeCounts after = nativeCounts();
    setNativeEnabled(true);
    state.counters["tokens"] = static_cast<double>(tokenCount(text));
    state.counters["code_bytes"] = after.pieces > before.pieces
                                       ? static_cast<double>(after.bytes - before.bytes) /
                                             static_cast<double>(after.pieces - before.pieces)
                                       : 0;
}

// eval of "v0+1" or "v{V-1}+1" with V variables registered.
void manyVariables(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<double> cells(count, 1.0);
    MathEvaluator m(false);
    for (std::size_t i = 0; i < count; ++i) m.appendVariable("v" + std::to_string(i), cells[i]);
    const std::string text = "v" + std::to_string(state.range(1) ? count - 1 : 0) + "+1";
    for (auto _ : state) benchmark::DoNotOptimize(m.eval(text));
}

// Registering, then deleting, 100,000 names: one iteration does all of them.
void registerNames(benchmark::State& state, bool deleting) {
    constexpr int kCount = 100000;
    std::vector<std::string> names;
    for (int i = 0; i < kCount; ++i) names.push_back("v" + std::to_string(i));
    std::vector<double> cells(kCount, 1.0);
    for (auto _ : state) {
        state.PauseTiming();
        auto m = std::make_unique<MathEvaluator>(false);
        if (deleting)
            for (int i = 0; i < kCount; ++i) m->appendVariable(names[i], cells[i]);
        state.ResumeTiming();
        for (int i = 0; i < kCount; ++i) {
            if (deleting)
                m->deleteVariable(names[i]);
            else
                m->appendVariable(names[i], cells[i]);
        }
        state.PauseTiming();
        m.reset();
        state.ResumeTiming();
    }
}

// Time per call against length, for the plot: ours (the same text again, and
// alternating texts that run the whole pipeline) and muparser's.
void lengthOurs(benchmark::State& state) {
    const std::string text = chain(state.range(0));
    MathEvaluator m;
    for (auto _ : state) benchmark::DoNotOptimize(m.eval(text));
    state.counters["chars"] = static_cast<double>(text.size());
}

void lengthOursFresh(benchmark::State& state) {
    const std::string texts[2] = {chain(state.range(0)), "2" + chain(state.range(0)).substr(1)};
    MathEvaluator m;
    std::size_t i = 0;
    for (auto _ : state) {
        m.releaseCompilations();
        benchmark::DoNotOptimize(m.eval(texts[i++ & 1]));
    }
    state.counters["chars"] = static_cast<double>(texts[0].size());
}

void lengthMuparser(benchmark::State& state) {
    const std::string text = chain(state.range(0));
    mu::Parser parser;
    for (auto _ : state) {
        parser.SetExpr(text);
        benchmark::DoNotOptimize(parser.Eval());
    }
    state.counters["chars"] = static_cast<double>(text.size());
}

// curve() as a C++ callable, over blocks of rows too.
void addCurve(MathEvaluator& m) {
    m.appendCallable(
        "curve", NaryCallable([](const double* a, std::size_t) { return simulation::curve(a[0]); }),
        BlockCallable([](const double* const* a, std::size_t n, double* out) {
            for (std::size_t i = 0; i < n; ++i) out[i] = simulation::curve(a[0][i]);
        }),
        1);
}

// The simulation's frame: one Compiled per type, shared by every thread;
// `value` per entity (0), `values` per type (1), or `value` per entity with
// each thread's frame inside EngineSettings (2).
void simulationFrame(benchmark::State& state) {
    const auto threads = static_cast<std::size_t>(state.range(0));
    const bool batches = state.range(1) == 1, scoped = state.range(1) == 2;
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    addCurve(m);
    std::vector<Compiled> formulas;
    for (std::size_t t = 0; t < simulation::kTypes; ++t)
        formulas.push_back(m.compile(simulation::formulaOf(t), {"hp", "level"}));
    const simulation::Entities entities;
    std::vector<double> out(entities.hp.size());
    for (auto _ : state)
        simulation::frame(threads, [&](std::size_t, std::size_t first, std::size_t last) {
            std::optional<velmoratrix::EngineSettings> settings;
            if (scoped) settings.emplace();
            for (std::size_t type = first; type < last; ++type) {
                const std::size_t at = type * simulation::kEntities;
                if (batches) {
                    formulas[type].values(
                        {{"hp", &entities.hp[at]}, {"level", &entities.level[at]}},
                        simulation::kEntities, &out[at], sizeof(double), 1);
                    continue;
                }
                for (std::size_t e = 0; e < simulation::kEntities; ++e) {
                    const double values[] = {entities.hp[at + e], entities.level[at + e]};
                    out[at + e] = static_cast<double>(formulas[type].value(values));
                }
            }
        });
    benchmark::DoNotOptimize(out.data());
}

// A Compiled over a batch of rows, per row: the batch's fixed cost shows in
// small ones.
void simulationBatch(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    addCurve(m);
    const Compiled f = m.compile(simulation::formulaOf(0), {"hp", "level"});
    std::vector<double> hp(rows, 120), level(rows, 7), out(rows);
    for (auto _ : state)
        f.values({{"hp", hp.data()}, {"level", level.data()}}, rows, out.data(), sizeof(double), 1);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: engine_bench <expressions.tsv> [benchmark flags]\n";
        return 2;
    }
    for (const Row& row : readRows(argv[1])) registerRow(row);
    benchmark::RegisterBenchmark("scale_chain", scaling, chain)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Arg(1000000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("scale_nest", scaling, nesting)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Unit(benchmark::kMicrosecond);
    for (const long count : {10, 1000, 100000})
        for (const long last : {0, 1})
            benchmark::RegisterBenchmark(last ? "variables/last" : "variables/first", manyVariables)
                ->Args({count, last});
    benchmark::RegisterBenchmark("generation/on", generation, true);
    benchmark::RegisterBenchmark("generation/off", generation, false);
    benchmark::RegisterBenchmark("names/register_100000", registerNames, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("names/delete_100000", registerNames, true)
        ->Unit(benchmark::kMillisecond);
    for (auto* b : {benchmark::RegisterBenchmark("length/ours", lengthOurs),
                    benchmark::RegisterBenchmark("length/ours_fresh", lengthOursFresh),
                    benchmark::RegisterBenchmark("length/muparser", lengthMuparser)})
        b->Arg(3)->Arg(9)->Arg(33)->Arg(99)->Arg(333)->Arg(999)->Arg(3333);
    benchmark::RegisterBenchmark("sim/ours", simulationFrame)
        ->Args({1, 0})
        ->Args({2, 0})
        ->Args({1, 1})
        ->Args({2, 1})
        ->Args({1, 2})
        ->Args({2, 2})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("sim/batch", simulationBatch)->Arg(100)->Arg(10000);
#ifdef VELMO_HAVE_EXPRTK
    registerExprtkSimulation();
#endif
    argv[1] = argv[0];
    --argc;
    ++argv;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

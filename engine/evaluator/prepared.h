// What an evaluator derives from its public tables, private to the engine:
// the language as lookups by byte and by name, the index of variable names,
// and the compiled programs of the texts it was recently given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "environment.h"
#include "evaluator.h"
#include "ownership.h"
#include "program.h"

// A run that may call out of the engine, for its duration.
struct MathEvaluator::Running {
    MathEvaluator& m;
    explicit Running(MathEvaluator& evaluator) : m(evaluator) { ++m.running_; }
    ~Running() { --m.running_; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
};

// One call into the evaluator, for its duration: the evaluator's one thread
// (a call made from inside a call on the same thread is the same use), under
// the engine's x87 settings (its SSE ones are taken where code calls
// functions: environment.h).
struct MathEvaluator::Entry {
    velmoratrix::OwnerUse use;
    velmoratrix::EngineX87 floats;
    explicit Entry(const MathEvaluator& m) : use(m.ownership_) {}
};

struct MathEvaluator::Prepared {
    velmoratrix::Lookups lookups;
    velmoratrix::VariableIndex variables;
    // Most recently used first; at most the cache's size, and past the byte
    // budget only the newest is kept. Shared with the formulas prepared from
    // them, which outlive eviction.
    std::vector<std::shared_ptr<velmoratrix::Program>> programs;
    // The last small one dropped: the next compilation takes its buffers.
    std::shared_ptr<velmoratrix::Program> spare;
    std::shared_ptr<velmoratrix::CodeArena> code = velmoratrix::newCodeArena();
    static constexpr std::size_t kByteBudget = std::size_t{8} << 20;
    static constexpr std::size_t kSpareBytes = kByteBudget / 16;
};

// Every edit of a table or list adds to its counter, so the sums only grow:
// an unchanged sum means unchanged tables.
inline std::uint64_t MathEvaluator::languageEdits() const {
    return binaryFunctions.edits + unaryFunctions.edits + operatorNames.edits +
           argumentCounts.edits + operatorPrecedence.edits + operatorFunctions.edits +
           rightAssociative.edits + functionNames.edits + operatorSymbols.edits +
           separatorSymbols.edits;
}

inline std::uint64_t MathEvaluator::registryEdits() const {
    return externalVariables.edits + variableNames.edits;
}

inline std::uint64_t MathEvaluator::stamp() const {
    return (languageEdits() + registryEdits()) << 1 | (accuracyOverEfficiency ? 1 : 0);
}

inline MathEvaluator::Prepared& MathEvaluator::prepared() const {
    if (prepared_->lookups.edits != languageEdits()) rederive();
    return *prepared_;
}

// The most recent text is the common case: a formula evaluated again.
inline velmoratrix::Program& MathEvaluator::programFor(std::string_view text, bool standard) {
    Prepared& p = prepared();
    if (!p.programs.empty() && p.programs.front()->standard == standard &&
        velmoratrix::sameText(p.programs.front()->text, text))
        return *p.programs.front();
    return compileProgram(text, standard);
}

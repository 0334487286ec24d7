// The engine as the host sees it: an evaluator that owns one value cell per
// variable the host registers. Cells a C++ caller binds through the inherited
// appendVariable stay the caller's: only the cells made here are released.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "evaluator.h"

struct HostFunction; // a host callable added as a function (mathparser.cpp)

class py_Evaluator : public MathEvaluator {
public:
    explicit py_Evaluator(bool accuracyOverEfficiency);
    // Releases every cell it made.
    ~py_Evaluator();
    py_Evaluator(const py_Evaluator&) = delete;
    py_Evaluator& operator=(const py_Evaluator&) = delete;

    void _appendVariable(std::string name, double value);
    void _deleteVariable(std::string name);

    // Serializes the host's calls on this evaluator (the engine itself has no
    // locks); `holder` is the thread inside a call, to refuse re-entry.
    std::mutex calls;
    std::thread::id holder;
    std::uint64_t forks = 0; // the process's fork count at the last call
    // The host callables added as functions, by name: what the garbage
    // collector is shown, and what pickling saves.
    std::map<std::string, std::shared_ptr<HostFunction>> hostFunctions;

private:
    std::unordered_set<const double*> cells_;
};

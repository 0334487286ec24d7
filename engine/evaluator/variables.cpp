// Variables are bound by address: the engine reads the caller's double at
// every evaluation that uses the name and never owns it. An index beside
// variableNames finds and unlinks a name in constant time; it is rebuilt
// whenever the list was changed by other means than these functions.
#include "evaluator.h"
#include "prepared.h"

using namespace velmoratrix;

void velmoratrix::VariableIndex::rebuild(const List<std::string>& names) {
    before.clear();
    filter = NameFilter{};
    unique = true;
    ListNode<std::string>* previous = nullptr;
    for (ListNode<std::string>* n = names.empty() ? nullptr : names.head; n; n = n->next) {
        if (n->value) {
            filter.add(*n->value);
            if (!before.emplace(*n->value, Listed{previous}).second) unique = false;
        }
        previous = n;
    }
}

namespace {

VariableIndex::Listed* listedIn(VariableIndex& index, const List<std::string>& names,
                                std::string_view name) {
    if (index.edits != names.edits) {
        index.rebuild(names);
        index.edits = names.edits;
    }
    if (!index.filter.mayHave(name)) return nullptr;
    const auto found = index.before.find(std::string(name));
    return found == index.before.end() ? nullptr : &found->second;
}

} // namespace

bool MathEvaluator::isVariable(std::string_view name) const {
    Entry call(*this);
    return listedIn(prepared_->variables, variableNames, name) != nullptr;
}

// A listed name's entry is looked up once per edit of the table: rebinding
// writes the entry in place and counts none, and the cell is read at every run.
double* const* MathEvaluator::cellOf(std::string_view name, bool& isListed) const {
    VariableIndex::Listed* entry = listedIn(prepared_->variables, variableNames, name);
    isListed = entry != nullptr;
    if (!entry) return nullptr;
    if (entry->cellAt != externalVariables.edits) {
        const auto& variables = externalVariables.base();
        const auto found = variables.find(std::string(name));
        entry->cell = found == variables.end() ? nullptr : &found->second;
        entry->cellAt = externalVariables.edits;
    }
    return entry->cell;
}

void MathEvaluator::appendVariable(std::string name, double& value) {
    Entry call(*this);
    // Rebinding writes the entry in place: compiled programs read it at every
    // run, so only a new name changes what they were resolved against.
    const auto entry = std::as_const(externalVariables).find(name);
    if (entry != externalVariables.cend())
        const_cast<double*&>(entry->second) = &value;
    else
        externalVariables.emplace(name, &value);
    if (isVariable(name)) return;
    ListNode<std::string>* previousTail = variableNames.empty() ? nullptr : variableNames.tail;
    variableNames.append(name);
    VariableIndex& index = prepared_->variables;
    index.filter.add(name);
    index.before.emplace(std::move(name), VariableIndex::Listed{previousTail});
    index.edits = variableNames.edits;
}

void MathEvaluator::deleteVariable(std::string name) {
    Entry call(*this);
    refuseWhileRunning("deleteVariable"); // a run may be reading its entry
    const auto entry = std::as_const(externalVariables).find(name);
    if (entry != externalVariables.cend()) externalVariables.erase(entry);
    if (!isVariable(name)) return;
    VariableIndex& index = prepared_->variables;
    if (!index.unique) { // the first of several: as the list itself finds it
        variableNames.remove(variableNames.getIndex(name));
        return;
    }
    const auto found = index.before.find(name);
    ListNode<std::string>* before = found->second.before;
    ListNode<std::string>* victim = before ? before->next : variableNames.head;
    ListNode<std::string>* after = victim->next;
    index.before.erase(found);
    variableNames.removeAfter(before);
    if (after && after->value) index.before[*after->value].before = before;
    index.edits = variableNames.edits;
}

std::map<std::string, double*> MathEvaluator::getExternalVariables() {
    Entry call(*this);
    return externalVariables;
}

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
            if (!before.emplace(*n->value, previous).second) unique = false;
        }
        previous = n;
    }
}

bool MathEvaluator::isVariable(std::string_view name) const {
    Entry call(*this);
    VariableIndex& index = prepared_->variables;
    if (index.edits != variableNames.edits) {
        index.rebuild(variableNames);
        index.edits = variableNames.edits;
    }
    return index.filter.mayHave(name) && index.before.find(std::string(name)) != index.before.end();
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
    index.before.emplace(std::move(name), previousTail);
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
    ListNode<std::string>* before = found->second;
    ListNode<std::string>* victim = before ? before->next : variableNames.head;
    ListNode<std::string>* after = victim->next;
    index.before.erase(found);
    variableNames.removeAfter(before);
    if (after && after->value) index.before[*after->value] = before;
    index.edits = variableNames.edits;
}

std::map<std::string, double*> MathEvaluator::getExternalVariables() {
    Entry call(*this);
    return externalVariables;
}

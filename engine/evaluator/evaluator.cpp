// Construction: the built-in language tables and the name lists derived from
// them; and the lookups the passes use instead of the tables, derived again
// whenever a table has been edited.
#include "evaluator.h"

#include <cmath>
#include <stdexcept>

#include "prepared.h"
#include "primitives.h"

using namespace velmoratrix;

MathEvaluator::MathEvaluator() : MathEvaluator(true) {
    variableNames.append("pi");
    variableNames.append("e");
}

MathEvaluator::MathEvaluator(bool accuracyOverEfficiency)
    : piValue(3.141592653589793), eValue(2.718281828459045) {
    externalVariables = {{"pi", &piValue}, {"e", &eValue}};
    unaryFunctions = {
        {"sin", static_cast<UnaryFunction>(std::sin)},
        {"cos", static_cast<UnaryFunction>(std::cos)},
        {"tan", static_cast<UnaryFunction>(std::tan)},
        {"asin", static_cast<UnaryFunction>(std::asin)},
        {"acos", static_cast<UnaryFunction>(std::acos)},
        {"atan", static_cast<UnaryFunction>(std::atan)},
        {"sqrt", static_cast<UnaryFunction>(std::sqrt)},
    };
    struct Row {
        const char* symbol;
        const char* name;
        int argumentCount;
        int precedence;
        OperatorFunction function;
        int rightAssociative;
    };
    static const Row rows[] = {
        {"!", "factorial", 1, 5, _factorial, 1},
        {"^", "pow", 2, 4, _pow, 1},
        {"*", "mul", 2, 3, _mul, 0},
        {"/", "div", 2, 3, _div, 0},
        {"%", "mod", 2, 3, _mod, 0},
        {"+", "add", 2, 2, _add, 0},
        {"-", "sub", 2, 2, _sub, 0},
    };
    for (const auto& entry : std::as_const(unaryFunctions)) argumentCounts[entry.first] = 1;
    for (const Row& row : rows) {
        operatorNames[row.symbol] = row.name;
        argumentCounts[row.name] = row.argumentCount;
        operatorPrecedence[row.symbol] = row.precedence;
        operatorFunctions[row.symbol] = row.function;
        rightAssociative[row.symbol] = row.rightAssociative;
    }
    populateArrays();
    this->accuracyOverEfficiency = accuracyOverEfficiency;
    prepared_ = std::make_unique<Prepared>();
    functions_ = std::make_unique<OwnFunctions>();
    home_ = std::make_shared<MathEvaluator*>(this);
}

MathEvaluator::MathEvaluator(Empty)
    : piValue(3.141592653589793), eValue(2.718281828459045), accuracyOverEfficiency(true),
      home_(std::make_shared<MathEvaluator*>(this)), prepared_(std::make_unique<Prepared>()),
      functions_(std::make_unique<OwnFunctions>()) {}

namespace {

// The entries change hands, with the counts the derived state was made at.
template <typename Map> void swapMaps(Map& a, Map& b) noexcept {
    const std::uint64_t edits = a.edits;
    a.swap(b);
    a.edits = b.edits - 1;
    b.edits = edits;
}

template <typename T> void swapLists(List<T>& a, List<T>& b) noexcept {
    std::swap(a.head, b.head);
    std::swap(a.tail, b.tail);
    std::swap(a.edits, b.edits);
}

// Entries bound to the other evaluator's own cells (pi, e) are bound to this
// one's: the cell moved, not the table's meaning. Written in place, uncounted,
// as the compiled code reads the entry at every run.
void rebind(CountedMap<std::string, double*>& table, const double* pi, const double* e,
            double* newPi, double* newE) noexcept {
    for (const auto& entry : std::as_const(table)) {
        double*& cell = const_cast<double*&>(entry.second);
        if (cell == pi)
            cell = newPi;
        else if (cell == e)
            cell = newE;
    }
}

} // namespace

void MathEvaluator::swapWith(MathEvaluator& other) noexcept {
    using std::swap;
    swap(piValue, other.piValue);
    swap(eValue, other.eValue);
    swapLists(currentRPN.tokens, other.currentRPN.tokens);
    swapLists(currentRPN.RPN_values, other.currentRPN.RPN_values);
    swap(currentRPN.expression, other.currentRPN.expression);
    swap(currentRPN.RPN, other.currentRPN.RPN);
    swapMaps(binaryFunctions, other.binaryFunctions);
    swapMaps(externalVariables, other.externalVariables);
    swapMaps(unaryFunctions, other.unaryFunctions);
    swapMaps(operatorNames, other.operatorNames);
    swapMaps(argumentCounts, other.argumentCounts);
    swapMaps(operatorPrecedence, other.operatorPrecedence);
    swapMaps(operatorFunctions, other.operatorFunctions);
    swapMaps(rightAssociative, other.rightAssociative);
    swapLists(variableNames, other.variableNames);
    swapLists(functionNames, other.functionNames);
    swapLists(operatorSymbols, other.operatorSymbols);
    swapLists(separatorSymbols, other.separatorSymbols);
    swap(accuracyOverEfficiency, other.accuracyOverEfficiency);
    swap(syntax, other.syntax);
    swap(prepared_, other.prepared_);
    swap(functions_, other.functions_);
    swap(cacheSize_, other.cacheSize_);
    swap(home_, other.home_);
    *home_ = this;
    *other.home_ = &other;
    rebind(externalVariables, &other.piValue, &other.eValue, &piValue, &eValue);
    rebind(other.externalVariables, &piValue, &eValue, &other.piValue, &other.eValue);
}

MathEvaluator::MathEvaluator(MathEvaluator&& other) : MathEvaluator(Empty{}) {
    Entry call(other);
    other.refuseWhileRunning("move");
    swapWith(other);
}

MathEvaluator& MathEvaluator::operator=(MathEvaluator&& other) {
    if (this == &other) return *this;
    MathEvaluator taken(std::move(other));
    Entry call(*this);
    refuseWhileRunning("move");
    swapWith(taken); // taken goes with this one's old state
    return *this;
}

MathEvaluator::~MathEvaluator() {
    currentRPN.freeLists();
    variableNames.freeAll();
    functionNames.freeAll();
    operatorSymbols.freeAll();
    separatorSymbols.freeAll();
}

void MathEvaluator::populateArrays() {
    separatorSymbols.append("(");
    separatorSymbols.append(")");
    separatorSymbols.append(",");
    for (const auto& entry : std::as_const(operatorFunctions)) operatorSymbols.append(entry.first);
    for (const auto& entry : std::as_const(unaryFunctions)) functionNames.append(entry.first);
}

void MathEvaluator::rederive() const {
    Prepared& p = *prepared_;
    p.programs.clear(); // compiled with the old language
    p.lookups.derive(*this, *functions_);
    p.lookups.edits = languageEdits();
}

void MathEvaluator::refuseWhileRunning(const char* what) const {
    if (running_)
        throw std::logic_error(std::string("MathEvaluator::") + what +
                               ": called from a function this evaluator is running; use "
                               "another evaluator inside it");
}

void MathEvaluator::abandonAfterFork() {
    (void)prepared_.release();
    prepared_ = std::make_unique<Prepared>();
    currentRPN.tokens = List<Token>();
    currentRPN.RPN_values = List<Token>();
    running_ = 0;
    ownership_.owner.store(nullptr);
    ownership_.bias.store(nullptr);
}

void MathEvaluator::releaseCompilations() {
    Entry call(*this);
    refuseWhileRunning("releaseCompilations");
    Prepared& p = *prepared_;
    // A small program's buffers are worth keeping for the next compilation.
    p.spare.reset();
    if (!p.programs.empty() && p.programs.front().use_count() == 1 &&
        p.programs.front()->bytes() < Prepared::kSpareBytes)
        p.spare = std::move(p.programs.front());
    if (p.spare) p.spare->releaseNative();
    p.programs.clear();
}

namespace {

template <typename Map>
const typename Map::mapped_type* entryOf(const Map& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

template <typename Map, typename Value = typename Map::mapped_type>
Value valueOf(const Map& map, const std::string& key) {
    const Value* entry = entryOf(map, key);
    return entry ? *entry : Value{};
}

} // namespace

// The tables are read, never written, so deriving counts no edit. A name
// missing from a table reads as the default an inserting lookup would give.
void velmoratrix::Lookups::derive(const MathEvaluator& m, const OwnFunctions& own) {
    names.clear();
    longNames.clear();
    longFilter = NameFilter{};
    for (auto& c : delimiter) c = Ordinary;
    for (auto& n : byteName) n = -1;
    auto add = [&](const std::string& text) -> NameInfo& {
        std::int32_t index = lookup(text);
        if (index < 0) {
            index = static_cast<std::int32_t>(names.size());
            names.push_back(NameInfo{});
            names.back().text = text;
            if (text.size() == 1) {
                byteName[static_cast<unsigned char>(text[0])] = index;
            } else {
                longNames.emplace(text, index);
                longFilter.add(text);
            }
        }
        return names[index];
    };
    auto each = [](const List<std::string>& list, auto&& visit) {
        if (list.empty()) return;
        for (const ListNode<std::string>* n = list.head; n; n = n->next)
            if (n->value) visit(*n->value);
    };
    each(m.operatorSymbols, [&](const std::string& s) {
        add(s).isOperator = true;
        if (s.size() == 1) delimiter[static_cast<unsigned char>(s[0])] = OperatorChar;
    });
    each(m.separatorSymbols, [&](const std::string& s) {
        add(s).isSeparator = true;
        if (s.size() == 1 && delimiter[static_cast<unsigned char>(s[0])] == Ordinary)
            delimiter[static_cast<unsigned char>(s[0])] = SeparatorChar;
    });
    each(m.functionNames, [&](const std::string& s) { add(s).isFunction = true; });
    for (const std::string& s : own.withdrawn) add(s).withdrawn = true;

    for (NameInfo& n : names) {
        const int* precedence = entryOf(m.operatorPrecedence, n.text);
        n.hasPrecedence = precedence;
        n.precedence = precedence ? *precedence : 0;
        const int* right = entryOf(m.rightAssociative, n.text);
        n.hasRightAssociative = right;
        n.rightAssociative = right ? *right : 0;
        n.operatorArity = valueOf(m.argumentCounts, valueOf(m.operatorNames, n.text));
        n.primitive = valueOf(m.operatorFunctions, n.text);
        n.functionArity = valueOf(m.argumentCounts, n.text);
        n.unary = valueOf(m.unaryFunctions, n.text);
        n.binary = valueOf(m.binaryFunctions, n.text);
        // Where the table holds the stand-in of a callable, the callable itself.
        n.callUnary = n.unary == callableUnary ? entryOf(own.unary, n.text) : nullptr;
        n.callBinary = n.binary == callableBinary ? entryOf(own.binary, n.text) : nullptr;
        n.callBlock = entryOf(own.block, n.text);
        const auto* nary = entryOf(own.nary, n.text);
        n.callNary =
            nary && nary->second == n.functionArity && n.functionArity != 1 && n.functionArity != 2
                ? &nary->first
                : nullptr;
    }
}

// Construction: the built-in language tables, the name lists derived from
// them, and the per-byte lookups the passes use instead of the maps.
#include "evaluator.h"

#include <cmath>

#include "primitives.h"

MathEvaluator::MathEvaluator() : MathEvaluator(true) {
    variableNames.append("pi");
    variableNames.append("e");
}

MathEvaluator::MathEvaluator(bool accuracyOverEfficiency)
    : piValue(3.141592653589793), eValue(2.718281828459045) {
    externalVariables = {{"pi", &piValue}, {"e", &eValue}};
    buildTables();
    populateArrays();
    this->accuracyOverEfficiency = accuracyOverEfficiency;
    deriveLookups();
}

MathEvaluator::~MathEvaluator() {
    currentRPN.freeLists();
    variableNames.freeAll();
    functionNames.freeAll();
    operatorSymbols.freeAll();
    separatorSymbols.freeAll();
}

void MathEvaluator::buildTables() {
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
    for (const auto& [name, function] : unaryFunctions) argumentCounts[name] = 1;
    for (const Row& row : rows) {
        operatorNames[row.symbol] = row.name;
        argumentCounts[row.name] = row.argumentCount;
        operatorPrecedence[row.symbol] = row.precedence;
        operatorFunctions[row.symbol] = row.function;
        rightAssociative[row.symbol] = row.rightAssociative;
    }
}

void MathEvaluator::populateArrays() {
    separatorSymbols.append("(");
    separatorSymbols.append(")");
    separatorSymbols.append(",");
    for (const auto& entry : operatorFunctions) operatorSymbols.append(entry.first);
    for (const auto& entry : unaryFunctions) functionNames.append(entry.first);
}

// The tables are fixed after construction, so their per-token questions are
// answered here once. Entry 0 of operators_ stands for "no such operator".
void MathEvaluator::deriveLookups() {
    for (auto& c : charClass_) c = Ordinary;
    for (auto& i : operatorIndex_) i = 0;
    operators_[0] = {0, false, 0, nullptr};
    int count = 1;
    for (const auto& [symbol, function] : operatorFunctions) {
        if (symbol.size() != 1 || count == 8) continue;
        const auto byte = static_cast<unsigned char>(symbol[0]);
        const auto name = operatorNames.find(symbol);
        const auto arity =
            name == operatorNames.end() ? argumentCounts.end() : argumentCounts.find(name->second);
        const auto precedence = operatorPrecedence.find(symbol);
        const auto right = rightAssociative.find(symbol);
        operators_[count] = {precedence == operatorPrecedence.end() ? 0 : precedence->second,
                             right != rightAssociative.end() && right->second != 0,
                             arity == argumentCounts.end() ? 0 : arity->second, function};
        operatorIndex_[byte] = static_cast<std::uint8_t>(count++);
        charClass_[byte] = OperatorChar;
    }
    for (const ListNode<std::string>* n = separatorSymbols.head; n; n = n->next)
        if (n->value->size() == 1 && !charClass_[static_cast<unsigned char>((*n->value)[0])])
            charClass_[static_cast<unsigned char>((*n->value)[0])] = SeparatorChar;
    functionCount_ = 0;
    functionNameLengths_ = 0;
    for (const auto& [name, unary] : unaryFunctions) {
        if (functionCount_ == 8) break;
        if (name.size() < 32) functionNameLengths_ |= 1u << name.size();
        const auto arity = argumentCounts.find(name);
        const auto binary = binaryFunctions.find(name);
        functions_[functionCount_++] = {&name, arity == argumentCounts.end() ? 0 : arity->second,
                                        unary,
                                        binary == binaryFunctions.end() ? nullptr : binary->second};
    }
}

const MathEvaluator::FunctionEntry* MathEvaluator::functionFor(std::string_view name) const {
    if (name.size() >= 32 || !(functionNameLengths_ >> name.size() & 1u)) return nullptr;
    for (int i = 0; i < functionCount_; ++i) {
        const std::string& candidate = *functions_[i].name;
        if (candidate[0] == name[0] && candidate == name) return &functions_[i];
    }
    return nullptr;
}

// MathEvaluator: the built-in language tables, the three passes
// (seperate -> compile -> eval) and the variables an expression may use.
// Values are x87 extended precision inside; numbers, variables, the unary
// functions and pow work in double.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "containers.h"

using BinaryFunction = long double (*)(long double, long double);
using UnaryFunction = double (*)(double);
using OperatorFunction = long double (*)(long double, long double, bool);

class MathEvaluator {
public:
    double piValue;
    double eValue;
    me_RPN currentRPN;
    std::map<std::string, BinaryFunction> binaryFunctions;
    std::map<std::string, double*> externalVariables;
    std::map<std::string, UnaryFunction> unaryFunctions;
    std::map<std::string, std::string> operatorNames;
    std::map<std::string, int> argumentCounts;
    std::map<std::string, int> operatorPrecedence;
    std::map<std::string, OperatorFunction> operatorFunctions;
    std::map<std::string, int> rightAssociative;
    me_List<std::string> variableNames;
    List<std::string> functionNames;
    List<std::string> operatorSymbols;
    List<std::string> separatorSymbols;
    bool accuracyOverEfficiency;

    // accuracyOverEfficiency = true; "pi" and "e" resolve in expressions.
    MathEvaluator();
    // "pi" and "e" have cells but resolve only once registered.
    explicit MathEvaluator(bool accuracyOverEfficiency);
    // Releases the tables, the name lists and the lists of currentRPN.
    ~MathEvaluator();
    // The tables hold addresses of this object's own cells: no copies.
    MathEvaluator(const MathEvaluator&) = delete;
    MathEvaluator& operator=(const MathEvaluator&) = delete;

    void populateArrays();

    me_SepValues seperate(std::string expression);
    me_RPN compile(std::string expression);
    // The value, 0.0 for a malformed expression; throws std::invalid_argument
    // or std::out_of_range ("stod") for a token that is no number.
    long double eval(std::string expression);

    // Binds name to the address of value; the caller keeps value alive.
    void appendVariable(std::string name, double& value);
    void deleteVariable(std::string name);
    std::map<std::string, double*> getExternalVariables();

private:
    // Per-byte view of the operator and separator tables, derived once at
    // construction (the tables are fixed from then on) so that the passes
    // need no map lookup per token.
    struct OperatorEntry {
        int precedence;
        bool rightAssociative;
        int argumentCount;
        OperatorFunction function;
    };
    struct FunctionEntry {
        const std::string* name;
        int argumentCount;
        UnaryFunction unary;
        BinaryFunction binary;
    };
    enum CharClass : std::uint8_t { Ordinary = 0, OperatorChar = 1, SeparatorChar = 2 };

    CharClass charClass_[256];
    std::uint8_t operatorIndex_[256];
    OperatorEntry operators_[8];
    FunctionEntry functions_[8];
    int functionCount_;

    void buildTables();
    void deriveLookups();
    const OperatorEntry& operatorFor(const std::string& symbol) const {
        return operators_[operatorIndex_[static_cast<unsigned char>(symbol[0])]];
    }
    const FunctionEntry* functionFor(const std::string& name) const;
    std::int32_t classify(const std::string& piece) const;
    void noteStackTopPrecedence(const Token& top);
    bool run(const List<Token>& program, long double& result);
};

// One expression on an engine in the default configuration.
long double evaluate(std::string expression);

// MathEvaluator: the built-in language tables, the three passes
// (seperate -> compile -> eval) and the variables an expression may use.
// Values are x87 extended precision inside; numbers, variables, the unary
// functions and pow work in double.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

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
    std::uint32_t functionNameLengths_; // bit n set: some function name has n bytes

    // An infix token as a slice of the text. The passes work on slices; Token
    // lists are built only for the records that hand tokens out. The slices
    // tile the text (their texts join to it), so each ends where the next
    // begins and eight bytes hold one.
    struct Piece {
        std::uint64_t offset : 62;
        std::uint64_t kind : 2; // a TokenKind
    };
    // One token of the program, in output order.
    struct Step {
        std::uint64_t piece : 63;
        std::uint64_t numberKnown : 1;
        double number; // what the token reads as, once read
    };
    // The last text compiled. Everything in it follows from the text and the
    // fixed tables, so the same text again (a formula re-evaluated as its
    // variables change) skips both passes; variables are still read at run.
    struct Compiled {
        bool valid = false;
        std::string text;
        std::vector<Piece> pieces;
        std::vector<Step> program;
        std::vector<std::size_t> stack; // the compiler's operator stack
        std::string rpn;

        std::int32_t kind(std::size_t i) const { return static_cast<std::int32_t>(pieces[i].kind); }
        std::string_view slice(std::size_t i) const {
            const std::size_t end = i + 1 < pieces.size() ? pieces[i + 1].offset : text.size();
            return std::string_view(text.data() + pieces[i].offset, end - pieces[i].offset);
        }
    };
    Compiled compiled_;

    void buildTables();
    void deriveLookups();
    const OperatorEntry& operatorFor(char symbol) const {
        return operators_[operatorIndex_[static_cast<unsigned char>(symbol)]];
    }
    const FunctionEntry* functionFor(std::string_view name) const;
    std::int32_t classify(std::string_view piece) const;

    Compiled& compiledFor(std::string_view text);
    void scan(Compiled& c) const;
    void order(Compiled& c);
    static void fillTokenLists(me_RPN& record, const Compiled& c);
    static void appendToken(List<Token>& list, const Compiled& c, std::size_t i) {
        list.emplace(std::string(c.slice(i)), c.kind(i));
    }
    bool run(Compiled& c, long double& result);
};

// One expression on an engine in the default configuration.
long double evaluate(std::string expression);

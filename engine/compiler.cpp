// compile: operator-precedence (shunting-yard) pass from infix tokens to
// reverse Polish order. Operands go straight to the output; operators,
// functions and "(" wait on a stack. Nothing is checked here: malformed input
// gives a malformed program, which eval judges.
#include <vector>

#include "evaluator.h"

namespace {

struct RPNGuard {
    me_RPN& record;
    bool handedOver = false;
    ~RPNGuard() {
        if (!handedOver) record.freeLists();
    }
};

bool isOpenParen(const Token& t) {
    return t.kind == Separator && t.text == "(";
}

} // namespace

// Comparing an incoming operator with a "(" or a function on the stack looks
// their text up in the precedence table, which enters it there with 0.
void MathEvaluator::noteStackTopPrecedence(const Token& top) {
    if (top.kind != Operator) operatorPrecedence.emplace(top.text, 0);
}

me_RPN MathEvaluator::compile(std::string expression) {
    me_SepValues infix = seperate(std::move(expression));
    me_RPN result;
    result.tokens = infix.tokens; // the infix nodes change hands here
    result.expression = std::move(infix.expression);
    RPNGuard guard{result};
    result.RPN.reserve(result.expression.size());

    // The stack holds the infix tokens themselves: they live in result.tokens.
    thread_local std::vector<const Token*> stack;
    stack.clear();
    auto output = [&result](const Token& t) {
        result.RPN += t.text;
        if (!t.text.empty()) result.RPN_values.append(t);
    };

    for (const ListNode<Token>* node = result.tokens.head; node; node = node->next) {
        const Token& t = *node->value;
        switch (t.kind) {
        case Operand:
            output(t);
            break;
        case Function:
            stack.push_back(&t);
            break;
        case Operator: {
            const OperatorEntry& incoming = operatorFor(t.text);
            while (!stack.empty()) {
                const Token& s = *stack.back();
                if (s.kind != Operator) {
                    // "(" and functions read precedence 0: never popped here.
                    noteStackTopPrecedence(s);
                    break;
                }
                const OperatorEntry& top = operatorFor(s.text);
                const bool pops = top.precedence > incoming.precedence ||
                                  (top.precedence == incoming.precedence && !top.rightAssociative);
                if (!pops) break;
                output(s);
                stack.pop_back();
            }
            stack.push_back(&t);
            break;
        }
        case Separator:
            if (t.text == "(") {
                stack.push_back(&t);
            } else if (t.text == ")") {
                // A ")" without "(" empties the stack and is then ignored.
                while (!stack.empty() && !isOpenParen(*stack.back())) {
                    output(*stack.back());
                    stack.pop_back();
                }
                if (!stack.empty()) stack.pop_back();
                if (!stack.empty() && stack.back()->kind == Function) {
                    output(*stack.back());
                    stack.pop_back();
                }
            }
            break; // "," only keeps its neighbours apart
        }
    }
    while (!stack.empty()) {
        output(*stack.back());
        stack.pop_back();
    }
    if (stack.capacity() > 4096) std::vector<const Token*>().swap(stack); // after a deep nesting
    guard.handedOver = true;
    return result;
}

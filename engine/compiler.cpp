// The compiler: operator-precedence (shunting-yard) pass from infix tokens to
// reverse Polish order. Operands go straight to the output; operators,
// functions and "(" wait on a stack. Nothing is checked here: malformed input
// gives a malformed program, which eval judges. Tokens with an empty text
// add nothing to either form of the output and are left out of it.
#include "evaluator.h"

void MathEvaluator::order(std::string_view text, const std::vector<Piece>& pieces,
                          Scratch& scratch) {
    std::vector<std::size_t>& program = scratch.program;
    std::vector<std::size_t>& stack = scratch.stack;
    program.clear();
    stack.clear();
    program.reserve(pieces.size());
    stack.reserve(pieces.size());
    auto output = [&](std::size_t index) {
        if (pieces[index].length != 0) program.push_back(index);
    };
    auto popToOutput = [&] {
        output(stack.back());
        stack.pop_back();
    };
    auto symbol = [&](std::size_t index) { return text[pieces[index].offset]; };

    for (std::size_t i = 0; i < pieces.size(); ++i) {
        switch (pieces[i].kind) {
        case Operand:
            output(i);
            break;
        case Function:
            stack.push_back(i);
            break;
        case Operator: {
            const OperatorEntry& incoming = operatorFor(symbol(i));
            while (!stack.empty()) {
                const Piece& s = pieces[stack.back()];
                if (s.kind != Operator) {
                    // "(" and functions have no precedence entry: looking one up
                    // enters it with 0, below every operator, so nothing pops.
                    operatorPrecedence.try_emplace(std::string(text.data() + s.offset, s.length),
                                                   0);
                    break;
                }
                const OperatorEntry& top = operatorFor(symbol(stack.back()));
                const bool pops = top.precedence > incoming.precedence ||
                                  (top.precedence == incoming.precedence && !top.rightAssociative);
                if (!pops) break;
                popToOutput();
            }
            stack.push_back(i);
            break;
        }
        case Separator:
            if (symbol(i) == '(') {
                stack.push_back(i);
            } else if (symbol(i) == ')') {
                auto isOpen = [&](std::size_t index) {
                    return pieces[index].kind == Separator && symbol(index) == '(';
                };
                // A ")" without "(" empties the stack and is then ignored.
                while (!stack.empty() && !isOpen(stack.back())) popToOutput();
                if (!stack.empty()) stack.pop_back();
                if (!stack.empty() && pieces[stack.back()].kind == Function) popToOutput();
            }
            break; // "," only keeps its neighbours apart
        }
    }
    while (!stack.empty()) popToOutput();
}

std::string MathEvaluator::joinProgram(std::string_view text, const Scratch& scratch) {
    std::size_t length = 0;
    for (std::size_t index : scratch.program) length += scratch.pieces[index].length;
    std::string joined(length, '\0');
    char* out = joined.data();
    for (std::size_t index : scratch.program) {
        const Piece& p = scratch.pieces[index];
        for (const char* c = text.data() + p.offset; c != text.data() + p.offset + p.length; ++c)
            *out++ = *c; // mostly one or two bytes: a loop beats a call
    }
    return joined;
}

void MathEvaluator::fillTokenLists(me_RPN& record, std::string_view text, const Scratch& scratch) {
    for (const Piece& p : scratch.pieces) appendToken(record.tokens, text, p);
    for (std::size_t i : scratch.program) appendToken(record.RPN_values, text, scratch.pieces[i]);
}

me_RPN MathEvaluator::compile(std::string expression) {
    Scratch& scratch = threadScratch();
    scan(expression, scratch.pieces);
    order(expression, scratch.pieces, scratch);
    me_RPN result;
    ReleaseOnThrow<me_RPN> guard(result);
    fillTokenLists(result, expression, scratch);
    result.RPN = joinProgram(expression, scratch);
    result.expression = std::move(expression);
    scratch.trim();
    return result;
}

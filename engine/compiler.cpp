// The compiler: operator-precedence (shunting-yard) pass from infix tokens to
// reverse Polish order. Operands go straight to the output; operators,
// functions and "(" wait on a stack. Nothing is checked here: malformed input
// gives a malformed program, which eval judges. Tokens with an empty text
// add nothing to either form of the output and are left out of it.
#include "evaluator.h"

void MathEvaluator::order(Compiled& c) {
    const std::string_view text = c.text;
    std::vector<Step>& program = c.program;
    std::vector<std::size_t>& stack = c.stack;
    program.clear();
    stack.clear();
    auto output = [&](std::size_t index) {
        if (!c.slice(index).empty()) program.push_back({index, 0, 0.0});
    };
    auto popToOutput = [&] {
        output(stack.back());
        stack.pop_back();
    };
    auto symbol = [&](std::size_t index) { return text[c.pieces[index].offset]; };

    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
        switch (c.kind(i)) {
        case Operand:
            output(i);
            break;
        case Function:
            stack.push_back(i);
            break;
        case Operator: {
            const OperatorEntry& incoming = operatorFor(symbol(i));
            while (!stack.empty()) {
                if (c.kind(stack.back()) != Operator) {
                    // "(" and functions have no precedence entry: looking one up
                    // enters it with 0, below every operator, so nothing pops.
                    operatorPrecedence.try_emplace(std::string(c.slice(stack.back())), 0);
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
                    return c.kind(index) == Separator && symbol(index) == '(';
                };
                // A ")" without "(" empties the stack and is then ignored.
                while (!stack.empty() && !isOpen(stack.back())) popToOutput();
                if (!stack.empty()) stack.pop_back();
                if (!stack.empty() && c.kind(stack.back()) == Function) popToOutput();
            }
            break; // "," only keeps its neighbours apart
        }
    }
    while (!stack.empty()) popToOutput();
}

MathEvaluator::Compiled& MathEvaluator::compiledFor(std::string_view text) {
    Compiled& c = compiled_;
    if (c.valid && c.text == text) return c;
    // Arrays grown by a huge expression are kept while texts stay that large
    // (so they are not faulted in afresh on every call) and dropped at the
    // first much smaller one.
    if (c.pieces.capacity() > (1u << 16) && c.pieces.capacity() / 4 > text.size()) c = Compiled();
    c.valid = false;
    c.text.assign(text);
    scan(c);
    order(c);
    std::size_t length = 0;
    for (const Step& step : c.program) length += c.slice(step.piece).size();
    c.rpn.assign(length, '\0');
    char* out = c.rpn.data();
    for (const Step& step : c.program) {
        for (char ch : c.slice(step.piece)) *out++ = ch; // mostly 1-2 bytes
    }
    c.valid = true;
    return c;
}

void MathEvaluator::fillTokenLists(me_RPN& record, const Compiled& c) {
    for (std::size_t i = 0; i < c.pieces.size(); ++i) appendToken(record.tokens, c, i);
    for (const Step& step : c.program) appendToken(record.RPN_values, c, step.piece);
}

me_RPN MathEvaluator::compile(std::string expression) {
    const Compiled& c = compiledFor(expression);
    me_RPN result;
    ReleaseOnThrow<me_RPN> guard(result);
    fillTokenLists(result, c);
    result.RPN = c.rpn;
    result.expression = std::move(expression);
    return result;
}

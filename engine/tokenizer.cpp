// seperate: cuts a text into typed tokens at the ten delimiter bytes.
//
// Invariants: the token texts joined in order give back the input; every
// operator and separator token is one byte; a "-" is a sign (kept in front of
// the next token) at the start of the text or right after an operator token.
// The characters pending for the next token are always one contiguous run of
// the input, so a token is cut out as one substring.
#include "evaluator.h"

namespace {

// Frees the list unless the call completes and hands it over.
struct TokenListGuard {
    List<Token>& list;
    bool handedOver = false;
    ~TokenListGuard() {
        if (!handedOver) list.freeAll();
    }
};

} // namespace

std::int32_t MathEvaluator::classify(const std::string& piece) const {
    const CharClass cls =
        piece.size() == 1 ? charClass_[static_cast<unsigned char>(piece[0])] : Ordinary;
    if (cls == OperatorChar) return Operator;
    if (functionFor(piece)) return Function;
    if (cls == SeparatorChar) return Separator;
    return Operand;
}

me_SepValues MathEvaluator::seperate(std::string expression) {
    me_SepValues result;
    TokenListGuard guard{result.tokens};
    const char* text = expression.data();
    const std::size_t length = expression.size();
    Token token{std::string(), Operand};
    auto emit = [&](std::size_t from, std::size_t to) {
        token.text.assign(text + from, to - from);
        token.kind = classify(token.text);
        result.tokens.append(token);
    };

    std::size_t pending = 0; // start of the characters not yet emitted
    bool afterOperator = false;
    bool emittedAny = false;
    for (std::size_t i = 0; i < length; ++i) {
        const CharClass cls = charClass_[static_cast<unsigned char>(text[i])];
        if (cls == Ordinary) continue;
        const bool sign =
            text[i] == '-' && (i == 0 || (pending == i && emittedAny && afterOperator));
        if (sign) continue; // stays pending as the first character of the next token
        emit(pending, i);
        emit(i, i + 1);
        pending = i + 1;
        afterOperator = cls == OperatorChar;
        emittedAny = true;
    }
    if (pending < length) emit(pending, length);

    guard.handedOver = true;
    result.expression = std::move(expression);
    return result;
}

// The tokenizer: cuts a text into typed tokens at the ten delimiter bytes.
//
// Invariants: the token texts joined in order give back the input; every
// operator and separator token is one byte; a "-" is a sign (kept in front of
// the next token) at the start of the text or right after an operator token.
// The characters pending for the next token are always one contiguous run of
// the input, so a token is a slice of it.
#include "evaluator.h"

std::int32_t MathEvaluator::classify(std::string_view piece) const {
    const CharClass cls =
        piece.size() == 1 ? charClass_[static_cast<unsigned char>(piece[0])] : Ordinary;
    if (cls == OperatorChar) return Operator;
    if (functionFor(piece)) return Function;
    if (cls == SeparatorChar) return Separator;
    return Operand;
}

void MathEvaluator::scan(Compiled& c) const {
    const std::string_view text = c.text;
    std::vector<Piece>& pieces = c.pieces;
    pieces.clear();
    auto emit = [&](std::size_t from, std::size_t to) {
        const auto kind = static_cast<std::uint64_t>(classify({text.data() + from, to - from}));
        pieces.push_back({from, kind});
    };
    std::size_t pending = 0; // start of the characters not yet emitted
    bool afterOperator = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const CharClass cls = charClass_[static_cast<unsigned char>(text[i])];
        if (cls == Ordinary) continue;
        const bool sign =
            text[i] == '-' && (i == 0 || (pending == i && !pieces.empty() && afterOperator));
        if (sign) continue; // stays pending as the first character of the next token
        emit(pending, i);
        emit(i, i + 1);
        pending = i + 1;
        afterOperator = cls == OperatorChar;
    }
    if (pending < text.size()) emit(pending, text.size());
}

me_SepValues MathEvaluator::seperate(std::string expression) {
    const Compiled& c = compiledFor(expression);
    me_SepValues result;
    ReleaseOnThrow<me_SepValues> guard(result);
    for (std::size_t i = 0; i < c.pieces.size(); ++i) appendToken(result.tokens, c, i);
    result.expression = std::move(expression);
    return result;
}

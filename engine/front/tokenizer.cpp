// The tokenizer: cuts a text into typed tokens at the delimiter bytes (the
// one-byte entries of operatorSymbols and separatorSymbols).
//
// Invariants: the token texts joined in order give back the input; every
// delimiter token is one byte; a "-" is a sign (kept in front of the next
// token) at the start of the text or right after an operator token. The
// characters pending for the next token are always one contiguous run of the
// input, so a token is a slice of it.
#include <stdexcept>

#include "evaluator.h"
#include "prepared.h"

using namespace velmoratrix;

void velmoratrix::scan(const Lookups& lookups, Program& program) {
    const std::string_view text = program.text;
    std::vector<Piece>& pieces = program.pieces;
    pieces.clear();
    if (text.size() >> 46) throw std::length_error("a text of 64 TiB or more");
    // Most texts have at most a piece a byte: growing to that would copy the
    // pieces of a long text over and over.
    pieces.reserve(text.size() + 1);
    program.scannedBy = &lookups;
    program.scannedAt = lookups.edits;
    auto emit = [&](std::size_t from, std::size_t to) {
        const std::int32_t name = lookups.lookup({text.data() + from, to - from});
        pieces.push_back(Piece::of(from, lookups.kindOf(name), name));
    };
    std::size_t pending = 0; // start of the characters not yet emitted
    bool afterOperator = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const DelimiterClass cls = lookups.delimiter[static_cast<unsigned char>(text[i])];
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

void velmoratrix::appendToken(List<Token>& list, const Program& program, std::size_t i) {
    list.emplace(std::string(program.slice(i)), program.kind(i));
}

void velmoratrix::fillTokenLists(me_RPN& record, const Program& program) {
    for (std::size_t i = 0; i < program.pieces.size(); ++i) appendToken(record.tokens, program, i);
    for (std::uint32_t i : program.output) appendToken(record.RPN_values, program, i);
}

// Only reads the evaluator: the compiler's table lookups are compile's.
me_SepValues MathEvaluator::seperate(std::string expression) {
    Entry call(*this);
    Program scratch;
    scratch.text = std::move(expression);
    scan(prepared().lookups, scratch);
    me_SepValues result;
    ReleaseOnThrow<me_SepValues> guard(result);
    for (std::size_t i = 0; i < scratch.pieces.size(); ++i) appendToken(result.tokens, scratch, i);
    result.expression = std::move(scratch.text);
    return result;
}

// The compiler: operator-precedence (shunting-yard) pass from infix tokens to
// reverse Polish order. Operands go straight to the output; operators,
// functions and "(" wait on a stack. Nothing is checked here: malformed input
// gives a malformed program, which eval judges. Tokens with an empty text
// add nothing to either form of the output and are left out of it.
#include <algorithm>

#include "evaluator.h"
#include "prepared.h"
#include "standard.h"

using namespace velmoratrix;

namespace {

// The precedence and associativity of a name as the tables' inserting
// lookups give them: a missing entry reads as 0 and is entered with 0
// (unless there is no evaluator to enter it in).
int precedenceOf(MathEvaluator* m, NameInfo& name) {
    if (m && !name.hasPrecedence) {
        m->operatorPrecedence.try_emplace(name.text, 0);
        name.hasPrecedence = true;
    }
    return name.precedence;
}

int rightAssociativeOf(MathEvaluator* m, NameInfo& name) {
    if (m && !name.hasRightAssociative) {
        m->rightAssociative.try_emplace(name.text, 0);
        name.hasRightAssociative = true;
    }
    return name.rightAssociative;
}

} // namespace

void velmoratrix::order(MathEvaluator* m, Lookups& lookups, Program& program) {
    std::vector<std::uint32_t>& output = program.output;
    output.clear();
    output.reserve(program.pieces.size());
    std::vector<std::uint32_t>& stack = program.stack;
    stack.clear();
    auto emit = [&](std::uint32_t index) {
        if (!program.slice(index).empty()) output.push_back(index);
    };
    auto popToOutput = [&] {
        emit(stack.back());
        stack.pop_back();
    };
    // Operators, functions and separators are names of the lists.
    auto nameOf = [&](std::uint32_t index) -> NameInfo& {
        return lookups.names[program.nameIndex(index, lookups)];
    };
    auto is = [&](std::uint32_t index, char c) {
        const std::string_view t = program.slice(index);
        return t.size() == 1 && t[0] == c;
    };
    auto isOpen = [&](std::uint32_t index) { return is(index, '('); };

    for (std::uint32_t i = 0; i < program.pieces.size(); ++i) {
        switch (program.kind(i)) {
        case Operand:
            emit(i);
            break;
        case Function:
            stack.push_back(i);
            break;
        case Operator: {
            NameInfo& incoming = nameOf(i);
            while (!stack.empty()) {
                NameInfo& top = nameOf(stack.back());
                const int topPrecedence = precedenceOf(m, top);
                const int precedence = precedenceOf(m, incoming);
                const bool pops =
                    (program.kind(stack.back()) == Operator && topPrecedence > precedence) ||
                    (precedence == topPrecedence && rightAssociativeOf(m, top) == 0 &&
                     !isOpen(stack.back()));
                if (!pops) break;
                popToOutput();
            }
            stack.push_back(i);
            break;
        }
        case Separator:
            if (isOpen(i)) {
                stack.push_back(i);
            } else if (is(i, ')')) {
                // A ")" without "(" empties the stack and is then ignored.
                while (!stack.empty() && !isOpen(stack.back())) popToOutput();
                if (!stack.empty()) stack.pop_back();
                if (!stack.empty() && nameOf(stack.back()).isFunction) popToOutput();
            }
            break; // "," only keeps its neighbours apart
        }
    }
    while (!stack.empty()) popToOutput();
}

// A text not evaluated last: one kept from before, or compiled now.
Program& MathEvaluator::compileProgram(std::string_view text, bool standard) {
    Prepared& p = *prepared_;
    auto& programs = p.programs;
    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (programs[i]->standard == standard && sameText(programs[i]->text, text)) {
            std::rotate(programs.begin(), programs.begin() + i, programs.begin() + i + 1);
            return *programs.front();
        }
    }
    // A program as new, in the spare's place where there is one (its
    // allocation and its buffers are all that pass on).
    std::shared_ptr<Program> program = std::move(p.spare);
    if (program) {
        program->renew();
    } else {
        program = std::make_shared<Program>();
    }
    program->text.assign(text);
    program->standard = standard;
    if (standard) {
        Diagnostic failure;
        if (!readStandard(languageOf(Syntax::Standard), p.lookups, program->text,
                          program->standardSteps, failure, nullptr, &program->condition)) {
            p.spare = std::move(program); // its buffers, for the next one
            throw ExpressionError({std::move(failure)}, std::string(text));
        }
        for (const StandardStep& s : program->standardSteps)
            program->rpn.append(program->text, s.offset, s.length);
    } else {
        scan(p.lookups, *program);
        order(this, p.lookups, *program);
        p.lookups.edits = languageEdits(); // the entries order made, already in its lookups
        program->scannedAt = p.lookups.edits; // entries added, no name moved: the indices stand
        std::size_t length = 0;
        for (std::uint32_t i : program->output) length += program->slice(i).size();
        program->rpn.resize(length);
        char* rpn = program->rpn.data();
        for (std::uint32_t i : program->output) {
            const std::string_view piece = program->slice(i);
            for (char c : piece) *rpn++ = c; // mostly one or two bytes
        }
    }
    programs.insert(programs.begin(), std::move(program));
    keepWithinCache();
    return *programs.front();
}

// The oldest programs go past the cache's size and its byte budget (the
// newest stays whatever its size). A small one is kept as the spare, whose
// buffers the next compilation takes; a formula's stays its own.
void MathEvaluator::keepWithinCache() {
    Prepared& p = *prepared_;
    auto& programs = p.programs;
    if (programs.size() <= 1) return; // the newest stays whatever its size
    std::size_t bytes = 0;
    for (const auto& kept : programs) bytes += kept->bytes();
    while (programs.size() > cacheSize_ || (programs.size() > 1 && bytes > Prepared::kByteBudget)) {
        bytes -= programs.back()->bytes();
        if (programs.back()->bytes() < Prepared::kSpareBytes && programs.back().use_count() == 1) {
            p.spare = std::move(programs.back());
            p.spare->releaseNative(); // its code memory is not for the next
        }
        programs.pop_back();
    }
}

void MathEvaluator::setCacheSize(std::size_t texts) {
    Entry call(*this);
    refuseWhileRunning("setCacheSize");
    cacheSize_ = std::max<std::size_t>(texts, 1);
    keepWithinCache();
}

me_RPN MathEvaluator::compile(std::string expression) {
    Entry call(*this);
    refuseWhileRunning("compile");
    const Program& program = programFor(expression);
    me_RPN result;
    ReleaseOnThrow<me_RPN> guard(result);
    fillTokenLists(result, program);
    result.RPN = program.rpn;
    result.expression = std::move(expression);
    return result;
}

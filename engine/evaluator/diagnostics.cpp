// Diagnostics: what is wrong with a text and where, the names it reads, and
// how it is read and run step by step. Nothing here changes the evaluator:
// the passes run on a scratch program, and the compiler's table lookups
// enter nothing.
//
// Errors are exactly the failures of eval: the unknown and out-of-range
// tokens (which raise), and the structural faults (which give 0.0), found
// by the same walk over the reverse Polish order that eval makes. Where a
// structural fault lies in the text as written is told by the neighbours of
// each token.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <unordered_set>

#include "evaluator.h"
#include "machine.h"
#include "messages.h"
#include "prepared.h"
#include "standard.h"

using namespace velmoratrix;

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\n\r\f\v");
    return text.substr(first, last - first + 1);
}

bool blank(std::string_view text) {
    return trimmed(text).empty();
}

// The scratch compilation of a text, and what each token is.
struct Reading {
    const MathEvaluator& m;
    const Lookups& lookups;
    Program program;
    std::vector<std::size_t> next, previous;    // non-empty neighbours, or npos
    std::unordered_set<std::string_view> known; // read as variables too

    Reading(const MathEvaluator& evaluator, Lookups& lang, const std::string& text,
            const std::vector<std::string>* knownNames = nullptr)
        : m(evaluator), lookups(lang) {
        if (knownNames) known.insert(knownNames->begin(), knownNames->end());
        program.text = text;
        scan(lang, program);
        order(nullptr, lang, program);
        const std::size_t n = program.pieces.size();
        next.assign(n, std::string_view::npos);
        previous.assign(n, std::string_view::npos);
        std::size_t last = std::string_view::npos;
        for (std::size_t i = 0; i < n; ++i) {
            previous[i] = last;
            if (!program.slice(i).empty()) last = i;
        }
        last = std::string_view::npos;
        for (std::size_t i = n; i-- > 0;) {
            next[i] = last;
            if (!program.slice(i).empty()) last = i;
        }
    }

    std::string_view text(std::size_t i) const { return program.slice(i); }
    std::int32_t kind(std::size_t i) const { return program.kind(i); }
    const NameInfo* name(std::size_t i) const {
        const std::int32_t index = lookups.lookup(text(i));
        return index < 0 ? nullptr : &lookups.names[index];
    }
    bool is(std::size_t i, std::int32_t k, std::string_view t) const {
        return i != std::string_view::npos && kind(i) == k && text(i) == t;
    }
    bool variable(std::size_t i) const {
        return kind(i) != Operator && (m.isVariable(text(i)) || known.count(text(i)));
    }
    // A value ends here: an operand, a ")" or a one-operand operator ("!").
    bool endsValue(std::size_t i) const {
        if (i == std::string_view::npos) return false;
        if (kind(i) == Operand) return true;
        if (kind(i) == Separator) return text(i) == ")";
        const NameInfo* n = name(i);
        return kind(i) == Operator && n && n->operatorArity == 1;
    }
    // A value starts here: an operand, a "(" or a function.
    bool startsValue(std::size_t i) const {
        if (i == std::string_view::npos) return false;
        return kind(i) == Operand || kind(i) == Function || is(i, Separator, "(");
    }
};

struct Checker {
    Reading& r;
    std::vector<Diagnostic>& out;
    // Past kMostProblems, problems are only counted: a hostile text cannot
    // make check build messages without end.
    std::size_t dropped = 0, droppedAt = 0;
    bool droppedError = false;
    bool listedFunctions = false; // the evaluator's functions, named once

    void add(Diagnostic d) {
        if (out.size() < kMostProblems) {
            out.push_back(std::move(d));
            return;
        }
        if (!dropped || d.offset < droppedAt) droppedAt = d.offset;
        ++dropped;
        droppedError = droppedError || d.error;
    }
    bool anyError() const {
        return droppedError || std::any_of(out.begin(), out.end(), [](auto& d) { return d.error; });
    }
    // The count left out, as one problem after the others.
    void closeCount() {
        if (dropped)
            out.push_back({droppedAt, 0, droppedError,
                           std::to_string(dropped) +
                               " more problems were left out (check reports " +
                               std::to_string(kMostProblems) + " at most)"});
    }

    void report(std::size_t piece, bool error, std::string message) {
        add({r.program.pieces[piece].offset(), r.text(piece).size(), error, std::move(message)});
    }

    // Brackets: a ")" without "(" closes all before it; a "(" never closed
    // stays in the program and raises there.
    std::vector<bool> unclosed() {
        std::vector<bool> open(r.program.pieces.size(), false);
        std::vector<std::size_t> stack;
        for (std::size_t i = 0; i < r.program.pieces.size(); ++i) {
            if (r.is(i, Separator, "(")) {
                stack.push_back(i);
            } else if (r.is(i, Separator, ")")) {
                if (stack.empty())
                    report(i, false,
                           "')' has no '(' before it: it closes everything before it, as if a "
                           "'(' stood at the start");
                else
                    stack.pop_back();
            }
        }
        for (std::size_t i : stack) open[i] = true;
        return open;
    }

    // Operands that are no number and no registered name, numbers beyond the
    // float range, and numbers that do not read as they look.
    void operands(const std::vector<bool>& open) {
        for (std::uint32_t i : r.program.output) {
            const std::string_view t = r.text(i);
            const std::int32_t kind = r.kind(i);
            if (kind == Operator) continue;
            double value;
            std::size_t consumed = 0;
            if (r.variable(i)) {
                if (kind == Operand && readNumber(t, value, &consumed) == Ending::Value &&
                    blank(t.substr(consumed)))
                    report(i, false,
                           "the variable " + quoted(t) + " stands here, not the number it spells");
                continue;
            }
            if (kind == Function) continue;
            const Ending read = readNumber(t, value, &consumed);
            if (read == Ending::OutOfRange)
                report(i, true, quoted(t) + " is beyond the range of a float");
            else if (read == Ending::NotANumber)
                report(i, true, open[i] ? "'(' is never closed: add a ')'" : unknown(i));
            else if (!blank(t.substr(consumed)))
                numberWithRest(i, consumed);
        }
    }

    // Readings that are right but rarely meant: warnings, and the value
    // stays what it is.
    void surprises() {
        for (std::size_t i = 0; i < r.program.pieces.size(); ++i) {
            const std::string_view t = r.text(i);
            if (t.empty() || r.kind(i) != Operand) continue;
            if (r.variable(i)) {
                const std::string_view core = trimmed(t);
                if (core.find_first_of(" \t\n\r\f\v") != std::string_view::npos)
                    report(i, false,
                           quoted(core) + " is one name: blanks belong to names, and this "
                                          "evaluator has a variable that holds them");
                continue;
            }
            double value;
            std::size_t consumed = 0;
            if (readNumber(t, value, &consumed) != Ending::Value || !blank(t.substr(consumed)))
                continue;
            const std::string_view number = trimmed(t);
            const std::size_t after = r.next[i];
            const bool negative = !number.empty() && number[0] == '-';
            if (negative && r.is(after, Operator, "!"))
                report(i, false,
                       quoted(std::string(number) + "!") + " is the factorial of " +
                           std::string(number) + ": the sign belongs to the number; for -(" +
                           std::string(number.substr(1)) + "!) write " +
                           quoted("0" + std::string(number) + "!"));
            if (negative && r.is(after, Operator, "^") && r.next[after] != std::string_view::npos) {
                const std::string power =
                    std::string(number) + "^" + std::string(trimmed(r.text(r.next[after])));
                report(i, false,
                       quoted(power) + " is a power of " + std::string(number) +
                           ", not its negation: the sign belongs to the number; for -(" +
                           power.substr(1) + ") write " + quoted("0" + power));
            }
            if (std::isfinite(value) && value != std::trunc(value) &&
                (r.is(after, Operator, "%") || r.is(r.previous[i], Operator, "%")))
                report(i, false,
                       "'%' takes whole numbers: " + quoted(number) + " is cut to its whole part");
        }
    }

    std::string unknown(std::size_t i) {
        const std::string_view t = r.text(i);
        const std::string_view core = trimmed(t);
        const std::string head = quoted(t) + " is no number and no registered name";
        if (core != t && !core.empty() && r.m.isVariable(core))
            return head + ": blanks belong to names; write " + quoted(core);
        if (core != t && !core.empty() && r.lookups.classify(core) == Function)
            return head + ": with a blank before '(' the function is an ordinary name; write " +
                   quoted(std::string(core) + "(...)");
        if (t.size() > 1 && t[0] == '-' && r.m.isVariable(t.substr(1)))
            return head + ": a '-' before a name is part of the name; write " +
                   quoted("0-" + std::string(t.substr(1)));
        if (std::as_const(r.m.externalVariables).count(std::string(t)))
            return head + ": it is listed but not registered on this evaluator; register it "
                          "first (append_variable)";
        if (core != t && !core.empty())
            return head + ": blanks belong to names and numbers; remove them";
        const auto symbol = t.find_first_of("<>=&|");
        if (symbol != std::string_view::npos)
            return head + ": the language has no comparisons or logic, so " +
                   quoted(t.substr(symbol, 1)) + " is read as part of a name";
        if (r.is(r.next[i], Separator, "(")) {
            std::string standard;
            const BuiltinFunction* f = languageOf(Syntax::Standard).function(t);
            if (f && !f->readsItself())
                standard = "; the standard syntax has " + std::string(f->name) +
                           " (Evaluator.syntax = \"standard\")";
            if (std::exchange(listedFunctions, true))
                return head +
                       ": it is no function of this evaluator (its functions are named "
                       "at the first such name)" +
                       standard;
            return head + ": it is no function of this evaluator, whose functions are " +
                   functionList() + " (append_function adds one)" + standard;
        }
        return head;
    }

    std::string functionList() const {
        std::string list;
        const auto& names = r.m.functionNames;
        for (const ListNode<std::string>* n = names.empty() ? nullptr : names.head; n; n = n->next)
            if (n->value) list += (list.empty() ? "" : ", ") + *n->value;
        return list;
    }

    // What a number with a signed exponent means, as a plain decimal; empty
    // where that would be long.
    static std::string decimal(const std::string& number) {
        double value;
        if (readNumber(number, value) != Ending::Value) return {};
        char digits[32];
        const auto written =
            std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
        if (written.ec != std::errc() || written.ptr - digits > 20) return {};
        return std::string(digits, written.ptr);
    }

    void numberWithRest(std::size_t i, std::size_t consumed) {
        const std::string_view t = r.text(i);
        const std::size_t after = r.next[i];
        const char last = t.back();
        if ((last == 'e' || last == 'E') && consumed + 1 == t.size() &&
            after != std::string_view::npos && r.kind(after) == Operator &&
            (r.text(after) == "-" || r.text(after) == "+")) {
            const std::size_t exponent = r.next[after];
            const std::string written =
                std::string(t) + std::string(r.text(after)) +
                (exponent == std::string_view::npos ? std::string()
                                                    : std::string(r.text(exponent)));
            const std::string plain = r.text(after) == "+" && exponent != std::string_view::npos
                                          ? std::string(t) + std::string(r.text(exponent))
                                          : decimal(written);
            report(i, false,
                   quoted(written) + " reads as " + quoted(t.substr(0, consumed)) + " " +
                       (r.text(after) == "-" ? "minus " : "plus ") +
                       (exponent == std::string_view::npos ? std::string("…")
                                                           : std::string(r.text(exponent))) +
                       ": the exponent's sign splits the number; write it without a signed "
                       "exponent, " +
                       (plain.empty() ? std::string("such as 0.00001 for 1e-5")
                                      : "as " + quoted(plain)));
            return;
        }
        report(i, false,
               quoted(t) + " reads as the number " + quoted(trimmed(t.substr(0, consumed))) + "; " +
                   quoted(t.substr(consumed)) + " is ignored");
    }

    // The walk eval makes: false where it would give the failure value, with
    // the token it stops at (npos: at the end).
    bool runs(std::size_t& failedAt, std::string& why) {
        const auto& output = r.program.output;
        if (output.empty()) {
            failedAt = std::string_view::npos;
            why = "there is no value to compute";
            return false;
        }
        std::size_t depth = 0;
        for (std::uint32_t i : output) {
            const std::int32_t kind = r.kind(i);
            if (kind == Separator && !r.variable(i)) continue; // an unclosed "(": it raises
            if (kind != Operator && (r.variable(i) || kind != Function)) ++depth;
            const NameInfo* n = kind == Function || kind == Operator ? r.name(i) : nullptr;
            if (kind == Function) {
                const int arity = n ? n->functionArity : 0;
                if (arity > 0 && depth < static_cast<std::size_t>(arity)) {
                    failedAt = i;
                    why = quoted(r.text(i)) + " finds no argument";
                    return false;
                }
                if (!n->hasRoutine()) {
                    failedAt = i;
                    why = quoted(r.text(i)) + " has no routine in the function tables";
                    return false;
                }
                if (arity == 2) --depth;
            } else if (kind == Operator) {
                const int arity = n ? std::max(n->operatorArity, 0) : 0;
                if (static_cast<std::size_t>(arity) > depth) {
                    failedAt = i;
                    why = quoted(r.text(i)) + " finds " + (depth ? "only one value" : "no value");
                    return false;
                }
                if (!n || !n->primitive) {
                    failedAt = i;
                    why = quoted(r.text(i)) + " has no primitive in the operator table";
                    return false;
                }
                depth = depth - arity + 1;
            }
        }
        if (depth == 1) return true;
        failedAt = std::string_view::npos;
        why = depth == 0 ? "there is no value left at the end"
                         : std::to_string(depth) + " values are left at the end, where one "
                                                   "should be";
        return false;
    }

    bool readsAsNumber(std::size_t i) const {
        double value;
        return readNumber(r.text(i), value) != Ending::NotANumber;
    }

    // Where a structural fault lies in the text as written.
    bool placeFault() {
        bool placed = false;
        for (std::size_t i = 0; i < r.program.pieces.size(); ++i) {
            const std::string_view t = r.text(i);
            if (t.empty()) continue;
            const std::size_t before = r.previous[i], after = r.next[i];
            const NameInfo* n = r.name(i);
            if (t == "*" && r.is(after, Operator, "*") &&
                r.program.pieces[after].offset() == r.program.pieces[i].offset() + 1) {
                add({r.program.pieces[i].offset(), 2, true,
                     "'**' is no operator: write '^' for a power, as in 'x^2'"});
                i = after;
                placed = true;
                continue;
            }
            if (r.is(i, Separator, "(") && before != std::string_view::npos &&
                r.kind(before) == Operand && !r.variable(before) && !readsAsNumber(before)) {
                placed = true; // an unknown name before '(': reported with its hint
                continue;
            }
            if (r.kind(i) == Operator && n && n->operatorArity == 2) {
                if (!r.endsValue(before)) {
                    std::string message = quoted(t) + " has no left operand";
                    if (t == "-" && (r.is(before, Separator, "(") || r.is(before, Separator, ",")))
                        message += ": a '-' after '(' or ',' subtracts; to negate, write 0-… "
                                   "or put the '-' right after an operator (2*-3)";
                    else if (t == "-" && before == std::string_view::npos)
                        message += ": a '-' at the start is a sign only right before a number or "
                                   "name; write 0-… for the rest";
                    report(i, true, message);
                    placed = true;
                }
                if (!r.startsValue(after)) {
                    report(i, true, quoted(t) + " has no right operand");
                    placed = true;
                }
            } else if (r.kind(i) == Operator && n && n->operatorArity == 1 &&
                       !r.endsValue(before)) {
                report(i, true, quoted(t) + " has no operand before it");
                placed = true;
            } else if (r.kind(i) == Function && !r.variable(i)) {
                if (!r.is(after, Separator, "(")) {
                    report(i, true,
                           quoted(t) + " is a function: write its argument in parentheses, " +
                               quoted(std::string(t) + "(x)"));
                    placed = true;
                } else if (r.is(r.next[after], Separator, ")")) {
                    report(i, true, quoted(std::string(t) + "()") + " has no argument");
                    placed = true;
                }
            } else if (r.startsValue(i) && r.endsValue(before) &&
                       !(r.kind(before) == Operand &&
                         r.lookups.classify(trimmed(r.text(before))) == Function)) {
                std::string message =
                    "no operator between " + quoted(r.text(before)) + " and " + quoted(t);
                if (t[0] == '-' && r.kind(before) == Operator)
                    message += ": a '-' right after an operator is the sign of what follows; "
                               "to subtract, put the left side in parentheses";
                else
                    message += ": the language has no implied multiplication; put an operator "
                               "between them, as in " +
                               quoted(std::string(r.text(before)) + "*" + std::string(t));
                report(i, true, message);
                placed = true;
            } else if (r.is(i, Separator, ",")) {
                report(i, true,
                       "',' starts a value too many: commas separate the arguments of "
                       "two-argument functions only");
                placed = true;
            }
        }
        return placed;
    }
};

} // namespace

namespace {

// A number as the fewest digits that read back as it.
std::string shortest(double value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

} // namespace

std::vector<Diagnostic> MathEvaluator::check(const std::string& expression) const {
    return check(expression, {});
}

std::vector<Diagnostic> MathEvaluator::check(const std::string& expression,
                                             const std::vector<std::string>& known) const {
    Entry call(*this);
    refuseWhileRunning("check");
    if (syntax == Syntax::Standard) { // the first problem is where eval stops
        std::vector<StandardStep> steps;
        Diagnostic problem;
        if (!readStandard(languageOf(syntax), prepared().lookups, expression, steps, problem) ||
            unboundName(*this, steps, expression, {known.begin(), known.end()}, problem))
            return {problem};
        return {};
    }
    const EngineSse sse; // numbers read as the engine rounds
    std::vector<Diagnostic> out;
    Reading reading(*this, prepared().lookups, expression, &known);
    Checker checker{reading, out};
    const std::vector<bool> open = checker.unclosed();
    checker.operands(open);
    checker.surprises();
    std::size_t failedAt = 0;
    std::string why;
    const bool errorsBefore = checker.anyError();
    if (!checker.runs(failedAt, why) && !checker.placeFault() && !errorsBefore) {
        if (failedAt == std::string_view::npos)
            checker.add(
                {0, expression.size(), true, expression.empty() ? "the expression is empty" : why});
        else
            checker.report(failedAt, true, why);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Diagnostic& a, const Diagnostic& b) { return a.offset < b.offset; });
    checker.closeCount();
    return out;
}

std::vector<std::string> MathEvaluator::names(const std::string& expression) const {
    Entry call(*this);
    refuseWhileRunning("names");
    return namesIn(expression, syntax == Syntax::Standard);
}

std::vector<std::string> MathEvaluator::namesIn(const std::string& expression,
                                                bool standard) const {
    if (standard) return standardNames(expression);
    std::vector<std::string> found;
    std::unordered_set<std::string_view> seen;
    Reading reading(*this, prepared().lookups, expression);
    for (std::size_t i = 0; i < reading.program.pieces.size(); ++i) {
        const std::string_view t = reading.text(i);
        double value;
        const bool read = reading.kind(i) == Operand && !t.empty() &&
                          (reading.variable(i) || readNumber(t, value) == Ending::NotANumber);
        const bool function = reading.kind(i) == Function && reading.variable(i);
        if ((read || function) && seen.insert(t).second) found.emplace_back(t);
    }
    return found;
}

std::vector<std::string> MathEvaluator::bindableNames(const std::string& expression) {
    Entry call(*this);
    refuseWhileRunning("bindableNames");
    return bindableNamesIn(expression, syntax == Syntax::Standard);
}

std::vector<std::string> MathEvaluator::bindableNamesIn(const std::string& expression,
                                                        bool standard) {
    // A standard text binds its names only: numbers and functions are read
    // as such.
    if (standard) return standardNames(expression);
    Program scratch;
    scratch.text = expression;
    scan(prepared().lookups, scratch);
    std::vector<std::string> found;
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < scratch.pieces.size(); ++i) {
        const std::string_view t = scratch.slice(i);
        if (scratch.kind(i) != Operator && !t.empty() && seen.insert(t).second)
            found.emplace_back(t);
    }
    return found;
}

Explanation MathEvaluator::explain(const std::string& expression) {
    Entry call(*this);
    refuseWhileRunning("explain");
    if (expression.size() > kMostExplained)
        throw std::length_error("explain: the text has " + std::to_string(expression.size()) +
                                " bytes, more than the " + std::to_string(kMostExplained) +
                                " explain reads; check and names take texts of any size");
    if (syntax == Syntax::Classic) return explainClassic(expression);
    return explainStandard(expression);
}

std::vector<std::string> MathEvaluator::standardNames(const std::string& expression) const {
    std::vector<StandardStep> steps;
    Diagnostic failure;
    std::vector<std::string> found;
    if (!readStandard(languageOf(Syntax::Standard), prepared().lookups, expression, steps, failure))
        return found;
    std::unordered_set<std::string_view> seen;
    for (const StandardStep& s : steps) {
        const std::string_view name = std::string_view(expression).substr(s.offset, s.length);
        if (s.kind == StandardStep::Name && seen.insert(name).second) found.emplace_back(name);
    }
    return found;
}

// Each step runs as the interpreter runs it: on the values it takes, as
// constants of a code of its own.
Explanation MathEvaluator::explainStandard(const std::string& expression) {
    const EngineSse sse; // it calls the functions
    Explanation e;
    std::vector<StandardStep> steps;
    Diagnostic failure;
    if (!readStandard(languageOf(Syntax::Standard), prepared().lookups, expression, steps, failure,
                      &e.tokens)) {
        e.failure = failure.message + ": ExpressionError";
        return e;
    }
    // Chained comparisons write their middle values again: a long name in
    // nested chains would be spelled far more often than the text holds it.
    std::size_t spelled = 0;
    for (const StandardStep& s : steps) spelled += s.length;
    if (spelled > kMostSpelled)
        throw std::length_error("explain: the steps of this text spell " + std::to_string(spelled) +
                                " bytes, more than the " + std::to_string(kMostSpelled) +
                                " explain lists (chained comparisons repeat their middle"
                                " values); check and names take texts of any size");
    // -v is read as v * -1, both steps spelled by the '-': shown as one.
    auto negates = [&](std::size_t k) {
        return k + 1 < steps.size() && steps[k].kind == StandardStep::Number &&
               expression[steps[k].offset] == '-' && steps[k + 1].kind == StandardStep::Primitive &&
               steps[k + 1].offset == steps[k].offset;
    };
    for (std::size_t k = 0; k < steps.size(); ++k)
        if (!negates(k)) e.rpn.emplace_back(expression.substr(steps[k].offset, steps[k].length));
    Running running(*this); // it calls the functions a run would
    std::vector<Real> stack;
    bool negation = false; // the step is a negation's product
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const StandardStep& s = steps[k];
        const std::string spelled = quoted(std::string_view(expression).substr(s.offset, s.length));
        Instruction i = stepInstruction(s);
        const std::size_t taken = stepTakes(s);
        std::string action;
        switch (s.kind) {
        case StandardStep::Number:
            if (negates(k)) { // its -1, pushed unseen
                stack.push_back(s.number);
                negation = true;
                continue;
            }
            action = "the number " + spelled;
            break;
        case StandardStep::Name: {
            const std::string_view name = std::string_view(expression).substr(s.offset, s.length);
            double* const* cell = registeredCell(*this, name);
            if (cell && !*cell) {
                e.failure = spelled + " has no cell: the result is 0.0";
                return e;
            }
            if (cell) {
                i.number = **cell;
                action = "the variable " + spelled;
            } else if (languageOf(Syntax::Standard).constant(name, i.number)) {
                action = "the constant " + spelled;
            } else {
                e.failure = spelled + " is no registered name: ExpressionError";
                return e;
            }
            break;
        }
        case StandardStep::Primitive:
            action = negation ? "the negation " + spelled : "the operator " + spelled;
            break;
        case StandardStep::Machine:
            action = s.op == Op::Select
                         ? "the choice " + spelled + " by the third value from the top"
                     : s.op == Op::PowInteger || s.op == Op::PowHalf
                         ? "the power " + spelled + " of exponent " + shortest(s.number)
                     : s.op == Op::Truth ? "the truth of " + spelled
                     : s.op == Op::Not   ? "the negation " + spelled
                                         : "the comparison " + spelled;
            break;
        default:
            action = "the function " + spelled;
            break;
        }
        const std::size_t shown = negation ? 1 : taken; // the unseen -1 is no value of the text's
        negation = false;
        if (shown == 1) action += " on the top value";
        if (shown > 1) action += " on the top " + std::to_string(shown) + " values";
        const Real value =
            stepValue(i, stack.data() + stack.size() - taken, taken, accuracyOverEfficiency);
        stack.resize(stack.size() - taken);
        stack.push_back(value);
        e.steps.push_back(
            {std::string(expression, s.offset, s.length), std::move(action), shown, wide(value)});
    }
    e.succeeded = true;
    e.result = wide(stack.back());
    return e;
}

Explanation MathEvaluator::explainClassic(const std::string& expression) {
    const EngineSse sse; // it calls the functions
    Explanation e;
    Reading r(*this, prepared().lookups, expression);
    Running running(*this); // it calls the functions a run would
    for (std::size_t i = 0; i < r.program.pieces.size(); ++i)
        e.tokens.push_back({std::string(r.text(i)), r.kind(i), r.program.pieces[i].offset()});
    for (std::uint32_t i : r.program.output) e.rpn.emplace_back(r.text(i));
    std::vector<Real> stack;
    std::size_t popped = 0; // by the step being recorded, before its push
    auto step = [&](std::uint32_t i, std::string action) {
        e.steps.push_back({std::string(r.text(i)), std::move(action), popped, wide(stack.back())});
        popped = 0;
    };
    auto fail = [&](std::string why) {
        e.failure = std::move(why);
        return e;
    };
    if (r.program.output.empty()) return fail("there is no value to compute: the result is 0.0");
    for (std::uint32_t i : r.program.output) {
        const std::string_view t = r.text(i);
        const std::int32_t kind = r.kind(i);
        if (kind != Operator && r.variable(i)) {
            const auto& table = std::as_const(externalVariables);
            const auto entry = table.find(std::string(t));
            if (entry == table.end() || !entry->second)
                return fail(quoted(t) + " has no cell: the result is 0.0");
            stack.push_back(*entry->second);
            step(i, "the variable " + quoted(t));
        } else if (kind != Operator && kind != Function) {
            double value;
            const Ending read = readNumber(t, value);
            if (read == Ending::NotANumber)
                return fail(quoted(t) + " is no number and no registered name: ValueError");
            if (read == Ending::OutOfRange)
                return fail(quoted(t) + " is beyond the range of a float: IndexError");
            stack.push_back(value);
            step(i, "the number " + quoted(t));
        }
        const NameInfo* n = kind == Function || kind == Operator ? r.name(i) : nullptr;
        if (kind == Function && n) {
            const int arity = n->functionArity;
            if (arity > 0 && stack.size() < static_cast<std::size_t>(arity))
                return fail(quoted(t) + " finds no argument: the result is 0.0");
            if (arity == 1 || arity == 2) {
                const Real right = stack.back();
                stack.pop_back();
                Real left = 0;
                if (arity == 2) {
                    left = stack.back();
                    stack.pop_back();
                }
                popped = static_cast<std::size_t>(arity);
                Real value;
                if (arity == 1 && n->callUnary)
                    value = (*n->callUnary)(static_cast<double>(right));
                else if (arity == 1 && n->unary)
                    value = isPure(n->unary) ? madeNaN(n->unary(static_cast<double>(right)),
                                                       static_cast<double>(right))
                                             : n->unary(static_cast<double>(right));
                else if (arity == 2 && n->callBinary)
                    value = (*n->callBinary)(wide(left), wide(right));
                else if (arity == 2 && n->binary)
                    value = n->binary(wide(left), wide(right));
                else
                    return fail(quoted(t) + " has no routine: the result is 0.0");
                stack.push_back(value);
                step(i, "the function " + quoted(t) +
                            (arity == 1 ? " of the top value" : " of the top two values"));
            }
        } else if (kind == Operator && n) {
            const int arity = std::max(n->operatorArity, 0);
            if (static_cast<std::size_t>(arity) > stack.size())
                return fail(quoted(t) + " needs " + std::to_string(arity) + " values and finds " +
                            std::to_string(stack.size()) + ": the result is 0.0");
            if (!n->primitive) return fail(quoted(t) + " has no primitive: the result is 0.0");
            Real right = 0, left = 0;
            if (arity >= 1) right = stack.back(), stack.pop_back();
            if (arity >= 2) left = stack.back(), stack.pop_back();
            for (int extra = 2; extra < arity; ++extra) stack.pop_back();
            popped = static_cast<std::size_t>(arity);
            stack.push_back(n->primitive(wide(left), wide(right), accuracyOverEfficiency));
            step(i, arity == 2 ? "the operator " + quoted(t) + " on the top two values"
                               : "the operator " + quoted(t) + " on the top value");
        }
    }
    if (stack.size() != 1)
        return fail(std::to_string(stack.size()) +
                    " values are left at the end, where one should be: the result is 0.0");
    e.succeeded = true;
    e.result = wide(stack.back());
    return e;
}

velmoratrix::ExpressionError::ExpressionError(std::vector<Diagnostic> found, std::string source)
    : std::invalid_argument(found.front().message + " (at " + std::to_string(found.front().offset) +
                            ")"),
      problems(std::move(found)), position(problems.front().offset), text(std::move(source)) {}

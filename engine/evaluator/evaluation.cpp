// eval: runs the reverse Polish program of an expression on a stack of
// extended-precision values. Structural faults (too few operands, a value too
// many at the end) give 0.0; a token that reads as no number throws.
#include <stdexcept>
#include <vector>

#include "evaluator.h"
#include "machine.h"
#include "native.h"
#include "prepared.h"

using namespace velmoratrix;

namespace {

[[gnu::noinline]] Real executeDeep(const Code& code, bool accuracyOverEfficiency, bool& ok) {
    std::vector<Real> stack(code.maxDepth + 2);
    return execute(code, stack.data(), accuracyOverEfficiency, ok);
}

} // namespace

bool velmoratrix::run(const Code& code, bool accuracyOverEfficiency, Real& result) {
    bool ok = true;
    Real stack[kInlineStack];
    const Real top = code.maxDepth + 2 <= kInlineStack
                         ? execute(code, stack, accuracyOverEfficiency, ok)
                         : executeDeep(code, accuracyOverEfficiency, ok);
    if (!ok) return false;
    switch (code.ending) {
    case Ending::NotANumber:
        throw std::invalid_argument("stod");
    case Ending::OutOfRange:
        throw std::out_of_range("stod");
    case Ending::Malformed:
        return false;
    case Ending::Value:
        break;
    }
    if (code.depth != 1) return false;
    result = top;
    return true;
}

inline long double MathEvaluator::runStamped(const Program& program, bool& ran) {
    ran = false;
    if (program.stamp != stamp() || running_) return 0;
    NativeOutcome outcome;
    Real value;
    if (program.code.sse) {
        const EngineSse sse;
        value = program.native->value(outcome);
    } else {
        value = program.native->value(outcome);
    }
    ran = !outcome.lost;
    return wide(value);
}

// The record of the last expression is complete after every call: after a
// success its token lists are empty, so they are built only for a failure.
long double MathEvaluator::eval(std::string expression) {
    Entry call(*this);
    // The common case: the last text again, nothing edited but the values of
    // its variables, the record as the last call left it.
    Prepared& p = *prepared_;
    if (!p.programs.empty()) {
        const Program& last = *p.programs.front();
        if (last.standard == (syntax == Syntax::Standard) && sameText(last.text, expression) &&
            !currentRPN.tokens.head && !currentRPN.RPN_values.head &&
            sameText(currentRPN.expression, expression) && sameText(currentRPN.RPN, last.rpn)) {
            bool ran;
            const Real value = runStamped(last, ran);
            if (ran) return wide(value);
        }
    }
    refuseWhileRunning("eval");
    Program& program = programFor(expression, syntax == Syntax::Standard);
    // What the previous call left behind (after a failure).
    if (currentRPN.tokens.head || currentRPN.RPN_values.head) currentRPN.freeLists();
    if (!sameText(currentRPN.RPN, program.rpn)) currentRPN.RPN = program.rpn;
    if (!sameText(currentRPN.expression, expression)) currentRPN.expression = std::move(expression);
    return runProgram(program, true);
}

inline long double MathEvaluator::runProgram(Program& program, bool record) {
    if (program.registryEdits != registryEdits() || program.code.accurate != accuracyOverEfficiency)
        resolveAgain(program);
    // A program evaluated again is worth its machine code.
    if (program.runs < 2 && ++program.runs == 2)
        program.native = Native::scalar(program.code, prepared_->code);
    // Where its machine code runs it to its value, the next call with nothing
    // edited runs that at once (runStamped).
    program.stamp = program.native && program.code.direct ? stamp() : 0;
    if (program.code.sse) {
        const EngineSse sse;
        return runResolved(program, record);
    }
    return runResolved(program, record);
}

inline long double MathEvaluator::runResolved(Program& program, bool record) {
    if (program.code.direct) { // the common case: nothing to fail, nothing that throws
        if (program.native) {
            NativeOutcome outcome;
            const Real value = program.native->value(outcome);
            if (!outcome.lost) return wide(value);
        } else {
            bool ok = true;
            Real stack[kInlineStack];
            const Real value = execute(program.code, stack, accuracyOverEfficiency, ok);
            if (ok) return wide(value);
        }
    }
    return finish(program, record);
}

void MathEvaluator::resolveAgain(Program& program) {
    program.releaseNative();
    resolve(*this, prepared_->lookups, program, program.code);
    program.registryEdits = registryEdits();
}

// The general run: a program that fails, throws or may call out; after a
// failure the record gets the token lists.
long double MathEvaluator::finish(Program& program, bool record) {
    Real result = 0.0L;
    bool ok = false;
    Running running(*this);
    try {
        if (program.native) { // ends in one value: a lost cell or a throw fails it
            std::exception_ptr error;
            NativeOutcome outcome;
            outcome.error = &error;
            result = program.native->value(outcome);
            if (outcome.threw) std::rethrow_exception(error);
            ok = !outcome.lost;
        } else {
            ok = !program.empty() && run(program.code, accuracyOverEfficiency, result);
        }
    } catch (...) {
        if (record) fillTokenLists(currentRPN, program);
        throw;
    }
    if (!ok && record) fillTokenLists(currentRPN, program);
    return ok ? wide(result) : 0.0L;
}

// A formula's program: compiled again where the language has changed since
// (or the derived state was abandoned after a fork).
Program& MathEvaluator::programOf(Formula& formula) {
    Prepared& p = prepared();
    if (!formula.program_ || formula.derived_ != &p || formula.at_ != p.lookups.edits) {
        programFor(formula.text_, formula.standard_);
        formula.program_ = p.programs.front();
        formula.derived_ = &p;
        formula.at_ = p.lookups.edits; // after the entries compiling made
    }
    return *formula.program_;
}

bool MathEvaluator::isCondition(const std::string& expression) {
    Entry call(*this);
    refuseWhileRunning("isCondition");
    return isConditionIn(expression, syntax == Syntax::Standard);
}

bool MathEvaluator::isConditionIn(const std::string& expression, bool standard) {
    return standard && programFor(expression, true).condition;
}

Formula MathEvaluator::prepare(std::string expression) {
    return prepare(std::move(expression), syntax);
}

Formula MathEvaluator::prepare(std::string expression, Syntax in) {
    Entry call(*this);
    refuseWhileRunning("prepare");
    // A standard text is read here; its names may be columns or per-call
    // values still to come, and are looked up when it runs.
    Formula formula(home_, std::move(expression));
    formula.standard_ = in == Syntax::Standard;
    programOf(formula);
    return formula;
}

Formula MathEvaluator::prepare(std::string expression, const std::vector<std::string>& names) {
    return prepare(std::move(expression), syntax, names);
}

Formula MathEvaluator::prepare(std::string expression, Syntax in,
                               const std::vector<std::string>& names) {
    Entry call(*this);
    Formula formula = prepare(std::move(expression), in);
    refuseUnknown(programOf(formula), names);
    return formula;
}

std::vector<std::string> Formula::names() {
    MathEvaluator::Entry call(m());
    m().refuseWhileRunning("Formula::names");
    return m().namesIn(text_, standard_);
}

std::vector<std::string> Formula::bindableNames() {
    MathEvaluator::Entry call(m());
    m().refuseWhileRunning("Formula::bindableNames");
    return m().bindableNamesIn(text_, standard_);
}

bool Formula::isCondition() {
    MathEvaluator::Entry call(m());
    m().refuseWhileRunning("Formula::isCondition");
    return standard_ && m().programOf(*this).condition;
}

// The common case, a formula evaluated again with nothing changed but the
// variables' values, runs its machine code after one comparison.
long double Formula::value() {
    MathEvaluator::Entry call(m());
    if (program_ && derived_ == m().prepared_.get()) {
        bool ran;
        const Real value = m().runStamped(*program_, ran);
        if (ran) return wide(value);
    }
    // Out of line, so that the common case above keeps a small frame.
    const auto compileAndRun = [this]() __attribute__((noinline)) {
        m().refuseWhileRunning("Formula::value");
        return m().runProgram(m().programOf(*this), false);
    };
    return compileAndRun();
}

long double Formula::value(const std::vector<Column>& values) {
    MathEvaluator::Entry call(m());
    m().refuseWhileRunning("Formula::value");
    return m().runWith(m().programOf(*this), values);
}

void Formula::values(const std::vector<Column>& columns, std::size_t count, double* out,
                     std::ptrdiff_t outStride, std::size_t threads) {
    values(columns, count, Output{out, outStride}, threads);
}

void Formula::values(const std::vector<Column>& columns, std::size_t count, const Output& out,
                     std::size_t threads) {
    MathEvaluator::Entry call(m());
    m().refuseWhileRunning("Formula::values");
    m().evalProgram(m().programOf(*this), columns, count, out, threads);
}

// The engine is never seen by the caller, so one default engine per thread
// serves every call: after each call it holds nothing of the text's size.
// While it is in use (a call from inside a call), and before or after its
// thread-local lifetime, a fresh engine serves instead.
namespace {

enum class EngineState : unsigned char { Unborn, Ready, Busy, Gone };
thread_local EngineState engineState = EngineState::Unborn; // trivially destroyed

struct ThreadEngine {
    MathEvaluator engine;
    ThreadEngine() { engineState = EngineState::Ready; }
    ~ThreadEngine() { engineState = EngineState::Gone; }
};

constexpr std::size_t kLargeText = 1 << 16;

} // namespace

long double evaluate(std::string expression) {
    if (engineState == EngineState::Unborn || engineState == EngineState::Ready) {
        thread_local ThreadEngine cached;
        if (engineState == EngineState::Ready) {
            MathEvaluator& engine = cached.engine;
            engineState = EngineState::Busy;
            struct Release {
                MathEvaluator& engine;
                bool large;
                ~Release() {
                    engine.currentRPN.freeLists();
                    if (large) {
                        engine.releaseCompilations();
                        std::string().swap(engine.currentRPN.expression);
                        std::string().swap(engine.currentRPN.RPN);
                    }
                    engineState = EngineState::Ready;
                }
            } release{engine, expression.size() > kLargeText};
            return engine.eval(std::move(expression));
        }
    }
    MathEvaluator fresh;
    return fresh.eval(std::move(expression));
}

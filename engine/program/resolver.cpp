// Resolving: a program's reverse Polish order becomes code, once for the
// tables and variables of the moment. Each step knows what it does, and how
// deep the stack gets is known before the run; a step that would fail cuts
// the code there and says how it ends.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "elementary.h"
#include "environment.h"
#include "evaluator.h"
#include "machine.h"
#include "messages.h"
#include "primitives.h"
#include "standard.h"

using namespace velmoratrix;

namespace {

Instruction instruction(Op op) {
    Instruction i;
    i.op = op;
    i.rule = NullRule::None;
    i.library = false;
    i.arity = 0;
    i.number = 0;
    i.number2 = 0;
    return i;
}

// The functions whose result depends on their arguments alone: a step of
// one of them on constants is done once, when the program is resolved, with
// the very operations a run would do, so the bits are the same.
} // namespace

bool velmoratrix::isPure(OperatorFunction f) {
    return f == _add || f == _sub || f == _mul || f == _div || f == _mod || f == _pow ||
           f == _factorial || f == floorRemainder || f == floorQuotient || f == nullTest ||
           f == keepFirst;
}

bool velmoratrix::isPure(UnaryFunction f) {
    for (UnaryFunction known :
         {static_cast<UnaryFunction>(std::sin), static_cast<UnaryFunction>(std::cos),
          static_cast<UnaryFunction>(std::tan), static_cast<UnaryFunction>(std::asin),
          static_cast<UnaryFunction>(std::acos), static_cast<UnaryFunction>(std::atan),
          static_cast<UnaryFunction>(std::sqrt)})
        if (f == known) return true;
    for (const BuiltinFunction& known : languageOf(Syntax::Standard).functions())
        if (f == known.unary && known.unary) return true;
    return false;
}

bool velmoratrix::isPure(BinaryFunction f) {
    for (const BuiltinFunction& known : languageOf(Syntax::Standard).functions())
        if (f == known.binary && known.binary) return true;
    return false;
}

namespace {

// Builds the code of a program, folding constant steps and giving
// arithmetic steps their right operand where the step before pushed it.
class Emitter {
public:
    Emitter(Code& code, bool accurate) : code_(code), accurate_(accurate) {
        code_.steps.clear();
        code_.constants.clear();
    }

    void push(const Instruction& i) { code_.steps.push_back(i); }
    // For what depends on the SSE settings: folds, and reading a number.
    void underEngineSse() {
        if (!sse_) sse_.emplace();
    }
    // A step made where it stays: one built aside and copied would be read
    // back whole right after its fields were written one by one, which
    // stalls the loads behind the stores.
    Instruction& add(Op op) {
        Instruction& i = code_.steps.emplace_back(); // zeroed: no rule, no operands
        i.op = op;
        return i;
    }

    void unary(UnaryFunction f) {
        Real x;
        if (isPure(f) && takeConstant(x)) {
            const double argument = static_cast<double>(x);
            return constant(folded([&] { return madeNaN(f(argument), argument); }));
        }
        add(f == static_cast<UnaryFunction>(std::sqrt) ? Op::Sqrt : Op::Unary).unary = f;
    }

    // x**2 and x**3 of a variable are x*x and x*(x*x): the variable's double
    // taken from memory again, as the products of the text would.
    void powInteger(double exponent) {
        Instruction i = instruction(Op::PowInteger);
        i.number = exponent;
        if (!code_.steps.empty() && code_.steps.back().op == Op::Variable &&
            (exponent == 2 || exponent == 3)) {
            i = code_.steps.back();
            i.op = Op::MulVariable;
            for (int k = 1; k < exponent; ++k) push(i);
            return;
        }
        push(i);
    }

    // A step with a rule for nulls is never fused with its operand's (a
    // constant is never null: folding keeps the rule's value).
    void primitive(OperatorFunction f, int arity, NullRule rule = NullRule::None) {
        if (isPure(f) && arity == 2 && constants(2)) {
            const Real right = popConstant();
            const Real left = popConstant();
            return constant(folded([&] { return f(wide(left), wide(right), accurate_); }));
        }
        if (isPure(f) && arity == 1 && constants(1)) {
            const Real right = popConstant();
            return constant(folded([&] { return f(0, wide(right), accurate_); }));
        }
        auto made = [&](Op op) {
            Instruction& i = add(op);
            i.arity = arity;
            i.primitive = f;
            i.rule = rule;
        };
        if (rule != NullRule::None)
            return made(f == _mul ? Op::Mul : f == _add ? Op::Add : Op::Primitive);
        if (arity == 2 && !code_.steps.empty()) {
            Instruction& last = code_.steps.back();
            const int fused = f == _add ? 0 : f == _sub ? 1 : f == _mul ? 2 : f == _div ? 3 : -1;
            if (last.op == Op::Number && fused >= 0) {
                last.op = static_cast<Op>(static_cast<int>(Op::AddNumber) + fused);
                return;
            }
            if (last.op == Op::Variable && fused >= 0) {
                last.op = static_cast<Op>(static_cast<int>(Op::AddVariable) + fused);
                return;
            }
            if (last.op == Op::Number && f == _pow) {
                last.op = Op::PowNumber;
                return;
            }
            if (last.op == Op::Number) {
                last.number2 = last.number;
                last.op = Op::PrimitiveNumber;
                last.arity = arity;
                last.primitive = f;
                last.rule = rule;
                return;
            }
            if (fused >= 0) return made(static_cast<Op>(static_cast<int>(Op::Add) + fused));
            if (f == _pow) return made(Op::Pow);
        }
        made(Op::Primitive);
    }

private:
    Code& code_;
    bool accurate_;
    // Reading the SSE settings is slow: only a text that needs them pays it.
    std::optional<EngineSse> sse_;

    template <typename Call> Real folded(Call call) {
        underEngineSse();
        return call();
    }

    bool isConstant(const Instruction& i) const {
        return i.op == Op::Number || i.op == Op::Constant;
    }
    bool constants(std::size_t n) const {
        const auto& code = code_.steps;
        if (code.size() < n) return false;
        for (std::size_t k = 1; k <= n; ++k)
            if (!isConstant(code[code.size() - k])) return false;
        return true;
    }
    Real popConstant() {
        const Instruction& i = code_.steps.back();
        if (i.op == Op::Number) {
            const double number = i.number;
            code_.steps.pop_back();
            return number;
        }
        const std::size_t index = i.index;
        code_.steps.pop_back();
        const Real value = code_.constants[index];
        if (index + 1 == code_.constants.size()) code_.constants.pop_back();
        return value;
    }
    bool takeConstant(Real& value) {
        if (!constants(1)) return false;
        value = popConstant();
        return true;
    }
    void constant(Real value) {
        // One that is a double (-1 in -x, say) is a number: it may be taken
        // from memory by the next step, and loads faster than 80 bits.
        const double narrow = static_cast<double>(value);
        const Real back = narrow;
        if (std::memcmp(&back, &value, 10) == 0) {
            add(Op::Number).number = narrow;
            return;
        }
        add(Op::Constant).index = code_.constants.size();
        code_.constants.push_back(value);
    }
};

} // namespace

Instruction velmoratrix::stepInstruction(const StandardStep& s) {
    Instruction i = instruction(Op::Number);
    switch (s.kind) {
    case StandardStep::Number:
    case StandardStep::Name:
        i.number = s.number;
        break;
    case StandardStep::Primitive:
        i.op = Op::Primitive, i.primitive = s.primitive, i.arity = s.arity;
        break;
    case StandardStep::Machine:
        i.op = s.op;
        i.number = s.number; // a power's exponent
        break;
    case StandardStep::Unary:
        i.op = Op::Unary, i.unary = s.unary;
        break;
    case StandardStep::Binary:
        i.op = Op::Binary, i.binary = s.binary;
        break;
    case StandardStep::CallUnary:
        i.op = Op::CallUnary, i.callUnary = s.callUnary, i.block = s.block;
        break;
    case StandardStep::CallBinary:
        i.op = Op::CallBinary, i.callBinary = s.callBinary, i.block = s.block;
        break;
    case StandardStep::CallNary:
        i.op = Op::CallNary, i.callNary = s.callNary, i.arity = s.arity, i.block = s.block;
        break;
    }
    i.rule = s.rule;
    return i;
}

std::size_t velmoratrix::stepTakes(const StandardStep& s) {
    switch (s.kind) {
    case StandardStep::Number:
    case StandardStep::Name:
        return 0;
    case StandardStep::Primitive:
    case StandardStep::CallNary:
        return static_cast<std::size_t>(s.arity);
    case StandardStep::Machine:
        if (s.op == Op::Select) return 3;
        return s.op == Op::Not || s.op == Op::Truth || s.op == Op::PowInteger || s.op == Op::PowHalf
                   ? 1
                   : 2; // the comparisons
    case StandardStep::Unary:
    case StandardStep::CallUnary:
        return 1;
    case StandardStep::Binary:
    case StandardStep::CallBinary:
        return 2;
    }
    return 0;
}

namespace {

// Where a name is bound for this call only, or null.
double* const* boundFor(const Overlay* overlay, std::string_view name) {
    if (!overlay) return nullptr;
    const auto found = overlay->names.find(name);
    return found == overlay->names.end() ? nullptr : overlay->slots + found->second;
}

// A standard text's steps: the text was read whole, so only a name may
// fail, and that throws ExpressionError.
void resolveStandard(MathEvaluator& m, const Program& program, Code& code, Emitter& emit,
                     const Overlay* overlay, std::size_t& depth, std::size_t& maxDepth) {
    for (const StandardStep& s : program.standardSteps) {
        if (s.kind == StandardStep::Name) {
            const std::string_view name = std::string_view(program.text).substr(s.offset, s.length);
            double* const* cell = boundFor(overlay, name);
            if (!cell) cell = registeredCell(m, name);
            double number = 0;
            if (!cell && !languageOf(Syntax::Standard).constant(name, number))
                throw ExpressionError(
                    {{s.offset, s.length, true, quoted(name) + " is no registered name"}},
                    program.text);
            if (cell)
                emit.add(Op::Variable).cell = cell;
            else
                emit.add(Op::Number).number = number;
        } else if (s.kind == StandardStep::Primitive) {
            emit.primitive(s.primitive, s.arity, s.rule); // folded or fused where it can be
        } else if (s.kind == StandardStep::Unary) {
            emit.unary(s.unary);
        } else if (s.kind == StandardStep::Machine && s.op == Op::PowInteger) {
            emit.powInteger(s.number);
        } else {
            emit.push(stepInstruction(s));
        }
        depth -= stepTakes(s); // every step leaves one value
        maxDepth = std::max(maxDepth, ++depth);
    }
    code.ending = Ending::Value;
}

} // namespace

namespace {

void resolveClassic(MathEvaluator& m, const Lookups& lookups, const Program& program, Code& code,
                    Emitter& emit, const Overlay* overlay, std::size_t& depth,
                    std::size_t& maxDepth) {
    // The depth the steps as written leave, which decides where the run
    // fails; folding and fusing only ever make the stack shallower.
    auto pushed = [&] { maxDepth = std::max(maxDepth, ++depth); };
    auto fail = [&](Ending ending) { code.ending = ending; };
    auto bound = [&](std::string_view name) { return boundFor(overlay, name); };
    for (std::uint32_t index : program.output) {
        const std::string_view t = program.slice(index);
        const std::int32_t kind = program.kind(index);
        double* const* slot = kind != Operator ? bound(t) : nullptr;
        bool listed = false;
        if (!slot && kind != Operator) slot = registeredCell(m, t, &listed);
        if (slot) {
            // A registered name shadows the number it spells, and a function
            // name registered as a variable is read, then applied. The cell
            // is read at every run: rebinding is seen.
            emit.add(Op::Variable).cell = slot;
            pushed();
        } else if (listed) { // listed without an entry
            fail(Ending::Malformed);
            break;
        } else if (kind != Operator && kind != Function) {
            double number = 0;
            if (!readWholeNumber(t, number)) {
                emit.underEngineSse(); // a number that rounds rounds as the engine does
                const Ending read = readNumber(t, number);
                if (read != Ending::Value) {
                    fail(read);
                    break;
                }
            }
            emit.add(Op::Number).number = number;
            pushed();
        }
        if (kind == Function) {
            const NameInfo& f = lookups.names[program.nameIndex(index, lookups)];
            const int n = f.functionArity;
            if (n > 0 && depth < static_cast<std::size_t>(n)) {
                fail(Ending::Malformed);
                break;
            }
            if (!f.hasRoutine()) {
                fail(Ending::Malformed);
                break;
            }
            if (n == 1 && f.callUnary) {
                Instruction& i = emit.add(Op::CallUnary);
                i.callUnary = f.callUnary;
                i.block = f.callBlock;
            } else if (n == 1) {
                emit.unary(f.unary);
            } else if (n == 2) {
                Instruction& i = emit.add(f.callBinary ? Op::CallBinary : Op::Binary);
                if (f.callBinary)
                    i.callBinary = f.callBinary, i.block = f.callBlock;
                else
                    i.binary = f.binary;
                --depth;
            } // any other count: the token has no effect
        } else if (kind == Operator) {
            const NameInfo& o = lookups.names[program.nameIndex(index, lookups)];
            const int n = std::max(o.operatorArity, 0);
            if (static_cast<std::size_t>(n) > depth || !o.primitive) {
                fail(Ending::Malformed);
                break;
            }
            emit.primitive(o.primitive, n);
            depth -= n;
            pushed();
        }
    }
}

} // namespace

// What the run needs to know of the steps; a push onto an empty stack has
// nothing to save below it.
void velmoratrix::finishCode(Code& code) {
    std::ptrdiff_t values = 0;
    bool callsOut = false, rowByRow = false;
    code.sse = false;
    code.nullRules = false;
    code.rowsFunctions = false;
    for (Instruction& i : code.steps) {
        code.sse |= dependsOnSse(i);
        if (i.op >= Op::NumberFirst && i.op <= Op::VariableFirst) // steps moved elsewhere
            i.op = static_cast<Op>(static_cast<int>(i.op) - static_cast<int>(Op::NumberFirst) +
                                   static_cast<int>(Op::Number));
        if (values == 0 && (i.op == Op::Number || i.op == Op::Constant || i.op == Op::Variable))
            i.op = static_cast<Op>(static_cast<int>(i.op) - static_cast<int>(Op::Number) +
                                   static_cast<int>(Op::NumberFirst));
        values += stackChange(i);
        bool out = false; // whether the step calls a function from outside the engine
        switch (i.op) {
        case Op::Binary:
            out = !isPure(i.binary);
            break;
        case Op::Primitive:
        case Op::PrimitiveNumber:
            out = !isPure(i.primitive);
            break;
        case Op::Unary:
            out = !isPure(i.unary);
            i.library = !out;
            break;
        case Op::CallUnary:
        case Op::CallBinary:
        case Op::CallNary:
            out = true;
            break;
        default:
            break;
        }
        callsOut |= out;
        rowByRow |= out && !(callsCallable(i.op) && i.block);
        code.nullRules |= i.rule != NullRule::None || i.op == Op::Select;
        code.rowsFunctions |= i.op == Op::Unary && elementary::rowsOf(i.unary) != nullptr;
    }
    code.callsOut = callsOut;
    code.inBlocks = callsOut && !rowByRow;
    code.direct = code.ending == Ending::Value && code.depth == 1 && !callsOut &&
                  code.maxDepth + 2 <= kInlineStack;
}

bool velmoratrix::endsStretch(const Instruction& i) {
    return callsCallable(i.op) || (i.op == Op::Unary && elementary::rowsOf(i.unary) != nullptr);
}

std::ptrdiff_t velmoratrix::stackChange(const Instruction& i) {
    switch (i.op) {
    case Op::Number:
    case Op::Constant:
    case Op::Variable:
    case Op::NumberFirst:
    case Op::ConstantFirst:
    case Op::VariableFirst:
        return 1;
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Div:
    case Op::Pow:
    case Op::Less:
    case Op::LessEqual:
    case Op::Greater:
    case Op::GreaterEqual:
    case Op::Equal:
    case Op::NotEqual:
    case Op::Binary:
    case Op::CallBinary:
        return -1;
    case Op::Select:
        return -2;
    case Op::Primitive:
    case Op::CallNary:
        return 1 - static_cast<std::ptrdiff_t>(i.arity);
    default:
        return 0;
    }
}

namespace {

// Builds the stretches in one pass over the steps, following every value on
// the stack: the step its computation starts at, whether it calls nothing
// out, and where it is while the stretch runs (computed in it, kept, or to
// be computed again by the stretch that takes it).
class StretchPlanner {
public:
    explicit StretchPlanner(const Code& code) : code_(code) {}

    std::vector<Stretch> plan() {
        const std::vector<Instruction>& steps = code_.steps;
        for (std::size_t k = 0; k < steps.size(); ++k) {
            const Instruction& i = steps[k];
            const std::ptrdiff_t pops = 1 - stackChange(i);
            if (pops < 0 || static_cast<std::size_t>(pops) > stack_.size()) return {};
            const std::size_t base = stack_.size() - static_cast<std::size_t>(pops);
            if (base < bottom_) computeFrom(base);
            const bool call = endsStretch(i);
            if (call)
                cut(k, static_cast<std::size_t>(pops));
            else
                run(k);
            bool pure = !call;
            for (std::size_t l = base; l < stack_.size(); ++l) pure = pure && stack_[l].pure;
            const std::size_t start = base < stack_.size() ? stack_[base].start : k;
            stack_.resize(base);
            stack_.push_back({start, 0, pure, Where::Here});
        }
        if (plan_.empty() || stack_.size() != 1) return {};
        if (bottom_ > 0) computeFrom(0);
        current_.call = steps.size();
        plan_.push_back(std::move(current_));
        return std::move(plan_);
    }

private:
    enum class Where : std::uint8_t { Here, Kept, Later };
    struct Value {
        std::size_t start, end; // Later: its steps
        bool pure;
        Where where;
    };
    const Code& code_;
    std::vector<Value> stack_;
    std::size_t bottom_ = 0; // the levels from it up are computed in this stretch
    Stretch current_;
    std::vector<Stretch> plan_;

    void run(std::size_t k) {
        std::vector<StretchAction>& a = current_.actions;
        if (!a.empty() && a.back().kind == StretchAction::Steps && a.back().last == k)
            ++a.back().last;
        else
            a.push_back({StretchAction::Steps, k, k + 1});
    }
    // The values from `level` up to the stretch's first, taken by a step:
    // loaded or computed first, in order.
    void computeFrom(std::size_t level) {
        std::vector<StretchAction> first;
        for (std::size_t l = level; l < bottom_; ++l) {
            const Value& v = stack_[l];
            first.push_back(v.where == Where::Kept
                                ? StretchAction{StretchAction::Kept, l, 0}
                                : StretchAction{StretchAction::Steps, v.start, v.end});
            stack_[l].where = Where::Here;
        }
        current_.actions.insert(current_.actions.begin(), first.begin(), first.end());
        bottom_ = level;
    }
    // The stretch ends at the call, step k, of n arguments: the values under
    // them are kept, or computed later where they call nothing out (their
    // steps leave this stretch).
    void cut(std::size_t k, std::size_t n) {
        const std::size_t base = stack_.size() - n;
        std::vector<std::pair<std::size_t, std::size_t>> later;
        for (std::size_t l = bottom_; l < base; ++l) {
            Value& v = stack_[l];
            if (v.pure) {
                v.where = Where::Later;
                v.end = l + 1 < stack_.size() ? stack_[l + 1].start : k;
                later.emplace_back(v.start, v.end);
            } else {
                v.where = Where::Kept;
                current_.keep.push_back(l);
            }
        }
        std::vector<StretchAction> actions;
        auto skip = later.begin();
        for (StretchAction a : current_.actions) {
            if (a.kind != StretchAction::Steps) {
                actions.push_back(a);
                continue;
            }
            // The ranges taken out are in order and do not overlap.
            for (; skip != later.end() && skip->first < a.last; ++skip) {
                if (skip->second <= a.first) continue;
                if (skip->first > a.first)
                    actions.push_back({StretchAction::Steps, a.first, skip->first});
                a.first = std::max(a.first, skip->second);
                if (skip->second > a.last) break;
            }
            if (a.first < a.last) actions.push_back(a);
        }
        current_.actions = std::move(actions);
        current_.call = k;
        current_.arguments = n;
        plan_.push_back(std::move(current_));
        current_ = Stretch{};
        current_.actions.push_back({StretchAction::Result, 0, 0});
        bottom_ = base;
    }
};

} // namespace

std::vector<Stretch> velmoratrix::stretchesOf(const Code& code) {
    return StretchPlanner(code).plan();
}

void velmoratrix::resolve(MathEvaluator& m, const Lookups& lookups, const Program& program,
                          Code& code, const Overlay* overlay) {
    Emitter emit(code, m.accuracyOverEfficiency);
    code.accurate = m.accuracyOverEfficiency;
    code.ending = Ending::Value;
    std::size_t depth = 0, maxDepth = 0;
    if (program.standard)
        resolveStandard(m, program, code, emit, overlay, depth, maxDepth);
    else
        resolveClassic(m, lookups, program, code, emit, overlay, depth, maxDepth);
    code.depth = depth;
    code.maxDepth = maxDepth;
    finishCode(code);
}

double* const* velmoratrix::registeredCell(const MathEvaluator& m, std::string_view name,
                                           bool* listed) {
    bool isListed;
    double* const* cell = m.cellOf(name, isListed);
    if (listed) *listed = isListed;
    return cell;
}

bool velmoratrix::unboundName(const MathEvaluator& m, const std::vector<StandardStep>& steps,
                              std::string_view text,
                              const std::unordered_set<std::string_view>& known,
                              Diagnostic& problem) {
    double constant;
    for (const StandardStep& s : steps) {
        if (s.kind != StandardStep::Name) continue;
        const std::string_view name = text.substr(s.offset, s.length);
        if (known.count(name) || registeredCell(m, name) ||
            languageOf(Syntax::Standard).constant(name, constant))
            continue;
        problem = {s.offset, s.length, true, quoted(name) + " is no registered name"};
        return true;
    }
    return false;
}

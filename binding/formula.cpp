#include "formula.h"

#include "diagnostics.h"
#include "environment.h"
#include "evaluation.h"

namespace {

py_Evaluator& evaluatorOf(const py::object& evaluator) {
    return *evaluator.cast<Self>().object;
}

} // namespace

namespace {

py_Formula prepareIn(Self self, const py::str& expression, const velmoratrix::Syntax* syntax) {
    std::string text = expression;
    // The evaluator's own Python object, found by its address.
    py::object evaluator = py::cast(self.object, py::return_value_policy::reference);
    Hold hold(*self.object);
    velmoratrix::Formula formula =
        syntax ? self->prepare(std::move(text), *syntax) : self->prepare(std::move(text));
    return py_Formula{std::move(evaluator), expression, std::move(formula)};
}

} // namespace

py_Formula prepare(Self self, const py::str& expression) {
    return prepareIn(self, expression, nullptr);
}

double formulaEval(FormulaSelf self, py::object values) {
    if (!values.is_none()) {
        const PerCall data("Formula.eval", values, [&] {
            Hold hold(evaluatorOf(self->evaluator));
            return self->formula.bindableNames();
        });
        Hold hold(evaluatorOf(self->evaluator));
        return velmoratrix::EngineX87::rounded(self->formula.value(data.columns()));
    }
    Hold hold(evaluatorOf(self->evaluator));
    return velmoratrix::EngineX87::rounded(self->formula.value());
}

py::object formulaEvalMany(FormulaSelf self, py::object values, py::object out, py::object threads,
                           py::object dtype) {
    const std::size_t count = threadCount("eval_many", threads);
    return evalRows(
        evaluatorOf(self->evaluator), self->formula.text(), &self->formula, std::move(values),
        std::move(out), std::move(dtype),
        [&](const std::vector<velmoratrix::Column>& columns, std::size_t n,
            const velmoratrix::Output& to) { self->formula.values(columns, n, to, count); });
}

std::vector<py::str> formulaNames(FormulaSelf self) {
    std::vector<std::string> names;
    {
        Hold hold(evaluatorOf(self->evaluator));
        names = self->formula.names();
    }
    return inCharacters(names);
}

py::tuple formulaState(FormulaSelf self) {
    return py::make_tuple(self->evaluator, self->text,
                          self->formula.standard() ? "standard" : "classic");
}

// Two items before the syntax was saved: those are read in the evaluator's.
py_Formula restoreFormula(const py::tuple& saved) {
    if (saved.size() != 2 && saved.size() != 3)
        throw std::runtime_error("Formula: invalid pickled state");
    if (saved.size() == 2) return prepare(saved[0].cast<Self>(), saved[1].cast<py::str>());
    const velmoratrix::Syntax syntax = saved[2].cast<std::string>() == "standard"
                                           ? velmoratrix::Syntax::Standard
                                           : velmoratrix::Syntax::Classic;
    return prepareIn(saved[0].cast<Self>(), saved[1].cast<py::str>(), &syntax);
}

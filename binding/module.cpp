// The Velmoratrix module: what the host sees, each entry forwarded to the
// unit of its concern. Conversions, signatures and exception translation are
// pybind11's.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arrow.h"
#include "calls.h"
#include "compiled.h"
#include "diagnostics.h"
#include "evaluation.h"
#include "formula.h"
#include "functions.h"
#include "pickling.h"
#include "variables.h"

PYBIND11_MODULE(Velmoratrix, m) {
    watchForks();

    using Record = Constructed<me_RPN>;
    py::class_<me_RPN> record(m, "mp_RPN");
    auto method = [&record](auto&& f) { return py::cpp_function(f, py::is_method(record)); };
    record
        .def_property("RPN", method([](Record self) { return self->RPN; }),
                      method([](Record self, std::string rpn) { self->RPN = std::move(rpn); }))
        // Never touches the record: a read fails to convert, a write to match.
        .def_readwrite("RPN_values", &me_RPN::RPN_values);

    m.def("evaluate", &evaluateText);
    m.attr("Problem") = py::module_::import("collections")
                            .attr("namedtuple")("Problem", "position length severity message",
                                                py::arg("module") = "Velmoratrix");
    setProblemType(m.attr("Problem"));
    registerExpressionError(m);
    m.def("check", &checkDefault, py::arg("expression"), py::arg("names") = py::none(),
          "The problems of a text on the engine of evaluate: a list of Problem(position,\n"
          "length, severity, message), sorted by position; [] when there are none. The\n"
          "names given are read as variables still to be bound.");

    // Named before Evaluator.prepare, whose signature shows it.
    registerCompiled(m); // before Evaluator.compile, which names it
    py::class_<py_Formula> formula(
        m, "Formula",
        "A text prepared by Evaluator.prepare: eval() and eval_many() "
        "give\nwhat the Evaluator's methods of those names give for it.");

    py::class_<py_Evaluator>(m, "Evaluator", py::custom_type_setup(&takePartInCollection))
        .def(py::init<bool>(), py::arg("accuracyOverEfficiency") = false)
        // The specified four.
        .def("append_variable", &appendVariable)
        .def("delete_variable", &deleteVariable)
        .def("variables", &variables)
        .def("eval", &eval)
        .def_property("syntax", &syntaxOf, &setSyntax,
                      "The language the texts are read in: \"classic\" (the default) or\n"
                      "\"standard\" (blanks, unary minus and plus, signed exponents, ** as ^,\n"
                      "comparisons, and/or/not, c ? a : b, quoted names, more functions;\n"
                      "a text it cannot read raises ExpressionError).")
        .def_property("cache_size", &cacheSizeOf, &setCacheSize,
                      "How many compiled texts it keeps (16 until set, at least 1; within\n"
                      "8 MiB): a text given again within them is not read again. Cycling\n"
                      "through more texts than it keeps compiles each one every time.")
        // Formulas over data.
        .def("eval_many", &evalMany, py::arg("expression"), py::arg("values"),
             py::arg("out") = py::none(), py::arg("threads") = py::none(),
             py::arg("dtype") = py::none(),
             "Evaluates the expression once per element of the given columns: values maps\n"
             "names to floats or one-dimensional sequences of floats of one length n\n"
             "(numeric buffers of float32/64, int8-64, uint8-32 and bool are read in\n"
             "place), or is a frame or array offering Arrow's interface (polars, pyarrow).\n"
             "Returns array('d') of n results (a numpy.ndarray where values hold numpy or\n"
             "pandas objects; a polars Series or pyarrow Array, with the nulls of the\n"
             "columns read, for theirs), or writes them into out (float64, float32, or\n"
             "bool for a condition). dtype='float32' gives float32 results, each rounded\n"
             "once. Element i is what eval returns with every name bound to its i-th\n"
             "value; the registered variables stay as they are. The rows are shared\n"
             "among threads (None: get_num_threads()) unless the expression calls a\n"
             "Python function; the results are the same whatever the count.")
        .def("mask", &mask, py::arg("expression"), py::arg("values"),
             py::arg("threads") = py::none(),
             "The truth of each row of eval_many(expression, values, threads=threads), as a\n"
             "numpy bool array: False where the value is 0 or the row is null, True\n"
             "elsewhere (NaN included).")
        .def("_truths", &truths, py::arg("expression"), py::arg("values"),
             py::arg("threads") = py::none(),
             "Each row's truth of eval_many(expression, values) over an Arrow frame, as\n"
             "booleans of the frame's kind (a polars Series, a pyarrow Array), null where\n"
             "the row is; for the polars namespaces.")
        .def("_rows_and_validity", &rowsAndValidity, py::arg("expression"), py::arg("values"),
             py::arg("out") = py::none(), py::arg("threads") = py::none(),
             "eval_many's rows as numpy's, and each row's validity (a numpy bool array, or\n"
             "None where no column has nulls); for the frame accessors.")
        .def("_assign_rows", &assignRows, py::arg("formulas"), py::arg("values"),
             py::arg("threads") = py::none(),
             "[(name, formula), ...] over the same rows in one pass, each reading the results\n"
             "before it by name: (list of float64 arrays, list of validity arrays or None).")
        .def("is_condition", &isCondition, py::arg("expression"),
             "Whether the text's value is a truth value (1.0 or 0.0): a standard text whose\n"
             "last operation compares or is logical. DataFrame.vx.eval gives such a text's\n"
             "rows as booleans.")
        .def("eval_with", &evalWith, py::arg("expression"), py::arg("values"),
             "Evaluates the expression once with the names of values (a mapping of names\n"
             "to floats) bound for this call only, ahead of the registered variables;\n"
             "registers nothing. Atomic: other threads' calls on this Evaluator wait.")
        // Functions of the caller's.
        .def("append_function", &appendHostFunction, py::arg("name"), py::arg("function"),
             py::arg("arguments") = 1, py::arg("vectorized") = false,
             "Adds a function of `arguments` arguments (0 to 32; floats in, a float out)\n"
             "under name, on this Evaluator only; a built-in of that name is replaced here.\n"
             "The classic language calls functions of one or two arguments; the standard\n"
             "syntax calls any. vectorized=True: the function also takes float64 arrays (numpy\n"
             "where importable) of a block of rows, one per argument, and returns the block's\n"
             "results; eval_many calls it once per block, from any of its threads.")
        .def("delete_function", &deleteHostFunction, py::arg("name"),
             "Makes name an ordinary operand again on this Evaluator.")
        .def("functions", &functions,
             "The function names, built-in and added, in the order the engine lists them;\n"
             "in the standard syntax, its own functions after them (exp, log, ..., where,\n"
             "if, clip), but for those deleted or added under their names.")
        // Diagnostics.
        .def("check", &checkText, py::arg("expression"), py::arg("names") = py::none(),
             "The problems of a text: a list of Problem(position, length, severity,\n"
             "message), sorted by position, in characters; an \"error\" wherever eval fails,\n"
             "a \"warning\" where the text evaluates but likely does not mean what it says.\n"
             "The names given are read as variables still to be bound. At most 1,000\n"
             "problems, then one that counts those left out.")
        .def("names", &namesOf, py::arg("expression"),
             "The names the text reads: its registered variables and the operands that\n"
             "read as no number, each once, in order of appearance.")
        .def("explain", &explainText, py::arg("expression"),
             "How the text is read and run: its tokens, its reverse Polish order and each\n"
             "step with the stack after it, then the result or what failed. A text of more\n"
             "than 65,536 bytes, whose steps spell more than 262,144 bytes, or whose stacks\n"
             "hold more than 1,000,000 values over all its steps, raises ValueError.")
        .def("prepare", &prepare, py::arg("expression"),
             "The text compiled once, as a Formula to evaluate again and again without\n"
             "looking the text up. It follows this Evaluator's variables, functions and\n"
             "flag as eval does, and keeps the syntax it was prepared in; a standard text\n"
             "is read once, here.")
        .def("compile", &compileText, py::arg("expression"), py::arg("names"),
             "The text compiled once in this Evaluator's syntax, as a Compiled whose\n"
             "eval takes the values of names in their order. Any other name the text reads\n"
             "must be a registered variable (read at each call) or raises ValueError; its\n"
             "functions are bound now. Any number of threads may call it at once.")
        // Pickling and copying.
        .def(py::pickle(&state, &restore));

    formula
        .def("eval", &formulaEval, py::arg("values") = py::none(),
             "The value, as Evaluator.eval(text) gives it; with values (a mapping of\n"
             "names to floats), as Evaluator.eval_with(text, values) gives it.")
        .def("eval_many", &formulaEvalMany, py::arg("values"), py::arg("out") = py::none(),
             py::arg("threads") = py::none(), py::arg("dtype") = py::none(),
             "The rows, as Evaluator.eval_many(text, values, out, threads, dtype) gives them.")
        .def_property_readonly("names", &formulaNames,
                               "The names the text reads, as Evaluator.names gives them.")
        .def_property_readonly(
            "text", [](FormulaSelf self) { return self->text; }, "The text, as prepared.")
        .def_property_readonly(
            "evaluator", [](FormulaSelf self) { return self->evaluator; },
            "The Evaluator it runs on.")
        .def("__repr__",
             [](FormulaSelf self) {
                 return "Formula(" + std::string(py::repr(self->text)) +
                        ", syntax=" + (self->formula.standard() ? "'standard')" : "'classic')");
             })
        .def(py::pickle(&formulaState, &restoreFormula));

    registerArrow(m);
    m.def(
        "build_info",
        [] {
            const velmoratrix::BuildInfo info = velmoratrix::buildInfo();
            py::dict d;
            d["arithmetic"] = info.arithmetic;
            d["generated_code"] = info.generatedCode;
            d["compiler"] = info.compiler;
            d["version"] = info.version;
            return d;
        },
        "What this build is: its arithmetic (\"x87\", or \"software\" where long double is\n"
        "not x87's format), whether it generates machine code now, the compiler and the\n"
        "version.");
    m.def("set_num_threads", &setNumThreads, py::arg("threads"),
          "Sets how many threads eval_many uses when its call does not say; returns the\n"
          "previous count.");
    m.def("get_num_threads", &getNumThreads,
          "How many threads eval_many uses when its call does not say: the machine's\n"
          "cores, or what set_num_threads set.");
}

// The package Velmoratrix loads this module as Velmoratrix._engine; it is the
// same module, named Velmoratrix, with the same version check.
extern "C" PYBIND11_EXPORT PyObject* PyInit__engine() {
    return PyInit_Velmoratrix();
}

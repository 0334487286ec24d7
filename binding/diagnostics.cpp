#include "diagnostics.h"

#include "environment.h"

using namespace velmoratrix;

namespace {

py::handle problemType; // the module's Problem, which the module keeps alive

// Diagnostics take a str, any str: one that UTF-8 cannot encode (a lone
// surrogate) passes as its code points.
std::string utf8(const py::str& text) {
    const py::object encoded = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!encoded) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

py::str fromUtf8(const std::string& text) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

std::size_t characters(const std::string& text, std::size_t from, std::size_t to) {
    std::size_t n = 0;
    for (std::size_t i = from; i < to; ++i)
        n += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    return n;
}

// Byte offsets to character positions, for offsets that mostly come in
// ascending order: each counts on from the one before.
class Positions {
public:
    explicit Positions(const std::string& text) : text_(text) {}
    std::size_t at(std::size_t offset) {
        if (offset < byte_) byte_ = chars_ = 0;
        chars_ += characters(text_, byte_, offset);
        byte_ = offset;
        return chars_;
    }

private:
    const std::string& text_;
    std::size_t byte_ = 0, chars_ = 0;
};

std::vector<std::string> namesFrom(const py::object& names) {
    std::vector<std::string> out;
    if (names.is_none()) return out;
    if (PyUnicode_Check(names.ptr()) || PyBytes_Check(names.ptr()))
        throw py::type_error("check: names must be a collection of names, not one name");
    for (const py::handle name : py::iter(names)) {
        if (!PyUnicode_Check(name.ptr()) && !PyBytes_Check(name.ptr()))
            throw py::type_error(std::string("check: names must be str or bytes, not ") +
                                 Py_TYPE(name.ptr())->tp_name);
        out.push_back(PyUnicode_Check(name.ptr()) ? utf8(py::reinterpret_borrow<py::str>(name))
                                                  : name.cast<std::string>());
    }
    return out;
}

py::list problems(MathEvaluator& engine, const std::string& text,
                  const std::vector<std::string>& known) {
    py::list out;
    Positions positions(text);
    for (const Diagnostic& d : engine.check(text, known))
        out.append(problemType(positions.at(d.offset),
                               characters(text, d.offset, d.offset + d.length),
                               d.error ? "error" : "warning", fromUtf8(d.message)));
    return out;
}

} // namespace

void setProblemType(py::handle type) {
    problemType = type;
}

void registerExpressionError(py::module_& m) {
    py::dict body;
    body["__module__"] = "Velmoratrix";
    body["problems"] = py::list(); // each raised one has its own
    body["position"] = 0;
    body["text"] = "";
    body["__doc__"] = "A text that a standard evaluator cannot read: .problems (what check\n"
                      "reports), .position (of the first, in characters) and .text.";
    m.attr("ExpressionError") = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(
        &PyType_Type))("ExpressionError", py::make_tuple(py::handle(PyExc_ValueError)), body);
    static py::handle type = m.attr("ExpressionError"); // the module keeps it alive
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const velmoratrix::ExpressionError& e) {
            py::list found;
            Positions positions(e.text);
            for (const Diagnostic& d : e.problems)
                found.append(problemType(positions.at(d.offset),
                                         characters(e.text, d.offset, d.offset + d.length), "error",
                                         fromUtf8(d.message)));
            const py::object first = found[0];
            const py::object position = first.attr("position");
            const py::object error =
                type(py::str("{} (at {})").format(first.attr("message"), position));
            error.attr("problems") = found;
            error.attr("position") = position;
            error.attr("text") = fromUtf8(e.text);
            PyErr_SetObject(type.ptr(), error.ptr());
        }
    });
}

py::list checkText(Self self, const py::str& expression, const py::object& names) {
    const std::string text = utf8(expression);
    const std::vector<std::string> known = namesFrom(names);
    Hold hold(*self.object);
    return problems(*self.object, text, known);
}

py::list checkDefault(const py::str& expression, const py::object& names) {
    MathEvaluator engine;
    return problems(engine, utf8(expression), namesFrom(names));
}

std::vector<py::str> inCharacters(const std::vector<std::string>& names) {
    std::vector<py::str> out;
    for (const std::string& name : names) out.push_back(fromUtf8(name));
    return out;
}

std::vector<py::str> namesOf(Self self, const py::str& expression) {
    const std::string text = utf8(expression);
    std::vector<std::string> found;
    {
        Hold hold(*self.object);
        found = self->names(text);
    }
    return inCharacters(found);
}

py::dict explainText(Self self, const py::str& expression) {
    static const char* const kinds[] = {"operator", "operand", "separator", "function"};
    const std::string text = utf8(expression);
    Explanation e;
    {
        Hold hold(*self.object);
        e = self->explain(text);
    }
    // Each step lists the whole stack after it: bounded, as that grows with
    // the square of a text that keeps many values on the stack.
    std::size_t depth = 0, listed = 0;
    for (const auto& s : e.steps) {
        depth = depth - s.popped + 1;
        listed += depth;
    }
    if (listed > kExplainedValues)
        throw py::value_error("explain: the stacks of this text's steps hold " +
                              std::to_string(listed) + " values in all, more than the " +
                              std::to_string(kExplainedValues) +
                              " explain lists; check and names take texts of any size");
    py::list tokens, rpn, steps;
    Positions positions(text);
    for (const auto& t : e.tokens) {
        py::dict token;
        token["text"] = fromUtf8(t.text);
        token["kind"] = kinds[t.kind & 3];
        token["position"] = positions.at(t.offset);
        tokens.append(token);
    }
    for (const auto& r : e.rpn) rpn.append(fromUtf8(r));
    std::vector<double> stack;
    for (const auto& s : e.steps) {
        stack.resize(stack.size() - s.popped);
        stack.push_back(EngineX87::rounded(s.pushed)); // as eval rounds
        py::dict step;
        step["token"] = fromUtf8(s.token);
        step["action"] = fromUtf8(s.action);
        py::list listing(stack.size());
        for (std::size_t k = 0; k < stack.size(); ++k)
            PyList_SET_ITEM(listing.ptr(), static_cast<Py_ssize_t>(k),
                            py::float_(stack[k]).release().ptr());
        step["stack"] = listing;
        steps.append(step);
    }
    py::dict out;
    out["tokens"] = tokens;
    out["rpn"] = rpn;
    out["steps"] = steps;
    out["result"] = e.succeeded ? py::object(py::float_(EngineX87::rounded(e.result))) : py::none();
    out["failure"] = e.succeeded ? py::object(py::none()) : py::object(fromUtf8(e.failure));
    return out;
}

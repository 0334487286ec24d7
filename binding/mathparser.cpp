// The Velmoratrix module: declares what the host sees and forwards to the
// engine. Conversions, signatures and exception translation are pybind11's;
// the two casters below only add checks the defaults lack.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <set>

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "py_evaluator.h"

namespace py = pybind11;

namespace {

// `self` of a method: refused with TypeError when the object's __init__
// never ran (made by __new__ alone), where the default would call the
// method on unconstructed memory.
template <typename T> struct Constructed {
    T* object = nullptr;
    T* operator->() const { return object; }
};

// What a variable's cell held when it was read: a float, or None when the
// name has no cell.
struct Reading {
    bool present;
    double value;
};

} // namespace

namespace pybind11::detail {

template <typename T> struct type_caster<Constructed<T>> {
    static constexpr auto name = const_name<T>();
    Constructed<T> value;

    bool load(handle source, bool) {
        static const type_info* const type = get_type_info(typeid(T));
        if (!type || !PyObject_TypeCheck(source.ptr(), type->type)) return false;
        auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
        const value_and_holder slot = instance->get_value_and_holder(type, false);
        if (!slot || !slot.holder_constructed())
            throw type_error(std::string(Py_TYPE(source.ptr())->tp_name) +
                             " object is not initialized: its __init__ was never called");
        value.object = slot.value_ptr<T>();
        return true;
    }
    template <typename> using cast_op_type = Constructed<T>&;
    operator Constructed<T>&() { return value; }
};

template <> struct type_caster<Reading> {
    PYBIND11_TYPE_CASTER(Reading, const_name("float"));
    bool load(handle, bool) { return false; }
    static handle cast(const Reading& r, return_value_policy, handle) {
        return r.present ? PyFloat_FromDouble(r.value) : none().release().ptr();
    }
};

} // namespace pybind11::detail

namespace {

using Self = Constructed<py_Evaluator>;

// One host call on an evaluator: holds its lock, waiting for it without the
// GIL so that the thread inside can take the GIL back. A call from inside a
// call on the same thread (a finalizer, a user function) is refused.
class Hold {
public:
    explicit Hold(py_Evaluator& e) : evaluator_(e), lock_(e.calls, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            if (e.holder == std::this_thread::get_id())
                throw std::runtime_error("Evaluator is busy: a call on it is already running"
                                         " on this thread");
            py::gil_scoped_release unlocked;
            lock_.lock();
        }
        e.holder = std::this_thread::get_id();
    }
    ~Hold() { evaluator_.holder = std::thread::id(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    py_Evaluator& evaluator_;
    std::unique_lock<std::mutex> lock_;
};

// Texts this long take long enough to evaluate that other threads may run.
constexpr std::size_t kLongText = 4096;

// The values are read before any Python object is made: making the dict may
// run a finalizer that changes or deletes the very variables being listed.
std::map<std::string, Reading> variables(Self self) {
    std::map<std::string, Reading> snapshot;
    {
        Hold hold(*self.object);
        for (const auto& [name, cell] : std::as_const(self->externalVariables))
            snapshot.emplace_hint(snapshot.end(), name,
                                  Reading{cell != nullptr, cell ? *cell : 0.0});
    }
    return snapshot;
}

long double eval(Self self, std::string text) {
    Hold hold(*self.object);
    if (text.size() < kLongText) return self->eval(std::move(text));
    py::gil_scoped_release unlocked;
    return self->eval(std::move(text));
}

long double evaluateText(std::string text) {
    if (text.size() < kLongText) return evaluate(std::move(text));
    py::gil_scoped_release unlocked;
    return evaluate(std::move(text));
}

// What float() makes of an object; TypeError where it makes nothing.
double toDouble(py::handle object) {
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// A float64 buffer of one dimension, or nothing.
bool doubles(py::handle object, py::buffer_info& info, bool writable) {
    auto* view = new Py_buffer();
    const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object.ptr(), view, flags) != 0) {
        delete view;
        PyErr_Clear();
        return false;
    }
    info = py::buffer_info(view); // releases the view when it goes
    const std::string& f = info.format;
    const bool native = f == "d" || f == "@d" || f == "=d" || f == "<d";
    return native && info.itemsize == sizeof(double) && info.ndim == 1;
}

// The columns of eval_many, read from the mapping: buffers are read in
// place, other sequences converted, numbers given to every element.
struct Columns {
    std::vector<Column> columns;
    std::vector<py::buffer_info> buffers;
    std::vector<std::vector<double>> converted;
    std::vector<double> numbers;
    std::string lengths; // "'x' has 3 values, ..." for the error message
    std::optional<std::size_t> count;
    bool mismatch = false;

    explicit Columns(py::handle values) {
        if (!PyMapping_Check(values.ptr()) || PySequence_Check(values.ptr()))
            throw py::type_error("eval_many: values must be a mapping from names to floats or"
                                 " sequences of floats");
        const py::list items = py::reinterpret_steal<py::list>(PyMapping_Items(values.ptr()));
        if (!items) throw py::error_already_set();
        numbers.reserve(items.size());
        converted.reserve(items.size());
        for (py::handle item : items) {
            const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            add(pair[0].cast<std::string>(), pair[1]);
        }
    }

    void add(std::string name, py::handle value) {
        py::buffer_info info;
        if (doubles(value, info, false)) {
            const auto n = static_cast<std::size_t>(info.shape[0]);
            columns.push_back({name, static_cast<const double*>(info.ptr), info.strides[0]});
            buffers.push_back(std::move(info));
            return counted(name, n);
        }
        if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
            throw py::type_error("eval_many: the value of '" + name +
                                 "' is a string, not a float or a sequence of floats");
        if (PySequence_Check(value.ptr())) {
            const py::sequence sequence = py::reinterpret_borrow<py::sequence>(value);
            std::vector<double> copy;
            copy.reserve(sequence.size());
            for (py::handle element : sequence) copy.push_back(toDouble(element));
            converted.push_back(std::move(copy));
            columns.push_back({name, converted.back().data(), sizeof(double)});
            return counted(name, converted.back().size());
        }
        numbers.push_back(toDouble(value));
        columns.push_back({name, &numbers.back(), 0});
    }

    void counted(const std::string& name, std::size_t n) {
        if (count && *count != n) mismatch = true;
        if (!count) count = n;
        lengths += (lengths.empty() ? "'" : ", '") + name + "' has " + std::to_string(n) +
                   (n == 1 ? " value" : " values");
    }
};

py::object evalMany(Self self, std::string text, py::object values, py::object out) {
    Columns data(values);
    if (data.mismatch)
        throw py::value_error("eval_many: the sequences differ in length: " + data.lengths);
    py::object result;
    py::buffer_info target;
    if (!out.is_none()) {
        if (!doubles(out, target, true))
            throw py::type_error("eval_many: out must be a writable one-dimensional buffer of"
                                 " float64 (format 'd')");
        const auto n = static_cast<std::size_t>(target.shape[0]);
        if (data.count && *data.count != n)
            throw py::value_error("eval_many: out has " + std::to_string(n) + " values but " +
                                  data.lengths);
        data.count = n;
        result = py::reinterpret_borrow<py::object>(out);
    } else {
        const std::size_t n = data.count.value_or(1);
        result = py::module_::import("array").attr("array")(
            "d", py::bytes(std::string(n * sizeof(double), '\0')));
        doubles(result, target, true);
    }
    Hold hold(*self.object);
    py::gil_scoped_release unlocked;
    self->evalMany(std::move(text), data.columns, *data.count, static_cast<double*>(target.ptr),
                   target.strides[0]);
    return result;
}

} // namespace

// A host callable as a function of the engine. The evaluator holds it, the
// garbage collector sees it (tp_traverse) and may drop it (tp_clear): after
// that a call raises TypeError, as calling None does.
struct HostFunction {
    py::object function;
    int arguments;
};

namespace {

template <typename... Arguments> double callHost(const HostFunction& host, Arguments... arguments) {
    py::gil_scoped_acquire gil; // eval_many runs without it
    const py::object result = host.function(static_cast<double>(arguments)...);
    return toDouble(result);
}

void appendHostFunction(Self self, std::string name, py::object function, int arguments) {
    if (arguments != 1 && arguments != 2)
        throw py::value_error("append_function: arguments must be 1 or 2, not " +
                              std::to_string(arguments));
    if (!PyCallable_Check(function.ptr()))
        throw py::type_error("append_function: function must be callable");
    auto host = std::make_shared<HostFunction>(HostFunction{std::move(function), arguments});
    Hold hold(*self.object);
    if (arguments == 1)
        self->appendCallable(name, UnaryCallable([host](double x) { return callHost(*host, x); }));
    else
        self->appendCallable(name, BinaryCallable([host](long double l, long double r) {
                                 return static_cast<long double>(callHost(*host, l, r));
                             }));
    self->hostFunctions[name] = std::move(host);
}

void deleteHostFunction(Self self, const std::string& name) {
    Hold hold(*self.object);
    self->deleteFunction(name);
    self->hostFunctions.erase(name);
}

// The names of one of the engine's lists, in list order.
std::vector<std::string> namesIn(const List<std::string>& list) {
    std::vector<std::string> names;
    for (const ListNode<std::string>* n = list.empty() ? nullptr : list.head; n; n = n->next)
        if (n->value) names.push_back(*n->value);
    return names;
}

std::vector<std::string> functions(Self self) {
    Hold hold(*self.object);
    return namesIn(self->functionNames);
}

// Pickled state: the flag, every entry of the variable table (name, value
// or None), the names that resolve in the order they were registered, the
// function names, and the host functions with their argument counts. Read
// under the lock, made into Python objects after it.
py::tuple state(Self self) {
    bool flag;
    std::vector<std::pair<std::string, Reading>> entries;
    std::vector<std::string> registered, functionNames;
    std::vector<std::pair<std::string, std::shared_ptr<HostFunction>>> hosts;
    {
        Hold hold(*self.object);
        flag = self->accuracyOverEfficiency;
        for (const auto& [name, cell] : std::as_const(self->externalVariables))
            entries.push_back({name, Reading{cell != nullptr, cell ? *cell : 0.0}});
        registered = namesIn(self->variableNames);
        functionNames = namesIn(self->functionNames);
        hosts.assign(self->hostFunctions.begin(), self->hostFunctions.end());
    }
    py::list savedEntries, savedRegistered, savedFunctions, savedHosts;
    for (const auto& [name, reading] : entries)
        savedEntries.append(py::make_tuple(py::bytes(name), py::cast(reading)));
    for (const std::string& name : registered) savedRegistered.append(py::bytes(name));
    for (const std::string& name : functionNames) savedFunctions.append(py::bytes(name));
    for (const auto& [name, host] : hosts)
        savedHosts.append(py::make_tuple(py::bytes(name), host->function, host->arguments));
    return py::make_tuple(flag, savedEntries, savedRegistered, savedFunctions, savedHosts);
}

py_Evaluator* restore(const py::tuple& saved) {
    if (saved.size() != 5) throw std::runtime_error("Evaluator: invalid pickled state");
    auto evaluator = std::make_unique<py_Evaluator>(saved[0].cast<bool>());
    std::map<std::string, py::object> values;
    for (py::handle entry : saved[1].cast<py::list>()) {
        const py::tuple pair = entry.cast<py::tuple>();
        values[pair[0].cast<std::string>()] = pair[1].cast<py::object>();
    }
    // pi and e keep the engine's own cells unless they were deleted.
    for (const char* constant : {"pi", "e"})
        if (!values.count(constant)) evaluator->_deleteVariable(constant);
    for (py::handle name : saved[2].cast<py::list>()) {
        const auto found = values.find(name.cast<std::string>());
        if (found != values.end() && !found->second.is_none())
            evaluator->_appendVariable(found->first, found->second.cast<double>());
    }
    std::set<std::string> functionNames;
    for (py::handle name : saved[3].cast<py::list>())
        functionNames.insert(name.cast<std::string>());
    for (const std::string& name : namesIn(evaluator->functionNames))
        if (!functionNames.count(name)) evaluator->deleteFunction(name);
    Self self{evaluator.get()};
    for (py::handle host : saved[4].cast<py::list>()) {
        const py::tuple entry = host.cast<py::tuple>();
        appendHostFunction(self, entry[0].cast<std::string>(), entry[1].cast<py::object>(),
                           entry[2].cast<int>());
    }
    return evaluator.release();
}

// Diagnostics take a str, any str: one that UTF-8 cannot encode (a lone
// surrogate) passes as its code points. Positions and lengths are counted in
// characters of the str.
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

py::handle problemType; // the module's Problem, which the module keeps alive

py::list problems(MathEvaluator& engine, const std::string& text) {
    py::list out;
    for (const Diagnostic& d : engine.check(text))
        out.append(problemType(characters(text, 0, d.offset),
                               characters(text, d.offset, d.offset + d.length),
                               d.error ? "error" : "warning", fromUtf8(d.message)));
    return out;
}

py::list checkText(Self self, const py::str& expression) {
    const std::string text = utf8(expression);
    Hold hold(*self.object);
    return problems(*self.object, text);
}

py::list checkDefault(const py::str& expression) {
    MathEvaluator engine;
    return problems(engine, utf8(expression));
}

std::vector<py::str> namesOf(Self self, const py::str& expression) {
    const std::string text = utf8(expression);
    std::vector<std::string> found;
    {
        Hold hold(*self.object);
        found = self->names(text);
    }
    std::vector<py::str> out;
    for (const std::string& name : found) out.push_back(fromUtf8(name));
    return out;
}

py::dict explainText(Self self, const py::str& expression) {
    static const char* const kinds[] = {"operator", "operand", "separator", "function"};
    const std::string text = utf8(expression);
    Explanation e;
    {
        Hold hold(*self.object);
        e = self->explain(text);
    }
    py::list tokens, rpn, steps;
    for (const auto& t : e.tokens) {
        py::dict token;
        token["text"] = fromUtf8(t.text);
        token["kind"] = kinds[t.kind & 3];
        token["position"] = characters(text, 0, t.offset);
        tokens.append(token);
    }
    for (const auto& r : e.rpn) rpn.append(fromUtf8(r));
    for (const auto& s : e.steps) {
        py::dict step;
        step["token"] = fromUtf8(s.token);
        step["action"] = fromUtf8(s.action);
        py::list stack;
        for (long double v : s.stack) stack.append(static_cast<double>(v));
        step["stack"] = stack;
        steps.append(step);
    }
    py::dict out;
    out["tokens"] = tokens;
    out["rpn"] = rpn;
    out["steps"] = steps;
    out["result"] =
        e.succeeded ? py::object(py::float_(static_cast<double>(e.result))) : py::none();
    out["failure"] = e.succeeded ? py::object(py::none()) : py::object(fromUtf8(e.failure));
    return out;
}

// The collector sees the callables an evaluator holds, and may drop them to
// break a cycle through one.
int visitFunctions(PyObject* self, visitproc visit, void* arg) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    const auto slot = instance->get_value_and_holder();
    if (slot && slot.holder_constructed())
        for (const auto& entry : slot.value_ptr<py_Evaluator>()->hostFunctions)
            Py_VISIT(entry.second->function.ptr());
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    return 0;
}

int dropFunctions(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    const auto slot = instance->get_value_and_holder();
    if (slot && slot.holder_constructed())
        for (const auto& entry : slot.value_ptr<py_Evaluator>()->hostFunctions)
            entry.second->function = py::none();
    return 0;
}

void takePartInCollection(PyHeapTypeObject* heapType) {
    PyTypeObject& type = heapType->ht_type;
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = visitFunctions;
    type.tp_clear = dropFunctions;
}

} // namespace

PYBIND11_MODULE(Velmoratrix, m) {
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
                            .attr("namedtuple")("Problem", "position length severity message");
    problemType = m.attr("Problem");
    m.def("check", &checkDefault, py::arg("expression"),
          "The problems of a text on the engine of evaluate: a list of Problem(position,\n"
          "length, severity, message), sorted by position; [] when there are none.");

    py::class_<py_Evaluator>(m, "Evaluator", py::custom_type_setup(&takePartInCollection))
        .def(py::init<bool>(), py::arg("accuracyOverEfficiency") = false)
        .def("append_variable",
             [](Self self, std::string name, double value) {
                 Hold hold(*self.object);
                 self->_appendVariable(std::move(name), value);
             })
        .def("delete_variable",
             [](Self self, std::string name) {
                 Hold hold(*self.object);
                 self->_deleteVariable(std::move(name));
             })
        .def("variables", &variables)
        .def("eval", &eval)
        .def("eval_many", &evalMany, py::arg("expression"), py::arg("values"),
             py::arg("out") = py::none(),
             "Evaluates the expression once per element of the given columns: values maps\n"
             "names to floats or one-dimensional sequences of floats of one length n\n"
             "(float64 buffers are read in place). Returns array('d') of n results, or\n"
             "writes them into out. Element i is what eval returns with every name bound\n"
             "to its i-th value; the registered variables stay as they are.")
        .def("append_function", &appendHostFunction, py::arg("name"), py::arg("function"),
             py::arg("arguments") = 1,
             "Adds a function of one or two arguments (floats in, a float out) under name,\n"
             "on this Evaluator only; a built-in of that name is replaced here.")
        .def("delete_function", &deleteHostFunction, py::arg("name"),
             "Makes name an ordinary operand again on this Evaluator.")
        .def("functions", &functions,
             "The function names, built-in and added, in the order the engine lists them.")
        .def("check", &checkText, py::arg("expression"),
             "The problems of a text: a list of Problem(position, length, severity,\n"
             "message), sorted by position, in characters; an \"error\" wherever eval fails,\n"
             "a \"warning\" where the text evaluates but likely does not mean what it says.")
        .def("names", &namesOf, py::arg("expression"),
             "The names the text reads: its registered variables and the operands that\n"
             "read as no number, each once, in order of appearance.")
        .def("explain", &explainText, py::arg("expression"),
             "How the text is read and run: its tokens, its reverse Polish order and each\n"
             "step with the stack after it, then the result or what failed.")
        .def(py::pickle(&state, &restore));
}

// The package Velmoratrix loads this module as Velmoratrix._engine; it is the
// same module, named Velmoratrix, with the same version check.
extern "C" PYBIND11_EXPORT PyObject* PyInit__engine() {
    return PyInit_Velmoratrix();
}

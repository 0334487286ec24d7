"""Host-level timings: Velmoratrix against Python's own eval and a no-op call.

Usage: python host_bench.py expressions.tsv out.json
Each figure is the median of 11 timeit repeats, in nanoseconds per call.
"""
import json
import math
import re
import statistics
import sys
import timeit

import Velmoratrix
import velmo_noop

REPEATS = 11


def per_call(fn, target=0.1):
    number = 1
    while timeit.timeit(fn, number=number) < target / 10:
        number *= 4
    return statistics.median(timeit.repeat(fn, number=number, repeat=REPEATS)) / number * 1e9


def rows(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            fields = dict(zip(header, line.rstrip("\n").split("\t")))
            variables = {}
            for assignment in filter(None, fields.get("variables", "").split(";")):
                name, value = assignment.split("=")
                variables[name] = float(value)
            yield fields["name"], fields["our_syntax"], fields["python_syntax"], variables


def token_count(text):
    """Tokens with a text: pieces between and including the ten delimiters."""
    return len([t for t in re.split(r"([-+*/%^!(),])", text) if t])


def main():
    tsv, out = sys.argv[1], sys.argv[2]
    results = []
    noop_fn = velmo_noop.noop
    noop_obj = velmo_noop.Noop()
    for name, ours, python_text, variables in rows(tsv):
        ev = Velmoratrix.Evaluator(True)
        for key, value in dict(variables, pi=math.pi, e=math.e).items():
            ev.append_variable(key, value)
        namespace = dict(vars(math), **variables)
        code = compile(python_text, "<bench>", "eval")
        assert abs(ev.eval(ours) - eval(code, namespace)) <= 1e-9 * max(1.0, abs(eval(code, namespace))), name
        row = {
            "name": name,
            "tokens": token_count(ours),
            "Evaluator.eval": per_call(lambda: ev.eval(ours)),
            "python eval(text)": per_call(lambda: eval(python_text, namespace)),
            "python eval(code)": per_call(lambda: eval(code, namespace)),
            "noop function": per_call(lambda: noop_fn(ours)),
            "noop method": per_call(lambda: noop_obj.call(ours)),
        }
        if not variables:
            row["evaluate"] = per_call(lambda: Velmoratrix.evaluate(ours))
        row.update(cexprtk_timing(ours, variables))
        results.append(row)
        print(name, {k: (round(v) if isinstance(v, float) else v) for k, v in row.items() if k != "name"})
    registry = names_timing()
    print("100,000 names:", registry)
    functions = function_timing(noop_obj)
    print("a Python function:", functions)
    per_call_values = per_call_timing()
    print("per-call values:", per_call_values)
    with open(out, "w") as f:
        json.dump({"python": sys.version.split()[0], "rows": results, "names": registry,
                   "functions": functions, "per_call": per_call_values}, f, indent=1)


def cexprtk_timing(text, variables):
    """exprtk from Python (cexprtk), where bench/run.sh could install it: an
    expression compiled once and evaluated, and the text evaluated anew."""
    try:
        import cexprtk
    except ImportError:
        return {}
    cells = dict(variables, e=math.e) # exprtk's own constants hold pi, not e
    try:
        expression = cexprtk.Expression(text, cexprtk.Symbol_Table(cells, add_constants=True))
    except cexprtk.ParseException: # sin(1,2) and the like
        return {}
    cells["pi"] = math.pi
    return {
        "cexprtk value()": per_call(lambda: expression()),
        "cexprtk evaluate_expression": per_call(lambda: cexprtk.evaluate_expression(text, cells)),
    }


def per_call_timing():
    """Values bound for one call (eval_with, Formula.eval(values)) against registered ones."""
    registered, bare = Velmoratrix.Evaluator(), Velmoratrix.Evaluator()
    for name, value in [("x", 1.5), ("k", 2.0)]:
        registered.append_variable(name, value)
    values = {"x": 1.5, "k": 2.0}
    prepared, unbound = registered.prepare("x*k+1"), bare.prepare("x*k+1")
    return {
        "eval": per_call(lambda: registered.eval("x*k+1")),
        "eval_with": per_call(lambda: bare.eval_with("x*k+1", values)),
        "Formula.eval()": per_call(lambda: prepared.eval()),
        "Formula.eval(values)": per_call(lambda: unbound.eval(values)),
    }


def function_timing(noop_obj):
    """What a Python function costs inside a formula, against its own call."""
    ev = Velmoratrix.Evaluator()
    ev.append_variable("x", 0.5)
    ev.append_function("exp", math.exp)
    exp = math.exp
    return {
        "eval exp(x)": per_call(lambda: ev.eval("exp(x)")),
        "eval sqrt(x)": per_call(lambda: ev.eval("sqrt(x)")),
        "noop method + math.exp": per_call(lambda: (noop_obj.call("exp(x)"), exp(0.5))),
    }


def names_timing(count=100000):
    """Seconds to register, then to delete, `count` names on one Evaluator (best of 3)."""
    names = ["v%d" % i for i in range(count)]
    best = {"register": math.inf, "delete": math.inf}
    for _ in range(3):
        ev = Velmoratrix.Evaluator()
        start = timeit.default_timer()
        for name in names:
            ev.append_variable(name, 1.0)
        middle = timeit.default_timer()
        for name in names:
            ev.delete_variable(name)
        end = timeit.default_timer()
        best["register"] = min(best["register"], middle - start)
        best["delete"] = min(best["delete"], end - middle)
    return best


if __name__ == "__main__":
    main()

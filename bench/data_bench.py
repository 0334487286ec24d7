"""eval_many against a Python loop of append_variable + eval, against numpy
and against numexpr (one and two threads).

Usage: python data_bench.py expressions.tsv out.json   (needs numpy, numexpr)
Figures are nanoseconds per element, the best of 5 runs.
"""
import json
import math
import subprocess
import sys
import threading
import time

import numpy

import Velmoratrix

NUMPY_FORMULAS = {  # the rows with variables, in numpy
    "linear_x": lambda x: 2 * x + 1,
    "hypot_xy": lambda x, y: numpy.sqrt(x * x + y * y),
    "poly_x": lambda x: x ** 2 + 3 * x - 1,
}


# Formulas over two columns: ours, numexpr's spelling, numpy's.
COLUMN_FORMULAS = [
    ("x+1", "x+1", lambda x, y: x + 1),
    ("sqrt(x*x+y*y)", "sqrt(x*x+y*y)", lambda x, y: numpy.sqrt(x * x + y * y)),
    ("(x+1)*(y-2)/(x+y+1)", "(x+1)*(y-2)/(x+y+1)", lambda x, y: (x + 1) * (y - 2) / (x + y + 1)),
    ("((3*x+2)*x-1)*x+0.5", "((3*x+2)*x-1)*x+0.5", lambda x, y: ((3 * x + 2) * x - 1) * x + 0.5),
    ("x^2+y^2", "x**2+y**2", lambda x, y: x ** 2 + y ** 2),
    ("sin(x)+cos(y)", "sin(x)+cos(y)", lambda x, y: numpy.sin(x) + numpy.cos(y)),
    # The standard syntax's (those with blanks)
    ("where(x > 0, x, 0)", "where(x > 0, x, 0)", lambda x, y: numpy.where(x > 0, x, 0)),
    ("(x > -1 and x < 1) * x", "((x > -1) & (x < 1)) * x",
     lambda x, y: ((x > -1) & (x < 1)) * x),
    ("x**2 + y**2", "x**2+y**2", lambda x, y: x ** 2 + y ** 2),
    ("x ** 3", "x**3", lambda x, y: x ** 3),
    ("x ** 0.5", "x**0.5", lambda x, y: x ** 0.5),
    # The standard syntax's own functions (the same bits on every platform)
    ("sin(x) + cos(y)", "sin(x)+cos(y)", lambda x, y: numpy.sin(x) + numpy.cos(y)),
    ("exp(x / 50)", "exp(x/50)", lambda x, y: numpy.exp(x / 50)),
    ("log(abs(x) + 1)", "log(abs(x)+1)", lambda x, y: numpy.log(numpy.abs(x) + 1)),
    ("abs(x) ** 1.5", "abs(x)**1.5", lambda x, y: numpy.abs(x) ** 1.5),
    ("abs(x) ** 2.2", "abs(x)**2.2", lambda x, y: numpy.abs(x) ** 2.2),
]


def column_data(n):
    rng = numpy.random.default_rng(11)
    return rng.uniform(-100.0, 100.0, n), rng.uniform(-100.0, 100.0, n)


def numexpr_times(n, small):
    """numexpr on one and two threads, measured in a process of its own: its
    threads slow other threads of the process that imports it."""
    import numexpr
    x, y = column_data(n)
    sizes = {"": ({"x": x, "y": y}, numpy.empty(n)),
             "small ": ({"x": x[:small].copy(), "y": y[:small].copy()}, numpy.empty(small))}
    times = {"version": numexpr.__version__}
    for _, theirs, _ in COLUMN_FORMULAS:
        for prefix, (cols, out) in sizes.items():
            for threads in (1, 2):
                numexpr.set_num_threads(threads)
                times["%snumexpr %d %s" % (prefix, threads, theirs)] = best(
                    lambda: numexpr.evaluate(theirs, local_dict=cols, out=out), 7 if prefix == "" else 21)
    return times


def column_formulas(n=1000000, small=100000):
    """Per element: eval_many with out= and without, on one and two threads,
    a prepared Formula, numexpr on one and two threads, numpy; and the
    two-thread gain at `small` rows."""
    theirs_times = json.loads(subprocess.run(
        [sys.executable, __file__, "--numexpr", str(n), str(small)], check=True,
        capture_output=True, text=True).stdout)
    x, y = column_data(n)
    columns = {"x": x, "y": y}
    classic, standard = Velmoratrix.Evaluator(), Velmoratrix.Evaluator()
    standard.syntax = "standard"
    out = numpy.empty(n)
    small_columns = {"x": x[:small].copy(), "y": y[:small].copy()}
    small_out = numpy.empty(small)
    results = []
    # Warm: the first formula timed would otherwise pay for a cold machine.
    deadline = time.perf_counter() + 0.5
    while time.perf_counter() < deadline:
        classic.eval_many("x+1", columns, out=out, threads=1)
    for ours, theirs, numpy_formula in COLUMN_FORMULAS:
        ev = standard if " " in ours else classic
        formula = ev.prepare(ours)
        ev.eval_many(ours, columns, out=out)  # warm: pages, threads
        row = {
            "formula": ours,
            "ours out 1": best(lambda: ev.eval_many(ours, columns, out=out, threads=1), 7),
            "ours new 1": best(lambda: ev.eval_many(ours, columns, threads=1), 7),
            "ours out 2": best(lambda: ev.eval_many(ours, columns, out=out, threads=2), 7),
            "formula out 1": best(lambda: formula.eval_many(columns, out=out, threads=1), 7),
            "numexpr 1": theirs_times["numexpr 1 " + theirs],
            "numexpr 2": theirs_times["numexpr 2 " + theirs],
            "numpy": best(lambda: numpy_formula(x, y), 7),
            "small ours 1": best(lambda: ev.eval_many(ours, small_columns, out=small_out,
                                                     threads=1), 21),
            "small ours 2": best(lambda: ev.eval_many(ours, small_columns, out=small_out,
                                                     threads=2), 21),
            "small numexpr 1": theirs_times["small numexpr 1 " + theirs],
            "small numexpr 2": theirs_times["small numexpr 2 " + theirs],
        }
        for key, value in row.items():
            if key != "formula":
                row[key] = value / (small if key.startswith("small") else n) * 1e9
        results.append(row)
        print(ours, {k: round(v, 2) for k, v in row.items() if k != "formula"})
    return results, theirs_times["version"]


def best(fn, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def rows(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            fields = dict(zip(header, line.rstrip("\n").split("\t")))
            if fields.get("variables") and fields["name"] in NUMPY_FORMULAS:
                names = [a.split("=")[0] for a in fields["variables"].split(";")]
                yield fields["name"], fields["our_syntax"], names


def per_element(text, names, n):
    rng = numpy.random.default_rng(7)
    columns = {name: rng.uniform(-100.0, 100.0, n) for name in names}
    ev = Velmoratrix.Evaluator()
    out = numpy.empty(n)
    return best(lambda: ev.eval_many(text, columns, out=out, threads=1)) / n * 1e9, columns


def python_loop(text, names, n=20000):
    ev = Velmoratrix.Evaluator()
    columns = {name: [float(i) for i in range(n)] for name in names}

    def loop():
        for i in range(n):
            for name in names:
                ev.append_variable(name, columns[name][i])
            ev.eval(text)
    return best(loop, 3) / n * 1e9


def threads(text, names, n=1000000, count=2):
    """Elements per second with `count` threads on as many evaluators."""
    rng = numpy.random.default_rng(3)
    columns = {name: rng.uniform(-100.0, 100.0, n) for name in names}
    evaluators = [Velmoratrix.Evaluator() for _ in range(count)]
    outs = [numpy.empty(n) for _ in range(count)]

    def work(k):
        for _ in range(3):
            evaluators[k].eval_many(text, columns, out=outs[k], threads=1)

    def run():
        workers = [threading.Thread(target=work, args=(k,)) for k in range(count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    return count * 3 * n / best(run, 3)


def vectorized(n=1000000, small=10000):
    """A Python function in eval_many, per row: numpy.square as a vectorized
    function and as a plain one (on fewer rows), against x*x+1."""
    x = column_data(n)[0]
    out = numpy.empty(n)
    ev, plain = Velmoratrix.Evaluator(), Velmoratrix.Evaluator()
    ev.append_function("sq", numpy.square, vectorized=True)
    plain.append_function("sq", numpy.square)
    times = {
        "x*x+1": best(lambda: ev.eval_many("x*x+1", {"x": x}, out=out, threads=1), 7) / n,
        "vectorized": best(lambda: ev.eval_many("sq(x)+1", {"x": x}, out=out, threads=1), 7) / n,
        "vectorized 2": best(lambda: ev.eval_many("sq(x)+1", {"x": x}, out=out, threads=2), 7) / n,
        "row by row": best(lambda: plain.eval_many("sq(x)+1", {"x": x[:small]}), 3) / small,
    }
    return {k: v * 1e9 for k, v in times.items()}


POWERS = [("x**2", "x*x"), ("x**2+y**2", "x*x+y*y"), ("x**3", "x*x*x")]


def powers(n=1000000):
    """The standard syntax's whole powers against the products they denote,
    per row, one thread."""
    x, y = column_data(n)
    out = numpy.empty(n)
    ev = Velmoratrix.Evaluator()
    ev.syntax = "standard"
    times = {}
    for power, product in POWERS:
        for text in (power, product):
            times[text] = best(lambda: ev.eval_many(text, {"x": x, "y": y}, out=out,
                                                    threads=1), 7) / n * 1e9
    return times


QUERIES = ["a > b & b > 0.5", "(a + b) * c > 0.7 | a < 0.1"]


def query(n=1000000):
    """DataFrame.vx.query against DataFrame.query with numexpr, per row of a frame of three
    random columns."""
    import pandas
    import Velmoratrix.pandas  # noqa: F401 (the accessor)
    rng = numpy.random.default_rng(3)
    frame = pandas.DataFrame({k: rng.random(n) for k in "abc"})
    times = {}
    for condition in QUERIES:
        assert frame.vx.query(condition).equals(frame.query(condition, engine="numexpr"))
        times[condition] = {
            "ours": best(lambda: frame.vx.query(condition), 7) / n * 1e9,
            "pandas": best(lambda: frame.query(condition, engine="numexpr"), 7) / n * 1e9}
    return times


def main():
    tsv, out = sys.argv[1], sys.argv[2]
    columns, numexpr_version = column_formulas()
    results = {"python": sys.version.split()[0], "rows": [], "sizes": [],
               "numexpr": numexpr_version, "columns": columns, "vectorized": vectorized(),
               "powers": powers(), "query": query()}
    print("powers", {k: round(v, 2) for k, v in results["powers"].items()})
    print("vectorized", {k: round(v, 2) for k, v in results["vectorized"].items()})
    n = 1000000
    for name, text, names in rows(tsv):
        ours, columns = per_element(text, names, n)
        formula = NUMPY_FORMULAS[name]
        args = [columns[v] for v in names]
        np_ns = best(lambda: formula(*args)) / n * 1e9
        assert numpy.allclose(numpy.asarray(Velmoratrix.Evaluator().eval_many(text, columns)),
                              formula(*args))
        row = {"name": name, "eval_many": ours, "numpy": np_ns,
               "python loop": python_loop(text, names),
               "one thread": threads(text, names, count=1),
               "two threads": threads(text, names, count=2)}
        results["rows"].append(row)
        print(name, {k: round(v, 2) for k, v in row.items() if k != "name"})
    for size in [10, 100, 1000, 10000, 100000, 1000000]:
        ours, columns = per_element("sqrt(x*x+y*y)", ["x", "y"], size)
        x, y = columns["x"], columns["y"]
        results["sizes"].append({"n": size, "eval_many": ours,
                                 "numpy": best(lambda: numpy.sqrt(x * x + y * y)) / size * 1e9})
    with open(out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    if sys.argv[1] == "--numexpr":
        print(json.dumps(numexpr_times(int(sys.argv[2]), int(sys.argv[3]))))
    else:
        main()

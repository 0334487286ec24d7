"""eval_many against a Python loop of append_variable + eval, and against numpy.

Usage: python data_bench.py expressions.tsv out.json   (needs numpy)
Figures are nanoseconds per element, the best of 5 runs.
"""
import json
import math
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
    return best(lambda: ev.eval_many(text, columns, out=out)) / n * 1e9, columns


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
            evaluators[k].eval_many(text, columns, out=outs[k])

    def run():
        workers = [threading.Thread(target=work, args=(k,)) for k in range(count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    return count * 3 * n / best(run, 3)


def main():
    tsv, out = sys.argv[1], sys.argv[2]
    results = {"python": sys.version.split()[0], "rows": [], "sizes": []}
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
    main()

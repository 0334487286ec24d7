"""The software extended type's cost against x87's: the same formulas over 10^6 rows of two
random columns, one thread, interpreted on both (the software type has no generated code),
each build's module in a process of its own.

Usage: python soft_bench.py X87_MODULE_DIR SOFT_MODULE_DIR out.json   (needs numpy)
Figures are nanoseconds per row, the best of 15 runs (three rounds of 5, the builds in turn).
"""
import json
import os
import subprocess
import sys
import time

TEXTS = ["a", "a + b", "a * b", "a / b", "2*a + 3*b", "sqrt(a*a + b*b)", "((3*a+2)*a-1)*a+0.5",
         "a < b", "where(a > 0, a, b)", "a ** 0.5", "a ** 3", "a ** -2"]
ROWS = 10 ** 6


def measure():
    import numpy
    import Velmoratrix
    rng = numpy.random.default_rng(2)
    columns = {"a": rng.uniform(-100, 100, ROWS), "b": rng.uniform(-100, 100, ROWS)}
    out = numpy.empty(ROWS)
    ev = Velmoratrix.Evaluator()
    ev.syntax = "standard"
    times = {"arithmetic": Velmoratrix.build_info()["arithmetic"]}
    for text in TEXTS:
        fastest = float("inf")
        for _ in range(5):
            started = time.perf_counter()
            ev.eval_many(text, columns, out=out, threads=1)
            fastest = min(fastest, time.perf_counter() - started)
        times[text] = fastest / ROWS * 1e9
    return times


def main():
    x87, soft, path = sys.argv[1:4]
    results = {}
    # The builds take turns, three rounds, so that a busy moment of a shared
    # machine costs both alike; numpy's BLAS threads would spin beside them.
    for _ in range(3):
        for name, folder in (("x87", x87), ("software", soft)):
            env = dict(os.environ, PYTHONPATH=folder, VELMO_JIT="0", OPENBLAS_NUM_THREADS="1")
            output = subprocess.run([sys.executable, __file__, "--measure"], env=env, check=True,
                                    capture_output=True, text=True).stdout
            measured = json.loads(output)
            best = results.setdefault(name, measured)
            for text in TEXTS:
                best[text] = min(best[text], measured[text])
    print(json.dumps(results, indent=1))
    with open(path, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    if sys.argv[1] == "--measure":
        print(json.dumps(measure()))
    else:
        main()

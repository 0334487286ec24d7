"""Data where it lies: float32 and integer columns against numexpr, polars frames against
polars, pyarrow tables against pyarrow.compute, at 10^7 rows.

Usage: python frames_bench.py out.json   (needs numpy, numexpr, polars, pyarrow)
Figures are milliseconds for all the rows, the best of 5 runs; memory is the growth of the
peak resident set over a call whose inputs and output already exist, in a process of its own.
"""
import json
import resource
import subprocess
import sys
import time

import numpy

N = 10 ** 7
FLOAT32 = ["2*a + 3*b", "sin(a)**2 + cos(b)**2"]
INTEGER = "2*a + 3*b"


def best(fn, repeats=5):
    fastest = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        fn()
        fastest = min(fastest, time.perf_counter() - started)
    return fastest * 1e3


def data(dtype):
    rng = numpy.random.default_rng(4)
    if dtype.startswith("int"):
        return {k: rng.integers(0, 1000, N).astype(dtype) for k in "ab"}
    return {k: rng.random(N, dtype="float32" if dtype == "float32" else "float64") for k in "ab"}


def peak_growth(run):
    """KiB the peak resident set grows by in one call (the inputs and output made before)."""
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run()
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before


def ours(threads):
    import Velmoratrix
    ev = Velmoratrix.Evaluator()
    ev.syntax = "standard"
    times = {}
    cols, out = data("float32"), numpy.empty(N, "float32")
    for text in FLOAT32:
        times["float32 %s" % text] = best(lambda: ev.eval_many(text, cols, out=out,
                                                               threads=threads))
    for dtype in ("int64", "int32"):
        cols, out = data(dtype), numpy.empty(N)
        times["%s %s" % (dtype, INTEGER)] = best(lambda: ev.eval_many(INTEGER, cols, out=out,
                                                                      threads=threads))
    return times


def numexpr_side(threads):
    import numexpr
    numexpr.set_num_threads(threads)
    times = {"version": numexpr.__version__}
    cols, out = data("float32"), numpy.empty(N, "float32")
    for text in FLOAT32:
        times["float32 %s" % text] = best(lambda: numexpr.evaluate(text, cols, out=out))
    for dtype in ("int64", "int32"):
        cols = data(dtype)
        times["%s %s" % (dtype, INTEGER)] = best(lambda: numexpr.evaluate(INTEGER, cols))
    return times


def memory(side):
    cols, out = data("float32"), numpy.empty(N, "float32")
    out.fill(0.0)  # its pages touched now: zeros() would leave that to the call
    if side == "numexpr":
        import numexpr
        return {text: peak_growth(lambda: numexpr.evaluate(text, cols, out=out))
                for text in FLOAT32}
    import Velmoratrix
    ev = Velmoratrix.Evaluator()
    ev.syntax = "standard"
    return {text: peak_growth(lambda: ev.eval_many(text, cols, out=out)) for text in FLOAT32}


def frames():
    import polars
    import pyarrow
    import pyarrow.compute as pc
    import Velmoratrix
    import Velmoratrix.polars  # noqa: F401 (the namespace)
    ev = Velmoratrix.Evaluator()
    ev.syntax = "standard"
    cols = data("float64")
    frame = polars.DataFrame(cols)
    table = pyarrow.table(cols)
    a32 = data("float32")["a"]
    # Ours rounds once from 80 bits, polars after each operation: close, not equal.
    assert numpy.allclose(frame.vx.eval("2*a + 3*b").to_numpy(),
                          2 * cols["a"] + 3 * cols["b"], rtol=1e-15, atol=0)
    return {
        "polars": polars.__version__, "pyarrow": pyarrow.__version__,
        "vx.with_columns": best(lambda: frame.vx.with_columns(r="2*a + 3*b")),
        "polars with_columns": best(
            lambda: frame.with_columns(r=2 * polars.col("a") + 3 * polars.col("b"))),
        "eval_many(table)": best(lambda: ev.eval_many("2*a + 3*b", table)),
        "pyarrow.compute": best(lambda: pc.add(pc.multiply(table["a"], 2),
                                               pc.multiply(table["b"], 3))),
        "identity float32": best(lambda: ev.eval_many("a", {"a": a32})),
        "astype float64": best(lambda: a32.astype("float64")),
    }


def child(*args):
    output = subprocess.run([sys.executable, __file__] + list(args), check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output)


def main():
    results = {"rows": N}
    for threads in (1, 2):  # each side in a process of its own: numexpr's threads slow others
        results["ours %d" % threads] = child("--ours", str(threads))
        results["numexpr %d" % threads] = child("--numexpr", str(threads))
    results["memory"] = {"ours": child("--memory", "ours"), "numexpr": child("--memory", "numexpr")}
    # Last: polars' threads stay awake a while after its work, and slowed the children.
    results["frames"] = frames()
    print(json.dumps(results, indent=1))
    with open(sys.argv[1], "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    if sys.argv[1] == "--ours":
        print(json.dumps(ours(int(sys.argv[2]))))
    elif sys.argv[1] == "--numexpr":
        print(json.dumps(numexpr_side(int(sys.argv[2]))))
    elif sys.argv[1] == "--memory":
        print(json.dumps(memory(sys.argv[2])))
    else:
        main()

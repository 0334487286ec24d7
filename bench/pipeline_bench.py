"""A feature pipeline over a polars LazyFrame with nulls (six formulas, then a filter), through
polars' own expressions and through ``lf.vx``, at 10^7 rows on one and two threads; and a text
of three assignments through ``DataFrame.eval`` (numexpr) and ``df.vx.eval``.

Usage: python pipeline_bench.py out.json   (needs polars, pandas and numexpr)
Each side runs in a process of its own per thread count (polars reads POLARS_MAX_THREADS once):
milliseconds, the best of 5 collects, and the growth of the peak resident set over the first
collect, the frame made before.
"""
import json
import os
import resource
import subprocess
import sys
import time

N = 10 ** 7
FORMULAS = {
    "amount": "price * qty",
    "per_weight": "where(w > 0, price / w, 0)",
    "scaled": "log1p(abs(price)) * 2",
    "units": "fill_null(qty, 0) + 1",
    "wanted": "price > 15 or qty > 2",
    "spread": "(price - w) ** 2",
}
FILTER = "amount > 100 and units > 2"
ASSIGNMENTS = "c = a * b + 1\nd = c / (a + 2)\ne = d * d - b"


def frame():
    import numpy
    import polars as pl
    rng = numpy.random.default_rng(7)

    def nullable(values):
        return pl.Series(values).set(pl.Series(rng.random(N) < 0.1), None)

    return pl.DataFrame({"price": nullable(rng.random(N) * 30), "qty": nullable(
        rng.integers(0, 10, N)), "w": nullable(rng.random(N) - 0.2)})


def polars_pipeline(lf):
    import polars as pl
    price, qty, w = pl.col("price"), pl.col("qty"), pl.col("w")
    return lf.with_columns(
        amount=price * qty,
        per_weight=pl.when(w > 0).then(price / w).otherwise(0.0),
        scaled=(price.abs() + 1).log() * 2,
        units=qty.fill_null(0) + 1,
        wanted=(price > 15) | (qty > 2),
        spread=(price - w) ** 2,
    ).filter((pl.col("amount") > 100) & (pl.col("units") > 2))


def ours_pipeline(lf):
    import Velmoratrix.polars  # noqa: F401 (the namespace)
    return lf.vx.with_columns(**FORMULAS).vx.filter(FILTER)


def assignments(name, threads):
    import numexpr
    import numpy
    import pandas
    import Velmoratrix
    import Velmoratrix.pandas  # noqa: F401 (the accessor)
    Velmoratrix.set_num_threads(threads)
    numexpr.set_num_threads(threads)
    rng = numpy.random.default_rng(3)
    data = pandas.DataFrame({"a": rng.random(N), "b": rng.random(N)})
    run = (lambda: data.eval(ASSIGNMENTS)) if name == "pandas" else (
        lambda: data.vx.eval(ASSIGNMENTS))
    fastest = float("inf")
    for _ in range(5):
        started = time.perf_counter()
        run()
        fastest = min(fastest, time.perf_counter() - started)
    return {"ms": fastest * 1e3}


def side(name, threads):
    import Velmoratrix
    if name in ("pandas", "ours pandas"):
        return assignments(name, threads)
    Velmoratrix.set_num_threads(threads)
    data = frame()
    pipeline = polars_pipeline if name == "polars" else ours_pipeline
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rows = pipeline(data.lazy()).collect().height
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    fastest = float("inf")
    for _ in range(5):
        started = time.perf_counter()
        pipeline(data.lazy()).collect()
        fastest = min(fastest, time.perf_counter() - started)
    return {"ms": fastest * 1e3, "extra MB": grown / 1024, "rows": rows}


def main():
    if len(sys.argv) == 4:  # a child: one side at one thread count
        print(json.dumps(side(sys.argv[2], int(sys.argv[3]))))
        return
    import polars
    results = {"polars": polars.__version__}
    for threads in (1, 2):
        env = dict(os.environ, POLARS_MAX_THREADS=str(threads))
        for name in ("polars", "ours", "pandas", "ours pandas"):
            out = subprocess.run([sys.executable, __file__, "-", name, str(threads)], env=env,
                                 check=True, capture_output=True, text=True).stdout
            results["%s %d" % (name, threads)] = json.loads(out)
    with open(sys.argv[1], "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()

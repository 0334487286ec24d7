"""Pipelines as users write them: nulls read as polars reads them, the polars namespaces over
lazy frames, pandas' @name, 'in' and assignments against DataFrame.eval and query, and the
dask accessor against the pandas one."""
import os
import random
import sys
import unittest

try:
    import numpy
    import pandas
    import Velmoratrix.pandas  # noqa: F401  registers .vx
except ImportError:
    raise unittest.SkipTest("numpy and pandas are not installed for this interpreter")
try:
    import polars
    import Velmoratrix.polars  # noqa: F401
except ImportError:  # pinned for some interpreters only (requirements-dev.txt)
    if os.environ.get("VELMO_REQUIRE_PACKAGES") and (
            sys.version_info[:2] < (3, 10) or sys.version_info[:2] == (3, 11)):
        raise
    polars = None

from Velmoratrix import Evaluator


def formula(rng, depth=0):
    """A random formula over p, q, r and its polars expression, under the null rules."""
    if depth > 2 or rng.random() < 0.3:
        name = rng.choice("pqr")
        return (name, polars.col(name)) if rng.random() < 0.8 else ("1.5", polars.lit(1.5))
    (a, x), (b, y) = formula(rng, depth + 1), formula(rng, depth + 1)
    kind = rng.randrange(9)
    if kind == 0:
        return "(%s + %s)" % (a, b), x + y
    if kind == 1:
        return "(%s * %s)" % (a, b), x * y
    if kind == 2:
        return "(%s > %s)" % (a, b), (x > y).cast(polars.Float64)
    if kind == 3:
        return "(%s > 0 or %s < 1)" % (a, b), ((x > 0) | (y < 1)).cast(polars.Float64)
    if kind == 4:
        return "(%s > 0 and %s < 1)" % (a, b), ((x > 0) & (y < 1)).cast(polars.Float64)
    if kind == 5:  # a null condition gives null, not the other branch
        c = x > 1
        return "where(%s > 1, %s, %s)" % (a, a, b), (
            polars.when(c.is_null()).then(None).when(c).then(x).otherwise(y))
    if kind == 6:
        return "fill_null(%s, %s)" % (a, b), x.fill_null(y)
    if kind == 7:
        return "coalesce(%s, %s, 2)" % (a, b), polars.coalesce(x, y, polars.lit(2.0))
    return "(is_null(%s) - %s)" % (a, b), x.is_null().cast(polars.Float64) - y


@unittest.skipIf(polars is None, "polars is not installed for this interpreter")
class PolarsTest(unittest.TestCase):
    def frame(self, n=300, seed=3):
        rng = numpy.random.default_rng(seed)
        return polars.DataFrame({
            name: polars.Series(numpy.round(rng.normal(size=n), 2)).set(
                polars.Series(rng.random(n) < 0.25), None) for name in "pqr"})

    def test_nulls_as_polars_reads_them(self):
        frame, rng, ev = self.frame(), random.Random(5), Evaluator()
        ev.syntax = "standard"
        for _ in range(200):
            text, expr = formula(rng)
            ours = ev.eval_many(text, frame)
            theirs = frame.with_columns(expr.cast(polars.Float64).alias("x"))["x"]
            self.assertEqual(ours.is_null().to_list(), theirs.is_null().to_list(), text)
            # Rounded once from 80 bits here, after each operation in polars.
            both = ~ours.is_null()
            numpy.testing.assert_allclose(ours.filter(both).to_numpy(),
                                          theirs.filter(both).to_numpy(), rtol=1e-12,
                                          err_msg=text)

    def test_reused_memory_never_reaches_a_result_still_held(self):
        # Results of a MiB and more take the memory of freed ones: a pipeline's many at once.
        n, ev = 200000, Evaluator()
        frame = polars.DataFrame({"x": numpy.arange(n, dtype=float)})
        held = {}
        for k in range(20):
            held[k] = ev.eval_many("x+%d" % k, frame)
            if k % 2:
                del held[k - 1]
        for k, rows in held.items():
            numpy.testing.assert_array_equal(rows.to_numpy(), numpy.arange(n) + k)

    def test_the_lazy_namespace(self):
        frame = self.frame(50).with_columns(
            s=polars.lit("text"), f=polars.Series(numpy.arange(50.0), dtype=polars.Float32))
        lazy = frame.lazy().vx.with_columns(t="p * q", g="f / 2", c="p > 0 or q > 0")
        eager = frame.vx.with_columns(t="p * q", g="f / 2", c="p > 0 or q > 0")
        self.assertTrue(lazy.collect().equals(eager))
        self.assertEqual([eager.schema[n] for n in "tgc"],
                         [polars.Float64, polars.Float32, polars.Boolean])
        either = (polars.col("p") > 0) | (polars.col("q") > 0)  # Kleene's, with its nulls
        self.assertTrue(eager["c"].equals(frame.select(either.alias("c"))["c"]))
        kept = frame.lazy().vx.filter("p > 0 or q > 0").collect()
        self.assertTrue(kept.equals(frame.filter((polars.col("p") > 0) | (polars.col("q") > 0))))
        self.assertEqual(frame.vx.eval("f * 2", dtype="float64").dtype, polars.Float64)
        self.assertEqual(frame.lazy().vx.eval("p + 1").collect().columns, ["p + 1"])
        self.assertEqual(frame.vx.eval("2", name="two").to_list(), [2.0] * 50)


class PandasTest(unittest.TestCase):
    def test_at_names_in_and_assignments_against_pandas(self):
        rng = numpy.random.default_rng(8)
        for _ in range(20):
            frame = pandas.DataFrame(rng.integers(-5, 6, size=(40, 3)).astype(float),
                                     columns=list("abc"), index=rng.permutation(40))
            k = float(rng.integers(1, 4))
            listed = list(rng.integers(-3, 4, 3))
            s = pandas.Series(rng.integers(0, 9, 40).astype(float), index=frame.index[::-1])
            for text in ["a * @k - b", "a in @listed", "a not in [1, 2] and b > @k", "a + @s"]:
                pandas.testing.assert_series_equal(  # pandas aligns on the sorted union
                    frame.vx.eval(text).sort_index(), frame.eval(text).sort_index(),
                    check_names=False, obj=text)
            for text in ["a > @k or c in @listed", "not (a in [0, 1])"]:
                pandas.testing.assert_frame_equal(frame.vx.query(text), frame.query(text))
            lines = "d = a + b * @k\ne = d * 2 - c\nd = e > a"
            pandas.testing.assert_frame_equal(frame.vx.eval(lines), frame.eval(lines))
        with self.assertRaisesRegex(NameError, "'@missing'"):
            frame.vx.eval("a + @missing")
        with self.assertRaisesRegex(ValueError, "assign on each line"):
            frame.vx.eval("d = a\na + 1")

    def test_nullable_columns_give_nullable_results(self):
        frame = pandas.DataFrame({"a": pandas.array([1, None, 3], dtype="Int64"),
                                  "b": pandas.array([0.5, 1.0, None], dtype="Float64"),
                                  "n": [0.5, 1.0, None]})
        got = frame.vx.eval("a * 2 + fill_null(b, 0)")
        self.assertEqual(str(got.dtype), "Float64")
        self.assertEqual(got.fillna(-1).tolist(), [2.5, -1, 6.0])
        either = frame.vx.eval("a > 1 or b > 2")  # Kleene's: true or null is true
        self.assertEqual(either.fillna(False).tolist(), [False, False, True])
        self.assertEqual(either.isna().tolist(), [False, True, False])
        self.assertEqual(list(frame.vx.query("a > 1").index), [2])
        made = frame.vx.assign(c="a + 1", d="c * 2")
        self.assertEqual(made["d"].isna().tolist(), [False, True, False])
        self.assertEqual(made["d"].fillna(0).tolist(), [4.0, 0, 8.0])
        self.assertEqual(str(frame.vx.eval("n * 2").dtype), "float64")  # no nullable column


class DaskTest(unittest.TestCase):
    def test_the_accessor_on_a_cluster_of_processes(self):
        try:
            import dask.dataframe
            import distributed
            import Velmoratrix.dask  # noqa: F401
        except ImportError:
            self.skipTest("dask's DataFrames are not installed for this interpreter")
        rng = numpy.random.default_rng(2)
        whole = pandas.DataFrame({"a": rng.normal(size=3000), "b": rng.integers(0, 5, 3000)})
        parts = dask.dataframe.from_pandas(whole, npartitions=4)
        rate, keep = 1.5, [1, 3]
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            got = parts.vx.eval("sin(a) * @rate + b").compute()
            self.assertTrue(numpy.array_equal(
                got.to_numpy(), whole.vx.eval("sin(a) * @rate + b").to_numpy()))
            pandas.testing.assert_frame_equal(parts.vx.query("b in @keep").compute(),
                                              whole.vx.query("b in @keep"))
            pandas.testing.assert_frame_equal(
                parts.vx.eval("c = a / 3\nd = c > b").compute(),
                whole.vx.eval("c = a / 3\nd = c > b"))
            self.assertEqual(client.submit(Velmoratrix.dask._threads).result(), 1)


if __name__ == "__main__":
    unittest.main()

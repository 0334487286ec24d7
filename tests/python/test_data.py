"""Formulas over data: eval_many, threads, pickling, process pools and Dask."""
import array
import collections.abc
import concurrent.futures
import ctypes
import ctypes.util
import copy
import math
import os
import pickle
import platform
import random
import struct
import threading
import time
import unittest

import Velmoratrix
from Velmoratrix import Evaluator

try:
    import numpy
except ImportError:
    numpy = None
try:
    import pandas
except ImportError:
    pandas = None
if os.environ.get("VELMO_REQUIRE_PACKAGES") and (numpy is None or pandas is None):
    raise ImportError("numpy and pandas are required here (requirements-dev.txt)")


def bits(value):
    return struct.pack("<d", value)


def scalar(evaluator_flag, registered, text, row):
    """What eval gives with every name bound to its value of the row."""
    ev = Evaluator(evaluator_flag)
    for name, value in list(registered.items()) + list(row.items()):
        ev.append_variable(name, value)
    return ev.eval(text)


class EvalManyTest(unittest.TestCase):
    def test_elements_are_what_eval_gives(self):
        rng = random.Random(12)
        pieces = ["x", "y", "k", "2", "0.5", "-1", "+", "-", "*", "/", "%", "^", "!", "(", ")",
                  "sin(", "sqrt(", ","]
        specials = [0.0, -0.0, 1.0, 3.0, -2.5, 1e308, math.inf, -math.inf, math.nan, 170.0, 5.0]
        checked = 0
        for _ in range(400):
            text = "".join(rng.choice(pieces) for _ in range(rng.randrange(1, 9)))
            flag = rng.random() < 0.5
            ev = Evaluator(flag)
            ev.append_variable("k", 7.0)
            n = rng.randrange(0, 6)
            columns = {"x": [rng.choice(specials + [rng.uniform(-10, 10)]) for _ in range(n)],
                       "y": rng.choice([2.0, array.array("d", [rng.uniform(-3, 3) for _ in range(n)])])}
            try:
                got = ev.eval_many(text, columns)
            except (ValueError, IndexError) as raised:
                with self.assertRaises(type(raised), msg=text):
                    scalar(flag, {"k": 7.0}, text, {"x": 1.0, "y": 2.0})
                continue
            self.assertEqual(len(got), n)
            for i in range(n):
                row = {name: (v if isinstance(v, float) else v[i]) for name, v in columns.items()}
                self.assertEqual(bits(got[i]), bits(scalar(flag, {"k": 7.0}, text, row)),
                                 (text, flag, row))
                checked += 1
        self.assertGreater(checked, 300)

    def test_values_and_out(self):
        ev = Evaluator()
        ev.append_variable("y", 10.0)
        before = ev.variables()
        strided = memoryview(array.array("d", [1, 2, 3, 4, 5, 6]))[::2]
        cases = [
            ({"x": [1, 2, 3]}, [11.0, 12.0, 13.0]),          # a list, converted
            ({"x": array.array("d", [1, 2])}, [11.0, 12.0]),  # a buffer, read in place
            ({"x": strided}, [11.0, 13.0, 15.0]),             # a strided view
            ({"x": (4,), "y": 0.5}, [4.5]),                  # a number for every element
            ({"x": array.array("i", [1, 2])}, [11.0, 12.0]),  # another format, converted
            ({"x": []}, []),
            ({"x": 2.5}, [12.5]),                            # numbers alone: one row
            # Sequences that make their items as they are read.
            ({"x": range(3)}, [10.0, 11.0, 12.0]),
            ({"x": array.array("f", [0.5, 1.5])}, [10.5, 11.5]),
            ({"x": (ctypes.c_int * 2)(1, 2)}, [11.0, 12.0]),
            ({"x": (ctypes.c_double * 2)(1, 2)}, [11.0, 12.0]),
        ]
        for values, expected in cases:
            with self.subTest(values=values):
                got = ev.eval_many("x+y", values)
                self.assertIsInstance(got, array.array)
                self.assertEqual(got.typecode, "d")
                self.assertEqual(list(got), expected)
        self.assertEqual(ev.variables(), before)  # nothing registered by the calls
        with self.assertRaises(ValueError):
            ev.eval("x")

        out = array.array("d", [0.0] * 3)
        self.assertIs(ev.eval_many("x*y", {"x": [1, 2, 3]}, out=out), out)
        self.assertEqual(list(out), [10.0, 20.0, 30.0])
        self.assertEqual(list(ev.eval_many("y", {}, out=out)), [10.0] * 3)

    def test_out_may_overlap_the_inputs(self):
        # Rows are computed from the inputs as they were before any write, on
        # the block path and on the element path (a function from outside).
        rng = random.Random(5)
        ev = Evaluator()
        ev.append_function("f", lambda v: v * 3.0)
        for text in ["x*2+y", "f(x)+y"]:
            for _ in range(40):
                n = rng.randrange(1, 1200)
                memory = array.array("d", [rng.uniform(-9, 9) for _ in range(n + 40)])
                step = rng.choice([1, 2, -1] + [0] * bool(numpy))
                view = memoryview(memory)
                start = rng.randrange(0, 20) if step >= 0 else len(memory) - 1 - rng.randrange(0, 20)
                out_start = rng.randrange(0, 20)
                x = view[start::step or 1][:n]
                if step == 0:  # one value broadcast to every row, read before any is written
                    x = numpy.broadcast_to(numpy.frombuffer(memory)[start:start + 1], n)
                n = len(x)
                out = view[out_start:out_start + n]
                y = view[rng.randrange(0, 20):][:n]
                expected = ev.eval_many(text, {"x": array.array("d", x), "y": array.array("d", y)})
                ev.eval_many(text, {"x": x, "y": y}, out=out)
                self.assertEqual(list(out), list(expected), (text, n, start, step, out_start))

    def test_any_mapping_and_what_went_wrong(self):
        class Columns(collections.abc.Mapping):
            def __getitem__(self, key):
                return {"x": [1.0, 2.0]}[key]
            def __iter__(self):
                return iter(["x"])
            def __len__(self):
                return 1

        class ListItems(dict):
            def items(self):
                return [["x", [5.0]]]

        class ArrayOnly:  # read through __array__, never element by element
            def __init__(self, values):
                self.values = values
            def __array__(self, dtype=None, copy=None):
                return memoryview(array.array("d", self.values))
            def __len__(self):
                raise AssertionError("read element by element")
            __getitem__ = __iter__ = __len__

        ev = Evaluator()
        self.assertEqual(list(ev.eval_many("x*2", Columns())), [2.0, 4.0])
        self.assertEqual(list(ev.eval_many("x*2", ListItems(x=[3.0]))), [6.0])
        self.assertEqual(list(ev.eval_many("x*2", {"x": ArrayOnly([1.0, 7.0])})), [2.0, 14.0])
        for values, message in [({1: 2.0}, "names must be str or bytes, not int"),
                                ({"x": [1.0, "a"]}, "value of 'x' at index 1 is not a float"),
                                ({"x": object()}, "value of 'x' is not a float"),
                                ({"x": memoryview(bytes(16)).cast("d", (2, 1))}, "'x' has 2 dim")]:
            with self.subTest(values=values):
                with self.assertRaisesRegex(TypeError, message):
                    ev.eval_many("x", values)

    def test_eval_with_binds_for_one_call(self):
        ev = Evaluator()
        ev.append_variable("k", 2.0)
        self.assertEqual(ev.eval_with("k*x", {"x": 21}), 42.0)
        self.assertEqual(ev.eval_with("k", {"k": 5.0}), 5.0)  # ahead of the registered
        self.assertEqual(ev.variables(), {"e": math.e, "k": 2.0, "pi": math.pi})
        with self.assertRaisesRegex(ValueError, "^stod$"):
            ev.eval_with("q", {"x": 1.0})
        with self.assertRaisesRegex(TypeError, "must be a float, not a sequence"):
            ev.eval_with("x", {"x": [1.0]})

        # Threads sharing one Evaluator each see their own values.
        def worker(seed, wrong):
            for i in range(3000):
                x = float(seed * 10000 + i)
                if ev.eval_with("x*k+1", {"x": x}) != x * 2 + 1:
                    wrong.append(x)
        wrong = []
        threads = [threading.Thread(target=worker, args=(t, wrong)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(wrong, [])

    def test_per_call_values_follow_every_edit(self):
        """eval_with and Formula.eval(values) keep their reading between calls: whatever
        changes in between, they give what eval_many gives for one row."""
        ev = Evaluator()
        formula = ev.prepare("x*k+y")
        edits = [lambda: None, lambda: ev.append_variable("k", 2.0),
                 lambda: ev.append_variable("k", 3.0), lambda: ev.delete_variable("k"),
                 lambda: ev.append_function("y", abs), lambda: ev.delete_function("y"),
                 lambda: setattr(ev, "syntax", "standard"), lambda: setattr(ev, "syntax", "classic")]
        values = [{"x": 2.0, "y": 1}, {"y": 1.0, "x": 2}, {"x": 2.0}, {"x": 2.0, "y": 0.5, "k": 7.0},
                  collections.OrderedDict(x=1.0, y=2.0), {"x": True, "y": 1.0}]
        rng = random.Random(7)

        def outcome(call):
            try:
                return call()
            except (ValueError, TypeError) as e:
                return type(e)

        for _ in range(300):
            rng.choice(edits)()
            given = rng.choice(values)
            rows = {name: [value] for name, value in given.items()}
            expected = outcome(lambda: ev.eval_many("x*k+y", rows)[0])
            self.assertEqual(outcome(lambda: ev.eval_with("x*k+y", given)), expected, given)
            if ev.syntax == "classic":
                self.assertEqual(outcome(lambda: formula.eval(given)), expected, given)

    def test_costs_grow_with_the_data_not_its_square(self):
        # Each of these took from seconds to minutes when one pass was
        # quadratic; the bounds only catch that.
        n = 100_000
        columns = {"v%d" % i: float(i) for i in range(n)}
        text = "+".join(columns)
        ev = Evaluator()
        started = time.monotonic()
        self.assertEqual(list(ev.eval_many(text, columns)), [float(n * (n - 1) // 2)])
        self.assertEqual(ev.names(text), list(columns))
        problems = ev.check("(" * 300_000)  # 1,000 reported, the rest counted
        self.assertEqual((len(problems), problems[-1].message[:6]), (1001, "299000"))
        self.assertEqual(Velmoratrix.check("é+" * 100_000 + "é")[-2].position, 1_998)
        self.assertEqual(Velmoratrix.check("é" * 100_000 + "+")[-1].position, 100_000)
        with self.assertRaisesRegex(ValueError, "explain lists"):
            ev.explain("1," * 8000)
        self.assertLess(time.monotonic() - started, 30)

    def test_refusals(self):
        ev = Evaluator()
        with self.assertRaisesRegex(ValueError, "'x' has 2 values, 'y' has 3 values"):
            ev.eval_many("x+y", {"x": [1, 2], "y": [1, 2, 3]})
        with self.assertRaisesRegex(ValueError, "out has 2 values"):
            ev.eval_many("x", {"x": [1, 2, 3]}, out=array.array("d", [0, 0]))
        for out in [array.array("i", [0]), bytes(8), [0.0]]:
            with self.assertRaises(TypeError):
                ev.eval_many("x", {"x": [1.0]}, out=out)
        for values in [[1.0], {"x": "12"}, {"x": [1, "a"]}, {"x": None}]:
            with self.assertRaises(TypeError):
                ev.eval_many("x", values)
        for text in ("12", b"12"):  # bytes offer a buffer, but are no numbers
            with self.assertRaisesRegex(TypeError, "'x' is a string"):
                ev.eval_many("x", {"x": text})
        # A text that raises does so once, and the evaluator goes on.
        for text, error in [("q+x", ValueError), ("1e999*x", IndexError)]:
            with self.assertRaisesRegex(error, "^stod$"):
                ev.eval_many(text, {"x": [1.0] * 1000})
        self.assertEqual(list(ev.eval_many("x+1", {"x": [1.0]})), [2.0])

    @unittest.skipIf(numpy is None, "numpy is not installed for this interpreter")
    def test_numpy_and_pandas_columns(self):
        ev = Evaluator()
        ints = numpy.arange(6)
        for column in [ints, ints.astype(numpy.float32), ints.astype(numpy.uint8)[::2],
                       ints.astype(bool), numpy.float64(2.0)]:
            with self.subTest(dtype=column.dtype):
                got = ev.eval_many("x*2", {"x": column})
                self.assertIsInstance(got, numpy.ndarray)  # numpy in, numpy out
                self.assertEqual(got.dtype, numpy.float64)
                self.assertEqual(list(got), list(numpy.atleast_1d(column) * 2.0))
        if pandas is not None:
            frame = pandas.DataFrame({"x": [1.0, 2.0], "n": [3, 4]})
            got = ev.eval_many("x*n", frame)
            self.assertIsInstance(got, numpy.ndarray)
            self.assertEqual(list(got), [3.0, 8.0])
            self.assertEqual(list(ev.eval_many("x+1", {"x": frame["x"]})), [2.0, 3.0])

    @unittest.skipIf(numpy is None or pandas is None, "numpy and pandas are not installed")
    def test_what_numpy_and_pandas_hand_over(self):
        ev = Evaluator()
        ev.append_function("twice", lambda v: numpy.complex128(2 * v))
        for column in [numpy.array([1 + 2j, 3 - 4j]), [1 + 2j], pandas.Series([1 + 2j]),
                       numpy.complex64(1), numpy.array(1j)]:
            with self.assertRaisesRegex(TypeError, "'x'.*complex"):
                ev.eval_many("x*x", {"x": column})
        with self.assertRaisesRegex(TypeError, "complex"):
            ev.eval("twice(1)")
        # One number whatever its type; explicit byte orders, 2- and 1-byte elements.
        for dtype in [numpy.float16, numpy.longdouble, object, ">f8", "<f8", numpy.int16, bool]:
            self.assertEqual(list(ev.eval_many("x*2", {"x": numpy.array(1, dtype=dtype)})), [2.0])
            column = numpy.array([1, 0, 1], dtype=dtype)
            self.assertEqual(list(ev.eval_many("x*2", {"x": column})), [2.0, 0.0, 2.0], dtype)
        # Only the columns the text reads are converted; the others still count the rows.
        frame = pandas.DataFrame({"x": [1.0, 2.0, 3.0], "s": list("abc"),
                                  "d": pandas.date_range("2020-01-01", periods=3),
                                  "c": pandas.Categorical(list("aba"))})
        self.assertEqual(list(ev.eval_many("x*2", frame)), [2.0, 4.0, 6.0])
        self.assertEqual(list(ev.eval_many("2", frame)), [2.0] * 3)
        with self.assertRaisesRegex(ValueError, "differ in length"):
            ev.eval_many("x", {"x": [1.0], "unused": [1, 2]})
        # A column named like a number or a function of the text is read, as before.
        self.assertEqual(list(ev.eval_many("x*2", {"x": [1.0], "2": [5.0]})), [5.0])
        scalar = Evaluator()
        scalar.append_variable("sin", 2.0)
        self.assertEqual(list(ev.eval_many("sin(0)", {"sin": [2.0]})), [scalar.eval("sin(0)")])

    @unittest.skipIf(pandas is None, "pandas is not installed for this interpreter")
    def test_what_is_missing_is_a_null(self):
        # A masked element, pandas' NA: a null row (NaN here), and not selected by mask.
        ev = Evaluator()
        ev.syntax = "standard"
        for column in (numpy.ma.array([1.0, -999.0, 0.0], mask=[0, 1, 0]),
                       pandas.Series([1, None, 0], dtype="Int64"),
                       pandas.array([1.5, None, 0.0], dtype="Float64"),
                       pandas.Series([True, None, False], dtype="boolean")):
            with self.subTest(dtype=column.dtype):
                rows = ev.eval_many("x * 2 + 0 * isnan(x)", {"x": column})
                self.assertEqual(numpy.isnan(rows).tolist(), [False, True, False])
                self.assertEqual(ev.mask("x", {"x": column}).tolist(), [True, False, False])
        self.assertTrue(math.isnan(ev.eval_many("x + y", {"x": numpy.ma.masked, "y": [1.0]})[0]))
        self.assertEqual(list(ev.eval_many("x", {"x": numpy.ma.array([2.0], mask=[0])})), [2.0])
        # values= aligns a Series on the frame's index, as pandas' @name does.
        import Velmoratrix.pandas  # noqa: F401  (registers DataFrame.vx)
        frame = pandas.DataFrame({"a": [1.0, 2.0, 3.0]}, index=["x", "y", "z"])
        s = pandas.Series([300.0, 200.0, 100.0], index=["z", "y", "x"])
        for got, want in [(frame.vx.eval("a + s", values={"s": s}), frame.eval("a + @s")),
                          (frame.vx.query("s > 150", values={"s": s}), frame.query("@s > 150")),
                          (frame.vx.eval("a + s", values={"s": s[["y"]]}), frame.a + s[["y"]])]:
            self.assertTrue(got.equals(want), (got, want))

    @unittest.skipIf(pandas is None, "pandas is not installed for this interpreter")
    def test_the_pandas_accessor(self):
        import Velmoratrix.pandas  # noqa: F401  (registers DataFrame.vx)
        frame = pandas.DataFrame({"price": [10.0, 20.0, 30.0], "qty": [1, 2, 3], 7: ["a"] * 3},
                                 index=["a", "b", "c"])
        got = frame.vx.eval("price * qty - 1e-1")
        self.assertTrue(got.index.equals(frame.index))
        self.assertEqual(list(got), [9.9, 39.9, 89.9])
        wider = frame.vx.assign(total="price * qty", half="price / 2")
        self.assertEqual(list(wider.columns), ["price", "qty", 7, "total", "half"])
        self.assertEqual(list(wider["half"]), [5.0, 10.0, 15.0])
        self.assertEqual(list(frame.columns), ["price", "qty", 7])  # the frame stays
        self.assertEqual(list(frame.vx.eval("2")), [2.0] * 3)

    def test_thread_counts(self):
        ev = Evaluator()
        rows = {"x": [float(i) for i in range(5000)]}
        previous = Velmoratrix.set_num_threads(1)
        self.assertEqual(Velmoratrix.get_num_threads(), 1)
        expected = list(ev.eval_many("x/3", rows))
        Velmoratrix.set_num_threads(2**62)
        self.assertEqual(Velmoratrix.get_num_threads(), 256)  # the most a call uses
        Velmoratrix.set_num_threads(previous)
        self.assertEqual(list(ev.eval_many("x/3", rows, threads=2**62)), expected)

    def test_the_callers_rounding_mode_changes_no_value(self):
        libm = ctypes.CDLL(ctypes.util.find_library("m"))
        ev = Evaluator()
        rows = {"x": [i / 7 for i in range(1, 3000)]}
        texts = ["2/3*3", "x/3", "x*0.1+0.2", "sqrt(x)^3"]
        expected = [(ev.eval_many(t, rows, threads=1), ev.eval_many(t, rows, threads=2))
                    for t in texts]
        one = [(Velmoratrix.evaluate("2/3*3"), Evaluator().eval("2/3*3"))]
        upward = 0x400000 if platform.machine() == "aarch64" else 0x800  # FE_UPWARD
        libm.fesetround(upward)
        try:
            for text, (single, shared) in zip(texts, expected):
                for threads in (1, 2):
                    self.assertEqual(list(ev.eval_many(text, rows, threads=threads)), list(single))
                self.assertEqual(list(single), list(shared))
            self.assertEqual([(Velmoratrix.evaluate("2/3*3"), Evaluator().eval("2/3*3"))], one)
            self.assertEqual(libm.fegetround(), upward)  # given back
        finally:
            libm.fesetround(0)

    @unittest.skipIf(numpy is None, "numpy is not installed for this interpreter")
    def test_numpy_columns(self):
        ev = Evaluator()
        x = numpy.arange(12.0)[::3]
        y = numpy.linspace(0.0, 1.0, 4)
        got = numpy.asarray(ev.eval_many("sqrt(x*x+y*y)", {"x": x, "y": y}))
        self.assertTrue(numpy.array_equal(got, numpy.sqrt(x * x + y * y)))
        out = numpy.zeros(8)[::2]
        self.assertIs(ev.eval_many("x-1", {"x": x}, out=out), out)
        self.assertEqual(list(out), [-1.0, 2.0, 5.0, 8.0])


@unittest.skipIf(numpy is None, "numpy is not installed for this interpreter")
class ValuesOfEveryKindTest(unittest.TestCase):
    def test_dates_are_refused_and_the_result_follows_the_values(self):
        ev = Evaluator()
        for date in (numpy.datetime64("2020-01-01"), numpy.timedelta64(5, "s")):
            with self.assertRaisesRegex(TypeError, "'x' is of numpy's"):
                ev.eval_many("x", {"x": date})
        values = {"x": numpy.ones(3), "k": numpy.float64(2)}
        for text in ("x*k", "k*2", "3"):  # numpy values, whichever the text reads
            self.assertIsInstance(ev.eval_many(text, values), numpy.ndarray)

    def test_every_dtype_gives_its_float64_copys_rows(self):
        values = numpy.array([0, 1, -2, 5, 100, -128, 127, 3, 255, 7]).astype("int64")
        ev = Evaluator()
        for dtype in ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                      "float32", "float64", "bool"):
            column = values.astype(dtype)
            for view in (column, column[::2]):  # contiguous and strided
                got = ev.eval_many("x*3-1", {"x": view})
                want = ev.eval_many("x*3-1", {"x": view.astype("float64")})
                self.assertEqual(got.tobytes(), want.tobytes(), (dtype, view.strides))

    def test_another_thread_runs_while_results_are_computed(self):
        column = {"x": numpy.linspace(0, 1, 2 * 10**6)}
        text = "sin(x)*cos(x)+sin(x+1)*cos(x+2)+sin(x+3)"
        ticks, done = [0], threading.Event()

        def tick():
            while not done.is_set():
                ticks[0] += 1

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            before = ticks[0]
            time.sleep(0.02)
            alone = ticks[0] - before  # what 20 ms give it
            for out in (None, numpy.empty(2 * 10**6)):
                before = ticks[0]
                Evaluator().eval_many(text, column, out=out, threads=1)
                # Holding the lock, the call would let it run one switch
                # interval (5 ms) at most.
                self.assertGreater(ticks[0] - before, alone)
        finally:
            done.set()
            ticker.join()


class ThreadsTest(unittest.TestCase):
    def test_one_evaluator_shared_by_threads(self):
        ev = Evaluator()
        ev.append_variable("k", 2.0)
        column = [float(i) for i in range(20000)]
        expected = [2.0 * v + 1.0 for v in column]
        failures = []

        def compute():
            for _ in range(5):
                if list(ev.eval_many("k*x+1", {"x": column})) != expected:
                    failures.append("eval_many")
                if ev.eval("k*3") != 6.0:
                    failures.append("eval")

        def churn(name):
            for i in range(3000):
                ev.append_variable(name, float(i))
                ev.variables()
                ev.delete_variable(name)

        def recorded(work, *args):  # a call that raises is a failure too
            def run():
                try:
                    work(*args)
                except Exception as failure:
                    failures.append(repr(failure))
            return threading.Thread(target=run)

        threads = [recorded(compute) for _ in range(3)]
        threads += [recorded(churn, "t%d" % i) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        self.assertEqual(sorted(ev.variables()), ["e", "k", "pi"])


def evaluate_block(evaluator, block):
    return list(evaluator.eval_many("sqrt(x*x+y)", {"x": block, "y": 3.0}))


class PicklingTest(unittest.TestCase):
    def test_copies_are_equal_and_independent(self):
        ev = Evaluator(True)
        ev.append_variable("x", 2.5)
        ev.append_variable("e", 3.0)
        ev.delete_variable("pi")
        for make in [lambda e: pickle.loads(pickle.dumps(e)), copy.copy, copy.deepcopy]:
            twin = make(ev)
            self.assertIsNot(twin, ev)
            self.assertEqual(list(twin.variables().items()), list(ev.variables().items()))
            self.assertEqual(twin.eval("5!+x+e"), 125.5)  # exact factorial kept
            twin.append_variable("x", 0.0)
            self.assertEqual(ev.eval("x"), 2.5)
        fresh = pickle.loads(pickle.dumps(Evaluator()))
        self.assertEqual(sorted(fresh.variables()), ["e", "pi"])
        with self.assertRaises(ValueError):
            fresh.eval("pi")  # listed, still unregistered

    def test_process_pool(self):
        ev = Evaluator()
        blocks = [[float(i + j) for j in range(100)] for i in range(0, 400, 100)]
        with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
            remote = list(pool.map(evaluate_block, [ev] * len(blocks), blocks))
        self.assertEqual(remote, [evaluate_block(ev, b) for b in blocks])

    @unittest.skipIf(numpy is None, "numpy is not installed for this interpreter")
    def test_dask_cluster(self):
        try:
            import dask.array
            import distributed
        except ImportError:
            self.skipTest("dask.distributed is not installed for this interpreter")
        ev = Evaluator()
        x = numpy.linspace(-5.0, 5.0, 10001)
        columns = dask.array.from_array(x, chunks=2500)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster):
            total = columns.map_blocks(
                lambda block, e=ev: numpy.asarray(e.eval_many("sqrt(x*x+y)", {"x": block, "y": 3.0})),
                dtype=float).compute()
        self.assertTrue(numpy.array_equal(total, numpy.asarray(evaluate_block(ev, x))))


if __name__ == "__main__":
    unittest.main()

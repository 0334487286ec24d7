"""Data read where it lies: numpy's numeric dtypes and strides, float32 and bool results, and
polars and pyarrow frames with their nulls, in and out."""
import ctypes
import os
import sys
import unittest

from Velmoratrix import Evaluator

try:
    import numpy
except ImportError:
    numpy = None
try:
    import polars
    import pyarrow
except ImportError:  # pinned for some interpreters only (requirements-dev.txt)
    if os.environ.get("VELMO_REQUIRE_PACKAGES") and numpy is not None and (
            sys.version_info[:2] < (3, 10) or sys.version_info[:2] == (3, 11)):
        raise
    polars = pyarrow = None

TEXTS = ["a", "a*3 + b", "b/a - a**2", "sqrt(abs(a)) + b", "a > b"]
DTYPES = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
          "bool", "uint64", "float16"]


def standard():
    evaluator = Evaluator()
    evaluator.syntax = "standard"
    return evaluator


class Schema(ctypes.Structure):
    pass


class Array(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(Schema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(Array))
Schema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p),
                   ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
                   ("n_children", ctypes.c_int64), ("children", ctypes.POINTER(ctypes.POINTER(Schema))),
                   ("dictionary", ctypes.POINTER(Schema)), ("release", SCHEMA_RELEASE),
                   ("private_data", ctypes.c_void_p)]
Array._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
                  ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
                  ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
                  ("children", ctypes.POINTER(ctypes.POINTER(Array))),
                  ("dictionary", ctypes.POINTER(Array)), ("release", ARRAY_RELEASE),
                  ("private_data", ctypes.c_void_p)]
NO_SCHEMA_RELEASE, NO_ARRAY_RELEASE = SCHEMA_RELEASE(lambda s: None), ARRAY_RELEASE(lambda a: None)
CAPSULE = ctypes.pythonapi.PyCapsule_New
CAPSULE.restype, CAPSULE.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Handmade:
    """A producer that hands over the structs it is given, as they are (kept alive here)."""

    def __init__(self, schema, array):
        self.structs = (schema, array)
        self.capsules = (CAPSULE(ctypes.addressof(schema), b"arrow_schema", None),
                         CAPSULE(ctypes.addressof(array), b"arrow_array", None))

    def __arrow_c_array__(self, requested_schema=None):
        return self.capsules


def handmade(**changes):
    """One float64 column 'x' of two rows, with the changes a broken producer makes (to the
    schema where a field is the schema's only, or named schema_...; else to the array)."""
    data = (ctypes.c_double * 2)(1.0, 2.0)
    pointers = (ctypes.c_void_p * 2)(None, ctypes.addressof(data))
    schema = Schema(format=b"g", name=b"x", release=NO_SCHEMA_RELEASE)
    array = Array(length=2, n_buffers=2, buffers=pointers, release=NO_ARRAY_RELEASE)
    for field, value in changes.items():
        if field.startswith("schema_") or field in ("format", "name"):
            setattr(schema, field.replace("schema_", ""), value)
        else:
            setattr(array, field, value)
    made = Handmade(schema, array)
    made.keep = (data, pointers)
    return made


@unittest.skipIf(numpy is None, "numpy is not installed for this interpreter")
class DtypeTest(unittest.TestCase):
    def column(self, dtype, n, step, random):
        info = numpy.iinfo(dtype) if numpy.issubdtype(dtype, numpy.integer) else None
        if info is not None:
            values = random.integers(info.min, info.max, n * step, dtype=dtype, endpoint=True)
            values[:2] = info.min, info.max
        elif dtype == "bool":
            values = random.random(n * step) < 0.5
        else:
            values = (random.standard_normal(n * step) * 1e3).astype(dtype)
        return values[::step]

    def test_every_dtype_and_stride_gives_the_bits_of_its_float64_copy(self):
        random = numpy.random.default_rng(5)
        ev = standard()
        for dtype in DTYPES:
            for step, n in [(1, 3000), (3, 700), (-2, 40)]:
                a = self.column(dtype, n, abs(step), random)[::1 if step > 0 else -1]
                b = self.column(DTYPES[random.integers(len(DTYPES))], n, 1, random)
                copies = {"a": a.astype("float64"), "b": b.astype("float64")}
                for text in TEXTS:
                    with self.subTest(dtype=dtype, step=step, text=text):
                        expected = ev.eval_many(text, copies, threads=1)
                        got = ev.eval_many(text, {"a": a, "b": b}, threads=2)
                        numpy.testing.assert_array_equal(got.view("u8"), expected.view("u8"))
                        row = ev.eval_with(text, {"a": a[-1], "b": b[-1]})
                        self.assertEqual(numpy.float64(row).view("u8"), expected.view("u8")[-1])

    def test_float32_results_are_each_rows_value_rounded_once(self):
        random = numpy.random.default_rng(6)
        ev = standard()
        a, b = (random.random(5000, dtype="float32") + 1 for _ in range(2))
        for text in ["a*b", "a - b", "a*b*3 - b", "(a + b)/3"]:
            wide = ev.eval_many(text, {"a": a, "b": b})
            narrow = ev.eval_many(text, {"a": a, "b": b}, dtype="float32")
            out = numpy.empty(10000, "float32")[::2]
            self.assertIs(ev.eval_many(text, {"a": a, "b": b}, out=out), out)
            numpy.testing.assert_array_equal(narrow, out)
            self.assertEqual(narrow.dtype, numpy.float32)
            if text in ("a*b", "a - b"):  # exact in double: one rounding either way
                numpy.testing.assert_array_equal(narrow, wide.astype("float32"))
        # The value in 80 bits is above float32's halfway point; its double is on it.
        one_way = ev.eval_many("a + 2**-24 + 2**-60", {"a": numpy.ones(1)}, dtype="float32")
        self.assertEqual(one_way[0], numpy.float32(1 + 2**-23))
        self.assertEqual(ev.eval_many("a*2", {"a": [1.5]}, dtype="float32").typecode, "f")
        with self.assertRaisesRegex(ValueError, "dtype must be"):
            ev.eval_many("a", {"a": [1.0]}, dtype="int8")

    def test_bool_out_holds_a_conditions_truth(self):
        ev = standard()
        a = numpy.array([0.0, 2.0, numpy.nan, 5.0])
        out = numpy.zeros(4, bool)
        ev.eval_many("a > 1 or a != a", {"a": a}, out=out)
        numpy.testing.assert_array_equal(out, [False, True, True, True])
        with self.assertRaisesRegex(TypeError, "only for a condition"):
            ev.eval_many("a + 1", {"a": a}, out=out)


@unittest.skipIf(polars is None, "polars and pyarrow are not installed for this interpreter")
class FrameTest(unittest.TestCase):
    def test_nulls_are_the_intersection_of_the_read_columns_validities(self):
        random = numpy.random.default_rng(8)
        ev = standard()
        for n in [1, 7, 64, 1000]:
            values = {name: random.standard_normal(n) for name in "abc"}
            valid = {name: random.random(n) < 0.7 for name in "abc"}
            columns = {name: pyarrow.array(values[name], mask=~valid[name]) for name in "abc"}
            table = pyarrow.table(columns)
            cut = n // 3  # batches that start mid-byte, and sliced arrays
            chunked = pyarrow.Table.from_batches(table.slice(0, cut).to_batches() +
                                                 table.slice(cut).to_batches())
            frame = polars.from_arrow(chunked)
            expected = valid["a"] & valid["b"]  # c is not read
            rows = values["a"] * 2 + values["b"]
            for given in [table, chunked, frame, {"a": frame["a"], "b": chunked["b"]}]:
                with self.subTest(n=n, kind=type(given).__name__):
                    result = ev.eval_many("a*2 + b", given)
                    if isinstance(result, polars.Series):
                        result = result.to_arrow()
                    self.assertIsInstance(result, pyarrow.Array)
                    got_valid = numpy.asarray(result.is_valid())
                    numpy.testing.assert_array_equal(got_valid, expected)
                    numpy.testing.assert_array_equal(
                        numpy.asarray(result.fill_null(0))[expected], rows[expected])
            out = numpy.empty(n)
            ev.eval_many("a*2 + b", table, out=out)
            numpy.testing.assert_array_equal(numpy.isnan(out), ~expected)

    def test_every_arrow_type_gives_the_bits_of_its_float64_copy(self):
        random = numpy.random.default_rng(9)
        ev = standard()
        for name in ["float64", "float32", "float16", "int8", "int16", "int32", "int64",
                     "uint8", "uint16", "uint32", "uint64", "bool_"]:
            kind = getattr(pyarrow, name)()
            raw = random.integers(0, 100, 300).astype(kind.to_pandas_dtype())
            valid = random.random(300) < 0.8
            column = pyarrow.array(raw, type=kind, mask=~valid)
            # Chunks that start at an offset within their buffers, the second at row 100
            # (mid-byte) from bit 152 (a whole byte).
            chunked = pyarrow.chunked_array([column.slice(3, 100), column.slice(152, 148)])
            keep = numpy.r_[3:103, 152:300]
            copy = raw[keep].astype("float64")
            expected = ev.eval_many("a*3 - 1", {"a": copy})
            with self.subTest(type=name):
                for given in [pyarrow.table({"a": chunked}), {"a": chunked}]:
                    got = ev.eval_many("a*3 - 1", given)
                    numpy.testing.assert_array_equal(numpy.asarray(got.is_valid()), valid[keep])
                    numpy.testing.assert_array_equal(
                        numpy.asarray(got.fill_null(0.0))[valid[keep]], expected[valid[keep]])

    def test_results_come_back_in_the_callers_kind(self):
        ev = standard()
        frame = polars.DataFrame({"a": [1, 2, 3], "s": ["x", "y", "z"], "f": [0.5, 1.0, 1.5]},
                                 schema_overrides={"a": polars.Int16, "f": polars.Float32})
        series = ev.eval_many("a*f", frame, dtype="float32")
        self.assertIsInstance(series, polars.Series)
        self.assertEqual((series.dtype, series.to_list()), (polars.Float32, [0.5, 2.0, 4.5]))
        self.assertEqual(ev.eval_many("a+1", frame.to_arrow()).to_pylist(), [2, 3, 4])
        self.assertEqual(ev.prepare("f*2").eval_many(frame["f"]).to_list(), [1.0, 2.0, 3.0])
        self.assertEqual(len(ev.eval_many("a", frame.head(0))), 0)
        for n in [300_000, 300_000, 1_000_000]:  # results' memory given back and taken again
            big = polars.DataFrame({"a": numpy.arange(float(n))})
            self.assertEqual(ev.eval_many("a*2", big)[-1], 2.0 * (n - 1))
        self.assertEqual(ev.eval_with("a*f", frame.slice(2, 1)), 4.5)  # a frame of one row
        null = polars.DataFrame({"a": [None]}, schema={"a": polars.Float64})
        self.assertNotEqual(ev.eval_with("a", null), 0.0)  # NaN
        with self.assertRaisesRegex(ValueError, "frame of 3 rows"):
            ev.eval_with("a", frame)
        for values, message in [(frame.lazy(), "collect"), (frame, "'s' is of Arrow's type"),
                                (pyarrow.array([1.0]), "without a name")]:
            with self.assertRaisesRegex(TypeError, message):
                ev.eval_many("a + s" if message.startswith("'s'") else "a", values)

    def test_a_producer_that_breaks_its_word_is_refused(self):
        class Odd:  # a schema of two columns, an array of one; then no capsules at all
            def __init__(self, capsules):
                self.capsules = capsules

            def __arrow_c_array__(self, requested_schema=None):
                return self.capsules

        two = pyarrow.record_batch({"a": [1.0], "b": [2.0]}).__arrow_c_array__()
        one = pyarrow.record_batch({"a": [1.0]}).__arrow_c_array__()
        ev = standard()
        with self.assertRaisesRegex(ValueError, "shape its schema gives"):
            ev.eval_many("a + b", Odd((two[0], one[1])))
        with self.assertRaises((TypeError, ValueError)):
            ev.eval_many("a", Odd((1, 2)))

    def test_hostile_arrow_data_is_refused_before_it_is_read(self):
        ev = standard()
        self.assertEqual(list(ev.eval_many("x * 2", handmade()).to_pylist()), [2.0, 4.0])
        for broken, kind, words in [
                (handmade(n_buffers=1), ValueError, "'x' does not have the shape .*1 buffers"),
                (handmade(buffers=None), ValueError, "'x' does not have the shape .*no buffers"),
                (handmade(format=None), ValueError, "no format"),
                (handmade(n_children=1), ValueError, "'x' does not have the shape .*1 children"),
                (handmade(schema_n_children=1), ValueError, "children it counts"),
                (handmade(length=-1), ValueError, "negative or overflowing"),
                (handmade(offset=2 ** 63 - 2), ValueError, "negative or overflowing"),
                (handmade(null_count=1), ValueError, "no validity bitmap"),
                (handmade(release=ARRAY_RELEASE()), ValueError, "released"),
                (handmade(format=b"u"), TypeError, "'x' is of Arrow's type 'u'"),
                (handmade(schema_dictionary=ctypes.pointer(  # indices that are no integers
                    Schema(format=b"g", release=NO_SCHEMA_RELEASE))), TypeError, "type 'g'")]:
            with self.subTest(words=words), self.assertRaisesRegex(kind, words):
                ev.eval_many("x + 1", broken)
        # A capsule read once is released: a second read is refused, not read after free.
        table = pyarrow.table({"x": [2.0, 3.0]})
        for method in ("__arrow_c_array__", "__arrow_c_stream__"):
            given = getattr(table.to_batches()[0] if method == "__arrow_c_array__" else table,
                            method)()
            again = type("Again", (), {method: lambda self, requested_schema=None: given})()
            self.assertEqual(ev.eval_many("x", again).to_pylist(), [2.0, 3.0])
            with self.assertRaisesRegex(ValueError, "already read"):
                ev.eval_many("x", again)
        # A stream whose batch is of another type than its schema says.
        schema = pyarrow.schema([("x", pyarrow.float64())])
        for n in (10, 10 ** 6):
            strings = pyarrow.record_batch([pyarrow.array(["a"] * n)], names=["x"])
            reader = pyarrow.RecordBatchReader.from_batches(
                schema, [pyarrow.record_batch([pyarrow.array([1.0])], schema=schema), strings])
            with self.assertRaisesRegex(ValueError, "'x' does not have the shape .*another type"):
                ev.eval_many("x + 1", reader)
        # What the producer raised reaches the caller as it is.
        for raised in (KeyboardInterrupt, SystemExit, MemoryError):
            def batches(raised=raised):
                yield pyarrow.record_batch([pyarrow.array([1.0])], schema=schema)
                raise raised("stop")
            with self.assertRaisesRegex(raised, "^stop$"):
                ev.eval_many("x", pyarrow.RecordBatchReader.from_batches(schema, batches()))

    def test_frames_read_as_their_owner_means(self):
        ev = standard()
        codes = pyarrow.array([2.5, None, 2.5, -1.0, 7.0]).dictionary_encode()
        self.assertEqual(ev.eval_many("x * 2", {"x": codes}).to_pylist(), [5.0, None, 5.0, -2.0, 14.0])
        tail = pyarrow.array([1.0] * 9 + [None] * 4)  # nulls past the first whole byte
        self.assertEqual(ev.eval_many("x", {"x": tail}).null_count, 4)
        self.assertEqual(ev.eval_many("x", pyarrow.table({"x": codes.slice(2)})).to_pylist(),
                         [2.5, -1.0, 7.0])
        words = pyarrow.array(["a", "b"]).dictionary_encode()
        with self.assertRaisesRegex(TypeError, "'x' is a dictionary of Arrow's type 'u'"):
            ev.eval_many("x", {"x": words})
        twice = pyarrow.table([pyarrow.array([1.0]), pyarrow.array([2.0])], names=["x", "x"])
        with self.assertRaisesRegex(ValueError, "more than one column named 'x'.*ambiguous"):
            ev.eval_many("x + 1", twice)
        self.assertEqual(ev.eval_many("1", twice).to_pylist(), [1.0])  # a name not read
        ev.append_variable("s", 10.0)
        row = pyarrow.table({"s": ["3"], "a": [1.0]})
        with self.assertRaisesRegex(TypeError, "'s' is of Arrow's type"):
            ev.eval_with("s + a", row)
        self.assertEqual(ev.eval_with("a", row), 1.0)
        rows = pyarrow.table({"a": [None] + [float(i) for i in range(1, 10)]})
        self.assertEqual(ev.eval_with("a", rows.slice(7, 1)), 7.0)  # its own bit, not the first
        self.assertNotEqual(ev.eval_with("a", rows.slice(0, 1)), 0.0)  # null: NaN
        # A null row is not selected, as DataFrame.filter leaves it out.
        for frame in (polars.DataFrame({"x": [1.0, None, 0.0, float("nan")]}),
                      pyarrow.table({"x": [1.0, None, 0.0, float("nan")]})):
            self.assertEqual(ev.mask("x", frame).tolist(), [True, False, False, True])
            self.assertEqual(ev.mask("x > 0", frame).tolist(), [True, False, False, False])

    def test_the_polars_namespace(self):
        import Velmoratrix.polars  # noqa: F401  registers .vx
        frame = polars.DataFrame({"price": [10.0, 20.0, 30.0], "qty": [3, None, 1]})
        total = frame.vx.eval("price * qty", name="total")
        self.assertEqual((total.name, total.to_list()), ("total", [30.0, None, 30.0]))
        made = frame.vx.with_columns(total="price * qty", big="price > 15")
        self.assertEqual(made["big"].to_list(), [False, True, True])
        lazy = frame.lazy().vx.with_columns(total="price * qty", big="price > 15").collect()
        self.assertTrue(lazy.equals(made))


if __name__ == "__main__":
    unittest.main()

"""User functions: Python callables as functions of one Evaluator."""
import gc
import math
import os
import pickle
import sys
import unittest
import weakref

import Velmoratrix
from Velmoratrix import Evaluator, evaluate
from test_module import resident_bytes

BUILT_IN = ["acos", "asin", "atan", "cos", "sin", "sqrt", "tan"]


class Boom(Exception):
    pass


def explode(x):
    raise Boom(x)


class FunctionsTest(unittest.TestCase):
    def test_added_functions_read_like_built_ins(self):
        ev = Evaluator()
        ev.append_function("exp", math.exp)
        ev.append_function("max", max, arguments=2)
        ev.append_function("atan2", math.atan2, 2)
        cases = [("exp(1)", math.e), ("max(2,5)", 5.0), ("2*max(1,exp(0))", 2.0),
                 ("atan2(1,1)*4", math.pi), ("max(2)", 0.0), ("exp(1,2)", 0.0)]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(ev.eval(text), expected)
        self.assertEqual(ev.functions(), BUILT_IN + ["exp", "max", "atan2"])
        ev.delete_function("exp")
        with self.assertRaisesRegex(ValueError, "^stod$"):
            ev.eval("exp(1)")  # an ordinary operand again

    def test_built_ins_change_on_one_evaluator_only(self):
        ev, other = Evaluator(), Evaluator()
        ev.append_function("sin", lambda x: 42.0)
        ev.delete_function("cos")
        self.assertEqual(ev.eval("sin(0)"), 42.0)
        with self.assertRaises(ValueError):
            ev.eval("cos(0)")
        self.assertNotIn("cos", ev.functions())
        for untouched in [other.eval, evaluate]:
            self.assertEqual(untouched("sin(0)+cos(0)"), 1.0)
        self.assertEqual(other.functions(), BUILT_IN)

    def test_what_the_callable_does_wrong_reaches_the_caller(self):
        ev = Evaluator()
        ev.append_function("boom", explode)
        ev.append_function("text", lambda x: "a")
        with self.assertRaises(Boom) as raised:
            ev.eval("1+boom(7)")
        self.assertEqual(raised.exception.args, (7.0,))
        with self.assertRaises(Boom):
            ev.eval_many("boom(x)", {"x": [1.0, 2.0]})
        with self.assertRaises(TypeError):
            ev.eval("text(1)")
        ev.append_function("again", lambda x: ev.eval("1"))
        with self.assertRaisesRegex(RuntimeError, "busy"):
            ev.eval("again(1)")
        self.assertEqual(ev.eval("2*3"), 6.0)  # usable after each
        for arguments in [33, -1]:  # 0 to 32 are counts of the standard syntax
            with self.assertRaises(ValueError):
                ev.append_function("f", math.exp, arguments)
        with self.assertRaises(TypeError):
            ev.append_function("f", 3.0)

    def test_eval_many_calls_in_element_order(self):
        ev = Evaluator()
        seen = []
        ev.append_function("note", lambda x: seen.append(x) or x)
        self.assertEqual(list(ev.eval_many("note(x)+note(x*3)", {"x": [1.0, 2.0]})), [4.0, 8.0])
        self.assertEqual(seen, [1.0, 3.0, 2.0, 6.0])

    def test_pickling_takes_the_functions(self):
        ev = Evaluator()
        ev.append_function("hypot", math.hypot, 2)
        ev.delete_function("tan")
        twin = pickle.loads(pickle.dumps(ev))
        self.assertEqual(twin.functions(), ev.functions())
        self.assertEqual(twin.eval("hypot(3,4)"), 5.0)
        ev.append_function("anonymous", lambda x: x)
        with self.assertRaises((pickle.PicklingError, AttributeError)):
            pickle.dumps(ev)

    def test_a_cycle_through_a_function_is_collected(self):
        ev = Evaluator()
        ev.append_function("me", lambda x: ev.eval("1"))
        gone = weakref.ref(ev)
        del ev
        gc.collect()
        self.assertIsNone(gone())

    @unittest.skipIf(os.environ.get("VELMO_SANITIZED"), "the sanitizer keeps freed memory aside")
    def test_memory_stays_flat(self):
        def cycles(n):
            for i in range(n):
                ev = Evaluator()
                ev.append_function("f", lambda x, i=i: x + i)
                ev.eval("f(1)")
                ev.eval("f(1)+")
                try:
                    ev.eval("f(1)+q")
                except ValueError:
                    pass
                ev.delete_function("f")
                ev.append_function("g", explode)
                try:
                    ev.eval("g(2)")
                except Boom:
                    pass

        cycles(2000)
        before = resident_bytes()
        cycles(20000)
        self.assertLess(resident_bytes() - before, 2 << 20)


if __name__ == "__main__":
    unittest.main()


SCALED_CALLS = []


def scaled(a, b):  # arrays of a block, or two floats for one value
    SCALED_CALLS.append(type(a).__name__)
    return [u * 3 + v for u, v in zip(a, b)] if not isinstance(a, float) else a * 3 + b


class VectorizedFunctionsTest(unittest.TestCase):
    def test_blocks_give_what_rows_give(self):
        try:
            import numpy
        except ImportError:
            numpy = None
        calls = SCALED_CALLS
        calls.clear()
        rows = [0.1 * k - 7 for k in range(10000)]
        for threads in (1, 2):
            ev, plain = Evaluator(), Evaluator()
            ev.append_function("f", scaled, 2, vectorized=True)
            plain.append_function("f", lambda a, b: a * 3 + b, 2)
            got = ev.eval_many("f(x,x*x)/7+1", {"x": rows}, threads=threads)
            self.assertEqual(list(got), list(plain.eval_many("f(x,x*x)/7+1", {"x": rows})))
            self.assertEqual(ev.eval("f(2,1)"), 7.0)
        self.assertLess(len(calls), 20)  # a call per block, not per row
        self.assertIn("ndarray" if numpy else "array", calls)
        if numpy:
            ev.append_function("sq", numpy.square, vectorized=True)
            self.assertEqual(list(ev.eval_many("sq(x)", {"x": [1.5, -2.0]})), [2.25, 4.0])
        ev = pickle.loads(pickle.dumps(ev))
        calls.clear()
        ev.eval_many("f(x,1)", {"x": rows})
        self.assertLess(len(calls), 20)
        saved = sys.modules.get("numpy")
        sys.modules["numpy"] = None  # not importable: array('d') instead
        try:
            self.assertEqual(list(ev.eval_many("f(x,1)", {"x": [2.0]})), [7.0])
            self.assertEqual(calls[-1], "array")
        finally:
            if saved is None:
                del sys.modules["numpy"]
            else:
                sys.modules["numpy"] = saved

    def test_calls_back_and_failures_on_every_thread(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("numpy is not installed for this interpreter")
        ev = Evaluator()
        ev.append_function("back", lambda a: (ev.syntax, a)[1], vectorized=True)
        calls = []

        def failing(a):
            calls.append(len(a))
            raise Boom()

        ev.append_function("fail", failing, vectorized=True)
        rows = {"x": numpy.zeros(100 * 8192)}
        for threads in (1, 2):
            with self.assertRaisesRegex(RuntimeError, "busy"):  # not a wait for good
                ev.eval_many("back(x)", rows, threads=threads)
            calls.clear()
            with self.assertRaises(Boom):
                ev.eval_many("fail(x)+1", rows, threads=threads)
            self.assertLessEqual(len(calls), threads)  # no block after the first failure
        with self.assertRaisesRegex(ValueError, "at least one argument"):
            ev.append_function("none", lambda: 1.0, 0, vectorized=True)

    def test_a_wrong_block_names_the_function(self):
        ev = Evaluator()
        one = lambda block, value: (lambda a: value if isinstance(a, float) else block(a))
        ev.append_function("short", one(lambda a: a[:-1], 1.0), vectorized=True)
        ev.append_function("word", one(lambda a: 7, 1.0), vectorized=True)
        ev.append_function("boom", one(lambda a: explode(a[0]), 1.0), vectorized=True)
        with self.assertRaisesRegex(ValueError, "'short' returned 4 values for a block of 5 rows"):
            ev.eval_many("short(x)", {"x": [1.0] * 5})
        with self.assertRaisesRegex(TypeError, "'word'"):
            ev.eval_many("word(x)", {"x": [1.0] * 5})
        ev.append_function("text", one(lambda a: ["x"] * len(a), 1.0), vectorized=True)
        with self.assertRaisesRegex(TypeError, "'text' returned str at index 0"):
            ev.eval_many("text(x)", {"x": [1.0] * 5})
        with self.assertRaises(Boom):
            ev.eval_many("boom(x)", {"x": [1.0] * 5})
        self.assertEqual(ev.eval("short(1)+word(1)"), 2.0)

"""Prepared formulas, eval_many on several threads, and machine code against
the interpreter (VELMO_JIT=0 in a child process)."""
import array
import copy
import math
import os
import pickle
import subprocess
import sys
import unittest

import Velmoratrix
from Velmoratrix import Evaluator, ExpressionError
from interpreter import EMULATED, python

FORMULAS = ["sqrt(x*x+y*y)", "(x+1)*(y-2)/(x+y+1)", "((3*x+2)*x-1)*x+0.5", "x^2+y^2",
            "sin(x)+cos(y)", "x%3+y!*3.5", "1/(x-y)"]


def columns(n):
    return {"x": array.array("d", (0.37 * i - 900 for i in range(n))),
            "y": array.array("d", ((i % 13) * 0.25 - 1 for i in range(n)))}


class ThreadsTest(unittest.TestCase):
    def test_rows_are_the_same_on_any_number_of_threads(self):
        data = columns(100003)
        e = Evaluator()
        for formula in FORMULAS:
            one = e.eval_many(formula, data, threads=1).tobytes()
            for threads in (2, 3, 4, None):
                self.assertEqual(e.eval_many(formula, data, threads=threads).tobytes(), one,
                                 (formula, threads))

    def test_thread_count_setting_and_errors(self):
        previous = Velmoratrix.set_num_threads(3)
        try:
            self.assertEqual(Velmoratrix.get_num_threads(), 3)
            self.assertEqual(Velmoratrix.set_num_threads(2), 3)
            with self.assertRaisesRegex(ValueError, "at least 1"):
                Velmoratrix.set_num_threads(0)
        finally:
            Velmoratrix.set_num_threads(previous)
        e = Evaluator()
        with self.assertRaisesRegex(ValueError, "eval_many: threads must be at least 1"):
            e.eval_many("x", {"x": [1.0]}, threads=0)
        for wrong in ("2", 2.0, True):
            with self.assertRaisesRegex(TypeError, "threads must be an int or None"):
                e.eval_many("x", {"x": [1.0]}, threads=wrong)

    @unittest.skipUnless(hasattr(os, "fork"), "needs fork")
    @unittest.skipIf(EMULATED, "qemu-user fails its own assertion forking a process with threads")
    def test_a_child_process_has_threads_of_its_own(self):
        # The parent's pool threads do not exist in a forked child, whose
        # rows must still be computed (not wait for them forever).
        script = (
            "import os, signal, Velmoratrix\n"
            "e = Velmoratrix.Evaluator()\n"
            "x = [float(i) for i in range(200000)]\n"
            "before = e.eval_many('x*2+1', {'x': x}, threads=2)\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    signal.alarm(60)\n"
            "    os._exit(0 if e.eval_many('x*2+1', {'x': x}, threads=2) == before else 1)\n"
            "os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))\n")
        self.assertEqual(subprocess.run(python() + ["-c", script], timeout=120).returncode, 0)

    def test_python_functions_see_the_rows_in_order(self):
        seen = []
        e = Evaluator()
        e.append_function("note", lambda v: seen.append(v) or v)
        rows = list(range(20000))
        self.assertEqual(list(e.eval_many("note(x)*2", {"x": rows}, threads=4)),
                         [2.0 * r for r in rows])
        self.assertEqual(seen, rows)


class FormulaTest(unittest.TestCase):
    def test_gives_what_the_evaluator_gives(self):
        e = Evaluator(True)
        e.append_variable("a", 2.5)
        f = e.prepare("sin(x)*a+x!")
        self.assertEqual((f.text, f.names, f.evaluator), ("sin(x)*a+x!", ["x", "a"], e))
        for x in (0.5, 3.0, -2.25, 170.0):
            e.append_variable("x", x)
            self.assertEqual(repr(f.eval()), repr(e.eval(f.text)))  # nan too
        e.append_function("sin", lambda v: v * 10)
        self.assertEqual(f.eval(), e.eval(f.text))
        e.delete_variable("x")
        for unread in (f.eval, lambda: e.eval(f.text)):
            self.assertRaisesRegex(ValueError, "stod", unread)
        e.append_variable("x", 2.0)
        data = columns(2000)
        self.assertEqual(f.eval_many(data).tobytes(), e.eval_many(f.text, data).tobytes())
        out = array.array("d", bytes(8 * 2000))
        self.assertIs(f.eval_many(data, out=out, threads=2), out)
        self.assertEqual(out.tobytes(), e.eval_many(f.text, data).tobytes())

    def test_pickles_and_copies_with_its_evaluator(self):
        e = Evaluator()
        e.append_variable("x", 4.0)
        f = e.prepare("x*2")
        self.assertIs(copy.copy(f).evaluator, e)
        for twin in (pickle.loads(pickle.dumps(f)), copy.deepcopy(f)):
            self.assertIsNot(twin.evaluator, e)
            self.assertEqual((twin.text, twin.eval()), (f.text, f.eval()))
        both = pickle.loads(pickle.dumps([e, f]))
        self.assertIs(both[1].evaluator, both[0])

    def test_standard_text_is_read_when_prepared(self):
        e = Evaluator()
        e.syntax = "standard"
        self.assertEqual(e.prepare("-2 ** 2 + max(1, 3)").eval(), -1.0)
        with self.assertRaises(ExpressionError):
            e.prepare("2 +")
        with self.assertRaisesRegex(TypeError, "not initialized"):
            Velmoratrix.Formula.__new__(Velmoratrix.Formula).eval()


    def test_a_formula_keeps_its_reading_across_switches(self):
        # Its syntax's functions, and columns that shadow a variable, whatever
        # the evaluator is switched to after it was prepared.
        for syntax, other, text in [("standard", "classic", "max(x, 0) * 5 + `x` * 0"),
                                    ("classic", "standard", "x*5+sqrt(x)*0")]:
            e = Evaluator()
            e.append_variable("x", 1.0)
            e.syntax = syntax
            f, condition = e.prepare(text), e.prepare("x > 1") if syntax == "standard" else None
            e.syntax = other
            for twin in (f, pickle.loads(pickle.dumps(f))):
                self.assertEqual(list(twin.eval_many({"x": [1.0, 2.0, 3.0]})), [5.0, 10.0, 15.0])
                self.assertEqual((twin.names, twin.eval()), (["x"], 5.0))
                self.assertIn(syntax, repr(twin))
            if condition:
                out = array.array("b", bytes(3))
                condition.eval_many({"x": array.array("d", [0, 2, 3])}, out=memoryview(out).cast("?"))
                self.assertEqual(list(out), [0, 1, 1])


class InterpreterTest(unittest.TestCase):
    def test_machine_code_gives_the_interpreters_bits(self):
        script = (
            "import array, sys, Velmoratrix\n"
            "e = Velmoratrix.Evaluator()\n"
            "x = array.array('d', (0.37 * i - 900 for i in range(3000)))\n"
            "y = array.array('d', ((i % 13) * 0.25 - 1 for i in range(3000)))\n"
            "for f in sys.argv[1:]:\n"
            "    e.append_variable('x', 1.5); e.append_variable('y', -0.5)\n"
            "    one = [e.eval(f).hex() for _ in range(3)]\n"
            "    print(f, one, e.eval_many(f, {'x': x, 'y': y}).tobytes().hex())\n")
        outputs = []
        for setting in ("0", "1"):
            env = dict(os.environ, VELMO_JIT=setting)
            outputs.append(subprocess.run(python() + ["-c", script] + FORMULAS, env=env,
                                          check=True, capture_output=True, text=True).stdout)
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(len(outputs[0].splitlines()), len(FORMULAS))


class CompiledTest(unittest.TestCase):
    def test_threads_share_a_compiled_with_the_formulas_values(self):
        import threading
        e = Evaluator()
        e.append_function("twice", lambda v: 2 * v)
        data = columns(3000)
        for text in FORMULAS + ["twice(x)-y"]:
            with self.subTest(text=text):
                compiled = e.compile(text, ["x", "y"])
                formula = e.prepare(text)
                rows = list(formula.eval_many(data))
                pairs = list(zip(data["x"], data["y"]))[::97]
                expected = [formula.eval({"x": x, "y": y}) for x, y in pairs]
                seen = []

                def work():
                    seen.append(([compiled.eval(x, y) for x, y in pairs],
                                 list(compiled.eval_many([data["x"], data["y"]], threads=1)),
                                 list(compiled.eval_many(data))))

                threads = [threading.Thread(target=work) for _ in range(3)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                for values, by_place, by_name in seen:
                    self.assertEqual(repr(values), repr(expected))
                    self.assertEqual(repr(by_place), repr(rows))
                    self.assertEqual(repr(by_name), repr(rows))

    def test_names_are_checked_and_it_outlives_its_evaluator(self):
        e = Evaluator()
        with self.assertRaises(ExpressionError):
            e.compile("x+zz", ["x"])
        compiled = e.compile("x*2+sin(1)", ["x"])
        del e
        self.assertEqual(compiled.eval(1.5), Evaluator().eval("1.5*2+sin(1)"))
        self.assertEqual(compiled.names, ["x"])
        with self.assertRaises(TypeError):
            compiled.eval(1, 2)
        with self.assertRaises(ValueError):
            compiled.eval_many({"y": [1.0]})


if __name__ == "__main__":
    unittest.main()

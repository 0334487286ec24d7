"""What a Python program sees of Velmoratrix."""
import gc
import math
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import Velmoratrix
from Velmoratrix import Evaluator, evaluate, mp_RPN
from interpreter import EMULATED, python

PI = 3.141592653589793
E = 2.718281828459045
STIRLING_5 = 118.0191679575901


class EvaluateTest(unittest.TestCase):
    def test_values(self):
        cases = [
            ("3+4*2/(1-5)^2^3", 3 + 2 ** -13),
            ("pi", PI),
            ("sin(pi/2)+cos(0)", 2.0),
            ("5!", 120.0),
            ("1000!/1000!", 1.0),
            ("2 + 3", 5.0),
            ("", 0.0),
            ("2*", 0.0),
            ("1/0", math.inf),
            ("1.5*2", 3.0),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                result = evaluate(text)
                self.assertIs(type(result), float)
                self.assertEqual(result, expected)

    def test_failures_raise_stod(self):
        cases = [("y", ValueError), ("-pi", ValueError), ("(1+2", ValueError), ("1e999", IndexError)]
        for text, error in cases:
            with self.subTest(text=text):
                with self.assertRaises(error) as raised:
                    evaluate(text)
                self.assertEqual(str(raised.exception), "stod")

    def test_accepts_bytes_and_nul(self):
        self.assertEqual(evaluate(b"2*3"), 6.0)
        self.assertEqual(evaluate("1\x00junk+2"), 3.0)

    def test_argument_mismatch(self):
        for args in [(), (1.5,), ("1", "2")]:
            with self.subTest(args=args):
                with self.assertRaises(TypeError) as raised:
                    evaluate(*args)
                self.assertIn("evaluate(): incompatible function arguments", str(raised.exception))

    def test_version_and_problems_pickle(self):
        self.assertRegex(Velmoratrix.__version__, r"^\d+\.\d+\.\d+$")
        problem = Velmoratrix.check("1+")[0]
        self.assertEqual(pickle.loads(pickle.dumps(problem)), problem)

    def test_docstring(self):
        self.assertEqual(evaluate.__doc__, "evaluate(arg0: str) -> float\n")


class EvaluatorTest(unittest.TestCase):
    def test_construction(self):
        self.assertEqual(Evaluator().eval("5!"), STIRLING_5)
        for made in [Evaluator(True), Evaluator(accuracyOverEfficiency=True)]:
            self.assertEqual(made.eval("5!"), 120.0)
        self.assertEqual(Evaluator(None).eval("5!"), STIRLING_5)
        for bad in ["yes", [1]]:
            with self.subTest(bad=bad):
                with self.assertRaises(TypeError) as raised:
                    Evaluator(bad)
                self.assertIn("incompatible constructor arguments", str(raised.exception))

    def test_constants_need_registration(self):
        ev = Evaluator()
        self.assertEqual(list(ev.variables().items()), [("e", E), ("pi", PI)])
        with self.assertRaises(ValueError):
            ev.eval("pi")
        ev.append_variable("pi", PI)
        self.assertEqual(ev.eval("pi"), PI)

    def test_variables(self):
        ev = Evaluator()
        self.assertIsNone(ev.append_variable("x", 2))
        self.assertEqual(ev.eval("x*3"), 6.0)
        self.assertEqual(list(ev.variables()), ["e", "pi", "x"])
        self.assertEqual(ev.eval("x+1"), 3.0)
        with self.assertRaises(ValueError):
            ev.eval("x + 1")  # the token is "x " with its blank
        ev.append_variable(b"x", 5.0)  # bytes name the same variable
        self.assertEqual(ev.eval("x"), 5.0)
        self.assertEqual(list(ev.variables()), ["e", "pi", "x"])
        self.assertIsNone(ev.delete_variable("never"))
        ev.delete_variable("x")
        self.assertNotIn("x", ev.variables())
        with self.assertRaises(TypeError):
            ev.append_variable("x", "1")

    def test_failures(self):
        ev = Evaluator()
        with self.assertRaises(ValueError) as raised:
            ev.eval("y")
        self.assertEqual(str(raised.exception), "stod")
        with self.assertRaises(IndexError) as raised:
            ev.eval("1e999")
        self.assertEqual(str(raised.exception), "stod")
        self.assertEqual(ev.eval(""), 0.0)
        self.assertEqual(ev.eval("2*3"), 6.0)  # usable after every failure

    def test_undecodable_name(self):
        ev = Evaluator()
        ev.append_variable(b"\xff", 1.0)
        with self.assertRaises(UnicodeDecodeError):
            ev.variables()
        self.assertEqual(ev.eval("1+1"), 2.0)
        self.assertEqual(ev.eval(b"\xff*4"), 4.0)

    def test_deleting_engine_constants(self):
        ev = Evaluator()
        ev.delete_variable("pi")  # the engine's own cell: unregistered, not freed
        ev.delete_variable("e")
        self.assertEqual(ev.variables(), {})
        ev.append_variable("pi", 3.0)
        self.assertEqual(ev.eval("pi"), 3.0)
        ev.delete_variable("pi")
        self.assertEqual(ev.variables(), {})

    def test_docstrings(self):
        self.assertEqual(Evaluator.eval.__doc__, "eval(self: Velmoratrix.Evaluator, arg0: str) -> float\n")
        self.assertEqual(
            Evaluator.__init__.__doc__,
            "__init__(self: Velmoratrix.Evaluator, accuracyOverEfficiency: bool = False) -> None\n")
        self.assertEqual(Evaluator.variables.__doc__,
                         "variables(self: Velmoratrix.Evaluator) -> Dict[str, float]\n")

    def test_subclass_is_accepted_as_self(self):
        class Mine(Evaluator):
            pass

        self.assertEqual(Mine(True).eval("3!"), 6.0)

    def test_memory_stays_flat(self):
        def cycles(ev, n):
            for i in range(n):
                ev.append_variable("x", i)
                ev.append_variable("x", i)  # replaces the cell
                ev.eval("x+1")
                ev.eval("x+")
                try:
                    ev.eval("q")
                except ValueError:
                    pass
                ev.delete_variable("x")
            ev.append_variable("kept", 1.0)

        def growth(ev):
            before = resident_bytes()
            cycles(ev, 50000)
            for _ in range(2000):
                Evaluator().append_variable("x", 1.0)  # cells left at deallocation
            return resident_bytes() - before

        # A leak grows every window; another library's allocator, left busy
        # by an earlier test (polars' and Arrow's), may grow one once.
        ev = Evaluator()
        cycles(ev, 10000)
        self.assertLess(min(growth(ev) for _ in range(3)), 512 * 1024)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class HostileCallerTest(unittest.TestCase):
    def test_variables_reads_cells_before_making_objects(self):
        # A finalizer run by a collection that the call's own allocations
        # start deletes the very variables being listed: each name listed
        # must show what its cell held, never released memory.
        ev = Evaluator()
        names = ["v%d" % i for i in range(50)]

        class Meddler:
            def __del__(self):
                for name in names:
                    ev.delete_variable(name)

        threshold = gc.get_threshold()
        try:
            for _ in range(50):
                for name in names:
                    ev.append_variable(name, 1.0)
                cycle = Meddler()
                cycle.self = cycle
                del cycle
                listing = ev.variables
                gc.set_threshold(1)
                listed = listing()
                gc.set_threshold(*threshold)
                self.assertEqual({listed[n] for n in names if n in listed} - {1.0}, set())
        finally:
            gc.set_threshold(*threshold)

    def test_objects_never_initialised_raise_type_error(self):
        bare = Evaluator.__new__(Evaluator)
        calls = [lambda: bare.eval("1"), lambda: bare.append_variable("x", 1.0),
                 lambda: bare.delete_variable("x"), bare.variables]
        record = mp_RPN.__new__(mp_RPN)
        calls += [lambda: record.RPN, lambda: setattr(record, "RPN", "x")]
        for call in calls:
            with self.assertRaisesRegex(TypeError, "__init__ was never called"):
                call()

    @unittest.skipIf(EMULATED, "the emulator keeps memory of its own for every thread")
    def test_a_thread_per_call_keeps_memory_flat(self):
        ev = Evaluator()
        texts = ["+".join(["1"] * 200) + "+", "+".join(["1"] * 200)]

        def calls(n):
            for i in range(n):
                worker = threading.Thread(target=ev.eval, args=(texts[i % 2],))
                worker.start()
                worker.join()

        calls(300)
        before = resident_bytes()
        calls(3000)
        self.assertLess(resident_bytes() - before, 8 << 20)

    def test_many_short_lived_evaluators_keep_memory_flat(self):
        # The last failed record's lists and the registered cells go with
        # each evaluator.
        def cycles(n):
            for _ in range(n):
                Evaluator().eval("2*")
                Evaluator().append_variable("x", 1.0)

        cycles(20000)
        before = resident_bytes()
        cycles(200000)
        self.assertLess(resident_bytes() - before, 4 << 20)

    def test_exit_and_fork_while_another_thread_is_inside_a_call(self):
        # Daemon threads inside eval_many when the interpreter exits, one of
        # them calling Python for every element; and a child process forked
        # while a thread holds the evaluator, whose calls must not wait for it.
        exit_script = (
            "import threading, time, Velmoratrix\n"
            "ev = Velmoratrix.Evaluator()\n"
            "ev.append_function('f', lambda x: x + 1)\n"
            "threading.Thread(target=ev.eval_many, args=('f(x)', {'x': [1.0] * 10**7}),\n"
            "                 daemon=True).start()\n"
            "time.sleep(0.2)\n"
            "class Slow:  # teardown outlasts the call\n"
            "    def __del__(self, sleep=time.sleep):\n"
            "        sleep(1.5)\n"
            "keeper = Slow()\n")
        fork_script = (
            "import os, signal, threading, time, Velmoratrix\n"
            "ev = Velmoratrix.Evaluator()\n"
            "inside = threading.Event()\n"
            "def slow(x):\n"
            "    inside.set(); time.sleep(1); return x\n"
            "ev.append_function('slow', slow)\n"
            "ev.append_function('f', lambda x: x + 1)\n"
            "ev.syntax = 'standard'\n"
            "threading.Thread(target=ev.eval, args=('slow(1)',)).start()\n"
            "inside.wait()\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    signal.alarm(20)  # a hang ends the child\n"
            "    kept = ev.eval('f(1) + max(1, 2)') == 4.0  # its functions and its syntax\n"
            "    ev.syntax = 'classic'\n"
            "    kept = kept and ev.eval('f(1)') == 2.0\n"
            "    os._exit(0 if kept and ev.eval('2*3') == 6.0 and ev.eval_with('x', {'x': 1}) == 1\n"
            "             else 3)\n"
            "_, status = os.waitpid(pid, 0)\n"
            "assert status == 0, status\n")
        for script in [exit_script, fork_script]:
            with self.subTest(script=script.splitlines()[-1]):
                run = subprocess.run(python() + ["-c", script], stderr=subprocess.PIPE,
                                     universal_newlines=True, timeout=60)
                self.assertEqual(run.returncode, 0, run.stderr)

    def test_released_memory_goes_back(self):
        # Under an address-space limit, what a huge failed evaluation held must
        # be free again for a large allocation afterwards.
        for use in ["ev = Velmoratrix.Evaluator()\nassert ev.eval(TEXT) == 0.0\ndel ev\n",
                    "assert Velmoratrix.evaluate(TEXT) == 0.0\n"]:
            script = ("import resource, Velmoratrix\n"
                      "resource.setrlimit(resource.RLIMIT_AS, (1100 << 20, 1100 << 20))\n"
                      "TEXT = '1+' * 1500000\n" + use + "block = bytearray(800000000)\n")
            run = subprocess.run(python() + ["-c", script], stderr=subprocess.PIPE,
                                 universal_newlines=True)
            self.assertEqual(run.returncode, 0, use + run.stderr)


class RecordTest(unittest.TestCase):
    def test_rpn_is_writable(self):
        self.assertIsNotNone(mp_RPN.RPN.fset)
        self.assertEqual(mp_RPN.RPN.fset.__doc__, "(self: Velmoratrix.mp_RPN, arg0: str) -> None\n")
        self.assertEqual(mp_RPN.RPN_values.fset.__doc__,
                         "(self: Velmoratrix.mp_RPN, arg0: List<Token>) -> None\n")

    def test_no_constructor(self):
        with self.assertRaises(TypeError) as raised:
            mp_RPN()
        self.assertTrue(str(raised.exception).endswith(": No constructor defined!"))
        self.assertEqual(sorted(n for n in vars(mp_RPN) if not n.startswith("_")), ["RPN", "RPN_values"])


class VersionCheckTest(unittest.TestCase):
    """A module built for another interpreter refuses to load."""

    def test_other_build_refuses(self):
        dirs = [d for d in os.environ.get("VELMO_OTHER_MODULE_DIRS", "").split(":") if d]
        if not dirs:
            self.skipTest("no module built for another interpreter")
        for directory in dirs:
            package = os.path.join(directory, "Velmoratrix")
            (built,) = [f for f in os.listdir(package) if f.startswith("_engine")]
            with tempfile.TemporaryDirectory() as tmp:
                shutil.copy(os.path.join(package, built), os.path.join(tmp, "Velmoratrix.so"))
                run = subprocess.run(python() + ["-c", "import Velmoratrix"], cwd=tmp,
                                     stderr=subprocess.PIPE, universal_newlines=True)
            self.assertNotEqual(run.returncode, 0)
            if "undefined symbol" in run.stderr:
                # A C API the interpreters do not share (3.13 renamed some):
                # the loader refuses before the module's own check can run.
                self.assertIn("ImportError", run.stderr)
                continue
            compiled_for = os.path.basename(directory)[len("python"):]
            expected = ("ImportError: Python version mismatch: module was compiled for Python %s, "
                        "but the interpreter version is incompatible: %s." % (compiled_for, sys.version))
            self.assertIn(expected, run.stderr)


if __name__ == "__main__":
    unittest.main()

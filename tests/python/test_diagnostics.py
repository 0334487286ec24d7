"""Diagnostics: check, names, explain, and the calculator on the command line."""
import contextlib
import io
import os
import random
import subprocess
import sys
import time
import unittest
from unittest import mock

import Velmoratrix
from Velmoratrix import Evaluator, Problem
from interpreter import python


def fails(ev, text):
    """Whether eval raises or gives the failure value (explain tells the two 0.0s apart)."""
    try:
        ev.eval(text)
    except (ValueError, IndexError):
        return True
    return ev.explain(text)["failure"] is not None


class CheckTest(unittest.TestCase):
    def test_problems_and_where_they_are(self):
        ev = Evaluator()
        ev.append_variable("x", 2.0)
        ev.append_variable("7.5", 7.0)
        ev.append_variable("é", 1.0)
        # text, then (position, length, severity, words of the message) of each problem
        cases = [
            ("x + 1", [(0, 2, "error", "blanks belong to names")]),
            ("sin (0)", [(0, 4, "error", "blank before '('")]),
            ("y*2", [(0, 1, "error", "no number and no registered name")]),
            ("pi", [(0, 2, "error", "not registered")]),
            ("1e999+1", [(0, 5, "error", "beyond the range")]),
            ("2*(-3)", [(3, 1, "error", "no left operand")]),
            ("2*", [(1, 1, "error", "no right operand")]),
            ("sin()", [(0, 3, "error", "has no argument")]),
            ("sqrt", [(0, 4, "error", "write its argument in parentheses")]),
            ("2(3)", [(1, 1, "error", "no operator between '2' and '('")]),
            ("sin(1,2)", [(5, 1, "error", "','")]),
            ("", [(0, 0, "error", "empty")]),
            ("(1+2", [(0, 1, "error", "never closed")]),
            ("1+2)*3", [(3, 1, "warning", "closes everything before it")]),
            ("2abc", [(0, 4, "warning", "'abc' is ignored")]),
            ("1 2", [(0, 3, "warning", "' 2' is ignored")]),
            ("1e-2", [(0, 2, "warning", "without a signed exponent, as '0.01'")]),
            ("1e-18", [(0, 2, "warning", "as '0.000000000000000001'")]),
            ("1e-19", [(0, 2, "warning", "such as 0.00001 for 1e-5")]),  # too long to spell
            ("2*(+3)", [(3, 1, "error", "no left operand")]),
            ("log(x)", [(0, 3, "error", "whose functions are acos, asin")]),
            ("x**2", [(1, 2, "error", "write '^' for a power")]),
            ("x>1", [(0, 3, "error", "no comparisons")]),
            ("1 - q", [(3, 2, "error", "blanks belong to names and numbers")]),
            ("x*7.5", [(2, 3, "warning", "variable '7.5' stands here")]),
            ("é+y", [(2, 1, "error", "'y'")]),  # positions count characters
            ("x*x+1", []),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                problems = ev.check(text)
                self.assertTrue(all(isinstance(p, Problem) for p in problems))
                self.assertEqual([p[:3] for p in problems], [e[:3] for e in expected])
                for problem, (_, _, _, words) in zip(problems, expected):
                    self.assertIn(words, problem.message)
        self.assertEqual(Velmoratrix.check("pi*2"), [])  # the engine of evaluate knows pi
        self.assertNotIn("negate", ev.check("2*(+3)")[0].message)  # that hint is for '-' 
        # Names still to be bound are known.
        self.assertEqual(ev.check("price*qty", names=["price", b"qty"]), [])
        self.assertEqual(Velmoratrix.check("pi*r^2", names={"r"}), [])
        self.assertEqual([p.position for p in ev.check("a*b", names=("a",))], [2])

    def test_errors_are_exactly_the_failures_of_eval(self):
        alphabet = "0123456789.eE" + "xysincoqrtp" + "!%*+-/^(),  "
        rng = random.Random(5)
        for flag in (False, True):
            ev = Evaluator(flag)
            ev.append_variable("x", 2.0)
            ev.append_variable("sin", 0.5)
            for _ in range(2500):
                text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(12)))
                errors = [p for p in ev.check(text) if p.severity == "error"]
                self.assertEqual(bool(errors), fails(ev, text), (text, errors))

    def test_never_raises_and_changes_nothing(self):
        ev = Evaluator()
        ev.append_variable("x", 1.0)
        before = ev.variables()
        rng = random.Random(9)
        for _ in range(500):
            text = "".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0xD800, 0xE000),
                                           rng.randrange(0x80, 0x3000)])) for _ in range(8))
            for problem in ev.check(text) + Velmoratrix.check(text):
                self.assertLessEqual(problem.position + problem.length, len(text))
        self.assertEqual(ev.variables(), before)


class NamesAndExplainTest(unittest.TestCase):
    def test_names(self):
        ev = Evaluator()
        ev.append_variable("x", 1.0)
        self.assertEqual(ev.names("x*y+sin(z)-2+x"), ["x", "y", "z"])
        self.assertEqual(ev.names("pi*r^2"), ["pi", "r"])
        self.assertEqual(ev.names("inf+nan+2abc+1e999"), [])  # they read as numbers

    def test_what_a_hostile_text_can_make_is_bounded(self):
        ev = Evaluator()
        for k in range(100):
            ev.append_function("f%d" % k, abs)
        started = time.monotonic()
        for text in ["1" + "-" * 10**6 + "1", "+" * 10**6, "q(1)+" * 20000 + "1"]:
            problems = ev.check(text)
            self.assertEqual(len(problems), 1001)
            self.assertRegex(problems[-1].message, r"^\d+ more problems were left out")
            self.assertEqual(problems[-1].severity, "error")  # eval fails: so does check
            self.assertLess(sum(len(p.message) for p in problems), 400 * 1001)
        self.assertLess(time.monotonic() - started, 30)
        self.assertIn("f99", ev.check("q(1)+q(2)")[0].message)  # the functions, named once
        self.assertNotIn("f99", ev.check("q(1)+q(2)")[1].message)
        with self.assertRaisesRegex(ValueError, "more than the 65536 explain reads"):
            ev.explain("(" * 2 * 10**6)
        standard = Evaluator()
        standard.syntax = "standard"
        chained = "`" + "n" * 30000 + "`"
        for _ in range(12):  # each chain writes its middle value again
            chained = "(0 < %s < 1)" % chained
        with self.assertRaisesRegex(ValueError, "steps of this text spell"):
            standard.explain(chained)
        with self.assertRaises(ValueError) as raised:
            standard.eval("x" * 100000)
        self.assertLess(len(str(raised.exception)), 200)
        for e in (ev, standard):  # a long token is quoted short; where it stands stays exact
            problem = e.check("1+" + "x" * 100000)[0]
            self.assertEqual((problem.position, problem.length), (2, 100000))
            self.assertLess(len(problem.message), 200)

    def test_standard_mistakes_are_shown_where_they_are(self):
        ev = Evaluator()
        ev.syntax = "standard"
        for text, position, words in [("(2 x)", 3, "'x' follows a value"),
                                      ("sin(30°)", 6, "'°' follows a value"),
                                      ("max(1 2)", 6, "'2' follows a value"),
                                      ("1, 2", 1, "',' stands outside"),
                                      ("(2", 0, "'(' is never closed")]:
            (problem,) = ev.check(text)
            self.assertEqual((problem.position, problem.length), (position, 1), text)
            self.assertIn(words, problem.message)
        e = ev.explain("4 - -1")
        self.assertEqual(e["rpn"], ["4", "1", "-", "-"])
        self.assertEqual([(s["action"], s["stack"]) for s in e["steps"][2:]],
                         [("the negation '-' on the top value", [4.0, -1.0]),
                          ("the operator '-' on the top 2 values", [5.0])])
        self.assertEqual(ev.functions()[-6:], ["where", "if", "clip", "is_null", "fill_null",
                                              "coalesce"])
        self.assertEqual([s["token"] for s in ev.explain("not 1 and 0")["steps"]],
                         ["1", "not", "0", "and", "and"])
        self.assertEqual([t["text"] for t in ev.explain("`a b` + 1")["tokens"]], ["a b", "+", "1"])

    def test_warnings_where_the_language_surprises(self):
        ev = Evaluator(True)
        ev.append_variable("price qty", 2.0)
        table = [("-3!", 0, 2, "the factorial of -3"), ("2*-2^2", 2, 2, "a power of -2, not its"),
                 ("5.5%2", 0, 3, "'5.5' is cut to its whole part"), ("7%2.5", 2, 3, "whole part"),
                 ("price qty*2", 0, 9, "'price qty' is one name"),
                 ("1e-2", 0, 2, "the exponent's sign splits the number")]
        for text, position, length, words in table:
            value = ev.eval(text)  # the value stays what the language says
            (problem,) = ev.check(text)
            self.assertEqual((problem.severity, problem.position, problem.length),
                             ("warning", position, length), text)
            self.assertIn(words, problem.message)
            self.assertEqual(ev.eval(text), value)
        self.assertEqual(ev.check("3%2-(0-3)!"), [])
        self.assertEqual(ev.check("3!+1"), [])  # a factorial of a number without a sign
        self.assertIn("the standard syntax has log", ev.check("log(10)")[0].message)

    def test_explain_shows_the_minus_taking_the_two(self):
        e = Evaluator().explain("2*(-3)")
        self.assertEqual([(t["text"], t["kind"], t["position"]) for t in e["tokens"]][:4],
                         [("2", "operand", 0), ("*", "operator", 1), ("", "operand", 2),
                          ("(", "separator", 2)])
        self.assertEqual(e["rpn"], ["2", "3", "-", "*"])
        self.assertEqual([s["stack"] for s in e["steps"]], [[2.0], [2.0, 3.0], [-1.0]])
        self.assertIsNone(e["result"])
        self.assertIn("'*' needs 2 values and finds 1", e["failure"])
        done = Evaluator(True).explain("3!+1")
        self.assertEqual((done["result"], done["failure"]), (7.0, None))


class CommandLineTest(unittest.TestCase):
    def run_cli(self, *args, stdin=""):
        return subprocess.run(python() + ["-m", "Velmoratrix"] + list(args), input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, env=dict(os.environ))

    def test_values_and_exit_statuses(self):
        run = self.run_cli("3+4*2/(1-5)^2^3", "5!", "pi")
        self.assertEqual((run.returncode, run.stdout), (0, "3.0001220703125\n120.0\n3.141592653589793\n"))
        run = self.run_cli("--fast", "5!", "-v", "x=2", "x*y", "-v", "y=1.5")
        self.assertEqual((run.returncode, run.stdout), (0, "118.0191679575901\n3.0\n"))
        run = self.run_cli("x + 1", "-v", "x=2")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr.splitlines()[:2], ["  x + 1", "  ^^"])
        self.assertIn("blanks belong to names", run.stderr)
        for bad in (["-v", "x"], ["-v", "x=abc"], ["--nope"], ["--check", "--explain", "1"]):
            self.assertEqual(self.run_cli(*bad).returncode, 2, bad)
        # A leading '-' starts an expression, and after '--' everything does.
        run = self.run_cli("-2*3", "-v", "x=-1", "--", "-1+x", "--fast")
        self.assertEqual((run.stdout, run.returncode), ("-6.0\n-2.0\n", 1))  # "--fast" fails

    def test_a_reader_that_leaves_early(self):
        reader = subprocess.Popen(python() + ["-m", "Velmoratrix"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader.stdout.close()  # as "| head -0" does
        _, err = reader.communicate("1+1\n".encode() * 100000)
        self.assertEqual((reader.returncode, err), (1, b""))

    def test_a_long_line_prints_a_bounded_report(self):
        for args in (["+" * 10000], ["--check", "1+" * 5000 + "(2 3"]):
            run = self.run_cli(*args)
            self.assertEqual(run.returncode, 1)
            self.assertLess(len(run.stdout + run.stderr), 5000)
            self.assertIn("…", run.stdout + run.stderr)

    def test_check_and_explain(self):
        run = self.run_cli("--check", "2*(-3)")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout.splitlines()[:2], ["  2*(-3)", "     ^"])
        self.assertEqual(self.run_cli("--check", "1+1").returncode, 0)
        run = self.run_cli("--explain", "2*(-3)")
        self.assertEqual(run.returncode, 1)
        self.assertIn("reverse Polish order: 2 3 - *", run.stdout)
        self.assertIn("'-'    the operator '-' on the top two values  -1.0", run.stdout)

    def test_lines_from_standard_input(self):
        run = self.run_cli(stdin="r = 2\npi*r^2\n\ny\nr*3\nquit\n1\n")
        self.assertEqual(run.stdout, "12.566370614359172\n6.0\n")
        self.assertEqual(run.returncode, 1)  # the line "y" failed
        self.assertIn("  y\n  ^\nerror:", run.stderr)

    def test_failures_end_in_a_message_never_a_traceback(self):
        for args, stdin, status in [([b"-v", b"\xff=1", b"1"], b"", 2),
                                    ([], b"\xff = 2\n", 1),
                                    ([b"--explain", b"1+" * 40000 + b"1"], b"", 1),
                                    ([], b"3>=2\nx==1\n", 1)]:  # expressions, not bindings
            run = subprocess.run([os.fsencode(a) for a in python()] + [b"-m", b"Velmoratrix"] + args,
                                 input=stdin, capture_output=True)
            self.assertEqual(run.returncode, status, args)
            self.assertNotIn(b"Traceback", run.stderr)
        self.assertIn(b"'3>=2' reads as the number '3'", run.stderr)

    def test_prompt_commands(self):
        run = self.run_cli(stdin="2*3\nans+1\nvars\nhelp\n")
        lines = run.stdout.splitlines()
        self.assertEqual(lines[:3], ["6.0", "7.0", "ans = 7.0"])
        self.assertIn("functions: ", run.stdout)
        self.assertIn("commands: ", run.stdout)
        run = self.run_cli("-x")
        self.assertEqual(run.returncode, 2)
        self.assertIn("write -- -x", run.stderr)

    def test_ctrl_c_at_the_prompt_clears_the_line_and_twice_leaves(self):
        from Velmoratrix import __main__ as calculator
        answers = iter(["1+1", KeyboardInterrupt, "2+2", KeyboardInterrupt, KeyboardInterrupt,
                        "3+3"])

        def typed(prompt):
            answer = next(answers)
            if answer is KeyboardInterrupt:
                raise KeyboardInterrupt
            return answer

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        with mock.patch("builtins.input", typed), contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(list(calculator.lines(Terminal())), ["1+1", "2+2"])


if __name__ == "__main__":
    unittest.main()

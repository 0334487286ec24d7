"""The standard syntax: what people type, read as they mean it."""
import copy
import math
import pickle
import random
import re
import struct
import unittest
from fractions import Fraction

from Velmoratrix import Evaluator, ExpressionError


def standard(flag=False):
    ev = Evaluator(flag)
    ev.syntax = "standard"
    return ev


def bits(value):
    return struct.pack("<d", value)


def arithmetic(rng, depth):
    """A random text of numbers, + - * / ( ), // and % of whole numbers, unary minus, blanks and
    calls whose arguments hold operators (min, max, abs: Python reads them alike)."""
    blank = lambda: rng.choice(["", "", " ", "  ", "\t"])
    if depth == 0 or rng.random() < 0.3:
        return rng.choice([str(rng.randrange(0, 100)), "%d.%02d" % (rng.randrange(10), rng.randrange(100))])
    kind = rng.random()
    if kind < 0.15:
        return "-" + blank() + arithmetic(rng, depth - 1)
    if kind < 0.3:
        return "(" + blank() + arithmetic(rng, depth - 1) + blank() + ")"
    if kind < 0.45:
        args = [arithmetic(rng, depth - 1) for _ in range(1 if rng.random() < 0.3 else 2)]
        name = "abs" if len(args) == 1 else rng.choice(["min", "max"])
        return name + "(" + blank() + ("," + blank()).join(args) + ")"
    left, right = arithmetic(rng, depth - 1), arithmetic(rng, depth - 1)
    # Python's // and % between whole numbers: exact, as Fraction reads them too
    ops = ["+", "-", "*", "/"] + (["//", "%"] if left.isdigit() and right.isdigit() else [])
    return left + blank() + rng.choice(ops) + blank() + right


def exactly(text):
    """Python's own reading of the text, with every number an exact fraction."""
    return eval(re.sub(r"\d+(\.\d+)?", lambda m: "Fraction('%s')" % m.group(), text.replace("\t", " ")))


def both_ways(rng, depth):
    """A text the specified language and the standard syntax both read, without blanks or signs."""
    if depth == 0 or rng.random() < 0.25:
        return rng.choice(["2", "0.5", "3.25", "7", "x", "y", "10", "0.1"])
    kind = rng.random()
    inner = both_ways(rng, depth - 1)
    if kind < 0.1:
        return rng.choice(["sin(", "sqrt(", "atan("]) + inner + ")"
    if kind < 0.2:
        return "(" + inner + ")!" if rng.random() < 0.5 else "(" + inner + ")"
    # (a '-' right after '!' would be a sign in the specified language)
    op = rng.choice(["+", "*", "/"] + ([] if inner.endswith("!") else ["-"]))
    return inner + op + both_ways(rng, depth - 1)


class StandardSyntaxTest(unittest.TestCase):
    def test_arithmetic_as_python_means_it(self):
        rng = random.Random(20)
        ev = standard()
        for _ in range(3000):
            text = arithmetic(rng, rng.randrange(1, 6))
            try:
                exact = exactly(text)
            except ZeroDivisionError:
                continue
            got = ev.eval(text)
            if not set("/.") & set(text):  # integers added and multiplied: Python's eval, exactly
                self.assertEqual(got, float(eval(text.replace("\t", " "))), text)
            self.assertLessEqual(abs(Fraction(got) - exact), Fraction(1, 10**12) * max(1, abs(exact)),
                                 text)

    def test_nan_in_min_and_max_and_names_given_later(self):
        ev = standard()
        ev.append_variable("n", math.nan)
        for text in ["min(n, 50)", "min(50, n)", "max(n, 50)", "max(50, n)"]:
            self.assertTrue(math.isnan(ev.eval(text)), text)
        self.assertEqual((ev.eval("min(3, 50)"), ev.eval("max(-0.5, -2)")), (3.0, -0.5))
        formula = ev.prepare("price * (1 - rate)")  # columns or values still to come
        self.assertEqual(list(formula.eval_many({"price": [100.0], "rate": 0.25})), [75.0])
        with self.assertRaisesRegex(ExpressionError, "'price' is no registered name"):
            formula.eval()
        ev.append_variable("price", 10.0)
        ev.append_variable("rate", 0.5)
        self.assertEqual(formula.eval(), 5.0)
        with self.assertRaises(ExpressionError) as raised:
            ev.prepare("price *")
        self.assertEqual(repr(raised.exception), "ExpressionError('the expression ends where a"
                         " value should follow (at 7)', position=7, text='price *')")

    def test_texts_of_both_languages_give_the_same_bits(self):
        rng = random.Random(21)
        for flag in (False, True):
            classic, ev = Evaluator(flag), standard(flag)
            for e in (classic, ev):
                e.append_variable("x", 1.5)
                e.append_variable("y", -3.0)
            for _ in range(2000):
                text = both_ways(rng, rng.randrange(1, 6))
                self.assertEqual(bits(ev.eval(text)), bits(classic.eval(text)), (text, flag))

    def test_check_has_an_error_exactly_where_eval_raises(self):
        rng = random.Random(22)
        ev = standard()
        ev.append_variable("x", 2.0)
        pieces = ["x", "y", "1", "2.5", "1e-3", " ", "+", "-", "*", "**", "/", "%", "^", "!", "(",
                  ")", ",", "sin(", "min(", "log", "1e999", "$", "\n"]
        for _ in range(5000):
            text = "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 8)))
            problems = ev.check(text)
            try:
                ev.eval(text)
                self.assertEqual(problems, [], text)
            except ExpressionError as e:
                self.assertEqual(problems, e.problems, text)
                self.assertEqual((e.position, e.text), (problems[0].position, text))
                self.assertIsInstance(e, ValueError)

    def test_the_switch(self):
        ev = Evaluator(True)
        classic_functions = ev.functions()
        self.assertEqual(ev.syntax, "classic")
        ev.syntax = "standard"
        self.assertEqual(ev.functions()[:len(classic_functions)], classic_functions)
        self.assertIn("atan2", ev.functions())
        for twin in (pickle.loads(pickle.dumps(ev)), copy.deepcopy(ev)):
            self.assertEqual((twin.syntax, twin.eval("-2 ** 2")), ("standard", -4.0))
        self.assertEqual(list(ev.eval_many("-x * 2", {"x": [1.0, 2.0]})), [-2.0, -4.0])
        with self.assertRaisesRegex(ExpressionError, "'q' is no registered name"):
            ev.eval_many("q", {"x": [1.0]})
        self.assertEqual(ev.check("a * b", names=["a", "b"]), [])
        ev.syntax = "classic"
        self.assertEqual(ev.functions(), classic_functions)
        self.assertEqual(ev.eval("2*(-3)"), 0.0)  # the specified language again
        with self.assertRaisesRegex(ValueError, "must be \"classic\" or \"standard\""):
            ev.syntax = "python"
        ev.syntax = "standard"
        ev.append_function("abs", math.fabs)  # a caller's own, in place of the standard one
        ev.syntax = "classic"
        self.assertIn("abs", ev.functions())
        # A standard function deleted stays deleted: across switches, in copies.
        ev.delete_function("exp")
        ev.cache_size = 3
        ev.syntax = "standard"
        for twin in (ev, pickle.loads(pickle.dumps(ev)), copy.copy(ev), copy.deepcopy(ev)):
            self.assertEqual(twin.cache_size, 3)
            self.assertNotIn("exp", twin.functions())
            with self.assertRaisesRegex(ExpressionError, "'exp' is no function"):
                twin.eval("exp(1)")
        ev.append_function("exp", math.exp)
        self.assertEqual(ev.eval("exp(0)"), 1.0)
        self.assertEqual(standard().check(""), [(0, 0, "error", "the expression is empty")])
        self.assertEqual(standard().check("1 $")[0], (2, 1, "error",
                                                      "'$' is not part of the language"))

    def test_numbers_are_numbers(self):
        # A variable spelled like a number the text uses (also the -1 that
        # negates) changes nothing: the text is read as written.
        for name, text, value in [("1", "-x", -3.0), ("0", "-x", -3.0), ("2", "2+x", 5.0),
                                  ("0.5", "x*.5e0", 1.5)]:
            ev = standard()
            ev.append_variable("x", 3.0)
            ev.append_variable(name, 7.0)
            self.assertEqual(ev.eval(text), value, text)
            self.assertEqual(ev.names(text), ["x"])

    def test_every_float_reads_back_from_its_repr(self):
        # Subnormals too: the nearest double, as float() reads them; below
        # them a literal is 0, as float() gives.
        ev, rng = standard(), random.Random(5)
        for _ in range(3000):
            x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            if rng.random() < 0.5:
                x = math.ldexp(x, -1022) if math.isfinite(x) else 5e-324
            if math.isfinite(x):
                self.assertEqual(struct.pack("<d", ev.eval(repr(x))), struct.pack("<d", x), repr(x))
        self.assertEqual((ev.eval("1e-400"), ev.eval("-1e-400")), (0.0, 0.0))
        self.assertEqual((ev.eval("1e3+1"), ev.eval("2.5E-1 * 4")), (1001.0, 1.0))
        self.assertEqual((ev.eval("2**3**2"), ev.check("``")[0][:2]), (512.0, (0, 2)))
        with self.assertRaisesRegex(ExpressionError, "beyond the range"):
            ev.eval("1e309")
        tiny = "0." + "0" * 323 + "5"
        self.assertEqual(ev.eval(tiny), 5e-324)
        with self.assertRaisesRegex(IndexError, "stod"):
            Evaluator().eval(tiny)  # the classic language as it always read it

    def test_a_computed_constant_exponent_is_one_power(self):
        # Whatever spells the exponent, a whole one is the product it denotes.
        ev, rng = standard(), random.Random(11)
        ev.append_variable("x", 1.1)
        self.assertEqual(ev.eval("pi^2^3 - pi^8"), 0.0)
        for _ in range(300):
            n = rng.randrange(-40, 41)
            a = rng.randrange(-10, 11)
            spelled = rng.choice(["(%d+%d)" % (a, n - a), "(%d*2-%d)" % (n, n), "(%d)" % n,
                                  "(-(%d))" % -n, "(%d/2*2)" % n, "(2^3-8+%d)" % n,
                                  "sqrt(%d)" % (n * n) if n >= 0 else "(-sqrt(%d))" % (n * n)])
            self.assertEqual(ev.eval("x**" + spelled), ev.eval("x**%d" % n), spelled)


def logic(rng, depth):
    """A random text of the full standard language and the same formula in Python: integers and
    halves under + - *, comparisons (chained too), and/or/not and & | ~ over comparisons
    (Python's and/or give an operand, which is then 1 or 0 alike), where and c ? a : b."""
    if depth == 0 or rng.random() < 0.2:
        v = rng.choice(["0", "1", "2", "3", "0.5", "1.5", "x", "y"])
        return v, v
    kind = rng.random()
    a, pa = logic(rng, depth - 1)
    b, pb = logic(rng, depth - 1)
    if kind < 0.25:
        ops = [rng.choice(["<", "<=", ">", ">=", "==", "!="]) for _ in range(rng.randrange(1, 3))]
        terms = [(a, pa), (b, pb)] + [logic(rng, depth - 1) for _ in ops[1:]]
        text = " ".join("(%s) %s" % (t, o) for (t, _), o in zip(terms, ops)) + " (%s)" % terms[-1][0]
        py = " ".join("(%s) %s" % (p, o) for (_, p), o in zip(terms, ops)) + " (%s)" % terms[-1][1]
        return text, py
    if kind < 0.45:
        word = rng.choice(["and", "or"])
        return "(%s > %s) %s not (%s)" % (a, b, word, b), "(%s > %s) %s not (%s)" % (pa, pb, word, pb)
    if kind < 0.55:  # & | ~ as pandas.eval reads them: below the comparisons, ~ as not
        sym, word = rng.choice([("&", "and"), ("|", "or")])
        tilde = rng.choice(["", "~"])
        text = "(%s((%s) > (%s)) %s (%s) <= (%s))" % (tilde, a, b, sym, b, a)
        return text, "((%s((%s) > (%s))) %s ((%s) <= (%s)))" % (tilde and "not ", pa, pb, word, pb, pa)
    if kind < 0.7:
        c, pc = logic(rng, depth - 1)
        if rng.random() < 0.5:
            return "where(%s, %s, %s)" % (c, a, b), "((%s) if (%s) else (%s))" % (pa, pc, pb)
        return "((%s) ? (%s) : (%s))" % (c, a, b), "((%s) if (%s) else (%s))" % (pa, pc, pb)
    op = rng.choice("+-*")
    return "(%s) %s (%s)" % (a, op, b), "(%s) %s (%s)" % (pa, op, pb)


class StandardLanguageTest(unittest.TestCase):
    def test_precedence_as_python_reads_it(self):
        ev = standard()
        ev.append_variable("x", 2.0)
        cases = {  # text: what Python gives for the same formula
            "1 if 0 else 2": None, "0 ? 1 : 0 ? 3 : 4": 4, "1 ? 2 : 3 ? 4 : 5": 2,
            "0 or 1 and 0": 0, "not 0 and 0": 0, "not x > 3": 1, "1 < x < 3": 1, "3 > x > 2": 0,
            "x == 2 == 1": 0, "1 + 1 == 2": 1, "2 * 3 > 5": 1, "-x ** 2": -4, "2 ** -1 ** 2": 0.5,
            "3! + 1 > 6": 1, "x > 1 ? x * 10 : -1": 20, "1 or 0 ? 5 : 6": 5, "1 != 2 != 1": 1,
        }
        for text, expected in cases.items():
            if expected is None:
                with self.assertRaises(ExpressionError):
                    ev.eval(text)
                continue
            self.assertEqual(ev.eval(text), expected, text)

    def test_each_function_and_constant_once(self):
        ev = standard()
        nan, inf = math.nan, math.inf
        for text, expected in [
            ("isnan(nan) + isnan(1)", 1), ("isinf(-inf) + isinf(nan)", 1), ("isfinite(1) + isfinite(inf)", 1),
            ("sign(-3) + sign(2)", 0), ("sign(-0.0)", -0.0), ("round(2.5) + round(-0.5)", 2), ("trunc(-2.7)", -2),
            ("clip(5, 0, 3) + clip(-1, 0, 3)", 3), ("cbrt(-8)", -2), ("exp2(10)", 1024), ("expm1(0)", 0),
            ("log1p(0)", 0), ("sinh(0) + cosh(0) + tanh(0)", 1), ("asinh(0) + acosh(1) + atanh(0)", 0),
            ("min(3, 1, 2) + max(3, 1, 2) + min(4)", 8), ("pi", math.pi), ("e", math.e), ("inf", inf),
            ("where(0, 1, 2) + if(1, 10, 20)", 12), ("nan != nan", 1), ("nan == nan", 0), ("nan < 1", 0),
            ("not nan", 0), ("nan and 1", 1),
        ]:
            got = ev.eval(text)
            self.assertEqual((got, math.copysign(1, got)), (expected, math.copysign(1, expected)), text)
        for text in ["clip(nan, 0, 1)", "min(1, nan, 0)", "max(nan, 2)", "sign(nan)", "round(nan)"]:
            self.assertTrue(math.isnan(ev.eval(text)), text)
        for text, message in [("clip(1, 2)", "'clip' takes 3 arguments"), ("min()", "'min' takes 1 or more"),
                              ("isnan(1, 2)", "'isnan' takes 1 argument"), ("x = 1", "write '=='"),
                              ("1 + not 1", "'not' stands inside"), ("1 ? 2", "'?' has no ':'"),
                              ("`a", "never closed"), ("1 <", "ends where a value")]:
            with self.assertRaisesRegex(ExpressionError, message, msg=text):
                ev.eval(text)
        self.assertEqual(ev.check("(" * 1001 + "1")[0][:2], (1000, 1))  # nested too deep
        self.assertEqual(ev.check("x = 1")[0][:2], (2, 1))
        self.assertEqual([(t["text"], t["position"]) for t in ev.explain("-2 * +x")["tokens"]],
                         [("-", 0), ("2", 1), ("*", 3), ("+", 5), ("x", 6)])
        ev.append_variable("e", 5.0)  # a variable of a constant's name is the variable
        self.assertEqual(ev.eval("e"), 5.0)
        ev.append_variable("v9", 3.0)  # digits after the first byte belong to the name
        self.assertEqual(ev.eval("v9 * 2"), 6.0)
        self.assertEqual(list(ev.eval_many("pi * 2", {"pi": [1.0]})), [2.0])

    def test_logic_as_python_means_it(self):
        rng = random.Random(27)
        ev = standard()
        ev.append_variable("x", 1.5)
        ev.append_variable("y", -2.0)
        env = {"x": 1.5, "y": -2.0}
        for _ in range(3000):
            text, py = logic(rng, rng.randrange(1, 5))
            self.assertEqual(ev.eval(text), float(eval(py, env)), (text, py))

    def test_what_numpy_and_pandas_users_write(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("numpy is not installed for this interpreter")
        ev = standard()
        grid = [0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 7.0, -7.0, 3.0, 0.1, -0.3, 1e300, math.inf,
                -math.inf, math.nan, 44919211570.99927, 0.08502897391159495]
        # (the last two: a quotient that needs numpy's snap to a whole in extended precision too)
        a, b = (numpy.array(v) for v in zip(*[(x, y) for x in grid for y in grid]))
        with numpy.errstate(all="ignore"):  # Python's % and // as numpy computes them
            for text, want in [("a % b", numpy.remainder(a, b)), ("a // b", numpy.floor_divide(a, b)),
                               ("fmod(a, b)", numpy.fmod(a, b))]:
                got = ev.eval_many(text, {"a": a, "b": b})
                same = (numpy.isnan(got) & numpy.isnan(want)) | (
                    (got == want) & (numpy.signbit(got) == numpy.signbit(want)))
                self.assertTrue(same.all(), (text, a[~same], b[~same], got[~same]))
        ev.append_variable("x", 0.3)
        for ours, theirs in [("arcsin", "asin"), ("arccos", "acos"), ("arctan", "atan"),
                             ("arcsinh", "asinh"), ("arctanh", "atanh"), ("absolute", "abs")]:
            self.assertEqual(bits(ev.eval(ours + "(x)")), bits(ev.eval(theirs + "(x)")), ours)
        self.assertEqual(ev.eval("arccosh(x + 1) + arctan2(x, 2) + power(x, 2)"),
                         ev.eval("acosh(x + 1) + atan2(x, 2) + pow(x, 2)"))
        self.assertEqual((ev.eval("True and False"), ev.eval("True + True")), (0.0, 2.0))
        self.assertEqual(ev.eval_with("True", {"True": 5.0}), 5.0)  # a name of its own first
        for text, position in [("~1", 0), ("~x", 0), ("1 & 2 ~ 3", 6), ("a &", 3)]:
            with self.assertRaises(ExpressionError, msg=text) as raised:
                ev.eval(text)
            self.assertEqual(raised.exception.position, position, text)
        self.assertIn("bitwise", ev.check("~1")[0].message)
        self.assertEqual([ev.is_condition(t) for t in ["x > 1", "~(x > 1)", "x & 1", "x + 1", "x"]],
                         [True, True, True, False, False])
        self.assertEqual(ev.mask("x > 0.5", {"x": [0.0, 1.0, math.nan]}).tolist(), [False, True, False])

    def test_formulas_of_numexpr_and_pandas(self):
        try:
            import numexpr
            import numpy
            import pandas
        except ImportError:
            self.skipTest("numexpr, numpy and pandas are not installed for this interpreter")
        import Velmoratrix.pandas  # noqa: F401 (the accessor)
        rng = numpy.random.default_rng(5)
        frame = pandas.DataFrame({"a": rng.uniform(-2, 2, 5000), "b": rng.uniform(-2, 2, 5000)})
        columns = {"a": frame["a"].to_numpy(), "b": frame["b"].to_numpy()}
        for text, theirs in [  # pandas.eval's reading of & | ~; numexpr's where; Python's % //
                ("(a != b) & (a > b)", frame.eval), ("(a > 1) | (b < -1)", frame.eval),
                ("~(a > b) & (b > 0.5)", frame.eval), ("a > 0 & b < 0 | a < -1", frame.eval),
                ("arctan2(a, b) + arcsin(a / 2) + abs(b)", frame.eval),
                ("where(a > b, a, b) * 2", lambda t: numexpr.evaluate(t, columns)),
                ("(a + 1) % 0.5 + a // 0.25", lambda t: frame.eval(t, engine="python"))]:
            ours, want = frame.vx.eval(text), numpy.asarray(theirs(text))
            numpy.testing.assert_allclose(ours.to_numpy(dtype=float), want.astype(float),
                                          rtol=1e-13, atol=1e-15, err_msg=text)
            self.assertEqual(ours.dtype == bool, want.dtype == bool, text)
        for condition in ["a > b & b > 0", "~(a < 0)"]:
            pandas.testing.assert_frame_equal(frame.vx.query(condition), frame.query(condition))
        self.assertEqual(frame.vx.eval("a * rate", values={"rate": 2.0}).tolist(),
                         (frame["a"] * 2).tolist())
        with self.assertRaisesRegex(ValueError, "'a' is a column"):
            frame.vx.eval("a", values={"a": 1.0})

    def test_functions_of_any_count_and_quoted_names(self):
        ev = standard()
        ev.append_function("blend", lambda a, b, t: a + (b - a) * t, 3)
        ev.append_function("answer", lambda: 42.0, 0)
        ev.append_function("total", lambda *v: sum(v), 5)
        self.assertEqual(ev.eval("blend(10, 20, 0.25) + answer()"), 54.5)
        self.assertEqual(ev.eval("total(1, 2, 3, 4, 5)"), 15.0)
        with self.assertRaisesRegex(ExpressionError, "'blend' takes 3 arguments"):
            ev.eval("blend(1, 2)")
        columns = {"unit price": [2.0, 3.0], "tax.rate": 0.5, "qty": [1.0, 4.0]}
        text = "blend(`unit price` * qty, 0, `tax.rate`)"
        self.assertEqual(list(ev.eval_many(text, columns)), [1.0, 6.0])
        self.assertEqual(ev.eval_with(text, {k: (v[1] if isinstance(v, list) else v) for k, v in columns.items()}), 6.0)
        self.assertEqual(ev.names(text), ["unit price", "qty", "tax.rate"])
        problem = ev.check("`unit price` * q", names=["unit price"])[0]
        self.assertEqual((problem.position, problem.length), (15, 1))
        self.assertEqual(ev.check("`unit price` + 1")[0][:2], (1, 10))
        self.assertIn("blend", ev.functions())
        ev.syntax = "classic"  # a function of three arguments is a token without effect there
        self.assertEqual(ev.eval("blend(1,2,3)"), 0.0)
        formula = standard().prepare("x > 1 and x < 3 ? 1 : 0")
        self.assertEqual(list(formula.eval_many({"x": [0.0, 2.0]})), [0.0, 1.0])
        self.assertEqual(pickle.loads(pickle.dumps(standard())).eval("1 < 2 < 3"), 1.0)

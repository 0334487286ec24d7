"""Writes what an engine build gives for every text of the fuzzer's corpus and for random
texts, in both languages and with both flags, so that two builds (x87 and the software extended
type, or two platforms) can be compared byte for byte.

Usage: python differential.py CORPUS OUT   (with the build's module on PYTHONPATH)
       python differential.py --texts OUT  (the random texts, for tests/platforms/corpus_values)
"""
import os
import random
import struct
import sys

import Velmoratrix


def outcome(call, text):
    try:
        value = call(text)
        # every bit, a NaN's sign too
        return (value if isinstance(value, bytes) else struct.pack("<d", value)).hex()
    except Exception as error:  # the kind and text of a failure are part of the bits
        return "%s: %s" % (type(error).__name__, error)


def random_texts(count):
    """Texts of both languages over the engine's own arithmetic, with NaNs made and passed on.
    The C library's functions are left out but where their value is exact (a NaN, a square
    root): their last bits are each platform's own."""
    r = random.Random(44)
    atoms = ["x", "0", "1", "2", "3", "0.1", "7.25", "1e300", "1e-310", "(0-8)", "(0-0.5)"]

    def text(depth):
        k = r.randrange(8) if depth else 0
        if k == 0:
            return r.choice(atoms)
        if k <= 4:
            return "(%s%s%s)" % (text(depth - 1), r.choice("+-*/"), text(depth - 1))
        if k == 5:
            return "(%s^%s)" % (text(depth - 1), r.choice(["2", "3", "0.5", "(0-1)"]))
        if k == 6:
            return "sqrt(%s)" % text(depth - 1)
        return "%s(%s)" % (r.choice(["asin", "acos"]), r.choice(["2", "(0-1.5)", "1e300"]))

    return ["%s" % text(4) for _ in range(count)]


STANDARD = "standard:"  # a text of the standard syntax alone (its functions are the engine's)


def function_texts(count):
    """Standard texts over the syntax's own functions, whose bits are the same everywhere."""
    r = random.Random(45)
    unary = ["exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sinh", "cosh", "tanh",
             "asinh", "acosh", "atanh", "cbrt", "sin", "cos", "tan", "asin", "acos", "atan",
             "arcsin", "arctan"]
    atoms = ["x", "0", "1", "-1", "0.5", "3", "1e22", "1e300", "1e-310", "710", "-745", "0.999"]

    def text(depth):
        k = r.randrange(6) if depth else 0
        if k == 0:
            return r.choice(atoms)
        if k == 1:
            return "(%s%s%s)" % (text(depth - 1), r.choice("+-*/"), text(depth - 1))
        if k == 2:
            return "%s(%s, %s)" % (r.choice(["hypot", "atan2", "arctan2", "pow"]), text(depth - 1),
                                   text(depth - 1))
        if k == 3:
            return "(%s ** %s)" % (text(depth - 1), r.choice(["x", "0.5", "3", "-2", "1.7", "1e22",
                                                             text(depth - 1)]))
        return "%s(%s)" % (r.choice(unary), text(depth - 1))

    return [STANDARD + text(3) for _ in range(count)]


def main():
    if sys.argv[1] == "--texts":  # the random texts alone, one a line, for corpus_values
        with open(sys.argv[2], "w") as f:
            f.write("".join(text + "\n" for text in random_texts(3000) + function_texts(2000)))
        return
    corpus, out = sys.argv[1], sys.argv[2]
    engines = []
    for flag in (False, True):
        for syntax in ("classic", "standard"):
            engine = Velmoratrix.Evaluator(flag)
            engine.syntax = syntax
            engine.append_variable("x", 0.1)
            engines.append(engine)
    lines = [Velmoratrix.build_info()["arithmetic"]]
    rows = Velmoratrix.Evaluator(True)
    for k, text in enumerate(random_texts(3000)):
        lines.append("random%d %s" % (k, " | ".join(outcome(e.eval, text) for e in engines)))
        lines.append("random%d rows %s" % (k, outcome(
            lambda t: rows.eval_many(t, {"x": [0.5, -3.0, 1e300, float("nan")]}).tobytes(),
            text)))
    standard = [e for e in engines if e.syntax == "standard"]
    rows = Velmoratrix.Evaluator(True)
    rows.syntax = "standard"
    for k, text in enumerate(function_texts(2000)):
        text = text[len(STANDARD):]
        lines.append("function%d %s" % (k, " | ".join(outcome(e.eval, text) for e in standard)))
        lines.append("function%d rows %s" % (k, outcome(
            lambda t: rows.eval_many(t, {"x": [0.5, -3.0, 1e300, float("nan")]}).tobytes(),
            text)))
    for name in sorted(os.listdir(corpus)):
        with open(os.path.join(corpus, name), "rb") as f:
            text = f.read()
        if len(text) > 4096:
            continue
        text = text.decode("latin-1")
        lines.append(name + " " + " | ".join(outcome(e.eval, text) for e in engines))
        rows = Velmoratrix.Evaluator(True)
        lines.append(name + " rows " + outcome(
            lambda t: sum(rows.eval_many(t, {"x": [0.5, -3.0, 1e300]})), text))
    with open(out, "w") as f:
        f.write("\n".join(lines[1:]) + "\n")
    print("%s: %d lines" % (lines[0], len(lines) - 1))


if __name__ == "__main__":
    main()

"""Writes what an engine build gives for every text of the fuzzer's corpus, in both languages
and with both flags, so that two builds (x87 and the software extended type, or two platforms)
can be compared byte for byte.

Usage: python differential.py CORPUS OUT   (with the build's module on PYTHONPATH)
"""
import os
import struct
import sys

import Velmoratrix


def outcome(call, text):
    try:
        return struct.pack("<d", call(text)).hex()  # every bit, a NaN's sign too
    except Exception as error:  # the kind and text of a failure are part of the bits
        return "%s: %s" % (type(error).__name__, error)


def main():
    corpus, out = sys.argv[1], sys.argv[2]
    engines = []
    for flag in (False, True):
        for syntax in ("classic", "standard"):
            engine = Velmoratrix.Evaluator(flag)
            engine.syntax = syntax
            engine.append_variable("x", 0.1)
            engines.append(engine)
    lines = [Velmoratrix.build_info()["arithmetic"]]
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

"""Compares what two builds wrote with corpus_values: every line must be the same, but for texts
of both syntaxes whose value may go through the C library's pow (a power, a factorial), which
each C library rounds its own way where glibc's is not matched.

Usage: python compare.py REFERENCE OTHER CORPUS TEXTS
"""
import os
import sys


def main():
    reference, other, corpus, texts = sys.argv[1:5]
    with open(texts, "rb") as f:
        extra = f.read().split(b"\n")
    with open(reference, "rb") as f:
        expected = f.read().split(b"\n")
    with open(other, "rb") as f:
        got = f.read().split(b"\n")
    if len(expected) != len(got):
        sys.exit("%s has %d lines, %s %d" % (reference, len(expected), other, len(got)))
    powers = 0
    for mine, theirs in zip(expected, got):
        if mine == theirs:
            continue
        name = mine.split(b" ", 1)[0].decode()
        if name.startswith("text") and name[4:].isdigit():
            text = extra[int(name[4:])]
        else:
            with open(os.path.join(corpus, name), "rb") as f:
                text = f.read()
        standard = text.startswith(b"standard:")  # its pow is the engine's own
        if not standard and any(sign in text for sign in (b"^", b"**", b"pow", b"!")):
            powers += 1
            continue
        sys.exit("%s differs:\n%s\n%s" % (name, mine.decode("latin-1"), theirs.decode("latin-1")))
    print("%d lines the same; %d texts with a power differ in the C library's pow" % (
        len(expected) - powers, powers))


if __name__ == "__main__":
    main()

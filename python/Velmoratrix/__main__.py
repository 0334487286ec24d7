"""A calculator: python -m Velmoratrix [options] [expression ...]

Prints the value of each expression, a line each; without expressions, reads
one expression a line from standard input, where NAME = EXPRESSION binds a
variable for the lines after it, `ans` is the last value, and the commands
help, vars and quit are known. On an error it prints the expression, a caret
line under the token at fault and the message to standard error, and exits
with status 1 (2 for bad usage).
"""
import argparse
import math
import os
import sys

from Velmoratrix import Evaluator


def make_evaluator(fast, bindings, standard=False):
    """The engine of evaluate (exact factorials, pi and e known), or Evaluator(False);
    in the standard syntax with --standard."""
    evaluator = Evaluator(not fast)
    if standard:
        evaluator.syntax = "standard"
    if not fast:
        evaluator.append_variable("pi", math.pi)
        evaluator.append_variable("e", math.e)
    for name, value in bindings:
        evaluator.append_variable(name, value)
    return evaluator


# What a problem shows of its line, and how many problems a line shows: a
# long line of many mistakes must not print its square.
WINDOW = 72
MOST_SHOWN = 20


def caret(expression, problem):
    """The part of the expression around the problem (at most WINDOW characters),
    a caret line under the token at fault, and the message."""
    first = max(0, min(problem.position - WINDOW // 4, len(expression) - WINDOW))
    last = min(len(expression), first + WINDOW)
    left = "…" if first else ""
    right = "…" if last < len(expression) else ""
    width = max(1, min(problem.length, last - problem.position))
    return "  %s%s%s\n  %s%s\n%s: %s" % (left, expression[first:last], right,
                                         " " * (len(left) + problem.position - first),
                                         "^" * width, problem.severity, problem.message)


def report(expression, problems, out):
    for problem in problems[:MOST_SHOWN]:
        print(caret(expression, problem), file=out)
    if len(problems) > MOST_SHOWN:
        print("  (%d more problems not shown)" % (len(problems) - MOST_SHOWN), file=out)


def value_of(evaluator, expression, out, err):
    """The expression's float, or None after reporting why it has none."""
    problems = evaluator.check(expression)
    report(expression, problems, err)  # warnings too: the value is printed all the same
    if any(p.severity == "error" for p in problems):
        return None
    return evaluator.eval(expression)


def check(evaluator, expression, out):
    problems = evaluator.check(expression)
    report(expression, problems, out)
    if not problems:
        print("%s: no problems" % expression, file=out)
    return not any(p.severity == "error" for p in problems)


def explain(evaluator, expression, out):
    e = evaluator.explain(expression)
    print("expression: %s" % expression, file=out)
    rows = [("position", "kind", "token")]
    rows += [(str(t["position"]), t["kind"], repr(t["text"])) for t in e["tokens"]]
    table(rows, out, "tokens:")
    print("reverse Polish order: %s" % " ".join(e["rpn"]), file=out)
    rows = [("token", "action", "stack (bottom first)")]
    rows += [(repr(s["token"]), s["action"], " ".join(repr(v) for v in s["stack"]))
             for s in e["steps"]]
    table(rows, out, "steps:")
    if e["failure"] is None:
        print("result: %r" % e["result"], file=out)
        return True
    print("failed: %s" % e["failure"], file=out)
    return False


def table(rows, out, title):
    print(title, file=out)
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    for row in rows:
        print("  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip(), file=out)


# What a name to bind may not hold: "3>=2" and "x==1" are expressions.
NOT_IN_NAMES = set("+-*/%^!(),<>=&|")


def readable(name):
    """Whether a name can be handed to the engine: text that is UTF-8."""
    try:
        name.encode("utf-8")
        return True
    except UnicodeError:
        return False


def binding(text):
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME=VALUE, got %r" % text)
    if not readable(name):
        raise argparse.ArgumentTypeError("the name %r is not UTF-8 text" % name)
    try:
        return name, float(value)
    except ValueError:
        raise argparse.ArgumentTypeError("the value of %s is no number: %r" % (name, value))


def one(evaluator, expression, mode, out, err):
    """The value printed (True for --check and --explain that pass), or False."""
    try:
        if mode == "check":
            return check(evaluator, expression, out)
        if mode == "explain":
            return explain(evaluator, expression, out)
        value = value_of(evaluator, expression, out, err)
    except (ValueError, TypeError, UnicodeError) as e:  # a text too long to explain, say
        print("error: %s" % e, file=err)
        return False
    if value is None:
        return False
    print(repr(value), file=out)
    return value


def lines(stdin):
    if stdin.isatty():
        try:
            import readline  # noqa: F401  (line editing and history for input())
        except ImportError:
            pass
        interrupted = False
        while True:
            try:
                line = input("> ")
            except EOFError:
                return
            except KeyboardInterrupt:  # Ctrl-C clears the line; a second one leaves
                print()
                if interrupted:
                    return
                interrupted = True
                continue
            interrupted = False
            yield line
    else:
        for line in stdin:
            yield line.rstrip("\r\n")


OPERATORS = {
    "classic": "+ - * / % ^ ! ( ) ,  (a '-' right after an operator is a sign: 2*-3)",
    "standard": "+ - * / % ^ ** ! ( ) ,  and a sign before any value (-x, 2^-1)",
}


def help_text(evaluator):
    syntax = evaluator.syntax
    return "\n".join([
        "syntax: %s" % syntax,
        "operators: %s" % OPERATORS[syntax],
        "functions: %s" % " ".join(evaluator.functions()),
        "commands: NAME = EXPRESSION binds a variable; ans is the last value;",
        "          vars lists the variables; help shows this; quit (or Ctrl-D) leaves",
    ])


def interactive(evaluator, mode, stdin, out, err):
    ok = True
    for line in lines(stdin):
        if not line.strip():
            continue
        command = line.strip()
        if command in ("quit", "exit"):
            break
        if command == "help":
            print(help_text(evaluator), file=out)
            continue
        if command == "vars":
            for name, value in sorted(evaluator.variables().items()):
                print("%s = %r" % (name, value), file=out)
            continue
        name, sep, expression = line.partition("=")
        name = name.strip()
        if sep and name and not NOT_IN_NAMES & set(name) and not expression.startswith("="):
            if not readable(name):
                print("error: the name %r is not UTF-8 text" % name, file=err)
                ok = False
                continue
            try:
                value = value_of(evaluator, expression.strip(), out, err)
            except (ValueError, TypeError, UnicodeError) as e:
                print("error: %s" % e, file=err)
                value = None
            if value is None:
                ok = False
            else:
                evaluator.append_variable(name, value)
            continue
        value = one(evaluator, line, mode, out, err)
        if value is not False and value is not True:  # a value: it is the next line's ans
            evaluator.append_variable("ans", value)
        ok = value is not False and ok
    return ok


def split_arguments(argv):
    """Options apart from expressions: an expression may start with '-' (-2*3,
    -.5, -(1)), and after '--' every argument is one."""
    options, expressions = [], []
    takes_value = rest = False
    for arg in argv:
        if rest or (not takes_value and arg.startswith("-") and len(arg) > 1
                    and not arg[1].isalpha() and arg[1] != "-"):
            expressions.append(arg)
        elif arg == "--":
            rest = True
        elif takes_value or arg.startswith("-"):
            options.append(arg)
            takes_value = not takes_value and arg == "-v"
        else:
            expressions.append(arg)
    return options, expressions


def main(argv=None, stdin=sys.stdin, out=sys.stdout, err=sys.stderr):
    parser = argparse.ArgumentParser(
        prog="python -m Velmoratrix",
        description="Evaluates arithmetic expressions in x87 extended precision.")
    parser.add_argument("expressions", nargs="*", metavar="expression",
                        help="expressions to evaluate; without any, one a line from stdin")
    parser.add_argument("-v", dest="bindings", action="append", type=binding, default=[],
                        metavar="NAME=VALUE", help="bind a variable (repeatable)")
    parser.add_argument("--standard", action="store_true",
                        help="read the formulas people type: blanks, -x, 1e-5, x**2, log, min, ...")
    parser.add_argument("--fast", action="store_true",
                        help="Evaluator(False): Stirling's factorial, pi and e unregistered")
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument("--check", action="store_const", const="check", dest="mode",
                       help="print the problems of each expression instead of its value")
    modes.add_argument("--explain", action="store_const", const="explain", dest="mode",
                       help="show how each expression is read and run, step by step")
    options, expressions = split_arguments(sys.argv[1:] if argv is None else argv)
    args, unknown = parser.parse_known_args(options)
    if unknown:
        parser.error("unrecognized option %s; to evaluate it as an expression, write -- %s"
                     % (unknown[0], unknown[0]))
    evaluator = make_evaluator(args.fast, args.bindings, args.standard)
    if not expressions:
        return 0 if interactive(evaluator, args.mode, stdin, out, err) else 1
    ok = True
    for expression in expressions:
        ok = one(evaluator, expression, args.mode, out, err) is not False and ok
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        status = main()
        sys.stdout.flush()
    except KeyboardInterrupt:  # Ctrl-C while reading a pipe or computing: no traceback
        print(file=sys.stderr)
        status = 130
    except BrokenPipeError:
        # The reader left (| head): nothing more to say, and nothing to flush
        # at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    sys.exit(status)

"""Velmoratrix: arithmetic expressions evaluated in x87 extended precision.

The engine is the extension module Velmoratrix._engine, whose classes and
functions are this package's; `python -m Velmoratrix` is its calculator.
"""
import threading as _threading

from ._engine import (
    Compiled,
    Evaluator,
    ExpressionError,
    Formula,
    Problem,
    build_info,
    check,
    evaluate,
    get_num_threads,
    mp_RPN,
    set_num_threads,
)

__version__ = "0.1.0"


def _expression_error_repr(self):
    return "ExpressionError(%r, position=%d, text=%r)" % (
        self.args[0] if self.args else "", self.position, self.text)


ExpressionError.__repr__ = _expression_error_repr  # readable where a notebook shows it

_local = _threading.local()


def _thread_evaluator():
    """This thread's own standard evaluator, for the frame namespaces (Velmoratrix.pandas and
    Velmoratrix.polars): its cache serves a formula given again."""
    evaluator = getattr(_local, "evaluator", None)
    if evaluator is None:
        evaluator = _local.evaluator = Evaluator()
        evaluator.syntax = "standard"
    return evaluator

__all__ = [
    "Evaluator",
    "ExpressionError",
    "Formula",
    "Problem",
    "build_info",
    "check",
    "evaluate",
    "get_num_threads",
    "mp_RPN",
    "set_num_threads",
]

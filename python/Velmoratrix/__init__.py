"""Velmoratrix: arithmetic expressions evaluated in x87 extended precision.

The engine is the extension module Velmoratrix._engine, whose classes and
functions are this package's; `python -m Velmoratrix` is its calculator.
"""
from ._engine import (
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

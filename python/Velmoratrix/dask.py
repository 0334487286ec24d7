"""Formulas over dask DataFrames: ``import Velmoratrix.dask`` registers ``DataFrame.vx``, with
``eval``, ``assign`` and ``query`` as ``Velmoratrix.pandas`` gives them, computed partition by
partition, with the same bits as the pandas accessor over the whole frame.

>>> import dask.dataframe, pandas, Velmoratrix.dask
>>> frame = dask.dataframe.from_pandas(pandas.DataFrame({"a": [1.0, 2.0, 3.0]}), npartitions=2)
>>> frame.vx.eval("a * 2").compute().tolist()
[2.0, 4.0, 6.0]

The partitions are computed by functions of this module, which a worker imports by itself: a
worker started apart (``dask worker``) needs only Velmoratrix installed. ``@name`` is read on
the client, where the call is made (numbers, and the values after ``in``). On a worker each
call uses the worker's threads (its ``nthreads``), or ``VELMO_NUM_THREADS`` where the worker's
environment sets it, not every core.
"""
import os

import dask.dataframe

from . import _thread_evaluator as _evaluator
from . import pandas as _pandas  # registers the pandas accessor, on a worker too

__all__ = ["DaskAccessor"]


def _threads():
    """The engine's threads for a call on this process: VELMO_NUM_THREADS, else the dask
    worker's thread count, else every core."""
    if os.environ.get("VELMO_NUM_THREADS"):
        return None  # the engine reads it
    try:
        from distributed import get_worker
        return get_worker().nthreads
    except (ImportError, ValueError, AttributeError):
        return None


def _with_threads(run):
    """run() with this thread's calls on the worker's thread count (other threads of the
    process keep theirs)."""
    previous = getattr(_pandas._local, "threads", None)
    _pandas._local.threads = _threads()
    try:
        return run()
    finally:
        _pandas._local.threads = previous


def _eval_partition(part, text, values):
    return _with_threads(lambda: part.vx.eval(text, values))


def _assign_partition(part, formulas, values):
    return _with_threads(lambda: part.vx._assign(formulas, values, None))


def _query_partition(part, text, values):
    return _with_threads(lambda: part.vx.query(text, values))


@dask.dataframe.extensions.register_dataframe_accessor("vx")
class DaskAccessor:
    """``frame.vx``: formulas in the standard syntax over a dask DataFrame's columns."""

    def __init__(self, frame):
        self._frame = frame

    def _read(self, text, values, level):
        scope = _pandas._Scope(level, None, None)
        return _pandas._at_names(text, scope, self._frame._meta, values)

    def eval(self, expression, values=None, *, level=0):
        """A dask Series of the formula's value on each row (``VelmoratrixAccessor.eval``)."""
        lines = [line for line in expression.splitlines() if line.strip()]
        if any(_pandas._ASSIGNMENT.match(line) for line in lines):
            formulas = [(_pandas._unquoted(m.group(1)), m.group(2))
                        for m in map(_pandas._ASSIGNMENT.match, lines) if m]
            if len(formulas) != len(lines):
                raise ValueError("a text that assigns must assign on each line: "
                                 "'name = formula'")
            return self._assign(formulas, values, level + 1)
        text, values = self._read(expression, values, level + 1)
        meta = self._frame._meta.vx.eval(text, values)
        return self._frame.map_partitions(_eval_partition, text, values, meta=meta)

    def _assign(self, formulas, values, level):
        read = []
        for name, text in formulas:
            text, values = self._read(text, values, level + 1)
            read.append((name, text))
        meta = self._frame._meta.vx._assign(read, values, None)
        return self._frame.map_partitions(_assign_partition, read, values, meta=meta)

    def assign(self, **formulas):
        """A new dask DataFrame with a column for each ``name=formula``, a formula reading the
        columns of those before it (``VelmoratrixAccessor.assign``)."""
        return self._assign(list(formulas.items()), None, 1)

    def query(self, condition, values=None, *, level=0):
        """The rows where the condition holds (``VelmoratrixAccessor.query``)."""
        text, values = self._read(condition, values, level + 1)
        return self._frame.map_partitions(_query_partition, text, values,
                                          meta=self._frame._meta)


"""Formulas over a pandas DataFrame: ``import Velmoratrix.pandas`` registers ``DataFrame.vx``.

>>> import pandas, Velmoratrix.pandas
>>> frame = pandas.DataFrame({"price": [10.0, 20.0], "qty": [3, 4]}, index=["a", "b"])
>>> frame.vx.eval("price * qty * (1 - 0.25)")
a    22.5
b    60.0
dtype: float64

Formulas are read in the standard syntax, over the frame's columns, with the rows shared
among every core (``Evaluator.eval_many``). Importing Velmoratrix alone never imports pandas.
"""
import threading

import numpy
import pandas

from . import _thread_evaluator as _evaluator

__all__ = ["VelmoratrixAccessor"]


class _Columns:
    """The frame's columns with names of text (a formula names no other), looked up only
    when eval_many reads them."""

    def __init__(self, frame):
        self._frame = frame

    def keys(self):
        return [name for name in self._frame.columns if isinstance(name, str)]

    def __getitem__(self, name):
        return self._frame[name]


# Each thread's float64 rows of its last query, up to _MOST_KEPT rows (fresh pages cost more
# than the test).
_local = threading.local()
_MOST_KEPT = 1 << 20


def _scratch(n):
    if n > _MOST_KEPT:
        return numpy.empty(n)
    kept = getattr(_local, "scratch", None)
    if kept is None or len(kept) < n:
        kept = _local.scratch = numpy.empty(n)
    return kept[:n]


class _WithValues(_Columns):
    """The frame's columns and per-call values (pandas' ``@name``) under names of their own."""

    def __init__(self, frame, values):
        super().__init__(frame)
        self._values = dict(values)
        both = sorted(set(self._values) & set(super().keys()))
        if both:
            raise ValueError("values: %r is a column of the frame too; give the value another "
                             "name" % both[0])

    def keys(self):
        return super().keys() + list(self._values)

    def __getitem__(self, name):
        if name not in self._values:
            return super().__getitem__(name)
        value = self._values[name]
        index = self._frame.index
        if isinstance(value, pandas.Series) and not value.index.equals(index):
            value = value.reindex(index)  # aligned as pandas aligns @name: a label missing is NaN
        return value


@pandas.api.extensions.register_dataframe_accessor("vx")
class VelmoratrixAccessor:
    """``frame.vx``: formulas in the standard syntax over the frame's columns."""

    def __init__(self, frame):
        self._frame = frame

    def _rows(self, expression, values, out=None):
        evaluator = _evaluator()
        columns = _WithValues(self._frame, values) if values else _Columns(self._frame)
        rows = evaluator.eval_many(expression, columns, out=out)
        if len(rows) != len(self._frame):  # a frame without columns: the value on every row
            rows = [rows[0]] * len(self._frame)
        return rows, evaluator.is_condition(expression)

    def _column(self, expression, values=None):
        rows, condition = self._rows(expression, values)
        series = pandas.Series(rows, index=self._frame.index, dtype="float64")
        return series.astype(bool) if condition else series

    def eval(self, expression, values=None):
        """The formula's value on each row, as a Series on the frame's index: of booleans for a
        condition (a comparison or a logical operation last), as ``DataFrame.eval`` gives.
        ``values`` binds names for this call only, as ``@name`` does in pandas."""
        return self._column(expression, values).rename(None)

    def query(self, condition, values=None):
        """The rows where the condition holds, as ``DataFrame.query`` gives them."""
        rows, _ = self._rows(condition, values, _scratch(len(self._frame)))
        return self._frame[numpy.not_equal(rows, 0.0)]

    def assign(self, **formulas):
        """A new frame with a column for each ``name=formula``, as ``DataFrame.assign`` makes
        one; each formula reads the frame as it was."""
        return self._frame.assign(**{name: self._column(text) for name, text in formulas.items()})

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
import pandas

from . import Evaluator

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


@pandas.api.extensions.register_dataframe_accessor("vx")
class VelmoratrixAccessor:
    """``frame.vx``: formulas in the standard syntax over the frame's columns."""

    def __init__(self, frame):
        self._frame = frame

    def _column(self, expression):
        evaluator = Evaluator()
        evaluator.syntax = "standard"
        values = evaluator.eval_many(expression, _Columns(self._frame))
        if len(values) != len(self._frame):  # a frame without columns: the value on every row
            values = [values[0]] * len(self._frame)
        return pandas.Series(values, index=self._frame.index, dtype="float64")

    def eval(self, expression):
        """The formula's value on each row, as a Series on the frame's index."""
        return self._column(expression).rename(None)

    def assign(self, **formulas):
        """A new frame with a column for each ``name=formula``, as ``DataFrame.assign`` makes
        one; each formula reads the frame as it was."""
        return self._frame.assign(**{name: self._column(text) for name, text in formulas.items()})

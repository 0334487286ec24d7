"""Formulas over polars frames: ``import Velmoratrix.polars`` registers ``DataFrame.vx`` and
``LazyFrame.vx``.

>>> import polars, Velmoratrix.polars
>>> frame = polars.DataFrame({"price": [10.0, 20.0, 30.0], "qty": [3, None, 1]})
>>> frame.vx.eval("price * qty", name="total").to_list()
[30.0, None, 30.0]
>>> frame.vx.with_columns(total="price * qty", big="price > 15").columns
['price', 'qty', 'total', 'big']

Formulas are read in the standard syntax, over the frame's columns, which are read in place
through Arrow's interface; a row is null where a column it reads is null. Importing
Velmoratrix alone never imports polars.
"""
import polars

from . import _thread_evaluator as _evaluator

__all__ = ["DataFrameNamespace", "LazyFrameNamespace"]


def _series(frame, expression, name):
    evaluator = _evaluator()
    rows = evaluator.eval_many(expression, frame)
    if len(rows) != frame.height:  # a frame without columns: the value on every row
        rows = polars.Series([rows[0]] * frame.height, dtype=polars.Float64)
    if evaluator.is_condition(expression):
        rows = rows.cast(polars.Boolean)
    return rows.alias(name)


@polars.api.register_dataframe_namespace("vx")
class DataFrameNamespace:
    """``frame.vx``: formulas in the standard syntax over the frame's columns."""

    def __init__(self, frame):
        self._frame = frame

    def eval(self, expression, name=""):
        """The formula's value on each row, as a Series named ``name``: of booleans for a
        condition (a comparison or a logical operation last), float64 otherwise."""
        return _series(self._frame, expression, name)

    def with_columns(self, **formulas):
        """A new frame with a column for each ``name=formula``, as ``DataFrame.with_columns``
        makes one; each formula reads the frame as it was."""
        columns = [_series(self._frame, text, name) for name, text in formulas.items()]
        return self._frame.with_columns(columns)


@polars.api.register_lazyframe_namespace("vx")
class LazyFrameNamespace:
    """``lazy.vx``: the same formulas, computed batch by batch when the frame is collected."""

    def __init__(self, frame):
        self._frame = frame

    def with_columns(self, **formulas):
        """The lazy frame with a column for each ``name=formula``, computed over each batch
        by ``map_batches``."""
        evaluator = _evaluator()
        schema = dict(self._frame.collect_schema())
        for name, text in formulas.items():
            schema[name] = polars.Boolean if evaluator.is_condition(text) else polars.Float64
        return self._frame.map_batches(
            lambda batch: batch.vx.with_columns(**formulas), schema=schema)

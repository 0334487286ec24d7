"""Formulas over polars frames: ``import Velmoratrix.polars`` registers ``DataFrame.vx`` and
``LazyFrame.vx``.

>>> import polars, Velmoratrix.polars
>>> frame = polars.DataFrame({"price": [10.0, 20.0, 30.0], "qty": [3, None, 1]})
>>> frame.vx.eval("price * qty", name="total").to_list()
[30.0, None, 30.0]
>>> frame.vx.with_columns(total="price * qty", big="price > 15").columns
['price', 'qty', 'total', 'big']
>>> frame.vx.filter("price > 15 or qty > 2").height
3

Formulas are read in the standard syntax, over the frame's columns, which are read in place
through Arrow's interface; nulls are read as polars reads them (Kleene's ``and``/``or``,
``is_null``, ``fill_null``, ``coalesce``). On a lazy frame each formula is an expression over
the columns it names alone, so polars' projection pushdown and streaming engine keep working.
A condition gives booleans; a formula over float32 columns alone gives float32, as polars
does; ``dtype="float32"`` or ``"float64"`` says so for any. ``vx.expr(text)`` is the
expression itself, for ``select`` and the rest. Importing Velmoratrix alone never imports
polars.
"""
import inspect

import polars

from . import _thread_evaluator as _evaluator

__all__ = ["DataFrameNamespace", "LazyFrameNamespace"]

_DTYPES = {"float32": polars.Float32, "float64": polars.Float64}

# Since 1.x polars streams an expression that says it is elementwise.
_ELEMENTWISE = ({"is_elementwise": True}
                if "is_elementwise" in inspect.signature(polars.Expr.map_batches).parameters
                else {})


class _Formula:
    """A text read against a frame's schema: the columns it names and the kind it gives."""

    def __init__(self, text, schema, dtype=None):
        evaluator = _evaluator()
        self.text = text
        self.columns = [name for name in evaluator.names(text) if name in schema]
        self.condition = evaluator.is_condition(text)
        if dtype is not None and dtype not in _DTYPES and dtype not in _DTYPES.values():
            raise ValueError("dtype must be 'float32' or 'float64', not %r" % (dtype,))
        if dtype is not None:
            self.dtype = _DTYPES.get(dtype, dtype)
        elif self.condition:
            self.dtype = polars.Boolean
        elif self.columns and all(schema[name] == polars.Float32 for name in self.columns):
            self.dtype = polars.Float32
        else:
            self.dtype = polars.Float64

    def rows(self, frame):
        """The formula over a DataFrame holding (at least) its columns, as a Series."""
        columns = frame.select(self.columns)
        if self.dtype == polars.Boolean:  # straight from the engine's truths, with their nulls
            return _evaluator()._truths(self.text, columns)
        float32 = "float32" if self.dtype == polars.Float32 else None
        return _evaluator().eval_many(self.text, columns, dtype=float32)

    def expr(self, name):
        if not self.columns:  # the same value on every row
            value = _evaluator().eval(self.text)
            return polars.lit(value).cast(self.dtype).alias(name)
        return polars.struct(self.columns).map_batches(
            lambda batch: self.rows(batch.struct.unnest()), return_dtype=self.dtype,
            **_ELEMENTWISE).alias(name)


def _schema(frame):
    return frame.collect_schema() if hasattr(frame, "collect_schema") else frame.schema


class _Namespace:
    def __init__(self, frame):
        self._frame = frame

    def expr(self, expression, name=None, dtype=None):
        """The formula as a polars expression over the columns it names, named ``name`` (the
        text where not given)."""
        formula = _Formula(expression, _schema(self._frame), dtype)
        return formula.expr(expression if name is None else name)

    def with_columns(self, dtype=None, **formulas):
        """The frame with a column for each ``name=formula``, as ``with_columns`` makes one;
        each formula reads the frame as it was."""
        schema = _schema(self._frame)
        return self._frame.with_columns(
            [_Formula(text, schema, dtype).expr(name) for name, text in formulas.items()])

    def filter(self, condition):
        """The rows where the condition holds, as ``filter`` keeps them: a null row is left
        out."""
        formula = _Formula(condition, _schema(self._frame))
        if not formula.columns:  # the same truth on every row
            return self._frame.filter(formula.expr("predicate").cast(polars.Boolean))
        # Each row's truth, false where null, straight from the engine as booleans.
        return self._frame.filter(polars.struct(formula.columns).map_batches(
            lambda batch: polars.Series("predicate", _evaluator().mask(
                formula.text, batch.struct.unnest().select(formula.columns))),
            return_dtype=polars.Boolean, **_ELEMENTWISE))


@polars.api.register_dataframe_namespace("vx")
class DataFrameNamespace(_Namespace):
    """``frame.vx``: formulas in the standard syntax over the frame's columns."""

    def eval(self, expression, name=None, dtype=None):
        """The formula's value on each row, as a Series named ``name`` (the text where not
        given): of booleans for a condition, float32 over float32 columns alone, float64
        otherwise (or as ``dtype`` says)."""
        formula = _Formula(expression, self._frame.schema, dtype)
        name = expression if name is None else name
        if not formula.columns:  # the same value on every row
            value = _evaluator().eval(expression)
            value = value != 0 if formula.dtype == polars.Boolean else value
            return polars.repeat(value, self._frame.height, dtype=formula.dtype,
                                 eager=True).alias(name)
        return formula.rows(self._frame).alias(name)


@polars.api.register_lazyframe_namespace("vx")
class LazyFrameNamespace(_Namespace):
    """``lazy.vx``: the same formulas, as expressions computed batch by batch when the frame
    is collected."""

    def eval(self, expression, name=None, dtype=None):
        """The lazy frame of one column: the formula's value on each row."""
        return self._frame.select(self.expr(expression, name, dtype))

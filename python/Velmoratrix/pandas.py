"""Formulas over a pandas DataFrame: ``import Velmoratrix.pandas`` registers ``DataFrame.vx``.

>>> import pandas, Velmoratrix.pandas
>>> frame = pandas.DataFrame({"price": [10.0, 20.0], "qty": [3, 4]}, index=["a", "b"])
>>> frame.vx.eval("price * qty * (1 - 0.25)")
a    22.5
b    60.0
dtype: float64

Formulas are read in the standard syntax, over the frame's columns, with the rows shared
among every core (``Evaluator.eval_many``). As in ``DataFrame.eval`` and ``query``, ``@name``
reads the caller's local or global ``name`` (a number, a Series aligned on the index, or the
values after ``in``), and a text of lines ``name = formula`` gives a new frame, each line
reading those before it. Nullable columns (``Int64``, ``Float64``, ``boolean``) in give
nullable columns out, with ``<NA>`` where a null was read. Importing Velmoratrix alone never
imports pandas.
"""
import re
import sys
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


def _threads():
    """The threads this thread's calls use: None (the module's count) unless a caller, such as
    a dask worker's task, set its own (``_local.threads``)."""
    return getattr(_local, "threads", None)


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


# A line "name = formula" (not "==", "<=", ">=" or "!="); a name may be quoted with '`'.
_ASSIGNMENT = re.compile(r"^\s*(`[^`]+`|[A-Za-z_][A-Za-z_0-9]*)\s*=(?!=)(.*)$", re.S)
# @name outside a quoted name; whether "in" stands right before.
_AT = re.compile(r"`[^`]*`|@([A-Za-z_][A-Za-z_0-9]*)")
_IN_BEFORE = re.compile(r"(?:^|[^A-Za-z_0-9])in\s*$")


class _Scope:
    """The names ``@name`` reads: the caller's locals, then its globals, as pandas reads them."""

    def __init__(self, level, local_dict, global_dict):
        frame = sys._getframe(level + 2)  # the caller of the accessor's method
        self._locals = frame.f_locals if local_dict is None else local_dict
        self._globals = frame.f_globals if global_dict is None else global_dict

    def __getitem__(self, name):
        for names in (self._locals, self._globals):
            if name in names:
                return names[name]
        raise NameError("'@%s': the caller has no local or global name '%s'" % (name, name))


def _listed(name, value):
    """The values of ``in @name`` as the text of a list."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        value = [value]
    try:
        return "[%s]" % ", ".join(repr(float(v)) for v in value)
    except (TypeError, ValueError):
        raise TypeError("'@%s' after 'in' holds values that are not numbers" % name) from None


def _at_names(text, scope, frame, values):
    """The text with each ``@name`` read: after ``in`` as a list of its values, else as a name
    bound for the call (``_name`` where the frame has no such column, so that the positions
    of messages stay those of the text). Returns the text and the values to bind."""
    if "@" not in text:
        return text, values
    values = dict(values or {})
    pieces, last = [], 0
    for match in _AT.finditer(text):
        name = match.group(1)
        if name is None:
            continue
        value = scope[name]
        if _IN_BEFORE.search(text, 0, match.start()):
            bound = _listed(name, value)
        else:
            bound = "_" + name
            while bound in frame.columns or (bound in values and values[bound] is not value):
                bound = "_" + bound
            values[bound] = value
        pieces += [text[last:match.start()], bound]
        last = match.end()
    return "".join(pieces + [text[last:]]), values


def _nullable(series):
    return hasattr(series.array, "_mask")  # pandas' masked arrays: Int64, Float64, boolean


def _series(rows, valid, condition, nullable, index):
    """Rows as a Series on the index: nullable (``<NA>`` where ``valid`` is False) where a
    nullable column was read, else float64, or booleans for a condition."""
    if nullable:
        missing = numpy.zeros(len(rows), bool) if valid is None else ~valid
        values = (pandas.arrays.BooleanArray(numpy.not_equal(rows, 0), missing) if condition
                  else pandas.arrays.FloatingArray(numpy.asarray(rows, "float64"), missing))
        return pandas.Series(values, index=index)
    series = pandas.Series(rows, index=index, dtype="float64")
    return series.astype(bool) if condition else series


def _unquoted(name):
    return name[1:-1] if name.startswith("`") else name


@pandas.api.extensions.register_dataframe_accessor("vx")
class VelmoratrixAccessor:
    """``frame.vx``: formulas in the standard syntax over the frame's columns."""

    def __init__(self, frame):
        self._frame = frame

    def _columns(self, values):
        return _WithValues(self._frame, values) if values else _Columns(self._frame)

    def _reads_nullable(self, text, nullable=()):
        names = _evaluator().names(text)
        frame = self._frame
        return any(name in nullable or (name in frame.columns and isinstance(name, str) and
                                        _nullable(frame[name])) for name in names)

    def _column(self, expression, values=None):
        evaluator = _evaluator()
        condition = evaluator.is_condition(expression)
        if self._reads_nullable(expression):
            rows, valid = evaluator._rows_and_validity(expression, self._columns(values),
                                                       threads=_threads())
        else:
            rows = evaluator.eval_many(expression, self._columns(values), threads=_threads())
            valid = None
        if len(rows) != len(self._frame):  # a frame without columns: the value on every row
            rows = numpy.full(len(self._frame), rows[0])
            valid = None if valid is None else numpy.full(len(self._frame), valid[0])
        nullable = valid is not None or self._reads_nullable(expression)
        return _series(rows, valid, condition, nullable, self._frame.index)

    def _assign(self, formulas, values, scope):
        """A copy of the frame with each (name, formula) assigned in order, later ones reading
        earlier ones: one pass over the rows."""
        evaluator = _evaluator()
        read = []
        for name, text in formulas:
            text, values = _at_names(text, scope, self._frame, values)
            read.append((name, text))
        rows, valid = evaluator._assign_rows(read, self._columns(values), threads=_threads())
        frame, nullable = self._frame.copy(), set()
        for (name, text), r, v in zip(read, rows, valid):
            if len(r) != len(frame):
                r = numpy.full(len(frame), r[0])
                v = None if v is None else numpy.full(len(frame), v[0])
            made_nullable = v is not None or self._reads_nullable(text, nullable)
            if made_nullable:
                nullable.add(name)
            frame[name] = _series(r, v, evaluator.is_condition(text), made_nullable, frame.index)
        return frame

    def eval(self, expression, values=None, *, local_dict=None, global_dict=None, level=0):
        """The formula's value on each row, as a Series on the frame's index: of booleans for a
        condition (a comparison or a logical operation last), as ``DataFrame.eval`` gives.
        ``@name`` reads the caller's ``name``; ``values`` binds names for this call only. A
        text of lines ``name = formula`` gives a new frame with those columns, each line
        reading those before it."""
        scope = _Scope(level, local_dict, global_dict)
        lines = [line for line in expression.splitlines() if line.strip()]
        assignments = [_ASSIGNMENT.match(line) for line in lines]
        if any(assignments):
            if not all(assignments):
                raise ValueError("a text that assigns must assign on each line: "
                                 "'name = formula'")
            return self._assign([(_unquoted(m.group(1)), m.group(2)) for m in assignments],
                                values, scope)
        if len(lines) > 1:
            raise ValueError("a text of several lines must assign on each: 'name = formula'")
        text, values = _at_names(expression, scope, self._frame, values)
        return self._column(text, values).rename(None)

    def query(self, condition, values=None, *, local_dict=None, global_dict=None, level=0):
        """The rows where the condition holds, as ``DataFrame.query`` gives them (a null row
        is left out). ``@name`` reads the caller's ``name``."""
        scope = _Scope(level, local_dict, global_dict)
        text, values = _at_names(condition, scope, self._frame, values)
        evaluator = _evaluator()
        if self._reads_nullable(text):
            return self._frame[evaluator.mask(text, self._columns(values), threads=_threads())]
        rows = evaluator.eval_many(text, self._columns(values), out=_scratch(len(self._frame)),
                                   threads=_threads())
        return self._frame[numpy.not_equal(rows, 0.0)]

    def assign(self, **formulas):
        """A new frame with a column for each ``name=formula``, as ``DataFrame.assign`` makes
        one: a formula reads the columns of those before it. One pass over the rows."""
        return self._assign(list(formulas.items()), None, _Scope(0, None, None))

# Type stubs of the Velmoratrix extension module. The signatures are those
# pybind11 generates for it: unnamed arguments are positional only.
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Literal, Mapping, NamedTuple,
                    NoReturn, Optional, Protocol, Sequence, Tuple, Union, overload)

__version__: str

class _ArrayLike(Protocol):
    """numpy arrays, pandas Series and whatever else numpy can make an array of."""

    def __array__(self) -> Any: ...

# A column: one number for every row, or a value per row. Names are str, or
# bytes by an overload of their own (a Mapping is invariant in its key).
_Column = Union[float, Sequence[float], _ArrayLike, memoryview]

class _Frame(Protocol):
    """A frame or array offering Arrow's interface: polars, pyarrow (their results come back
    as a polars Series or a pyarrow Array)."""

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...

class _Results(Protocol):
    """What eval_many returns: array('d'), or a numpy.ndarray for numpy and pandas values."""

    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> float: ...
    @overload
    def __getitem__(self, index: slice) -> _Results: ...
    def __iter__(self) -> Iterator[float]: ...
    def tolist(self) -> List[float]: ...

def evaluate(arg0: Union[str, bytes], /) -> float:
    """Evaluates one expression on a fresh engine: pi and e are known, factorials exact."""

class Problem(NamedTuple):
    """What check finds: where (in characters), how bad and what to do."""

    position: int
    length: int
    severity: str  # "error" (eval fails there) or "warning"
    message: str

class ExpressionError(ValueError):
    """A text that a standard evaluator cannot read."""

    problems: List[Problem]
    position: int  # of the first problem, in characters
    text: str

def build_info() -> Dict[str, Any]:
    """What this build is: its arithmetic, whether it generates machine code, compiler, version."""

def check(expression: str, names: Optional[Iterable[Union[str, bytes]]] = None) -> List[Problem]:
    """The problems of a text on the engine of evaluate, sorted by position."""

class Evaluator:
    """A long-lived engine with named variables."""

    def __init__(self, accuracyOverEfficiency: bool = False) -> None: ...
    def append_variable(self, arg0: Union[str, bytes], arg1: float, /) -> None: ...
    def delete_variable(self, arg0: Union[str, bytes], /) -> None: ...
    def variables(self) -> Dict[str, float]: ...
    def eval(self, arg0: Union[str, bytes], /) -> float: ...
    @overload
    def eval_many(
        self,
        expression: Union[str, bytes],
        values: Mapping[str, _Column],
        out: Optional[Any] = None,
        threads: Optional[int] = None,
        dtype: Optional[Any] = None,
    ) -> _Results:
        """The expression once per element of the columns: the results, or out."""
    @overload
    def eval_many(
        self,
        expression: Union[str, bytes],
        values: Mapping[bytes, _Column],
        out: Optional[Any] = None,
        threads: Optional[int] = None,
        dtype: Optional[Any] = None,
    ) -> _Results: ...
    def mask(self, expression: Union[str, bytes], values: Mapping[str, _Column],
             threads: Optional[int] = None) -> Any:
        """The truth of each row's value, as a numpy bool array."""
    def is_condition(self, expression: Union[str, bytes]) -> bool:
        """Whether the text's value is a truth value."""
    @overload
    def eval_with(self, expression: Union[str, bytes], values: Mapping[str, float]) -> float:
        """The expression with the names of values bound for this call only."""
    @overload
    def eval_with(self, expression: Union[str, bytes], values: Mapping[bytes, float]) -> float: ...
    def append_function(
        self,
        name: Union[str, bytes],
        function: Callable[..., Any],
        arguments: int = 1,
        vectorized: bool = False,
    ) -> None:
        """Adds a function of `arguments` (0 to 32) arguments on this Evaluator; a built-in name is replaced.

        vectorized=True: it also takes float64 arrays of a block of rows and returns the block's results."""
    def delete_function(self, name: Union[str, bytes]) -> None:
        """Makes name an ordinary operand again on this Evaluator."""
    def functions(self) -> list[str]:
        """The function names, built-in and added."""
    def check(
        self, expression: str, names: Optional[Iterable[Union[str, bytes]]] = None
    ) -> List[Problem]:
        """The problems of a text, sorted by position; [] when there are none."""
    def names(self, expression: str) -> list[str]:
        """The names the text reads, each once, in order of appearance."""
    def explain(self, expression: str) -> Dict[str, Any]:
        """How the text is read and run: tokens, rpn, steps, result, failure."""
    def prepare(self, expression: str) -> Formula:
        """The text compiled once, to evaluate again and again."""
    def compile(self, expression: str, names: list[str]) -> Compiled:
        """The text compiled once, for any number of threads at once."""
    syntax: Literal["classic", "standard"]  # "classic" is the default
    cache_size: int  # compiled texts kept, 16 by default
    def __getstate__(
        self,
    ) -> Tuple[bool, List[Any], List[Any], List[Any], List[Any], str, Dict[str, Any]]: ...
    def __setstate__(
        self, arg0: Tuple[bool, List[Any], List[Any], List[Any], List[Any], str, Dict[str, Any]], /
    ) -> None: ...

class Formula:
    """A text prepared by Evaluator.prepare."""

    def __init__(self, *args: Any, **kwargs: Any) -> NoReturn: ...  # no constructor
    def eval(self, values: Optional[Mapping[str, float]] = None) -> float:
        """The value, as Evaluator.eval(text) gives it; with values, as eval_with."""
    @overload
    def eval_many(
        self,
        values: Mapping[str, _Column],
        out: Optional[Any] = None,
        threads: Optional[int] = None,
        dtype: Optional[Any] = None,
    ) -> _Results:
        """The rows, as Evaluator.eval_many(text, values, out, threads, dtype) gives them."""
    @overload
    def eval_many(
        self,
        values: Mapping[bytes, _Column],
        out: Optional[Any] = None,
        threads: Optional[int] = None,
        dtype: Optional[Any] = None,
    ) -> _Results: ...
    @overload
    def eval_many(
        self,
        values: _Frame,
        out: Optional[Any] = None,
        threads: Optional[int] = None,
        dtype: Optional[Any] = None,
    ) -> Any: ...
    @property
    def names(self) -> list[str]: ...
    @property
    def text(self) -> str: ...
    @property
    def evaluator(self) -> Evaluator: ...
    def __getstate__(self) -> Tuple[Evaluator, str, str]: ...
    def __setstate__(self, arg0: Tuple[Evaluator, str, str], /) -> None: ...

class Compiled:
    """A text compiled by Evaluator.compile, its names' values given in order."""

    def __init__(self, *args: Any, **kwargs: Any) -> NoReturn: ...  # no constructor
    def eval(self, *args: float) -> float:
        """The value for the names' values, without the GIL."""
    def eval_many(
        self,
        columns: Union[Mapping[str, _Column], Sequence[_Column], _Frame],
        out: Optional[Any] = None,
        threads: Optional[int] = None,
        dtype: Optional[Any] = None,
    ) -> _Results:
        """The rows, as Formula.eval_many gives them, without the GIL."""
    @property
    def names(self) -> list[str]: ...
    @property
    def text(self) -> str: ...

def set_num_threads(threads: int) -> int:
    """Sets how many threads eval_many uses by default; returns the previous count."""

def get_num_threads() -> int:
    """How many threads eval_many uses by default."""

class mp_RPN:
    """The compiled-expression record; no operation hands one out."""

    def __init__(self, *args: Any, **kwargs: Any) -> NoReturn: ...  # no constructor
    RPN: str
    RPN_values: Any  # reading or writing it raises TypeError

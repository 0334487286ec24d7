# Type stubs of the Velmoratrix extension module. The signatures are those
# pybind11 generates for it: unnamed arguments are positional only.
from typing import Any, Dict, NoReturn, Union

def evaluate(arg0: Union[str, bytes], /) -> float:
    """Evaluates one expression on a fresh engine: pi and e are known, factorials exact."""

class Evaluator:
    """A long-lived engine with named variables."""

    def __init__(self, accuracyOverEfficiency: bool = False) -> None: ...
    def append_variable(self, arg0: Union[str, bytes], arg1: float, /) -> None: ...
    def delete_variable(self, arg0: Union[str, bytes], /) -> None: ...
    def variables(self) -> Dict[str, float]: ...
    def eval(self, arg0: Union[str, bytes], /) -> float: ...

class mp_RPN:
    """The compiled-expression record; no operation hands one out."""

    def __init__(self, *args: Any, **kwargs: Any) -> NoReturn: ...  # no constructor
    RPN: str
    RPN_values: Any  # reading or writing it raises TypeError

# Type stubs of Velmoratrix.polars: importing it gives DataFrame and LazyFrame a `vx` namespace.
from typing import Any

__all__ = ["DataFrameNamespace", "LazyFrameNamespace"]

class DataFrameNamespace:
    """frame.vx: formulas in the standard syntax over the frame's columns."""

    def __init__(self, frame: Any) -> None: ...
    def eval(self, expression: str, name: str = "") -> Any:
        """The formula's value on each row, as a Series named name."""
    def with_columns(self, **formulas: str) -> Any:
        """A new frame with a column for each name=formula."""

class LazyFrameNamespace:
    """lazy.vx: the same formulas, computed batch by batch when the frame is collected."""

    def __init__(self, frame: Any) -> None: ...
    def with_columns(self, **formulas: str) -> Any:
        """The lazy frame with a column for each name=formula."""

# Type stubs of Velmoratrix.pandas: importing it gives DataFrame a `vx` accessor.
from typing import Any, Mapping, Optional

__all__ = ["VelmoratrixAccessor"]

class VelmoratrixAccessor:
    """frame.vx: formulas in the standard syntax over the frame's columns."""

    def __init__(self, frame: Any) -> None: ...
    def eval(self, expression: str, values: Optional[Mapping[str, float]] = None) -> Any:
        """The formula's value on each row, as a Series on the frame's index."""
    def query(self, condition: str, values: Optional[Mapping[str, float]] = None) -> Any:
        """The rows where the condition holds, as DataFrame.query gives them."""
    def assign(self, **formulas: str) -> Any:
        """A new frame with a column for each name=formula."""

"""Type stub of the native core: reads an IBT recording into a LogFile."""

from collections.abc import Callable, Sequence
from os import PathLike
from typing import Any, Protocol

from telvane.base import LogFile

__all__: list[str]

class _BinaryFile(Protocol):
    def seek(self, offset: int, /) -> Any: ...
    def read(self) -> bytes | bytearray | Sequence[int]: ...

def ibt(
    source: str | PathLike[str] | bytes | bytearray | memoryview | Sequence[int] | _BinaryFile,
    progress: Callable[[int, int], object] | None = None,
) -> LogFile:
    """Parse an iRacing IBT file and return a LogFile.

    Note: Array variables (those with count > 1, e.g. tire temp arrays)
    are not included as channels. Only scalar (count == 1) variables are
    returned."""

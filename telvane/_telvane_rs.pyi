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
    """Read an IBT recording whole into a LogFile.

    Every scalar variable becomes a channel; array variables (count > 1) are left out
    (`telvane.open(source).read(arrays=True)` reads them).

    Parameters
    ----------
    source : str, os.PathLike, bytes-like or binary file object
        A path (opened by its `os.fsencode` bytes), the file's bytes, or a binary file
        object read from its start.
    progress : callable or None
        Called as `progress(k, n)` after each of the `n` channel tables is made; an
        exception it raises stops the read.

    Returns
    -------
    LogFile
        The channels, laps and metadata.

    Raises
    ------
    OSError
        When a path cannot be opened or mapped, names no regular file, is no valid
        recording (`Invalid header: …`) or changed while it was read.
    RuntimeError
        For bytes or a file object that hold no valid recording.
    TypeError
        For a source of none of the accepted kinds.
    """

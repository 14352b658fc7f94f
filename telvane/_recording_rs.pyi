"""Type stub of the native half of telvane.open: an opened recording read in part."""

from collections.abc import Callable, Sequence
from typing import Any

from telvane.base import LogFile, Metadata

class IbtError(ValueError):
    """The file is not a valid IBT recording; the message says which check it failed.

    A `ValueError`, raised by `telvane.open` and `Recording.read`.

    Attributes
    ----------
    filename : str
        The path, a file object's name, or `"<bytes>"`.
    """

    filename: str

class OpenFile:
    def header(self) -> tuple[str, int, int, int, int, bool]: ...
    def variables(self) -> list[tuple[str, str, int, str, str, int]]: ...
    def positions(self) -> tuple[dict[str, int], dict[str, int]]: ...
    def metadata(self) -> Metadata: ...
    def session_info_block(self) -> bytes: ...
    def read(
        self,
        channel_positions: Sequence[int],
        shown_count: int,
        array_positions: Sequence[int],
        laps: bool,
        progress: Callable[[int, int], object] | None,
        metadata: Metadata,
        name: str,
        session_info_bytes: bytes | None,
        /,
    ) -> LogFile: ...
    def live_batcher(self, positions: Sequence[int], /) -> LiveBatcher: ...
    def close(self) -> None: ...

class LiveBatcher:
    @property
    def schema(self) -> Any: ...
    def batch(self, records: bytes, ticks: Sequence[int], /) -> Any: ...

def open_file(source: Any, recover: bool, name: str | None, /) -> OpenFile: ...
def take_live(memory: Any, buf_len: int, after: int | None, name: str, /) -> list[tuple[int, bytes]]: ...
def newest_live(memory: Any, buf_len: int, name: str, /) -> int | None: ...
def next_live(memory: Any, buf_len: int, take: bool, after: int | None, seen: int | None, rest: float, timeout: float,
              interval: float, batcher: LiveBatcher | None, name: str, /) -> tuple[bool, int | None, bool, list[int], Any]: ...

class SharedMemory:
    def close(self) -> None: ...

def open_simulator() -> SharedMemory | None: ...
def next_simulator(memory: SharedMemory, buf_len: int, take: bool, after: int | None, seen: int | None, rest: float,
                   timeout: float, interval: float, batcher: LiveBatcher | None, name: str,
                   /) -> tuple[bool, int | None, bool, list[int], Any]: ...

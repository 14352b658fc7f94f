"""A file laid out as the simulator's live telemetry memory, written as the simulator writes
its mapping: buffers filled in rotation, each tick count set once its buffer is full."""

from __future__ import annotations

import mmap
import os
import struct
from collections.abc import Sequence
from types import TracebackType

from telvane._live_memory import DESCRIPTORS, HEADER, MAX_BUFFERS, MIN_BUFFERS

__all__ = ["LiveWriter"]

_INFO_AT = 112  # where the simulator's memory keeps the session-info text
_ALIGN = 16


def _aligned(offset: int) -> int:
    return -(-offset // _ALIGN) * _ALIGN


class LiveWriter:
    """Live telemetry memory in the file at `path` (created or replaced): the header, the
    session info at 112 with `info_size` bytes kept for it, the variable headers, then
    `num_buf` buffers of `buf_len` bytes."""

    def __init__(self, path: str | os.PathLike[str], var_headers: Sequence[bytes], buf_len: int,
                 session_info: bytes, *, tick_rate: int = 60, num_buf: int = 3, info_size: int | None = None) -> None:
        if not MIN_BUFFERS <= num_buf <= MAX_BUFFERS:
            raise ValueError(f"num_buf must be {MIN_BUFFERS} to {MAX_BUFFERS}, got {num_buf}")
        self._info_size = _aligned(info_size or max(2 * len(session_info), 4096))
        var_at = _INFO_AT + self._info_size
        first = _aligned(var_at + 144 * len(var_headers))
        self._buf_len, self._num_buf = buf_len, num_buf
        self._offsets = [first + i * _aligned(buf_len) for i in range(num_buf)]
        size = self._offsets[-1] + _aligned(buf_len)
        # Made whole beside `path`, then put in its place: a reader still mapping a file of
        # that name keeps it, where truncating it would pull the pages from under the reader.
        partial = f"{os.fspath(path)}.{os.getpid()}.partial"
        self._file = open(partial, "w+b")  # noqa: SIM115 (closed by close())
        self._file.truncate(size)
        self._view = mmap.mmap(self._file.fileno(), size)
        self._update = 0
        self._written = 0
        self.tick = 0
        HEADER.pack_into(self._view, 0, 2, 1, tick_rate, 0, self._info_size, _INFO_AT, len(var_headers), var_at,
                         num_buf, buf_len)
        for i, offset in enumerate(self._offsets):
            struct.pack_into("<ii", self._view, DESCRIPTORS + 16 * i, 0, offset)
        self._view[var_at:var_at + 144 * len(var_headers)] = b"".join(var_headers)
        self.set_session_info(session_info)
        os.replace(partial, path)

    def write(self, record: bytes, tick: int | None = None) -> None:
        """Fills the oldest buffer with `record`, then gives it the next tick count (or `tick`)."""
        index = self._written % self._num_buf
        self.fill(index, record)
        self.tick = self.tick + 1 if tick is None else tick
        self.set_tick(index, self.tick)
        self._written += 1

    def fill(self, index: int, record: bytes) -> None:
        if len(record) != self._buf_len:
            raise ValueError(f"a record of {len(record)} bytes for buffers of {self._buf_len}")
        self._view[self._offsets[index]:self._offsets[index] + self._buf_len] = record

    def set_tick(self, index: int, tick: int) -> None:
        struct.pack_into("<i", self._view, DESCRIPTORS + 16 * index, tick)

    def set_session_info(self, text: bytes) -> None:
        """Replaces the session-info text and counts the change in session_info_update."""
        if len(text) >= self._info_size:
            raise ValueError(f"session info of {len(text)} bytes does not fit in {self._info_size}")
        self._view[_INFO_AT:_INFO_AT + self._info_size] = text.ljust(self._info_size, b"\0")
        self._update += 1
        struct.pack_into("<i", self._view, 12, self._update)

    def stop(self) -> None:
        """Clears the connected bit of the status, as the simulator does when it stops."""
        struct.pack_into("<i", self._view, 4, 0)

    def close(self) -> None:
        self._view.close()
        self._file.close()

    def __enter__(self) -> LiveWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()
        self.close()

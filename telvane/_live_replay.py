"""The raw records of a recording on disk, as a replay writes them into live telemetry memory."""

from __future__ import annotations

import mmap
import os
import struct
from collections.abc import Iterator
from dataclasses import dataclass

__all__ = ["Recorded", "recorded"]


@dataclass(frozen=True)
class Recorded:
    """A recording checked by the core, with what live memory needs of it."""

    path: str
    var_headers: list[bytes]
    buf_len: int
    buf_offset: int
    count: int
    tick_rate: int
    session_info: bytes

    def records(self) -> Iterator[bytes]:
        with open(self.path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as view:
            if len(view) < self.buf_offset + self.count * self.buf_len:
                raise ValueError(f"{self.path}: the recording shrank since it was opened")
            for index in range(self.count):
                start = self.buf_offset + index * self.buf_len
                yield view[start:start + self.buf_len]


def recorded(path: str | os.PathLike[str]) -> Recorded:
    """The recording on disk at `path`, its layout checked by telvane.open."""
    from telvane._recording import open as open_ibt

    path = os.fspath(path)
    with open_ibt(path) as recording:
        if recording.live_dump:
            raise ValueError(f"{path}: a live telemetry memory dump, not a recording written to disk")
        count, tick_rate = recording.record_count, recording.tick_rate
        info = recording._handle.session_info_block().rstrip(b"\0")
    with open(path, "rb") as file:
        head = file.read(56)
        num_vars, var_at, _, buf_len, _, _, _ = struct.unpack_from("<7i", head, 24)
        buf_offset = struct.unpack_from("<i", head, 52)[0]
        file.seek(var_at)
        block = file.read(144 * num_vars)
    headers = [block[144 * i:144 * (i + 1)] for i in range(num_vars)]
    return Recorded(path, headers, buf_len, buf_offset, count, tick_rate, info)

"""The simulator's live telemetry memory read through a read-only mapping: the layout parsed by
the core from a snapshot of the memory, and records copied so that none is ever torn."""

from __future__ import annotations

import mmap
import os
import struct
import time
from collections.abc import Callable
from dataclasses import dataclass

from telvane._recording_rs import IbtError, open_file

__all__ = ["HEADER", "MAX_BUFFERS", "Layout", "LiveMemory"]

# version, status, tick_rate, session_info_update, session_info_len, session_info_offset,
# num_vars, var_header_offset, num_buf, buf_len
HEADER = struct.Struct("<10i")
STATUS, TICK_RATE, INFO_UPDATE, NUM_BUF, BUF_LEN = 1, 2, 3, 8, 9
DESCRIPTORS = 48  # then (tick count, offset, pad, pad) per buffer
MAX_BUFFERS = 4
VAR_HEADER_SIZE = 144
# A layout snapshot or a copy taken again this many times before the reader gives up: each
# retry means the writer moved on meanwhile, which a writer at 60 Hz does not do twice in a row.
_ATTEMPTS = 16
# The header fields whose change means the variables or the session info changed:
# session_info_update, the session info's length and offset, the variables' count and
# offset, buf_len.
_LAYOUT_FIELDS = (3, 4, 5, 6, 7, 9)


@dataclass(frozen=True)
class Layout:
    """What the core read from one snapshot of the memory: the variables, where each
    channel and array variable is among them, and the session info."""

    fields: tuple[int, ...]  # the header's _LAYOUT_FIELDS when it was taken
    buf_len: int
    variables: list[tuple[str, str, int, str, str, int]]  # name, type, count, unit, desc, offset
    channels: dict[str, int]
    arrays: dict[str, int]
    session_info: str
    session_info_block: bytes  # as the memory holds it
    var_headers: list[bytes]  # the 144 bytes of each, as the memory holds them


class LiveMemory:
    """A read-only view of memory laid out as the simulator's live telemetry: a file mapped
    read-only (`open_file`), or the simulator's own mapping. `pause(seconds)` waits that
    long for the next record, or less: where the writer signals each record, until it does."""

    def __init__(self, view: mmap.mmap, name: str, file: int | None = None,
                 pause: Callable[[float], object] = time.sleep, release: Callable[[], object] | None = None) -> None:
        self._view = view
        self.name = name
        self._file = file  # the descriptor of a mapped file, whose size is watched
        self.pause = pause
        self._release = release
        self._layout: Layout | None = None

    @classmethod
    def open_file(cls, path: str) -> LiveMemory:
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
        try:
            view = mmap.mmap(descriptor, 0, access=mmap.ACCESS_READ)
        except BaseException:
            os.close(descriptor)
            raise
        return cls(view, path, descriptor)

    def close(self) -> None:
        self._view.close()
        if self._release is not None:
            self._release()
        if self._file is not None:
            os.close(self._file)
            self._file = None

    # -- the header and the layout -------------------------------------------------------

    def header(self) -> tuple[int, ...]:
        self._check_size()
        return HEADER.unpack_from(self._view, 0)

    def layout(self) -> Layout:
        """The layout, parsed again by the core whenever the header says the variables or
        the session info changed."""
        fields = _layout_fields(self.header())
        if self._layout is None or self._layout.fields != fields:
            self._layout = self._parse()
        return self._layout

    def _parse(self) -> Layout:
        for _ in range(_ATTEMPTS):
            fields = _layout_fields(self.header())
            snapshot = self._view[:]
            if _layout_fields(HEADER.unpack_from(snapshot, 0)) == fields == _layout_fields(self.header()):
                return _layout_of(snapshot, fields, self.name)
        raise IbtError(f"{self.name}: the layout of the live telemetry kept changing while it was read")

    def _check_size(self) -> None:
        # A mapped file that shrank would end the process on its next read past its new end.
        if self._file is not None and os.fstat(self._file).st_size < len(self._view):
            raise IbtError(f"{self.name}: the live telemetry file shrank while it was mapped")

    # -- the buffers ---------------------------------------------------------------------

    def buffers(self) -> list[tuple[int, int, int]]:
        """(tick count, offset, descriptor index) of every buffer lying inside the memory,
        in tick order, one per tick count."""
        header = self.header()
        count, buf_len = header[NUM_BUF], self.layout().buf_len
        if not 1 <= count <= MAX_BUFFERS:
            raise IbtError(f"{self.name}: num_buf must be 1 to {MAX_BUFFERS}, got {count}")
        found: dict[int, tuple[int, int, int]] = {}
        for index in range(count):
            tick, offset = struct.unpack_from("<ii", self._view, DESCRIPTORS + 16 * index)
            if offset >= 0 and offset + buf_len <= len(self._view):
                found.setdefault(tick, (tick, offset, index))
        return sorted(found.values())

    def newest_tick(self) -> int | None:
        buffers = self.buffers()
        return buffers[-1][0] if buffers else None

    def take(self, after: int | None) -> list[tuple[int, bytes]]:
        """(tick count, record) of the records newer than tick `after` (the newest alone
        for None, or when the ticks went back below `after`: the writer started again), in
        tick order, each copied whole; a record the writer may have begun to overwrite is
        left out."""
        taken: list[tuple[int, bytes]] = []
        for _ in range(_ATTEMPTS):
            buffers = self.buffers()
            if not buffers:
                return taken
            last = taken[-1][0] if taken else after
            newest = buffers[-1][0]
            if last is not None and newest < last:
                if taken:
                    return taken
                last = None
            wanted = buffers[-1:] if last is None else [buffer for buffer in buffers if buffer[0] > last]
            if self._copy_all(wanted, taken):
                return taken
        return taken

    def _copy_all(self, wanted: list[tuple[int, int, int]], taken: list[tuple[int, bytes]]) -> bool:
        """Copies the `wanted` buffers into `taken`; False when one was overwritten during
        its copy, which is then thrown away."""
        count, buf_len = self.header()[NUM_BUF], self.layout().buf_len
        for tick, offset, index in wanted:
            if not self._safe(tick, count):
                continue
            record = self._copy(offset, buf_len)
            again = struct.unpack_from("<i", self._view, DESCRIPTORS + 16 * index)[0]
            if again != tick or not self._safe(tick, count):
                return False
            taken.append((tick, record))
        return True

    def _safe(self, tick: int, count: int) -> bool:
        """Whether the writer cannot have begun to overwrite the buffer of `tick`: it fills
        the oldest buffer before it sets its tick count, so the oldest is safe only while
        the newest tick is below its tick + count - 1. A lone buffer has only its tick count
        read twice."""
        newest = self.newest_tick()
        return count == 1 or (newest is not None and newest < tick + count - 1)

    def _copy(self, offset: int, length: int) -> bytes:
        return self._view[offset:offset + length]


def _layout_fields(header: tuple[int, ...]) -> tuple[int, ...]:
    return tuple(header[index] for index in _LAYOUT_FIELDS)


def _layout_of(snapshot: bytes, fields: tuple[int, ...], name: str) -> Layout:
    """The layout the core reads from `snapshot`, which must be laid out as live memory."""
    opened = open_file(snapshot, False, name)
    try:
        if not opened.header()[5]:
            raise IbtError(f"{name}: not laid out as live telemetry memory (a recording written to disk?)")
        variables = opened.variables()
        channels, arrays = opened.positions()
        info, block = opened.metadata()["session_info_yaml"], opened.session_info_block()
    finally:
        opened.close()
    header = HEADER.unpack_from(snapshot, 0)
    start = header[7]
    var_headers = [snapshot[start + VAR_HEADER_SIZE * i:start + VAR_HEADER_SIZE * (i + 1)]
                   for i in range(len(variables))]
    return Layout(fields, header[BUF_LEN], variables, channels, arrays, info, block, var_headers)

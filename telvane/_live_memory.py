"""The simulator's live telemetry memory read through a read-only mapping: the layout parsed by
the core from a snapshot of the memory, and records copied so that none is ever torn."""

from __future__ import annotations

import mmap
import os
import struct
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

from telvane._recording_rs import (
    IbtError,
    OpenFile,
    newest_live,
    next_live,
    next_simulator,
    open_file,
    open_simulator,
    take_live,
)

if TYPE_CHECKING:
    from telvane._recording_rs import LiveBatcher

__all__ = ["HEADER", "Closed", "Layout", "LiveMemory"]

# version, status, tick_rate, session_info_update, session_info_len, session_info_offset,
# num_vars, var_header_offset, num_buf, buf_len
HEADER = struct.Struct("<10i")
STATUS, TICK_RATE, INFO_UPDATE, NUM_BUF, BUF_LEN = 1, 2, 3, 8, 9
DESCRIPTORS = 48  # then (tick count, offset, pad, pad) per buffer
MIN_BUFFERS, MAX_BUFFERS = 2, 4  # the core reads no fewer: a lone buffer's record cannot be proven whole
VAR_HEADER_SIZE = 144
# A layout snapshot taken again this many times before the reader gives up: each retry means
# the writer changed the layout meanwhile, which it does not do many times in a row.
_ATTEMPTS = 16
T = TypeVar("T")
NOT_RUNNING = "the simulator is not running: no live telemetry to connect to"


class Closed(ValueError):
    """The live telemetry was closed, by this thread or another."""


@dataclass(frozen=True)
class Layout:
    """What the core read from one snapshot of the memory: the variables, where each
    channel and array variable is among them, and the session info; `handle` the snapshot
    opened, which makes batches of records of this layout."""

    handle: OpenFile
    fields: tuple[int, ...]  # the header's layout fields when it was taken
    buf_len: int
    variables: list[tuple[str, str, int, str, str, int]]  # name, type, count, unit, desc, offset
    channels: dict[str, int]
    arrays: dict[str, int]
    session_info: str
    session_info_block: bytes  # as the memory holds it
    var_headers: list[bytes]  # the 144 bytes of each, as the memory holds them


class LiveMemory:
    """A read-only view of memory laid out as the simulator's live telemetry: a file mapped
    read-only (`open_file`), or the simulator's own mapping with its event (`simulator`).

    Any thread may close it: a read under way ends first (it holds the view's buffer, which
    cannot be closed meanwhile), the ones after raise `Closed`."""

    def __init__(self, view: Any, name: str, file: int | None = None, *, event: bool = False) -> None:
        self._view = view  # a read-only buffer with close()
        self.name = name
        self._file = file  # the descriptor of a mapped file, whose size is watched
        self.event = event  # waits are woken by the simulator's event rather than looking
        self._next = next_simulator if event else next_live
        self._layout: Layout | None = None
        self._closing = threading.Lock()
        self._closed = False

    @classmethod
    def open_file(cls, path: str) -> LiveMemory:
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
        try:
            view = mmap.mmap(descriptor, 0, access=mmap.ACCESS_READ)
        except BaseException:
            os.close(descriptor)
            raise
        return cls(view, path, descriptor)

    @classmethod
    def simulator(cls) -> LiveMemory:
        """The simulator's mapping and data-valid event (Windows); ConnectionError when it is not running."""
        view = open_simulator()
        if view is None:
            raise ConnectionError(NOT_RUNNING)
        memory = cls(view, "the simulator", event=True)
        try:
            if not memory.header()[STATUS] & 1:  # stopped, its mapping left behind
                raise ConnectionError(NOT_RUNNING)
        except BaseException:
            memory.close()
            raise
        return memory

    def close(self) -> None:
        """Unmaps the view once a read under way in another thread has ended; closing again does nothing."""
        self._closed = True
        with self._closing:
            while True:
                try:
                    self._view.close()
                    break
                except BufferError:  # held by a read in the core, which stays there a wait's slice at most
                    time.sleep(0.001)
            if self._file is not None:
                os.close(self._file)
                self._file = None

    def check_open(self) -> None:
        if self._closed:
            raise Closed(f"live telemetry {self.name!r} is closed")

    def _read(self, read: Callable[..., T], *args: object) -> T:
        """`read(view, *args)`: `Closed` when another thread closed the view before it was taken."""
        self.check_open()
        try:
            self._check_size()
            return read(self._view, *args)
        except (ValueError, OSError):
            self.check_open()
            raise

    # -- the header and the layout -------------------------------------------------------

    def header(self) -> tuple[int, ...]:
        return self._read(HEADER.unpack_from, 0)

    def layout(self, header: tuple[int, ...] | None = None) -> Layout:
        """The layout, parsed again by the core whenever the header (read now, or `header` just
        read) says the variables or the session info changed."""
        fields = _layout_fields(self.header() if header is None else header)
        if self._layout is None or self._layout.fields != fields:
            self._layout = self._parse()
        return self._layout

    def _parse(self) -> Layout:
        for _ in range(_ATTEMPTS):
            fields = _layout_fields(self.header())
            snapshot = self._read(bytes)
            if _layout_fields(HEADER.unpack_from(snapshot, 0)) == fields == _layout_fields(self.header()):
                return _layout_of(snapshot, fields, self.name)
        raise IbtError(f"{self.name}: the layout of the live telemetry kept changing while it was read")

    def _check_size(self) -> None:
        # A mapped file that shrank would end the process on its next read past its new end.
        # The descriptor is read once: another thread's close() sets it to None.
        file = self._file
        if file is not None and os.fstat(file).st_size < len(self._view):
            raise IbtError(f"{self.name}: the live telemetry file shrank while it was mapped")

    # -- the records, read by the core off the interpreter lock ------------------------

    def newest_tick(self) -> int | None:
        """The highest tick count of the buffers lying inside the memory."""
        return self._read(newest_live, self.layout().buf_len, self.name)

    def take(self, after: int | None) -> list[tuple[int, bytes]]:
        """(tick count, record) of the records newer than tick `after` (the newest alone
        for None, or when the ticks went back below `after`: the writer started again), in
        tick order, each copied whole; a record the writer may have begun to overwrite is
        left out."""
        return self._read(take_live, self.layout().buf_len, after, self.name)

    def next(self, layout: Layout, take: bool, after: int | None, seen: int | None, rest: float, timeout: float,
             interval: float, batcher: LiveBatcher | None) -> tuple[bool, int | None, bool, list[int], Any]:
        """(waited, newest, looked, ticks, records): with `take`, the records of `layout` newer
        than tick `after`, as `take()` takes them, their bytes back to back (with a `batcher`,
        their batch, None for none); when there are none (waited),
        a rest of `rest` seconds unless a tick other than `seen` is there, then a wait until
        the newest tick count is not `seen`, the status says disconnected or `timeout` seconds
        passed, looking at least every `interval` seconds (woken by the simulator's event when
        it has one), and the records taken again (with `take`). `newest` is the newest tick count the wait
        saw, `looked` whether it had to look more than once: one call a tick, its reads
        guarded and the file's size checked once."""
        return self._read(self._next, layout.buf_len, take, after, seen, rest, timeout, interval, batcher,
                          self.name)


def _layout_fields(header: tuple[int, ...]) -> tuple[int, ...]:
    """The header fields whose change means the variables or the session info changed:
    session_info_update, the session info's length and offset, the variables' count and
    offset, buf_len."""
    return header[3], header[4], header[5], header[6], header[7], header[9]


def _layout_of(snapshot: bytes, fields: tuple[int, ...], name: str) -> Layout:
    """The layout the core reads from `snapshot`, which must be laid out as live memory."""
    opened = open_file(snapshot, False, name)
    if not opened.header()[5]:
        opened.close()
        raise IbtError(f"{name}: not laid out as live telemetry memory (a recording written to disk?)")
    variables = opened.variables()
    channels, arrays = opened.positions()
    header = HEADER.unpack_from(snapshot, 0)
    start = header[7]
    var_headers = [snapshot[start + VAR_HEADER_SIZE * i:start + VAR_HEADER_SIZE * (i + 1)]
                   for i in range(len(variables))]
    return Layout(opened, fields, header[BUF_LEN], variables, channels, arrays, opened.metadata()["session_info_yaml"],
                  opened.session_info_block(), var_headers)

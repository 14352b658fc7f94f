"""Live telemetry: the simulator's shared memory, or a file laid out as it, read as Arrow record
batches while it is written; and a recording replayed into such a file at its own pace."""

from __future__ import annotations

import math
import sys
import time
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from telvane._live_memory import STATUS, TICK_RATE, Closed, Layout, LiveMemory
from telvane._recording_rs import IbtError

if TYPE_CHECKING:
    import os

    import pyarrow as pa

    from telvane._live_batch import Decoder

__all__ = ["Live", "connect", "replay"]

NOT_WINDOWS = "live telemetry needs the simulator, which runs on Windows; give source= a file"
# The simulator counts as gone when its tick count stands still this long with its status
# still connected: it died without clearing the status.
STALE_SECONDS = 2.0
# The longest a wait stays in the core at once: a close() from another thread waits for it.
_SLICE = 0.05
# The share of a tick a wait sleeps through before it looks, once a record came on time: the
# writer keeps its pace, so the next cannot come much sooner, and each look wakes the process.
REST = 0.75

Records = list[tuple[int, bytes]]
# The layout read with, the tick counts, and their records back to back or their batch.
Taken = tuple[Layout, list[int], Any]


class Live:
    """Live telemetry being written: `wait()` for the next record, `latest()` the newest, `batches()` every record.

    Close it, or use it in a `with` block. `telvane.live.connect` returns one.

    Attributes
    ----------
    missed : int
        The ticks `batches` skipped because the reader came too late for them (the simulator
        keeps the last few records only): counted, never made up.
    """

    def __init__(self, memory: LiveMemory) -> None:
        self._memory = memory
        self._closed = False
        self.missed = 0  # ticks that batches() skipped because the reader came too late for them
        self._waited = memory.newest_tick()
        self._observed, self._moved_at = self._waited, time.monotonic()
        self._on_time: float | None = None  # when a wait saw the tick after the one before come
        self._decoders: dict[tuple[str, ...] | None, Decoder] = {}

    # -- what the memory holds -----------------------------------------------------------

    @property
    def session_info(self) -> str:
        """The session-info text, read again whenever the simulator changes it."""
        self._check_open()
        return self._memory.layout().session_info

    @property
    def connected(self) -> bool:
        """True while the status says connected and the tick count moves."""
        self._check_open()
        self._observe()
        return self._connected()

    def _connected(self) -> bool:
        return bool(self._memory.header()[STATUS] & 1) and time.monotonic() - self._moved_at < STALE_SECONDS

    def _observe(self) -> int | None:
        return self._note(self._memory.newest_tick())

    def _note(self, newest: int | None) -> int | None:
        """Notes when the newest tick count last changed."""
        if newest != self._observed:
            self._observed, self._moved_at = newest, time.monotonic()
        return newest

    # -- waiting and reading -------------------------------------------------------------

    def wait(self, timeout: float | None = None) -> bool:
        """Wait for a record newer than the one the last wait saw.

        Parameters
        ----------
        timeout : float or None
            Seconds to wait at most; by default without end.

        Returns
        -------
        bool
            True when one came, False when `timeout` passed first or the simulator disconnected.

        Raises
        ------
        ValueError
            When the Live is closed (a wait under way when another thread closes it returns False).
        """
        self._check_open()
        try:
            return self._wait(timeout)
        except Closed:
            return False

    def _wait(self, timeout: float | None) -> bool:
        return self._next(timeout, None, take=False) is not None

    def _next(self, timeout: float | None, after: int | None, *, take: bool = True, batch: bool = False,
              columns: str | Iterable[str] | None = None) -> Taken | None:
        """The records newer than tick `after` (with `take`; with `batch`, their batch of
        `columns`, None for none), or once there are none, a wait for a record newer than the
        one the last wait saw and the records then: None when `timeout` passed first or the
        simulator disconnected. One call into the core a tick."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            header = self._memory.header()
            layout, rate = self._memory.layout(header), header[TICK_RATE]
            # A few looks per tick: soon enough for the buffer before the newest, which stays
            # whole for a tick more, without keeping a core busy.
            interval = min(max(1 / (8 * rate), 0.0005), 0.005) if rate > 0 else 0.002
            now = time.monotonic()
            left = min(self._moved_at + STALE_SECONDS - now, _SLICE)
            if deadline is not None:
                left = min(left, deadline - now)
            # After a record that came on time, most of the tick is slept through before the
            # first look: polling, each look wakes the process (the simulator's event wakes it once).
            rest = self._on_time + REST / rate - now if self._on_time is not None and rate > 0 else 0.0
            batcher = self._decoder(columns, layout).batcher if batch else None
            waited, newest, looked, ticks, records = self._memory.next(
                layout, take, after, self._waited, max(rest, 0.0), max(left, 0.0), interval, batcher)
            if not waited:
                return layout, ticks, records
            self._note(newest)
            if newest != self._waited:
                on_time = looked and self._waited is not None and newest == self._waited + 1
                self._on_time = self._moved_at if on_time and not self._memory.event else None
                self._waited = newest
                return layout, ticks, records
            if not self._connected() or (deadline is not None and time.monotonic() >= deadline):
                return None

    def latest(self, columns: str | Iterable[str] | None = None) -> pa.RecordBatch:
        """Return the newest record.

        Parameters
        ----------
        columns : str, iterable of str or None
            The variables; all by default.

        Returns
        -------
        pyarrow.RecordBatch
            One row: `tick`, `timecodes` (ms of `SessionTime`), then the variables, array
            variables as fixed-size lists.

        Raises
        ------
        KeyError
            For a name that is no variable.
        LookupError
            When the memory holds no record yet.
        ValueError
            When the Live is closed.
        """
        self._check_open()
        layout = self._memory.layout()
        decode = self._decoder(columns, layout)
        records = self._memory.take(None)
        if not records:
            raise LookupError(f"{self._memory.name}: the live telemetry holds no record")
        (tick, record), = records
        if len(record) != layout.buf_len:
            raise IbtError("the variables of the live telemetry changed while its records were read")
        return decode([tick], record)

    def batches(self, columns: str | Iterable[str] | None = None, *, max_records: int | None = None,
                timeout: float | None = None) -> Iterator[pa.RecordBatch]:
        """Iterate over the records as they come.

        A tick the reader came too late for is counted in `missed`.

        Parameters
        ----------
        columns : str, iterable of str or None
            The variables; all by default.
        max_records : int or None
            End after this many records.
        timeout : float or None
            End when no record comes for this many seconds.

        Yields
        ------
        pyarrow.RecordBatch
            The records that came since the last batch, in tick order, columns as `latest` gives
            them. The iteration also ends when the simulator disconnects, or when another thread
            closes the Live.

        Raises
        ------
        KeyError
            For a name that is no variable.
        ValueError
            When the Live is closed.
        """
        self._check_open()
        self._decoder(columns)  # an unknown name raised now, not at the first batch
        return self._batches(columns, max_records, timeout)

    def _batches(self, columns: str | Iterable[str] | None, max_records: int | None,
                 timeout: float | None) -> Iterator[pa.RecordBatch]:
        taken = self._taken(max_records=max_records, timeout=timeout, batch=True, columns=columns)
        while True:
            try:
                _, _, batch = next(taken)
            except (StopIteration, Closed):
                return
            yield batch

    def _records(self, *, max_records: int | None = None, timeout: float | None = None) -> Iterator[Records]:
        """What batches() yields, as (tick count, record bytes) pairs."""
        for layout, ticks, records in self._taken(max_records=max_records, timeout=timeout):
            size = layout.buf_len
            yield [(tick, records[i * size:(i + 1) * size]) for i, tick in enumerate(ticks)]

    def _taken(self, *, max_records: int | None = None, timeout: float | None = None, batch: bool = False,
               columns: str | Iterable[str] | None = None) -> Iterator[Taken]:
        """What batches() yields, with the layout and the tick counts, as the records back to
        back or (with `batch`) their batch of `columns`."""
        last: int | None = None
        count = 0
        while max_records is None or count < max_records:
            taken = self._next(timeout, last, batch=batch, columns=columns)
            if taken is None:
                return
            layout, ticks, records = taken
            if not ticks:
                continue
            if max_records is not None and len(ticks) > max_records - count:
                ticks = ticks[:max_records - count]
                records = records.slice(0, len(ticks)) if batch else records[:len(ticks) * layout.buf_len]
            for tick in ticks:
                if last is not None and tick > last:
                    self.missed += tick - last - 1
                last = tick
            count += len(ticks)
            yield layout, ticks, records

    def _decoder(self, columns: str | Iterable[str] | None, layout: Layout | None = None) -> Decoder:
        key = None if columns is None else (columns,) if isinstance(columns, str) else tuple(columns)
        layout = self._memory.layout() if layout is None else layout
        decoder = self._decoders.get(key)
        if decoder is None or decoder.layout is not layout:
            from telvane._live_batch import decoder_of

            decoder = self._decoders[key] = decoder_of(layout, key)
        return decoder

    # -- lifetime ------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """Whether `close()` was called."""
        return self._closed

    def close(self) -> None:
        """Unmap the memory, once a read under way in another thread has ended; closing again does nothing."""
        if not self._closed:
            self._closed = True
            self._memory.close()

    def __enter__(self) -> Live:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _check_open(self) -> None:
        self._memory.check_open()

    def __repr__(self) -> str:
        return f"<Live {self._memory.name!r}: {'closed' if self._closed else 'open'}>"


def connect(source: str | os.PathLike[str] | None = None, *, timeout: float | None = None) -> Live:
    """Connect to live telemetry: the simulator's, or a file laid out as its memory.

    Parameters
    ----------
    source : str, os.PathLike or None
        A file laid out as live telemetry memory, mapped read-only; None for the simulator's
        own mapping and data-valid event (Windows).
    timeout : float or None
        Seconds given to the file to appear or the simulator to start; by default neither is
        waited for.

    Returns
    -------
    Live
        The connection.

    Raises
    ------
    ConnectionError
        When the simulator is not running, or on another system than Windows without `source`.
    IbtError
        For a file that is not laid out as live memory.
    """
    if source is None and sys.platform != "win32":
        raise ConnectionError(NOT_WINDOWS)
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        try:
            return Live(_open(source))
        except (FileNotFoundError, ConnectionError):
            if deadline is None or time.monotonic() >= deadline:
                raise
            time.sleep(0.1)


def _open(source: str | os.PathLike[str] | None) -> LiveMemory:
    import os

    memory = LiveMemory.simulator() if source is None else LiveMemory.open_file(os.fspath(source))
    try:
        memory.layout()
    except BaseException:
        memory.close()
        raise
    return memory


def replay(recording: str | os.PathLike[str], path: str | os.PathLike[str], *, rate: float = 1.0) -> int:
    """Write a recording's records into a file laid out as live telemetry memory, at its own pace.

    Buffers rotate as the simulator rotates them; the connected status is cleared at the end.

    Parameters
    ----------
    recording : str or os.PathLike
        The recording on disk.
    path : str or os.PathLike
        The file to write.
    rate : float
        The pace: the recording's tick rate times this (`math.inf`: as fast as they can be
        written).

    Returns
    -------
    int
        The number of records written.

    Raises
    ------
    ValueError
        For a rate that is not positive.
    """
    if not rate > 0:
        raise ValueError(f"rate must be positive, got {rate}")
    from telvane._live_replay import recorded

    source = recorded(recording)
    from telvane._live_writer import LiveWriter

    with LiveWriter(path, source.var_headers, source.buf_len, source.session_info,
                    tick_rate=source.tick_rate) as writer:
        start = time.monotonic()
        period = 1 / (source.tick_rate * rate) if math.isfinite(rate) and source.tick_rate > 0 else 0.0
        for index, record in enumerate(source.records()):
            pause = start + index * period - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            writer.write(record)
        return source.count

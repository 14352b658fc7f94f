"""An IBT recording written while live telemetry comes: whole once finished, and read back
through recover=True when cut short, as a simulator that crashed leaves its files."""

from __future__ import annotations

import struct
import time
from collections.abc import Sequence
from os import PathLike

__all__ = ["IbtRecorder"]

_HEAD = 144  # the main header and the disk sub-header
_VAR_HEADER = 144


class IbtRecorder:
    """The file at `path` (which must not exist): its head, the variable headers and the
    session info as it was at the start, then the records as they are added. finish() adds
    the session info as it is at the end and writes the record count, the lap count (when
    `Lap` is recorded), the start and end times and where that session info lies into the
    head."""

    def __init__(self, path: str | PathLike[str], var_headers: Sequence[bytes], buf_len: int, tick_rate: int,
                 session_info: bytes, time_offset: int) -> None:
        self._file = open(path, "xb")  # noqa: SIM115 (closed by finish())
        self._vars, self._buf_len, self._tick_rate = len(var_headers), buf_len, tick_rate
        self._time_offset = time_offset  # of SessionTime in a record
        self._records_at = _HEAD + _VAR_HEADER * len(var_headers) + len(session_info)
        self._started = int(time.time())
        self.count = 0
        self._times = (0.0, 0.0)
        self._lap_at = _int_offset(var_headers, b"Lap")
        self._lap: int | None = None
        self.laps = 0
        self._file.write(self._head(len(session_info), _HEAD + _VAR_HEADER * len(var_headers)))
        self._file.write(b"".join(var_headers) + session_info)
        self._file.flush()

    @property
    def size(self) -> int:
        return self._records_at + self.count * self._buf_len

    def add(self, records: Sequence[bytes]) -> None:
        """Appends whole records, flushed to the file at once: a crash loses none of them."""
        if not records:
            return
        self._file.write(b"".join(records))
        self._file.flush()
        first = self._times[0] if self.count else self._time(records[0])
        self._times = (first, self._time(records[-1]))
        self.count += len(records)
        if self._lap_at is not None:
            self._count_laps(records, self._lap_at)

    def _count_laps(self, records: Sequence[bytes], at: int) -> None:
        # as the simulator counts them: the first lap, and one more at each change of Lap
        for record in records:
            lap = struct.unpack_from("<i", record, at)[0]
            self.laps += lap != self._lap
            self._lap = lap

    def finish(self, session_info: bytes) -> None:
        """Makes the file whole: the last session info after the records, then the head."""
        if self._file.closed:
            return
        try:
            self._file.write(session_info)
            self._file.seek(0)
            self._file.write(self._head(len(session_info), self.size))
        finally:
            self._file.close()

    def _time(self, record: bytes) -> float:
        return float(struct.unpack_from("<d", record, self._time_offset)[0])

    def _head(self, info_len: int, info_at: int) -> bytes:
        header = struct.pack("<10i", 2, 1, self._tick_rate, 0, info_len, info_at, self._vars, _HEAD, 1,
                             self._buf_len)
        header += bytes(8) + struct.pack("<ii", 0, self._records_at) + bytes(56)
        return header + struct.pack("<qddii", self._started, *self._times, self.laps, self.count)


def _int_offset(var_headers: Sequence[bytes], name: bytes) -> int | None:
    """Where the scalar int variable `name` lies in a record, if there is one."""
    for header in var_headers:
        kind, offset, count = struct.unpack_from("<3i", header)
        if header[16:48].rstrip(b"\0") == name and kind == 2 and count == 1:
            return int(offset)
    return None

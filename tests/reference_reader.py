"""An independent reading of an IBT file with struct and numpy, from the file format alone.

Tests compare what the native reader returns with this slower, plainer reading of the same
bytes: header fields, variable headers, the session-info text, every scalar's values, the
millisecond timecodes, the laps and the metadata dict."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from fractions import Fraction
from functools import cached_property

import numpy as np

CHAR, BOOL, INT, BITFIELD, FLOAT, DOUBLE = range(6)
ELEMENT_SIZE = {CHAR: 1, BOOL: 1, INT: 4, BITFIELD: 4, FLOAT: 4, DOUBLE: 8}
DTYPE = {CHAR: "<u1", BOOL: "<u1", INT: "<i4", BITFIELD: "<u4", FLOAT: "<f4", DOUBLE: "<f8"}
# Unsigned integers of each value's width, to compare floating-point values bit for bit.
BITS_DTYPE = {CHAR: "<u1", BOOL: "<u1", INT: "<u4", BITFIELD: "<u4", FLOAT: "<u4", DOUBLE: "<u8"}

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
# Unicode White_Space; str.strip() without arguments would also strip U+001C..U+001F.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) \
    + "\u2028\u2029\u202f\u205f\u3000"
METADATA_PREFIXES = {
    "TrackName: ": "track_name",
    "TrackDisplayName: ": "track_display_name",
    "TrackCity: ": "track_city",
    "TrackCountry: ": "track_country",
    "TrackLength: ": "track_length",
    "SeriesID: ": "series_id",
    "SeasonID: ": "season_id",
    "SessionID: ": "session_id",
    "SubSessionID: ": "sub_session_id",
}
LAP_FRACTION_LOW, LAP_FRACTION_HIGH = np.float32(0.02), np.float32(0.98)


class RecordAreaOverrun(IndexError):
    """A fixed-width read that would leave the record area."""


@dataclass(frozen=True)
class Variable:
    name: str
    desc: str
    unit: str
    type: int
    offset: int
    count: int


def _text(field: bytes) -> str:
    return field.split(b"\0", 1)[0].decode("utf-8", "replace")


def _variable(data: bytes, at: int) -> Variable:
    type_, offset, count = struct.unpack_from("<Iii", data, at)
    return Variable(_text(data[at + 16:at + 48]), _text(data[at + 48:at + 112]),
                    _text(data[at + 112:at + 144]), type_, offset, count)


def session_info_text(block: bytes) -> str:
    """The text of a session-info block: from the first "---" (else the first non-NUL byte)
    to the last non-NUL byte."""
    start = block.find(b"---")
    if start < 0:
        start = next((i for i, byte in enumerate(block) if byte), 0)
    stop = len(block.rstrip(b"\0"))
    return block[start:max(start, stop)].decode("utf-8", "replace")


def timecode(seconds: float) -> int:
    """Milliseconds: seconds × 1000 in binary64, rounded half away from zero, saturated."""
    product = float(seconds) * 1000.0
    if product != product:
        return 0
    if product >= 2**63:
        return INT64_MAX
    if product < -(2**63):
        return INT64_MIN
    exact = Fraction(product)
    magnitude = int(abs(exact) + Fraction(1, 2))  # int() of a non-negative Fraction floors
    return magnitude if exact >= 0 else -magnitude


def inside(fraction: np.float32) -> bool:
    return bool(fraction > LAP_FRACTION_LOW and fraction < LAP_FRACTION_HIGH)


def lap_type(length: int, pit_first: bool, pit_last: bool,
             d_first: np.float32, d_last: np.float32) -> str:
    if length < 2:
        return "incomplete"
    if pit_first:
        return "out"
    if pit_last:
        return "in"
    return "partial" if inside(d_first) or inside(d_last) else "full"


def trim(text: str) -> str:
    return text.strip(WHITE_SPACE)


def scan_session_info(text: str) -> dict[str, str]:
    """The nine keys of the line scanner, in the order of their first matching line."""
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    found: dict[str, str] = {}
    for line in lines:
        line = trim(line[:-1] if line.endswith("\r") else line)
        for prefix, key in METADATA_PREFIXES.items():
            if line.startswith(prefix):
                found[key] = trim(line[len(prefix):])
    return found


class ReferenceFile:
    """One IBT file read from its bytes."""

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)
        (self.version, _, self.tick_rate, _, self.session_info_len, self.session_info_offset,
         self.num_vars, self.var_header_offset, _, self.buf_len) = struct.unpack_from("<10i", self.data)
        if self.version not in (1, 2):
            raise ValueError(f"IBT version {self.version}")
        self.buf_offset = struct.unpack_from("<i", self.data, 52)[0]
        (self.session_start_date, self.start_time, self.end_time, self.lap_count,
         self.record_count) = struct.unpack_from("<qddii", self.data, 112)
        self.vars = [_variable(self.data, self.var_header_offset + 144 * i)
                     for i in range(self.num_vars)]
        block = self.data[self.session_info_offset:self.session_info_offset + self.session_info_len]
        self.session_info = session_info_text(block)

    @classmethod
    def open(cls, path: object) -> ReferenceFile:
        with open(path, "rb") as source:  # type: ignore[call-overload]
            return cls(source.read())

    def find_var(self, name: str) -> Variable | None:
        """The last variable of that name, as the file's name lookup resolves duplicates."""
        return next((v for v in reversed(self.vars) if v.name == name), None)

    @cached_property
    def record_area(self) -> memoryview:
        size = self.buf_len * self.record_count
        return memoryview(self.data)[self.buf_offset:self.buf_offset + size]

    def read(self, offset: int, dtype: str) -> np.ndarray:
        """One value per record at `offset` inside each record, read from the record area;
        a read for a record may take bytes of the next one but never leave the area."""
        width = np.dtype(dtype).itemsize
        n = self.record_count
        if n and (n - 1) * self.buf_len + offset + width > len(self.record_area):
            raise RecordAreaOverrun(
                f"read of {width} bytes at {(n - 1) * self.buf_len + offset} "
                f"leaves the record area of {len(self.record_area)} bytes")
        if n == 0:
            return np.empty(0, dtype)
        return np.ndarray((n,), dtype, self.record_area, offset, (self.buf_len,)).copy()

    def values(self, var: Variable) -> np.ndarray:
        """Element 0 of the variable in every record; Bool as True for any non-zero byte."""
        raw = self.read(var.offset, DTYPE[var.type])
        return raw != 0 if var.type == BOOL else raw

    def value_bits(self, var: Variable) -> np.ndarray:
        """The bytes of element 0 in every record as unsigned integers (Bool: 0 or 1)."""
        values = self.values(var)
        return values.astype("u1") if var.type == BOOL else values.view(BITS_DTYPE[var.type])

    @cached_property
    def timecodes(self) -> np.ndarray:
        var = self.find_var("SessionTime")
        if var is None or var.type != DOUBLE:
            raise ValueError("no Double SessionTime")
        seconds = self.read(var.offset, "<f8")
        return np.array([timecode(s) for s in seconds.tolist()], dtype=np.int64)

    def scalars(self) -> list[Variable]:
        """The variables that become channels, in file order, duplicates kept."""
        return [v for v in self.vars if v.count == 1]

    def field_metadata(self, var: Variable) -> dict[bytes, bytes]:
        interpolate = "True" if var.type in (FLOAT, DOUBLE) else "False"
        return {b"units": var.unit.encode(), b"desc": var.desc.encode(),
                b"interpolate": interpolate.encode()}

    def _lap_inputs(self) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
        lap_var = self.find_var("Lap")
        if lap_var is None or self.record_count == 0:
            return None
        laps = self.read(lap_var.offset, "<i4")
        pit_var = self.find_var("OnPitRoad")
        pits = (self.read(pit_var.offset, "<u1") != 0 if pit_var
                else np.zeros(self.record_count, bool))
        pct_var = self.find_var("LapDistPct")
        if pct_var is not None and pct_var.type == FLOAT:
            fractions = self.read(pct_var.offset, "<f4")
        elif pct_var is not None and pct_var.type == DOUBLE:
            fractions = self.read(pct_var.offset, "<f8").astype(np.float32)
        else:
            fractions = np.zeros(self.record_count, np.float32)
        return laps, pits, fractions

    def laps(self) -> list[dict[str, object]]:
        """The rows of the laps table: num, start_time, end_time, lap_type, session."""
        inputs = self._lap_inputs()
        if inputs is None:
            return []
        laps, pits, fractions = inputs
        n, times = len(laps), self.timecodes.tolist()
        starts = [0] + [i for i in range(1, n) if laps[i] != laps[i - 1]]
        ends = starts[1:] + [n]
        rows, session = [], 0
        for k, (first, end) in enumerate(zip(starts, ends)):
            last = end - 1
            if k > 0 and laps[first] == 0:
                session += 1
            rows.append({
                "num": int(laps[first]),
                "start_time": times[first],
                "end_time": times[end] if end < n else times[n - 1],
                "lap_type": lap_type(end - first, bool(pits[first]), bool(pits[last]),
                                     fractions[first], fractions[last]),
                "session": session,
            })
        return rows

    def metadata(self) -> dict[str, object]:
        return {
            "session_info_yaml": self.session_info,
            **scan_session_info(self.session_info),
            "tick_rate": self.tick_rate,
            "record_count": self.record_count,
            "lap_count": self.lap_count,
            "session_start_date": self.session_start_date,
            "start_time": self.start_time,
            "end_time": self.end_time,
        }

"""An independent reading of an IBT file with struct and numpy, from the file format alone;
`assert_matches` compares what the native reader returns with it."""

from __future__ import annotations

import struct
from collections import namedtuple
from fractions import Fraction
from functools import cached_property

import numpy as np
import pyarrow as pa

CHAR, BOOL, INT, BITFIELD, FLOAT, DOUBLE = range(6)
ELEMENT_SIZE = {CHAR: 1, BOOL: 1, INT: 4, BITFIELD: 4, FLOAT: 4, DOUBLE: 8}
BITS_DTYPE = {CHAR: "<u1", BOOL: "<u1", INT: "<u4", BITFIELD: "<u4", FLOAT: "<u4", DOUBLE: "<u8"}
ARROW_TYPES = [pa.uint8(), pa.bool_(), pa.int32(), pa.uint32(), pa.float32(), pa.float64()]
# Unicode White_Space; str.strip() without arguments would also strip U+001C..U+001F.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) \
    + "\u2028\u2029\u202f\u205f\u3000"
METADATA_PREFIXES = {
    "TrackName: ": "track_name", "TrackDisplayName: ": "track_display_name", "TrackCity: ": "track_city",
    "TrackCountry: ": "track_country", "TrackLength: ": "track_length", "SeriesID: ": "series_id",
    "SeasonID: ": "season_id", "SessionID: ": "session_id", "SubSessionID: ": "sub_session_id",
}
LAPS_SCHEMA = pa.schema([pa.field("num", pa.int32(), False), pa.field("start_time", pa.int64(), False),
                         pa.field("end_time", pa.int64(), False), pa.field("lap_type", pa.utf8(), False),
                         pa.field("session", pa.int32(), False)])
Variable = namedtuple("Variable", "name desc unit type offset count")


class RecordAreaOverrun(IndexError):
    pass


def _text(field: bytes) -> str:
    return field.split(b"\0", 1)[0].decode("utf-8", "replace")


def session_info_text(block: bytes) -> str:
    """From the first "---" (else the first non-NUL byte) to the last non-NUL byte."""
    start = block.find(b"---")
    if start < 0:
        start = next((i for i, byte in enumerate(block) if byte), 0)
    return block[start:max(start, len(block.rstrip(b"\0")))].decode("utf-8", "replace")


def timecode(seconds: float) -> int:
    """Milliseconds: seconds × 1000 in binary64, rounded half away from zero, saturated."""
    product = float(seconds) * 1000.0
    if product != product:
        return 0
    if abs(product) >= 2**63:
        return 2**63 - 1 if product > 0 else -(2**63)
    magnitude = int(abs(Fraction(product)) + Fraction(1, 2))  # int() of a non-negative Fraction floors
    return magnitude if product >= 0 else -magnitude


def lap_type(length: int, pit_first: bool, pit_last: bool, d_first: np.float32, d_last: np.float32) -> str:
    mid_lap = [np.float32(0.02) < d < np.float32(0.98) for d in (d_first, d_last)]  # False for NaN
    if length < 2:
        return "incomplete"
    return "out" if pit_first else "in" if pit_last else "partial" if any(mid_lap) else "full"


def scan_session_info(text: str) -> dict[str, str]:
    """The nine keys of the line scanner, in the order of their first matching line."""
    found: dict[str, str] = {}
    for line in text.split("\n"):
        line = line.removesuffix("\r").strip(WHITE_SPACE)
        for prefix, key in METADATA_PREFIXES.items():
            if line.startswith(prefix):
                found[key] = line[len(prefix):].strip(WHITE_SPACE)
    return found


class ReferenceFile:
    """One IBT file read from its bytes."""

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)
        (_, _, self.tick_rate, _, info_len, info_offset, num_vars, var_header_offset, _,
         self.buf_len) = struct.unpack_from("<10i", self.data)
        self.buf_offset = struct.unpack_from("<i", self.data, 52)[0]
        (self.session_start_date, self.start_time, self.end_time, self.lap_count,
         self.record_count) = struct.unpack_from("<qddii", self.data, 112)
        self.vars = []
        for at in range(var_header_offset, var_header_offset + 144 * num_vars, 144):
            type_, offset, count = struct.unpack_from("<Iii", self.data, at)
            self.vars.append(Variable(_text(self.data[at + 16:at + 48]), _text(self.data[at + 48:at + 112]),
                                      _text(self.data[at + 112:at + 144]), type_, offset, count))
        self.session_info = session_info_text(self.data[info_offset:info_offset + info_len])

    def find_var(self, name: str) -> Variable | None:
        """The last variable of that name, as the file's name lookup resolves duplicates."""
        return next((v for v in reversed(self.vars) if v.name == name), None)

    @cached_property
    def record_area(self) -> memoryview:
        return memoryview(self.data)[self.buf_offset:self.buf_offset + self.buf_len * self.record_count]

    def read(self, offset: int, dtype: str) -> np.ndarray:
        """One value per record at `offset` inside each record; a read for a record may take
        bytes of the next one but never leave the record area."""
        n, width = self.record_count, np.dtype(dtype).itemsize
        if n and (n - 1) * self.buf_len + offset + width > len(self.record_area):
            raise RecordAreaOverrun(f"read of {width} bytes at {(n - 1) * self.buf_len + offset}")
        return np.ndarray((n,), dtype, self.record_area, offset, (self.buf_len,)).copy() if n else \
            np.empty(0, dtype)

    def value_bits(self, var: Variable) -> np.ndarray:
        """Element 0 in every record as an unsigned integer of its width, Bool as 1 for any non-zero byte."""
        raw = self.read(var.offset, BITS_DTYPE[var.type])
        return (raw != 0).astype("u1") if var.type == BOOL else raw

    @cached_property
    def timecodes(self) -> np.ndarray:
        var = self.find_var("SessionTime")
        if var is None or var.type != DOUBLE:
            raise ValueError("no Double SessionTime")
        return np.array([timecode(s) for s in self.read(var.offset, "<f8").tolist()], dtype=np.int64)

    def laps(self) -> list[dict[str, object]]:
        """The rows of the laps table."""
        lap_var, pit_var, pct_var = map(self.find_var, ["Lap", "OnPitRoad", "LapDistPct"])
        if lap_var is None or self.record_count == 0:
            return []
        n, times, laps = self.record_count, self.timecodes.tolist(), self.read(lap_var.offset, "<i4")
        pits = self.read(pit_var.offset, "<u1") != 0 if pit_var else np.zeros(n, bool)
        dtype = {FLOAT: "<f4", DOUBLE: "<f8"}.get(pct_var.type if pct_var else None)
        fractions = self.read(pct_var.offset, dtype).astype(np.float32) if dtype else \
            np.zeros(n, np.float32)
        starts = [0] + [i for i in range(1, n) if laps[i] != laps[i - 1]]
        rows, session = [], 0
        for k, (first, end) in enumerate(zip(starts, starts[1:] + [n])):
            session += k > 0 and laps[first] == 0
            rows.append(dict(num=int(laps[first]), start_time=times[first], end_time=times[min(end, n - 1)],
                             lap_type=lap_type(end - first, pits[first], pits[end - 1], fractions[first],
                                               fractions[end - 1]),
                             session=session))
        return rows

    def metadata(self) -> dict[str, object]:
        return {"session_info_yaml": self.session_info, **scan_session_info(self.session_info),
                "tick_rate": self.tick_rate, "record_count": self.record_count, "lap_count": self.lap_count,
                "session_start_date": self.session_start_date, "start_time": self.start_time,
                "end_time": self.end_time}


def column_bits(array: pa.Array, code: int) -> np.ndarray:
    """The rows of a column without nulls as unsigned integers of their width, Bool as 0 or 1."""
    assert array.buffers()[0] is None
    if code == BOOL:
        return array.to_numpy(zero_copy_only=False).astype("u1")
    return array.view(pa.from_numpy_dtype(np.dtype(BITS_DTYPE[code]))).to_numpy()


def _comparable(value: object) -> tuple[type, object]:
    return type(value), struct.pack("<d", value) if isinstance(value, float) else value


def assert_matches(log: object, ref: ReferenceFile, file_name: str = "<bytes>") -> None:
    """The LogFile holds what the reference reads: every scalar variable as a channel (a later
    duplicate at the first one's place) bit for bit with its schema, one batch each, all
    sharing one timecodes buffer; the laps; the metadata in key order, floats bit for bit."""
    expected = {var.name: var for var in ref.vars if var.count == 1}
    assert list(log.channels) == list(expected) and log.file_name == file_name
    for name, var in expected.items():
        table = log.channels[name]
        metadata = {b"units": var.unit.encode(), b"desc": var.desc.encode(),
                    b"interpolate": b"True" if var.type in (FLOAT, DOUBLE) else b"False"}
        value_field = pa.field(name, ARROW_TYPES[var.type], False, metadata)
        assert table.schema.equals(pa.schema([pa.field("timecodes", pa.int64(), False), value_field]), True)
        assert [column.num_chunks for column in table.columns] == [1, 1]
        timecodes, values = (column.chunk(0) for column in table.columns)
        assert timecodes.buffers()[0] is None and np.array_equal(timecodes.to_numpy(), ref.timecodes)
        assert np.array_equal(column_bits(values, var.type), ref.value_bits(var)), name
    if ref.record_count:
        assert len({t.column(0).chunk(0).buffers()[1].address for t in log.channels.values()}) <= 1
    assert log.laps.schema.equals(LAPS_SCHEMA, check_metadata=True)
    assert [c.num_chunks for c in log.laps.columns] == [1] * 5
    log.laps.validate(full=True)
    assert log.laps.to_pylist() == ref.laps()
    assert [(k, *_comparable(v)) for k, v in log.metadata.items()] == \
        [(k, *_comparable(v)) for k, v in ref.metadata().items()]

"""Channel tables: values and bit patterns, schema, time base, the progress protocol, the
hand-over to pyarrow and the lifetime of what it returns."""

from __future__ import annotations

import gc
import os
import re
import struct
from collections.abc import Callable

import numpy as np
import pyarrow as pa
import pytest

import telvane.base
from reference_reader import INT64_MAX, INT64_MIN, ReferenceFile, timecode
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_channels, write_ibt

ARROW_TYPE = {CHAR: pa.uint8(), BOOL: pa.bool_(), INT: pa.int32(), BITFIELD: pa.uint32(),
              FLOAT: pa.float32(), DOUBLE: pa.float64()}
ELEMENT_SIZE = {CHAR: 1, BOOL: 1, INT: 4, BITFIELD: 4, FLOAT: 4, DOUBLE: 8}


@pytest.fixture(scope="module")
def recording() -> bytes:
    """The bundled synthetic recording: pit exit and entry, flying laps, a second session."""
    return pytest.importorskip("telvane.sample").synthetic_sample_bytes()


def one_variable(code: int, raw: list[bytes], **var: object) -> bytes:
    """A Double SessionTime (0, 1, 2 ... s) at offset 0 and one variable at offset 8 holding
    the raw bytes of each record."""
    size = ELEMENT_SIZE[code]
    records = b"".join(struct.pack("<d", r) + value for r, value in enumerate(raw))
    vars = [Var("SessionTime", DOUBLE, 0), Var(var.pop("name", "V"), code, 8, **var)]
    return write_ibt(vars, records, buf_len=8 + size)


def values_bytes(column: pa.Array, size: int) -> bytes:
    """The bytes of the column's rows in its data buffer."""
    start = column.offset * size
    return column.buffers()[1].to_pybytes()[start:start + len(column) * size]


# (type, raw bytes of each record, values pyarrow reads back)
VALUES = [
    (CHAR, [b"\x00", b"\x7f", b"\x80", b"\xff"], [0, 127, 128, 255]),
    (BOOL, [b"\x00", b"\x01", b"\x02", b"\xff", b"\x00", b"\x80", b"\x00", b"\x00", b"\x10"],
     [False, True, True, True, False, True, False, False, True]),
    (INT, [bytes(4), b"\xff" * 4, b"\x00\x00\x00\x80", b"\xff\xff\xff\x7f", b"\x01\x02\x03\x04"],
     [0, -1, -(2**31), 2**31 - 1, 0x04030201]),
    (BITFIELD, [bytes(4), b"\xff" * 4, b"\x00\x00\x00\x80", b"\x01\x02\x03\x04"],
     [0, 4294967295, 2**31, 0x04030201]),
]
# Floating-point bit patterns that must cross unchanged, NaN payloads and signs included.
FLOAT_BITS = [0x7FC00000, 0x7FC00001, 0xFFC12345, 0x7F800001, 0x7F800000, 0xFF800000,
              0x80000000, 0x00000001, 0x7F7FFFFF, 0x3F800000]
DOUBLE_BITS = [0x7FF8000000000000, 0x7FF8000000000001, 0xFFF8DEADBEEF0001, 0x7FF0000000000001,
               0x7FF0000000000000, 0xFFF0000000000000, 0x8000000000000000, 0x0000000000000001,
               0x7FEFFFFFFFFFFFFF, 0x3FF0000000000000]


@pytest.mark.parametrize("code, raw, expected", VALUES)
def test_integer_and_bool_values(ibt, code, raw, expected):
    column = ibt(one_variable(code, raw)).channels["V"].column(1)
    assert column.type == ARROW_TYPE[code]
    assert column.to_pylist() == expected
    if code != BOOL:
        assert values_bytes(column.chunk(0), ELEMENT_SIZE[code]) == b"".join(raw)


@pytest.mark.parametrize("code, fmt, bits", [(FLOAT, "<I", FLOAT_BITS), (DOUBLE, "<Q", DOUBLE_BITS)])
def test_float_bits_are_unchanged(ibt, code, fmt, bits):
    raw = [struct.pack(fmt, b) for b in bits]
    column = ibt(one_variable(code, raw)).channels["V"].column(1).chunk(0)
    assert column.type == ARROW_TYPE[code]
    assert column.null_count == 0
    assert values_bytes(column, ELEMENT_SIZE[code]) == b"".join(raw)


def expected_schema(name: str, code: int, unit: str, desc: str) -> pa.Schema:
    metadata = {"units": unit, "desc": desc, "interpolate": str(code in (FLOAT, DOUBLE))}
    return pa.schema([pa.field("timecodes", pa.int64(), nullable=False),
                      pa.field(name, ARROW_TYPE[code], nullable=False, metadata=metadata)])


# (name as written, name as read, unit, desc)
TEXTS = [
    ("Speed", "Speed", "m/s", "GPS vehicle speed"),
    ("V", "V", "", ""),
    (b"N" * 32, "N" * 32, "u" * 32, "d" * 64),
    (b"Sp\xb0ed", "Sp\ufffded", "\u00b0C", "temp\u00e9rature"),
    ("sp ace ", "sp ace ", " % ", " padded "),
]


@pytest.mark.parametrize("code", sorted(ARROW_TYPE))
@pytest.mark.parametrize("records", [0, 3])
@pytest.mark.parametrize("written, name, unit, desc", TEXTS)
def test_schema(ibt, code, records, written, name, unit, desc):
    raw = [bytes(ELEMENT_SIZE[code])] * records
    table = ibt(one_variable(code, raw, name=written, unit=unit, desc=desc)).channels[name]
    assert table.schema.equals(expected_schema(name, code, unit, desc), check_metadata=True)
    assert table.schema.metadata is None
    assert table.schema.field(0).metadata is None
    assert table.schema.field(1).metadata == {b"units": unit.encode(), b"desc": desc.encode(),
                                              b"interpolate": str(code in (FLOAT, DOUBLE)).encode()}
    assert table.num_rows == records
    assert [c.num_chunks for c in table.columns] == [1, 1]
    assert [c.chunk(0).buffers()[0] for c in table.columns] == [None, None]


def test_session_time_is_a_channel(ibt):
    vars = [Var("SessionTime", DOUBLE, 0, unit="s", desc="Seconds since session start")]
    table = ibt(write_ibt(vars, struct.pack("<2d", 0.5, 1.25))).channels["SessionTime"]
    assert table.schema.equals(expected_schema("SessionTime", DOUBLE, "s", "Seconds since session start"),
                               check_metadata=True)
    assert table.to_pydict() == {"timecodes": [500, 1250], "SessionTime": [0.5, 1.25]}


# Arrays and count-0 variables are never channels; a Double SessionTime of count 2 still serves.
ARRAYS_ONLY = [Var("SessionTime", DOUBLE, 0, count=2), Var("CarIdxLap", INT, 16, count=4),
               Var("Empty", FLOAT, 32, count=0), Var("Temps", FLOAT, 32, count=3)]


@pytest.mark.parametrize("records", [0, 2])
def test_array_only_file_has_no_channels_and_makes_no_progress_call(ibt, records):
    data = write_ibt(ARRAYS_ONLY, bytes(44 * records), buf_len=44)
    result = ibt(data, progress=42)
    assert result.channels == {}
    assert result.laps.num_rows == 0


def test_session_time_of_count_4_uses_element_0(ibt):
    vars = [Var("SessionTime", DOUBLE, 0, count=4), Var("Gear", INT, 32)]
    records = struct.pack("<4di", 1.5, 9.0, 9.0, 9.0, 3) + struct.pack("<4di", 2.25, 8.0, 8.0, 8.0, 4)
    channels = ibt(write_ibt(vars, records)).channels
    assert list(channels) == ["Gear"]
    assert channels["Gear"].to_pydict() == {"timecodes": [1500, 2250], "Gear": [3, 4]}


def test_two_session_times_use_the_later_one(ibt):
    vars = [Var("SessionTime", DOUBLE, 0), Var("Gear", INT, 8), Var("SessionTime", DOUBLE, 12)]
    records = struct.pack("<did", 1.0, 3, 7.0) + struct.pack("<did", 2.0, 4, 8.5)
    channels = ibt(write_ibt(vars, records)).channels
    assert list(channels) == ["SessionTime", "Gear"]
    assert channels["SessionTime"].to_pydict() == {"timecodes": [7000, 8500], "SessionTime": [7.0, 8.5]}
    assert channels["Gear"].column(0).to_pylist() == [7000, 8500]


def test_an_earlier_session_time_of_another_type_is_only_a_channel(ibt):
    vars = [Var("SessionTime", FLOAT, 0), Var("SessionTime", DOUBLE, 4)]
    records = struct.pack("<fd", 9.0, 0.25)
    assert ibt(write_ibt(vars, records)).channels["SessionTime"].to_pydict() == \
        {"timecodes": [250], "SessionTime": [0.25]}


# seconds -> milliseconds: × 1000 in binary64, halves away from zero, saturated
TIMES = [
    (1.5, 1500), (0.0625, 63), (-0.0625, -63), (12.3456, 12346), (1234.5675, 1234568),
    (float("nan"), 0), (float("inf"), INT64_MAX), (float("-inf"), INT64_MIN), (-1e17, INT64_MIN),
    (4503599627370.499, 4503599627370499),  # adding 0.5 here rounds up to ...500 in binary64
    (0.0, 0), (-0.0, 0), (1e16, INT64_MAX), (1e300, INT64_MAX), (5e-324, 0),
]
# Near the rounding and saturation edges, checked against the exact rational reference.
EDGES = [0.0004999, -0.0004999, 0.0005, -0.0005, 0.0025, -0.0025, 0.49999999999999994e-3,
         2.5e-3, 4503599627370.4995, 4503599627370.5, -4503599627370.499, 9223372036854775.0,
         9223372036854775.807, -9223372036854775.808, -9223372036854775.809, 9223372036854774.0]


@pytest.mark.parametrize("seconds, ms", TIMES + [(s, timecode(s)) for s in EDGES])
def test_time_conversion(ibt, seconds, ms):
    data = write_ibt([Var("SessionTime", DOUBLE, 0)], struct.pack("<d", seconds))
    assert ibt(data).channels["SessionTime"].column(0).to_pylist() == [ms]


def test_duplicate_names_keep_the_first_position_and_the_later_table(ibt):
    data = write_ibt([Var("SessionTime", DOUBLE, 0), Var("A", INT, 8), Var("B", CHAR, 12),
                      Var("A", FLOAT, 13)], struct.pack("<diBf", 1.0, 5, 6, 2.5))
    calls = []
    channels = ibt(data, lambda k, n: calls.append((k, n))).channels
    assert list(channels) == ["SessionTime", "A", "B"]
    assert channels["A"].to_pydict() == {"timecodes": [1000], "A": [2.5]}
    assert calls == [(1, 4), (2, 4), (3, 4), (4, 4)]


NAMES = ["SessionTime", "Lap", "Speed", "OnPitRoad", "Gear"]
FIVE = write_channels({"Lap": (INT, [1, 1]), "Speed": (FLOAT, [1.0, 2.0]),
                       "OnPitRoad": (BOOL, [0, 1]), "Gear": (INT, [2, 3])})


TABLE = pa.Table


class RecordingTable:
    """Stands in for pyarrow.Table: keeps every table it makes inside a GC-tracked holder, so
    gc.get_referrers finds the dict a table has been stored in."""

    made: list[Holder] = []

    @classmethod
    def from_batches(cls, batches: list) -> Holder:
        assert type(batches) is list and len(batches) == 1 and type(batches[0]) is pa.RecordBatch
        cls.made.append(Holder(TABLE.from_batches(batches)))
        return cls.made[-1]


class Holder:
    def __init__(self, table: pa.Table) -> None:
        self.table = table


def test_progress_reports_follow_each_insertion(logfile_args, monkeypatch):
    monkeypatch.setattr(pa, "Table", RecordingTable)
    monkeypatch.setattr(RecordingTable, "made", [])
    calls = []

    def progress(*args: object, **kwargs: object) -> str:
        k, n = args
        holder = RecordingTable.made[k - 1]
        [channels] = [d for d in gc.get_referrers(holder) if type(d) is dict]
        calls.append((args, kwargs, list(channels), channels[NAMES[k - 1]] is holder))
        return "ignored"

    channels, laps, _, _ = logfile_args(FIVE, progress)
    assert calls == [((k, 5), {}, NAMES[:k], True) for k in range(1, 6)]
    assert list(channels) == NAMES
    assert laps is RecordingTable.made[5]  # the laps table comes after the last report


class Stop(Exception):
    pass


@pytest.mark.parametrize("error", [Stop("second"), KeyboardInterrupt(), SystemExit(3)])
def test_a_raising_progress_ends_the_call_with_its_exception(ibt, error):
    calls = []

    def progress(k: int, n: int) -> None:
        calls.append((k, n))
        if k == 2:
            raise error

    with pytest.raises(BaseException) as caught:
        ibt(FIVE, progress)
    assert caught.value is error
    assert calls == [(1, 5), (2, 5)]


def test_a_non_callable_progress_fails_at_the_first_report(fails, monkeypatch):
    monkeypatch.setattr(pa, "Table", RecordingTable)
    monkeypatch.setattr(RecordingTable, "made", [])
    assert fails(FIVE, progress=42) == (TypeError, "'int' object is not callable")
    assert len(RecordingTable.made) == 1


def test_an_exception_from_log_file_passes_unchanged(ibt, monkeypatch):
    error = Stop("rejected")
    received = []

    def log_file(*args: object, **kwargs: object) -> None:
        received.append((args, kwargs))
        raise error

    monkeypatch.setattr(telvane.base, "LogFile", log_file)
    with pytest.raises(Stop) as caught:
        ibt(FIVE)
    assert caught.value is error
    [(args, kwargs)] = received
    assert kwargs == {} and len(args) == 4
    assert [type(a) for a in args] == [dict, pa.Table, dict, str] and args[3] == "<bytes>"


class Errors:
    class Nested(Exception):
        pass

    class Unprintable(Exception):
        def __str__(self) -> str:
            raise ValueError("no text")


def reader_class(**attributes: object) -> type:
    return type("RecordBatchReader", (), {k: classmethod(v) for k, v in attributes.items()})


def raise_(error: BaseException) -> Callable[..., None]:
    def call(*args: object) -> None:
        raise error
    return call


class NoBatch:
    pass


# fake RecordBatchReader -> the RuntimeError message
HAND_OVER = [
    (reader_class(), "AttributeError: type object 'RecordBatchReader' has no attribute '_import_from_c'"),
    (reader_class(_import_from_c=raise_(ValueError("bad stream"))), "ValueError: bad stream"),
    (reader_class(_import_from_c=raise_(Errors.Nested("deep"))), "Errors.Nested: deep"),
    (reader_class(_import_from_c=raise_(Errors.Unprintable())), "Errors.Unprintable: <exception str() failed>"),
    (reader_class(_import_from_c=lambda cls, address: NoBatch()),
     "AttributeError: 'NoBatch' object has no attribute 'read_next_batch'"),
]


@pytest.mark.parametrize("data", [FIVE, write_ibt(ARRAYS_ONLY, buf_len=44)], ids=["channels", "laps"])
@pytest.mark.parametrize("fake, message", HAND_OVER)
def test_hand_over_failures_become_runtime_errors(fails, monkeypatch, data, fake, message):
    monkeypatch.setattr(pa, "RecordBatchReader", fake)
    assert fails(data) == (RuntimeError, message)


def test_import_from_c_receives_one_unsigned_address(ibt, monkeypatch):
    real = pa.RecordBatchReader._import_from_c
    received = []

    def spy(cls: type, *args: object, **kwargs: object) -> pa.RecordBatchReader:
        received.append((args, kwargs))
        return real(*args)

    monkeypatch.setattr(pa, "RecordBatchReader", reader_class(_import_from_c=spy))
    assert list(ibt(FIVE).channels) == NAMES
    assert len(received) == 6  # five channels and the laps
    assert all(type(a[0]) is int and a[0] > 0 and len(a) == 1 and k == {} for a, k in received)


def assert_matches_reference(channels: dict[str, pa.Table], ref: ReferenceFile) -> None:
    """Every channel bit for bit as the reference reads it; later duplicates win."""
    latest = {v.name: v for v in ref.scalars()}
    assert list(channels) == list(dict.fromkeys(v.name for v in ref.scalars()))
    for name, var in latest.items():
        table = channels[name]
        assert table.schema.field(1).metadata == ref.field_metadata(var), name
        assert table.schema.field(1).type == ARROW_TYPE[var.type], name
        assert table.column(0).chunk(0).to_numpy().tolist() == ref.timecodes.tolist(), name
        column = table.column(1).chunk(0)
        if var.type == BOOL:
            got = np.asarray(column.to_numpy(zero_copy_only=False), dtype="u1")
        else:
            got = np.frombuffer(values_bytes(column, ELEMENT_SIZE[var.type]), ref.value_bits(var).dtype)
        assert np.array_equal(got, ref.value_bits(var)), name


def assert_one_batch_sharing_timecodes(channels: dict[str, pa.Table], laps: pa.Table) -> None:
    assert all(t.column(0).num_chunks == 1 and len(t.to_batches()) == 1 for t in channels.values())
    assert len(laps.to_batches()) == 1 and all(c.num_chunks == 1 for c in laps.columns)
    addresses = {t.column(0).chunk(0).buffers()[1].address for t in channels.values()}
    assert len(addresses) == 1


def test_generated_recording_matches_the_reference(ibt, recording):
    result = ibt(recording)
    assert_matches_reference(result.channels, ReferenceFile(recording))
    assert_one_batch_sharing_timecodes(result.channels, result.laps)


def test_real_recording_matches_the_reference(ibt, sample):
    result = ibt(str(sample))
    assert_matches_reference(result.channels, ReferenceFile.open(sample))
    assert_one_batch_sharing_timecodes(result.channels, result.laps)


def test_tables_outlive_the_file_and_the_result(ibt, write_file, recording):
    path = write_file(recording)
    result = ibt(path)
    channels = dict(result.channels)
    del result
    os.remove(path)
    gc.collect()
    ref = ReferenceFile(recording)
    assert_matches_reference(channels, ref)
    speed = channels.pop("Speed")
    del channels
    gc.collect()
    assert speed.column(1).to_pylist() == ref.values(ref.find_var("Speed")).tolist()


def test_tables_outlive_a_byte_source(ibt, recording):
    source = bytearray(recording)
    channels = ibt(source).channels
    source[:] = bytes(len(source))
    del source
    gc.collect()
    assert_matches_reference(channels, ReferenceFile(recording))


@pytest.mark.parametrize("records", [1, 3])
@pytest.mark.parametrize("back", [7, 6, 1])
def test_session_time_read_past_the_record_area_is_an_internal_error(fails, records, back):
    buf_len = 16
    offset = buf_len - back
    vars = [Var("X", INT, 0), Var("SessionTime", DOUBLE, offset, count=0)]
    kind, message = fails(write_ibt(vars, bytes(buf_len * records), buf_len=buf_len))
    assert kind.__bases__ == (BaseException,)
    start, length = (records - 1) * buf_len + offset, records * buf_len
    assert {str(start), str(start + 8), str(length)} <= set(re.findall(r"\d+", message)), message


def test_session_time_of_count_0_that_fits_is_read(ibt):
    vars = [Var("X", INT, 0), Var("SessionTime", DOUBLE, 8, count=0)]
    records = struct.pack("<i4xd", 1, 0.5) + struct.pack("<i4xd", 2, 0.75)
    assert ibt(write_ibt(vars, records, buf_len=16)).channels["X"].to_pydict() == \
        {"timecodes": [500, 750], "X": [1, 2]}

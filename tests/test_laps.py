"""Laps: segmentation on changes of Lap, lap types from OnPitRoad and LapDistPct, session
numbering, fixed-width reads, and the laps table's schema."""

from __future__ import annotations

import re
import struct

import numpy as np
import pyarrow as pa
import pytest

from reference_reader import ReferenceFile
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_channels, write_ibt

NAN = float("nan")
ABOVE_LOW = float(np.nextafter(np.float32(0.02), np.float32(1)))
BELOW_HIGH = float(np.nextafter(np.float32(0.98), np.float32(0)))
LAPS_SCHEMA = pa.schema([
    pa.field("num", pa.int32(), nullable=False),
    pa.field("start_time", pa.int64(), nullable=False),
    pa.field("end_time", pa.int64(), nullable=False),
    pa.field("lap_type", pa.utf8(), nullable=False),
    pa.field("session", pa.int32(), nullable=False),
])


@pytest.fixture(scope="module")
def recording() -> bytes:
    """The bundled synthetic recording: pit exit and entry, flying laps, a second session."""
    return pytest.importorskip("telvane.sample").synthetic_sample_bytes()


def lap_file(laps: list[int], pits: list[int] | None = None, fractions: list[float] | None = None,
             pct_type: int = FLOAT, pit_type: int = BOOL, lap_type: int = INT) -> bytes:
    """Records one second apart (timecodes 0, 1000, 2000 ...) with Lap and, when given,
    OnPitRoad and LapDistPct."""
    channels = {"SessionTime": (DOUBLE, [float(r) for r in range(len(laps))]), "Lap": (lap_type, laps)}
    if pits is not None:
        channels["OnPitRoad"] = (pit_type, pits)
    if fractions is not None:
        channels["LapDistPct"] = (pct_type, fractions)
    return write_channels(channels)


def rows(ibt, data: bytes) -> list[tuple]:
    return [tuple(row.values()) for row in ibt(data).laps.to_pylist()]


# Lap values -> (num, start_time, end_time, lap_type, session) per lap
SEGMENTS = [
    ([7], [(7, 0, 0, "incomplete", 0)]),
    ([0], [(0, 0, 0, "incomplete", 0)]),
    ([1, 1], [(1, 0, 1000, "full", 0)]),
    ([1, 1, 2, 2, 2], [(1, 0, 2000, "full", 0), (2, 2000, 4000, "full", 0)]),
    ([1, 2, 2], [(1, 0, 1000, "incomplete", 0), (2, 1000, 2000, "full", 0)]),
    ([3, 4, 3], [(3, 0, 1000, "incomplete", 0), (4, 1000, 2000, "incomplete", 0),
                 (3, 2000, 2000, "incomplete", 0)]),
    ([0, 1, 2, 0, 1], [(0, 0, 1000, "incomplete", 0), (1, 1000, 2000, "incomplete", 0),
                       (2, 2000, 3000, "incomplete", 0), (0, 3000, 4000, "incomplete", 1),
                       (1, 4000, 4000, "incomplete", 1)]),
    ([5, 0, 1, 0], [(5, 0, 1000, "incomplete", 0), (0, 1000, 2000, "incomplete", 1),
                    (1, 2000, 3000, "incomplete", 1), (0, 3000, 3000, "incomplete", 2)]),
    ([0, 0, 3, 3, 0, 0], [(0, 0, 2000, "full", 0), (3, 2000, 4000, "full", 0), (0, 4000, 5000, "full", 1)]),
    ([-1, -1, 2**31 - 1, -(2**31)], [(-1, 0, 2000, "full", 0), (2**31 - 1, 2000, 3000, "incomplete", 0),
                                     (-(2**31), 3000, 3000, "incomplete", 0)]),
]


@pytest.mark.parametrize("laps, expected", SEGMENTS)
def test_segments_and_sessions(ibt, laps, expected):
    assert rows(ibt, lap_file(laps)) == expected


# (Lap values, OnPitRoad bytes, lap types)
PITS = [
    ([1, 1], [0, 0], ["full"]),
    ([1, 1], [1, 0], ["out"]),
    ([1, 1], [1, 1], ["out"]),
    ([1, 1], [0, 1], ["in"]),
    ([1, 1], [2, 0], ["out"]),
    ([1, 1], [0, 255], ["in"]),
    ([1, 1, 1], [0, 1, 0], ["full"]),
    ([1], [1], ["incomplete"]),
    ([1, 2, 2, 3, 3, 4], [1, 1, 0, 0, 1, 1], ["incomplete", "out", "in", "incomplete"]),
]


@pytest.mark.parametrize("laps, pits, types", PITS)
def test_pit_road(ibt, laps, pits, types):
    assert [row[3] for row in rows(ibt, lap_file(laps, pits))] == types


# (LapDistPct values of a lap of records, its type); fractions compared in single precision
FRACTIONS = [
    ([0.02, 0.02], "full"), ([0.98, 0.98], "full"), ([0.02, 0.98], "full"), ([0.98, 0.02], "full"),
    ([0.5, 0.99], "partial"), ([0.01, 0.5], "partial"), ([ABOVE_LOW, 0.99], "partial"),
    ([0.01, BELOW_HIGH], "partial"), ([NAN, 0.99], "full"), ([0.99, NAN], "full"), ([NAN, NAN], "full"),
    ([NAN, 0.5], "partial"), ([0.5, NAN], "partial"), ([0.0, 1.0], "full"), ([-0.5, 1.5], "full"),
    ([float("inf"), float("-inf")], "full"), ([0.0, 0.5, 1.0], "full"),
]


@pytest.mark.parametrize("fractions, lap_type", FRACTIONS)
def test_float_fractions(ibt, fractions, lap_type):
    assert rows(ibt, lap_file([1] * len(fractions), None, fractions))[0][3] == lap_type


# Double fractions are narrowed to single precision (to nearest) before the tests.
DOUBLE_FRACTIONS = [
    ([0.020000000001, 0.97999999999], "full"), ([0.97999999999, 0.020000000001], "full"),
    ([0.0200001, 0.0], "partial"), ([0.0, 0.9799999], "partial"), ([NAN, 0.99], "full"),
    ([float(np.float32(0.02)) + 1e-12, 1.0], "full"), ([0.5, 0.0], "partial"),
]


@pytest.mark.parametrize("fractions, lap_type", DOUBLE_FRACTIONS)
def test_double_fractions(ibt, fractions, lap_type):
    assert rows(ibt, lap_file([1] * len(fractions), None, fractions, DOUBLE))[0][3] == lap_type


@pytest.mark.parametrize("pct_type, value", [(INT, 0x3F000000), (BITFIELD, 0x3F000000), (CHAR, 128), (BOOL, 1)])
def test_fractions_of_other_types_are_zero(ibt, pct_type, value):
    assert rows(ibt, lap_file([1, 1], None, [value, value], pct_type))[0][3] == "full"


@pytest.mark.parametrize("pits, fractions, lap_type", [
    ([1, 0], [0.5, 0.5], "out"), ([0, 1], [0.5, 0.5], "in"), (None, [0.5, 0.5], "partial"),
    ([0, 0], None, "full"), (None, None, "full"),
])
def test_pit_rules_come_before_fractions(ibt, pits, fractions, lap_type):
    assert rows(ibt, lap_file([1, 1], pits, fractions))[0][3] == lap_type


def test_declared_types_of_lap_and_on_pit_road_are_not_consulted(ibt):
    # Lap as a Char and OnPitRoad as an Int: Lap is read as 4 bytes (here into OnPitRoad),
    # OnPitRoad as its first byte.
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", CHAR, 8), Var("OnPitRoad", INT, 9)]
    records = struct.pack("<dBi", 0.0, 1, 256) + struct.pack("<dBi", 1.0, 1, 256) \
        + struct.pack("<dBi", 2.0, 1, 1) + struct.pack("<dBi", 3.0, 1, 1)
    assert rows(ibt, write_ibt(vars, records)) == [(0x10001, 0, 2000, "full", 0), (0x101, 2000, 3000, "out", 0)]


def test_lap_declared_as_float_is_read_as_int32(ibt):
    laps = rows(ibt, lap_file([1.0, 1.0, 2.0], lap_type=FLOAT))
    assert [row[0] for row in laps] == [0x3F800000, 0x40000000]


BUF_LEN = 20
# (name, declared type, count, offset, bytes read): reads that would leave the record area
# for the last record
OVERRUNS = [
    ("Lap", CHAR, 1, BUF_LEN - 1, 4),
    ("Lap", CHAR, 1, BUF_LEN - 3, 4),
    ("Lap", INT, 0, BUF_LEN - 2, 4),
    ("Lap", INT, 0, BUF_LEN, 4),
    ("OnPitRoad", BOOL, 0, BUF_LEN, 1),
    ("LapDistPct", DOUBLE, 0, BUF_LEN - 7, 8),
    ("LapDistPct", DOUBLE, 0, BUF_LEN - 4, 8),
    ("LapDistPct", FLOAT, 0, BUF_LEN - 3, 4),
]


def overrun_file(extra: list[Var], records: int) -> bytes:
    lap = [] if extra[0].name == "Lap" else [Var("Lap", INT, 8)]
    vars = [Var("SessionTime", DOUBLE, 0), *lap, *extra]
    return write_ibt(vars, bytes(BUF_LEN * records), buf_len=BUF_LEN)


def read_range(message: str, records: int, offset: int, width: int) -> None:
    start = (records - 1) * BUF_LEN + offset
    assert {str(start), str(start + width), str(records * BUF_LEN)} <= set(re.findall(r"\d+", message)), message


@pytest.mark.parametrize("records", [1, 3])
@pytest.mark.parametrize("name, code, count, offset, width", OVERRUNS)
def test_fixed_width_read_past_the_record_area_is_an_internal_error(fails, records, name, code, count,
                                                                     offset, width):
    kind, message = fails(overrun_file([Var(name, code, offset, count)], records))
    assert kind.__bases__ == (BaseException,)
    read_range(message, records, offset, width)


@pytest.mark.parametrize("name, code, count, offset, width", OVERRUNS)
def test_no_records_means_no_fixed_width_reads(ibt, name, code, count, offset, width):
    assert ibt(overrun_file([Var(name, code, offset, count)], 0)).laps.num_rows == 0


def test_reads_are_made_in_lookup_order(fails):
    data = overrun_file([Var("LapDistPct", DOUBLE, BUF_LEN - 4, 0), Var("OnPitRoad", BOOL, BUF_LEN, 0)], 2)
    read_range(fails(data)[1], 2, BUF_LEN, 1)


def test_lap_that_fits_exactly_at_the_end_of_the_record(ibt):
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", CHAR, 9)]
    records = struct.pack("<dxi", 0.0, 6) + struct.pack("<dxi", 1.0, 6)
    assert rows(ibt, write_ibt(vars, records, buf_len=13)) == [(6, 0, 1000, "full", 0)]


def assert_laps_schema(laps: pa.Table) -> None:
    assert laps.schema.equals(LAPS_SCHEMA, check_metadata=True)
    assert laps.schema.metadata is None
    assert [f.metadata for f in laps.schema] == [None] * 5
    assert [c.num_chunks for c in laps.columns] == [1] * 5  # one batch, also when empty
    assert [c.chunk(0).buffers()[0] for c in laps.columns] == [None] * 5


EMPTY_LAPS = [
    write_channels({"Speed": (FLOAT, [1.0, 2.0])}),  # no Lap
    write_channels({"Lap": (INT, [])}),  # no records
    write_channels(),
]


@pytest.mark.parametrize("data", EMPTY_LAPS)
def test_empty_laps_table_has_the_full_schema(ibt, data):
    laps = ibt(data).laps
    assert_laps_schema(laps)
    assert laps.num_rows == 0
    assert laps.column("lap_type").chunk(0).buffers()[1].to_pybytes()[:4] == bytes(4)


def test_lap_type_holds_plain_repeated_texts(ibt):
    laps = ibt(lap_file([1, 1, 2, 2, 3, 4, 4], [0, 0, 0, 0, 0, 0, 1])).laps
    assert_laps_schema(laps)
    column = laps.column("lap_type").chunk(0)
    texts = ["full", "full", "incomplete", "in"]
    assert column.to_pylist() == texts
    offsets = np.frombuffer(column.buffers()[1], np.int32)[:5].tolist()
    assert offsets == [0, 4, 8, 18, 20]
    assert column.buffers()[2].to_pybytes()[:20] == "".join(texts).encode()


def test_generated_recording_matches_the_reference(ibt, recording):
    laps = ibt(recording).laps
    assert_laps_schema(laps)
    expected = ReferenceFile(recording).laps()
    assert laps.to_pylist() == expected
    # an out lap from the pits, flying laps, an in lap; then a new session from lap 0
    assert [(r["lap_type"], r["session"]) for r in expected] == [
        ("out", 0), ("full", 0), ("full", 0), ("in", 0), ("out", 1), ("full", 1), ("partial", 1)]


def test_real_recording_matches_the_reference(ibt, sample):
    laps = ibt(str(sample)).laps
    assert_laps_schema(laps)
    assert laps.to_pylist() == ReferenceFile.open(sample).laps()

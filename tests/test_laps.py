"""Laps: segmentation on changes of Lap, lap types from OnPitRoad and LapDistPct, session
numbering, fixed-width reads, and the laps table's schema."""

from __future__ import annotations

import struct

import numpy as np
import pytest

from reference_reader import LAPS_SCHEMA
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_ibt
from builders import write_channels

NAN, INF = float("nan"), float("inf")
ABOVE_LOW = float(np.nextafter(np.float32(0.02), np.float32(1)))
BELOW_HIGH = float(np.nextafter(np.float32(0.98), np.float32(0)))
MAX = 2**31 - 1


def lap_file(laps: list, pits: list[int] | None = None, fractions: list[float] | None = None,
             pct_type: int = FLOAT, lap_type: int = INT) -> bytes:
    """Records one second apart (timecodes 0, 1000, 2000 ...) with Lap and, when given,
    OnPitRoad and LapDistPct."""
    channels = {"SessionTime": (DOUBLE, [float(r) for r in range(len(laps))]), "Lap": (lap_type, laps)}
    if pits is not None:
        channels["OnPitRoad"] = (BOOL, pits)
    if fractions is not None:
        channels["LapDistPct"] = (pct_type, fractions)
    return write_channels(channels)


def rows(ibt, data: bytes) -> list[tuple]:
    return [tuple(row.values()) for row in ibt(data).laps.to_pylist()]


# (Lap values, OnPitRoad bytes) -> (num, start_time, end_time, lap_type, session) per lap
SEGMENTS = [
    ([7], None, [(7, 0, 0, "incomplete", 0)]),
    ([1, 1, 2, 2, 2], None, [(1, 0, 2000, "full", 0), (2, 2000, 4000, "full", 0)]),
    ([3, 4, 3], None, [(3, 0, 1000, "incomplete", 0), (4, 1000, 2000, "incomplete", 0),
                       (3, 2000, 2000, "incomplete", 0)]),
    ([0, 1, 2, 0, 1], None, [(0, 0, 1000, "incomplete", 0), (1, 1000, 2000, "incomplete", 0),
                             (2, 2000, 3000, "incomplete", 0), (0, 3000, 4000, "incomplete", 1),
                             (1, 4000, 4000, "incomplete", 1)]),
    ([5, 0, 1, 0], None, [(5, 0, 1000, "incomplete", 0), (0, 1000, 2000, "incomplete", 1),
                          (1, 2000, 3000, "incomplete", 1), (0, 3000, 3000, "incomplete", 2)]),
    ([0, 0, 3, 3, 0, 0], None, [(0, 0, 2000, "full", 0), (3, 2000, 4000, "full", 0), (0, 4000, 5000, "full", 1)]),
    ([-1, -1, MAX, -MAX - 1], None, [(-1, 0, 2000, "full", 0), (MAX, 2000, 3000, "incomplete", 0),
                                     (-MAX - 1, 3000, 3000, "incomplete", 0)]),
    ([1, 2, 2, 3, 3, 4], [1, 1, 0, 0, 1, 1], [(1, 0, 1000, "incomplete", 0), (2, 1000, 3000, "out", 0),
                                              (3, 3000, 5000, "in", 0), (4, 5000, 5000, "incomplete", 0)]),
]


@pytest.mark.parametrize("laps, pits, expected", SEGMENTS)
def test_segments_and_sessions(ibt, laps, pits, expected):
    assert rows(ibt, lap_file(laps, pits)) == expected


# (OnPitRoad bytes, LapDistPct values, its type) of one lap -> its type; fractions are compared
# in single precision, Double ones narrowed to nearest first, other types read as 0
TYPES = [
    ([0, 0], None, FLOAT, "full"), ([1, 0], None, FLOAT, "out"), ([1, 1], None, FLOAT, "out"),
    ([0, 1], None, FLOAT, "in"), ([2, 0], None, FLOAT, "out"), ([0, 255], None, FLOAT, "in"),
    ([0, 1, 0], None, FLOAT, "full"), ([1], None, FLOAT, "incomplete"), (None, None, FLOAT, "full"),
    ([1, 0], [0.5, 0.5], FLOAT, "out"), ([0, 1], [0.5, 0.5], FLOAT, "in"), (None, [0.5, 0.5], FLOAT, "partial"),
    (None, [0.02, 0.98], FLOAT, "full"), (None, [0.98, 0.02], FLOAT, "full"), (None, [0.5, 0.99], FLOAT, "partial"),
    (None, [0.01, 0.5], FLOAT, "partial"), (None, [ABOVE_LOW, 0.99], FLOAT, "partial"),
    (None, [0.01, BELOW_HIGH], FLOAT, "partial"), (None, [NAN, 0.99], FLOAT, "full"),
    (None, [0.99, NAN], FLOAT, "full"), (None, [NAN, 0.5], FLOAT, "partial"), (None, [0.5, NAN], FLOAT, "partial"),
    (None, [-0.5, 1.5], FLOAT, "full"), (None, [INF, -INF], FLOAT, "full"), (None, [0.0, 0.5, 1.0], FLOAT, "full"),
    (None, [0.020000000001, 0.97999999999], DOUBLE, "full"), (None, [0.97999999999, 0.020000000001], DOUBLE, "full"),
    (None, [0.0200001, 0.0], DOUBLE, "partial"), (None, [0.0, 0.9799999], DOUBLE, "partial"),
    (None, [NAN, 0.99], DOUBLE, "full"), (None, [0.5, 0.0], DOUBLE, "partial"),
    *[(None, [value, value], code, "full") for code, value in [(INT, 0x3F000000), (BITFIELD, 0x3F000000),
                                                               (CHAR, 128), (BOOL, 1)]],
]


@pytest.mark.parametrize("pits, fractions, pct_type, lap_type", TYPES)
def test_lap_types(ibt, pits, fractions, pct_type, lap_type):
    data = lap_file([1] * len(pits or fractions or [0, 0]), pits, fractions, pct_type)
    assert [row[3] for row in rows(ibt, data)] == [lap_type]


def test_declared_types_of_lap_and_on_pit_road_are_not_consulted(ibt):
    # Lap as a Char and OnPitRoad as an Int: Lap is read as 4 bytes (here into OnPitRoad),
    # OnPitRoad as its first byte; a Lap that ends the record is read whole.
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", CHAR, 8), Var("OnPitRoad", INT, 9)]
    records = b"".join(struct.pack("<dBi", t, 1, pit) for t, pit in [(0.0, 256), (1.0, 256), (2.0, 1), (3.0, 1)])
    assert rows(ibt, write_ibt(vars, records)) == [(0x10001, 0, 2000, "full", 0), (0x101, 2000, 3000, "out", 0)]
    assert [row[0] for row in rows(ibt, lap_file([1.0, 1.0, 2.0], lap_type=FLOAT))] == [0x3F800000, 0x40000000]
    records = struct.pack("<dxi", 0.0, 6) + struct.pack("<dxi", 1.0, 6)
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", CHAR, 9)]
    assert rows(ibt, write_ibt(vars, records, buf_len=13)) == [(6, 0, 1000, "full", 0)]


@pytest.mark.parametrize("data", [write_channels({"Speed": (FLOAT, [1.0, 2.0])}), write_channels({"Lap": (INT, [])}),
                                  write_channels()], ids=["no Lap", "no records", "nothing"])
def test_empty_laps_table_has_the_full_schema(ibt, data):
    laps = ibt(data).laps
    assert laps.schema.equals(LAPS_SCHEMA, check_metadata=True) and laps.num_rows == 0
    assert [c.num_chunks for c in laps.columns] == [1] * 5  # one batch, also when empty
    assert [c.chunk(0).buffers()[0] for c in laps.columns] == [None] * 5
    assert laps.column("lap_type").chunk(0).buffers()[1].to_pybytes()[:4] == bytes(4)


def test_lap_type_holds_plain_repeated_texts(ibt):
    column = ibt(lap_file([1, 1, 2, 2, 3, 4, 4], [0, 0, 0, 0, 0, 0, 1])).laps.column("lap_type").chunk(0)
    assert column.buffers()[0] is None
    assert np.frombuffer(column.buffers()[1], np.int32)[:5].tolist() == [0, 4, 8, 18, 20]
    assert column.buffers()[2].to_pybytes()[:20] == b"fullfullincompletein"


def test_synthetic_recording_has_the_laps_it_was_driven(ibt, synthetic):
    # an out lap from the pits, flying laps, an in lap; then a new session from lap 0
    assert [(row["lap_type"], row["session"]) for row in ibt(synthetic).laps.to_pylist()] == [
        ("out", 0), ("full", 0), ("full", 0), ("in", 0), ("out", 1), ("full", 1), ("partial", 1)]

"""Laps, beside the comparisons with the reference reading: segments and sessions, the lap
types at the fraction limits, how the lap inputs are read, and the laps table's layout."""

from __future__ import annotations

import struct

import numpy as np
import pytest

from reference_reader import LAPS_SCHEMA
from telvane._writer import BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_ibt
from builders import write_channels

ABOVE_LOW = float(np.nextafter(np.float32(0.02), np.float32(1)))


def rows(ibt, laps: list, pits: list[int] | None = None, fractions: list[float] | None = None,
         pct_type: int = FLOAT) -> list[tuple]:
    """The laps of records one second apart (timecodes 0, 1000 ...) with Lap and, when
    given, OnPitRoad and LapDistPct."""
    channels = {"SessionTime": (DOUBLE, [float(r) for r in range(len(laps))]), "Lap": (INT, laps)}
    if pits is not None:
        channels["OnPitRoad"] = (BOOL, pits)
    if fractions is not None:
        channels["LapDistPct"] = (pct_type, fractions)
    return [tuple(row.values()) for row in ibt(write_channels(channels)).laps.to_pylist()]


# (Lap, OnPitRoad, LapDistPct and its type) -> (num, start_time, end_time, lap_type, session) per lap
@pytest.mark.parametrize("laps, pits, fractions, pct_type, expected", [
    ([5, 0, 0, 1, 0], None, None, FLOAT, [(5, 0, 1000, "incomplete", 0), (0, 1000, 3000, "full", 1),
                                          (1, 3000, 4000, "incomplete", 1), (0, 4000, 4000, "incomplete", 2)]),
    ([1, 2, 2, 3, 3, 4, 4], [1, 1, 0, 0, 1, 1, 1], None, FLOAT,
     [(1, 0, 1000, "incomplete", 0), (2, 1000, 3000, "out", 0), (3, 3000, 5000, "in", 0), (4, 5000, 6000, "out", 0)]),
    ([1, 1, 2, 2, 3, 3], None, [0.02, 0.98, ABOVE_LOW, 0.99, 0.5, float("nan")], FLOAT,
     [(1, 0, 2000, "full", 0), (2, 2000, 4000, "partial", 0), (3, 4000, 5000, "partial", 0)]),
    ([1, 1, 2, 2], None, [0.020000000001, 0.97999999999, 0.0200001, 0.0], DOUBLE,
     [(1, 0, 2000, "full", 0), (2, 2000, 3000, "partial", 0)]),
])
def test_segments_types_and_sessions(ibt, laps, pits, fractions, pct_type, expected):
    assert rows(ibt, laps, pits, fractions, pct_type) == expected


def test_declared_types_of_lap_and_on_pit_road_are_not_consulted(ibt):
    # Lap as a Char and OnPitRoad as an Int: Lap is read as 4 bytes (here into OnPitRoad),
    # OnPitRoad as its first byte.
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", CHAR, 8), Var("OnPitRoad", INT, 9)]
    records = b"".join(struct.pack("<dBi", t, 1, pit) for t, pit in [(0.0, 256), (1.0, 256), (2.0, 1), (3.0, 1)])
    assert [tuple(row.values()) for row in ibt(write_ibt(vars, records)).laps.to_pylist()] == [
        (0x10001, 0, 2000, "full", 0), (0x101, 2000, 3000, "out", 0)]


@pytest.mark.parametrize("data", [write_channels({"Speed": (FLOAT, [1.0, 2.0])}), write_channels({"Lap": (INT, [])})],
                         ids=["no Lap", "no records"])
def test_empty_laps_table_has_the_full_schema(ibt, data):
    laps = ibt(data).laps
    assert laps.schema.equals(LAPS_SCHEMA, check_metadata=True) and laps.num_rows == 0
    assert [c.num_chunks for c in laps.columns] == [1] * 5  # one batch, also when empty
    assert [c.chunk(0).buffers()[0] for c in laps.columns] == [None] * 5
    assert laps.column("lap_type").chunk(0).buffers()[1].to_pybytes()[:4] == bytes(4)


def test_lap_type_holds_plain_repeated_texts(ibt):
    column = ibt(write_channels({"Lap": (INT, [1, 1, 2, 2, 3, 4, 4]), "OnPitRoad": (BOOL, [0, 0, 0, 0, 0, 0, 1])}))\
        .laps.column("lap_type").chunk(0)
    assert column.buffers()[0] is None
    assert np.frombuffer(column.buffers()[1], np.int32)[:5].tolist() == [0, 4, 8, 18, 20]
    assert column.buffers()[2].to_pybytes()[:20] == b"fullfullincompletein"

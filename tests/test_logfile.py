"""LogFile: wide tables and where they go, lap and time slicing, argument checks, display and
types. The README's examples show the plain use of each member; these are the cases around it."""

from __future__ import annotations

import sys

import duckdb
import numpy as np
import polars
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import telvane
from builders import write_channels
from telvane._writer import DOUBLE, FLOAT, INT
from telvane.base import LogFile
from telvane._text import format_lap_time

# Two sessions whose session times overlap: the second starts again at 0.
TWO_SESSIONS = write_channels({
    "SessionTime": (DOUBLE, [0, .01, .02, .03, .04, 0, .01, .02, .03]),
    "SessionNum": (INT, [0] * 5 + [1] * 4), "Lap": (INT, [0, 0, 1, 1, 1, 0, 0, 1, 1]),
    "Speed": (FLOAT, [1.5, 2, 3, 4, 5, 6, 7, 8, 9])})


def address(table: pa.Table | LogFile, column: int = 0) -> int:
    array = table.timecodes if isinstance(table, LogFile) else table.column(column)
    return array.chunk(0).buffers()[1].address


def values(log: LogFile, name: str) -> list:
    return log[name].column(1).to_pylist()


@pytest.fixture(scope="module")
def sample_log(synthetic: bytes) -> LogFile:
    return telvane.ibt(synthetic)


def test_the_wide_table_shares_columns_keeps_metadata_and_goes_to_parquet_and_data_frames(sample_log, tmp_path):
    log, names = sample_log, ["Speed", "Gear", "OnPitRoad", "EngineWarnings", "SessionTime"]
    table, wide, whole = log.to_table(["Speed", "Gear"]), log.to_table(names), log.to_table()
    assert table.column_names == ["timecodes", "Speed", "Gear"] and log.to_table("Speed").column_names[1:] == ["Speed"]
    assert address(table) == address(log["RPM"])  # one timecodes column for all
    assert address(table, 1) == address(log["Speed"], 1)
    assert table.schema.field("Speed").equals(log["Speed"].schema.field(1), check_metadata=True)
    assert table.schema.metadata[b"session_info_yaml"].startswith(b"---\nWeekendInfo:")
    assert whole.column_names == ["timecodes"] + log.channel_names
    log.to_parquet(tmp_path / "s.parquet", names, compression="snappy")  # options reach pyarrow
    back = pq.read_table(tmp_path / "s.parquet")
    assert back.equals(wide) and back.schema.equals(wide.schema, check_metadata=True)
    assert pq.ParquetFile(tmp_path / "s.parquet").metadata.row_group(0).column(1).compression == "SNAPPY"
    assert log.to_pandas(names).equals(wide.to_pandas())
    assert pa.table(log).equals(whole) and polars.DataFrame(log).equals(polars.from_arrow(whole))
    gears = values(log, "Gear")
    assert duckdb.sql("SELECT count(*), sum(Gear) FROM log").fetchall() == [(len(gears), sum(gears))]


@pytest.mark.parametrize("call, error, message", [
    (lambda log: log.to_table(["Speed", "Sped", "Gear"]), KeyError, "no channel named 'Sped', 'Gear'"),
    (lambda log: log.find_laps(lap_type="FULL"), ValueError,
     "lap_type must be one of 'full', 'partial', 'in', 'out', 'incomplete', got 'FULL'"),
    (lambda log: log.find_laps(session="1"), TypeError, "session must be an integer, got '1'"),
    (lambda log: log.find_laps(num=1.0), TypeError, "num must be an integer, got 1.0"),
    (lambda log: log.time_range("a", 1), TypeError,
     "time_range() start_ms must be a number of milliseconds, got 'a'"),
    (lambda log: log.time_range(0, None), TypeError,
     "time_range() end_ms must be a number of milliseconds, got None"),
    (lambda log: log.time_range(20, 10), ValueError, "time_range() end_ms 10 is before start_ms 20"),
    (lambda log: log.time_range(0, float("nan")), ValueError, "time_range() end_ms nan is before start_ms 0"),
    (lambda log: log.lap(4), IndexError, "lap row 4 out of range for 4 laps"),
])
def test_arguments_are_checked(call, error, message):
    with pytest.raises(error) as raised:
        call(telvane.ibt(TWO_SESSIONS))
    assert raised.value.args == (message,)


@pytest.mark.parametrize("method, extra", [("to_polars", "polars"), ("to_pandas", "pandas"),
                                           ("session", "yaml")])
def test_missing_optional_dependency_names_the_extra(monkeypatch, method, extra):
    monkeypatch.setitem(sys.modules, extra, None)  # each extra is named after its module
    with pytest.raises(ImportError, match=rf"pip install 'telvane\[{extra}\]'"):
        getattr(telvane.ibt(TWO_SESSIONS), method)()


def test_laps_and_contiguous_time_ranges_are_slices_with_metadata_of_their_own(sample_log):
    times, laps = sample_log.timecodes.to_pylist(), sample_log.lap_times().to_pylist()
    for row, lap in enumerate(laps):
        part = sample_log.lap(row)
        assert part.timecodes.to_pylist() == times[lap["first_record"]:lap["end_record"]]
        assert part.lap_times().to_pylist() == [dict(lap, first_record=0, end_record=len(part))]
        assert address(part) == address(sample_log)  # a slice, not a copy
        seconds, metadata = values(part, "SessionTime"), part.metadata
        assert (metadata["record_count"], metadata["lap_count"]) == (len(part), 1)
        assert (metadata["start_time"], metadata["end_time"]) == (seconds[0], seconds[-1])
    assert sample_log.metadata["record_count"] == len(times)  # the parent's own stays
    assert sample_log.lap(-1).timecodes.equals(sample_log.lap(len(laps) - 1).timecodes)  # rows as in a list
    part = sample_log.time_range(laps[2]["start_time"], laps[2]["end_time"])  # a slice too
    assert part.lap_times()["duration"].to_pylist() == [laps[2]["duration"]]
    assert address(part) == address(sample_log) and part.timecodes.equals(sample_log.lap(2).timecodes)
    assert telvane.ibt(TWO_SESSIONS).find_laps(num=np.int32(1), session=np.int64(1)) == [3]
    # the laps of a gathered range keep their own records
    gathered = telvane.ibt(TWO_SESSIONS).time_range(0, 20)
    assert [values(gathered.lap(row), "Speed") for row in range(2)] == [[1.5, 2], [6, 7]]


@pytest.mark.parametrize("start, end, times, laps", [
    (35, 50, [40], []),  # contiguous, no whole lap inside
    (np.int64(10), 30.5, [10, 20, 30, 10, 20, 30], [(1, 1)]),  # numbers of numpy and Python types
    (20, 50, [20, 30, 40, 20, 30], [(1, 0), (1, 1)]),
    (0, 20, [0, 10, 0, 10], [(0, 0), (0, 1)]),
    (50, 60, [], []),
])
def test_time_range(start, end, times, laps):
    part = telvane.ibt(TWO_SESSIONS).time_range(start, end)
    assert part.timecodes.to_pylist() == times and part.metadata["lap_count"] == len(laps)
    for table in (part.laps, part.lap_times()):  # (num, session) of the laps lying wholly inside
        assert list(zip(table["num"].to_pylist(), table["session"].to_pylist())) == laps
    assert {address(table) for table in part.channels.values()} == {address(part)}  # also after a gather


@pytest.mark.parametrize("ms, text", [(65_123, "1:05.123"), (600.4, "0:00.600"), (-61_000, "-1:01.000"),
                                      (3_725_004, "1:02:05.004"), (float("nan"), "-:--.---")])
def test_lap_time_text(ms, text):
    assert format_lap_time(ms) == text

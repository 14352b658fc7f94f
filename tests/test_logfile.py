"""LogFile: channel access, wide tables, lap and time slicing, lap times, session info."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import yaml

import telvane
from telvane.base import LogFile, format_lap_time, quote_session_yaml
from telvane.sample import write_synthetic_sample

LAPS_SCHEMA = pa.schema([pa.field("num", pa.int32(), False),
                         pa.field("start_time", pa.int64(), False),
                         pa.field("end_time", pa.int64(), False),
                         pa.field("lap_type", pa.string(), False),
                         pa.field("session", pa.int32(), False)])


def make_log(times: list[int], channels: dict[str, tuple[pa.DataType, list, str]],
             laps: list[tuple[int, int, int, str, int]] = (),
             metadata: dict | None = None) -> LogFile:
    """A LogFile shaped like ibt's result: one shared timecodes array, two-column tables."""
    timecodes = pa.array(times, pa.int64())
    tables = {}
    for name, (kind, values, unit) in channels.items():
        meta = {"units": unit, "desc": f"{name} desc",
                "interpolate": str(pa.types.is_floating(kind))}
        schema = pa.schema([pa.field("timecodes", pa.int64(), False),
                            pa.field(name, kind, False, metadata=meta)])
        tables[name] = pa.Table.from_arrays([timecodes, pa.array(values, kind)], schema=schema)
    laps_table = pa.Table.from_pylist(
        [dict(zip(LAPS_SCHEMA.names, lap)) for lap in laps], schema=LAPS_SCHEMA)
    return LogFile(tables, laps_table, metadata or {"session_info_yaml": ""}, "hand.ibt")


# Two sessions whose session times overlap: the second starts again at 0.
RESET_TIMES = [0, 10, 20, 30, 40, 0, 10, 20, 30]
RESET = make_log(
    RESET_TIMES,
    {"Lap": (pa.int32(), [0, 0, 1, 1, 1, 0, 0, 1, 1], ""),
     "Speed": (pa.float32(), [1.5, 2, 3, 4, 5, 6, 7, 8, 9], "m/s"),
     "OnPitRoad": (pa.bool_(), [True, False, False, False, False, True, False, False, False], "")},
    [(0, 0, 20, "out", 0), (1, 20, 0, "full", 0), (0, 0, 20, "out", 1), (1, 20, 30, "partial", 1)])


def buffer_address(table: pa.Table | LogFile, column: int = 0) -> int:
    array = table.timecodes if isinstance(table, LogFile) else table.column(column)
    return array.chunk(0).buffers()[1].address


def channel_values(log: LogFile, name: str) -> list:
    return log[name].column(1).to_pylist()


@pytest.fixture(scope="module")
def sample_log(tmp_path_factory: pytest.TempPathFactory) -> LogFile:
    return telvane.ibt(write_synthetic_sample(tmp_path_factory.mktemp("sample")))


# -- access and wide tables -----------------------------------------------------------------

def test_channel_access():
    assert RESET["Speed"] is RESET.channels["Speed"]
    assert RESET.channel_names == ["Lap", "Speed", "OnPitRoad"]
    assert RESET.units == {"Lap": "", "Speed": "m/s", "OnPitRoad": ""}
    assert len(RESET) == len(RESET_TIMES)
    assert "Speed" in RESET and "Sped" not in RESET
    with pytest.raises(TypeError):
        iter(RESET)


def test_wide_table_shares_columns_and_keeps_metadata(sample_log):
    table = sample_log.to_table(["Speed", "Gear", "OnPitRoad"])
    assert table.column_names == ["timecodes", "Speed", "Gear", "OnPitRoad"]
    assert buffer_address(table) == buffer_address(sample_log["RPM"])
    assert buffer_address(table, 1) == buffer_address(sample_log["Speed"], 1)
    assert table.schema.field("Speed") == sample_log["Speed"].schema.field(1)
    assert table.schema.field("Speed").metadata[b"units"] == b"m/s"
    assert table.schema.metadata[b"session_info_yaml"].startswith(b"---\nWeekendInfo:")
    assert table.schema.metadata[b"tick_rate"] == b"60"
    assert sample_log.to_table().column_names == ["timecodes"] + sample_log.channel_names


def test_wide_table_rejects_unknown_channels():
    with pytest.raises(KeyError, match="no channel named 'Sped', 'Gear'"):
        RESET.to_table(["Speed", "Sped", "Gear"])


def test_parquet_round_trip(sample_log, tmp_path):
    path = tmp_path / "session.parquet"
    sample_log.to_parquet(path, ["Speed", "Gear", "OnPitRoad", "EngineWarnings", "SessionTime"])
    expected = sample_log.to_table(["Speed", "Gear", "OnPitRoad", "EngineWarnings",
                                    "SessionTime"])
    back = pq.read_table(path)
    assert back.equals(expected)
    assert back.schema.equals(expected.schema, check_metadata=True)

    pandas = pytest.importorskip("pandas")
    frame = pandas.read_parquet(path)
    assert frame["Gear"].tolist() == channel_values(sample_log, "Gear")
    polars = pytest.importorskip("polars")
    assert polars.read_parquet(path)["Speed"].to_list() == channel_values(sample_log, "Speed")
    duckdb = pytest.importorskip("duckdb")
    [(count, top)] = duckdb.sql(f"SELECT count(*), max(Speed) FROM '{path}'").fetchall()
    assert (count, top) == (len(sample_log), max(channel_values(sample_log, "Speed")))


def test_data_frames(sample_log):
    pytest.importorskip("pandas")
    frame = sample_log.to_pandas(["Speed", "Lap"])
    assert list(frame.columns) == ["timecodes", "Speed", "Lap"]
    assert frame["Lap"].tolist() == channel_values(sample_log, "Lap")
    pytest.importorskip("polars")
    frame = sample_log.to_polars(["Throttle"])
    assert frame.columns == ["timecodes", "Throttle"]
    assert frame["timecodes"].to_list() == sample_log.timecodes.to_pylist()


@pytest.mark.parametrize("method, extra", [("to_polars", "polars"), ("to_pandas", "pandas"),
                                           ("session", "yaml")])
def test_missing_optional_dependency_names_the_extra(monkeypatch, method, extra):
    monkeypatch.setitem(sys.modules, extra, None)  # each extra is named after its module
    with pytest.raises(ImportError, match=rf"pip install 'telvane\[{extra}\]'"):
        getattr(RESET, method)()


# -- laps and time ranges -------------------------------------------------------------------

def test_lap_holds_exactly_the_records_of_its_span(sample_log):
    times = sample_log.timecodes.to_numpy()
    lap_counter = np.array(channel_values(sample_log, "Lap"))
    rows = sample_log.laps.to_pylist()
    for row, lap in enumerate(rows):
        part = sample_log.lap(row)
        final = row == len(rows) - 1
        inside = (times >= lap["start_time"]) & (
            times <= lap["end_time"] if final else times < lap["end_time"])
        assert part.timecodes.to_pylist() == times[inside].tolist()
        assert set(channel_values(part, "Lap")) == {lap["num"]}
        assert part.laps.to_pylist() == [lap]
        assert buffer_address(part) == buffer_address(sample_log)  # a slice, not a copy
    assert sum(len(sample_log.lap(row)) for row in range(len(rows))) == len(lap_counter)


def test_lap_rows_count_from_the_end_and_are_checked():
    assert RESET.lap(-1).timecodes.to_pylist() == [20, 30]
    assert channel_values(RESET.lap(2), "Speed") == [6, 7]
    with pytest.raises(IndexError, match="lap row 4 out of range for 4 laps"):
        RESET.lap(4)


@pytest.mark.parametrize("start, end, times, laps", [
    (35, 50, [40], []),  # contiguous, no whole lap inside
    (10, 35, [10, 20, 30, 10, 20, 30], [(1, 20, 30, "partial", 1)]),
    (20, 50, [20, 30, 40, 20, 30], [(1, 20, 0, "full", 0), (1, 20, 30, "partial", 1)]),
    (0, 20, [0, 10, 0, 10], [(0, 0, 20, "out", 0), (0, 0, 20, "out", 1)]),
    (50, 60, [], []),
])
def test_time_range(start, end, times, laps):
    part = RESET.time_range(start, end)
    assert part.timecodes.to_pylist() == times
    assert [tuple(lap.values()) for lap in part.laps.to_pylist()] == laps
    assert {buffer_address(table) for table in part.channels.values()} == {
        buffer_address(part["Lap"])}  # one timecodes buffer, also after a gather


def test_laps_of_a_time_range_keep_their_records():
    part = RESET.time_range(0, 20)
    assert [channel_values(part.lap(row), "Speed") for row in range(2)] == [[1.5, 2], [6, 7]]
    assert part.lap(1).timecodes.to_pylist() == [0, 10]


def test_contiguous_time_range_is_a_slice(sample_log):
    lap = sample_log.laps.to_pylist()[2]
    part = sample_log.time_range(lap["start_time"], lap["end_time"])
    assert part.laps.to_pylist() == [lap]
    assert buffer_address(part) == buffer_address(sample_log)
    assert part.timecodes.to_pylist() == sample_log.lap(2).timecodes.to_pylist()


@pytest.mark.parametrize("query, rows", [
    ({}, [0, 1, 2, 3]),
    ({"num": 1}, [1, 3]),
    ({"num": 1, "session": 1}, [3]),
    ({"lap_type": "out"}, [0, 2]),
    ({"lap_type": "in"}, []),
    ({"num": 0, "session": 0, "lap_type": "full"}, []),
])
def test_find_laps(query, rows):
    assert RESET.find_laps(**query) == rows


def test_lap_times_mark_the_best_full_lap_of_each_session():
    log = make_log([0], {}, [
        (0, 0, 90_000, "out", 0), (1, 90_000, 170_000, "full", 0),
        (2, 170_000, 250_000, "full", 0), (3, 250_000, 260_000, "partial", 0),
        (0, 0, 50_000, "out", 1), (1, 50_000, 60_000, "in", 1),
        (0, 0, 10_000, "out", 2), (1, 10_000, 95_123, "full", 2)])
    table = log.lap_times()
    assert table.column_names == LAPS_SCHEMA.names + ["duration", "best"]
    assert table["duration"].to_pylist() == [90_000, 80_000, 80_000, 10_000,
                                             50_000, 10_000, 10_000, 85_123]
    assert table["best"].to_pylist() == [False, True, False, False,
                                         False, False, False, True]
    assert make_log([], {}).lap_times().num_rows == 0


@pytest.mark.parametrize("ms, text", [(0, "0:00.000"), (87_433, "1:27.433"),
                                      (600_005, "10:00.005"), (-1_500, "-0:01.500")])
def test_format_lap_time(ms, text):
    assert format_lap_time(ms) == text


# -- session info ---------------------------------------------------------------------------

def test_session_info_with_simulator_quirks_parses(sample_log):
    text = sample_log.metadata["session_info_yaml"]
    with pytest.raises(yaml.YAMLError):
        yaml.safe_load(text)
    info = sample_log.session()
    assert info["CarSetup"]["Chassis"]["InCarDials"]["DisplayPage"] == "Race: Tyres"
    assert info["DriverInfo"]["Drivers"][0]["TeamName"] == "Synthetic #7 Racing"
    assert info["DriverInfo"]["Drivers"][0]["CarNumber"] == "7"
    assert info["WeekendInfo"]["TrackLength"] == "4.32 km"
    assert info["WeekendInfo"]["SeriesID"] == 285


@pytest.mark.parametrize("value", [
    "Race: Tyres", "ends with a colon:", "Team #7", "*Fast*", "@home", "`tick`", "%20",
    "[ABC] Racing", "{Kiwi}", "!bang", "&anchor", "|pipe", ">fold", "'open quote",
    '"half quoted', "Bob's car: 2", "a:b:c: d",
])
def test_quirky_values_read_as_text(value):
    text = f"---\nDriverInfo:\n Drivers:\n - UserName: {value}\n   CarIdx: 3\n...\n"
    assert yaml.safe_load(quote_session_yaml(text)) == {
        "DriverInfo": {"Drivers": [{"UserName": value, "CarIdx": 3}]}}


@pytest.mark.parametrize("value, parsed", [
    ("1.5", 1.5), ("-3", -3), ("'quoted'", "quoted"), ('"7"', "7"), ("a:b", "a:b"),
    ("54.0%", "54.0%"), ("31C, 31C", "31C, 31C"), ('""', ""),
])
def test_ordinary_values_are_left_alone(value, parsed):
    assert yaml.safe_load(quote_session_yaml(f"Key: {value}\n")) == {"Key": parsed}


def test_clean_session_info_parses_as_plain_yaml(sample):
    log = telvane.ibt(sample)
    assert log.session() == yaml.safe_load(log.metadata["session_info_yaml"])


def test_session_info_with_nul_bytes_and_no_text():
    assert make_log([], {}, metadata={"session_info_yaml": "A: 1\0\nB: x\n"}).session() == {
        "A": 1, "B": "x"}
    assert make_log([], {}, metadata={}).session() is None


# -- display --------------------------------------------------------------------------------

def test_repr():
    assert repr(RESET) == "<LogFile 'hand.ibt': 3 channels, 9 records, 4 laps>"
    one = make_log([5], {"Lap": (pa.int32(), [0], "")}, [(0, 5, 5, "incomplete", 0)])
    assert repr(one) == "<LogFile 'hand.ibt': 1 channel, 1 record, 1 lap>"


def test_html_repr_lists_laps_and_escapes(sample_log):
    page = sample_log._repr_html_()
    assert page.count("<tr>") == sample_log.laps.num_rows + 1
    assert "1:26.966 ★" in page and "Synthetic Raceway" in page
    odd = LogFile({}, RESET.laps, {"track_display_name": "<b>"}, "<bytes>")
    assert "&lt;bytes&gt;" in odd._repr_html_() and "<b>" not in odd._repr_html_()


def test_import_stays_light():
    import subprocess

    code = ("import sys, telvane; heavy = {'pandas', 'polars', 'yaml', 'matplotlib', 'duckdb'}; "
            "print(sorted(heavy & set(sys.modules)))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True, cwd=Path(__file__).parent)
    assert result.stdout.strip() == "[]"

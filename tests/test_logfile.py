"""LogFile: wide tables, lap and time slicing, lap times, session info, display. The README's
examples show the plain use of each member; these are the cases around it."""

from __future__ import annotations

import subprocess
import sys

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import telvane
from reference_reader import LAPS_SCHEMA
from telvane.base import LogFile
from telvane.text import format_lap_time


def make_log(times: list[int], channels: dict[str, tuple[pa.DataType, list]],
             laps: list[tuple[int, int, int, str, int]] = (), metadata: dict | None = None) -> LogFile:
    """A LogFile shaped like ibt's result: one shared timecodes array, two-column tables."""
    timecodes = pa.array(times, pa.int64())
    tables = {name: pa.Table.from_arrays([timecodes, pa.array(values, kind)], ["timecodes", name])
              for name, (kind, values) in channels.items()}
    laps_table = pa.Table.from_pylist([dict(zip(LAPS_SCHEMA.names, lap)) for lap in laps], schema=LAPS_SCHEMA)
    return LogFile(tables, laps_table, {"session_info_yaml": ""} if metadata is None else metadata, "hand.ibt")


# Two sessions whose session times overlap: the second starts again at 0.
RESET = make_log(
    [0, 10, 20, 30, 40, 0, 10, 20, 30],
    {"Lap": (pa.int32(), [0, 0, 1, 1, 1, 0, 0, 1, 1]), "Speed": (pa.float32(), [1.5, 2, 3, 4, 5, 6, 7, 8, 9]),
     "OnPitRoad": (pa.bool_(), [True, False, False, False, False, True, False, False, False])},
    [(0, 0, 20, "out", 0), (1, 20, 0, "full", 0), (0, 0, 20, "out", 1), (1, 20, 30, "partial", 1)])


def address(table: pa.Table | LogFile, column: int = 0) -> int:
    array = table.timecodes if isinstance(table, LogFile) else table.column(column)
    return array.chunk(0).buffers()[1].address


def values(log: LogFile, name: str) -> list:
    return log[name].column(1).to_pylist()


@pytest.fixture(scope="module")
def sample_log(synthetic: bytes) -> LogFile:
    return telvane.ibt(synthetic)


def test_wide_table_shares_columns_and_keeps_metadata(sample_log):
    table = sample_log.to_table(["Speed", "Gear", "OnPitRoad"])
    assert table.column_names == ["timecodes", "Speed", "Gear", "OnPitRoad"]
    assert address(table) == address(sample_log["RPM"]) and address(table, 1) == address(sample_log["Speed"], 1)
    assert table.schema.field("Speed") == sample_log["Speed"].schema.field(1)
    assert table.schema.field("Speed").metadata[b"units"] == b"m/s"
    assert table.schema.metadata[b"session_info_yaml"].startswith(b"---\nWeekendInfo:")
    assert table.schema.metadata[b"tick_rate"] == b"60"
    assert sample_log.to_table().column_names == ["timecodes"] + sample_log.channel_names
    with pytest.raises(KeyError, match="no channel named 'Sped', 'Gear'"):
        RESET.to_table(["Speed", "Sped", "Gear"])
    with pytest.raises(TypeError):  # indexing is by name: no sequence protocol
        iter(RESET)


def test_parquet_and_data_frames(sample_log, tmp_path):
    names = ["Speed", "Gear", "OnPitRoad", "EngineWarnings", "SessionTime"]
    sample_log.to_parquet(tmp_path / "session.parquet", names)
    back, expected = pq.read_table(tmp_path / "session.parquet"), sample_log.to_table(names)
    assert back.equals(expected) and back.schema.equals(expected.schema, check_metadata=True)
    frame = sample_log.to_pandas(["Speed", "Lap"])
    assert list(frame.columns) == ["timecodes", "Speed", "Lap"] and frame["Lap"].tolist() == values(sample_log, "Lap")
    frame = sample_log.to_polars(["Throttle"])
    assert frame.columns == ["timecodes", "Throttle"]
    assert frame["timecodes"].to_list() == sample_log.timecodes.to_pylist()


def test_one_name_is_one_channel_and_options_reach_pyarrow(sample_log, tmp_path):
    import pandas

    assert sample_log.to_table("Speed").column_names == ["timecodes", "Speed"]
    assert sample_log.to_polars("Speed").columns == ["timecodes", "Speed"]
    frame = sample_log.to_pandas("Speed", types_mapper=pandas.ArrowDtype)
    assert list(frame.columns) == ["timecodes", "Speed"] and str(frame["Speed"].dtype) == "float[pyarrow]"
    sample_log.to_parquet(tmp_path / "s.parquet", "Speed", compression="zstd")
    assert pq.ParquetFile(tmp_path / "s.parquet").metadata.row_group(0).column(1).compression == "ZSTD"
    with pytest.raises(TypeError):
        sample_log.to_parquet(tmp_path / "t.parquet", "Speed", no_such_option=1)


def test_arrow_libraries_take_the_logfile_itself(sample_log):
    import duckdb
    import polars

    log = sample_log
    wide = sample_log.to_table()
    assert pa.table(log).equals(wide) and polars.DataFrame(log).equals(polars.from_arrow(wide))
    total = sum(wide["Gear"].to_pylist())
    assert duckdb.sql("SELECT count(*), sum(Gear) FROM log").fetchall() == [(wide.num_rows, total)]


def test_channel_info(sample_log):
    info = sample_log.channel_info()
    assert info["name"].to_pylist() == sample_log.channel_names
    rows = {row["name"]: row for row in info.to_pylist()}
    assert rows["Speed"] == {"name": "Speed", "type": "float", "unit": "m/s", "description": "GPS vehicle speed",
                             "interpolate": True}
    assert (rows["Gear"]["type"], rows["Gear"]["unit"], rows["Gear"]["interpolate"]) == ("int32", "", False)
    empty = LogFile({}, RESET.laps, {}, "x").channel_info()
    assert empty.num_rows == 0 and empty.schema == info.schema


@pytest.mark.parametrize("call, error, message", [
    (lambda log: log.find_laps(lap_type="FULL"), ValueError,
     "lap_type must be one of 'full', 'partial', 'in', 'out', 'incomplete', got 'FULL'"),
    (lambda log: log.find_laps(session="1"), TypeError, "session must be an integer, got '1'"),
    (lambda log: log.find_laps(num=1.0), TypeError, "num must be an integer, got 1.0"),
    (lambda log: log.time_range("a", "b"), TypeError, "time_range() start_ms must be a number of milliseconds, got 'a'"),
    (lambda log: log.time_range(0, None), TypeError, "time_range() end_ms must be a number of milliseconds, got None"),
    (lambda log: log.time_range(20, 10), ValueError, "time_range() end_ms 10 is before start_ms 20"),
    (lambda log: log.time_range(0, float("nan")), ValueError, "time_range() end_ms nan is before start_ms 0"),
])
def test_arguments_are_checked(call, error, message):
    with pytest.raises(error) as raised:
        call(RESET)
    assert str(raised.value) == message


def test_arguments_of_numpy_and_python_number_types():
    import numpy as np

    assert RESET.find_laps(num=np.int32(1), session=np.int64(1)) == [3]
    assert RESET.time_range(np.int64(10), 30.5).timecodes.to_pylist() == [10, 20, 30, 10, 20, 30]


def test_types_seen_by_mypy_and_help():
    import pydoc

    code = ("import telvane\nfrom telvane import LogFile\nlog: LogFile = telvane.ibt('x.ibt')\n"
            "reveal_type(log.metadata['tick_rate'])\nreveal_type(log.metadata.get('track_name'))\n"
            "reveal_type(log.session())\nwrong: int = log\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", "-c", code],
                          capture_output=True, text=True)
    notes = [line.split(": ", 2)[-1] for line in done.stdout.splitlines() if line.startswith("<string>")]
    assert notes == ['Revealed type is "int"', 'Revealed type is "str | None"', 'Revealed type is "dict[str, Any]"',
                     'Incompatible types in assignment (expression has type "LogFile", variable has type "int")  '
                     '[assignment]'], done.stdout
    page = pydoc.render_doc(telvane, renderer=pydoc.plaintext)
    assert "class LogFile" in page and "__getattr__" not in page


@pytest.mark.parametrize("method, extra", [("to_polars", "polars"), ("to_pandas", "pandas"), ("session", "yaml")])
def test_missing_optional_dependency_names_the_extra(monkeypatch, method, extra):
    monkeypatch.setitem(sys.modules, extra, None)  # each extra is named after its module
    with pytest.raises(ImportError, match=rf"pip install 'telvane\[{extra}\]'"):
        getattr(RESET, method)()


def test_laps_and_contiguous_time_ranges_are_slices(sample_log):
    times, laps = sample_log.timecodes.to_pylist(), sample_log.lap_times().to_pylist()
    for row, lap in enumerate(laps):
        part = sample_log.lap(row)
        assert part.timecodes.to_pylist() == times[lap["first_record"]:lap["end_record"]]
        assert set(values(part, "Lap")) == {lap["num"]}
        assert address(part) == address(sample_log)  # a slice, not a copy
    assert RESET.lap(-1).timecodes.to_pylist() == [20, 30] and values(RESET.lap(2), "Speed") == [6, 7]
    with pytest.raises(IndexError, match="lap row 4 out of range for 4 laps"):
        RESET.lap(4)
    gathered = RESET.time_range(0, 20)  # the laps of a gathered range keep their own records
    assert [values(gathered.lap(row), "Speed") for row in range(2)] == [[1.5, 2], [6, 7]]
    assert gathered.lap(1).timecodes.to_pylist() == [0, 10]
    lap = laps[2]  # a contiguous time range is a slice too
    part = sample_log.time_range(lap["start_time"], lap["end_time"])
    assert part.lap_times()["duration"].to_pylist() == [lap["duration"]] and address(part) == address(sample_log)
    assert part.timecodes.to_pylist() == sample_log.lap(2).timecodes.to_pylist()


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
    assert {address(table) for table in part.channels.values()} == {address(part["Lap"])}  # also after a gather


def test_html_repr_lists_laps_and_escapes(sample_log):
    page = sample_log._repr_html_()
    laps = sample_log.lap_times()
    assert page.count("<tr>") == laps.num_rows + 1 and "Synthetic Raceway" in page
    assert all(f"{format_lap_time(lap['duration'])} ★" in page for lap in laps.to_pylist() if lap["best"])
    odd = LogFile({}, RESET.laps, {"track_display_name": "<b>"}, "<bytes>")._repr_html_()
    assert "&lt;bytes&gt;" in odd and "<b>" not in odd


@pytest.mark.parametrize("ms, text", [(65_123, "1:05.123"), (600.4, "0:00.600"), (-61_000, "-1:01.000"),
                                      (3_725_004, "1:02:05.004"), (float("nan"), "-:--.---")])
def test_lap_time_text(ms, text):
    assert format_lap_time(ms) == text


def test_import_stays_light():
    code = "import sys, telvane; print(sorted({'pandas', 'polars', 'yaml', 'matplotlib', 'duckdb'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"

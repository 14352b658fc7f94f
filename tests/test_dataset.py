"""The Parquet dataset: its layout read back by pyarrow and DuckDB, re-runs, partition keys
from awkward session info, bad files among good ones, and the Parquet files themselves."""

from __future__ import annotations

import struct
import urllib.parse
from pathlib import Path

import duckdb
import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

import telvane
from conftest import OVERRUN
from telvane import dataset, parquet
from telvane._writer import FLOAT, INT
from builders import write_channels


def with_session_info(data: bytes, text: str) -> bytes:
    """An IBT file's bytes with its session-info text replaced: the text lies between the
    variable headers and the records, so its length and the records' offset change."""
    length, at = struct.unpack_from("<ii", data, 16)
    buf_offset = struct.unpack_from("<i", data, 52)[0]
    info = text.encode()
    out = bytearray(data[:at] + info + data[at + length:])
    struct.pack_into("<i", out, 16, len(info))
    struct.pack_into("<i", out, 52, buf_offset + len(info) - length)
    return bytes(out)


def replaced(synthetic: bytes, **values: str) -> bytes:
    """The synthetic recording with session-info lines `Name: value` given new values."""
    text = telvane.ibt(synthetic).metadata["session_info_yaml"]
    lines = []
    for line in text.splitlines():
        name = line.strip().lstrip("- ").partition(":")[0]
        if name in values:
            line = line[:line.index(name) + len(name)] + ": " + values[name]
        lines.append(line)
    return with_session_info(synthetic, "\n".join(lines) + "\n")


def files(root: Path) -> list[str]:
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())


@pytest.fixture
def recordings(tmp_path, synthetic) -> dict[str, Path]:
    made = {"a": synthetic, "b": replaced(synthetic, TrackName="other ring", UserName="Kim Other")}
    paths = {}
    for name, data in made.items():
        paths[name] = tmp_path / f"{name}.ibt"
        paths[name].write_bytes(data)
    return paths


def test_the_dataset_reads_back_through_pyarrow_and_duckdb(tmp_path, recordings):
    out = tmp_path / "out"
    reports = [dataset.convert(path, out) for path in recordings.values()]
    assert [r["status"] for r in reports] == ["ok", "ok"] and all(r["error"] is None for r in reports)
    tables = dataset.read(out)
    sessions = tables.sessions.to_table().sort_by("track").to_pylist()
    assert [(s["track"], s["driver"], s["car"], s["session_type"], s["date"]) for s in sessions] == [
        ("other ring", "Kim Other", "Synthetic GT3", "Practice", "2024-05-01"),
        ("synthetic raceway", "Sam Synthetic", "Synthetic GT3", "Practice", "2024-05-01")]
    for report, path in zip(reports, recordings.values()):
        log = telvane.ibt(path)
        row = next(s for s in sessions if s["recording"] == report["recording"])
        assert (row["records"], row["laps"], row["source_size"]) == (len(log), log.lap_times().num_rows, path.stat().st_size)
        assert row["session_info"] == log.metadata["session_info_yaml"]
        channels = tables.channels.to_table(filter=pc.field("recording") == report["recording"])
        assert channels.drop_columns(["recording", "track", "car", "session_type"]).equals(
            log.to_table().replace_schema_metadata(None))
        assert channels.schema.field("Speed").metadata[b"units"] == b"m/s"
    best = duckdb.sql(f"""
        SELECT track, driver, min(duration) AS best FROM read_parquet('{out}/laps/**/*.parquet', hive_partitioning = true)
        WHERE lap_type = 'full' GROUP BY ALL ORDER BY track""").fetchall()
    laps = telvane.ibt(recordings["a"]).lap_times()
    expected = min(d for d, kind in zip(laps["duration"].to_pylist(), laps["lap_type"].to_pylist()) if kind == "full")
    assert best == [("other ring", "Kim Other", expected), ("synthetic raceway", "Sam Synthetic", expected)]
    assert duckdb.sql(f"SELECT count(*) FROM read_parquet('{out}/channels/**/*.parquet', hive_partitioning = true, "
                      f"union_by_name = true)").fetchall()[0][0] == 2 * len(telvane.ibt(recordings["a"]))


def test_lap_aggregates_come_from_each_laps_records(tmp_path, recordings):
    out = tmp_path / "out"
    dataset.convert(recordings["a"], out)
    laps = dataset.read(out).laps.to_table()
    log = telvane.ibt(recordings["a"])
    assert laps.num_rows == log.lap_times().num_rows
    for row in range(laps.num_rows):
        lap = log.lap(row)
        speed, fuel = lap["Speed"].column(1).to_numpy(), lap["FuelLevel"].column(1).to_numpy()
        assert laps["max_speed"][row].as_py() == pytest.approx(speed.max())
        assert laps["mean_speed"][row].as_py() == pytest.approx(speed.mean(), rel=1e-6)
        assert laps["fuel_used"][row].as_py() == pytest.approx(fuel[0] - fuel[-1], rel=1e-6)
    assert laps.schema.field("max_speed").metadata[b"units"] == b"m/s"


def test_rerunning_replaces_and_a_failed_file_leaves_nothing(tmp_path, recordings, write_file):
    out = tmp_path / "out"
    dataset.convert(recordings["a"], out, partition_by=["track"])
    first = files(out)
    assert dataset.convert(recordings["a"], out, partition_by=["track"])["status"] == "ok"
    assert files(out) == first and len(first) == 4  # three tables and the layout file
    truncated = write_file(recordings["b"].read_bytes()[:5000])
    bad = [truncated, write_file(b"not a recording at all"), write_file(OVERRUN), tmp_path / "missing.ibt"]
    reports = [dataset.convert(path, out, partition_by=["track"]) for path in bad]
    assert [r["status"] for r in reports] == ["failed"] * 4 and all(r["error"] for r in reports)
    assert reports[2]["error"] == "Read of bytes 93..101 outside the record area of 100 bytes"  # the internal error
    assert files(out) == first
    with pytest.raises(ValueError, match="partitioned by track, not by car"):
        dataset.prepare(out, ["car"])
    assert "partitioned by track" in dataset.convert(recordings["b"], out, partition_by=["car"])["error"]


@pytest.mark.parametrize("value, expected", [
    ("a/b\\c", "a/b\\c"),
    ("100% = full", "100% = full"),
    ("..", ".."),
    ("Jürgen \u65e5\u672c", "Jürgen \u65e5\u672c"),
    ("'quoted #7: yes'", "quoted #7: yes"),
    ("", "unknown"),
    ("\u00e9" * 300, "\u00e9" * 33),  # cut to fit a directory name: 33 * 6 bytes encoded
])
def test_partition_values_survive_the_path(tmp_path, synthetic, value, expected):
    source = tmp_path / "x.ibt"
    source.write_bytes(replaced(synthetic, UserName=value))
    out = tmp_path / "out"
    assert dataset.convert(source, out, partition_by=["driver", "track"])["status"] == "ok"
    (path,) = (out / "laps").rglob("*.parquet")
    driver_dir = path.parent.parent.name
    assert len(driver_dir.encode()) <= 255 and urllib.parse.unquote(driver_dir) == f"driver={expected}"
    assert dataset.read(out).sessions.to_table()["driver"].to_pylist() == [expected]
    assert duckdb.sql(f"SELECT DISTINCT driver FROM read_parquet('{out}/laps/**/*.parquet', "
                      f"hive_partitioning = true)").fetchall() == [(expected,)]


def test_column_names_stay_unique_whatever_the_channels_are_called(tmp_path, write_file):
    source = write_file(write_channels({"recording": (INT, [1, 2]), "Track": (FLOAT, [3.0, 4.0]),
                                        "timecodes": (INT, [5, 6])}))
    out = tmp_path / "out"
    assert dataset.convert(source, out)["status"] == "ok"
    columns = duckdb.sql(f"SELECT * FROM read_parquet('{out}/channels/**/*.parquet', hive_partitioning = true)")
    assert columns.columns[:6] == ["recording", "timecodes", "SessionTime", "recording_2", "Track_2", "timecodes_2"]
    assert sorted(columns.columns[6:]) == ["car", "session_type", "track"]
    assert columns.fetchall()[1][3:6] == (2, 4.0, 6)


def test_recordings_with_different_channels_read_as_one_dataset(tmp_path, write_file):
    out = tmp_path / "out"
    for channels in ({"Speed": (FLOAT, [1.0])}, {"RPM": (FLOAT, [2.0, 3.0])}):
        assert dataset.convert(write_file(write_channels(channels)), out)["status"] == "ok"
    table = dataset.read(out).channels.to_table(columns=["Speed", "RPM"])
    assert sorted(table.to_pylist(), key=str) == sorted(
        [{"Speed": 1.0, "RPM": None}, {"Speed": None, "RPM": 2.0}, {"Speed": None, "RPM": 3.0}], key=str)


# -- the Parquet files -----------------------------------------------------------------------

def test_written_parquet_reads_back_with_metadata_stored_once(tmp_path, synthetic):
    table = telvane.ibt(synthetic).to_table()
    path = tmp_path / "t.parquet"
    parquet.write_table(table, path)
    assert pq.read_table(path).equals(table) and pq.read_schema(path).equals(table.schema, check_metadata=True)
    footer = pq.read_metadata(path).metadata  # the text only inside the serialized schema
    assert b"session_info_yaml" not in footer and b"track_name" in footer
    columns = pq.ParquetFile(path).metadata.row_group(0)
    encodings = {columns.column(i).path_in_schema: columns.column(i) for i in range(columns.num_columns)}
    assert "BYTE_STREAM_SPLIT" in encodings["Speed"].encodings and encodings["Speed"].compression == "ZSTD"
    assert "RLE_DICTIONARY" in encodings["Gear"].encodings


def test_session_info_too_large_for_a_footer_is_left_out(tmp_path, monkeypatch):
    monkeypatch.setattr(parquet, "FOOTER_TEXT_LIMIT", 1000)
    table = pa.table({"x": [1.0]}).replace_schema_metadata({"session_info_yaml": "y" * 1001, "track_name": "t"})
    parquet.write_table(table, tmp_path / "t.parquet")
    assert pq.read_schema(tmp_path / "t.parquet").metadata == {b"track_name": b"t", b"session_info_omitted": b"1001"}


def test_writer_options_pass_through_and_replace_the_defaults(tmp_path):
    table = pa.table({"x": np.arange(1000, dtype=np.float32), "n": np.arange(1000)})
    parquet.write_table(table, tmp_path / "t.parquet", compression="snappy", use_dictionary=True,
                        row_group_size=300)
    meta = pq.ParquetFile(tmp_path / "t.parquet").metadata
    assert meta.num_row_groups == 4 and meta.row_group(0).column(0).compression == "SNAPPY"
    assert "BYTE_STREAM_SPLIT" not in meta.row_group(0).column(0).encodings

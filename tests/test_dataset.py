"""The Parquet dataset: read back by pyarrow and DuckDB, re-runs, partition keys from awkward
session info, bad files among good ones, and the Parquet files themselves."""

import io
import os
import re
import sys
import threading
import time
import urllib.parse
from pathlib import Path
import warnings

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from builders import write_channels
from conftest import OVERRUN, run

import telvane
from telvane import dataset
from telvane.dataset import _compact, _convert, _parquet, _publish, _schema, _store
from telvane._writer import BOOL, CHAR, DOUBLE, FLOAT, INT
from telvane._sample import SESSION_INFO, SESSION_START_DATE


def recording(path, channels=None, **values):
    # two records with the synthetic sample's session info, lines `Name: value` given new values
    text = SESSION_INFO
    for name, value in values.items():
        text = re.sub(rf"(?m)^( *(- )?{name}):.*$", lambda line: f"{line[1]}: {value}", text)
    path.write_bytes(write_channels(channels or {"Speed": (FLOAT, [1.0, 2.0])}, session_info=text,
                                    session_start_date=SESSION_START_DATE))
    return path


def query(select, out, table, rest=""):
    files = (f"read_parquet('{out}/{table}/**/*.parquet', hive_partitioning = true, "
             "hive_types_autocast = false, union_by_name = true)")
    return duckdb.sql(f"SELECT {select} FROM {files} {rest}").fetchall()


def test_the_dataset_holds_the_recordings_channels_laps_and_session(tmp_path, synthetic, monkeypatch):
    monkeypatch.setattr(dataset, "ROW_GROUP_SIZE", 5000)  # the channels in several row groups
    source, out, seen = tmp_path / "a.ibt", tmp_path / "out", []
    source.write_bytes(synthetic)
    report = dataset.convert(source, out, progress=seen.append)
    assert (report["status"], report["error"]) == ("ok", None)
    assert seen == sorted(seen) and seen[-1] == 1.0 and any(_convert.READ_SHARE < f < 1.0 for f in seen)
    tables, log = dataset.read(out), telvane.ibt(synthetic)
    (session,) = tables.sessions.to_table().to_pylist()
    assert [session[key] for key in ["recording", *dataset.KEYS, "records", "laps", "source_size"]] == [
        report["recording"], "synthetic raceway", "synthgt3", "Sam Synthetic", "Practice", "2024-05-01",
        len(log), log.lap_times().num_rows, source.stat().st_size]
    assert session["session_info"] == log.metadata["session_info_yaml"]
    wide = log.to_table().replace_schema_metadata(None)
    channels = tables.channels.to_table().select(wide.column_names)  # columns nullable: others may lack them
    nullable = pa.schema([field.with_nullable(True) for field in wide.schema])
    assert channels.cast(wide.schema).equals(wide) and channels.schema.equals(nullable, check_metadata=True)
    laps = tables.laps.to_table()
    for row in range(laps.num_rows):
        speed, fuel = (log.lap(row)[name].column(1).to_numpy() for name in ("Speed", "FuelLevel"))
        expected = {"max_speed": speed.max(), "mean_speed": speed.mean(), "fuel_used": fuel[0] - fuel[-1]}
        assert {name: laps[name][row].as_py() for name in expected} == pytest.approx(expected, rel=1e-6)
    assert laps.schema.field("max_speed").metadata[b"units"] == b"m/s"


@pytest.mark.parametrize("columns", [None, ["Speed"]])
def test_the_session_type_is_that_of_the_first_record_whatever_channels_are_kept(tmp_path, columns):
    source = recording(tmp_path / "a.ibt", {"Speed": (FLOAT, [1.0, 2.0]), "SessionNum": (INT, [1, 1])})
    assert dataset.convert(source, tmp_path / "out", columns=columns)["status"] == "ok"
    sessions = dataset.read(tmp_path / "out").sessions.to_table()
    assert sessions["session_type"].to_pylist() == ["Lone Qualify"]

def files(root):
    return sorted(str(path.relative_to(root)) for path in root.rglob("*") if path.is_file())


def test_a_rerun_skips_what_is_held_and_a_failed_file_leaves_nothing(tmp_path, write_file):
    out, source = tmp_path / "out", recording(tmp_path / "a.ibt")
    row = dataset.convert(source, out, partition_by=["track"])
    first = files(out)
    (tmp_path / "copy.ibt").write_bytes(source.read_bytes())
    again = dataset.convert(tmp_path / "copy.ibt", out, partition_by=["track"])
    assert (again["status"], again["recording"], again["output"]) == (
        "present", row["recording"], str(out / "sessions" / first[-1].split("/", 1)[1]))
    assert dataset.convert(source, out, partition_by=["track"], replace=True)["status"] == "ok"
    assert files(out) == first and len(first) == 5  # three tables, the layout and the schema
    for bad in [write_file(source.read_bytes()[:1000]), write_file(OVERRUN), tmp_path / "missing.ibt"]:
        assert dataset.convert(bad, out, partition_by=["track"])["status"] == "failed" and files(out) == first
    with pytest.raises(ValueError, match="partitioned by track, not by car"):
        dataset.prepare(out, ["car"])
    assert "partitioned by track" in dataset.convert(source, out, partition_by=["car"])["error"]


@pytest.mark.parametrize("value, expected", [
    ("a/b\\c", "a/b\\c"),
    ("100% = full", "100% = full"),
    ("Jürgen \u65e5\u672c", "Jürgen \u65e5\u672c"),
    ("'quoted #7: yes'", "quoted #7: yes"),
    ("", "unknown"),
    ("\u00e9" * 300, "\u00e9" * 33),  # cut to fit a directory name: 33 * 6 bytes encoded
])
def test_partition_values_survive_the_path(tmp_path, value, expected):
    out = tmp_path / "out"
    assert dataset.convert(recording(tmp_path / "x.ibt", UserName=value), out,
                           partition_by=["driver", "track"])["status"] == "ok"
    (path,) = (out / "sessions").rglob("*.parquet")
    driver_dir = path.parent.parent.name
    assert len(driver_dir.encode()) <= 255 and urllib.parse.unquote(driver_dir) == f"driver={expected}"
    assert query("driver", out, "sessions") == [(expected,)]
    assert dataset.read(out).sessions.to_table()["driver"].to_pylist() == [expected]


def test_channels_of_any_names_read_as_one_dataset(tmp_path):
    out = tmp_path / "out"
    for name, channels in [("a.ibt", {"recording": (INT, [1, 2]), "Track": (FLOAT, [3.0, 4.0]),
                                      "timecodes": (INT, [5, 6])}), ("b.ibt", {"Speed": (FLOAT, [7.0])})]:
        assert dataset.convert(recording(tmp_path / name, channels), out)["status"] == "ok"
    rows = query("recording_2, Track_2, timecodes_2", out, "channels", "ORDER BY recording_2 NULLS LAST")
    assert rows == [(1, 3.0, 5), (2, 4.0, 6), (None, None, None)]
    table = dataset.read(out).channels.to_table(columns=["Track_2", "Speed"])
    assert sorted(table.to_pylist(), key=str) == [
        {"Track_2": 3.0, "Speed": None}, {"Track_2": 4.0, "Speed": None}, {"Track_2": None, "Speed": 7.0}]


def test_parquet_files_store_the_session_info_once_and_choose_encodings(synthetic, monkeypatch):
    table = telvane.ibt(synthetic).to_table()
    _parquet.write_table(table, "t.parquet")
    assert pq.read_table("t.parquet").equals(table) and pq.read_schema("t.parquet").equals(table.schema, True)
    footer = pq.read_metadata("t.parquet").metadata  # the text only inside the serialized schema
    assert b"session_info_yaml" not in footer and b"track_name" in footer
    columns = pq.ParquetFile("t.parquet").metadata.row_group(0)
    encodings = {columns.column(i).path_in_schema: columns.column(i) for i in range(columns.num_columns)}
    assert "BYTE_STREAM_SPLIT" in encodings["Speed"].encodings and encodings["Speed"].compression == "ZSTD"
    assert "PLAIN" in encodings["Gear"].encodings and "RLE_DICTIONARY" not in encodings["Gear"].encodings
    monkeypatch.setattr(_parquet, "FOOTER_TEXT_LIMIT", 1000)
    large = pa.table({"x": [1.0]}, metadata={"session_info_yaml": "y" * 1001, "track": "t"})
    _parquet.write_table(large, "s.parquet")
    assert pq.read_schema("s.parquet").metadata == {b"track": b"t", b"session_info_omitted": b"1001"}


@pytest.mark.parametrize("layout", ["[]", '{"format": "telvane dataset", "version": 1}',
                                    '{"format": "telvane dataset", "version": 1, "partition_by": [[]]}',
                                    "not json"])
def test_a_damaged_layout_file_is_not_a_dataset(tmp_path, capsys, layout):
    out, source = tmp_path / "out", recording(tmp_path / "a.ibt")
    out.mkdir()
    (out / dataset.LAYOUT_FILE).write_text(layout)
    expected = f"{out / dataset.LAYOUT_FILE}: not a telvane dataset"
    with pytest.raises(ValueError, match=re.escape(expected)):
        dataset.read(out)
    row = dataset.convert(source, out)
    assert (row["status"], row["error"].startswith(expected)) == ("failed", True)
    status, _, err = run(capsys, "export", source, "--out", out)
    assert status == 1 and err.startswith(f"telvane: {expected}") and err.count("\n") == 1
    assert files(out) == [dataset.LAYOUT_FILE]


DAMAGED = {"garbage": bytes(range(256)) * 4, "empty": b"", "JSON": b'{"fields": [{"name": "Gear"}]}'}


@pytest.mark.parametrize("damage", DAMAGED)
def test_a_damaged_kept_schema_is_named_skipped_and_rebuilt_from_the_files(tmp_path, capsys, damage):
    out = tmp_path / "out"
    _, rows = converted(tmp_path, ["monza"] * 3)
    damaged = out / "_schemas" / "channels" / f"{rows[1]['recording']}.arrows"  # the one schema with Gear
    damaged.write_bytes(DAMAGED[damage])
    with pytest.warns(UserWarning, match=f"^{re.escape(str(damaged))}: not a schema that reads, skipped") as met:
        names = dataset.read(out).channels.to_table().column_names
    assert len(met) == 1 and {"Speed", "Flag", "Gear", "Fuel"} <= set(names)
    status, _, err = run(capsys, "export", recording(tmp_path / "3.ibt", CHANNELS[3]), "--out", out)
    assert status == 0 and err and all(line.startswith(f"telvane: warning: {damaged}: ") for line in err.splitlines())
    assert [path.name[:len(_schema.MERGED_PREFIX)] for path in (out / "_schemas" / "channels").iterdir()] == [
        _schema.MERGED_PREFIX]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert dataset.read(out).channels.to_table().column_names == names


@pytest.mark.parametrize("tables, damage", [(["laps"], "garbage"), (["sessions"], "empty"),
                                            (["channels", "_schemas/channels"], "JSON")])
def test_a_damaged_parquet_file_read_meets_is_named(tmp_path, tables, damage):
    out = tmp_path / "out"
    dataset.convert(recording(tmp_path / "a.ibt"), out)
    damaged = [next(path for path in (out / table).rglob("*") if path.is_file()) for table in tables]
    for path in damaged:
        path.write_bytes(DAMAGED[damage])
    with pytest.warns(UserWarning) as met:
        dataset.read(out)
    assert sorted(str(warning.message).split(": ")[0] for warning in met) == sorted(map(str, damaged))


@pytest.mark.parametrize("fault, options, status, error", [
    # a regular expression that ran over every blank line from each line start took minutes
    ("300,000 blank lines before the session info", {"timeout": 60.0}, "ok", None),
    ("a deadline passed while reading", {"timeout": 1e-9}, "timeout", "not finished within 1e-09 s"),
    ("a write that fails midway", {}, "failed", "[Errno 28] No space left on device"),
    ("standard input that holds no recording", {}, "failed", "Invalid header"),
    ("standard input that holds a recording", {}, "ok", None),
])
def test_hostile_inputs_are_reported_and_leave_nothing_behind(tmp_path, monkeypatch, fault, options,
                                                              status, error):
    out, source = tmp_path / "out", recording(tmp_path / "a.ibt")
    if fault.startswith("300,000"):
        text = "\n" * 300_000 + SESSION_INFO
        source.write_bytes(write_channels({"Speed": (FLOAT, [1.0])}, session_info=text))
    if fault.startswith("a write"):
        def full(table, path, **options):  # the channels file begun, then the disk full
            Path(path).write_bytes(b"PAR1")
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(_parquet, "write_table", full)
    if fault.startswith("standard input"):
        held = b"no recording" if fault.endswith("no recording") else source.read_bytes()
        monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(held)))
        source = "-"
    row = dataset.convert(source, out, **options)
    assert (row["status"], (row["error"] or "")[:len(error or "")]) == (status, error or "")
    written = [path for path in files(out) if path.endswith(".parquet") and not path.startswith("_")]
    assert len(written) == (3 if status == "ok" else 0) and all("/." not in path for path in files(out))
    if status == "ok":
        assert dataset.read(out).sessions.to_table()["driver"].to_pylist() == ["Sam Synthetic"]


@pytest.mark.parametrize("change, same", [("a copy", True), ("one byte changed", False),
                                          ("the same bytes given as bytes", True)])
def test_the_recording_identity_is_the_bytes(tmp_path, synthetic, change, same):
    original, other = tmp_path / "a.ibt", tmp_path / "b.ibt"
    original.write_bytes(synthetic)
    data = bytearray(synthetic)
    if change == "one byte changed":
        data[len(data) // 2] ^= 1
    other.write_bytes(data)
    theirs = _convert.recording_id(bytes(data) if change.endswith("as bytes") else other)
    assert (_convert.recording_id(original) == theirs) == same and len(theirs) == 32


def test_a_sweep_removes_only_temporaries_no_run_writes_any_more_and_finishes_a_killed_publish(tmp_path,
                                                                                                  monkeypatch):
    out = tmp_path / "out"
    dataset.convert(recording(tmp_path / "a.ibt"), out)
    run = dataset.new_run()
    row = dataset.convert(recording(tmp_path / "b.ibt", UserName="B"), out, run=run)
    monkeypatch.setattr(_parquet, "write_table", lambda *_: sys.exit("killed"))  # its files moved, not its report
    with pytest.raises(SystemExit):
        dataset.publish(out, run, [row])
    monkeypatch.undo()
    assert dataset.read(out).sessions.count_rows() == 1  # the killed publish's recording still hidden
    dead, live = out / "channels" / ".0123456789ab.part", out / "laps" / ".ba9876543210.part"
    dead.write_bytes(b"left by a killed run")
    live.write_bytes(b"being written")
    for path in (dead, *(out / _publish.JOURNALS).iterdir()):
        os.utime(path, (0, time.time() - dataset.SWEEP_AGE - 1))
    assert dataset.sweep(out) == 2 and not dead.exists() and live.exists()
    assert len([path for path in files(out) if not path.startswith(".", path.rfind("/") + 1)]) == 9
    assert dataset.read(out).sessions.count_rows() == 2


def engines():
    import dask.dataframe  # noqa: F401  (the dask extra)
    import polars

    import telvane.dask

    # each engine's documented line for reading the channels table whole
    return {
        "pyarrow": lambda out: dataset.read(out).channels.to_table(),
        "duckdb": lambda out: duckdb.sql(
            f"SELECT * FROM read_parquet('{out}/channels/**/*.parquet', hive_partitioning = true, "
            "hive_types_autocast = false, union_by_name = true)").to_arrow_table(),
        "polars": lambda out: polars.scan_pyarrow_dataset(dataset.read(out).channels).collect().to_arrow(),
        "dask": lambda out: pa.Table.from_pandas(
            telvane.dask.read_dataset(out).compute(scheduler="synchronous"), preserve_index=False),
    }


# recordings of different channels: Flag a bool in one, a char in another
CHANNELS = [{"Speed": (FLOAT, [1.0, 2.0]), "Flag": (BOOL, [True, False])}, {"Flag": (CHAR, [7, 8]), "Gear": (INT, [3, 4])},
            {"Speed": (FLOAT, [5.0, 6.0]), "Fuel": (DOUBLE, [9.5, 9.0])}, {"Speed": (FLOAT, [7.0])}]


def converted(tmp_path, tracks):
    """The CHANNELS recordings on these tracks converted into tmp_path/out: their sources and report rows."""
    sources = [recording(tmp_path / f"{number}.ibt", chosen, UserName=f"D{number}", TrackName=track)
               for number, (chosen, track) in enumerate(zip(CHANNELS, tracks))]
    rows = [dataset.convert(source, tmp_path / "out") for source in sources]
    assert {row["status"] for row in rows} == {"ok"}
    return sources, rows


@pytest.mark.parametrize("engine", ["pyarrow", "duckdb", "polars", "dask"])
def test_every_engine_reads_every_column_of_recordings_with_different_channels(tmp_path, engine):
    out, tracks = tmp_path / "out", ["monza", dataset.HIVE_NULL, "monza"]  # the engines' mark of a null, as a name
    expected = [{"recording": row["recording"], "track": track, "timecodes": round(record * 1000 / 60),
                 **{name: float(values[record]) for name, (_, values) in chosen.items()}}
                for chosen, track, row in zip(CHANNELS, tracks, converted(tmp_path, tracks)[1]) for record in range(2)]
    dataset.merge_schemas(out)
    table = engines()[engine](out)
    names = {"recording", "timecodes", "SessionTime", "Speed", "Flag", "Gear", "Fuel", *dataset.DEFAULT_PARTITION_BY}
    assert set(table.column_names) == names and table.num_rows == 6
    compared = ["recording", "track", "timecodes", "Speed", "Flag", "Gear", "Fuel"]
    found = [{name: (value if name in ("recording", "track") or value is None else float(value))
              for name, value in row.items() if name in compared}
             for row in table.to_pylist()]
    key = lambda row: (row["recording"], row["timecodes"])  # noqa: E731
    expected = [{name: row.get(name) for name in compared} for row in expected]
    assert sorted(found, key=key) == sorted(({**row, "timecodes": float(row["timecodes"])} for row in expected),
                                            key=key)


def everything(out):
    tables = dataset.read(out)
    return {name: sorted(map(str, getattr(tables, name).to_table().to_pylist())) for name in dataset.TABLES}


@pytest.mark.parametrize("killed", [None, "with the merged file in place, the replaced ones not removed"])
def test_compaction_keeps_every_row_once_in_fewer_files_and_reruns_find_the_recordings(tmp_path, monkeypatch,
                                                                                        request, killed):
    out, (sources, _) = tmp_path / "out", converted(tmp_path, ["shared"] * 3 + ["alone"])
    before, parquet = everything(out), lambda: [path for path in files(out) if path.endswith(".parquet")]
    assert len(parquet()) == 12
    if killed:
        monkeypatch.setattr(_compact, "_complete", lambda *_: sys.exit("killed"))
        with pytest.raises(SystemExit):
            dataset.compact(out, target_bytes=10**6)
        assert everything(out) == everything(out.as_uri()) == before and len(parquet()) == 13  # one merged file and its originals
        monkeypatch.undo()
        copy = request.getfixturevalue("s3_server")  # a copy of the dataset as it was, on object storage
        _store.upload(out, copy)
        assert everything(copy) == before
    # the shared partition's three files of each table merge into one; a re-run finishes a killed merge
    assert dataset.compact(out, target_bytes=10**6) == ((6, 2) if killed else (9, 3))
    assert dataset.compact(out, target_bytes=10**6) == (0, 0)
    assert everything(out) == before and len(parquet()) == 6 and not [*(out / _compact.JOURNALS).glob("*.json")]
    for source in sources:
        assert dataset.convert(source, out)["status"] == "present"
    # rewritten where in files of its own, kept where merged: every row still once
    replaced = {dataset.convert(source, out, replace=True)["status"] for source in sources}
    assert replaced == {"ok", "present"} and everything(out) == before


@pytest.mark.parametrize("where", [str, lambda path: path.as_uri()])
def test_a_dataset_no_run_has_published_to_reads_empty(tmp_path, where):
    dataset.prepare(tmp_path, ["track"])
    assert [table.count_rows() for table in dataset.read(where(tmp_path))] == [0, 0, 0]


def test_a_directory_made_while_a_dataset_is_read_is_no_error(tmp_path):
    dataset.prepare(tmp_path, ["track"])
    (tmp_path / "laps").rmdir()
    done = threading.Event()

    def make_and_remove():  # as runs and merges make their journals' and a table's directory
        while not done.is_set():
            for name in (_publish.JOURNALS, _compact.JOURNALS, "laps"):
                (tmp_path / name).mkdir()
                (tmp_path / name).rmdir()

    thread = threading.Thread(target=make_and_remove)
    thread.start()
    try:
        for _ in range(200):
            assert [table.count_rows() for table in dataset.read(tmp_path)] == [0, 0, 0]
    finally:
        done.set()
        thread.join()


def test_a_recording_renamed_over_while_it_is_converted_keeps_the_identity_of_the_bytes_read(tmp_path, monkeypatch):
    out, source = tmp_path / "out", recording(tmp_path / "a.ibt", {"Speed": (FLOAT, [1.0, 2.0])})
    other = recording(tmp_path / "b.ibt", {"Speed": (FLOAT, [3.0, 4.0])})
    ids = {name: _convert.recording_id(path.read_bytes()) for name, path in [("a", source), ("b", other)]}
    hash_of = _convert.recording_id

    def renamed_first(data):  # as rsync or an uploader replaces the file once it is opened
        if other.exists():
            os.replace(other, source)
        return hash_of(data)

    monkeypatch.setattr(_convert, "recording_id", renamed_first)
    row = dataset.convert(source, out)
    assert (row["status"], row["recording"]) == ("ok", ids["a"])
    channels = dataset.read(out).channels.to_table()
    assert channels.select(["recording", "Speed"]).to_pylist() == [{"recording": ids["a"], "Speed": 1.0},
                                                                   {"recording": ids["a"], "Speed": 2.0}]
    again = dataset.convert(source, out)  # the file now there: converted, not held already
    assert (again["status"], again["recording"]) == ("ok", ids["b"])

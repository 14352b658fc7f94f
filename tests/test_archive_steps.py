"""The order of the dataset's steps as a reader sees it mid-way, and what the sweep and the
next compaction do with what a killed run or merge left: the behaviours the archive's
promises rest on, each observed at its step (telvane.dataset._steps)."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pyarrow.dataset as ds
import pyarrow.fs as pafs
import pyarrow.parquet as pq
import pytest
from killpoints import Stopped, recording, stepping, stopped_at

from telvane import dataset
from telvane.dataset import _compact, _process, _publish, _schema, _store


def files(root):
    return sorted(path.relative_to(root).as_posix() for path in Path(root).rglob("*") if path.is_file())


def everything(out):
    tables = dataset.read(out)
    return {name: sorted(map(str, getattr(tables, name).to_table().to_pylist())) for name in dataset.TABLES}


@pytest.mark.parametrize("state, swept", [
    ("killed before it published: its staging untouched for the sweep's age", True),
    ("live: its directories old, a file written just now", False),
    ("publishing: its staging old, its journal fresh", False),
])
def test_the_sweep_removes_the_staging_of_a_dead_run_only(tmp_path, state, swept):
    out, run = tmp_path / "out", dataset.new_run()
    recording(tmp_path / "a.ibt", 1.0)
    row = dataset.convert(tmp_path / "a.ibt", out, run=run)
    staging = _publish.staging(out, run)
    if state.startswith("publishing"):
        with stopped_at("publish.move"), pytest.raises(Stopped):
            dataset.publish(out, run, [row])
    old = time.time() - dataset.SWEEP_AGE - 1
    for path in [staging, *staging.rglob("*")]:
        if path.is_dir() or not state.startswith("live"):
            os.utime(path, (old, old))
    staged = files(staging)
    assert dataset.sweep(out) == swept and staging.exists() != swept
    assert files(staging) == ([] if swept else staged) and dataset.read(out).sessions.count_rows() == 0


def test_a_merge_killed_before_its_merged_file_is_in_place_shows_the_originals_and_loses_none(tmp_path):
    out = tmp_path / "out"
    for number in range(3):
        recording(tmp_path / f"{number}.ibt", float(number))
        assert dataset.convert(tmp_path / f"{number}.ibt", out)["status"] == "ok"
    before, originals = everything(out), files(out)
    with stopped_at("compact.merged"), pytest.raises(Stopped):  # its journal in place
        dataset.compact(out)
    assert [path for path in files(out) if path.startswith("_compactions/")] and everything(out) == before
    assert set(files(out)) >= set(originals)
    assert dataset.compact(out) == (9, 3) and everything(out) == before  # the killed merge's journal dropped


def test_a_merge_that_gets_its_merged_file_in_while_a_reader_lists_shows_each_recording_once(tmp_path, monkeypatch):
    out = tmp_path / "out"
    for number in range(3):
        recording(tmp_path / f"{number}.ibt", float(number))
        assert dataset.convert(tmp_path / f"{number}.ibt", out)["status"] == "ok"
    before, listing = everything(out), ds.FileSystemDatasetFactory

    def merged_meanwhile(*args):  # the merge has its merged file in, the originals not yet removed
        monkeypatch.setattr(ds, "FileSystemDatasetFactory", listing)
        with stopped_at("compact.unlink"), pytest.raises(Stopped):
            dataset.compact(out)
        return listing(*args)

    monkeypatch.setattr(ds, "FileSystemDatasetFactory", merged_meanwhile)
    assert everything(out) == before


def test_an_upload_cut_short_holds_no_recording_without_its_channels_and_laps(tmp_path, s3_server):
    out = tmp_path / "out"
    identities = set()
    for number in range(3):  # two merged, held by _held/; then one in files of its own
        identities.add(recording(tmp_path / f"{number}.ibt", float(number), extra=number > 0))
        assert dataset.convert(tmp_path / f"{number}.ibt", out)["status"] == "ok"
        if number == 1:
            dataset.compact(out)
    found, root = _store.filesystem(s3_server)

    def plain(table):  # what a glob of the files uploaded so far shows
        files = ds.dataset(f"{root}/{table}", filesystem=found, format="parquet") if found.get_file_info(
            pafs.FileSelector(f"{root}/{table}", recursive=True, allow_not_found=True)) else None
        return set() if files is None else set(files.to_table(columns=["recording"])["recording"].to_pylist())

    def check(count):
        held = identities & set(_store.held(s3_server))  # not the names of merged files
        assert held <= plain("channels") & plain("laps"), count
        kept = _schema.read(found, root, "channels")
        for info in found.get_file_info(pafs.FileSelector(f"{root}/channels", recursive=True, allow_not_found=True)):
            if info.is_file:  # the schema before the files it describes
                assert set(pq.read_schema(info.path, filesystem=found).names) <= set(kept.names), count

    with stepping("upload.copy", check):
        _store.upload(out, s3_server)
    check("at the end")
    assert identities <= set(_store.held(s3_server))


def test_a_reader_mid_publish_finds_the_schema_of_every_file_it_sees_and_no_recording_of_the_run(tmp_path):
    out = tmp_path / "out"
    first = recording(tmp_path / "a.ibt", 1.0)
    assert dataset.convert(tmp_path / "a.ibt", out, columns=["Speed"])["status"] == "ok"
    run = dataset.new_run()  # a again with every channel, its files replaced in place; b new
    recording(tmp_path / "b.ibt", 2.0)
    rows = [dataset.convert(tmp_path / name, out, run=run, replace=True) for name in ("a.ibt", "b.ibt")]
    published = files(out)

    def check(count):
        channels = dataset.read(out).channels
        assert set(channels.to_table(columns=["recording"])["recording"].to_pylist()) == {first}, count
        for path in channels.files:
            assert set(pq.read_schema(path).names) <= set(channels.schema.names), count
        for path in files(out):  # a sessions file, which holds a recording, after its channels and laps
            if path.startswith("sessions/") and path not in published:
                assert {f"channels/{path[9:]}", f"laps/{path[9:]}"} <= set(files(out)), count

    with stepping("publish.move", check):
        dataset.publish(out, run, rows)
    assert dataset.read(out).channels.count_rows() == 12 and "Lap" in dataset.read(out).channels.schema.names


def test_a_reader_finds_the_schema_of_every_file_a_convert_without_a_run_has_renamed_in(tmp_path, monkeypatch):
    out = tmp_path / "out"
    recording(tmp_path / "a.ibt", 1.0)
    assert dataset.convert(tmp_path / "a.ibt", out, columns=["Speed"])["status"] == "ok"
    recording(tmp_path / "b.ibt", 2.0)
    rename = os.replace

    def checked(source, target):  # b's files come in one rename at a time, with more channels than a's
        channels = dataset.read(out).channels
        for path in channels.files:
            assert set(pq.read_schema(path).names) <= set(channels.schema.names), target
        rename(source, target)

    monkeypatch.setattr(os, "replace", checked)
    assert dataset.convert(tmp_path / "b.ibt", out)["status"] == "ok"


@pytest.mark.parametrize("partition_by, directory", [
    (dataset.DEFAULT_PARTITION_BY, "track=synthetic%20raceway/car=synthgt3/session_type=Practice"),
    (["driver", "date", "track"], "driver=Sam%20Synthetic/date=2024-05-01/track=synthetic%20raceway"),
    ([], ""),
])
def test_the_files_lie_in_the_partition_directories_of_the_keys_in_their_order(tmp_path, partition_by, directory):
    identity = recording(tmp_path / "a.ibt", 1.0)
    assert dataset.convert(tmp_path / "a.ibt", tmp_path / "out", partition_by=partition_by)["status"] == "ok"
    assert files(tmp_path / "out") == sorted([dataset.LAYOUT_FILE, f"{_schema.SCHEMAS}/channels/{identity}.arrows",
                                              *(f"{table}/{directory}/{identity}.parquet".replace("//", "/")
                                                for table in dataset.TABLES)])


@pytest.mark.parametrize("holder, runs", [
    ("a process that ended", True),  # killed: its merges are finished at once
    ("this process", False),
    ("no process named yet", False),  # a lock being written
])
def test_a_compaction_takes_the_lock_of_a_dead_one_at_once_and_no_other(tmp_path, holder, runs):
    out = tmp_path / "out"
    for number in range(2):
        recording(tmp_path / f"{number}.ibt", float(number))
        assert dataset.convert(tmp_path / f"{number}.ibt", out)["status"] == "ok"
    ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    pid = {"a process that ended": int(ended.stdout), "this process": os.getpid()}.get(holder)
    lock = out / _compact.JOURNALS / _compact.LOCK
    lock.parent.mkdir()
    lock.write_text("" if pid is None else json.dumps({**_process.this_process(), "pid": pid}))
    if runs:
        assert dataset.compact(out) == (6, 3) and not lock.exists()
    else:
        with pytest.raises(ValueError, match="another compaction is running"):
            dataset.compact(out)
        assert lock.exists()


def test_of_two_runs_taking_over_a_killed_compaction_s_lock_only_the_first_runs(tmp_path, monkeypatch):
    out = tmp_path / "out"
    recording(tmp_path / "a.ibt", 1.0)
    assert dataset.convert(tmp_path / "a.ibt", out)["status"] == "ok"
    ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    lock = out / _compact.JOURNALS / _compact.LOCK
    lock.parent.mkdir()
    lock.write_text(json.dumps({**_process.this_process(), "pid": int(ended.stdout)}))
    running, theirs = _process.running, json.dumps({**_process.this_process(), "pid": 1})

    def taken_over_first(entry):  # the other run takes the lock over between this one's look and its move
        monkeypatch.setattr(_process, "running", running)
        lock.unlink()
        lock.write_text(theirs)
        return False

    monkeypatch.setattr(_process, "running", taken_over_first)
    with pytest.raises(ValueError, match="another compaction is running"):
        dataset.compact(out)
    assert lock.read_text() == theirs and sorted(os.listdir(lock.parent)) == [_compact.LOCK]

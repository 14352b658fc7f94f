"""`telvane export` to the dataset, and what every export survives: bad files, dead
workers, SIGTERM, a killed parent, outputs that would overwrite inputs, long names."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

import psutil
import pyarrow.parquet as pq
import pytest

import telvane
from conftest import OVERRUN, posix_only
from telvane import cli, dataset
from telvane.cli import pool
from telvane.sample import write_synthetic_sample


@pytest.fixture(scope="module")
def recording(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_synthetic_sample(tmp_path_factory.mktemp("sample"))


def run(capsys, *args: object) -> tuple[int, str, str]:
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def hidden_files(root: Path) -> list[Path]:
    return [p for p in root.rglob(".*") if p.is_file()]


def many(recording: Path, count: int = 40) -> Path:
    os.mkdir("in")
    for number in range(count):
        os.link(recording, f"in/r{number:02d}.ibt")
    return Path("in")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_export_writes_the_dataset_and_its_report_past_bad_files(capsys, recording, jobs):
    os.mkdir("in")
    os.link(recording, "in/good.ibt")
    Path("in/truncated.ibt").write_bytes(recording.read_bytes()[:5000])
    Path("in/text.ibt").write_text("not a recording")
    Path("in/internal.ibt").write_bytes(OVERRUN)
    status, out, err = run(capsys, "export", "in", "--out", "out", "--jobs", jobs, "--partition-by", "driver")
    lines = out.splitlines()
    assert status == 1 and lines[0] == f"exported in/good.ibt ({len(telvane.ibt(recording)):,} records)"
    assert lines[1].startswith("exported 1 of 4 files to out in ") and lines[1].endswith(", 3 failed") and len(lines) == 2
    errors = sorted(err.splitlines())
    assert errors[0] == "telvane: in/internal.ibt: Read of bytes 93..101 outside the record area of 100 bytes"
    assert errors[1].startswith("telvane: in/text.ibt: Invalid header: ")
    assert errors[2].startswith("telvane: in/truncated.ibt: ") and len(errors) == 3
    report = pq.read_table("out/_report.parquet").sort_by("source").to_pylist()
    assert [(r["source"], r["status"]) for r in report] == [
        ("in/good.ibt", "ok"), ("in/internal.ibt", "failed"), ("in/text.ibt", "failed"), ("in/truncated.ibt", "failed")]
    sessions = dataset.read("out").sessions.to_table()
    assert sessions["driver"].to_pylist() == ["Sam Synthetic"] and sessions["recording"].to_pylist() == [report[0]["recording"]]
    assert not hidden_files(Path("out"))


@posix_only
def test_a_dead_worker_fails_only_its_own_task():
    tasks = [(0.0,), ("die",), (1.0,), (2.0,), ("die",), (3.0,)]
    results = dict(pool.run(_task, tasks, 2, progress=lambda index, fraction: None,
                            died=lambda index, why: why))
    assert results == {0: 0.0, 1: "the worker process died (signal SIGKILL)", 2: 1.0, 3: 2.0,
                       4: "the worker process died (signal SIGKILL)", 5: 3.0}


def _task(value: object, progress: object) -> object:
    if value == "die":
        os.kill(os.getpid(), signal.SIGKILL)
    return value


@posix_only
@pytest.mark.slow
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_sigterm_stops_like_ctrl_c_removes_temporaries_and_reports_the_exported(recording, jobs):
    many(recording)
    export = subprocess.Popen([sys.executable, "-m", "telvane", "export", "in", "--out", "out", "--jobs", jobs],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert export.stdout.readline().startswith("exported in/r")
    export.send_signal(signal.SIGTERM)
    stdout, stderr = export.communicate(timeout=120)
    assert (export.returncode, stderr) == (143, "telvane: terminated\n")
    exported = len(pq.read_table("out/_report.parquet"))  # a signal may come between a file's end and its line
    assert stdout.splitlines()[-1].startswith(f"interrupted: exported {exported} of 40 files")
    assert 1 <= stdout.count("exported in/r") + 1 <= exported < 40 and not hidden_files(Path("out"))
    assert len(set(dataset.read("out").sessions.to_table()["source"].to_pylist())) == 1  # same bytes, one recording


@posix_only
@pytest.mark.slow
def test_workers_die_with_their_parent_and_free_the_callers_pipes(recording):
    many(recording)
    export = subprocess.Popen([sys.executable, "-m", "telvane", "export", "in", "--out", "out", "--flat", "--jobs", "2"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert export.stdout.readline().startswith("wrote ")
    children = psutil.Process(export.pid).children(recursive=True)
    assert len(children) >= 2
    export.kill()
    export.communicate(timeout=60)  # returns once no process holds the pipes
    _, alive = psutil.wait_procs(children, timeout=60)
    assert alive == []


@pytest.mark.parametrize("args, target", [
    (["export", "rec.parquet", "--out", ".", "--flat"], "rec.parquet"),
    (["export", "out/_report.parquet", "--out", "out"], "out/_report.parquet"),
])
def test_export_refuses_to_overwrite_an_input(capsys, args, target):
    os.mkdir("out")
    Path(target).write_bytes(b"precious")
    status, _, err = run(capsys, *args)
    assert status == 1 and "would overwrite the input" in err and Path(target).read_bytes() == b"precious"


def test_temporaries_fit_any_legal_output_name(capsys, recording):
    stem = "x" * 247  # the output, stem + ".parquet", is 255 bytes: the longest name allowed
    os.link(recording, stem + ".ibt")
    assert run(capsys, "export", stem + ".ibt", "--out", "out", "--flat")[0] == 0
    assert os.listdir("out") == [stem + ".parquet"]


def test_small_exports_start_no_worker(capsys, recording, monkeypatch):
    monkeypatch.setattr(pool, "run", lambda *args: pytest.fail("a worker process was started"))
    os.link(recording, "a.ibt")
    os.link(recording, "b.ibt")
    assert run(capsys, "export", "a.ibt", "b.ibt", "--out", "out")[0] == 0


def test_progress_covers_the_write(tmp_path, recording, monkeypatch):
    monkeypatch.setattr(dataset, "ROW_GROUP_SIZE", 5000)  # written in several row groups
    seen: list[float] = []
    assert dataset.convert(recording, tmp_path / "out", progress=seen.append)["status"] == "ok"
    assert seen == sorted(seen) and seen[-1] == 1.0
    assert any(dataset.READ_SHARE < fraction < 1.0 for fraction in seen)


@pytest.mark.parametrize("channels, columns", [
    ("Speed,Speed", ["timecodes", "Speed"]),
    ("timecodes,Speed", ["timecodes", "timecodes_2", "Speed"]),
])
def test_flat_export_has_unique_columns_and_reads_back(capsys, write_file, channels, columns):
    from builders import write_channels
    from telvane._writer import FLOAT, INT

    source = write_file(write_channels({"timecodes": (INT, [7, 8]), "Speed": (FLOAT, [1.0, 2.0])}), "r.ibt")
    assert run(capsys, "export", source, "--out", "out", "--flat", "--channels", channels)[0] == 0
    table = pq.read_table("out/r.parquet")
    assert table.column_names == columns and table.equals(telvane.ibt(source).to_table(channels.split(",")))

"""`telvane export` to the dataset, and what every export survives: bad files, dead
workers, SIGTERM, outputs that would overwrite inputs, long names."""

import contextlib
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pyarrow.parquet as pq
import pytest
from builders import write_channels, write_live_dump
from conftest import OVERRUN, posix_only, run

import telvane
from telvane import dataset
from telvane.dataset import _convert
from telvane._writer import DOUBLE, FLOAT, INT, Var
from telvane._cli import pool


def no_hidden_files(root):
    return not any(path.is_file() for path in Path(root).rglob(".*"))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_export_writes_the_dataset_and_its_report_past_bad_files(capsys, synthetic, jobs):
    os.mkdir("in")
    bad = {"truncated": synthetic[:5000], "text": b"no recording", "internal": OVERRUN}
    for name, data in {"good": synthetic, **bad}.items():
        Path(f"in/{name}.ibt").write_bytes(data)
    status, out, err = run(capsys, "export", "in", "--out", "out", "--jobs", jobs, "--partition-by", "driver")
    lines, errors = out.splitlines(), sorted(err.splitlines())
    assert status == 1 and lines[0] == f"exported in/good.ibt ({len(telvane.ibt(synthetic)):,} records)"
    assert lines[1].startswith("exported 1 of 4 files to out in ") and lines[1].endswith(", 3 failed")
    assert errors[0] == "telvane: in/internal.ibt: Read of bytes 93..101 outside the record area of 100 bytes"
    assert [line.split(": ")[1] for line in errors] == [f"in/{name}.ibt" for name in sorted(bad)]
    assert errors[1].startswith("telvane: in/text.ibt: Invalid header: ") and len(lines) == 2
    report = pq.read_table(f"out/{dataset.REPORTS}").sort_by("source").to_pylist()
    assert [(row["source"], row["status"]) for row in report] == [("in/good.ibt", "ok")] + [
        (f"in/{name}.ibt", "failed") for name in sorted(bad)]
    sessions = dataset.read("out").sessions.to_table().select(["driver", "recording"]).to_pylist()
    assert sessions == [{"driver": "Sam Synthetic", "recording": report[0]["recording"]}]
    assert no_hidden_files("out")


DUMP = write_live_dump([Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8)],
                       [(2004, [33.4, 20.0]), (2005, [33.45, 21.0]), (2003, [33.35, 19.0])], buf_len=12)
SKIPPED = "skipped in/dump.ibt: a live telemetry memory dump, not a recording written to disk (--live-dumps stores it)"


@pytest.mark.parametrize("asked, line, summary, status", [
    (["--jobs", "2"], SKIPPED, ", 1 skipped", "skipped"),  # the warnings of workers shown as the command's own
    (["--live-dumps"], "exported in/dump.ibt (3 records)", " s", "ok"),
])
def test_a_live_memory_dump_is_kept_out_of_the_dataset_unless_asked_for(capfd, synthetic, asked, line, summary, status):
    os.mkdir("in")
    Path("in/dump.ibt").write_bytes(DUMP)
    Path("in/good.ibt").write_bytes(synthetic)
    code, out, err = run(capfd, "export", "in", "--out", "out", *asked)  # capfd: what workers print too
    *lines, last = out.splitlines()
    assert code == 0 and line in lines and last.endswith(summary)
    assert err and all(text.startswith("telvane: warning: ") for text in err.splitlines())
    report = {row["source"]: row for row in pq.read_table(f"out/{dataset.REPORTS}").to_pylist()}
    assert report["in/dump.ibt"]["status"] == status and report["in/good.ibt"]["status"] == "ok"
    assert dataset.read("out").sessions.count_rows() == (2 if "--live-dumps" in asked else 1)


# a file under the folder given -> whether the export takes it
TREE = [("c.IBT", True), ("round1/a.ibt", True), ("round2/deep/b.ibt", True), ("notes.txt", False),
        (".stversions/old.ibt", False), ("._e.ibt", False), ("link/d.ibt", False)]  # link: a symlinked folder


@posix_only
def test_a_folder_stands_for_the_recordings_in_its_folders_at_every_depth(capsys, synthetic):
    Path("elsewhere").mkdir()
    Path("up").mkdir()
    Path("up/link").symlink_to(Path("elsewhere").absolute())
    for name, _ in TREE:
        Path("up", name).parent.mkdir(parents=True, exist_ok=True)
        Path("up", name).write_bytes(synthetic)
    code, out, err = run(capsys, "export", "up", "--out", "o", "--flat")
    assert (code, err) == (0, "")
    assert sorted(os.listdir("o")) == sorted(f"{Path(name).stem}.parquet" for name, taken in TREE if taken)


def _task(value, progress):
    if value == "die":
        os.kill(os.getpid(), signal.SIGKILL)
    if value == "die writing":
        with _convert.staged() as stage:
            stage(Path("out", "x.parquet")).write_bytes(b"half a file")
            os.kill(os.getpid(), signal.SIGKILL)
    if value == "stuck":
        time.sleep(600)  # where no deadline is looked at
    return value


@posix_only
def test_a_dead_worker_or_a_call_past_its_limit_fails_only_its_own_task():
    os.mkdir("out")
    Path("out", ".another-run.part").touch()  # not the dead worker's: left alone
    tasks = [(0.0,), ("die",), ("stuck",), (1.0,), (2.0,), ("die writing",), (3.0,)]
    results = dict(pool.run(_task, tasks, 2, progress=lambda index, fraction: None, died=lambda index, why: why,
                            limit=1.0, overdue=lambda index: "overdue"))
    died = "the worker process died (signal SIGKILL)"
    assert results == {0: 0.0, 1: died, 2: "overdue", 3: 1.0, 4: 2.0, 5: died, 6: 3.0}
    assert os.listdir("out") == [".another-run.part"]  # what the dead worker was writing is removed


@posix_only
@pytest.mark.slow
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_sigterm_stops_like_ctrl_c_removes_temporaries_and_reports_the_exported(synthetic, jobs):
    os.mkdir("in")
    for number in range(40):  # each a recording of its own: a copy would be held already
        Path(f"in/r{number:02d}.ibt").write_bytes(synthetic[:-1] + bytes([number]))
    command = [sys.executable, "-m", "telvane", "export", "in", "--out", "out", "--jobs", jobs]
    export = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert export.stdout.readline().startswith("exported in/r")
    export.send_signal(signal.SIGTERM)
    stdout, stderr = export.communicate(timeout=120)
    assert (export.returncode, stderr) == (143, "telvane: terminated\n") and no_hidden_files("out")
    assert stdout.splitlines()[-1].startswith("interrupted: exported ")
    report = pq.read_table(f"out/{dataset.REPORTS}")
    assert sorted(report["source"].to_pylist()) == [f"in/r{number:02d}.ibt" for number in range(40)]
    assert set(report["status"].to_pylist()) == {"ok", "not attempted"}


def test_flat_export_has_unique_columns_and_temporaries_fit_any_legal_output_name(capsys):
    stem = "x" * 247  # stem + ".parquet" is the longest name allowed
    Path(f"{stem}.ibt").write_bytes(write_channels({"timecodes": (INT, [7, 8]), "Speed": (FLOAT, [1, 2])}))
    args = ["export", f"{stem}.ibt", "--out", "out", "--flat", "--channels", "timecodes,Speed,Speed"]
    assert run(capsys, *args)[0] == 0 and os.listdir("out") == [f"{stem}.parquet"]
    table = pq.read_table(f"out/{stem}.parquet")
    assert table.column_names == ["timecodes", "timecodes_2", "Speed"]
    assert table.equals(telvane.ibt(f"{stem}.ibt").to_table(["timecodes", "Speed"]))


def test_two_runs_at_once_and_a_rerun_leave_each_recording_once_and_every_report(synthetic):
    os.mkdir("in")
    for number in range(4):  # four recordings: the sample with one byte of its padding changed
        Path(f"in/r{number}.ibt").write_bytes(synthetic[:-1] + bytes([number]))
    command = [sys.executable, "-m", "telvane", "export", "in", "--out", "out", "--jobs", "1"]
    runs = [subprocess.Popen(command, stdout=open(f"run{k}.txt", "w")) for k in range(2)]  # noqa: SIM115
    seen = set()
    while any(run.poll() is None for run in runs):  # a reader meanwhile sees a run whole or not at all
        seen.add(dataset.read("out").sessions.count_rows() if Path("out", dataset.LAYOUT_FILE).exists() else 0)
    assert [run.wait(timeout=120) for run in runs] == [0, 0] and seen <= {0, 4}
    done = subprocess.run([*command, "--compact"], capture_output=True, text=True, timeout=120)
    *_, held, compacted = done.stdout.splitlines()
    assert held.endswith(", 4 held already") and no_hidden_files("out")
    assert compacted.startswith("compacted 12 files of out into 3 in ")
    reports = pq.read_table(f"out/{dataset.REPORTS}")
    assert len(set(reports["run"].to_pylist())) == 3 and reports.num_rows == 12
    assert set(reports["status"].to_pylist()) <= {"ok", "present"}
    recordings = dataset.read("out").sessions.to_table()["recording"].to_pylist()
    assert sorted(recordings) == sorted(set(reports["recording"].to_pylist())) and len(recordings) == 4


@pytest.mark.parametrize("on_a_cluster", [False, pytest.param(True, marks=pytest.mark.slow)])
def test_an_export_to_object_storage_reads_back_and_a_rerun_finds_it_held(capsys, synthetic, s3_server, on_a_cluster):
    os.mkdir("in")
    for number in range(2):
        Path(f"in/r{number}.ibt").write_bytes(synthetic[:-1] + bytes([number]))
    with contextlib.ExitStack() as stack:
        scheduler = []
        if on_a_cluster:  # its workers take the server and credentials from their environment
            distributed = pytest.importorskip("distributed")
            scheduler = ["--scheduler", stack.enter_context(distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None)).scheduler_address]
        status, out, err = run(capsys, "export", "in", "--out", s3_server, *scheduler)
        assert (status, err) == (0, "") and out.splitlines()[-1].startswith(f"exported 2 of 2 files to {s3_server} in ")
        import pyarrow.fs

        bucket = pyarrow.fs.FileSystem.from_uri("s3://bucket")[0]
        for name, data in [("r0.ibt", Path("in/r0.ibt").read_bytes()), ("r2.ibt", synthetic), ("bad.ibt", b"none")]:
            with bucket.open_output_stream(f"bucket/in/{name}") as stream:  # inputs there too
                stream.write(data)
        status, out, err = run(capsys, "export", "s3://bucket/in", "--out", s3_server, *scheduler)
        assert (status, err.startswith("telvane: s3://bucket/in/bad.ibt: Invalid header"), err.count("\n")) == (1, True, 1)
        assert out.splitlines()[-1].endswith(", 1 held already, 1 failed")
        tables = dataset.read(s3_server)
        sessions = tables.sessions.to_table()
        assert sorted(zip(sessions["source"].to_pylist(), sessions["source_size"].to_pylist())) == [
            ("in/r0.ibt", len(synthetic)), ("in/r1.ibt", len(synthetic)), ("s3://bucket/in/r2.ibt", len(synthetic))]
        assert tables.channels.count_rows() == 3 * len(telvane.ibt(synthetic))
        assert len(bucket.get_file_info(pyarrow.fs.FileSelector("bucket/season/_schemas/channels"))) == 1
        assert not [info.path for info in bucket.get_file_info(pyarrow.fs.FileSelector("bucket/season", recursive=True))
                    if info.is_file and info.path.startswith(("bucket/season/_runs/", "bucket/season/_publishing/"))]
        reports = pq.read_table(f"{s3_server}/{dataset.REPORTS}")
        assert sorted(reports["status"].to_pylist()) == ["failed", "ok", "ok", "ok", "present"]
        assert all(output.startswith(f"{s3_server}/") for output in reports["output"].to_pylist() if output)  # not the stand-in


def test_an_upload_failing_part_way_prints_no_summary_of_files_that_did_not_arrive(capsys, synthetic, s3_server,
                                                                                   monkeypatch):
    import pyarrow.fs

    os.mkdir("in")
    for number in range(3):
        Path(f"in/r{number}.ibt").write_bytes(synthetic[:-1] + bytes([number]))
    copy, uploaded = pyarrow.fs.copy_files, []

    def failing(source, destination, **options):  # the first channels file reaches the bucket, no other
        if isinstance(options["destination_filesystem"], pyarrow.fs.S3FileSystem) and "/channels/" in destination:
            uploaded.append(destination)
            if len(uploaded) > 1:
                raise OSError("connection reset by peer")
        return copy(source, destination, **options)

    monkeypatch.setattr(pyarrow.fs, "copy_files", failing)
    status, out, err = run(capsys, "export", "in", "--out", s3_server, "--jobs", "1")
    assert (status, err) == (1, "telvane: connection reset by peer\n")
    assert [line for line in out.splitlines() if not line.startswith("exported in/")] == []
    assert dataset.read(s3_server).sessions.count_rows() == 0

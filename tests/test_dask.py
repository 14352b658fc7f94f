"""telvane.dask on a real local cluster: two single-threaded worker processes on loopback.
Every wait has a timeout, so a hang fails the test instead of blocking the run."""

import re
import subprocess
import sys

import pyarrow.parquet as pq
import pytest
from conftest import OVERRUN, run

import telvane
from telvane import dataset

pytestmark = pytest.mark.slow  # each test starts a cluster of worker processes

distributed = pytest.importorskip("distributed")
telvane_dask = pytest.importorskip("telvane.dask")
WAIT = 120  # seconds
MESSAGES = {"internal": "Read of bytes 93..101 outside the record area of 100 bytes",
            "truncated": "Invalid header"}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture
def inputs(tmp_path, synthetic):
    files = {"good": synthetic, "truncated": synthetic[:5000], "not_ibt": b"plain text", "internal": OVERRUN}
    for name, data in files.items():
        (tmp_path / f"{name}.ibt").write_bytes(data)
    return {name: tmp_path / f"{name}.ibt" for name in files}


def test_export_reports_every_file_in_order_and_writes_the_good_ones(client, inputs, tmp_path):
    order = ["internal", "good", "truncated", "not_ibt"]
    paths = [inputs[name] for name in order]
    report = telvane_dask.export(paths, tmp_path / "out", client=client, timeout=WAIT)
    assert report["source"].tolist() == [str(inputs[name]) for name in order]
    assert report["status"].tolist() == ["failed", "ok", "failed", "failed"]
    assert report["error"][0] == MESSAGES["internal"] and report["error"][2].startswith(MESSAGES["truncated"])
    assert report["records"][1] == len(telvane.ibt(inputs["good"]))
    sessions = dataset.read(tmp_path / "out").sessions.to_table()
    assert sessions["recording"].to_pylist() == [report["recording"][1]]
    late = telvane_dask.export([inputs["good"]] * 3, tmp_path / "late", client=client, timeout=1e-9)
    assert set(zip(late["status"], late["error"])) == {("timeout", "not finished within 1e-09 s")}
    assert not list((tmp_path / "late" / "channels").rglob("*.parquet"))  # nor later: the task itself gave up


def test_files_sent_several_to_a_task_keep_their_own_rows(client, inputs, tmp_path, monkeypatch):
    monkeypatch.setattr(telvane_dask, "TASK_SECONDS", 1e9)  # after the first file, the rest in one task
    order = ["good", "internal", "truncated", "not_ibt", "good"]
    rows = dict(telvane_dask.export_as_completed([inputs[name] for name in order], tmp_path / "out",
                                                 client=client, timeout=WAIT, window=1))
    assert [(rows[index]["source"], rows[index]["status"]) for index in range(len(order))] == [
        (str(inputs[name]), status) for name, status in zip(order, ["ok", "failed", "failed", "failed", "present"])]

@pytest.mark.parametrize("bad, errors", [("internal", "skip"), ("internal", "raise"), ("truncated", "raise")])
def test_read_ibt_skips_or_raises_for_a_bad_file_without_hanging(client, inputs, bad, errors):
    frame = telvane_dask.read_ibt([inputs[bad], inputs["good"]], columns=["Speed"], errors=errors)
    assert frame.npartitions == 2 and list(frame.columns) == ["timecodes", "Speed"]
    if errors == "raise":
        with pytest.raises(Exception, match=MESSAGES[bad]):
            client.compute(frame["Speed"].max()).result(timeout=WAIT)
    else:
        speed = telvane.ibt(inputs["good"])["Speed"].column(1).to_numpy()
        result = client.compute(frame).result(timeout=WAIT)
        assert len(result) == len(speed) and result["Speed"].max() == speed.max()


def test_a_scheduler_without_workers_is_one_line_and_a_report_of_every_input(inputs, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(telvane_dask, "WORKER_WAIT", 0.5)
    with distributed.LocalCluster(n_workers=0, host="127.0.0.1", dashboard_address=None) as empty:
        status, out, err = run(capsys, "export", inputs["good"], "--out", tmp_path / "out", "--scheduler",
                               empty.scheduler_address)
    assert (status, err) == (1, f"telvane: no worker joined the scheduler {empty.scheduler_address} within 0.5 s\n")
    assert out.startswith("interrupted: exported 0 of 1 files")
    report = pq.read_table(tmp_path / "out" / dataset.REPORTS)
    assert report["status"].to_pylist() == ["not attempted"]


def test_a_scheduler_lost_mid_run_is_one_line_publishes_what_was_done_and_a_rerun_does_the_rest(synthetic, tmp_path):
    for number in range(12):
        (tmp_path / f"r{number:02d}.ibt").write_bytes(synthetic[:-1] + bytes([number]))
    command = [sys.executable, "-m", "telvane", "export", *sorted(tmp_path.glob("r*.ibt")), "--out", tmp_path / "out"]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster:
        address = cluster.scheduler_address
        export = subprocess.Popen([*command, "--scheduler", address], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True)
        assert export.stdout.readline().startswith("exported ")
        cluster.close()
        stdout, stderr = export.communicate(timeout=WAIT)
    done = re.fullmatch(f"telvane: lost the scheduler {address}: ([0-9]+) of 12 recordings done; the rest were not "
                        "attempted: run again to finish\n", stderr)
    assert (export.returncode, stdout.splitlines()[-1][:22], bool(done)) == (1, "interrupted: exported ", True)
    statuses = pq.read_table(tmp_path / "out" / dataset.REPORTS)["status"].to_pylist()
    assert sorted(statuses) == ["not attempted"] * (12 - int(done[1])) + ["ok"] * int(done[1])
    assert dataset.read(tmp_path / "out").sessions.count_rows() == int(done[1])  # nothing of the unfinished
    rerun = subprocess.run([*command, "--jobs", "1"], capture_output=True, text=True, timeout=WAIT)
    assert rerun.stdout.splitlines()[-1].endswith(f", {done[1]} held already")
    assert dataset.read(tmp_path / "out").sessions.count_rows() == 12

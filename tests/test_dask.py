"""telvane.dask on a real local cluster: two single-threaded worker processes on loopback.
Every wait has a timeout, so a hang fails the test instead of blocking the run."""

from __future__ import annotations

import subprocess
import sys

import pyarrow.parquet as pq
import pytest

import telvane
from telvane._writer import DOUBLE, FLOAT, Var, write_ibt

distributed = pytest.importorskip("distributed")
telvane_dask = pytest.importorskip("telvane.dask")

WAIT = 120  # seconds
# A Speed channel, and a SessionTime whose 8 bytes run past the 100-byte record area: the
# core's internal error, which derives from BaseException, however the file is read.
INTERNAL = write_ibt([Var("SessionTime", DOUBLE, 93, count=0), Var("Speed", FLOAT, 0)], bytes(100),
                     buf_len=100, session_record_count=1)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture
def inputs(tmp_path, synthetic):
    good = tmp_path / "good.ibt"
    good.write_bytes(synthetic)
    bad = {"truncated": synthetic[:5000], "not_ibt": b"plain text", "internal": INTERNAL}
    for name, data in bad.items():
        (tmp_path / f"{name}.ibt").write_bytes(data)
    return {"good": good, **{name: tmp_path / f"{name}.ibt" for name in bad}}


def test_export_reports_every_file_and_writes_the_good_ones(client, inputs, tmp_path):
    order = ["internal", "good", "truncated", "not_ibt"]
    report = telvane_dask.export([inputs[name] for name in order], tmp_path / "out", client=client, timeout=WAIT)
    assert report["source"].tolist() == [str(inputs[name]) for name in order]
    assert report["status"].tolist() == ["failed", "ok", "failed", "failed"]
    assert report["error"][0] == "Read of bytes 93..101 outside the record area of 100 bytes"
    assert report["error"][2].startswith("Invalid header") and report["records"][1] == len(telvane.ibt(inputs["good"]))
    from telvane import dataset

    sessions = dataset.read(tmp_path / "out").sessions.to_table()
    assert sessions["recording"].to_pylist() == [report["recording"][1]]


def test_export_cancels_what_runs_past_the_timeout(client, inputs, tmp_path):
    report = telvane_dask.export([inputs["good"]] * 3, tmp_path / "out", client=client, timeout=0.001)
    assert set(report["status"]) <= {"ok", "failed"} and "not finished within 0.001 s" in report["error"].tolist()


def test_read_ibt_meta_needs_no_readable_first_file_and_skips_bad_ones(client, inputs):
    paths = [inputs["internal"], inputs["good"], inputs["truncated"], inputs["good"]]
    frame = telvane_dask.read_ibt(paths, columns=["Speed", "Gear"], errors="skip")
    assert frame.npartitions == 4 and list(frame.columns) == ["timecodes", "Speed", "Gear"]
    log = telvane.ibt(inputs["good"])
    result = client.compute(frame).result(timeout=WAIT)
    assert len(result) == 2 * len(log) and result["Speed"].max() == log["Speed"].column(1).to_numpy().max()


@pytest.mark.parametrize("bad", ["internal", "truncated"])
def test_read_ibt_raises_for_a_bad_file_instead_of_hanging(client, inputs, bad):
    frame = telvane_dask.read_ibt([inputs["good"], inputs[bad]], columns=["Speed"])
    with pytest.raises(Exception, match="outside the record area|Invalid header"):
        client.compute(frame["Speed"].max()).result(timeout=WAIT)


def test_read_ibt_fails_at_once_when_nothing_is_readable(inputs):
    with pytest.raises(ValueError, match="none of the 2 recordings can be read"):
        telvane_dask.read_ibt([inputs["internal"], inputs["not_ibt"]])


def test_the_command_line_exports_on_a_running_cluster(client, inputs, tmp_path):
    out = tmp_path / "out"
    done = subprocess.run([sys.executable, "-m", "telvane", "export", inputs["good"], inputs["truncated"], "--out", out,
                           "--scheduler", client.scheduler.address], capture_output=True, text=True, timeout=WAIT)
    assert done.returncode == 1 and done.stdout.splitlines()[-1].startswith("exported 1 of 2 files")
    assert done.stderr.startswith(f"telvane: {inputs['truncated']}: Invalid header")
    report = pq.read_table(out / "_report.parquet").to_pylist()
    assert sorted(row["status"] for row in report) == ["failed", "ok"]

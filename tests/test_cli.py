"""The telvane command: exit statuses, one-line errors, parallel atomic export, plots. The
README's console examples check the output of info, channels, export and demo."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import matplotlib.image
import pyarrow.csv
import pyarrow.parquet as pq
import pytest

import telvane
from conftest import NO_SESSION_TIME, OVERRUN, posix_only
from telvane import cli
from telvane.cli import export as cli_export
from telvane.sample import write_synthetic_sample


@pytest.fixture(scope="module")
def recording(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_synthetic_sample(tmp_path_factory.mktemp("sample"))


def run(capsys: pytest.CaptureFixture[str], *args: object) -> tuple[int, str, str]:
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_export_reports_a_corrupt_file_and_writes_the_others(capsys, recording, tmp_path, jobs):
    inputs = tmp_path / "in"
    inputs.mkdir()
    for name in ("a.ibt", "b.IBT"):
        shutil.copy(recording, inputs / name)
    (inputs / "broken.ibt").write_bytes(recording.read_bytes()[:5000])
    (inputs / "notes.txt").write_text("not a recording")
    status, out, err = run(capsys, "export", inputs, "--out", "out", "--flat", "--jobs", jobs, "--channels", "Speed,Lap")
    assert status == 1 and sorted(os.listdir("out")) == ["a.parquet", "b.parquet"]
    assert err.startswith(f"telvane: {inputs / 'broken.ibt'}: Invalid header: File too small") and err.count("\n") == 1
    assert out.splitlines()[-1].startswith("exported 2 of 3 files to out in ") and out.endswith(", 1 failed\n")
    written = pq.read_table("out/a.parquet")
    expected = telvane.ibt(recording).to_table(["Speed", "Lap"])
    assert written.equals(expected) and written.schema.equals(expected.schema, check_metadata=True)


def test_export_csv(capsys, recording):
    status, out, _ = run(capsys, "export", recording, "--out", "o", "--flat", "--format", "csv", "--channels", "Gear,OnPitRoad")
    assert status == 0 and out.startswith("wrote o/synthetic_sample.csv\n")
    table = pyarrow.csv.read_csv("o/synthetic_sample.csv")
    assert table.column_names == ["timecodes", "Gear", "OnPitRoad"]
    assert table["Gear"].to_pylist() == telvane.ibt(recording)["Gear"].column(1).to_pylist()


@pytest.mark.parametrize("args, message", [
    (["export", "{recording}", "--out", "o", "--flat", "--channels", "Sped"], "{recording}: no channel named 'Sped'"),
    (["plot", "{recording}", "-o", "p.png", "--laps", "9"], "{recording}: no lap 9"),
    (["plot", "{recording}", "-o", "p.png", "--channels", "Speed,Sped,Spin"],
     "{recording}: no channel named 'Sped', 'Spin'"),
    (["export", "{recording}", "--out", "o", "--format", "csv"], "--format applies to --flat; the dataset is Parquet"),
    (["export", "{recording}", "--out", "o", "--flat", "--partition-by", "car"],
     "--partition-by and --scheduler apply to the dataset, not to --flat"),
    (["export", "{recording}", "--out", "o", "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"],
     "--jobs applies to local worker processes, not to --scheduler"),
    (["export", "{recording}", "other/synthetic_sample.ibt", "--out", "o", "--flat"],
     "several inputs would be written to o/synthetic_sample.parquet"),
])
def test_failures_are_one_line_and_status_1(capsys, recording, args, message):
    os.mkdir("other")
    shutil.copy(recording, "other")
    status, _, err = run(capsys, *(arg.format(recording=recording) for arg in args))
    assert (status, err) == (1, f"telvane: {message.format(recording=recording)}\n")
    assert [p for p in Path().rglob("*") if p.is_file()] == [Path("other/synthetic_sample.ibt")]  # nothing written


@pytest.mark.parametrize("data, error", [
    (NO_SESSION_TIME, "Invalid header: Missing SessionTime variable"),
    (OVERRUN, "Read of bytes 93..101 outside the record area of 100 bytes"),  # the core's internal error
])
def test_python_m_telvane_names_the_file_its_error_lacks(write_file, data, error):
    path = write_file(data)
    result = subprocess.run([sys.executable, "-m", "telvane", "info", path], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"telvane: {path}: {error}\n"


def test_plot_without_matplotlib_names_the_extra(capsys, recording, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert run(capsys, "plot", recording, "-o", "p.png") == (
        1, "", "telvane: telvane plot needs matplotlib: pip install 'telvane[plot]'\n")


@pytest.mark.parametrize("args", [["--channels", "Speed,Brake,OnPitRoad", "--laps", "1,2"], [], ["--x", "distance"],
                                  ["--laps", "1", "--x", "time"]])
def test_plot_writes_a_png(capsys, recording, args):
    assert run(capsys, "plot", recording, "-o", "p.png", *args) == (0, "wrote p.png\n", "")
    height, width, _ = matplotlib.image.imread("p.png").shape
    assert width > 800 and height > 500 and os.listdir() == ["p.png"]


BAD_USAGE = [[], ["info"], ["frobnicate"], ["export", "a.ibt"], ["export", "a.ibt", "--out", "o", "--jobs", "0"],
             ["export", "a.ibt", "--out", "o", "--format", "xlsx"], ["plot", "a.ibt", "--laps", "1,x"],
             ["plot", "a.ibt", "--x", "rpm"], ["channels", "a.ibt", "--match", "("]]


@pytest.mark.parametrize("args, code", [*(([*command, "--help"], 0) for command in
                                          [[], ["info"], ["channels"], ["export"], ["plot"], ["demo"]]),
                                        *((args, 2) for args in BAD_USAGE)])
def test_help_and_bad_usage(capsys, args, code):
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    out, err = capsys.readouterr()
    assert exit.value.code == code and (err if code else out).startswith("usage: telvane")


def test_interrupted_export_leaves_no_partial_file(capsys, recording, monkeypatch):
    os.mkdir("out")
    Path("out/synthetic_sample.parquet").write_bytes(b"the previous export")

    def interrupted(table: object, path: Path, suffix: str, progress: object) -> None:
        path.write_bytes(b"PAR1 half a file")
        raise KeyboardInterrupt

    monkeypatch.setattr(cli_export, "_write_table", interrupted)
    assert run(capsys, "export", recording, "--out", "out", "--flat", "--jobs", "1")[::2] == (130, "telvane: interrupted\n")
    assert os.listdir("out") == ["synthetic_sample.parquet"]
    assert Path("out/synthetic_sample.parquet").read_bytes() == b"the previous export"


@posix_only
def test_ctrl_c_during_a_parallel_export(recording):
    """SIGINT to the whole process group, as Ctrl-C sends it: the workers drop the files
    they are writing, no partial file remains, and the files exported are reported."""
    os.mkdir("in")
    for number in range(40):
        os.link(recording, f"in/r{number:02d}.ibt")
    export = subprocess.Popen([sys.executable, "-m", "telvane", "export", "in", "--out", "out", "--flat", "--jobs", "2"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    assert export.stdout.readline().startswith("wrote ")
    os.killpg(export.pid, signal.SIGINT)
    stdout, stderr = export.communicate(timeout=60)
    assert (export.returncode, stderr) == (130, "telvane: interrupted\n")
    assert stdout.splitlines()[-1].startswith(f"interrupted: exported {stdout.count('wrote ') + 1} of 40 files")
    written = sorted(os.listdir("out"))
    assert all(name.endswith(".parquet") and not name.startswith(".") for name in written) and 1 <= len(written) < 40
    assert all(pq.read_table(f"out/{name}").num_rows == len(telvane.ibt(recording)) for name in written)

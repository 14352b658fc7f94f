"""The telvane command: output, exit statuses, parallel atomic export, plots."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pyarrow.csv
import pyarrow.parquet as pq
import pytest

import telvane
from telvane import cli
from telvane.sample import write_synthetic_sample

EXPECTED_INFO = """\
{path}
  Track      Synthetic Raceway, Example City, Nowhere Land (4.32 km)
  Session    series 285, season 4711, session 123456789, subsession 987654321
  Date       2024-05-01 14:03:12 UTC
  Duration   8:48.967 (session time 412.500 s to 941.467 s)
  Records    26,039 at 60 Hz
  Channels   17: SessionTime [s], SessionTick, SessionNum, Lap, LapDist [m], …

  Lap  Session  Type        Time
    0        0  out          0:17.400
    1        0  full         1:27.433  best
    2        0  full         1:27.784
    3        0  in           3:11.500
    0        1  out          0:17.400
    1        1  full         1:26.966  best
    2        1  partial      0:40.484
"""
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def sample(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_synthetic_sample(tmp_path_factory.mktemp("sample"))


def run(capsys: pytest.CaptureFixture[str], *args: str) -> tuple[int, str, str]:
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def test_info_matches_the_stored_expectation(capsys, sample):
    assert run(capsys, "info", sample) == (0, EXPECTED_INFO.format(path=sample), "")


def test_channels_match_a_pattern(capsys, sample):
    status, out, _ = run(capsys, "channels", sample, "--match", "^lap|speed$")
    assert status == 0
    rows = [line.split()[:2] for line in out.splitlines()]
    assert rows == [["Name", "Type"], ["Lap", "int32"], ["LapDist", "float"],
                    ["LapDistPct", "float"], ["LapCurrentLapTime", "float"],
                    ["Speed", "float"]]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_export_reports_a_corrupt_file_and_writes_the_others(capsys, sample, tmp_path, jobs):
    inputs = tmp_path / "in"
    inputs.mkdir()
    for name in ("a.ibt", "b.IBT"):
        shutil.copy(sample, inputs / name)
    (inputs / "broken.ibt").write_bytes(sample.read_bytes()[:5000])
    (inputs / "notes.txt").write_text("not a recording")
    status, out, err = run(capsys, "export", inputs, "--out", tmp_path / "out", "--jobs", jobs,
                           "--channels", "Speed,Lap")
    assert status == 1
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.parquet", "b.parquet"]
    assert err.startswith(f"telvane: {inputs / 'broken.ibt'}: Invalid header: File too small")
    assert err.count("\n") == 1
    assert out.splitlines()[-1].startswith(f"exported 2 of 3 files to {tmp_path / 'out'} in ")
    assert out.splitlines()[-1].endswith(", 1 failed")
    table = pq.read_table(tmp_path / "out" / "a.parquet")
    assert table.equals(telvane.ibt(sample).to_table(["Speed", "Lap"]))


def test_export_csv(capsys, sample, tmp_path):
    status, out, _ = run(capsys, "export", sample, "--out", tmp_path, "--format", "csv",
                         "--channels", "Gear,OnPitRoad")
    assert status == 0 and out.startswith(f"wrote {tmp_path / 'synthetic_sample.csv'}\n")
    table = pyarrow.csv.read_csv(tmp_path / "synthetic_sample.csv")
    assert table.column_names == ["timecodes", "Gear", "OnPitRoad"]
    assert table["Gear"].to_pylist() == telvane.ibt(sample)["Gear"].column(1).to_pylist()


def test_export_of_a_missing_channel_fails_that_file(capsys, sample, tmp_path):
    status, _, err = run(capsys, "export", sample, "--out", tmp_path, "--channels", "Sped")
    assert (status, err) == (1, f"telvane: {sample}: no channel named 'Sped'\n")


def test_export_refuses_inputs_that_would_share_an_output(capsys, sample, tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(sample, other)
    status, _, err = run(capsys, "export", sample, other / sample.name, "--out", tmp_path / "o")
    assert status == 1 and "several inputs would be written to" in err
    assert not (tmp_path / "o").exists()


def test_interrupted_export_leaves_no_partial_file(capsys, sample, tmp_path, monkeypatch):
    out = tmp_path / "out"
    out.mkdir()
    (out / "synthetic_sample.parquet").write_bytes(b"the previous export")

    def interrupted(table, path, fmt):
        path.write_bytes(b"PAR1 half a file")
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "_write_table", interrupted)
    status, _, err = run(capsys, "export", sample, "--out", out, "--jobs", "1")
    assert (status, err) == (130, "telvane: interrupted\n")
    assert [p.name for p in out.iterdir()] == ["synthetic_sample.parquet"]
    assert (out / "synthetic_sample.parquet").read_bytes() == b"the previous export"


def test_plot_writes_a_png(capsys, sample, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    output = tmp_path / "laps.png"
    status, out, _ = run(capsys, "plot", sample, "--channels", "Speed,Brake,OnPitRoad",
                         "--laps", "1,2", "-o", output)
    assert (status, out) == (0, f"wrote {output}\n")
    assert output.read_bytes().startswith(PNG_SIGNATURE)
    height, width, _ = image.imread(output).shape
    assert width > 800 and height > 500
    assert [p.name for p in tmp_path.iterdir()] == ["laps.png"]


@pytest.mark.parametrize("args", [[], ["--x", "distance"], ["--laps", "1", "--x", "time"]])
def test_plot_axes(capsys, sample, tmp_path, args):
    pytest.importorskip("matplotlib")
    status, _, err = run(capsys, "plot", sample, "-o", tmp_path / "p.png", *args)
    assert (status, err) == (0, "")
    assert (tmp_path / "p.png").stat().st_size > 10_000


@pytest.mark.parametrize("args, message", [
    (["--laps", "9"], "no lap 9"),
    (["--channels", "Speed,Sped,Spin"], "no channel named 'Sped', 'Spin'"),
])
def test_plot_errors(capsys, sample, tmp_path, args, message):
    pytest.importorskip("matplotlib")
    status, _, err = run(capsys, "plot", sample, "-o", tmp_path / "p.png", *args)
    assert (status, err) == (1, f"telvane: {sample}: {message}\n")


def test_plot_without_matplotlib_names_the_extra(capsys, sample, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, _, err = run(capsys, "plot", sample, "-o", tmp_path / "p.png")
    assert status == 1
    assert err == "telvane: telvane plot needs matplotlib: pip install 'telvane[plot]'\n"


def test_demo_shows_the_laps_and_writes_a_plot(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    status, out, _ = run(capsys, "demo", "--out", tmp_path)
    assert status == 0
    sample = tmp_path / "synthetic_sample.ibt"
    assert EXPECTED_INFO.format(path=sample) in out
    assert out.endswith(f"wrote {tmp_path / 'synthetic_sample.png'}\n")
    assert (tmp_path / "synthetic_sample.png").read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize("command", [[], ["info"], ["channels"], ["export"], ["plot"], ["demo"]])
def test_help(capsys, command):
    with pytest.raises(SystemExit) as exit:
        cli.main([*command, "--help"])
    assert exit.value.code == 0
    assert capsys.readouterr().out.startswith("usage: telvane")


@pytest.mark.parametrize("args", [
    [], ["info"], ["frobnicate"], ["export", "a.ibt"], ["export", "a.ibt", "--out", "o",
                                                       "--jobs", "0"],
    ["export", "a.ibt", "--out", "o", "--format", "xlsx"], ["plot", "a.ibt", "--laps", "1,x"],
    ["plot", "a.ibt", "--x", "rpm"], ["channels", "a.ibt", "--match", "("],
])
def test_bad_usage_exits_2(capsys, args):
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    assert exit.value.code == 2
    assert capsys.readouterr().err.startswith("usage: telvane")


@pytest.mark.parametrize("content, message", [
    (None, "I/O error: No such file or directory (os error 2)"),
    (b"", "Invalid header: File too small for header: 0 bytes (need 112)"),
])
def test_bad_file_is_one_line_and_status_1(tmp_path, content, message):
    path = tmp_path / "bad.ibt"
    if content is not None:
        path.write_bytes(content)
    result = subprocess.run([sys.executable, "-m", "telvane", "info", str(path)],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"telvane: {path}: {message}\n"


def test_file_without_session_time_names_the_file(capsys, tmp_path):
    path = tmp_path / "no_time.ibt"
    path.write_bytes(_file_without_session_time())
    status, _, err = run(capsys, "info", path)
    assert (status, err) == (1, f"telvane: {path}: Invalid header: Missing SessionTime variable\n")


def _file_without_session_time() -> bytes:
    from telvane._writer import INT, Var, pack_records, write_ibt

    lap = Var("Lap", INT, 0)
    return write_ibt([lap], pack_records([lap], 4, [[1], [2]]))


def test_atomic_write_keeps_the_old_file_when_writing_fails(tmp_path):
    target = tmp_path / "out.csv"
    target.write_text("old")

    def failing(path: Path) -> None:
        path.write_text("new but incomplete")
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        cli.write_atomically(target, failing)
    assert [p.name for p in tmp_path.iterdir()] == ["out.csv"]
    assert target.read_text() == "old"
    cli.write_atomically(target, lambda path: path.write_text("new"))
    assert [p.name for p in tmp_path.iterdir()] == ["out.csv"] and target.read_text() == "new"


def test_ctrl_c_during_a_parallel_export(sample, tmp_path):
    """SIGINT to the whole process group, as Ctrl-C sends it: the workers drop the files
    they are writing, start no other, and no partial file remains."""
    import os
    import signal

    inputs = tmp_path / "in"
    inputs.mkdir()
    for number in range(40):
        os.link(sample, inputs / f"r{number:02d}.ibt")
    out = tmp_path / "out"
    export = subprocess.Popen([sys.executable, "-m", "telvane", "export", str(inputs),
                               "--out", str(out), "--jobs", "2"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, start_new_session=True)
    assert export.stdout.readline().startswith("wrote ")
    os.killpg(export.pid, signal.SIGINT)
    stdout, stderr = export.communicate(timeout=60)
    assert (export.returncode, stderr) == (130, "telvane: interrupted\n")
    written = sorted(p.name for p in out.iterdir())
    assert all(name.endswith(".parquet") and not name.startswith(".") for name in written)
    assert 1 <= len(written) < 40
    for name in written:
        assert pq.read_table(out / name).num_rows == 26039

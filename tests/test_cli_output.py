"""What the commands show and write: info of several recordings as text or JSON, standard
input, hostile texts kept off the terminal, and the files plot writes (never its input)."""

from __future__ import annotations

import io
import json
import os
import re
import sys
from pathlib import Path

import pytest

import telvane
from telvane._writer import DOUBLE, FLOAT, Var, pack_records, write_ibt
from telvane.cli.reports import describe
from builders import write_channels
from test_cli import recording, run  # noqa: F401 (a fixture)


def recording_with(path: str, unit: str = "", desc: str = "", name: str = "Speed", **layout: object) -> str:
    """A recording of 10 records: SessionTime and one float channel with the given texts."""
    variables = [Var("SessionTime", DOUBLE, 0), Var(name, FLOAT, 8, unit=unit, desc=desc)]
    Path(path).write_bytes(write_ibt(variables, pack_records(variables, 12, [[r / 60, r] for r in range(10)]),
                                     **layout))
    return path


def test_info_of_several_recordings_and_standard_input_as_text_and_json(capsys, recording, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(recording.read_bytes())))
    status, out, err = run(capsys, "info", recording, "missing.ibt", "-")
    assert (status, err) == (1, "telvane: missing.ibt: I/O error: No such file or directory (os error 2)\n")
    log = telvane.ibt(recording)
    assert out == f"{describe(log)}\n\n{describe(log).replace(str(recording), '<stdin>', 1)}\n"
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(recording.read_bytes())))
    status, out, _ = run(capsys, "info", "--json", recording, "-")
    first, second = json.loads(out)
    assert (status, first["file"], second["file"]) == (0, str(recording), "<stdin>")
    assert first["metadata"] == {key: value for key, value in log.metadata.items() if key != "session_info_yaml"}
    assert first["start_date"] == "2024-05-01T14:03:12+00:00" and first["records"] == len(log)
    laps = log.lap_times()
    assert first["channels"] == log.channel_names and len(first["laps"]) == laps.num_rows
    assert [lap["lap_type"] for lap in first["laps"]] == laps["lap_type"].to_pylist()
    assert {**first, "file": ""} == {**second, "file": ""}


@pytest.mark.parametrize("date, shown", [(2**63 - 1, "invalid (9223372036854775807)"),
                                         (253_402_300_800, "invalid (253402300800)"),  # the year 10000
                                         (1_714_572_192, "2024-05-01 14:03:12 UTC")])
def test_a_garbage_start_date_is_shown_invalid(capsys, write_file, date, shown):
    status, out, _ = run(capsys, "info", write_file(write_channels(record_count=3, session_start_date=date)))
    assert status == 0 and f"  Date       {shown}\n" in out and "  Records    3 at 60 Hz\n" in out
    status, out, _ = run(capsys, "info", "--json", write_file(write_channels(record_count=3, session_start_date=date)))
    assert json.loads(out)[0]["start_date"] == (None if shown.startswith("invalid") else "2024-05-01T14:03:12+00:00")


def test_control_characters_reach_the_terminal_escaped(capsys):
    path = recording_with("\x1b]0;title\x07.ibt", unit="\x1b]52;c;aGk=\x07", desc="\x1b[2J\x9b31m", name="Speed\x1b[2J",
                          session_info="TrackDisplayName: \x1b[31mRed\x85Ring\n")
    for command in ("info", "channels"):
        status, out, _ = run(capsys, command, path)
        assert status == 0 and "\\x1b]52;c;aGk=\\x07" in out and "Speed\\x1b[2J" in out
        assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", out), out
    assert "\\x1b[31mRed\\x85Ring" in run(capsys, "info", path)[1]
    status, _, err = run(capsys, "info", "\x1b[2J.ibt")
    assert status == 1 and err.startswith("telvane: \\x1b[2J.ibt: I/O error")


MAGIC = {".png": b"\x89PNG", ".jpg": b"\xff\xd8\xff", ".pdf": b"%PDF", ".svg": b"<?xml"}


@pytest.mark.parametrize("output, written", [(".", "synthetic_sample.png"), ("plots/", "plots/synthetic_sample.png"),
                                             ("x.jpg", "x.jpg"), ("x.PDF", "x.PDF"), ("sub/x.svg", "sub/x.svg")])
def test_plot_writes_the_format_its_output_names(capsys, recording, output, written):
    os.mkdir("sub")
    assert run(capsys, "plot", recording, "--channels", "Speed", "-o", output) == (0, f"wrote {written}\n", "")
    assert Path(written).read_bytes().startswith(MAGIC[Path(written).suffix.lower()])


@pytest.mark.parametrize("args, message", [
    (["rec.png", "-o", "x.gif"], "x.gif: the suffix names the format, one of .png, .jpg, .jpeg, .pdf, .svg"),
    (["rec.png", "-o", "plot"], "plot: the suffix names the format, one of .png, .jpg, .jpeg, .pdf, .svg"),
    (["rec.png", "-o", "rec.png"], "rec.png: is the input recording; choose another output"),
    (["rec.png", "-o", "."], "rec.png: is the input recording; choose another output"),
    (["rec.png", "-o", "alias.png"], "alias.png: is the input recording; choose another output"),
    (["rec.png", "-o", "rec.png/x.png"], "rec.png/x.png: Not a directory"),  # not the hidden temporary
])
def test_plot_refuses_what_it_cannot_write_and_never_its_input(capsys, recording, args, message):
    data = recording.read_bytes()
    Path("rec.png").write_bytes(data)
    os.symlink("rec.png", "alias.png")
    assert run(capsys, "plot", *args) == (1, "", f"telvane: {message}\n")
    assert sorted(os.listdir()) == ["alias.png", "rec.png"] and Path("rec.png").read_bytes() == data


def test_plot_draws_dollar_signs_as_they_are(capsys):
    path = recording_with("$a^$.ibt", unit="$\\frac{$", session_info="TrackDisplayName: $x^$ Ring\n")
    assert run(capsys, "plot", path, "--channels", "Speed") == (0, "wrote $a^$.png\n", "")

"""What the commands show: info of several recordings and of standard input as text and JSON,
hostile texts kept off the terminal, and plots in a racer's units naming the laps drawn."""

from __future__ import annotations

import io
import json
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import matplotlib.pyplot as plt
import numpy as np
import pytest

import telvane
from telvane._writer import DOUBLE, FLOAT, Var, pack_records, write_ibt
from telvane._cli.progress import ProgressBar
from telvane._cli.reports import describe
from conftest import run


def test_info_of_several_recordings_and_standard_input(capsys, recording, monkeypatch):
    log, text = telvane.ibt(recording), describe(telvane.ibt(recording))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(recording.read_bytes())))
    status, out, err = run(capsys, "info", recording, "missing.ibt", "-")
    assert (status, err) == (1, "telvane: missing.ibt: No such file or directory\n")
    assert out == f"{text}\n\n{text.replace(str(recording), '<stdin>', 1)}\n"
    status, out, err = run(capsys, "info", "--json", recording, "missing.ibt")
    info, missing = json.loads(out)
    assert (info["file"], info["records"], info["channels"]) == (str(recording), len(log), log.channel_names)
    assert (info["start_date"], info["laps"]) == ("2024-05-01T14:03:12+00:00", log.lap_times().to_pylist())
    assert missing == {"file": "missing.ibt", "error": "No such file or directory"}
    assert (status, err) == (1, "telvane: missing.ibt: No such file or directory\n")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"")))  # named once, as a file is
    assert run(capsys, "info", "-")[2] == "telvane: <stdin>: Invalid header: File too small for header: 0 bytes (need 112)\n"


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


# (seconds, file, fraction done) the export's bar is told, of two files of a size -> how its line ends
PROGRESS = [
    (1000, [(60, 0, 0.01)], "0/2 files [01:00<?]"),  # the workers' start-up: no pace yet
    (1000, [(60, 0, 0.01), (61, 0, 0.5)], "0/2 files [01:01<00:03]"),  # 490 bytes in the second after
    (3554549, [(k / 50, k // 101, k % 101 / 100) for k in range(202)], "2/2 files [00:04<00:00]"),
]


@pytest.mark.parametrize("size, steps, end", PROGRESS)
def test_the_export_bar_predicts_from_the_pace_since_the_first_bytes(monkeypatch, size, steps, end):
    now = [0.0]
    monkeypatch.setattr("tqdm.std.time", lambda: now[0])
    monkeypatch.setattr(sys, "stderr", Terminal())
    bar = ProgressBar([size, size])
    for now[0], index, fraction in steps:
        bar.finish(index) if fraction == 1.0 else bar.update(index, fraction)
    bar.close()
    assert sys.stderr.getvalue().rstrip("\n").split("\r")[-1].endswith(end)


@pytest.mark.filterwarnings("ignore:Glyph")  # the font has no glyphs for control characters
def test_hostile_texts_reach_the_terminal_escaped(capsys):
    variables = [Var("SessionTime", DOUBLE, 0),
                 Var("Speed\x1b[2J", FLOAT, 8, unit="$\\frac{$\x1b]52;c;aGk=\x07", desc="\x1b[2J\x9b31m")]
    records = pack_records(variables, 12, [[r / 60, r] for r in range(10)])
    Path("$a^$.ibt").write_bytes(write_ibt(variables, records, session_start_date=2**63 - 1,
                                           session_info="TrackDisplayName: $x^$ \x1b[31mRed\x85Ring\n"))
    info, channels = (run(capsys, command, "$a^$.ibt")[1] for command in ("info", "channels"))
    for out in (info, channels):
        assert "$\\frac{$\\x1b]52;c;aGk=\\x07" in out and "Speed\\x1b[2J" in out
        assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", out), out
    assert "$x^$ \\x1b[31mRed\\x85Ring" in info and "  Date       invalid (9223372036854775807)\n" in info
    assert json.loads(run(capsys, "info", "--json", "$a^$.ibt")[1])[0]["start_date"] is None
    assert run(capsys, "info", "\x1b[2J.ibt")[2] == "telvane: \\x1b[2J.ibt: No such file or directory\n"
    assert run(capsys, "plot", "$a^$.ibt", "--channels", "Speed\x1b[2J") == (0, "wrote $a^$.png\n", "")


def drawn(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, *args: object) -> Any:
    figures: list[Any] = []
    monkeypatch.setattr(plt, "close", figures.append)  # kept open to be looked at
    assert run(capsys, *args)[0] == 0
    return figures[0]


def test_plot_in_km_h_and_percent_on_a_time_that_never_runs_back(capsys, recording, monkeypatch):
    log = telvane.ibt(recording)
    axes = drawn(capsys, monkeypatch, "plot", recording, "--channels", "Speed,Throttle,Gear").axes
    for axis, factor, label in zip(axes, (3.6, 100, 1), ("Speed [km/h]", "Throttle [%]", "Gear")):
        x, y = axis.lines[0].get_data()
        assert axis.get_ylabel() == label
        assert y[~np.isnan(y)] == pytest.approx(log[label.split()[0]].column(1).to_numpy() * factor)
    assert np.all(np.diff(x[~np.isnan(x)]) >= 0) and axes[0].texts[0].get_text() == "session 1"
    assert [axis.lines[0].get_drawstyle() for axis in axes] == ["default", "default", "steps-post"]


def test_compare_names_its_laps_in_mph_with_levels_on_whole_numbers(capsys, recording, monkeypatch):
    log = telvane.ibt(recording)
    laps = log.lap_times().to_pylist()
    full = sorted((lap for lap in laps if lap["lap_type"] == "full"), key=lambda lap: lap["duration"])
    # FILE names its fastest full lap; FILE:N the fastest full lap N; FILE:N.K the K-th lap N
    chosen = [full[0], next(lap for lap in full if lap["num"] == 1), [lap for lap in laps if lap["num"] == 0][1]]
    figure = drawn(capsys, monkeypatch, "compare", recording, f"{recording}:1", f"{recording}:0.2", "--mph",
                   "--channels", "Speed,OnPitRoad")
    assert [text.get_text().split(" · ")[0] for text in figure.legends[0].texts] == [
        "lap 1.2 (full, session 1)", "lap 1.2 (full, session 1)", "lap 0.2 (out, session 1)"]
    speed, on_pit_road, _ = figure.axes
    mph = log.lap(laps.index(chosen[1]))["Speed"].column(1).to_numpy() * 2.2369362920544
    assert speed.get_ylabel() == "Speed [mph]" and speed.lines[1].get_ydata() == pytest.approx(mph)
    assert all(tick == int(tick) for tick in on_pit_road.get_yticks())  # OnPitRoad stays 0 on a flying lap


def test_plot_names_laps_that_share_a_number_apart(capsys, recording, monkeypatch):
    figure = drawn(capsys, monkeypatch, "plot", recording, "--laps", "1,3")
    assert [text.get_text().split(" · ")[0] for text in figure.legends[0].texts] == [
        "lap 1.1 (full, session 0)", "lap 3.1 (partial, session 0)", "lap 3.2 (out, session 0)",
        "lap 1.2 (full, session 1)"]


@pytest.mark.parametrize("command, shown, first", [("compare", "drawn", "wrote one_compare.png"),
                                                   ("coach", "shown", "reference one.ibt:1.3 (full"),
                                                   ("view", "shown", "wrote one.view.html")])
def test_a_recording_of_one_full_lap_is_shown_alone_and_said_so(capsys, command, shown, first):
    from telvane._sample import synthetic_sample_bytes

    Path("one.ibt").write_bytes(synthetic_sample_bytes(flying_laps=0))
    status, out, err = run(capsys, command, "one.ibt", *(["--no-open"] if command == "view" else []))
    assert (status, err) == (0, f"telvane: one.ibt: one full lap, {shown} alone; name the laps to "
                                f"compare as FILE:LAP\n")
    assert out.startswith(first)


def test_coach_ranks_the_corners_the_library_measures(capsys, recording):
    log = telvane.ibt(recording)
    fast, slow = log.find_laps(lap_type="full", session=1)[0], log.find_laps(num=2, session=0)[0]
    status, out, _ = run(capsys, "coach", f"{recording}:1.2", f"{recording}:2", "--json")
    report = json.loads(out)
    assert status == 0 and [lap["row"] for lap in report["laps"]] == [fast, slow]
    assert report["corners"] == pytest.approx(log.corners(fast, slow).to_pylist())
    full = log.find_laps(lap_type="full")
    times = [log.lap_times()["duration"][row].as_py() for row in full]
    assert report["consistency"]["laps"] == 3
    assert report["consistency"]["lap_time"] == pytest.approx(float(np.std(times, ddof=1)))
    text = run(capsys, "coach", f"{recording}:1.2", f"{recording}:2")[1]
    ranked = [int(line.split()[0]) for line in text.split("\n\n")[1].splitlines()[2:-1]]
    lost = {row["corner"]: row["time_lost"] for row in report["corners"] if row["lap"] == 1}
    assert ranked == sorted(lost, key=lambda corner: -lost[corner])


@pytest.mark.parametrize("command, copies", [("info", 60), ("info --json", 60), ("channels", 1),
                                             ("export --flat --format csv --out o", 1)])
def test_a_reader_that_stops_early_ends_the_command_quietly(tmp_path, recording, command, copies):
    """`telvane … | head`: the pipe closed before the command wrote."""
    child = subprocess.Popen([sys.executable, "-m", "telvane", *command.split(), *[recording] * copies],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    child.stdout.close()
    assert (child.wait(timeout=120), child.stderr.read()) == (141, b"")

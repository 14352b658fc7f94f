"""`telvane compare` and the panels it shares with `telvane plot`: which lap FILE[:LAP]
names, units as a racer reads them, steps for levels, and time axes that never run back."""

from __future__ import annotations

import matplotlib.image
import numpy as np
import pyarrow as pa
import pytest

import telvane
from telvane import cli
from telvane.cli import panels
from telvane.cli.compare import choose_lap
from telvane.sample import write_synthetic_sample


@pytest.fixture(scope="module")
def recording(tmp_path_factory: pytest.TempPathFactory):
    return write_synthetic_sample(tmp_path_factory.mktemp("sample"))


@pytest.fixture(scope="module")
def log(recording):
    return telvane.ibt(recording)


def run(capsys, *args):
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def test_compare_writes_laps_of_two_recordings_with_their_delta(capsys, recording, tmp_path):
    other = tmp_path / "other.ibt"
    other.write_bytes(recording.read_bytes())
    status, out, err = run(capsys, "compare", f"{recording}:1", f"{other}:2", other, "--mph", "-o", "laps.png")
    assert (status, out, err) == (0, "wrote laps.png\n", "")
    assert matplotlib.image.imread("laps.png").shape[1] > 1000


def test_which_lap_file_and_file_lap_name(log):
    laps = log.lap_times().to_pylist()
    fastest = min((lap["duration"], row) for row, lap in enumerate(laps) if lap["lap_type"] == "full")[1]
    assert choose_lap(log, None) == fastest
    ones = [row for row, lap in enumerate(laps) if lap["num"] == 1]
    assert len({laps[row]["session"] for row in ones}) > 1  # lap 1 in both sessions: the faster full one
    assert choose_lap(log, 1) == min(ones, key=lambda row: laps[row]["duration"])
    zeros = [row for row, lap in enumerate(laps) if lap["num"] == 0]
    assert choose_lap(log, 0) == zeros[0]  # no full lap 0: the first
    with pytest.raises(cli.CommandError, match="no lap 99"):
        choose_lap(log, 99)


@pytest.mark.parametrize("args, message", [
    (["{recording}:99"], "{recording}: no lap 99"),
    (["{recording}", "--channels", "Speed,Sped"], "{recording}: no channel named 'Sped'"),
    (["missing.ibt:1"], "missing.ibt: "),
])
def test_compare_failures_are_one_line(capsys, recording, args, message):
    status, _, err = run(capsys, "compare", *(arg.format(recording=recording) for arg in args))
    assert status == 1 and err.startswith(f"telvane: {message.format(recording=recording)}") and err.count("\n") == 1


def test_a_file_whose_name_ends_in_a_colon_and_number(capsys, recording, tmp_path):
    odd = tmp_path / "odd.ibt:7"
    odd.write_bytes(recording.read_bytes())
    assert run(capsys, "compare", odd, "-o", "odd.png")[0] == 0


def field(unit: str, interpolate: bool = True) -> pa.Field:
    return pa.field("x", pa.float32(), metadata={"units": unit, "interpolate": str(interpolate)})


@pytest.mark.parametrize("unit, speed_unit, factor, shown_unit", [
    ("m/s", "km/h", 3.6, "km/h"), ("m/s", "mph", 2.2369362920544, "mph"),
    ("%", "km/h", 100.0, "%"), ("rad", "mph", 1.0, "rad"), ("", "km/h", 1.0, ""),
])
def test_units_shown(unit, speed_unit, factor, shown_unit):
    values, text = panels.shown(np.array([0.5, 1.0], np.float32), field(unit), speed_unit)
    assert values == pytest.approx([0.5 * factor, factor]) and text == shown_unit


def test_levels_are_steps_with_whole_ticks(log):
    assert [panels.is_step(log[name].schema.field(1)) for name in ("Gear", "OnPitRoad", "Speed", "Lap")] == [
        True, True, False, True]
    import matplotlib.pyplot as plt

    lap = log.lap(1)  # on track: OnPitRoad stays 0, a flat level
    figure, axes = plt.subplots(2)
    for axis, name in zip(axes, ("Gear", "OnPitRoad")):
        panels.draw(axis, np.arange(len(lap)), lap, name, "km/h")
        panels.label(axis, lap, name, "km/h")
        ticks = [tick for tick in axis.get_yticks() if axis.get_ylim()[0] <= tick <= axis.get_ylim()[1]]
        assert ticks and all(tick == int(tick) for tick in ticks), (name, ticks)
    plt.close(figure)


def test_recording_time_never_runs_back(log):
    x, breaks, marks, is_session_time = panels.recording_time(log)
    session = log["SessionNum"].column(1).to_numpy()
    assert len(x) == len(log) and np.all(np.diff(x) >= 0) and not is_session_time
    change = int(np.flatnonzero(np.diff(session))[0]) + 1
    assert change in breaks and marks == [(x[change], 1)]
    seconds = log["SessionTime"].column(1).to_numpy()
    assert x[:change] == pytest.approx(seconds[:change])  # the first session keeps its own clock


@pytest.mark.parametrize("count", [1, 10, 14])
def test_every_trace_has_its_own_colour(count):
    import matplotlib.colors

    assert len({matplotlib.colors.to_hex(colour) for colour in panels.colours(count)}) == count

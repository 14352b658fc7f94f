"""telvane view and LogFile.view(): the page written, where, what it refuses; and the sample's
position channels that the map and the g-g diagram draw."""

import re
from pathlib import Path

import numpy as np
import pytest

import telvane
from builders import write_channels
from conftest import SPEED, run
from telvane import sample
from telvane._writer import FLOAT, INT
from telvane.view import View, view


def other_track(data: bytes, name: bytes = b"elsewhere raceway") -> bytes:
    """The recording with another track name in its session info (same byte count)."""
    assert len(name) == len(b"synthetic raceway")
    return data.replace(b"TrackName: synthetic raceway", b"TrackName: " + name, 1)


@pytest.fixture(scope="module")
def recording(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return sample.write_synthetic_sample(tmp_path_factory.mktemp("view"))


def test_writes_the_page_beside_the_recording_and_logfile_view_is_the_same_page(
        recording: Path, capsys: pytest.CaptureFixture[str]) -> None:
    status, out, err = run(capsys, "view", recording, "--no-open")
    written = recording.with_name("synthetic_sample.view.html")
    assert (status, out, err) == (0, f"wrote {written}\n", "")
    page = written.read_text("utf-8")
    shown = telvane.ibt(recording).view()
    assert isinstance(shown, View) and shown.html == page
    assert re.search(r"https?://", page) is None and page.isascii()
    assert not [p for p in recording.parent.iterdir() if p.name.startswith(".")]  # no temporary left
    frame = shown._repr_html_()
    assert frame.startswith("<iframe srcdoc=") and "<script" not in frame
    log = telvane.ibt(recording)
    count = log.lap_times().num_rows
    for row in (count, -count - 1):  # rows as lap() takes them
        with pytest.raises(IndexError, match=f"lap row {row} out of range for {count} laps"):
            log.view([row])


@pytest.mark.parametrize("arguments, message", [
    (["{a}", "-o", "{a}"], "{a}: is an input recording; choose another output"),
    (["{a}:2", "{other}:1"],
     "{other}: recorded on 'elsewhere raceway' (4.32 km), not on 'synthetic raceway' "
     "(4.32 km) as {a}; laps of different tracks cannot be compared"),
    (["{a}:9"], "{a}: no lap 9"),
    (["{lapless}"], "{lapless}: no laps to view"),
    (["{distanceless}"], "{distanceless}: lap 1 of session 0 has no lap distance to draw it by"),
])
def test_refusals_are_one_line(recording: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                               arguments: list[str], message: str) -> None:
    other = tmp_path / "other.ibt"
    other.write_bytes(other_track(recording.read_bytes()))
    lapless = tmp_path / "lapless.ibt"
    lapless.write_bytes(SPEED)
    distanceless = tmp_path / "distanceless.ibt"
    distanceless.write_bytes(write_channels({"Lap": (INT, [1] * 10), "Speed": (FLOAT, [1.0] * 10)}))
    names = {"a": recording, "other": other, "lapless": lapless, "distanceless": distanceless}
    before = recording.read_bytes()
    status, out, err = run(capsys, "view", *[a.format(**names) for a in arguments], "--no-open")
    assert (status, out) == (1, "")
    assert err == f"telvane: {message.format(**names)}\n"
    assert recording.read_bytes() == before
    assert not list(tmp_path.glob("*.html"))


def test_laps_chosen_on_the_command_line_open_the_page(recording: Path, tmp_path: Path,
                                                       capsys: pytest.CaptureFixture[str]) -> None:
    log = telvane.ibt(recording)
    status, _, _ = run(capsys, "view", f"{recording}:2", f"{recording}:1", "-o", tmp_path / "p.html",
                       "--no-open")
    page = (tmp_path / "p.html").read_text("utf-8")
    rows = log.find_laps(num=2, lap_type="full") + [min(log.find_laps(num=1, lap_type="full"),
                                                        key=lambda r: log.lap_times()["duration"][r].as_py())]
    assert status == 0 and page == view([log], [(0, rows[0]), (0, rows[1])]).html


def test_the_sample_drives_a_closed_track_in_the_direction_it_faces() -> None:
    columns = sample.synthetic_sample_columns()
    log = telvane.ibt(sample.synthetic_sample_bytes())
    for name in ("Lat", "Lon"):
        assert log[name].schema.field(1).type == "double"
    lap = log.lap(log.find_laps(lap_type="full")[0]).by_distance(["Lat", "Lon", "Yaw"])
    lat, lon, yaw = (lap.column(name).to_numpy().astype(np.float64) for name in ("Lat", "Lon", "Yaw"))
    north = np.radians(lat - lat[0]) * 6_371_000
    east = np.radians(lon - lon[0]) * 6_371_000 * np.cos(np.radians(lat[0]))
    steps = np.hypot(np.diff(east), np.diff(north))
    assert np.hypot(east[-1], north[-1]) < 2.0  # the lap ends where it began
    assert np.allclose(steps[:-1], 1.0, atol=0.01)  # a metre of lap distance is a metre of road
    moving = np.arctan2(np.diff(north), np.diff(east))
    facing = np.angle(np.exp(1j * yaw[:-1]) + np.exp(1j * yaw[1:]))
    apart = np.abs(np.angle(np.exp(1j * (moving - facing))))
    assert np.median(apart) < 1e-3 and np.mean(apart > 0.02) < 0.002  # Yaw wraps between records
    turning = np.cumsum(np.angle(np.exp(1j * np.diff(np.unwrap(yaw)))))
    assert turning[-1] == pytest.approx(-2 * np.pi, abs=0.01)  # once round, clockwise
    speed, lateral = columns["Speed"], columns["LatAccel"]
    assert np.abs(lateral).max() < 3.5 * 9.81 and np.abs(lateral[speed > 30]).max() > 9.81


def test_the_map_integrated_from_yaw_follows_lat_and_lon() -> None:
    from telvane.view.data import elapsed_by_distance, integrated_positions, map_positions, usable_origin

    log = telvane.ibt(sample.synthetic_sample_bytes())
    for row in (log.find_laps(lap_type="full")[0], log.find_laps(lap_type="partial")[0]):
        lap = log.lap(row)
        grid, _ = elapsed_by_distance(lap)
        east, north = map_positions(lap, grid, usable_origin(log))
        integrated = integrated_positions(lap, grid)
        assert integrated is not None
        apart = np.hypot(integrated[0] - (east - east[0]), integrated[1] - (north - north[0]))
        assert apart.max() < 2.0  # metres, over a lap of 4.32 km

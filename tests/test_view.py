"""telvane view and LogFile.view(): the page written and where (its refusals are rows of
test_cli's table, and of the outputs below); and the map drawn from Yaw where a recording
has no Lat and Lon."""

import math
import os
import re
import stat
import struct
from pathlib import Path

import numpy as np
import pytest

import telvane
from conftest import posix_only, run
from reference_reader import ReferenceFile
from telvane.view import View


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


def test_the_map_integrated_from_yaw_follows_lat_and_lon(synthetic: bytes) -> None:
    from telvane.view._data import elapsed_by_distance, integrated_positions, map_positions, usable_origin

    log = telvane.ibt(synthetic)
    for row in (log.find_laps(lap_type="full")[0], log.find_laps(lap_type="partial")[0]):
        lap = log.lap(row)
        grid, _ = elapsed_by_distance(lap)
        east, north = map_positions(lap, grid, usable_origin(log))
        integrated = integrated_positions(lap, grid)
        assert integrated is not None
        apart = np.hypot(integrated[0] - (east - east[0]), integrated[1] - (north - north[0]))
        assert apart.max() < 2.0  # metres, over a lap of 4.32 km


def with_sample(data: bytes, name: str, record: int, value: float) -> bytes:
    """The recording with one value of a double channel replaced."""
    file = ReferenceFile(data)
    out = bytearray(data)
    struct.pack_into("<d", out, file.buf_offset + record * file.buf_len + file.find_var(name).offset, value)
    return bytes(out)


# the first placed record (0, before the out lap) and one in the out lap drawn (1000) made bad
@pytest.mark.parametrize("name, value", [("Lat", math.inf), ("Lat", math.nan), ("Lon", -math.inf)])
def test_a_bad_position_is_a_gap_in_the_map_and_never_its_origin(synthetic: bytes, name: str, value: float) -> None:
    from telvane.view._build import page_data
    from telvane.view._data import usable_origin

    log = telvane.ibt(with_sample(with_sample(synthetic, name, 0, value), name, 1000, value))
    good = telvane.ibt(synthetic)
    assert usable_origin(log) == (good["Lat"][1][1].as_py(), good["Lon"][1][1].as_py())
    columns = {column.name: column.values for column in page_data([("r.ibt", log)], (0, 0), []).columns
               if column.row == 0}
    for axis in ("map_x", "map_y"):
        assert not np.isinf(columns[axis]).any() and np.isnan(columns[axis]).sum() <= 2


def null_device(path: Path) -> None:  # the test's own, in its folder
    try:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device needs root")


NOT_REGULAR = "not a regular file; choose another output"
NOT_HTML = "the page is HTML; name it with .html or .htm"
# what -o names, what is made there first, and the line the command ends with
OUTPUTS = [("p.html", os.mkfifo, f"is a FIFO, {NOT_REGULAR}"),
           ("p.html", os.mkdir, f"is a directory, {NOT_REGULAR}"),
           ("p.html", null_device, f"is a device, {NOT_REGULAR}"),
           ("p.html", lambda path: path.symlink_to("elsewhere.html"), f"is a symbolic link, {NOT_REGULAR}"),
           (".", None, NOT_HTML), ("x.png", None, NOT_HTML)]


def entries() -> list[tuple[str, int, int]]:
    return sorted((str(p), p.lstat().st_ino, p.lstat().st_mode) for p in Path().rglob("*"))


@posix_only
@pytest.mark.parametrize("name, make, shown", OUTPUTS, ids=["FIFO", "directory", "device", "link", "dot", "png"])
def test_the_page_replaces_only_a_regular_file(capsys: pytest.CaptureFixture[str], recording: Path,
                                               name: str, make, shown: str) -> None:
    if make:
        make(Path(name))
    before = entries()
    assert run(capsys, "view", recording, "-o", name, "--no-open") == (1, "", f"telvane: {name}: {shown}\n")
    assert entries() == before  # nothing replaced, nothing written through a link


# Speed (m/s) and OnPitRoad on a lap's grid, and where the car races.
RACING = [
    ([60.0] * 5, None, [1, 1, 1, 1, 1]),
    ([60.0] * 5, [0, 1, 1, 0, 0], [1, 0, 0, 1, 1]),
    # stopping from the fastest metre before the stop, starting up to the fastest after it
    ([60, 62, 50, 30, 10, 2, 0, 3, 12, 30, 50, 60, 58], None, [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1]),
    ([60, 40, 40.5, 20, 0], None, [0, 0, 0, 0, 0]),  # a rise within noise on the way in
    ([60, 40, 45, 20, 0], None, [1, 1, 0, 0, 0]),  # a rise of 5 m/s is the car's own
    ([float("nan"), 60, 60], None, [1, 1, 1]),  # no value is no stop
]


@pytest.mark.parametrize("speed, pit, racing", RACING)
def test_the_car_races_off_pit_road_and_away_from_stops(speed, pit, racing) -> None:
    from telvane.view._data import racing_metres

    found = racing_metres(np.array(speed, np.float32), None if pit is None else np.array(pit, float))
    assert found.tolist() == [bool(v) for v in racing]
    assert racing_metres(None, None) is None


def one_gear(data: bytes) -> bytes:
    """The recording with every record in third gear."""
    file = ReferenceFile(data)
    out = bytearray(data)
    at = file.buf_offset + file.find_var("Gear").offset
    for record in range(file.record_count):
        struct.pack_into("<i", out, at + record * file.buf_len, 3)
    return bytes(out)


def test_laps_are_named_as_file_n_names_them_and_sessions_in_full(synthetic: bytes) -> None:
    from telvane._display import lap_name, laps_named
    from telvane.view._build import page_data

    log = telvane.ibt(synthetic)
    manifest = page_data([("r.ibt", log)], (0, 7), []).manifest
    assert [laps_named(log, lap_name(lap["name"])) for lap in manifest["laps"]] == [[row] for row in range(9)]
    assert manifest["files"][0]["sessions"] == {0: "PRACTICE", 1: "QUALIFY"}
    unnamed = telvane.ibt(synthetic.replace(b"SessionName:", b"SessionNamx:"))  # as version 1 writes them
    sessions = page_data([("r.ibt", unnamed)], (0, 7), []).manifest["files"][0]["sessions"]
    assert sessions == {0: "Practice", 1: "Lone Qualify"}


def test_a_gear_pane_only_where_the_gear_changes(synthetic: bytes) -> None:
    from telvane.view._build import page_data

    panes = {data: page_data([("r.ibt", telvane.ibt(data))], (0, 7), [(0, 1)]).manifest["panes"]
             for data in (synthetic, one_gear(synthetic))}
    assert panes[synthetic] == ["Speed", "Throttle", "Brake", "Gear", "SteeringWheelAngle", "RPM"]
    assert panes[one_gear(synthetic)] == ["Speed", "Throttle", "Brake", "SteeringWheelAngle", "RPM"]


def test_corner_tables_are_the_library_s_and_a_lap_it_cannot_measure_says_why(synthetic: bytes) -> None:
    from telvane.view._build import page_data

    log = telvane.ibt(synthetic)
    tables = page_data([("r.ibt", log)], (0, 7), [(0, 3)]).manifest["corners"]
    assert [table["reference"] for table in tables] == [7, 3, 1, 2]  # the laps opened with, the fastest
    expected = telvane.corners(log.lap(3), *(log.lap(row) for row in tables[1]["laps"][1:]))
    assert tables[1]["laps"] == [3, 0, 1, 2, 4, 5, 6, 7, 8] and tables[1]["columns"] == expected.to_pydict()
    blind = telvane.ibt(synthetic.replace(b"Brake".ljust(32, b"\0"), b"Pedal".ljust(32, b"\0")))
    table = page_data([("r.ibt", blind)], (0, 7), []).manifest["corners"][0]
    assert table["laps"] == [] and "Brake" in table["error"]

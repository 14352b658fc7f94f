"""Corners and the time lost in them, against recordings whose truth is known by construction:
a track with corners at known distances, laps that brake later or earlier, carry more or less
speed or get back on the throttle later; out laps from the pit lane, a spin, a stop on track.
The real recording: corners where the car is, none in the pit lane."""

import dataclasses
import itertools
import math
from collections.abc import Callable

import numpy as np
import pytest

import telvane
from telvane._writer import BOOL, DOUBLE, FLOAT, INT, NUMPY_TYPE, Var, write_ibt
from reference_reader import ReferenceFile

LENGTH = 3000.0  # m
FAST = 60.0  # m/s on the straights
STEP = 0.01  # m: the integral of the time by distance


@dataclasses.dataclass(frozen=True)
class Corner:
    apex: float  # m
    low: float  # m/s at the apex
    start: float  # m: the brake passes 10 % here (or the throttle falls below 90 %)
    on: float  # m: back on 90 % throttle after the apex
    braked: bool = True


TRACK = (Corner(400.0, 22.0, 280.0, 418.0), Corner(1000.0, 35.0, 900.0, 1018.0),
         Corner(1700.0, 45.0, 1640.0, 1716.0, braked=False), Corner(2400.0, 25.0, 2270.0, 2418.0))


def knots(corners: tuple[Corner, ...]) -> dict[str, list[tuple[float, float]]]:
    """Speed and pedals at the corners' points, linear between them and flat on the straights."""
    points: dict[str, list[tuple[float, float]]] = {"speed": [], "brake": [], "throttle": []}
    for c in corners:
        points["speed"] += [(c.start, FAST), (c.apex, c.low), (c.apex + 250.0, FAST)]
        if c.braked:
            points["brake"] += [(c.start - 1.0, 0.0), (c.start + 9.0, 1.0), (c.apex - 20.0, 1.0),
                                (c.apex - 2.0, 0.0)]
            points["throttle"] += [(c.start - 5.0, 1.0), (c.start - 1.0, 0.0), (c.apex, 0.0),
                                   (c.apex + (c.on - c.apex) / 0.9, 1.0)]
        else:
            points["throttle"] += [(c.start - 1.0, 1.0), (c.start + 4.0, 0.5), (c.apex, 0.5),
                                   (c.apex + (c.on - c.apex) * 1.25, 1.0)]
    return points


Profile = Callable[[np.ndarray], dict[str, np.ndarray]]


def lap_profile(corners: tuple[Corner, ...] = TRACK, pit: tuple[float, float] | None = None,
                off: tuple[float, float] | None = None,
                slower: list[tuple[float, float]] | None = None) -> Profile:
    """Per metre of one lap: speed, pedals, on pit road (between the `pit` distances), the
    track surface (off track between the `off` distances); `slower` caps the speed through
    (m, m/s) points (a pit lane, a spin, a stop)."""
    points = knots(corners)

    def at(x: np.ndarray) -> dict[str, np.ndarray]:
        values = {}
        for name, rest in (("speed", FAST), ("brake", 0.0), ("throttle", 1.0)):
            where, value = zip(*sorted(points[name])) if points[name] else ((), ())
            values[name] = np.interp(x, [0.0, *where, LENGTH], [rest, *value, rest])
        if slower:
            where, value = zip(*slower)
            values["speed"] = np.minimum(values["speed"], np.interp(x, where, value, np.inf, np.inf))
        values["pit"] = (x >= pit[0]) & (x < pit[1]) if pit else np.zeros(len(x), bool)
        values["surface"] = np.where((x >= off[0]) & (x < off[1]), 0, 3) if off else np.full(len(x), 3)
        values["surface"] = np.where(values["pit"], 2, values["surface"])
        return values

    return at


def changed(**changes: dict[str, float]) -> tuple[Corner, ...]:
    """The track's corners with some of theirs moved: corner number -> field -> offset."""
    return tuple(dataclasses.replace(c, **{key: getattr(c, key) + value
                                           for key, value in changes.get(f"c{k}", {}).items()})
                 for k, c in enumerate(TRACK, 1))


@dataclasses.dataclass
class Drive:
    """A recording of one drive from `start` to `end` (m from the first lap's line; the lap
    counter is the number of lines crossed), each lap by its profile, standing still for
    `stand` seconds before and after; and its time (s) at every STEP metres."""

    profiles: list[Profile]
    start: float
    end: float
    stand: tuple[float, float] = (0.0, 0.0)
    without: tuple[str, ...] = ()  # channels left out
    stretch: float = 1.0  # LapDist written as this many metres per metre driven

    def __post_init__(self) -> None:
        self.metres = np.arange(self.start, self.end + STEP / 2, STEP)
        speed = np.maximum(self.values(self.metres)["speed"], 0.5)
        self.seconds = self.stand[0] + np.concatenate(
            ([0.0], np.cumsum(STEP * (1 / speed[1:] + 1 / speed[:-1]) / 2)))

    def values(self, metres: np.ndarray) -> dict[str, np.ndarray]:
        lap = np.clip(np.floor(metres / LENGTH).astype(int), 0, len(self.profiles) - 1)
        values = {}
        for k in np.unique(lap):
            part = self.profiles[k](metres[lap == k] - k * LENGTH)
            for name, column in part.items():
                values.setdefault(name, np.zeros(len(metres), column.dtype))[lap == k] = column
        return values

    def time(self, lap: int, at: float) -> float:
        """Seconds from the drive's first record to lap `lap`'s distance `at`."""
        return float(np.interp(lap * LENGTH + at, self.metres, self.seconds))

    def bytes(self) -> bytes:
        times = np.arange(0.0, self.seconds[-1] + self.stand[1], 1 / 60)
        metres = np.interp(times, self.seconds, self.metres)
        values = self.values(metres)
        moving = (times >= self.stand[0]) & (times <= self.seconds[-1])
        lap = np.floor(metres / LENGTH)
        columns = {"SessionTime": (DOUBLE, times), "SessionNum": (INT, np.zeros(len(times))),
                   "Lap": (INT, lap), "LapDist": (FLOAT, (metres - lap * LENGTH) * self.stretch),
                   "LapDistPct": (FLOAT, (metres - lap * LENGTH) / LENGTH),
                   "Speed": (FLOAT, np.where(moving, values["speed"], 0.0)),
                   "Brake": (FLOAT, values["brake"]), "Throttle": (FLOAT, values["throttle"]),
                   "OnPitRoad": (BOOL, values["pit"]),
                   "PlayerTrackSurface": (INT, np.where(values["pit"] & ~moving, 1, values["surface"]))}
        columns = {name: column for name, column in columns.items() if name not in self.without}
        dtype = np.dtype([(name, NUMPY_TYPE[code]) for name, (code, _) in columns.items()])
        records = np.zeros(len(times), dtype)
        for name, (_, column) in columns.items():
            records[name] = column
        variables = [Var(name, code, dtype.fields[name][1]) for name, (code, _) in columns.items()]
        info = f"---\nWeekendInfo:\n TrackName: constructed\n TrackLength: {LENGTH / 1000:.2f} km\n"
        return write_ibt(variables, records.tobytes(), session_info=info)


# Laps against the reference, one after another: corner -> field -> offset from the track's.
LAPS = {
    "brakes 10 m later into corner 1": {"c1": {"start": 10.0}},
    "brakes 15 m earlier into corner 2, 2 m/s faster through corner 4": {
        "c2": {"start": -15.0}, "c4": {"low": 2.0}},
    "3 km/h slower through corner 3, on the throttle 12 m later": {
        "c3": {"low": -3 / 3.6, "on": 12.0}},
    "apex 6 m later in corner 2, lifts 20 m earlier for corner 3": {
        "c2": {"apex": 6.0}, "c3": {"start": -20.0}},
}
LAP_CORNERS = [TRACK] + [changed(**change) for change in LAPS.values()]


@pytest.fixture(scope="module")
def laps(tmp_path_factory: pytest.TempPathFactory) -> tuple[Drive, telvane.LogFile]:
    """From 2800 m before the line over the reference and every lap of LAPS to 500 m past
    the last line."""
    drive = Drive([lap_profile()] + [lap_profile(c) for c in LAP_CORNERS] + [lap_profile()],
                  2800.0, LENGTH * (len(LAP_CORNERS) + 1) + 500.0)
    path = tmp_path_factory.mktemp("corners") / "constructed.ibt"
    path.write_bytes(drive.bytes())
    return drive, telvane.ibt(str(path))


@pytest.fixture(scope="module")
def table(laps: tuple[Drive, telvane.LogFile]) -> list[dict]:
    _, log = laps
    assert log.lap_times()["lap_type"].to_pylist() == ["partial"] + ["full"] * len(LAP_CORNERS) + ["partial"]
    return log.corners(1, *range(2, len(LAP_CORNERS) + 1)).to_pylist()


def truth(drive: Drive, lap: int) -> list[dict]:
    """The rows of lap `lap` (0 the reference) as the construction has them."""
    corners = LAP_CORNERS[lap]
    bounds = [0.0] + [c.start for c in TRACK] + [LENGTH]
    speed = lap_profile(corners)
    rows = []
    for k, (start, end) in enumerate(itertools.pairwise(bounds)):
        row = {"lap": lap, "corner": k, "start": start, "end": end,
               "time": 1000 * (drive.time(lap + 1, end) - drive.time(lap + 1, start)),
               "entry_speed": None}
        if k:
            ours, ref = corners[k - 1], TRACK[k - 1]
            at = speed(np.array([start, ours.apex, ref.on]))["speed"]
            row |= {"apex": ours.apex, "exit": ref.on, "entry_speed": at[0], "min_speed": at[1],
                    "exit_speed": at[2], "brake_at": ours.start if ours.braked else None,
                    "brake_delta": ours.start - ref.start if ours.braked else None,
                    "throttle_at": ours.on}
        rows.append(row)
    for row, ref in zip(rows, truth(drive, 0) if lap else rows):
        row["time_lost"] = row["time"] - ref["time"]
    return rows


TOLERANCE = {"start": 2.0, "end": 2.0, "apex": 1.0, "exit": 2.0, "brake_at": 2.0,
             "brake_delta": 2.0, "throttle_at": 2.0, "min_speed": 0.5 / 3.6,
             "exit_speed": 0.5 / 3.6, "time": 2.0, "time_lost": 2.0}


@pytest.mark.parametrize("lap", range(len(LAP_CORNERS)), ids=["the reference", *LAPS])
def test_every_column_is_the_constructed_truth(laps, table, lap):
    drive, _ = laps
    found = [row for row in table if row["lap"] == lap]
    assert [row["corner"] for row in found] == list(range(len(TRACK) + 1))
    for row, expected in zip(found, truth(drive, lap)):
        for key, value in expected.items():
            if value is None:
                assert row[key] is None, (row["corner"], key)
            else:
                assert row[key] == pytest.approx(value, abs=TOLERANCE.get(key, 0.5 / 3.6)), (
                    row["corner"], key)


@pytest.mark.parametrize("lap", range(1, len(LAP_CORNERS)), ids=list(LAPS))
def test_the_time_lost_in_the_corners_adds_up_to_the_lap_time_difference(laps, table, lap):
    _, log = laps
    durations = log.lap_times()["duration"].to_pylist()
    lost = sum(row["time_lost"] for row in table if row["lap"] == lap)
    assert lost == pytest.approx(durations[lap + 1] - durations[1], abs=1.0)


def drive_of(*profiles: Profile, start: float, end: float, **options: object) -> telvane.LogFile:
    return telvane.ibt(Drive(list(profiles), start, end, **options).bytes())


PIT_LANE = [(150.0, 0.5), (200.0, 16.0), (380.0, 16.0), (400.0, 6.0), (420.0, 16.0),
            (600.0, 16.0), (800.0, FAST)]
CORNERS = [(c.apex, c.start) for c in TRACK]
SCRUB = [(1500.0, FAST), (1540.0, FAST - 8 / 3.6), (1600.0, FAST)]  # flat out, no pedal moves
# A drive, the row of the lap that is the reference, and the (apex, start) of the corners on it.
WHERE_THE_CAR_IS = {
    "an out lap from the pit box: none in the pit lane": (
        lambda: drive_of(lap_profile(pit=(0.0, 600.0), slower=PIT_LANE), lap_profile(),
                         start=150.0, end=LENGTH + 10.0, stand=(2.0, 0.0)), 0, CORNERS[1:]),
    "the same out lap in a recording without PlayerTrackSurface": (
        lambda: drive_of(lap_profile(pit=(0.0, 600.0), slower=PIT_LANE), lap_profile(),
                         start=150.0, end=LENGTH + 10.0, stand=(2.0, 0.0),
                         without=("PlayerTrackSurface",)), 0, CORNERS[1:]),
    "a spin off track between corners 2 and 3": (
        lambda: drive_of(lap_profile(), lap_profile(off=(1280.0, 1400.0),
                         slower=[(1250.0, FAST), (1300.0, 10.0), (1500.0, FAST)]), lap_profile(),
                         start=2900.0, end=2 * LENGTH + 10.0), 1, CORNERS),
    "slowing to walking pace on track and driving on": (
        lambda: drive_of(lap_profile(), lap_profile(slower=[(1250.0, FAST), (1300.0, 0.5),
                                                           (1500.0, FAST)]), lap_profile(),
                         start=2900.0, end=2 * LENGTH + 10.0), 1, CORNERS),
    "a stop on track after corner 3": (
        lambda: drive_of(lap_profile(), lap_profile(slower=[(2000.0, FAST), (2100.0, 0.5)]),
                         start=2900.0, end=LENGTH + 2100.0, stand=(0.0, 5.0)), 1, CORNERS[:3]),
    "a shallow oval: two lifts of 30 km/h": (
        lambda: drive_of(*[lap_profile((Corner(700.0, 52.0, 500.0, 760.0, braked=False),
                                        Corner(2200.0, 52.0, 2000.0, 2260.0, braked=False)))] * 3,
                         start=2900.0, end=2 * LENGTH + 10.0), 1, [(700.0, 500.0), (2200.0, 2000.0)]),
    "a gear change losing 3 km/h is no corner, a lift of 8 km/h is": (
        lambda: drive_of(*[lap_profile((Corner(1540.0, FAST - 8 / 3.6, 1500.0, 1560.0, braked=False),),
                                       slower=[(600.0, FAST), (601.0, FAST - 3 / 3.6), (640.0, FAST)])] * 3,
                         start=2900.0, end=2 * LENGTH + 10.0), 1, [(1540.0, 1500.0)]),
    "flat out, scrubbing 8 km/h: the corner starts where the car slows": (
        lambda: drive_of(*[lap_profile((), slower=SCRUB)] * 3, start=2900.0, end=2 * LENGTH + 10.0),
        1, [(1540.0, 1500.0)]),
}


@pytest.mark.parametrize("case", WHERE_THE_CAR_IS.values(), ids=WHERE_THE_CAR_IS)
def test_corners_are_found_where_the_car_is_on_track_and_moving(case):
    make, row, expected = case
    found = make().corners(row).to_pylist()[1:]
    assert [[r["apex"], r["start"]] for r in found] == [
        pytest.approx(pair, abs=1.0) for pair in expected]
    for r in found:
        assert r["start"] < r["apex"] <= r["exit"] <= r["end"]


def test_a_lap_that_does_not_drive_a_corner_on_track_has_nulls_there():
    """The out lap from the box is on pit road through corner 1 and does not cross the line
    at its start; the in-lap stops on track after corner 3."""
    log = drive_of(lap_profile(pit=(0.0, 600.0), slower=PIT_LANE), lap_profile(),
                   lap_profile(slower=[(2000.0, FAST), (2100.0, 0.5)]),
                   start=150.0, end=2 * LENGTH + 2100.0, stand=(2.0, 5.0))
    assert log.lap_times()["lap_type"].to_pylist() == ["out", "full", "partial"]
    rows = log.corners(1, 0, 2).to_pylist()
    out, stopped = rows[5:10], rows[10:]
    assert [r["min_speed"] is None for r in out] == [True, True, False, False, False]
    assert [r["time"] is None for r in out] == [True, False, False, False, False]
    assert [r["min_speed"] is None for r in stopped] == [True, False, False, False, True]
    assert [r["time"] is None for r in stopped] == [False, False, False, True, True]


def test_the_time_lost_adds_up_against_a_recording_measuring_the_track_longer(laps, tmp_path):
    """Another recording of the track whose LapDist makes it 0.6 m longer: its lap still
    ends at the line."""
    drive, log = laps
    other = Drive([lap_profile()] * 3, 2900.0, 2 * LENGTH + 10.0, stretch=1 + 0.6 / LENGTH)
    path = tmp_path / "longer.ibt"
    path.write_bytes(other.bytes())
    lap = telvane.ibt(str(path)).lap(1)
    rows = telvane.corners(log.lap(1), lap).to_pylist()[len(TRACK) + 1:]
    ours, theirs = log.lap_times()["duration"][1].as_py(), lap.lap_times()["duration"][0].as_py()
    assert sum(row["time_lost"] for row in rows) == pytest.approx(theirs - ours, abs=1.0)


def test_given_corners_are_measured_as_found_ones(laps):
    _, log = laps
    found = log.corners(1, 2)
    given = log.corners(1, 2, corners=[c.apex for c in TRACK])
    assert given.column_names == found.column_names
    for name in ("start", "end", "exit", "min_speed", "brake_at", "time_lost"):
        assert given[name].to_pylist() == pytest.approx(found[name].to_pylist(), abs=1.0), name
    two = log.corners(1, 2, corners=[c.apex for c in TRACK][1::2]).to_pylist()
    assert [r["start"] for r in two[:3]] == pytest.approx([0.0, 900.0, 2270.0], abs=2.0)


@pytest.mark.parametrize("given", [[1000.0, 400.0], [400.0, 400.0], [math.nan], [-5.0], [LENGTH + 1]])
def test_given_corners_are_apexes_along_the_lap(laps, given):
    _, log = laps
    with pytest.raises(ValueError, match=r"^corners must be apexes in metres from the line"):
        log.corners(1, corners=given)


def test_laps_of_two_tracks_are_refused_as_delta_refuses_them(laps, synthetic):
    _, log = laps
    other = telvane.ibt(synthetic)
    with pytest.raises(ValueError) as delta:
        telvane.delta(log.lap(1), other.lap(1))
    with pytest.raises(ValueError, match=r"^cannot compare laps of different tracks") as corners:
        telvane.corners(log.lap(1), other.lap(1))
    assert str(corners.value) == str(delta.value)
    with pytest.raises(ValueError, match=r"^<bytes>: expected a LogFile holding one lap, as lap"):
        telvane.corners(other)


def test_the_real_recording_has_its_corners_where_the_car_is_on_track(sample):
    """Read again independently: at every apex the car is on the racing surface, off pit road,
    at the speed the table gives; it brakes before the apex."""
    log = telvane.ibt(str(sample))
    rows = [row for row in log.corners(0).to_pylist() if row["corner"]]
    assert rows
    reference = ReferenceFile(sample.read_bytes())
    read = {name: reference.read(reference.find_var(name).offset, dtype) for name, dtype in (
        ("LapDist", "<f4"), ("Speed", "<f4"), ("OnPitRoad", "u1"), ("PlayerTrackSurface", "<i4"))}
    for row in rows:
        at = int(np.argmin(np.abs(read["LapDist"] - row["apex"])))
        assert read["PlayerTrackSurface"][at] == 3 and not read["OnPitRoad"][at]
        assert read["Speed"][at] == pytest.approx(row["min_speed"], abs=0.5 / 3.6)
        assert row["brake_at"] is None or row["brake_at"] < row["apex"]
    on_pit_road = read["LapDist"][read["OnPitRoad"] != 0]
    assert all(row["start"] > on_pit_road.max() for row in rows)

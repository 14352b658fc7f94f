"""Racing laps, sectors, traces by distance and the delta between laps: behaviour tables on
small recordings, line crossings against recordings driven with known crossing times, and
the real recording and the bundled sample against an independent reading of their bytes."""

from __future__ import annotations

import numpy as np
import pyarrow as pa
import pytest

import telvane
from reference_reader import ReferenceFile
from telvane._writer import BOOL, DOUBLE, FLOAT, INT, Var, write_ibt
from telvane.racing import sector_starts

TYPES = {"SessionTime": DOUBLE, "SessionNum": INT, "Lap": INT, "LapDist": FLOAT, "LapDistPct": FLOAT,
         "PlayerTrackSurface": INT, "OnPitRoad": BOOL, "LapLastLapTime": FLOAT, "Speed": FLOAT, "Gear": INT}
NUMPY = {DOUBLE: "<f8", INT: "<i4", FLOAT: "<f4", BOOL: "u1"}
NAN = float("nan")


def recording(session_info: str = "", **columns) -> telvane.LogFile:
    """A recording of the given per-record columns; `ticks` (60 Hz) stand for SessionTime."""
    ticks = columns.pop("ticks", None)
    n = len(next(iter(columns.values())))
    columns.setdefault("SessionTime", 100.0 + np.asarray(range(n) if ticks is None else ticks, float) / 60)
    variables, formats, offset = [], [], 0
    for name in columns:
        variables.append(Var(name, TYPES[name], offset))
        formats.append((name, NUMPY[TYPES[name]]))
        offset += np.dtype(NUMPY[TYPES[name]]).itemsize
    records = np.zeros(n, np.dtype(formats))
    for name, values in columns.items():
        records[name] = values
    return telvane.ibt(write_ibt(variables, records.tobytes(), session_info=session_info))


def rows(log: telvane.LogFile) -> list[tuple]:
    names = ["num", "session", "lap_type", "first_record", "end_record", "start_at_line", "end_at_line", "reset"]
    return [tuple(row[name] for name in names) for row in log.lap_times().to_pylist()]


# columns of a recording -> (num, session, lap_type, first, end, start_at_line, end_at_line, reset) per lap
LAP_CASES = {
    "placement frame at the start is no lap": (
        dict(Lap=[0, 2, 2, 2, 3, 3], PlayerTrackSurface=[-1, 3, 3, 3, 3, 3], LapDistPct=[0, .95, .97, .99, .01, .03]),
        [(2, 0, "partial", 1, 4, False, True, False), (3, 0, "partial", 4, 6, True, False, False)]),
    "reset: the counter resumes in the pits": (
        dict(Lap=[4, 4, 4, 0, 4, 4, 4, 5, 5], PlayerTrackSurface=[3, 3, 3, -1, 1, 1, 2, 3, 3],
             OnPitRoad=[0, 0, 0, 0, 1, 1, 1, 0, 0], LapDistPct=[.3, .31, .32, 0, .96, .96, .98, .005, .02]),
        [(4, 0, "partial", 0, 3, False, False, True), (4, 0, "out", 4, 7, False, True, False),
         (5, 0, "partial", 7, 9, True, False, False)]),
    "placement frame at distance 0 without a track surface": (
        dict(Lap=[5, 5, 0, 5, 5], LapDist=[900, 910, 0, 20, 30], LapDistPct=[.9, .91, 0, .02, .03]),
        [(5, 0, "partial", 0, 2, False, False, True), (5, 0, "partial", 3, 5, False, False, False)]),
    "a long stretch at lap 0 off the world is driving, not a frame": (
        dict(Lap=[0, 0, 0, 1, 1], PlayerTrackSurface=[-1, -1, -1, 3, 3], LapDistPct=[.97, .98, .99, .005, .02]),
        [(0, 0, "partial", 0, 3, False, True, False), (1, 0, "partial", 3, 5, True, False, False)]),
    "a jump across the line that a reset makes is no crossing": (
        dict(Lap=[6, 6, 7, 7], LapDistPct=[.90, .93, .08, .09]),
        [(6, 0, "partial", 0, 2, False, False, False), (7, 0, "partial", 2, 4, False, False, False)]),
    "sessions from SessionNum, the clock starting again": (
        dict(ticks=[500, 501, 502, 0, 1, 2], SessionNum=[0, 0, 0, 1, 1, 1], Lap=[3, 3, 3, 0, 0, 0],
             LapDistPct=[.97, .98, .99, .003, .01, .02]),
        [(3, 0, "partial", 0, 3, False, False, False), (0, 1, "partial", 3, 6, False, False, False)]),
    "a session change splits a lap whose counter goes on": (
        dict(SessionNum=[0, 0, 1, 1], Lap=[2, 2, 2, 2], LapDistPct=[.5, .51, .52, .53]),
        [(2, 0, "partial", 0, 2, False, False, False), (2, 1, "partial", 2, 4, False, False, False)]),
    "without SessionNum, the counter back at 0 starts a session": (
        dict(ticks=[900, 901, 902, 0, 1, 2], Lap=[3, 3, 4, 0, 0, 1]),
        [(3, 0, "partial", 0, 2, False, True, False), (4, 0, "incomplete", 2, 3, True, False, False),
         (0, 1, "partial", 3, 5, False, True, False), (1, 1, "incomplete", 5, 6, True, False, False)]),
    "a gap in time splits a lap": (
        dict(ticks=[0, 1, 2, 50, 51], Lap=[1] * 5, LapDistPct=[.1, .11, .12, .5, .51]),
        [(1, 0, "partial", 0, 3, False, False, False), (1, 0, "partial", 3, 5, False, False, False)]),
    "a clock gone far back splits a lap": (
        dict(ticks=[100, 101, 10, 11], Lap=[1] * 4),
        [(1, 0, "partial", 0, 2, False, False, False), (1, 0, "partial", 2, 4, False, False, False)]),
    "a frozen or briefly backward clock, a NaN time: one lap": (
        dict(SessionTime=[1.0, 1.01, 1.01, 1.01, 1.0, NAN, 1.03], Lap=[1] * 7),
        [(1, 0, "partial", 0, 7, False, False, False)]),
    "laps of one and two records; the counter alone tells a crossing": (
        dict(Lap=[1, 2, 2, 3]),
        [(1, 0, "incomplete", 0, 1, False, True, False), (2, 0, "full", 1, 3, True, True, False),
         (3, 0, "incomplete", 3, 4, True, False, False)]),
    "without LapDistPct, a counter that skips tells none": (
        dict(Lap=[0, 0, 1, 1, 3, 3], OnPitRoad=[1, 1, 0, 0, 0, 1]),
        [(0, 0, "out", 0, 2, False, True, False), (1, 0, "partial", 2, 4, True, False, False),
         (3, 0, "in", 4, 6, False, False, False)]),
    "no Lap: no laps": (dict(Speed=[1.0, 2.0]), []),
    "no records": (dict(Lap=[]), []),
}


@pytest.mark.parametrize("columns, expected", LAP_CASES.values(), ids=LAP_CASES.keys())
def test_racing_laps(columns, expected):
    log = recording(**columns)
    laps = log.lap_times()
    assert rows(log) == expected
    seconds = log["SessionTime"].column(1).to_numpy()
    for lap in laps.to_pylist():  # times off the line are those of the first and last record
        if not lap["start_at_line"]:
            assert lap["start_time"] == pytest.approx(seconds[lap["first_record"]] * 1000, nan_ok=True)
        if not lap["end_at_line"]:
            assert lap["end_time"] == pytest.approx(seconds[lap["end_record"] - 1] * 1000, nan_ok=True)
    assert laps.schema.field("duration").type == pa.float64()


def test_best_is_the_first_shortest_full_lap_of_each_session_and_never_wraps():
    log = recording(Lap=[1, 2, 2, 3, 3, 4, 1, 2, 2, 2, 3], SessionNum=[0] * 6 + [1] * 5)
    assert [lap["best"] for lap in log.lap_times().to_pylist()] == [False, True, False, False, False, True, False]
    log = recording(SessionTime=[-1e300, 1e300, 1.0, 1.01, 1.02, 1.03, 1.04], Lap=[1, 1, 2, 3, 3, 4, 4])
    laps = log.lap_times().to_pylist()
    assert [lap["best"] for lap in laps] == [False, False, False, True, False]
    assert not any(lap["duration"] < 0 for lap in laps)


def drive(length: float, seconds: float, position, offset: float = 50.0, lag: int = 0, **extra) -> dict:
    """Columns of a car moving by `position(t)` metres on a track of `length` m, sampled at
    60 Hz from SessionTime `offset`; the counter changes `lag` records after the wrap."""
    t = np.arange(int(seconds * 60)) / 60
    x = position(t)
    laps = np.floor(x / length).astype(int)
    laps = np.concatenate((laps[lag:], np.full(lag, laps[-1]))) if lag >= 0 else \
        np.concatenate((np.full(-lag, laps[0]), laps[:lag]))
    fraction = (x % length) / length
    return dict(SessionTime=offset + t, Lap=laps, LapDistPct=fraction, LapDist=fraction * length, **extra)


def accelerating(t):
    return 30 * t + 2.0 * t * t


def when_accelerating(x):
    return (-30 + np.sqrt(900 + 8 * x)) / 4  # inverse of accelerating()


SPLITS = "SplitTimeInfo:\n Sectors:\n - SectorNum: 0\n   SectorStartPct: 0.000000\n" \
         " - SectorNum: 1\n   SectorStartPct: 0.250000\n - SectorNum: 2\n   SectorStartPct: 0.600000\n"


@pytest.mark.parametrize("lag", [-2, -1, 0, 1, 3])
def test_crossings_and_sectors_are_interpolated_between_ticks(lag):
    log = recording(SPLITS, **drive(400.0, 20.0, accelerating, lag=lag))  # crossings at 400, 800, 1200 m
    laps = log.lap_times().to_pylist()
    assert [lap["lap_type"] for lap in laps] == ["partial", "full", "full", "partial"]
    crossing = 50_000 + 1000 * when_accelerating(np.array([400.0, 800.0, 1200.0]))
    assert [lap["start_time"] for lap in laps[1:]] == pytest.approx(crossing, abs=0.5)
    assert [lap["end_time"] for lap in laps[:-1]] == pytest.approx(crossing, abs=0.5)
    assert [lap["best"] for lap in laps] == [False, False, True, False]

    sectors = log.sectors().to_pylist()
    timed = {(row["lap"], row["sector"]): row for row in sectors}
    # the first lap, from the recording's start, has its last two sectors; the last, to 1398 m, its first
    assert sorted(timed) == [(0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2), (3, 0)]
    for (lap, sector), row in timed.items():
        start, end = 400 * lap + 400 * np.array([[0.0, 0.25, 0.6], [0.25, 0.6, 1.0]])[:, sector]
        assert row["start_time"] == pytest.approx(50_000 + 1000 * when_accelerating(start), abs=0.5)
        assert row["duration"] == pytest.approx(1000 * (when_accelerating(end) - when_accelerating(start)), abs=0.5)
    # the car gets ever faster: each sector's best is its latest time
    assert {row["sector"]: row["lap"] for row in sectors if row["best"]} == {0: 3, 1: 2, 2: 2}
    assert log.theoretical_best() == pytest.approx({0: sum(row["duration"] for row in sectors if row["best"])})


@pytest.mark.parametrize("text, starts", [
    (SPLITS, [0.0, 0.25, 0.6]),
    ("WeekendInfo:\n TrackName: x\n" + SPLITS + "CarSetup:\n SectorStartPct: 0.9\n", [0.0, 0.25, 0.6]),
    ("SplitTimeInfo:\n Sectors:\n - SectorNum: 0\n   SectorStartPct: 0.000000\n", [0.0]),
    ("SplitTimeInfo:\n Sectors:\n", []),
    ("WeekendInfo:\n TrackName: x\n", []),
    ("SplitTimeInfo:\n Sectors:\n - SectorNum: 0\n   SectorStartPct: 0.3\n", []),  # no sector starts at the line
])
def test_sector_starts_from_the_session_info(text, starts):
    assert sector_starts(text) == starts


def test_no_sectors_without_sector_lines_or_lap_distance():
    driven = drive(400.0, 20.0, accelerating)
    assert recording(**driven).sectors().num_rows == 0
    del driven["LapDistPct"], driven["LapDist"]
    log = recording(SPLITS, **driven)
    assert log.sectors().num_rows == 0 and log.theoretical_best() == {}


@pytest.mark.parametrize("lag", [-1, 0, 2])
def test_by_distance_resamples_linear_channels_and_holds_steps(lag):
    columns = drive(400.0, 20.0, accelerating, lag=lag)
    x = accelerating(columns["SessionTime"] - 50.0)
    log = recording(**columns, Speed=30 + 4 * (columns["SessionTime"] - 50.0), Gear=(x // 100) % 5 + 1)
    table = log.lap(1).by_distance(["Speed", "Gear"], step=2.0)
    assert table.column_names == ["distance", "Speed", "Gear"] and table.schema.field("Gear").type == pa.int32()
    distance = table["distance"].to_numpy()
    assert distance[0] == 0.0 and distance[-1] == 400.0 and np.all(np.diff(distance) == 2.0)
    at = 400.0 + distance
    # values within a few records of the line may be held from the lap's first or last record
    inner = (distance > 3) & (distance < 397)
    assert table["Speed"].to_numpy()[inner] == pytest.approx(np.sqrt(900 + 8 * at[inner]), abs=0.01)
    assert table["Speed"].to_numpy()[[0, -1]] == pytest.approx(np.sqrt(900 + 8 * at[[0, -1]]), abs=0.3)
    clear = np.abs((at + 50) % 100 - 50) > 1.0  # a record's step (at most 1 m) away from a change of gear
    assert np.array_equal(table["Gear"].to_numpy()[clear], ((at // 100) % 5 + 1)[clear])


def test_by_distance_needs_one_lap_and_known_names():
    log = recording(**drive(400.0, 20.0, accelerating))
    with pytest.raises(ValueError, match="expected a LogFile holding one lap, as lap\\(\\) returns, not 4 laps"):
        log.by_distance()
    with pytest.raises(KeyError, match="no channel named 'Sped'"):
        log.lap(1).by_distance(["LapDist", "Sped"])
    with pytest.raises(ValueError, match="step must be a positive number of metres"):
        log.lap(1).by_distance("LapDist", step=0)
    started = recording(**drive(400.0, 20.0, lambda t: 7.4 + 30 * t)).lap(0).by_distance("LapDist")
    assert started["distance"][0].as_py() == 8.0  # a lap not started at the line: from its first whole metre


def test_delta_against_a_lap_of_another_recording():
    reference = recording(**drive(1000.0, 70.0, lambda t: 40 * t))
    slower = recording(**drive(1000.0, 70.0, lambda t: 40 * t - 0.05 * t * t, offset=3.007))
    table = telvane.delta(reference.lap(1), slower.lap(1))
    distance = table["distance"].to_numpy()
    assert distance[0] == 0.0 and distance[-1] == 1000.0
    # lap 1 of the slower car runs from 1000 m to 2000 m: t(x) solves 40 t - 0.05 t^2 = x
    def when(x):
        return (40 - np.sqrt(1600 - 0.2 * x)) / 0.1

    expected = 1000 * (when(1000 + distance) - when(1000.0)) - 1000 * distance / 40
    assert table["delta"].to_numpy() == pytest.approx(expected, abs=1.0)
    assert telvane.delta(slower.lap(1), slower.lap(1))["delta"].to_numpy() == pytest.approx(0, abs=1e-9)
    joined = recording(**drive(1000.0, 30.0, lambda t: 250 + 40 * t)).lap(0)  # from 250 m, as fast
    table = telvane.delta(reference.lap(1), joined)
    assert table["distance"][0].as_py() == 250.0 and table["delta"].to_numpy() == pytest.approx(0, abs=1.0)
    with pytest.raises(ValueError, match="not 3 laps"):
        telvane.delta(reference, slower.lap(1))


def test_lap_and_find_laps_address_racing_rows():
    log = recording(**drive(400.0, 20.0, accelerating, PlayerTrackSurface=np.r_[-1, np.full(1199, 3)]))
    laps = log.lap_times()
    assert laps["first_record"][0].as_py() == 1  # the placement frame is in no lap
    for row in range(laps.num_rows):
        part = log.lap(row)
        first, end = laps["first_record"][row].as_py(), laps["end_record"][row].as_py()
        assert part.timecodes.to_pylist() == log.timecodes.to_pylist()[first:end]
        assert part.lap_times().drop_columns(["first_record", "end_record"]).equals(
            laps.slice(row, 1).drop_columns(["first_record", "end_record"]))
        assert part.lap_times()["first_record"].to_pylist() == [0]
    assert log.find_laps(lap_type="full") == [1, 2] and log.find_laps(num=3, session=0) == [3]
    assert log.find_laps(session=1) == []


def test_derived_logfiles_describe_themselves():
    log = recording(**drive(400.0, 20.0, accelerating))
    parent = dict(log.metadata)
    for part in (log.lap(1), log.time_range(55_000, 60_000)):
        seconds = part["SessionTime"].column(1).to_numpy()
        assert part.metadata is not log.metadata and log.metadata == parent
        assert (part.metadata["record_count"], part.metadata["start_time"], part.metadata["end_time"]) == (
            len(part), seconds[0], seconds[-1])
        assert part.metadata["lap_count"] == part.lap_times().num_rows
    assert log.time_range(55_000, 60_000).lap_times().num_rows == 0  # no lap lies wholly inside
    assert log.time_range(0, 10**9).lap_times().equals(log.lap_times())


# -- whole recordings, read independently -------------------------------------------------------

def columns_of(data: bytes) -> dict[str, np.ndarray]:
    reference = ReferenceFile(data)
    values = {}
    for name in ("SessionTime", "SessionNum", "Lap", "LapDist", "PlayerTrackSurface", "LapLastLapTime", "OnPitRoad"):
        var = reference.find_var(name)
        values[name] = reference.read(var.offset, NUMPY[var.type])
    return values


@pytest.fixture(params=["real", "synthetic"])
def whole(request, synthetic) -> tuple[telvane.LogFile, dict[str, np.ndarray]]:
    data = request.getfixturevalue("sample").read_bytes() if request.param == "real" else synthetic
    return telvane.ibt(data), columns_of(data)


def test_recordings_laps_against_an_independent_reading(whole):
    log, values = whole
    laps = log.lap_times().to_pylist()
    covered = np.zeros(len(values["Lap"]), bool)
    for lap in laps:
        span = slice(lap["first_record"], lap["end_record"])
        assert not covered[span].any()
        covered[span] = True
        assert {int(v) for v in values["Lap"][span]} == {lap["num"]}
        assert {int(v) for v in values["SessionNum"][span]} == {lap["session"]}
        assert np.all(np.abs(np.diff(values["SessionTime"][span])) < 5 / 60)
        assert lap["reset"] == bool(lap["end_record"] < len(covered) and values["PlayerTrackSurface"][lap["end_record"]] == -1
                                    and values["SessionNum"][lap["end_record"] + 1] == lap["session"])
    # records in no lap are the placement frames: one record each, counter 0, not in the world
    left = np.flatnonzero(~covered)
    assert np.all(values["Lap"][left] == 0) and np.all(values["PlayerTrackSurface"][left] == -1)
    assert np.all(np.diff(left) > 1)
    # every full lap agrees with the simulator's own time of it, shown a few records later
    shown = values["LapLastLapTime"]
    for lap in laps:
        if lap["lap_type"] == "full":
            later = shown[lap["end_record"]:lap["end_record"] + 60]
            changed = later[np.flatnonzero(later != shown[lap["end_record"] - 1])[0]]
            assert lap["duration"] == pytest.approx(changed * 1000, abs=2.0)


def test_a_read_of_some_channels_keeps_the_racing_laps(synthetic, write_file):
    path = write_file(synthetic)
    whole = telvane.ibt(path)
    with telvane.open(path) as recording:
        part = recording.read(["Speed"])
    assert part.channel_names == ["Speed"] and part.lap_times().equals(whole.lap_times())
    assert part.lap(1).timecodes.equals(whole.lap(1).timecodes)
    assert part.time_range(0, 10**9).laps.equals(whole.laps)


def test_the_real_recordings_one_out_lap(sample):
    log, seconds = telvane.ibt(sample), columns_of(sample.read_bytes())["SessionTime"]
    start, end = seconds[0] * 1000, seconds[-1] * 1000
    assert log.lap_times().to_pylist() == [dict(
        num=0, session=0, lap_type="out", start_time=start, end_time=end, duration=end - start, first_record=0,
        end_record=len(seconds), start_at_line=False, end_at_line=False, reset=False, best=False)]


def test_the_sample_has_what_real_recordings_have(synthetic):
    log = telvane.ibt(synthetic)
    laps = log.lap_times().to_pylist()
    # practice: out lap, flying laps, a lap cut short by a reset, out of the box again, in lap;
    # qualifying with SessionTime started again: out lap, a flying lap, a lap the recording cuts
    assert [(lap["session"], lap["lap_type"], lap["reset"]) for lap in laps] == [
        (0, "out", False), (0, "full", False), (0, "full", False), (0, "partial", True), (0, "out", False),
        (0, "in", False), (1, "out", False), (1, "full", False), (1, "partial", False)]
    assert laps[6]["start_time"] < laps[5]["end_time"]
    # the raw table counts each placement frame as a lap that starts a session
    raw = log.laps.to_pylist()
    assert len(raw) == len(laps) + 1 and [lap["session"] for lap in raw][-1] == 2
    assert len(sector_starts(log.metadata["session_info_yaml"])) == 3
    assert set(log.theoretical_best()) == {0, 1}
    assert all(best <= min(lap["duration"] for lap in laps if lap["best"] and lap["session"] == session)
               for session, best in log.theoretical_best().items())
    torque = ReferenceFile(synthetic).find_var("SteeringWheelTorque_ST")
    assert (torque.count, torque.type) == (6, FLOAT) and "SteeringWheelTorque_ST" not in log

"""Racing laps, sectors, traces by distance, delta: small recordings with the edge cases real
files have, cars driven with known crossing times, whole recordings read independently."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import telvane
from builders import write_channels
from conftest import run
from reference_reader import ReferenceFile
from telvane._writer import BOOL, DOUBLE, FLOAT, INT
from telvane import _racing
from telvane._racing import lap_numbered

TYPES = {"SessionTime": DOUBLE, "SessionNum": INT, "Lap": INT, "LapDist": FLOAT, "LapDistPct": FLOAT,
         "PlayerTrackSurface": INT, "OnPitRoad": BOOL, "Speed": FLOAT, "Gear": INT}


def written(columns: dict, session_info: str = "") -> bytes:
    return write_channels({name: (TYPES[name], np.asarray(values).tolist()) for name, values in columns.items()},
                          session_info=session_info)


def recording(session_info: str = "", **columns) -> telvane.LogFile:
    return telvane.ibt(written(columns, session_info))


# columns of a recording -> (num, session, lap_type, first_record, end_record, marks) per lap; marks
# name which of its start and end lie at the line and whether a reset cut it short
LAP_CASES = {
    "placement frames at the start and after a reset are no laps; the counter resumes in the pits": (
        dict(Lap=[0, 4, 4, 4, 0, 4, 4, 4, 5, 5], LapDistPct=[0, .3, .31, .32, 0, .96, .96, .98, .01, .02],
             PlayerTrackSurface=[-1, 3, 3, 3, -1, 1, 1, 2, 3, 3], OnPitRoad=[0, 0, 0, 0, 0, 1, 1, 1, 0, 0]),
        [(4, 0, "partial", 1, 4, "reset"), (4, 0, "out", 5, 8, "end"), (5, 0, "partial", 8, 10, "start")]),
    "placement frame of two records at distance 0, without a track surface": (
        dict(Lap=[5, 5, 0, 0, 5, 5], LapDist=[900, 910, 0, 0, 20, 30], LapDistPct=[.9, .91, 0, 0, .02, .03]),
        [(5, 0, "partial", 0, 2, "reset"), (5, 0, "partial", 4, 6, "")]),
    "a long stretch at lap 0 off the world is driving, not a frame": (
        dict(Lap=[0, 0, 0, 1, 1], PlayerTrackSurface=[-1, -1, -1, 3, 3],
             LapDistPct=[.97, .98, .99, .005, .02]),
        [(0, 0, "partial", 0, 3, "end"), (1, 0, "partial", 3, 5, "start")]),
    "a jump across the line that a reset makes is no crossing": (
        dict(Lap=[6, 6, 7, 7], LapDistPct=[.90, .93, .08, .09]),
        [(6, 0, "partial", 0, 2, ""), (7, 0, "partial", 2, 4, "")]),
    "a session change splits a lap whose counter goes on": (
        dict(SessionNum=[0, 0, 1, 1], Lap=[2, 2, 2, 2], LapDistPct=[.5, .51, .52, .53]),
        [(2, 0, "partial", 0, 2, ""), (2, 1, "partial", 2, 4, "")]),
    "without SessionNum, the counter back at 0 starts a session": (
        dict(SessionTime=[15.0, 15.02, 15.04, 0.0, 0.02, 0.04], Lap=[3, 3, 4, 0, 0, 1]),
        [(3, 0, "partial", 0, 2, "end"), (4, 0, "incomplete", 2, 3, "start"), (0, 1, "partial", 3, 5, "end"),
         (1, 1, "incomplete", 5, 6, "start")]),
    "a gap in time or a clock gone far back splits a lap; a frozen, briefly backward or NaN clock not": (
        dict(SessionTime=[1.0, 1.01, 1.01, 1.0, float("nan"), 1.03, 2.0, 2.01, 1.0, 1.01], Lap=[1] * 10),
        [(1, 0, "partial", 0, 6, ""), (1, 0, "partial", 6, 8, ""), (1, 0, "partial", 8, 10, "")]),
    "without LapDistPct the counter going up by one tells a crossing; laps of one and two records": (
        dict(Lap=[0, 0, 1, 2, 2, 3, 5, 5], OnPitRoad=[1, 1, 0, 0, 0, 0, 0, 1]),
        [(0, 0, "out", 0, 2, "end"), (1, 0, "incomplete", 2, 3, "start end"),
         (2, 0, "full", 3, 5, "start end"), (3, 0, "incomplete", 5, 6, "start"), (5, 0, "in", 6, 8, "")]),
    "no Lap: no laps": (dict(Speed=[1.0, 2.0]), []),
    "no records": (dict(Lap=[]), []),
}


@pytest.mark.parametrize("columns, expected", LAP_CASES.values(), ids=LAP_CASES.keys())
def test_racing_laps(columns, expected):
    marks = {"start": "start_at_line", "end": "end_at_line", "reset": "reset"}
    assert [(lap["num"], lap["session"], lap["lap_type"], lap["first_record"], lap["end_record"],
             " ".join(mark for mark, name in marks.items() if lap[name]))
            for lap in recording(**columns).lap_times().to_pylist()] == expected


def test_lap_kinds_are_the_lap_types_find_laps_takes():
    assert sorted(kind.text for kind in _racing.LapKind) == sorted(_racing.LAP_TYPES)


def drive(length: float, seconds: float, position, offset: float = 50.0, lag: int = 0, **extra) -> dict:
    """A car at `position(t)` m of a `length` m lap, 60 Hz from `offset` s; Lap turns `lag` records early."""
    t = np.arange(int(seconds * 60)) / 60
    x = position(t)
    laps = np.floor(x / length).astype(int)[np.clip(np.arange(len(t)) + lag, 0, len(t) - 1)]
    fraction = (x % length) / length
    return dict(SessionTime=offset + t, Lap=laps, LapDistPct=fraction, LapDist=fraction * length, **extra)


def accelerating(t):
    return 30 * t + 2.0 * t * t


def when_accelerating(x):
    return (-30 + np.sqrt(900 + 8 * x)) / 4  # inverse of accelerating()


def splits(*starts: str) -> str:
    return "SplitTimeInfo:\n Sectors:\n" + "".join(f" - SectorNum: {n}\n   SectorStartPct: {start}\n"
                                                   for n, start in enumerate(starts))


SPLITS = splits("0", ".25", ".6")


@pytest.mark.parametrize("lag", [-2, -1, 0, 1, 3])
def test_crossings_and_sectors_are_interpolated_between_ticks(lag):
    log = recording(SPLITS, **drive(400.0, 20.0, accelerating, lag=lag))  # crossings at 400, 800, 1200 m
    laps = log.lap_times().to_pylist()
    assert [(lap["lap_type"], lap["best"]) for lap in laps] == [
        ("partial", False), ("full", False), ("full", True), ("partial", False)]
    crossing = 50_000 + 1000 * when_accelerating(np.array([400.0, 800.0, 1200.0]))
    assert [lap["start_time"] for lap in laps[1:]] == pytest.approx(crossing, abs=0.5)
    assert [lap["end_time"] for lap in laps[:-1]] == pytest.approx(crossing, abs=0.5)

    sectors = log.sectors().to_pylist()
    # the first lap, from the recording's start, has its last two sectors; the last, to 1398 m, its first
    assert [(row["lap"], row["sector"]) for row in sectors] == [
        (0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2), (3, 0)]
    lines = np.array([400 * (row["lap"] + np.r_[0, .25, .6, 1][row["sector"]:][:2]) for row in sectors])
    times = 1000 * when_accelerating(lines)  # ms from the start at each sector's start and end
    assert [row["start_time"] for row in sectors] == pytest.approx(50_000 + times[:, 0], abs=0.5)
    assert [row["duration"] for row in sectors] == pytest.approx(times[:, 1] - times[:, 0], abs=0.5)
    # the car gets ever faster: each sector's best is its latest time
    best = [row for row in sectors if row["best"]]
    assert {row["sector"]: row["lap"] for row in best} == {0: 3, 1: 2, 2: 2}
    assert log.theoretical_best() == pytest.approx({0: sum(row["duration"] for row in best)})


def test_sector_bests_leave_out_laps_out_and_a_theoretical_best_needs_every_sector():
    def slowing(t):  # fastest first: the out lap's sectors would be the best ones
        return 60 * t - 0.5 * t * t

    log = recording(SPLITS, **drive(400.0, 20.0, slowing, OnPitRoad=(np.arange(1200) < 3).astype(int)))
    assert [(row["sector"], row["lap"]) for row in log.sectors().to_pylist() if row["best"]] == [
        (0, 1), (1, 1), (2, 1)]
    assert list(log.theoretical_best()) == [0]
    assert recording(SPLITS, **drive(400.0, 6.0, slowing)).theoretical_best() == {}  # sector 1 only


@pytest.mark.parametrize("lag", [-1, 0, 2])
def test_by_distance_resamples_linear_channels_and_holds_steps(lag):
    columns = drive(400.0, 20.0, lambda t: np.round(60 * t), lag=lag)  # a record on every metre
    x = np.round(60 * (columns["SessionTime"] - 50.0))
    log = recording(**columns, Speed=30 + x / 15, Gear=((x + 50) // 100 % 5 + 1).astype(int))
    table = log.lap(1).by_distance(["Speed", "Gear"], step=2.5)
    assert table.column_names == ["distance", "Speed", "Gear"] and table.schema.field("Gear").type == "int32"
    distance, at = table["distance"].to_numpy(), 400.0 + table["distance"].to_numpy()
    assert distance[0] == 0.0 and distance[-1] == 400.0 and np.all(np.diff(distance) == 2.5)
    # values within a few records of the line may be held from the lap's first or last record
    tolerance = np.where((distance > 3) & (distance < 397), 1e-3, 0.3)
    assert np.all(np.abs(table["Speed"].to_numpy() - (30 + at / 15)) < tolerance)
    assert np.array_equal(table["Gear"].to_numpy(), (at + 50) // 100 % 5 + 1)  # held from its record on


def test_delta_against_a_lap_of_another_recording():
    reference = recording(**drive(1000.0, 70.0, lambda t: 40 * t))
    slower = recording(**drive(1000.0, 70.0, lambda t: 40 * t - 0.05 * t * t, offset=3.007))
    table = telvane.delta(reference.lap(1), slower.lap(1))
    distance = table["distance"].to_numpy()
    assert distance[0] == 0.0 and distance[-1] == 1000.0
    when = (40 - np.sqrt(1600 - 0.2 * (1000 + distance))) / 0.1  # the slower lap 1 runs from 1000 m to 2000 m
    expected = 1000 * (when - when[0]) - 1000 * distance / 40
    assert table["delta"].to_numpy() == pytest.approx(expected, abs=1.0)
    joined = recording(**drive(1000.0, 30.0, lambda t: 250 + 40 * t)).lap(0)  # from 250 m, as fast
    table = telvane.delta(reference.lap(1), joined)
    assert table["distance"][0].as_py() == 250.0 and table["delta"].to_numpy() == pytest.approx(0, abs=1.0)


# -- whole recordings, read independently -------------------------------------------------------

def columns_of(data: bytes) -> dict[str, np.ndarray]:
    reference = ReferenceFile(data)
    names = ("SessionTime", "SessionNum", "Lap", "PlayerTrackSurface")
    return {var.name: reference.read(var.offset, "<f8" if var.type == DOUBLE else "<i4")
            for var in map(reference.find_var, names)}


@pytest.mark.parametrize("real", [True, False], ids=["real", "synthetic"])
def test_recordings_laps_against_an_independent_reading(real, request, synthetic):
    data = request.getfixturevalue("sample").read_bytes() if real else synthetic
    laps, values = telvane.ibt(data).lap_times().to_pylist(), columns_of(data)
    covered = np.zeros(len(values["Lap"]), bool)
    for lap in laps:
        span = slice(lap["first_record"], lap["end_record"])
        assert not covered[span].any()
        covered[span] = True
        assert (set(values["Lap"][span]), set(values["SessionNum"][span])) == ({lap["num"]}, {lap["session"]})
        assert np.all(np.abs(np.diff(values["SessionTime"][span])) < 5 / 60)
        after = lap["end_record"]
        assert lap["reset"] == bool(after < len(covered) and values["PlayerTrackSurface"][after] == -1
                                    and values["SessionNum"][after + 1] == lap["session"])
        assert lap["start_at_line"] or lap["start_time"] == values["SessionTime"][lap["first_record"]] * 1000
        assert lap["end_at_line"] or lap["end_time"] == values["SessionTime"][after - 1] * 1000
    # records in no lap are the placement frames: one record each, counter 0, not in the world
    left = np.flatnonzero(~covered)
    assert np.all(values["Lap"][left] == 0) and np.all(values["PlayerTrackSurface"][left] == -1)
    assert np.all(np.diff(left) > 1)


# -- the lap model on hostile data ----------------------------------------------------------------

def track(name: str, km: float) -> str:
    return f"WeekendInfo:\n TrackName: {name}\n TrackLength: {km:.2f} km\n"


def wrap_into(negative: float) -> bytes:
    """Laps 1, 2, 3; the simulator's LapDistPct wraps into `negative` as lap 2 begins."""
    pct = [.80, .85, .90, .95, .96875, negative, .2, .4, .6, .8, .97, .01, .05]
    return write_channels({"Lap": (INT, [1] * 5 + [2] * 6 + [3] * 2), "LapDistPct": (FLOAT, pct)})


def with_distance(value: float) -> bytes:
    """Laps of 400 m, the last to 839 m; one of its records at `value` m."""
    columns = drive(400.0, 14.0, lambda t: 60 * t)
    columns["LapDist"][820] = value
    return written(columns)


def two_sessions() -> bytes:
    """The same track in two sessions, faster in the second."""
    slow, fast = drive(400.0, 20.0, accelerating), drive(400.0, 20.0, lambda t: 30 * t + 2.5 * t * t)
    columns = {name: np.concatenate((slow[name], fast[name])) for name in slow}
    return written({**columns, "SessionNum": np.repeat([0, 1], 1200)})


def standing_after_a_reset() -> bytes:
    """Lap 3 driven, a reset, then the car standing in its pit stall for 5 s, Lap still 3."""
    n = 300
    columns = {"Lap": [3] * 60 + [0] + [3] * n, "PlayerTrackSurface": [3] * 60 + [-1] + [1] * n,
               "OnPitRoad": [0] * 60 + [0] + [1] * n, "Speed": [50.0] * 60 + [0.0] + [0.1] * n,
               "LapDistPct": [.5 + r / 1000 for r in range(60)] + [0.0] + [.03] * n,
               "LapDist": [2000 + r * 4.0 for r in range(60)] + [0.0] + [120.0] * n}
    return written(columns)


def lap_shapes(log):
    return [(lap["lap_type"], 0 <= lap["duration"] < float("inf")) for lap in log.lap_times().to_pylist()]


def sector_count(log):
    return log.sectors().num_rows


def message_of(call):
    try:
        return call()
    except (ValueError, LookupError) as error:
        return f"{type(error).__name__}: {error}"


DRIVEN = drive(400.0, 20.0, accelerating)
ROLLING_BACK = [.02, .06, .10, .14, .18, .22, .26, .24, .27, *np.arange(.30, .99, .04).round(2)]
SECTORS = lambda info: recording(info, **DRIVEN)  # noqa: E731
MANY = [f"{k / 20_000:.6f}" for k in range(20_000)]
PITS = LAP_CASES["placement frames at the start and after a reset are no laps; the counter resumes in the pits"][0]
# recording -> what to ask of it, its answer, and the warnings given
HOSTILE = {
    "a wrap into a negative LapDistPct is no crossing, and no lap has a negative duration": (
        lambda: telvane.ibt(wrap_into(-0.0312495)), lap_shapes,
        [("partial", True)] * 3, []),
    "nor an infinite one": (lambda: telvane.ibt(wrap_into(-0.03125)), lap_shapes, [("partial", True)] * 3, []),
    "a sector start that is no number is left out": (
        lambda: SECTORS(splits("0", "-", ".25", "1.2.3", ".6")), sector_count, 9, []),
    "20,000 sector lines are no track's": (
        lambda: SECTORS(splits(*MANY)), sector_count, 0,
        ["<bytes>: ignoring its 20000 sector starts: more than 100"]),
    "unsorted sector lines": (lambda: SECTORS(splits("0", ".6", ".25")), sector_count, 0,
                              ["<bytes>: ignoring its 3 sector starts: not increasing"]),
    **{f"a sector line {where}": (lambda start=start: SECTORS(splits("0", ".5", start)), sector_count, 0,
                                  ["<bytes>: ignoring its 3 sector starts: not all within [0, 1)"])
       for where, start in (("past the lap", "1.5"), ("on the finish line", "1.0"))},
    "a sector line crossed twice (rolling back over it) ends the sector the first time": (
        lambda: telvane.ibt(written({"Lap": [1] * 2 + [2] * len(ROLLING_BACK) + [3] * 2,
                                     "LapDistPct": [.96, .98, *ROLLING_BACK, .02, .05]}, SPLITS)),
        lambda log: [(row["sector"], round(row["start_time"] * 60 / 1000, 3), round(row["end_time"] * 60 / 1000, 3))
                     for row in log.sectors().to_pylist()][:2],
        [(0, 1.5, 7.75), (1, 7.75, 18.5)], []),  # in ticks: .22 → .26 at record 7, .58 → .62 at 19
    "sessions whose clocks start again are each spanned by their own times": (
        lambda: telvane.ibt(two_sessions()),
        lambda log: [round(value, 3) if isinstance(value, float) else value
                     for value in np.ravel(_racing.recorded_time(log.lap_inputs)[1])] + [
            round(_racing.recorded_time(log.lap_inputs)[0], 3)],
        [0, 50_000.0, 69_983.333, 1, 50_000.0, 69_983.333, 39_966.667], []),
    "a distance far beyond the track is ignored": (
        lambda: telvane.ibt(with_distance(1e7)).lap(2),
        lambda lap: lap.by_distance([], step=1.0)["distance"].to_pylist()[-2:], [38.0, 39.0], []),
    "as is a NaN distance": (
        lambda: telvane.ibt(with_distance(float("nan"))).lap(2),
        lambda lap: lap.by_distance([], step=1.0)["distance"].to_pylist()[-2:], [38.0, 39.0], []),
    "traces need one lap": (lambda: recording(**DRIVEN), lambda log: message_of(log.by_distance),
                            "ValueError: <bytes>: expected a LogFile holding one lap, as lap() returns, not 4 laps", []),
    "and a step": (lambda: recording(**DRIVEN).lap(1), lambda lap: message_of(lambda: lap.by_distance(step=0)),
                   "ValueError: step must be a positive number of metres, got 0", []),
    "laps of two tracks are not compared": (
        lambda: (recording(track("oval", 0.4), **DRIVEN), recording(track("ring", 1.0), **DRIVEN)),
        lambda logs: message_of(lambda: telvane.delta(logs[0].lap(1), logs[1].lap(1))),
        "ValueError: cannot compare laps of different tracks: 'oval' (0.40 km) in <bytes> and 'ring' "
        "(1.00 km) in <bytes>", []),
    "a car standing in its pit stall makes no lap, though the raw laps show it": (
        lambda: telvane.ibt(standing_after_a_reset()),
        lambda log: (lap_shapes(log), log.laps["num"].to_pylist()), ([("partial", True)], [3, 0, 3]), []),
    "lap number N: the only lap N": (
        lambda: recording(**PITS), lambda log: message_of(lambda: lap_numbered(log.lap_times(), 5)), 2, []),
    "lap number N split by a reset, none of it full": (
        lambda: recording(**PITS), lambda log: message_of(lambda: lap_numbered(log.lap_times(), 4)),
        "LookupError: no full lap 4, and 2 laps numbered 4: row 0 (partial, session 0), row 1 (out, session 0)",
        []),
}


@pytest.mark.parametrize("make, ask, answer, warned", HOSTILE.values(), ids=HOSTILE)
def test_the_lap_model_on_hostile_data(make, ask, answer, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert ask(make()) == answer
    assert [str(warning.message) for warning in caught] == warned


def test_info_shows_a_warning_in_one_line(write_file, capsys):
    write_file(written(DRIVEN, splits("0", ".6", ".25")), "r.ibt")  # in the test's own directory
    assert run(capsys, "info", "r.ibt")[::2] == (
        0, "telvane: warning: r.ibt: ignoring its 3 sector starts: not increasing\n")

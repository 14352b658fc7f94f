"""Corners and where the time goes: corners found once on a reference lap (or given as a
track's own list), and every lap measured through the same segments, each running from the
reference's braking point for one corner to its braking point for the next, so that the
segments partition the lap and the time lost in them adds up to the lap-time difference."""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import pyarrow as pa

from telvane import _traces
from telvane._arrow import column_values, table_of

if TYPE_CHECKING:
    from telvane.base import LogFile

__all__ = ["BRAKING", "CORNERS_SCHEMA", "FULL_THROTTLE", "MARGIN", "ON_TRACK", "STOPPED",
           "corners"]

BRAKING = 0.1  # the brake past this fraction is braking
FULL_THROTTLE = 0.9  # the throttle at or past this fraction is back on
# A corner is a minimum of speed that the speed drops to and rises from by at least this
# (m/s, 5 km/h): more than a gear change loses, less than the short ovals' corners.
MARGIN = 5 / 3.6
STOPPED = 5.0  # m/s (18 km/h): slower is a car stopping, standing or starting, never a corner
ON_TRACK = 3  # PlayerTrackSurface on the racing surface

CORNERS_SCHEMA = pa.schema(
    [pa.field("lap", pa.int32(), False), pa.field("corner", pa.int32(), False),
     pa.field("start", pa.float64(), False), pa.field("end", pa.float64(), False)]
    + [pa.field(name, pa.float64()) for name in (
        "apex", "exit", "entry_speed", "min_speed", "exit_speed", "brake_at", "brake_delta",
        "throttle_at", "time", "time_lost")])

_CHANNELS = ("Speed", "Brake", "Throttle")


@dataclass(frozen=True)
class _Lap:
    """One lap along its distance: its records in order of distance (those of a car rolling
    back or standing left out) with their speed, pedals and whether the car is on track (not
    on pit road, on the racing surface); the distances it covers; and its time by distance."""

    x: np.ndarray
    speed: np.ndarray
    brake: np.ndarray
    throttle: np.ndarray
    on_track: np.ndarray
    low: float
    high: float
    distance: np.ndarray  # with `elapsed`: ms since the lap's start by distance
    elapsed: np.ndarray
    duration: float | None  # ms from line to line, for a lap that crosses both

    def at(self, values: np.ndarray, distance: float) -> float:
        return float(np.interp(distance, self.x, values))

    def time(self, distance: float, line: float) -> float:
        if distance >= line and self.duration is not None:  # its own track length may differ
            return self.duration
        return float(_traces.resample(self.elapsed, self.distance, np.array([distance]), True)[0])

    def covers(self, low: float, high: float) -> bool:
        return self.low <= low and high <= self.high

    def drives(self, low: float, high: float) -> bool:
        """Whether the lap covers the distances from `low` to `high` on track."""
        return self.covers(low, high) and bool(
            self.on_track[(self.x >= low) & (self.x <= high)].all())


def _along(log: LogFile, line: float | None) -> _Lap:
    inputs, table = log.lap_inputs, log.lap_times()
    lap = _traces.only_lap(table, inputs.file_name)
    missing = [name for name in _CHANNELS if name not in log.channels]
    if missing:
        raise ValueError(f"{inputs.file_name}: no channel named {', '.join(map(repr, missing))} "
                         f"to find corners by")
    distance = _traces.lap_distances(inputs, table)
    usable = np.isfinite(distance)
    ahead = np.maximum.accumulate(distance[usable])
    first = np.flatnonzero(np.concatenate(([True], np.diff(ahead) > 0))) if len(ahead) else ahead
    if not len(first):
        raise ValueError(f"{inputs.file_name}: the lap has no lap distance to find corners by")
    speed, brake, throttle = (column_values(log.channels[name].column(1)).astype(np.float64)
                              [usable][first] for name in _CHANNELS)
    on_track = np.ones(len(first), bool)
    if inputs.surface is not None:
        on_track &= inputs.surface[usable][first] == ON_TRACK
    if inputs.pit is not None:
        on_track &= ~inputs.pit[usable][first].astype(bool)
    x = ahead[first]
    high = line if lap["end_at_line"] and line is not None else None
    time_distance, elapsed, _ = _traces.time_by_distance(inputs, table)
    return _Lap(x, speed, brake, throttle, on_track,
                0.0 if lap["start_at_line"] else float(x[0]),
                float(x[-1]) if high is None else high, time_distance, elapsed,
                lap["duration"] if high is not None and lap["start_at_line"] else None)


def _window(lap: _Lap, values: np.ndarray, low: float, high: float
            ) -> tuple[np.ndarray, np.ndarray]:
    """The lap's records from `low` to `high` (m), with values interpolated at both ends."""
    inside = (lap.x > low) & (lap.x < high)
    x = np.concatenate(([low], lap.x[inside], [high]))
    return x, np.concatenate(([lap.at(values, low)], values[inside], [lap.at(values, high)]))


def _passes(lap: _Lap, values: np.ndarray, low: float, high: float, threshold: float,
            upwards: bool) -> np.ndarray:
    """Every distance after `low`, up to `high`, where `values` pass `threshold` (from below
    when `upwards`, else from above), interpolated between records."""
    x, v = _window(lap, values, low, high)
    holds = v >= threshold if upwards else v < threshold
    i = np.flatnonzero(~holds[:-1] & holds[1:])
    passed: np.ndarray = x[i] + (threshold - v[i]) / (v[i + 1] - v[i]) * (x[i + 1] - x[i])
    return passed


def _first(passed: np.ndarray) -> float | None:
    return float(passed[0]) if len(passed) else None


def _lift(lap: _Lap, low: float, apex: float) -> float | None:
    """Where the lap last comes off full throttle between `low` and its apex."""
    passed = _passes(lap, lap.throttle, low, apex, FULL_THROTTLE, False)
    return float(passed[-1]) if len(passed) else None


def _brake_at(lap: _Lap, low: float, apex: float) -> float | None:
    """Where the lap's brake passes BRAKING on its way to the apex: the first time after it
    last came off full throttle (after `low`)."""
    lift = _lift(lap, low, apex)
    return _first(_passes(lap, lap.brake, low if lift is None else lift, apex, BRAKING, True))


def _throttle_on(lap: _Lap, low: float, high: float) -> float | None:
    """Where the lap is back on the throttle after `low`: there already, or where it comes."""
    if lap.at(lap.throttle, low) >= FULL_THROTTLE:
        return low
    return _first(_passes(lap, lap.throttle, low, high, FULL_THROTTLE, True))


def _extreme(lap: _Lap, low: float, high: float, lowest: bool, last: bool = False
             ) -> tuple[float, float]:
    """Where between `low` and `high` the lap's speed is lowest (or highest), the first such
    place (or the last), and that speed."""
    x, v = _window(lap, lap.speed, low, high)
    v = v if lowest else -v
    i = len(v) - 1 - int(np.argmin(v[::-1])) if last else int(np.argmin(v))
    return float(x[i]), float(abs(v[i]))


def _minima(speed: np.ndarray) -> list[int]:
    """Positions of the speed minima that the speed drops to by MARGIN from the highest speed
    before them and rises from by MARGIN before it drops again."""
    found, high, low, falling = [], speed[0], 0, False
    for i, value in enumerate(speed.tolist()):
        if not falling:
            high = max(high, value)
            falling, low = high - value >= MARGIN, i
        elif value < speed[low]:
            low = i
        elif value - speed[low] >= MARGIN:
            found.append(low)
            falling, high = False, value
    return found


def _detected(reference: _Lap) -> list[float]:
    """The apexes of the reference: its corners where the car is on track and moving."""
    rows = np.flatnonzero(reference.on_track & (reference.speed >= STOPPED)
                          & (reference.x >= reference.low)
                          & (reference.x <= reference.high))
    apexes: list[float] = []
    for run in np.split(rows, np.flatnonzero(np.diff(rows) > 1) + 1):
        if len(run):
            apexes += [float(reference.x[run[i]]) for i in _minima(reference.speed[run])]
    return apexes


def _braking_point(reference: _Lap, low: float, apex: float) -> float:
    """Where the reference starts its corner: its brake passing BRAKING, else its throttle
    falling below FULL_THROTTLE, else where it is fastest before the apex."""
    for found in (_brake_at(reference, low, apex), _lift(reference, low, apex)):
        if found is not None:
            return found
    return _extreme(reference, low, apex, lowest=False, last=True)[0]


def _given(apexes: Sequence[float], line: float) -> list[float]:
    given = [float(apex) for apex in apexes]
    if not all(np.isfinite(given)) or any(b <= a for a, b in itertools.pairwise(given)) or (
            given and not 0.0 <= given[0] <= given[-1] <= line):
        raise ValueError(f"corners must be apexes in metres from the line, increasing, within "
                         f"the lap of {line:.0f} m; got {list(apexes)!r}")
    return given


class _Segment(NamedTuple):
    """Corner `number`'s stretch of the lap, the same for every lap: from `start` to `end`,
    the corner itself to `exit`; a lap's braking for it is sought from `after` (the
    reference's apex before)."""

    number: int
    start: float
    end: float
    exit: float | None
    after: float


def _segments(ref: _Lap, apexes: list[float], line: float) -> list[_Segment]:
    """Corner 0 from the line, then each corner from the reference's braking point for it."""
    afters = [ref.low, *apexes[:-1]]
    starts = [max(_braking_point(ref, min(after, apex), apex), 0.0)
              for after, apex in zip(afters, apexes)]
    ends = [*starts, line]
    segments = [_Segment(0, 0.0, ends[0], None, ref.low)]
    for k, (apex, after) in enumerate(zip(apexes, afters), 1):
        exit = _throttle_on(ref, apex, ends[k])
        if exit is None:
            exit = _extreme(ref, apex, ends[k], lowest=False)[0]
        segments.append(_Segment(k, starts[k - 1], ends[k], exit, after))
    return segments


def _row(lap: _Lap, segment: _Segment, line: float) -> dict[str, float | None]:
    """One lap through one segment: its time, and its values through the corner where it
    drives the corner on track."""
    number, start, end, exit, after = segment
    row: dict[str, float | None] = dict.fromkeys(CORNERS_SCHEMA.names)
    row |= {"corner": number, "start": start, "end": end, "exit": exit}
    if lap.covers(start, end):
        row["time"] = lap.time(end, line) - lap.time(start, line)
    if exit is not None and lap.drives(start, exit):
        apex, lowest = _extreme(lap, start, exit, lowest=True)
        row |= {"apex": apex, "entry_speed": lap.at(lap.speed, start), "min_speed": lowest,
                "exit_speed": lap.at(lap.speed, exit), "brake_at": _brake_at(lap, after, apex),
                "throttle_at": _throttle_on(lap, apex, end)}
    return row


def _against(row: dict[str, float | None], reference: dict[str, float | None],
             value: str, difference: str) -> None:
    ours, theirs = row[value], reference[value]
    if ours is not None and theirs is not None:
        row[difference] = ours - theirs


def corners(reference: LogFile, *laps: LogFile, corners: Sequence[float] | None = None
            ) -> pa.Table:
    """Measure laps through the corners of a reference lap.

    Corners are found on the reference where the car is on track and moving (not on pit road,
    not off the racing surface, not stopping): minima of speed that it drops to and rises from
    by 5 km/h. Corner k's segment (`start`, `end`, m) runs from the reference's braking point
    for it (its brake passing 10 %, else its throttle falling below 90 %) to the start of
    corner k + 1, the last to the line, so a lap's `time_lost` adds up to its lap-time
    difference; `exit` is where the reference is back on 90 % throttle after its apex (where
    it never is before the segment's end: where it is fastest after the apex).

    Per lap: `apex` (its lowest speed between `start` and `exit`), `entry_speed`, `min_speed`
    and `exit_speed` (m/s at `start`, `apex`, `exit`), `brake_at` (its brake passing 10 % on
    the way to its apex, after it last came off full throttle), `brake_delta` (m later than
    the reference), `throttle_at` (back on 90 % throttle after its apex), `time` over the
    segment and `time_lost` against the reference (ms). Where a lap does not cover a segment
    its time there is null; where it does not drive a corner on track (from `start` to
    `exit`), its values there are.

    Parameters
    ----------
    reference : LogFile
        A one-lap LogFile, as `LogFile.lap` returns.
    *laps : LogFile
        One-lap LogFiles of the reference's track.
    corners : sequence of float or None
        The apexes (m from the line) to use instead of those found.

    Returns
    -------
    pyarrow.Table
        One row per lap and corner: the reference's rows first (`lap` 0), then `lap` k for the
        k-th of `laps`; corners in track order, corner 0 the run from the line to corner 1.

    Raises
    ------
    ValueError
        For laps of two tracks, a LogFile of several laps, a lap without speed, brake,
        throttle or lap distance, or apexes out of order or beyond the lap.
    """
    for other in laps:
        _traces.check_same_track(reference.lap_inputs, other.lap_inputs)
    length = _traces.track_length(reference.lap_inputs)
    ref = _along(reference, length)
    line = ref.high if length is None else length
    apexes = _detected(ref) if corners is None else _given(corners, line)
    segments = _segments(ref, apexes, line)
    rows: list[dict[str, float | None]] = []
    for number, measured in enumerate([ref, *(_along(other, line) for other in laps)]):
        ours = [_row(measured, segment, line) | {"lap": number} for segment in segments]
        for row, theirs in zip(ours, rows[:len(segments)] or ours):
            _against(row, theirs, "brake_at", "brake_delta")
            _against(row, theirs, "time", "time_lost")
        rows += ours
    return table_of([[row[name] for row in rows] for name in CORNERS_SCHEMA.names],
                    CORNERS_SCHEMA)

"""Laps as a racer counts them, built on the raw lap-counter runs: line crossings placed
between ticks, sessions from `SessionNum`, reset frames left out; sector times, traces
resampled by lap distance, and the time delta between two laps.

Everything here reads a LogFile's per-record channels whole with numpy, so the work is
proportional to the number of records."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

if TYPE_CHECKING:
    from telvane.logfile import LogFile

# The simulator writes one record with the lap counter at 0, not in the world (track
# surface -1) or at lap distance 0, when the car is placed: at the start and after a reset
# or a tow. Runs of at most this many such records are those frames, not driving.
GLITCH_RECORDS = 2
# Records further apart than this many ticks (or a clock gone back as far) are not one lap.
GAP_TICKS = 5
# A wrap of LapDistPct counts as crossing the line when it goes from at least WRAP_HIGH to at
# most WRAP_LOW in one step shorter than WRAP_STEP of a lap: a reset that puts the car
# elsewhere jumps further. The wrap may lie a few records from the change of the counter.
WRAP_HIGH, WRAP_LOW, WRAP_STEP = 0.9, 0.1, 0.05
CROSSING_WINDOW = 3

# The channels the racing laps are made from.
LAP_INPUTS = ("SessionTime", "SessionNum", "Lap", "LapDist", "LapDistPct", "PlayerTrackSurface",
              "OnPitRoad")

RACING_SCHEMA = pa.schema([
    pa.field("num", pa.int32(), False), pa.field("session", pa.int32(), False),
    pa.field("lap_type", pa.utf8(), False),
    pa.field("start_time", pa.float64(), False), pa.field("end_time", pa.float64(), False),
    pa.field("duration", pa.float64(), False),
    pa.field("first_record", pa.int64(), False), pa.field("end_record", pa.int64(), False),
    pa.field("start_at_line", pa.bool_(), False), pa.field("end_at_line", pa.bool_(), False),
    pa.field("reset", pa.bool_(), False),
    pa.field("best", pa.bool_(), False),
])
SECTORS_SCHEMA = pa.schema([
    pa.field("lap", pa.int64(), False), pa.field("num", pa.int32(), False),
    pa.field("session", pa.int32(), False), pa.field("sector", pa.int32(), False),
    pa.field("start_time", pa.float64(), False), pa.field("end_time", pa.float64(), False),
    pa.field("duration", pa.float64(), False), pa.field("best", pa.bool_(), False),
])


def _channel(log: LogFile, name: str) -> np.ndarray | None:
    table = log.channels.get(name)
    return None if table is None else table.column(1).to_numpy()


def record_times(log: LogFile) -> np.ndarray:
    """Milliseconds of session time per record, as float64: from `SessionTime` itself (finer
    than the whole-millisecond timecodes; NaN where it is not finite), else the timecodes."""
    seconds = _channel(log, "SessionTime")
    if seconds is None or seconds.dtype.kind != "f":
        codes: np.ndarray = log.timecodes.to_numpy().astype(np.float64)
        return codes
    times: np.ndarray = seconds.astype(np.float64) * 1000.0
    times[~np.isfinite(times)] = np.nan  # a time the record does not know
    return times


def gap_ms(log: LogFile) -> float:
    """The longest step between two records of one stretch of driving, in ms."""
    rate = log.metadata.get("tick_rate")
    rate = rate if isinstance(rate, int) and rate > 0 else 60
    return GAP_TICKS * 1000.0 / rate


def recorded_time(log: LogFile) -> tuple[float, list[tuple[int, float, float]]]:
    """Milliseconds of driving the recording holds (the steps between records of one
    session without a gap), and per session its first and last session time (ms)."""
    times = record_times(log)
    if not len(times):
        return 0.0, []
    session = _channel(log, "SessionNum")
    session = np.zeros(len(times), np.int64) if session is None else session.astype(np.int64)
    step = np.diff(times)
    steady = (session[1:] == session[:-1]) & (step >= 0) & (step <= gap_ms(log))
    known = np.isfinite(times)
    spans = [(int(number), float(times[ours].min()), float(times[ours].max()))
             for number in np.unique(session) for ours in [known & (session == number)]
             if ours.any()]
    return float(step[steady].sum()), spans


def _glitches(lap: np.ndarray, surface: np.ndarray | None,
              at_zero: np.ndarray | None) -> np.ndarray:
    """Records of the placement frames: short runs with the lap counter at 0 and the car not
    in the world (or, where the file has no track surface, at distance 0)."""
    if surface is not None:
        candidate = surface == -1
    elif at_zero is not None:
        candidate = at_zero
    else:
        candidate = np.zeros(len(lap), bool)
    candidate &= lap == 0
    edges = np.diff(np.concatenate(([0], candidate.astype(np.int8), [0])))
    starts, stops = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    short = stops - starts <= GLITCH_RECORDS
    marks = np.zeros(len(lap) + 1, np.int64)
    np.add.at(marks, starts[short], 1)
    np.add.at(marks, stops[short], -1)
    return np.cumsum(marks[:-1]) > 0


def _crossings(pct: np.ndarray, times: np.ndarray, joined: np.ndarray,
               boundaries: np.ndarray) -> np.ndarray:
    """The interpolated time at which the car crossed the line near each boundary record
    (NaN where it did not): the wrap of `pct` nearest the boundary, within CROSSING_WINDOW
    records, between two records that `joined` says belong to one stretch of driving."""
    before, after = pct[:-1].astype(np.float64), pct[1:].astype(np.float64)
    to_line, past_line = 1.0 - before, after
    wraps = np.flatnonzero(joined[1:] & (before >= WRAP_HIGH) & (after <= WRAP_LOW)
                           & (to_line + past_line <= WRAP_STEP)) + 1
    result = np.full(len(boundaries), np.nan)
    if not len(wraps) or not len(boundaries):
        return result
    right = np.clip(np.searchsorted(wraps, boundaries), 0, len(wraps) - 1)
    left = np.clip(right - 1, 0, len(wraps) - 1)
    nearest = np.where(np.abs(wraps[left] - boundaries) <= np.abs(wraps[right] - boundaries),
                       wraps[left], wraps[right])
    found = np.abs(nearest - boundaries) <= CROSSING_WINDOW
    i = nearest[found]
    share = to_line[i - 1] / (to_line[i - 1] + past_line[i - 1])
    result[found] = times[i - 1] + share * (times[i] - times[i - 1])
    return result


def racing_laps(log: LogFile) -> pa.Table:
    """One row per racing lap (RACING_SCHEMA): a run of records with one value of the lap
    counter, within one session, without a gap in time and without a reset frame inside;
    the reset frames themselves belong to no lap. Times are ms of session time at the line
    crossing where the car crossed it, else at the first or last record."""
    lap = _channel(log, "Lap")
    if lap is None or not len(lap):
        return RACING_SCHEMA.empty_table()
    lap = lap.astype(np.int64)
    n = len(lap)
    times = record_times(log)
    pct, dist = _channel(log, "LapDistPct"), _channel(log, "LapDist")
    surface, pit = _channel(log, "PlayerTrackSurface"), _channel(log, "OnPitRoad")
    session_num = _channel(log, "SessionNum")
    at_zero = dist == 0 if dist is not None else pct == 0 if pct is not None else None
    glitch = _glitches(lap, surface, at_zero)

    kept = np.flatnonzero(~glitch)
    if not len(kept):
        return RACING_SCHEMA.empty_table()
    step = np.diff(times[kept])
    adjacent = np.diff(kept) == 1
    same_session = (np.ones(len(kept) - 1, bool) if session_num is None
                    else session_num[kept[1:]] == session_num[kept[:-1]])
    same_lap = lap[kept[1:]] == lap[kept[:-1]]
    joined_pairs = adjacent & same_session & ~(np.abs(step) > gap_ms(log))
    starts = np.concatenate(([0], np.flatnonzero(~(joined_pairs & same_lap)) + 1))
    first = kept[starts]
    last = kept[np.concatenate((starts[1:] - 1, [len(kept) - 1]))]
    end = last + 1

    # A lap begins with a crossing only where it follows the previous lap without a break.
    follows = np.zeros(len(first), bool)
    follows[1:] = joined_pairs[starts[1:] - 1]
    crossing = np.full(len(first), np.nan)
    if pct is not None:
        joined = np.zeros(n, bool)  # record i joined to record i - 1
        joined[kept[1:][joined_pairs]] = True
        crossing[follows] = _crossings(pct, times, joined, first[follows])
    else:  # without the lap distance, the counter going up by one says the line was crossed
        up = np.zeros(len(first), bool)
        up[1:] = lap[first[1:]] == lap[first[:-1]] + 1
        crossing[follows & up] = times[first[follows & up]]
    start_crossed = ~np.isnan(crossing)
    end_crossed = np.append(start_crossed[1:], False)
    start_time = np.where(start_crossed, crossing, times[first])
    end_time = np.where(end_crossed, np.append(crossing[1:], 0.0), times[last])

    num = lap[first]
    if session_num is not None:
        session = session_num[first].astype(np.int64)
    else:  # the counter back at 0 from another value starts a session
        session = np.cumsum(np.append(False, (num[1:] == 0) & (num[:-1] != 0)))
    pit_first = pit[first].astype(bool) if pit is not None else np.zeros(len(first), bool)
    pit_last = pit[last].astype(bool) if pit is not None else np.zeros(len(first), bool)
    kind = np.select([end - first < 2, pit_first, pit_last, start_crossed & end_crossed],
                     [0, 1, 2, 3], 4)
    lap_type = pa.array(["incomplete", "out", "in", "full", "partial"]).take(pa.array(kind))
    # Cut short by a reset or a tow: a placement frame follows within the session.
    reset = glitch[np.minimum(end, n - 1)] & (end < n)
    reset[:-1] &= session[1:] == session[:-1]
    duration = end_time - start_time
    best = _best(duration, session, kind == 3)
    columns = [num, session, lap_type, start_time, end_time, duration, first, end,
               start_crossed, end_crossed, reset, best]
    return pa.table(dict(zip(RACING_SCHEMA.names, columns)), schema=RACING_SCHEMA)


def _best(duration: np.ndarray, session: np.ndarray, eligible: np.ndarray) -> np.ndarray:
    """True for the shortest eligible row of each session (the first of equal ones)."""
    best = np.zeros(len(duration), bool)
    rows = np.flatnonzero(eligible & np.isfinite(duration))
    if len(rows):
        order = rows[np.lexsort((rows, duration[rows], session[rows]))]
        fresh = np.append(True, session[order[1:]] != session[order[:-1]])
        best[order[fresh]] = True
    return best


# -- sectors ----------------------------------------------------------------------------------

_SPLIT_TIME_INFO = re.compile(r"^SplitTimeInfo:[^\n]*\n((?:[ \t-][^\n]*(?:\n|$))*)", re.MULTILINE)
_SECTOR_START = re.compile(r"SectorStartPct:\s*([-+0-9.eE]+)")


def sector_starts(session_info: str) -> list[float]:
    """The lap fractions where the sectors start, from the session info's `SplitTimeInfo`
    list: [0.0, ...] in lap order, or [] when the text has none."""
    block = _SPLIT_TIME_INFO.search(session_info)
    if block is None:
        return []
    starts = sorted({float(value) for value in _SECTOR_START.findall(block.group(1))
                     if 0.0 <= float(value) < 1.0})
    return starts if starts and starts[0] == 0.0 else []


def sectors(log: LogFile, laps: pa.Table) -> pa.Table:
    """One row per sector driven whole within a racing lap of `laps` (SECTORS_SCHEMA), its
    times interpolated at the sector lines as lap times are at the finish line; `best` marks
    the shortest time of each sector in each session among laps that are neither in nor out
    laps."""
    starts = sector_starts(log.metadata.get("session_info_yaml", ""))
    pct = _channel(log, "LapDistPct")
    if not starts or pct is None or not laps.num_rows:
        return SECTORS_SCHEMA.empty_table()
    times = record_times(log)
    first = laps.column("first_record").to_numpy()
    end = laps.column("end_record").to_numpy()
    m = len(starts)
    bounds = np.full((laps.num_rows, m + 1), np.nan)  # when each lap crossed line k
    bounds[:, 0] = np.where(laps.column("start_at_line").to_numpy(),
                            laps.column("start_time").to_numpy(), np.nan)
    bounds[:, m] = np.where(laps.column("end_at_line").to_numpy(),
                            laps.column("end_time").to_numpy(), np.nan)
    before, after = pct[:-1].astype(np.float64), pct[1:].astype(np.float64)
    for k, line in enumerate(starts[1:], start=1):
        ups = np.flatnonzero((before < line) & (after >= line) & (after - before < WRAP_STEP)) + 1
        if not len(ups):
            continue
        j = np.searchsorted(ups, first + 1)  # the first crossing after the lap's first record
        found = j < len(ups)
        found[found] = ups[j[found]] < end[found]
        i = ups[j[found]]
        share = (line - before[i - 1]) / (after[i - 1] - before[i - 1])
        bounds[found, k] = times[i - 1] + share * (times[i] - times[i - 1])
    lap_rows, sector = np.nonzero(~np.isnan(bounds[:, :-1]) & ~np.isnan(bounds[:, 1:]))
    start_time, end_time = bounds[lap_rows, sector], bounds[lap_rows, sector + 1]
    duration = end_time - start_time
    session = laps.column("session").to_numpy()[lap_rows]
    kind = laps.column("lap_type").to_numpy(zero_copy_only=False)[lap_rows]
    eligible = (kind != "in") & (kind != "out")
    best = np.zeros(len(lap_rows), bool)
    for k in range(m):
        rows = np.flatnonzero(sector == k)
        best[rows] = _best(duration[rows], session[rows], eligible[rows])
    num = laps.column("num").to_numpy()[lap_rows]
    columns = [lap_rows, num, session, sector, start_time, end_time, duration, best]
    return pa.table(dict(zip(SECTORS_SCHEMA.names, columns)), schema=SECTORS_SCHEMA)


def theoretical_best(sector_table: pa.Table, sector_count: int) -> dict[int, float]:
    """Per session, the sum of its best sector times, for sessions with a best time in
    every sector."""
    best = sector_table.filter(sector_table.column("best"))
    totals: dict[int, float] = {}
    counts: dict[int, int] = {}
    for session, duration in zip(best.column("session").to_pylist(),
                                 best.column("duration").to_pylist()):
        totals[session] = totals.get(session, 0.0) + duration
        counts[session] = counts.get(session, 0) + 1
    return {session: total for session, total in totals.items()
            if counts[session] == sector_count}


# -- traces by lap distance and the delta between two laps ----------------------------------

_LENGTH = re.compile(r"\s*([0-9]*\.?[0-9]+)\s*(km|mi)\b")


def track_length(log: LogFile) -> float | None:
    """Metres per lap: what `LapDist` and `LapDistPct` say together, else the session
    info's TrackLength (which the simulator rounds to 10 m)."""
    dist, pct = _channel(log, "LapDist"), _channel(log, "LapDistPct")
    if dist is not None and pct is not None:
        usable = (pct > 0.1) & np.isfinite(dist) & np.isfinite(pct)
        if usable.any():
            return float(np.median(dist[usable] / pct[usable]))
    match = _LENGTH.match(str(log.metadata.get("track_length", "")))
    if match is None:
        return None
    return float(match.group(1)) * (1000.0 if match.group(2) == "km" else 1609.344)


def _distances(log: LogFile, lap: dict[str, Any]) -> tuple[np.ndarray, float | None]:
    """Metres from the line at every record of a one-lap LogFile, counted on from the lap's
    own crossing: records before it are negative, records after its end crossing lie past
    the track length. Also the track length."""
    length = track_length(log)
    dist, pct = _channel(log, "LapDist"), _channel(log, "LapDistPct")
    if dist is not None:
        distance = dist.astype(np.float64)
    elif pct is not None and length is not None:
        distance = pct.astype(np.float64) * length
    else:
        raise ValueError(f"{log.file_name}: no LapDist, or LapDistPct and a track length, "
                         f"to measure lap distance")
    if length is not None:
        times = record_times(log)
        if lap["start_at_line"]:
            distance[(times < lap["start_time"]) & (distance > length / 2)] -= length
        if lap["end_at_line"]:
            distance[(times > lap["end_time"]) & (distance < length / 2)] += length
    return distance, length


def lap_distances(log: LogFile) -> np.ndarray:
    """Metres from the line at every record of a one-lap LogFile, counted on from the lap's
    own line crossing (negative before it)."""
    return _distances(log, only_lap(log))[0]


def _grid(lap: dict[str, Any], distance: np.ndarray, length: float | None,
          step: float) -> np.ndarray:
    low = 0.0 if lap["start_at_line"] else float(distance.min())
    high = length if lap["end_at_line"] and length is not None else float(distance.max())
    return step * np.arange(np.ceil(low / step), np.floor(high / step + 1e-9) + 1)


def _increasing(distance: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Distances made non-decreasing (a car rolling back counts as standing), and the
    positions of the first record at each distinct distance."""
    ahead = np.maximum.accumulate(distance)
    return ahead, np.flatnonzero(np.concatenate(([True], np.diff(ahead) > 0)))


def resample(values: np.ndarray, distance: np.ndarray, grid: np.ndarray,
             linear: bool) -> np.ndarray:
    """A channel's values at the grid distances: linear between records, or the value of
    the last record at or before the distance (gears, flags, counters)."""
    ahead, first = _increasing(distance)
    if linear:
        resampled: np.ndarray = np.interp(grid, ahead[first], values[first].astype(np.float64))
    else:
        held = np.searchsorted(ahead, grid, side="right") - 1
        resampled = values[np.clip(held, 0, len(values) - 1)]
    return resampled


def only_lap(log: LogFile) -> dict[str, Any]:
    """The racing lap a one-lap LogFile holds, as a dict of its lap_times() row."""
    laps = log.lap_times()
    if laps.num_rows != 1:
        raise ValueError(f"{log.file_name}: expected a LogFile holding one lap, as lap() "
                         f"returns, not {laps.num_rows} laps")
    lap: dict[str, Any] = laps.to_pylist()[0]
    return lap


def by_distance(log: LogFile, channels: list[str], step: float) -> pa.Table:
    """The channels of a one-lap LogFile on a grid of `step` metres of lap distance."""
    if not step > 0:
        raise ValueError(f"step must be a positive number of metres, got {step!r}")
    lap = only_lap(log)
    distance, length = _distances(log, lap)
    grid = _grid(lap, distance, length, step)
    fields = [pa.field("distance", pa.float64(), False)]
    columns = [pa.array(grid)]
    for name in channels:
        field = log.channels[name].schema.field(1)
        linear = (field.metadata or {}).get(b"interpolate") == b"True"
        values = resample(log.channels[name].column(1).to_numpy(), distance, grid, linear)
        fields.append(field)
        columns.append(pa.array(values).cast(field.type))
    return pa.Table.from_arrays(columns, schema=pa.schema(fields))


def _time_by_distance(log: LogFile) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Distance and ms since the lap's start at every record of a one-lap LogFile, with its
    line crossings added as points of their own; and the distances the lap covers, as a
    grid of one metre."""
    lap = only_lap(log)
    distance, length = _distances(log, lap)
    elapsed = record_times(log) - lap["start_time"]
    if lap["start_at_line"]:
        distance, elapsed = np.append(distance, 0.0), np.append(elapsed, 0.0)
    if lap["end_at_line"] and length is not None:
        distance = np.append(distance, length)
        elapsed = np.append(elapsed, lap["duration"])
    order = np.argsort(elapsed, kind="stable")
    distance, elapsed = distance[order], elapsed[order]
    return distance, elapsed, _grid(lap, distance, length, 1.0)


def delta(reference: LogFile, lap: LogFile) -> pa.Table:
    """The time `lap` lost (positive, ms) or gained (negative) against `reference` by every
    metre of lap distance that both cover, counted from the first such metre (the line for
    two laps from the line); both are one-lap LogFiles, as lap() returns, from one
    recording or from two of the same track."""
    ref_distance, ref_elapsed, ref_grid = _time_by_distance(reference)
    distance, elapsed, grid = _time_by_distance(lap)
    shared = grid[(grid >= ref_grid.min(initial=np.inf)) & (grid <= ref_grid.max(initial=-np.inf))]
    lost = (resample(elapsed, distance, shared, True)
            - resample(ref_elapsed, ref_distance, shared, True))
    if len(lost):  # laps not both from the line are compared from where both are
        lost -= lost[0]
    return pa.table({"distance": pa.array(shared, pa.float64()),
                     "delta": pa.array(lost, pa.float64())})

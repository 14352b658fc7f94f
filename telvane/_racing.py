"""Laps as a racer counts them, built on the raw lap-counter runs: line crossings placed
between ticks, sessions from `SessionNum`, reset frames and a car standing in its pit stall
left out; sector times; the choice of the lap a number names.

Everything here reads the lap inputs whole with numpy: the work grows with the records and
the line crossings."""

from __future__ import annotations

import enum

import numpy as np
import pyarrow as pa

from telvane._arrow import column_values, table_of
from telvane._lap_inputs import LapInputs

__all__ = ["CROSSING_WINDOW", "GAP_TICKS", "GLITCH_RECORDS", "LAP_TYPES",
           "RACING_SCHEMA", "SECTORS_SCHEMA", "STALL_METRES", "STALL_SPEED", "LapKind", "gap_ms",
           "lap_numbered", "racing_laps", "recorded_time", "sectors", "theoretical_best"]

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
# A stretch on pit road covering less than this (m), or never faster than STALL_SPEED (m/s),
# is a car standing in its pit stall, not a lap.
STALL_METRES, STALL_SPEED = 20.0, 1.0

LAP_TYPES = ("full", "partial", "in", "out", "incomplete")


class LapKind(enum.IntEnum):
    """A racing lap's type, numbered in the order `racing_laps` tests for it: fewer than 2
    records, starts on pit road, ends on pit road, starts and ends at a line crossing, the
    others. Its `text` is what the `lap_type` column holds."""

    INCOMPLETE = 0
    OUT = 1
    IN = 2
    FULL = 3
    PARTIAL = 4

    @property
    def text(self) -> str:
        return self.name.lower()


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
_INT32 = np.iinfo(np.int32)


def gap_ms(inputs: LapInputs) -> float:
    """The longest step between two records of one stretch of driving, in ms."""
    return GAP_TICKS * 1000.0 / inputs.tick_rate


def _sessions(inputs: LapInputs) -> np.ndarray:
    if inputs.session is None:
        return np.zeros(len(inputs), np.int64)
    return np.asarray(inputs.session).astype(np.int64)


@np.errstate(invalid="ignore", over="ignore")  # NaN and inf are bad samples, left out
def recorded_time(inputs: LapInputs) -> tuple[float, list[tuple[int, float, float]]]:
    """Milliseconds of driving the recording holds (the steps between records of one
    session without a gap), and per session its first and last session time (ms)."""
    times = inputs.times
    if not len(times):
        return 0.0, []
    session = _sessions(inputs)
    step = np.diff(times)
    steady = (session[1:] == session[:-1]) & (step >= 0) & (step <= gap_ms(inputs))
    known = np.isfinite(times)
    order = np.lexsort((times[known], session[known]))
    number, time = session[known][order], times[known][order]
    first = np.flatnonzero(np.diff(number, prepend=number[:1] - 1))
    last = np.append(first[1:], len(number)) - 1
    spans = [(int(number[a]), float(time[a]), float(time[b])) for a, b in zip(first, last)]
    return float(step[steady].sum()), spans


def _glitches(lap: np.ndarray, surface: np.ndarray | None,
              at_zero: np.ndarray | None) -> np.ndarray:
    """Records of the placement frames: short runs with the lap counter at 0 and the car not
    in the world (or, where the file has no track surface, at distance 0)."""
    if surface is not None:
        candidate = surface == -1
    elif at_zero is not None:
        candidate = at_zero.copy()
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
    records, between two records that `joined` says belong to one stretch of driving. A
    wrap goes from a fraction of the lap to a fraction of the next, both within [0, 1], so
    the crossing lies between the two records around it."""
    before, after = pct[:-1].astype(np.float64), pct[1:].astype(np.float64)
    to_line, past_line = 1.0 - before, after
    wraps = np.flatnonzero(joined[1:] & (before >= WRAP_HIGH) & (before <= 1.0)
                           & (after <= WRAP_LOW) & (after >= 0.0)
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
    result[found] = _between(times, i, to_line[i - 1], past_line[i - 1])
    return result


def _between(times: np.ndarray, i: np.ndarray, to_line: np.ndarray,
             past_line: np.ndarray) -> np.ndarray:
    """The time between records i - 1 and i, `to_line` of the way before the line and
    `past_line` after it."""
    whole = to_line + past_line
    share = np.divide(to_line, whole, out=np.zeros(len(i)), where=whole > 0)
    crossed: np.ndarray = times[i - 1] + share * (times[i] - times[i - 1])
    return crossed


def _spans(values: np.ndarray, first: np.ndarray, end: np.ndarray,
           reduce: np.ufunc) -> np.ndarray:
    """`reduce` over the records [first, end) of each lap."""
    bounds = np.column_stack((first, end)).ravel()
    reduced: np.ndarray = reduce.reduceat(np.append(values, values[-1:]), bounds)[::2]
    return reduced


def _standing(inputs: LapInputs, first: np.ndarray, end: np.ndarray) -> np.ndarray:
    """Laps that do not leave the pit stall: little distance covered, or no speed."""
    standing = np.zeros(len(first), bool)
    metres = inputs.dist
    if metres is None and inputs.pct is not None and inputs.track_length is not None:
        metres = inputs.pct * inputs.track_length
    if metres is not None and len(metres) > 1:
        step = np.diff(metres.astype(np.float64), prepend=np.nan)
        ahead = np.where((step > 0) & (step < 100.0), step, 0.0)  # not a wrap or a jump
        ahead[first] = 0.0
        standing |= _spans(ahead, first, end, np.add) < STALL_METRES
    if inputs.speed is not None and len(inputs.speed):
        fast = np.abs(inputs.speed.astype(np.float64))
        standing |= _spans(np.where(np.isfinite(fast), fast, 0.0), first, end,
                           np.maximum) < STALL_SPEED
    return standing


@np.errstate(invalid="ignore", over="ignore")  # NaN and inf are bad samples, left out
def racing_laps(inputs: LapInputs) -> pa.Table:
    """One row per racing lap (RACING_SCHEMA): a run of records with one value of the lap
    counter, within one session, without a gap in time and without a reset frame inside;
    the reset frames themselves belong to no lap, nor does a stretch on pit road where the
    car stands in its stall. Times are ms of session time at the line crossing where the
    car crossed it, else at the first or last record with a time; no lap without one."""
    if inputs.lap is None or not len(inputs.lap):
        return table_of([[]] * len(RACING_SCHEMA), RACING_SCHEMA)
    lap = np.asarray(inputs.lap)
    lap = np.where(np.isfinite(lap), lap, -1) if lap.dtype.kind == "f" else lap
    n = len(lap)
    times, pct, dist = inputs.times, inputs.pct, inputs.dist
    session_num = inputs.session
    at_zero = dist == 0 if dist is not None else pct == 0 if pct is not None else None
    glitch = _glitches(lap, inputs.surface, at_zero)

    kept = np.flatnonzero(~glitch)
    if not len(kept):
        return table_of([[]] * len(RACING_SCHEMA), RACING_SCHEMA)
    step = np.diff(times[kept])
    adjacent = np.diff(kept) == 1
    same_session = (np.ones(len(kept) - 1, bool) if session_num is None
                    else session_num[kept[1:]] == session_num[kept[:-1]])
    same_lap = lap[kept[1:]] == lap[kept[:-1]]
    joined_pairs = adjacent & same_session & ~(np.abs(step) > gap_ms(inputs))
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
    earliest, latest = _spans(times, first, end, np.fmin), _spans(times, first, end, np.fmax)
    start_time = np.where(start_crossed, crossing, earliest)
    end_time = np.where(end_crossed, np.append(crossing[1:], 0.0), latest)
    # A clock that ran back within a lap can put its crossings out of order: then the lap
    # is timed by its records.
    wrong = ~(end_time >= start_time)
    start_crossed &= ~wrong
    end_crossed &= ~wrong
    start_time[wrong], end_time[wrong] = earliest[wrong], latest[wrong]

    num = np.clip(lap[first], _INT32.min, _INT32.max).astype(np.int64)
    if session_num is not None:
        session = np.clip(session_num[first], _INT32.min, _INT32.max).astype(np.int64)
    else:  # the counter back at 0 from another value starts a session
        session = np.cumsum(np.append(False, (num[1:] == 0) & (num[:-1] != 0)))
    pit = inputs.pit
    pit_first = pit[first].astype(bool) if pit is not None else np.zeros(len(first), bool)
    pit_last = pit[last].astype(bool) if pit is not None else np.zeros(len(first), bool)
    kind = np.select([end - first < 2, pit_first, pit_last, start_crossed & end_crossed],
                     [LapKind.INCOMPLETE, LapKind.OUT, LapKind.IN, LapKind.FULL], LapKind.PARTIAL)
    # Cut short by a reset or a tow: a placement frame follows within the session.
    reset = glitch[np.minimum(end, n - 1)] & (end < n)
    reset[:-1] &= session[1:] == session[:-1]
    duration = end_time - start_time
    pitted = (kind == LapKind.OUT) | (kind == LapKind.IN)
    keep = np.isfinite(duration) & ~(pitted & _standing(inputs, first, end))
    best = _best(duration, [session], (kind == LapKind.FULL) & keep)
    columns = [num, session, kind, start_time, end_time, duration, first, end,
               start_crossed, end_crossed, reset, best]
    columns = [column[keep] for column in columns]
    columns[2] = [LapKind(k).text for k in columns[2]]
    return table_of(columns, RACING_SCHEMA)


def _best(duration: np.ndarray, groups: list[np.ndarray], eligible: np.ndarray) -> np.ndarray:
    """True for the shortest eligible row of each group (the first of equal ones), a group
    being the rows with one value in each of `groups`."""
    best = np.zeros(len(duration), bool)
    rows = np.flatnonzero(eligible & np.isfinite(duration))
    if len(rows):
        keys = [group[rows] for group in groups]
        order = rows[np.lexsort((rows, duration[rows], *reversed(keys)))]
        fresh = np.ones(len(order), bool)
        fresh[1:] = np.any([group[order[1:]] != group[order[:-1]] for group in groups], axis=0)
        best[order[fresh]] = True
    return best


# -- sectors ----------------------------------------------------------------------------------

def _column(table: pa.Table, name: str) -> np.ndarray:
    return column_values(table.column(name))


@np.errstate(invalid="ignore", over="ignore")  # NaN and inf are bad samples, left out
def sectors(inputs: LapInputs, laps: pa.Table) -> pa.Table:
    """One row per sector driven whole within a racing lap of `laps` (SECTORS_SCHEMA), its
    times interpolated at the sector lines as lap times are at the finish line; `best` marks
    the shortest time of each sector in each session among laps that are neither in nor out
    laps. Each lap takes its first crossing of each line."""
    starts = np.array(inputs.sector_starts, np.float64)
    pct = inputs.pct
    if not len(starts) or pct is None or not laps.num_rows:
        return table_of([[]] * len(SECTORS_SCHEMA), SECTORS_SCHEMA)
    m = len(starts)
    first, end = _column(laps, "first_record"), _column(laps, "end_record")
    # The steps forward between two records of one lap, and the lines each crosses.
    before, after = pct[:-1].astype(np.float64), pct[1:].astype(np.float64)
    i = np.flatnonzero((before < after) & (after - before < WRAP_STEP)
                       & (before >= 0.0) & (after < 1.0)) + 1
    owner = np.searchsorted(first, i - 1, side="right") - 1
    ours = owner >= 0
    ours[ours] = i[ours] < end[owner[ours]]
    i, owner = i[ours], owner[ours]
    low = np.searchsorted(starts, before[i - 1], side="right")
    high = np.searchsorted(starts, after[i - 1], side="right")
    count = high - low  # lines in (before, after]
    record = np.repeat(i, count)
    line = np.repeat(low, count) + np.arange(count.sum()) - np.repeat(np.cumsum(count) - count, count)
    at = _between(inputs.times, record, starts[line] - pct[record - 1],
                  pct[record].astype(np.float64) - starts[line])
    # The crossings of each lap, with its start and end at the finish line: lines 0 and m.
    at_start, at_end = _column(laps, "start_at_line"), _column(laps, "end_at_line")
    rows = np.arange(laps.num_rows)
    lap = np.concatenate((np.repeat(owner, count), rows[at_start], rows[at_end]))
    number = np.concatenate((line, np.zeros(at_start.sum(), np.int64),
                             np.full(at_end.sum(), m, np.int64)))
    when = np.concatenate((at, _column(laps, "start_time")[at_start],
                           _column(laps, "end_time")[at_end]))
    order = np.lexsort((np.concatenate((record, first[at_start], end[at_end])), number, lap))
    lap, number, when = lap[order], number[order], when[order]
    once = np.ones(len(lap), bool)
    once[1:] = (lap[1:] != lap[:-1]) | (number[1:] != number[:-1])
    lap, number, when = lap[once], number[once], when[once]
    pair = np.flatnonzero((lap[1:] == lap[:-1]) & (number[1:] == number[:-1] + 1)
                          & (when[1:] >= when[:-1]))
    lap_rows, sector = lap[pair], number[pair]
    start_time, end_time = when[pair], when[pair + 1]
    duration = end_time - start_time
    session = _column(laps, "session")[lap_rows]
    kind = np.array(laps.column("lap_type").to_pylist(), object)[lap_rows]
    eligible = (kind != LapKind.IN.text) & (kind != LapKind.OUT.text)
    best = _best(duration, [session, sector], eligible)
    num = _column(laps, "num")[lap_rows]
    columns = [lap_rows, num, session, sector, start_time, end_time, duration, best]
    return table_of(columns, SECTORS_SCHEMA)


def theoretical_best(sector_table: pa.Table, sector_count: int) -> dict[int, float]:
    """Per session, the sum of its best sector times, for sessions with a best time in
    every sector."""
    best = _column(sector_table, "best")
    totals: dict[int, float] = {}
    counts: dict[int, int] = {}
    for session, duration in zip(_column(sector_table, "session")[best].tolist(),
                                 _column(sector_table, "duration")[best].tolist()):
        totals[session] = totals.get(session, 0.0) + duration
        counts[session] = counts.get(session, 0) + 1
    return {session: total for session, total in totals.items()
            if counts[session] == sector_count}


# -- the lap a number names --------------------------------------------------------------------

def lap_numbered(laps: pa.Table, number: int) -> int:
    """The row of `laps` (a lap_times() table) that lap number `number` names: its fastest
    full lap where the number repeats (in several sessions, or split by a reset), else its
    only lap. Raises LookupError when no lap has the number, or when several do and none
    of them is full, listing them."""
    nums, kinds = _column(laps, "num"), laps.column("lap_type").to_pylist()
    rows: list[int] = np.flatnonzero(nums == number).tolist()
    if not rows:
        raise LookupError(f"no lap {number}")
    full = [row for row in rows if kinds[row] == LapKind.FULL.text]
    if full:
        durations = _column(laps, "duration")
        return min(full, key=lambda row: (durations[row], row))
    if len(rows) == 1:
        return int(rows[0])
    sessions = _column(laps, "session")
    listed = ", ".join(f"row {row} ({kinds[row]}, session {sessions[row]})" for row in rows)
    raise LookupError(f"no full lap {number}, and {len(rows)} laps numbered {number}: {listed}")

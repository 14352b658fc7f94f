"""What a drawing of channel traces shows, decided without drawing anything (no matplotlib):
which laps "FILE:LAP" and "lap N" name, the laps chosen by default, values in a racer's
units, which channels are steps, and where a line breaks or a lap begins.

`telvane plot`, `telvane compare` and the browser viewer all take these answers from here.

Lap names: "N" is lap number N. Lap numbers repeat (one run per session, or a lap split by
a reset into a partial lap and the out lap after it), so one lap named "N" is its fastest
full lap, else the only lap numbered N; where several laps carry the number and none is
full, the name is ambiguous and the error lists them. "N.K" is the K-th lap numbered N in
record order (as `telvane info` lists them), whatever its type."""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from telvane._racing import gap_ms, lap_numbered
from telvane._traces import lap_distances
from telvane._text import field_text, format_lap_time

if TYPE_CHECKING:
    import pyarrow as pa

    from telvane.base import LogFile

__all__ = [
    "PERCENT_RANGE", "SPEED_UNITS", "ChoiceError", "LapMark", "LapName", "choose_lap",
    "compared_laps", "default_laps", "is_step", "lap_label", "lap_marks", "lap_name", "lap_text",
    "lap_x", "laps_named", "recording_time", "shown", "split_lap_argument", "value_range",
]

SPEED_UNITS = {"km/h": 3.6, "mph": 3600 / 1609.344}  # from m/s
PERCENT_RANGE = (0.0, 100.0)  # what a percent axis always shows, so a flat 0 reads as 0 %


class ChoiceError(ValueError):
    """A lap name or a choice of laps that the recording cannot satisfy; the message names
    the file."""


class LapName(NamedTuple):
    """"N" (part None) or "N.K"."""

    number: int
    part: int | None = None

    def __str__(self) -> str:
        return str(self.number) if self.part is None else f"{self.number}.{self.part}"


_LAP_NAME = re.compile(r"(-?\d+)(?:\.([1-9]\d*))?")


def lap_name(text: str) -> LapName:
    """"N" or "N.K" as a LapName; ValueError for anything else."""
    match = _LAP_NAME.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"expected a lap number N or N.K (the K-th lap numbered N), "
                         f"got {text!r}")
    return LapName(int(match[1]), int(match[2]) if match[2] else None)


def split_lap_argument(text: str, exists: Callable[[str], bool] = os.path.exists
                       ) -> tuple[str, LapName | None]:
    """"FILE" or "FILE:LAP" as (file, lap name or None); a file whose own name ends in
    ":N" is taken whole."""
    file, colon, name = text.rpartition(":")
    if not colon or not file or exists(text) or _LAP_NAME.fullmatch(name) is None:
        return text, None
    return file, lap_name(name)


def _lap_list(laps: list[dict[str, Any]], rows: Sequence[int], number: int) -> str:
    return ", ".join(f"{number}.{k} ({laps[row]['lap_type']}"
                     + (", reset" if laps[row]["reset"] else "")
                     + f", session {laps[row]['session']})" for k, row in enumerate(rows, 1))


def laps_named(log: LogFile, name: LapName) -> list[int]:
    """The rows of lap_times() that `name` names: every lap numbered N for "N", the one
    lap for "N.K". ChoiceError when there is none."""
    laps = log.lap_times().to_pylist()
    rows = [row for row, lap in enumerate(laps) if lap["num"] == name.number]
    if not rows:
        raise ChoiceError(f"{log.file_name}: no lap {name.number}")
    if name.part is None:
        return rows
    if name.part > len(rows):
        raise ChoiceError(f"{log.file_name}: no lap {name}; the laps numbered {name.number}: "
                          f"{_lap_list(laps, rows, name.number)}")
    return [rows[name.part - 1]]


def choose_lap(log: LogFile, name: LapName | None) -> int:
    """The row of lap_times() of the one lap `name` names (None: the fastest full lap of
    the recording). ChoiceError when there is none or the name is ambiguous."""
    if name is None:
        full = default_laps(log)
        if not full:
            raise ChoiceError(f"{log.file_name}: no full lap; name one as "
                              f"{log.file_name}:LAP")
        return full[0]
    rows = laps_named(log, name)
    if name.part is not None:
        return rows[0]
    try:
        return lap_numbered(log.lap_times(), name.number)
    except LookupError:  # several laps numbered N, none full: named here as N.K
        laps = log.lap_times().to_pylist()
        raise ChoiceError(f"{log.file_name}: no full lap {name.number} but {len(rows)} laps "
                          f"numbered {name.number}: {_lap_list(laps, rows, name.number)}; "
                          f"name one as {log.file_name}:{name.number}.K") from None


def default_laps(log: LogFile) -> list[int]:
    """Rows of the full laps, fastest first (of all sessions): the first is the reference
    a comparison is drawn against, the second the lap compared by default."""
    table = log.lap_times()
    kind = table.column("lap_type").to_numpy(zero_copy_only=False)
    duration = table.column("duration").to_numpy()
    rows = np.flatnonzero((kind == "full") & np.isfinite(duration))
    return [int(row) for row in rows[np.lexsort((rows, duration[rows]))]]


# -- values ---------------------------------------------------------------------------------

def shown(values: np.ndarray, field: pa.Field, speed_unit: str) -> tuple[np.ndarray, str]:
    """A channel's values in the unit shown, and that unit: m/s as `speed_unit`, fractions
    given in "%" (pedals, LapDistPct) as percent."""
    unit = field_text(field, b"units")
    values = values.astype(np.float64)
    if unit == "m/s":
        return values * SPEED_UNITS[speed_unit], speed_unit
    if unit == "%":
        return values * 100.0, "%"
    return values, unit


def value_range(unit: str) -> tuple[float, float] | None:
    """The span an axis of values in `unit` always shows (percent: 0 to 100), or None."""
    return PERCENT_RANGE if unit == "%" else None


def is_step(field: pa.Field) -> bool:
    """Whether the channel holds levels (gears, flags, counters) rather than a quantity
    that varies smoothly between records."""
    return field_text(field, b"interpolate") != "True"


def lap_text(laps: Sequence[dict[str, Any]], row: int) -> str:
    """The name of row `row` of lap_times() (as dicts) that names it alone: "N" where no other
    lap has its number, else "N.K"."""
    number = laps[row]["num"]
    alike = [k for k, lap in enumerate(laps) if lap["num"] == number]
    return str(number) if len(alike) == 1 else f"{number}.{alike.index(row) + 1}"


def lap_label(laps: Sequence[dict[str, Any]], row: int, source: str = "") -> str:
    """"lap 3.2 (full) · 1:27.428": the lap's name and type, with the session where the
    recording has several, the source when laps of several recordings are shown, and the
    best lap marked."""
    lap = laps[row]
    text = f"{source} lap {lap_text(laps, row)}" if source else f"lap {lap_text(laps, row)}"
    sessions = len({other["session"] for other in laps})
    text += f" ({lap['lap_type']}" + (f", session {lap['session']})" if sessions > 1 else ")")
    text += f" · {format_lap_time(lap['duration'])}"
    return text + (" best" if lap["best"] else "")


def compared_laps(logs: dict[str, LogFile], names: Sequence[tuple[str, LapName | None]]
                  ) -> list[tuple[str, int]]:
    """(file, row of lap_times()) of each lap a comparison shows, the first the reference:
    one FILE alone is its fastest full lap and the next fastest (the one where it has one),
    else each FILE[:LAP] names one lap. ChoiceError as `choose_lap`."""
    if len(names) == 1 and names[0][1] is None:
        file = names[0][0]
        rows = default_laps(logs[file])[:2]
        if rows:
            return [(file, row) for row in rows]
    return [(file, choose_lap(logs[file], name)) for file, name in names]


# -- x axes and breaks ----------------------------------------------------------------------

def lap_x(part: LogFile, lap: dict[str, Any], along: str) -> np.ndarray:
    """The x of each record of a one-lap LogFile: metres from the line ("distance") or
    seconds since the lap began ("time"). ChoiceError when the lap has no distance."""
    if along == "distance":
        try:
            return lap_distances(part.lap_inputs, part.lap_times())
        except ValueError as exc:
            raise ChoiceError(str(exc)) from None
    seconds: np.ndarray = (part.lap_inputs.times - lap["start_time"]) / 1000
    return seconds


def recording_time(log: LogFile) -> tuple[np.ndarray, np.ndarray, list[tuple[float, int]], bool]:
    """Seconds to plot a whole recording against: the session time, except that a session
    or a clock that starts again goes on after the end of the previous stretch. Also the
    records that begin a new stretch (where the line breaks), the x and number of each
    session's start, and whether x is the session time throughout."""
    seconds = log.lap_inputs.times / 1000.0
    if not len(seconds):
        return seconds, np.zeros(0, np.int64), [], True
    session = log.lap_inputs.session if log.lap_inputs.session is not None else \
        np.zeros(len(seconds), np.int64)
    step = np.diff(seconds)
    same_session = session[1:] == session[:-1]
    joined = same_session & (step >= 0) & (step <= gap_ms(log.lap_inputs) / 1000.0)
    forward = np.where(same_session & (step > 0), step, 0.0)
    x = np.nan_to_num(seconds[0]) + np.concatenate(([0.0], np.cumsum(np.nan_to_num(forward))))
    starts = np.flatnonzero(~same_session) + 1
    marks = [(float(x[i]), int(session[i])) for i in starts]
    return x, np.flatnonzero(~joined) + 1, marks, bool(np.allclose(x, seconds, equal_nan=True))


class LapMark(NamedTuple):
    """A place on a whole recording's time axis: where a lap begins ("lap N") or where a
    reset cut a lap short ("reset")."""

    x: float
    kind: str  # "lap" or "reset"
    text: str


def lap_marks(log: LogFile, x: np.ndarray) -> list[LapMark]:
    """The start of every racing lap and every reset, at the x (one per record) the
    recording is drawn against."""
    table = log.lap_times()
    if not len(x) or not table.num_rows:
        return []
    first = table.column("first_record").to_numpy()
    end = table.column("end_record").to_numpy()
    reset = table.column("reset").to_numpy(zero_copy_only=False)
    marks = [LapMark(float(x[row]), "lap", f"lap {num}")
             for row, num in zip(first, table.column("num").to_pylist())]
    marks += [LapMark(float(x[min(row, len(x) - 1)]), "reset", "reset") for row in end[reset]]
    return sorted(marks)

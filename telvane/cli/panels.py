"""Channel panels as a racer reads them: speed in km/h or mph, pedals in percent, gears and
flags as steps on whole numbers, laps named by number and time, and no line drawn across a
break in time (a gap, a session change, a clock starting again)."""

from __future__ import annotations

from typing import Any

import numpy as np
import pyarrow as pa

from telvane.logfile import LogFile
from telvane.racing import gap_ms
from telvane.text import field_text, format_lap_time

SPEED_UNITS = {"km/h": 3.6, "mph": 3600 / 1609.344}  # from m/s


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


def is_step(field: pa.Field) -> bool:
    """Whether the channel holds levels (gears, flags, counters) rather than a quantity
    that varies smoothly between records."""
    return field_text(field, b"interpolate") != "True"


def draw(axis: Any, x: np.ndarray, log: LogFile, name: str, speed_unit: str,
         breaks: np.ndarray | None = None, **style: Any) -> Any:
    """Plot one channel of `log` against x, broken before the records `breaks` names."""
    field = log[name].schema.field(1)
    y, _ = shown(log[name].column(1).to_numpy(), field, speed_unit)
    if breaks is not None and len(breaks):
        x, y = np.insert(x.astype(np.float64), breaks, np.nan), np.insert(y, breaks, np.nan)
    if is_step(field):
        return axis.step(x, y, where="post", **style)[0]
    return axis.plot(x, y, **style)[0]


def label(axis: Any, log: LogFile, name: str, speed_unit: str) -> None:
    field = log[name].schema.field(1)
    _, unit = shown(np.zeros(0), field, speed_unit)
    axis.set_ylabel(f"{name} [{unit}]" if unit else name)
    if is_step(field):
        from matplotlib.ticker import MaxNLocator

        axis.yaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
    axis.grid(alpha=0.3)


def lap_label(lap: dict[str, Any], sessions: int, source: str = "") -> str:
    """"lap 3 · 1:27.428", with the session where the recording has several, the source
    when laps of several recordings are shown, and the best lap marked."""
    text = f"{source} lap {lap['num']}" if source else f"lap {lap['num']}"
    if sessions > 1:
        text += f" (session {lap['session']})"
    text += f" · {format_lap_time(lap['duration'])}"
    return text + (" best" if lap["best"] else "")


def colours(count: int) -> list[Any]:
    """One colour per trace: the ten of matplotlib's cycle, or a spectrum for more laps,
    so that no two traces look alike."""
    import matplotlib

    if count <= 10:
        return [f"C{k}" for k in range(count)]
    return list(matplotlib.colormaps["turbo"](np.linspace(0.05, 0.95, count)))


def legend(figure: Any, handles: list[Any], labels: list[str]) -> float:
    """Lap names in columns above the panels (none without names), the figure made taller
    to hold them; returns the share of the figure's height left for the panels."""
    height: float = figure.get_figheight()
    title = 0.5  # inches for the title
    if not handles:
        return 1.0 - title / height
    columns = min(len(handles), 4 if max(map(len, labels)) < 26 else 3)
    rows = -(-len(handles) // columns)
    extra = 0.2 * rows + 0.1
    figure.set_figheight(height + extra)
    figure.legend(handles, labels, loc="upper center", frameon=False, ncol=columns,
                  fontsize="small", bbox_to_anchor=(0.5, 1.0 - title / (height + extra)))
    return 1.0 - (title + extra) / (height + extra)


def recording_time(log: LogFile) -> tuple[np.ndarray, np.ndarray, list[tuple[float, int]], bool]:
    """Seconds to plot a whole recording against: the session time, except that a session
    or a clock that starts again goes on after the end of the previous stretch. Also the
    records that begin a new stretch (where the line breaks), the x and number of each
    session's start, and whether x is the session time throughout."""
    seconds = log.lap_inputs.times / 1000.0
    if not len(seconds):
        return seconds, np.zeros(0, np.int64), [], True
    session = log["SessionNum"].column(1).to_numpy() if "SessionNum" in log else \
        np.zeros(len(seconds), np.int64)
    step = np.diff(seconds)
    same_session = session[1:] == session[:-1]
    joined = same_session & (step >= 0) & (step <= gap_ms(log.lap_inputs) / 1000.0)
    forward = np.where(same_session & (step > 0), step, 0.0)
    x = np.nan_to_num(seconds[0]) + np.concatenate(([0.0], np.cumsum(np.nan_to_num(forward))))
    starts = np.flatnonzero(~same_session) + 1
    marks = [(float(x[i]), int(session[i])) for i in starts]
    return x, np.flatnonzero(~joined) + 1, marks, bool(np.allclose(x, seconds, equal_nan=True))

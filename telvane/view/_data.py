"""What the lap viewer page holds: the lap table of every recording, and each lap's traces
on a grid of one metre of lap distance, packed as one compressed block of columns.

Every column is a lap's values on its own grid (`start` metres plus one per value); each is
stored with its bytes split by significance (all first bytes, then all second bytes…), which
lets deflate shrink telemetry floats far more than it could their bytes in order."""

from __future__ import annotations

import math
import zlib
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa

from telvane import _traces
from telvane._corner_analysis import MARGIN, STOPPED

__all__ = ["ALWAYS", "DEFAULT_PANES", "EARTH_RADIUS", "EXTRA_BUDGET", "WHEN_CHANGING", "Column",
           "PageData", "elapsed_by_distance", "integrated_positions", "map_positions",
           "numeric_channels", "on_grid", "racing_metres", "usable_origin"]

# The panes a page opens with, where the recording has the channel.
DEFAULT_PANES = ("Speed", "Throttle", "Brake", "Gear", "SteeringWheelAngle", "RPM")
# Default panes shown only where their channel changes: a one-gear car has no Gear pane.
WHEN_CHANGING = ("Gear",)
# Channels every lap carries, beyond the panes: the g-g diagram's.
ALWAYS = ("LatAccel", "LongAccel")
# Raw bytes of the extra channels (every channel of the chosen laps) the page may hold.
EXTRA_BUDGET = 6_000_000
EARTH_RADIUS = 6_371_000.0  # metres


@dataclass
class Column:
    row: int  # of the page's lap table
    name: str
    values: np.ndarray  # float32 or float64
    channel: bool = True  # else one of the page's own: elapsed, map_x, map_y


@dataclass
class PageData:
    manifest: dict[str, Any]
    columns: list[Column] = field(default_factory=list)

    def pack(self) -> bytes:
        """The columns' bytes, each split by significance, deflated as one block; the
        manifest's `columns` list says where each lies."""
        parts, offset, described = [], 0, []
        for column in self.columns:
            width = column.values.dtype.itemsize
            raw = np.ascontiguousarray(column.values).view(np.uint8).reshape(-1, width)
            parts.append(raw.T.tobytes())
            described.append({"row": column.row, "name": column.name, "channel": column.channel,
                              "width": width, "offset": offset, "count": len(column.values)})
            offset += len(column.values) * width
        self.manifest["columns"] = described
        return zlib.compress(b"".join(parts), 6)


def numeric_channels(log: Any) -> list[str]:
    """The channels whose values can be drawn: numbers and flags."""
    return [name for name in log.channel_names
            for kind in [log.channels[name].schema.field(1).type]
            if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)]


def elapsed_by_distance(lap: Any) -> tuple[np.ndarray, np.ndarray]:
    """The grid of whole metres a one-lap LogFile covers, and the ms since the lap's start
    at each: the two halves of the time delta between two laps."""
    distance, elapsed, grid = _traces.time_by_distance(lap.lap_inputs, lap.lap_times())
    return grid, _traces.resample(elapsed, distance, grid, True)


def on_grid(distance: np.ndarray, values: np.ndarray, grid: np.ndarray) -> np.ndarray:
    """`values` (at the metres `distance`) at each metre of `grid`, NaN where absent."""
    at = np.clip(np.searchsorted(distance, grid), 0, max(len(distance) - 1, 0))
    result = np.full(len(grid), np.nan)
    if len(distance):
        found = distance[at] == grid
        result[found] = values[at[found]]
    return result


def racing_metres(speed: np.ndarray | None, pit: np.ndarray | None) -> np.ndarray | None:
    """Where on a lap's grid (its Speed and OnPitRoad there, either None) the car is
    racing: off pit road, and neither stopped nor on its way into or out of a stop (the
    metres before it over which the speed only falls, and after it only rises). The page's
    scales come from these metres, so a car standing in the pits flattens no lap."""
    metres = speed if speed is not None else pit
    if metres is None:
        return None
    racing: np.ndarray = np.ones(len(metres), np.bool_)
    if pit is not None:
        racing = racing & ~(pit > 0)
    if speed is not None:
        stopped = np.flatnonzero(speed < STOPPED)
        for run in np.split(stopped, np.flatnonzero(np.diff(stopped) > 1) + 1):
            if len(run):
                racing[_settled(speed, run[0], -1):_settled(speed, run[-1], 1) + 1] = False
    return racing


def _settled(speed: np.ndarray, at: int, step: int) -> int:
    """From a stopped metre `at`, the last metre in the direction `step` that the speed
    climbs to without falling back by MARGIN (a smaller dip is no corner either): where the
    car began to stop, or ended starting."""
    top = speed[at]
    while 0 <= at + step < len(speed) and speed[at + step] >= top - MARGIN:
        at += step
        top = max(top, speed[at])
    return at


def map_positions(lap: Any, grid: np.ndarray, origin: tuple[float, float] | None
                  ) -> tuple[np.ndarray, np.ndarray] | None:
    """East and north metres from `origin` (degrees) at each grid metre, from `Lat` and
    `Lon` worked in float64; None without them."""
    if origin is None or "Lat" not in lap or "Lon" not in lap:
        return None
    table = lap.by_distance(["Lat", "Lon"])
    distance = table.column("distance").to_numpy()
    lat = on_grid(distance, table.column("Lat").to_numpy().astype(np.float64), grid)
    lon = on_grid(distance, table.column("Lon").to_numpy().astype(np.float64), grid)
    off = ~_degrees(lat, lon)
    lat[off] = lon[off] = np.nan  # a gap in the line, where an infinity would stretch the map
    north = np.radians(lat - origin[0]) * EARTH_RADIUS
    east = np.radians(lon - origin[1]) * EARTH_RADIUS * math.cos(math.radians(origin[0]))
    return east, north


def integrated_positions(lap: Any, grid: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """East and north metres at each grid metre, integrating one metre at a time along the
    heading `Yaw`, from the lap's first metre; None without it."""
    if "Yaw" not in lap or not len(grid):
        return None
    distance = _traces.lap_distances(lap.lap_inputs, lap.lap_times())
    yaw = np.unwrap(lap["Yaw"].column(1).to_numpy().astype(np.float64))
    usable = np.isfinite(distance) & np.isfinite(yaw)
    heading = _traces.resample(yaw[usable], distance[usable], grid, True)
    east = np.concatenate(([0.0], np.cumsum(np.cos(heading[:-1]))))
    north = np.concatenate(([0.0], np.cumsum(np.sin(heading[:-1]))))
    return east, north


def usable_origin(log: Any) -> tuple[float, float] | None:
    """A latitude and longitude the recording's positions are measured from: its first
    place on the globe away from (0, 0), where the simulator puts a car not in the world."""
    if "Lat" not in log or "Lon" not in log:
        return None
    lat = log["Lat"].column(1).to_numpy().astype(np.float64)
    lon = log["Lon"].column(1).to_numpy().astype(np.float64)
    placed = np.flatnonzero(_degrees(lat, lon) & ((lat != 0) | (lon != 0)))
    return (float(lat[placed[0]]), float(lon[placed[0]])) if len(placed) else None


def _degrees(lat: np.ndarray, lon: np.ndarray) -> np.ndarray:
    """Where `lat` and `lon` are a place on the globe: neither NaN, infinite nor beyond it."""
    on_globe: np.ndarray = (np.abs(lat) <= 90) & (np.abs(lon) <= 180)
    return on_globe

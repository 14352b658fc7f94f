"""The lap viewer's data from one or more recordings of one track: the lap table with sector
times, and each lap's traces by distance."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from telvane import _traces
from telvane._session_info import session_names
from telvane._text import field_text
from telvane.view._data import (ALWAYS, DEFAULT_PANES, EXTRA_BUDGET, WHEN_CHANGING, Column,
                               PageData, elapsed_by_distance, integrated_positions,
                               map_positions, numeric_channels, on_grid, racing_metres,
                               usable_origin)

__all__ = ["TrackMismatch", "check_one_track", "page_data"]


# What telvane.corners measures a lap by: a lap without one of them is left out of the table.
CORNER_CHANNELS = ("Speed", "Brake", "Throttle")
# References the page holds corner tables for: the laps it opens with, then the fastest full
# laps. Each table measures every lap, so the page grows with their product.
CORNER_REFERENCES = 8


class TrackMismatch(ValueError):
    """Laps of recordings made on different tracks, which no overlay can compare."""


def _track(log: Any) -> tuple[str, str]:
    """The track's name and length as the session info writes them."""
    return str(log.metadata.get("track_name", "")), str(log.metadata.get("track_length", ""))


def check_one_track(logs: Sequence[tuple[str, Any]]) -> None:
    """Raise TrackMismatch unless every recording's session info names the same track of
    the same length."""
    first_name, first = logs[0]
    track = _track(first)
    for other_name, other in logs[1:]:
        if not _traces.same_track(first.lap_inputs, other.lap_inputs):
            raise TrackMismatch(
                f"{other_name}: recorded on {_describe(*_track(other))}, not on "
                f"{_describe(*track)} as {first_name}; laps of different tracks cannot be "
                f"compared")


def _describe(name: str, length: str) -> str:
    shown = repr(name) if name else "an unnamed track"
    return f"{shown} ({length})" if length else shown


def _session_names(log: Any) -> dict[int, str]:
    return session_names(log.metadata.get("session_info_yaml", ""))


def _lap_names(laps: list[dict[str, Any]]) -> list[str]:
    """Each lap's name as FILE:N takes it: "N", or "N.K" for the K-th of the laps numbered N."""
    counts, seen = Counter(lap["num"] for lap in laps), Counter[int]()
    names = []
    for lap in laps:
        seen[lap["num"]] += 1
        names.append(f"{lap['num']}.{seen[lap['num']]}" if counts[lap["num"]] > 1 else str(lap["num"]))
    return names


def _lap_rows(index: int, log: Any) -> list[dict[str, Any]]:
    """The page's lap-table rows of one recording, with their sector times."""
    laps = log.lap_times().to_pylist()
    sectors = log.sectors().to_pylist()
    count = len(log.lap_inputs.sector_starts)
    for lap in laps:
        lap["sectors"], lap["sector_best"] = [None] * count, [False] * count
    for sector in sectors:
        lap = laps[sector["lap"]]
        lap["sectors"][sector["sector"]] = sector["duration"]
        lap["sector_best"][sector["sector"]] = sector["best"]
    return [{"file": index, "row": row, "session": lap["session"], "num": lap["num"], "name": name,
             "lap_type": lap["lap_type"], "duration": lap["duration"], "best": lap["best"],
             "sectors": lap["sectors"], "sector_best": lap["sector_best"]}
            for row, (lap, name) in enumerate(zip(laps, _lap_names(laps)))]


def page_data(logs: Sequence[tuple[str, Any]], reference: tuple[int, int],
              others: Sequence[tuple[int, int]]) -> PageData:
    """The page of `logs` (file name and LogFile) opening with `reference` and `others`
    chosen, each a (recording index, row of its lap_times()) pair."""
    check_one_track(logs)
    rows = [row for index, (_, log) in enumerate(logs) for row in _lap_rows(index, log)]
    position = {(row["file"], row["row"]): k for k, row in enumerate(rows)}
    chosen = [position[pair] for pair in (reference, *others)]
    available = {name for _, log in logs for name in numeric_channels(log)}
    panes = [name for name in DEFAULT_PANES if name in available]
    everywhere = panes + [name for name in ALWAYS if name in available]
    origin = usable_origin(logs[0][1])
    data = PageData({})
    extras_left = EXTRA_BUDGET
    sources = []
    shown = {}  # page row: its lap, of those with traces
    for k, row in enumerate(rows):
        log = logs[row["file"]][1]
        lap = log.lap(row["row"])
        try:
            grid, elapsed = elapsed_by_distance(lap)
        except ValueError:  # no lap distance to draw it by
            continue
        if not len(grid):
            continue
        shown[k] = lap
        row["start"], row["count"] = float(grid[0]), len(grid)
        data.columns.append(Column(k, "elapsed", elapsed, channel=False))
        names = [name for name in everywhere if name in lap]
        if k in chosen:
            extras = [name for name in numeric_channels(log) if name not in names]
            affordable = max(0, extras_left // (4 * len(grid)))
            names += extras[:affordable]
            extras_left -= 4 * len(grid) * min(len(extras), affordable)
        sources.append(_lap_columns(data, k, lap, names, grid, origin))
    first_lap = rows[chosen[0]]
    if chosen[0] not in shown:
        raise ValueError(f"{logs[first_lap['file']][0]}: lap {first_lap['num']} of session "
                         f"{first_lap['session']} has no lap distance to draw it by")
    panes = [name for name in panes if name not in WHEN_CHANGING or _changes(data, name)]
    data.manifest = _manifest(logs, rows, chosen, panes, next(filter(None, sources), None))
    references = [k for k in (*chosen, *_fastest(rows)) if k in shown]
    data.manifest["corners"] = [_corner_table(k, shown)
                                for k in list(dict.fromkeys(references))[:CORNER_REFERENCES]]
    return data


def _fastest(rows: list[dict[str, Any]]) -> list[int]:
    full = [k for k, row in enumerate(rows) if row["lap_type"] == "full" and row["duration"] is not None]
    return sorted(full, key=lambda k: rows[k]["duration"])


def _lap_columns(data: PageData, k: int, lap: Any, names: list[str], grid: np.ndarray,
                 origin: tuple[float, float] | None) -> str | None:
    """Add the columns of page row `k` (`lap` on its `grid`) to `data`: the channels
    `names`, where the car is racing and its place on the map; return what the map was
    drawn from ("Lat/Lon", "Yaw" or None)."""
    table = lap.by_distance(names)  # by place: a channel may be named "distance" too
    distance = table.column(0).to_numpy()
    values = {}
    for i, name in enumerate(names, 1):
        column = table.column(i).to_numpy(zero_copy_only=False).astype(np.float64)
        values[name] = on_grid(distance, column, grid).astype(np.float32)
        data.columns.append(Column(k, name, values[name]))
    pit = None
    if "OnPitRoad" in lap:
        table = lap.by_distance(["OnPitRoad"])
        pit = on_grid(table.column(0).to_numpy(), table.column(1).to_numpy().astype(np.float64), grid)
    racing = racing_metres(values.get("Speed"), pit)
    if racing is not None:
        data.columns.append(Column(k, "racing", racing.astype(np.float32), channel=False))
    positions = map_positions(lap, grid, origin) if origin is not None else None
    source = "Lat/Lon"
    if positions is None:
        positions, source = integrated_positions(lap, grid), "Yaw"
    if positions is None:
        return None
    data.columns.append(Column(k, "map_x", positions[0].astype(np.float32), channel=False))
    data.columns.append(Column(k, "map_y", positions[1].astype(np.float32), channel=False))
    return source


def _changes(data: PageData, name: str) -> bool:
    """Whether the channel `name` takes two values or more across the page's laps."""
    seen = np.concatenate([np.unique(column.values) for column in data.columns
                           if column.channel and column.name == name] or [np.zeros(0)])
    return len(np.unique(seen[~np.isnan(seen)])) > 1


def _corner_table(reference: int, shown: dict[int, Any]) -> dict[str, Any]:
    """telvane.corners of the lap in page row `reference` against every other lap with
    traces, as columns, with the page row of each of its `lap` numbers; or the reason
    there is none."""
    from telvane._corner_analysis import corners

    others = [k for k, lap in shown.items()
              if k != reference and all(name in lap for name in CORNER_CHANNELS)]
    try:
        table = corners(shown[reference], *(shown[k] for k in others))
    except ValueError as exc:
        return {"reference": reference, "laps": [], "columns": {}, "error": str(exc)}
    return {"reference": reference, "laps": [reference, *others],
            "columns": table.to_pydict(), "error": None}


def _manifest(logs: Sequence[tuple[str, Any]], rows: list[dict[str, Any]], chosen: list[int],
              panes: list[str], map_source: str | None) -> dict[str, Any]:
    first = logs[0][1]
    length = _traces.track_length(first.lap_inputs)
    starts = first.lap_inputs.sector_starts
    channels: dict[str, dict[str, Any]] = {}
    for _, log in logs:
        for name in numeric_channels(log):
            field = log.channels[name].schema.field(1)
            channels.setdefault(name, {
                "unit": field_text(field, b"units"), "desc": field_text(field, b"desc"),
                "interpolate": field_text(field, b"interpolate") == "True",
                "whole": not pa.types.is_floating(field.type)})
    theoretical = [{"file": index, "session": session, "duration": ms}
                   for index, (_, log) in enumerate(logs)
                   for session, ms in sorted(log.theoretical_best().items())]
    track = first.metadata.get("track_display_name") or first.metadata.get("track_name", "")
    return {
        "title": track or Path(logs[0][0]).name,
        "track_length": length if length is not None and math.isfinite(length) else None,
        "sector_starts": [start * length for start in starts] if length else [],
        "files": [{"name": Path(name).name, "sessions": _session_names(log)}
                  for name, log in logs],
        "laps": rows, "theoretical": theoretical,
        "reference": chosen[0], "others": chosen[1:],
        "panes": panes, "channels": channels, "map_source": map_source,
    }

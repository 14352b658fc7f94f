"""The lap viewer's data from one or more recordings of one track: the lap table with sector
times, and each lap's traces by distance."""

from __future__ import annotations

import math
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from telvane import traces
from telvane.session_info import session_names
from telvane._text import field_text
from telvane.view.data import (ALWAYS, DEFAULT_PANES, EXTRA_BUDGET, Column, PageData,
                               elapsed_by_distance, integrated_positions, map_positions,
                               numeric_channels, on_grid, usable_origin)

__all__ = ["TrackMismatch", "check_one_track", "page_data"]


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
        if not traces.same_track(first.lap_inputs, other.lap_inputs):
            raise TrackMismatch(
                f"{other_name}: recorded on {_describe(*_track(other))}, not on "
                f"{_describe(*track)} as {first_name}; laps of different tracks cannot be "
                f"compared")


def _describe(name: str, length: str) -> str:
    shown = repr(name) if name else "an unnamed track"
    return f"{shown} ({length})" if length else shown


def _session_names(log: Any) -> dict[int, str]:
    return session_names(log.metadata.get("session_info_yaml", ""))


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
    return [{"file": index, "row": row, "session": lap["session"], "num": lap["num"],
             "lap_type": lap["lap_type"], "duration": lap["duration"], "best": lap["best"],
             "sectors": lap["sectors"], "sector_best": lap["sector_best"]}
            for row, lap in enumerate(laps)]


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
    first = logs[0][1]
    origin = usable_origin(first)
    data = PageData({})
    extras_left = EXTRA_BUDGET
    map_source = None
    for k, row in enumerate(rows):
        log = logs[row["file"]][1]
        lap = log.lap(row["row"])
        try:
            grid, elapsed = elapsed_by_distance(lap)
        except ValueError:  # no lap distance to draw it by
            continue
        if not len(grid):
            continue
        row["start"], row["count"] = float(grid[0]), len(grid)
        data.columns.append(Column(k, "elapsed", elapsed, channel=False))
        names = [name for name in everywhere if name in lap]
        if k in chosen:
            extras = [name for name in numeric_channels(log) if name not in names]
            affordable = max(0, extras_left // (4 * len(grid)))
            names += extras[:affordable]
            extras_left -= 4 * len(grid) * min(len(extras), affordable)
        table = lap.by_distance(names)  # by place: a channel may be named "distance" too
        distance = table.column(0).to_numpy()
        for i, name in enumerate(names, 1):
            values = table.column(i).to_numpy(zero_copy_only=False).astype(np.float64)
            data.columns.append(Column(k, name, on_grid(distance, values, grid).astype(np.float32)))
        positions = map_positions(lap, grid, origin) if origin is not None else None
        source = "Lat/Lon"
        if positions is None:
            positions, source = integrated_positions(lap, grid), "Yaw"
        if positions is not None:
            map_source = map_source or source
            data.columns.append(Column(k, "map_x", positions[0].astype(np.float32), channel=False))
            data.columns.append(Column(k, "map_y", positions[1].astype(np.float32), channel=False))
    first_lap = rows[chosen[0]]
    if "start" not in first_lap:
        raise ValueError(f"{logs[first_lap['file']][0]}: lap {first_lap['num']} of session "
                         f"{first_lap['session']} has no lap distance to draw it by")
    data.manifest = _manifest(logs, rows, chosen, panes, map_source)
    return data


def _manifest(logs: Sequence[tuple[str, Any]], rows: list[dict[str, Any]], chosen: list[int],
              panes: list[str], map_source: str | None) -> dict[str, Any]:
    first = logs[0][1]
    length = traces.track_length(first.lap_inputs)
    starts = first.lap_inputs.sector_starts
    channels: dict[str, dict[str, Any]] = {}
    for _, log in logs:
        for name in numeric_channels(log):
            field = log.channels[name].schema.field(1)
            channels.setdefault(name, {
                "unit": field_text(field, b"units"), "desc": field_text(field, b"desc"),
                "interpolate": field_text(field, b"interpolate") == "True"})
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

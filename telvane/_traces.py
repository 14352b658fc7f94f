"""Channels of one lap resampled by lap distance, and the time delta between two laps. Bad
samples (no distance, or one far beyond the track) are left out, and a grid never holds more
points than the track has steps."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import pyarrow as pa

from telvane._arrow import column_values
from telvane._lap_inputs import LapInputs

__all__ = ["MAX_TRACK_METRES", "by_distance", "check_same_track", "delta", "lap_distances",
           "only_lap", "resample", "same_track", "time_by_distance", "track_length"]

# Longer than any track: the bound on distances when the recording does not say its length.
MAX_TRACK_METRES = 50_000.0


def track_length(inputs: LapInputs) -> float | None:
    """Metres per lap: what `LapDist` and `LapDistPct` say together, else the session
    info's TrackLength (which the simulator rounds to 10 m)."""
    dist, pct = inputs.dist, inputs.pct
    if dist is not None and pct is not None:
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            ratio = dist / pct
            usable = (pct > 0.1) & (pct <= 1.0) & np.isfinite(ratio) & (ratio > 0)
        if usable.any():
            return float(np.median(ratio[usable]))
    return inputs.track_length


def only_lap(laps: pa.Table, file_name: str) -> dict[str, Any]:
    """The one racing lap of a one-lap LogFile's lap_times(), as a dict."""
    if laps.num_rows != 1:
        raise ValueError(f"{file_name}: expected a LogFile holding one lap, as lap() "
                         f"returns, not {laps.num_rows} laps")
    lap: dict[str, Any] = laps.to_pylist()[0]
    return lap


def _distances(inputs: LapInputs, lap: dict[str, Any]) -> tuple[np.ndarray, np.ndarray,
                                                                   float | None]:
    """Metres from the line at every record of a one-lap LogFile, counted on from the lap's
    own crossing: records before it are negative, records after its end crossing lie past
    the track length; which records have a plausible distance; and the track length."""
    length = track_length(inputs)
    if inputs.dist is not None:
        distance = inputs.dist.astype(np.float64)
    elif inputs.pct is not None and length is not None:
        distance = inputs.pct.astype(np.float64) * length
    else:
        raise ValueError(f"{inputs.file_name}: no LapDist, or LapDistPct and a track length, "
                         f"to measure lap distance")
    if length is not None:
        times = inputs.times
        if lap["start_at_line"]:
            distance[(times < lap["start_time"]) & (distance > length / 2)] -= length
        if lap["end_at_line"]:
            distance[(times > lap["end_time"]) & (distance < length / 2)] += length
    bound = 2.0 * length if length is not None else MAX_TRACK_METRES
    usable = np.isfinite(distance) & (np.abs(distance) <= bound)
    return distance, usable, length


def lap_distances(inputs: LapInputs, laps: pa.Table) -> np.ndarray:
    """Metres from the line at every record of a one-lap LogFile, counted on from the lap's
    own line crossing (negative before it; NaN where the distance is unusable)."""
    distance, usable, _ = _distances(inputs, only_lap(laps, inputs.file_name))
    distance[~usable] = np.nan
    return distance


def _grid(lap: dict[str, Any], distance: np.ndarray, length: float | None,
          step: float) -> np.ndarray:
    if not len(distance):
        return np.zeros(0)
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
    if not len(distance):
        return values[:0].astype(np.float64) if linear else values[:0]
    ahead, first = _increasing(distance)
    if linear:
        resampled: np.ndarray = np.interp(grid, ahead[first], values[first].astype(np.float64))
    else:
        held = np.searchsorted(ahead, grid, side="right") - 1
        resampled = values[np.clip(held, 0, len(values) - 1)]
    return resampled


def _values(table: pa.Table) -> np.ndarray:
    try:
        return column_values(table.column(1))
    except KeyError:  # a type no lap input has: let pyarrow convert it
        values: np.ndarray = table.column(1).to_numpy()
        return values


def by_distance(inputs: LapInputs, laps: pa.Table, channels: Mapping[str, pa.Table],
                step: float) -> pa.Table:
    """The channels of a one-lap LogFile on a grid of `step` metres of lap distance."""
    if not step > 0:
        raise ValueError(f"step must be a positive number of metres, got {step!r}")
    lap = only_lap(laps, inputs.file_name)
    distance, usable, length = _distances(inputs, lap)
    grid = _grid(lap, distance[usable], length, step)
    fields = [pa.field("distance", pa.float64(), False)]
    columns = [pa.array(grid)]
    for table in channels.values():
        field = table.schema.field(1)
        linear = (field.metadata or {}).get(b"interpolate") == b"True"
        values = resample(_values(table)[usable], distance[usable], grid, linear)
        fields.append(field)
        columns.append(pa.array(values).cast(field.type))
    return pa.Table.from_arrays(columns, schema=pa.schema(fields))


def time_by_distance(inputs: LapInputs, laps: pa.Table
                      ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Distance and ms since the lap's start at every usable record of a one-lap LogFile,
    with its line crossings added as points of their own; and the distances the lap covers,
    as a grid of one metre."""
    lap = only_lap(laps, inputs.file_name)
    distance, usable, length = _distances(inputs, lap)
    usable &= np.isfinite(inputs.times)
    distance, elapsed = distance[usable], inputs.times[usable] - lap["start_time"]
    if lap["start_at_line"]:
        distance, elapsed = np.append(distance, 0.0), np.append(elapsed, 0.0)
    if lap["end_at_line"] and length is not None:
        distance = np.append(distance, length)
        elapsed = np.append(elapsed, lap["duration"])
    order = np.argsort(elapsed, kind="stable")
    distance, elapsed = distance[order], elapsed[order]
    return distance, elapsed, _grid(lap, distance, length, 1.0)


def _track(inputs: LapInputs) -> str:
    length = "" if inputs.track_length is None else f" ({inputs.track_length / 1000:.2f} km)"
    return f"{inputs.track_name or 'an unnamed track'!r}{length} in {inputs.file_name}"


def same_track(one: LapInputs, other: LapInputs) -> bool:
    """Whether the session infos name one track: the same name, lengths within a metre
    (either unknown counts as the same)."""
    names = (one.track_name, other.track_name)
    lengths = (one.track_length, other.track_length)
    return not ((None not in names and names[0] != names[1]) or (
            None not in lengths and abs(lengths[0] - lengths[1]) > 1.0))  # type: ignore[operator]


def check_same_track(reference: LapInputs, lap: LapInputs) -> None:
    """Raise ValueError, naming both, unless the laps are of one track."""
    if not same_track(reference, lap):
        raise ValueError(f"cannot compare laps of different tracks: {_track(reference)} and "
                         f"{_track(lap)}")


def delta(reference: LapInputs, reference_laps: pa.Table, lap: LapInputs,
          lap_laps: pa.Table) -> pa.Table:
    """The time the lap lost (positive, ms) or gained (negative) against the reference by
    every metre of lap distance that both cover, counted from the first such metre (the
    line for two laps from the line). Raises ValueError for laps of two tracks."""
    check_same_track(reference, lap)
    ref_distance, ref_elapsed, ref_grid = time_by_distance(reference, reference_laps)
    distance, elapsed, grid = time_by_distance(lap, lap_laps)
    shared = grid[(grid >= ref_grid.min(initial=np.inf)) & (grid <= ref_grid.max(initial=-np.inf))]
    lost = (resample(elapsed, distance, shared, True)
            - resample(ref_elapsed, ref_distance, shared, True))
    if len(lost):  # laps not both from the line are compared from where both are
        lost -= lost[0]
    return pa.table({"distance": pa.array(shared, pa.float64()),
                     "delta": pa.array(lost, pa.float64())})

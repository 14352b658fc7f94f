"""The lap inputs: what the lap model reads of a recording, as plain numpy arrays and values,
so that laps, sectors and traces are worked out alike whichever way the recording was read
and whatever channels the reader was asked for."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from functools import cached_property
from typing import Any

import numpy as np
import pyarrow as pa

from telvane._arrow import NUMPY_TYPES, column_values
from telvane._session_info import length_metres, sector_starts

__all__ = ["CHANNELS", "LAP_INPUTS", "LapInputs", "lap_inputs"]

# The channels the lap model reads, by the name of the field that holds each.
CHANNELS = {"lap": "Lap", "dist": "LapDist", "pct": "LapDistPct", "surface": "PlayerTrackSurface",
            "pit": "OnPitRoad", "session": "SessionNum", "speed": "Speed"}
# Every channel a read gathers for the lap model, shown or not: the time base and the above.
LAP_INPUTS = ("SessionTime", *CHANNELS.values())


@dataclasses.dataclass(frozen=True, eq=False)
class LapInputs:
    """Per record: `times` (ms of session time, float64, NaN where unknown) and the lap
    channels (None where the recording lacks one, any numeric type); and the recording's
    tick rate, session-info text, track name and length (m, from the session info) and
    file name."""

    times: np.ndarray
    lap: np.ndarray | None = None
    dist: np.ndarray | None = None
    pct: np.ndarray | None = None
    surface: np.ndarray | None = None
    pit: np.ndarray | None = None
    session: np.ndarray | None = None
    speed: np.ndarray | None = None
    tick_rate: int = 60
    session_info: str = ""
    track_name: str | None = None
    track_length: float | None = None
    file_name: str = ""

    def __len__(self) -> int:
        return len(self.times)

    @cached_property
    def sector_starts(self) -> list[float]:
        """The lap fractions where the sectors start ([] without usable sector lines)."""
        return sector_starts(self.session_info, self.file_name)

    def take(self, rows: slice | np.ndarray) -> LapInputs:
        """The inputs of the chosen records (a slice, positions or a mask)."""
        def part(values: np.ndarray | None) -> np.ndarray | None:
            return None if values is None else values[rows]

        return dataclasses.replace(
            self, times=self.times[rows], lap=part(self.lap), dist=part(self.dist), pct=part(self.pct),
            surface=part(self.surface), pit=part(self.pit), session=part(self.session),
            speed=part(self.speed))


def lap_inputs(columns: Mapping[str, pa.ChunkedArray], timecodes: pa.ChunkedArray,
               metadata: Mapping[str, Any], file_name: str) -> LapInputs:
    """The lap inputs of a recording from the value columns of its channels by name (which
    may lack any of them), one value per timecode."""
    arrays = {field: _values(columns.get(name)) for field, name in CHANNELS.items()}
    seconds = _values(columns.get("SessionTime"))
    if seconds is None or seconds.dtype.kind != "f":  # the whole-ms timecodes, else finer
        times = column_values(timecodes).astype(np.float64)
    else:
        with np.errstate(over="ignore", invalid="ignore"):
            times = seconds.astype(np.float64) * 1000.0
        times[~np.isfinite(times)] = np.nan  # a time the record does not know
    rate = metadata.get("tick_rate")
    return LapInputs(times=times, **arrays,
                     tick_rate=rate if isinstance(rate, int) and rate > 0 else 60,
                     session_info=str(metadata.get("session_info_yaml", "")),
                     track_name=metadata.get("track_name"),
                     track_length=length_metres(metadata.get("track_length")),
                     file_name=file_name)


def _values(column: pa.ChunkedArray | None) -> np.ndarray | None:
    if column is None:
        return None
    if not (pa.types.is_boolean(column.type) or column.type in NUMPY_TYPES):
        return None  # a channel of a type no lap input has (bit fields, text)
    return column_values(column)

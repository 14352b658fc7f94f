"""LogFile: one IBT recording as channel tables, a laps table and session metadata."""

from __future__ import annotations

import html
import numbers
import operator
import os
from collections.abc import Sequence
from functools import cached_property
from typing import TYPE_CHECKING, Any, TypedDict

import numpy as np
import pyarrow as pa

from telvane._extras import needs_extra
from telvane.session_yaml import decode_session_info, parse_session_yaml
from telvane.text import field_text, format_lap_time, lap_rows

if TYPE_CHECKING:
    import pandas
    import polars

LAP_TYPES = ("full", "partial", "in", "out", "incomplete")
Channels = str | Sequence[str] | None  # one name, several, or None for all


class _HeaderMetadata(TypedDict):
    session_info_yaml: str
    tick_rate: int
    record_count: int
    lap_count: int
    session_start_date: int
    start_time: float
    end_time: float


class Metadata(_HeaderMetadata, total=False):
    """`LogFile.metadata`: the session-info text, the values after "TrackName: " …
    "SubSessionID: " on its lines as written (present only when a line has them), and the
    header values."""

    track_name: str
    track_display_name: str
    track_city: str
    track_country: str
    track_length: str
    series_id: str
    season_id: str
    session_id: str
    sub_session_id: str


class LogFile:
    """One recording: `channels` (name -> two-column table of `timecodes` in ms and the
    value), `laps` (one row per lap), `metadata` (session info and header values) and the
    `file_name` it was read from."""

    __iter__ = None  # indexing is by channel name, so the sequence protocol does not apply

    def __init__(self, channels: dict[str, pa.Table], laps: pa.Table, metadata: Metadata,
                 file_name: str, *, session_info_bytes: bytes | None = None) -> None:
        self.channels = channels
        self.laps = laps
        self.metadata = metadata
        self.file_name = file_name
        # The session info as the file holds it, when known: session() decodes it where
        # the metadata text has replacement characters.
        self.session_info_bytes = session_info_bytes

    def __getitem__(self, name: str) -> pa.Table:
        return self.channels[name]

    def __contains__(self, name: object) -> bool:
        return name in self.channels

    def __len__(self) -> int:
        return len(self.timecodes)

    @property
    def channel_names(self) -> list[str]:
        return list(self.channels)

    @property
    def units(self) -> dict[str, str]:
        return {name: field_text(table.schema.field(1), b"units")
                for name, table in self.channels.items()}

    @property
    def timecodes(self) -> pa.ChunkedArray:
        """Milliseconds of session time, one per record, shared by every channel table."""
        for table in self.channels.values():
            return table.column(0)
        return pa.chunked_array([], pa.int64())

    # -- wide tables ----------------------------------------------------------------------

    def to_table(self, channels: Channels = None) -> pa.Table:
        """`timecodes` and the chosen channels (a name, a list of names, or None for all) as
        one table. Columns are shared with the channel tables, field metadata is kept, and
        the schema metadata holds the session metadata as text. Raises KeyError naming the
        channels the recording lacks."""
        names = (self.channel_names if channels is None
                 else [channels] if isinstance(channels, str) else list(channels))
        missing = [name for name in names if name not in self.channels]
        if missing:
            raise KeyError(f"no channel named {', '.join(map(repr, missing))}")
        fields = [pa.field("timecodes", pa.int64(), nullable=False)]
        fields += [self.channels[name].schema.field(1) for name in names]
        columns = [self.timecodes] + [self.channels[name].column(1) for name in names]
        metadata = {key: str(value) for key, value in self.metadata.items()}
        return pa.Table.from_arrays(columns, schema=pa.schema(fields, metadata=metadata))

    def to_pandas(self, channels: Channels = None, **options: Any) -> pandas.DataFrame:
        """The wide table as a pandas DataFrame; `options` go to pyarrow's
        `Table.to_pandas`. Raises ImportError without pandas, KeyError as `to_table`."""
        needs_extra("pandas", "pandas", "LogFile.to_pandas()")
        return self.to_table(channels).to_pandas(**options)

    def to_polars(self, channels: Channels = None) -> polars.DataFrame:
        """The wide table as a polars DataFrame. Raises ImportError without polars, KeyError
        as `to_table`."""
        polars = needs_extra("polars", "polars", "LogFile.to_polars()")
        return polars.from_arrow(self.to_table(channels))

    def to_parquet(self, path: str | os.PathLike[str], channels: Channels = None,
                   **options: Any) -> None:
        """Write the wide table, with its field and schema metadata, as a Parquet file;
        `options` (compression="zstd", …) go to `pyarrow.parquet.write_table`. Raises
        KeyError as `to_table`, OSError when the file cannot be written."""
        import pyarrow.parquet as pq

        pq.write_table(self.to_table(channels), path, **options)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The wide table of all channels through the Arrow PyCapsule interface, so that
        `pa.table(log)`, `polars.DataFrame(log)` and DuckDB take the LogFile itself."""
        return self.to_table().__arrow_c_stream__(requested_schema)

    def channel_info(self) -> pa.Table:
        """One row per channel in file order: `name`, Arrow `type`, `unit`, `description`,
        and `interpolate` (whether values between records may be interpolated)."""
        fields = [table.schema.field(1) for table in self.channels.values()]
        return pa.table({
            "name": pa.array(self.channels, pa.string()),
            "type": pa.array([str(field.type) for field in fields], pa.string()),
            "unit": pa.array([field_text(field, b"units") for field in fields], pa.string()),
            "description": pa.array([field_text(field, b"desc") for field in fields], pa.string()),
            "interpolate": pa.array([field_text(field, b"interpolate") == "True"
                                     for field in fields], pa.bool_()),
        })

    # -- laps and time spans --------------------------------------------------------------

    def find_laps(self, num: int | None = None, session: int | None = None,
                  lap_type: str | None = None) -> list[int]:
        """Row numbers of the laps table whose lap number, session and lap type match all
        the given values; lap numbers repeat across sessions, so rows identify laps. Raises
        TypeError for a number that is no integer, ValueError for an unknown lap type."""
        if lap_type is not None and lap_type not in LAP_TYPES:
            raise ValueError(f"lap_type must be one of {', '.join(map(repr, LAP_TYPES))}, "
                             f"got {lap_type!r}")
        num, session = _integer("num", num), _integer("session", session)
        wanted = {"num": num, "session": session, "lap_type": lap_type}
        columns = {key: self.laps.column(key).to_pylist()
                   for key, value in wanted.items() if value is not None}
        return [row for row in range(self.laps.num_rows)
                if all(columns[key][row] == wanted[key] for key in columns)]

    def lap(self, row: int) -> LogFile:
        """The records of the lap in row `row` of the laps table (negative rows count from
        the end), as a new LogFile holding that lap alone. Raises IndexError for a row
        outside the laps table."""
        row = operator.index(row)
        if not -self.laps.num_rows <= row < self.laps.num_rows:
            raise IndexError(f"lap row {row} out of range for {self.laps.num_rows} laps")
        row %= self.laps.num_rows
        first, end = self._lap_spans[row]
        channels = {name: table.slice(first, end - first)
                    for name, table in self.channels.items()}
        return self._derived(channels, self.laps.slice(row, 1), [(0, end - first)])

    def time_range(self, start_ms: int, end_ms: int) -> LogFile:
        """The records with start_ms <= timecode < end_ms, and the laps lying wholly among
        them, as a new LogFile. Channel tables are slices of these ones when the records
        are contiguous, and share one new timecodes column otherwise. Raises TypeError
        unless both are numbers, ValueError when end_ms is before start_ms."""
        for name, value in (("start_ms", start_ms), ("end_ms", end_ms)):
            if not isinstance(value, numbers.Real):
                raise TypeError(f"time_range() {name} must be a number of milliseconds, "
                                f"got {value!r}")
        if not start_ms <= end_ms:
            raise ValueError(f"time_range() end_ms {end_ms!r} is before start_ms {start_ms!r}")
        times = self.timecodes.to_numpy()
        keep = (times >= start_ms) & (times < end_ms)
        rows = np.flatnonzero(keep)
        if rows.size == 0 or rows[-1] - rows[0] + 1 == rows.size:
            first = int(rows[0]) if rows.size else 0
            channels = {name: table.slice(first, rows.size)
                        for name, table in self.channels.items()}
        else:
            channels = _take_channels(self.channels, pa.array(rows))
        new_index = np.cumsum(keep) - 1
        laps, spans = [], []
        for lap, (first, end) in enumerate(self._lap_spans):
            if end > first and keep[first:end].all():
                laps.append(lap)
                spans.append((int(new_index[first]), int(new_index[first]) + end - first))
        return self._derived(channels, self.laps.take(pa.array(laps, pa.int64())), spans)

    def lap_times(self) -> pa.Table:
        """The laps table with `duration` (ms, end_time - start_time) and `best`, true for
        the shortest full lap of each session (the first of equal ones)."""
        duration = (self.laps.column("end_time").to_numpy()
                    - self.laps.column("start_time").to_numpy())
        sessions = self.laps.column("session").to_numpy()
        full = np.array(self.laps.column("lap_type").to_pylist(), dtype=object) == "full"
        best = np.zeros(self.laps.num_rows, dtype=bool)
        for session in np.unique(sessions[full]):
            rows = np.flatnonzero(full & (sessions == session))
            best[rows[np.argmin(duration[rows])]] = True
        table = self.laps.append_column("duration", pa.array(duration, pa.int64()))
        return table.append_column("best", pa.array(best))

    @cached_property
    def _lap_spans(self) -> list[tuple[int, int]]:
        """[first, end) record positions of every lap. Laps are consecutive runs of records:
        each starts at the first record after the previous lap's first record whose
        timecode equals its start_time (session times may start again from 0, so times
        alone do not place a lap), and ends where the next begins; the last runs to the
        final record."""
        times = self.timecodes.to_numpy()
        firsts, cursor = [], 0
        for start in self.laps.column("start_time").to_pylist():
            hits = np.flatnonzero(times[cursor:] == start)
            first = cursor + int(hits[0]) if hits.size else len(times)
            firsts.append(first)
            cursor = min(first + 1, len(times))
        return list(zip(firsts, firsts[1:] + [len(times)]))

    def _derived(self, channels: dict[str, pa.Table], laps: pa.Table,
                 spans: list[tuple[int, int]]) -> LogFile:
        log = LogFile(channels, laps, self.metadata, self.file_name,
                      session_info_bytes=self.session_info_bytes)
        log._lap_spans = spans
        return log

    # -- session info ---------------------------------------------------------------------

    def session(self) -> dict[str, Any]:
        """The session info parsed as YAML into dicts and lists ({} when there is none).
        Numbers are int and float; names, setup names and every other text are the exact
        strings the simulator wrote, read as UTF-8 or, where that fails, Windows-1252.
        Raises ImportError without PyYAML, yaml.YAMLError for text no simulator writes."""
        text = (self.metadata.get("session_info_yaml", "") if self.session_info_bytes is None
                else decode_session_info(self.session_info_bytes))
        return parse_session_yaml(text)

    # -- display --------------------------------------------------------------------------

    def __repr__(self) -> str:
        counts = (_count(len(self.channels), "channel"), _count(len(self), "record"),
                  _count(self.laps.num_rows, "lap"))
        return f"<LogFile {self.file_name!r}: {', '.join(counts)}>"

    def _repr_html_(self) -> str:
        head = html.escape(repr(self))
        track = self.metadata.get("track_display_name")
        if track:
            head += f"<br>{html.escape(track)}"
        rows = "".join(
            f"<tr><td>{num}</td><td>{session}</td><td>{html.escape(kind)}</td>"
            f"<td>{format_lap_time(ms)}{' ★' if best else ''}</td></tr>"
            for num, session, kind, ms, best in lap_rows(self.lap_times()))
        table = ("<table><tr><th>lap</th><th>session</th><th>type</th><th>time</th></tr>"
                 f"{rows}</table>") if rows else ""
        return f"<div><p>{head}</p>{table}</div>"


def _integer(name: str, value: int | None) -> int | None:
    try:
        return None if value is None else operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _take_channels(channels: dict[str, pa.Table], rows: pa.Array) -> dict[str, pa.Table]:
    """The chosen records of every channel, all sharing one taken timecodes column."""
    taken: dict[str, pa.Table] = {}
    times = None
    for name, table in channels.items():
        if times is None:
            times = table.column(0).take(rows)
        taken[name] = pa.Table.from_arrays([times, table.column(1).take(rows)],
                                           schema=table.schema)
    return taken

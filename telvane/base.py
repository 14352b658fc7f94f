"""LogFile: one IBT recording as channel tables, a laps table and session metadata."""

from __future__ import annotations

import html
import operator
import os
from collections.abc import Sequence
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from telvane._extras import needs_extra
from telvane.session_yaml import quote_session_yaml
from telvane.text import field_text, format_lap_time, lap_rows

if TYPE_CHECKING:
    import pandas
    import polars


class LogFile:
    """One recording: `channels` (name -> two-column table of `timecodes` in ms and the
    value), `laps` (one row per lap), `metadata` (session info and header values) and the
    `file_name` it was read from."""

    __iter__ = None  # indexing is by channel name, so the sequence protocol does not apply

    def __init__(self, channels: dict[str, pa.Table], laps: pa.Table,
                 metadata: dict[str, Any], file_name: str) -> None:
        self.channels = channels
        self.laps = laps
        self.metadata = metadata
        self.file_name = file_name

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

    def to_table(self, channels: Sequence[str] | None = None) -> pa.Table:
        """`timecodes` and the chosen channels (all by default) as one table. Columns are
        shared with the channel tables, field metadata is kept, and the schema metadata
        holds the session metadata as text."""
        names = self.channel_names if channels is None else list(channels)
        missing = [name for name in names if name not in self.channels]
        if missing:
            raise KeyError(f"no channel named {', '.join(map(repr, missing))}")
        fields = [pa.field("timecodes", pa.int64(), nullable=False)]
        fields += [self.channels[name].schema.field(1) for name in names]
        columns = [self.timecodes] + [self.channels[name].column(1) for name in names]
        metadata = {key: str(value) for key, value in self.metadata.items()}
        return pa.Table.from_arrays(columns, schema=pa.schema(fields, metadata=metadata))

    def to_pandas(self, channels: Sequence[str] | None = None) -> pandas.DataFrame:
        """The wide table as a pandas DataFrame (needs pandas)."""
        needs_extra("pandas", "pandas", "LogFile.to_pandas()")
        return self.to_table(channels).to_pandas()

    def to_polars(self, channels: Sequence[str] | None = None) -> polars.DataFrame:
        """The wide table as a polars DataFrame (needs polars)."""
        polars = needs_extra("polars", "polars", "LogFile.to_polars()")
        return polars.from_arrow(self.to_table(channels))

    def to_parquet(self, path: str | os.PathLike[str],
                   channels: Sequence[str] | None = None) -> None:
        """Write the wide table, with its field and schema metadata, as a Parquet file."""
        import pyarrow.parquet as pq

        pq.write_table(self.to_table(channels), path)

    # -- laps and time spans --------------------------------------------------------------

    def find_laps(self, num: int | None = None, session: int | None = None,
                  lap_type: str | None = None) -> list[int]:
        """Row numbers of the laps table whose lap number, session and lap type match all
        the given values; lap numbers repeat across sessions, so rows identify laps."""
        wanted = {"num": num, "session": session, "lap_type": lap_type}
        columns = {key: self.laps.column(key).to_pylist()
                   for key, value in wanted.items() if value is not None}
        return [row for row in range(self.laps.num_rows)
                if all(columns[key][row] == wanted[key] for key in columns)]

    def lap(self, row: int) -> LogFile:
        """The records of the lap in row `row` of the laps table (negative rows count from
        the end), as a new LogFile holding that lap alone."""
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
        are contiguous, and share one new timecodes column otherwise."""
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
        log = LogFile(channels, laps, self.metadata, self.file_name)
        log._lap_spans = spans
        return log

    # -- session info ---------------------------------------------------------------------

    def session(self) -> Any:
        """The session-info YAML as Python objects (needs PyYAML). Values the simulator
        leaves unquoted although they hold colons or other YAML syntax are read as text."""
        yaml = needs_extra("yaml", "yaml", "LogFile.session()")
        loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
        text = quote_session_yaml(self.metadata.get("session_info_yaml", ""))
        return yaml.load(text, Loader=loader)

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

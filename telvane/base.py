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

from telvane import _racing, _traces
from telvane._arrow import column_values, table_of
from telvane._extras import needs_extra
from telvane._columns import unique_names
from telvane._lap_inputs import LAP_INPUTS, LapInputs, lap_inputs
from telvane._racing import LAP_TYPES
from telvane._session_info import decode_session_info
from telvane._session_yaml import parse_session_yaml
from telvane._text import field_text, format_lap_time, lap_rows

if TYPE_CHECKING:
    import pandas
    import polars

__all__ = ["LAP_TYPES", "Channels", "LogFile", "Metadata", "delta"]

_CHANNEL_INFO = pa.schema([("name", pa.string()), ("type", pa.string()), ("unit", pa.string()),
                           ("description", pa.string()), ("interpolate", pa.bool_())])
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
    """One recording read into Arrow tables: its channels, laps and session metadata.

    `telvane.ibt` and `Recording.read` return one; `lap` and `time_range` derive new ones
    from it. It is an Arrow stream of its wide table (`pa.table(log)`, `polars.DataFrame(log)`,
    DuckDB's `SELECT … FROM log`); `log[name]` is a channel table and `name in log` says
    whether the recording has that channel.

    Attributes
    ----------
    channels : dict[str, pyarrow.Table]
        Channel name to a table of two columns, `timecodes` (int64 ms) and the value.
    laps : pyarrow.Table
        The raw lap-counter segmentation, one row per run of the lap counter.
    metadata : dict
        The session-info text, the track and session values and the header values.
    file_name : str
        The path as given, or `"<bytes>"` for bytes and file objects.
    session_info_bytes : bytes or None
        The session info as the file holds it, when the reader kept it.
    arrays : dict[str, pyarrow.Table]
        The array variables, after `Recording.read(arrays=True)`; empty otherwise.
    """

    __iter__ = None  # indexing is by channel name, so the sequence protocol does not apply

    def __init__(self, channels: dict[str, pa.Table], laps: pa.Table, metadata: Metadata,
                 file_name: str, *, session_info_bytes: bytes | None = None,
                 timecodes: pa.ChunkedArray | None = None,
                 arrays: dict[str, pa.Table] | None = None,
                 lap_inputs: LapInputs | None = None,
                 lap_channels: pa.Table | None = None) -> None:
        self.channels = channels
        self.laps = laps
        self.metadata = metadata
        self.file_name = file_name
        # The session info as the file holds it, when known: session() decodes it where
        # the metadata text has replacement characters.
        self.session_info_bytes = session_info_bytes
        self.arrays = {} if arrays is None else arrays  # array variables, from Recording.read(arrays=True)
        self._timecodes = timecodes
        # What the lap inputs are made from when first needed: the channels, unless the reader
        # gathered lap channels it does not show; then its one table, the time base first.
        self._lap_channels = lap_channels
        if lap_inputs is not None:
            self.lap_inputs = lap_inputs

    def __getitem__(self, name: str) -> pa.Table:
        """The channel table of that name; KeyError when the recording has none."""
        return self.channels[name]

    def __contains__(self, name: object) -> bool:
        return name in self.channels

    def __len__(self) -> int:
        return len(self.timecodes)

    @property
    def channel_names(self) -> list[str]:
        """The channel names, in file order."""
        return list(self.channels)

    @property
    def units(self) -> dict[str, str]:
        """Channel name to its unit text."""
        return {name: field_text(table.schema.field(1), b"units")
                for name, table in self.channels.items()}

    @property
    def timecodes(self) -> pa.ChunkedArray:
        """Milliseconds of session time, one per record, shared by every channel table."""
        if self._timecodes is not None:
            return self._timecodes
        for table in self.channels.values():
            return table.column(0)
        return pa.chunked_array([], pa.int64())

    # -- wide tables ----------------------------------------------------------------------

    def to_table(self, channels: Channels = None) -> pa.Table:
        """Return `timecodes` and the chosen channels as one table.

        Columns are shared with the channel tables (nothing is copied), field metadata is kept,
        and the schema metadata holds the session metadata as text. A name chosen twice gives one
        column; a channel whose name repeats an earlier column's, ignoring case (one called
        `timecodes`, say), becomes a column named with the first free suffix `_2`, `_3`….

        Parameters
        ----------
        channels : str, sequence of str or None
            One name, several, or None for every channel.

        Returns
        -------
        pyarrow.Table
            The wide table.

        Raises
        ------
        KeyError
            Naming the channels the recording lacks.
        """
        names = list(dict.fromkeys(self._chosen(channels)))
        fields = [pa.field("timecodes", pa.int64(), nullable=False)]
        fields += [self.channels[name].schema.field(1).with_name(column)
                   for name, column in zip(names, unique_names(["timecodes", *names])[1:])]
        columns = [self.timecodes] + [self.channels[name].column(1) for name in names]
        metadata = {key: str(value) for key, value in self.metadata.items()}
        return pa.Table.from_arrays(columns, schema=pa.schema(fields, metadata=metadata))

    def to_pandas(self, channels: Channels = None, **options: Any) -> pandas.DataFrame:
        """Return the wide table as a pandas DataFrame.

        Parameters
        ----------
        channels : str, sequence of str or None
            As for `to_table`.
        **options
            Passed to pyarrow's `Table.to_pandas` (`types_mapper=pandas.ArrowDtype`, …).

        Returns
        -------
        pandas.DataFrame
            A column per channel after `timecodes`.

        Raises
        ------
        ImportError
            When pandas is not installed.
        KeyError
            As `to_table`.
        """
        needs_extra("pandas", "pandas", "LogFile.to_pandas()")
        frame: pandas.DataFrame = self.to_table(channels).to_pandas(**options)
        return frame

    def to_polars(self, channels: Channels = None) -> polars.DataFrame:
        """Return the wide table as a polars DataFrame.

        Parameters
        ----------
        channels : str, sequence of str or None
            As for `to_table`.

        Returns
        -------
        polars.DataFrame
            A column per channel after `timecodes`.

        Raises
        ------
        ImportError
            When polars is not installed.
        KeyError
            As `to_table`.
        """
        module = needs_extra("polars", "polars", "LogFile.to_polars()")
        frame: polars.DataFrame = module.from_arrow(self.to_table(channels))
        return frame

    def to_parquet(self, path: str | os.PathLike[str], channels: Channels = None,
                   **options: Any) -> None:
        """Write the wide table, with its field and schema metadata, as a Parquet file.

        Written with zstd (level -1 for floats), dictionaries for string columns only and
        BYTE_STREAM_SPLIT for floats; the session-info text is stored once, and left out when
        too large for a Parquet footer.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.
        channels : str, sequence of str or None
            As for `to_table`.
        **options
            Passed to `pyarrow.parquet.ParquetWriter` (`compression="snappy"`, …), taking
            precedence over the choices above.

        Raises
        ------
        KeyError
            As `to_table`.
        OSError
            When the file cannot be written.
        """
        from telvane.dataset import _parquet

        _parquet.write_table(self.to_table(channels), path, **options)

    def to_motec(self, path: str | os.PathLike[str]) -> list[str]:
        """Write the recording as MoTeC i2 logged data.

        `path` (.ld) and the .ldx of the same base name beside it are each written under a
        temporary renamed into place, never over the file read. Every channel and array the
        LogFile holds (arrays after `Recording.read(arrays=True)`) is written at the tick rate
        from 0 at the first record, beside i2's standard channels, with a beacon in the .ldx at
        every crossing of the line of `lap_times()`.

        Parameters
        ----------
        path : str or os.PathLike
            The .ld file to write.

        Returns
        -------
        list of str
            The names of the channels and arrays left out because they hold text.

        Raises
        ------
        ValueError
            For a tick rate or size the format cannot hold, or a path that is the input.
        OSError
            When a file cannot be written.
        """
        from telvane import _motec

        return _motec.write_files(self, path)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The wide table of all channels through the Arrow PyCapsule interface, so that
        `pa.table(log)`, `polars.DataFrame(log)` and DuckDB take the LogFile itself."""
        return self.to_table().__arrow_c_stream__(requested_schema)

    def channel_info(self) -> pa.Table:
        """Describe every channel.

        Returns
        -------
        pyarrow.Table
            One row per channel in file order: `name`, Arrow `type`, `unit`, `description` and
            `interpolate` (whether values between records may be interpolated).
        """
        fields = [table.schema.field(1) for table in self.channels.values()]
        return table_of([list(self.channels), [str(field.type) for field in fields],
                         [field_text(field, b"units") for field in fields],
                         [field_text(field, b"desc") for field in fields],
                         [field_text(field, b"interpolate") == "True" for field in fields]],
                        _CHANNEL_INFO)

    # -- laps and time spans --------------------------------------------------------------

    def lap_times(self) -> pa.Table:
        """Return the racing laps, one row per lap in record order.

        Unlike the raw `laps`, a lap never spans two sessions or a gap in time, and the frames
        the simulator writes when it places the car belong to no lap.

        Returns
        -------
        pyarrow.Table
            `num`, `session` (from `SessionNum`), `lap_type`, `start_time` and `end_time` (ms, at
            the interpolated line crossing where the car crossed the line, else at the first or
            last record), `duration`, the records `[first_record, end_record)`, `start_at_line`
            and `end_at_line`, `reset` (cut short by a reset or a tow) and `best` (the shortest
            full lap of its session).
        """
        return self._racing

    def find_laps(self, num: int | None = None, session: int | None = None,
                  lap_type: str | None = None) -> list[int]:
        """Find the laps matching every value given.

        Lap numbers repeat across sessions, so rows of `lap_times()`, not numbers, name laps.

        Parameters
        ----------
        num : int or None
            The lap counter's value.
        session : int or None
            The session.
        lap_type : str or None
            One of "full", "partial", "in", "out", "incomplete".

        Returns
        -------
        list of int
            Rows of `lap_times()`.

        Raises
        ------
        TypeError
            For a number that is no integer.
        ValueError
            For an unknown lap type.
        """
        if lap_type is not None and lap_type not in LAP_TYPES:
            raise ValueError(f"lap_type must be one of {', '.join(map(repr, LAP_TYPES))}, "
                             f"got {lap_type!r}")
        num, session = _integer("num", num), _integer("session", session)
        table = self.lap_times()
        match = np.ones(table.num_rows, bool)
        for key, value in (("num", num), ("session", session)):
            if value is not None:
                match &= column_values(table.column(key)) == value
        if lap_type is not None:
            match &= np.array(table.column("lap_type").to_pylist(), object) == lap_type
        numbers: list[int] = np.flatnonzero(match).tolist()
        return numbers

    def lap(self, row: int) -> LogFile:
        """Return the records of one lap as a new LogFile holding that lap alone.

        Its channel tables are slices of these ones, not copies.

        Parameters
        ----------
        row : int
            A row of `lap_times()`; negative rows count from the end.

        Returns
        -------
        LogFile
            The lap, with metadata describing the slice.

        Raises
        ------
        IndexError
            For a row outside `lap_times()`.
        """
        laps = self.lap_times()
        row = operator.index(row)
        if not -laps.num_rows <= row < laps.num_rows:
            raise IndexError(f"lap row {row} out of range for {laps.num_rows} laps")
        row %= laps.num_rows
        first = laps.column("first_record")[row].as_py()
        end = laps.column("end_record")[row].as_py()
        keep = np.zeros(len(self), bool)
        keep[first:end] = True
        channels = {name: table.slice(first, end - first) for name, table in self.channels.items()}
        return self._derived(channels, keep)

    def time_range(self, start_ms: int, end_ms: int) -> LogFile:
        """Return the records with start_ms <= timecode < end_ms, and the laps lying wholly among them.

        Channel tables are slices of these ones when the records are contiguous, and share one new
        timecodes column otherwise.

        Parameters
        ----------
        start_ms : int
            The first time kept, ms of session time.
        end_ms : int
            The first time no longer kept.

        Returns
        -------
        LogFile
            The records in range, with metadata describing the slice.

        Raises
        ------
        TypeError
            Unless both are numbers.
        ValueError
            When end_ms is before start_ms (or either is NaN).
        """
        for name, value in (("start_ms", start_ms), ("end_ms", end_ms)):
            if not isinstance(value, numbers.Real):
                raise TypeError(f"time_range() {name} must be a number of milliseconds, "
                                f"got {value!r}")
        if not start_ms <= end_ms:
            raise ValueError(f"time_range() end_ms {end_ms!r} is before start_ms {start_ms!r}")
        times = column_values(self.timecodes)
        keep = (times >= start_ms) & (times < end_ms)
        rows = np.flatnonzero(keep)
        if rows.size == 0 or rows[-1] - rows[0] + 1 == rows.size:
            first = int(rows[0]) if rows.size else 0
            channels = {name: table.slice(first, rows.size)
                        for name, table in self.channels.items()}
        else:
            channels = _take_channels(self.channels, pa.array(rows))
        return self._derived(channels, keep)

    def sectors(self) -> pa.Table:
        """Return the sectors driven whole within a lap of `lap_times()`.

        Sectors come from the sector lines of the session info; a list of lines no track has is
        ignored with a warning.

        Returns
        -------
        pyarrow.Table
            One row per sector: `lap` (its row in `lap_times()`), `num`, `session`, `sector`
            (from 0), `start_time`, `end_time` and `duration` (ms, interpolated at the lines), and
            `best` (the session's shortest time in that sector, in and out laps left aside).
        """
        return self._sectors

    def theoretical_best(self) -> dict[int, float]:
        """Add up each session's best sector times.

        Returns
        -------
        dict[int, float]
            Session to the sum of its best sector times (ms), for the sessions with a time in
            every sector.
        """
        return _racing.theoretical_best(self._sectors, len(self.lap_inputs.sector_starts))

    def by_distance(self, channels: Channels = None, step: float = 1.0) -> pa.Table:
        """Resample the channels of a one-lap LogFile (what `lap` returns) onto lap distance.

        Values are interpolated linearly where the channel's field metadata says so
        (`interpolate`), else held from the last record (gears, flags).

        Parameters
        ----------
        channels : str, sequence of str or None
            As for `to_table`; all by default.
        step : float
            Metres between rows.

        Returns
        -------
        pyarrow.Table
            `distance` (m from the line), then the channels.

        Raises
        ------
        KeyError
            As `to_table`.
        """
        chosen = {name: self.channels[name] for name in self._chosen(channels)}
        return _traces.by_distance(self.lap_inputs, self.lap_times(), chosen, step)

    def corners(self, reference_row: int, *rows: int,
                corners: Sequence[float] | None = None) -> pa.Table:
        """Measure laps of this recording through the corners of one of them.

        Parameters
        ----------
        reference_row : int
            The row of `lap_times()` whose corners are found.
        *rows : int
            Rows of `lap_times()` measured through them.
        corners : sequence of float or None
            The apexes (m from the line) to use instead of those found.

        Returns
        -------
        pyarrow.Table
            The rows `telvane.corners` returns.

        Raises
        ------
        IndexError
            For a row outside `lap_times()`.
        ValueError
            As `telvane.corners`.
        """
        from telvane._corner_analysis import corners as corner_table

        return corner_table(self.lap(reference_row), *map(self.lap, rows), corners=corners)

    def _chosen(self, channels: Channels) -> list[str]:
        """The names `channels` stands for: one name, several, or None for all; KeyError
        naming those the recording lacks."""
        names = (self.channel_names if channels is None
                 else [channels] if isinstance(channels, str) else list(channels))
        missing = [name for name in names if name not in self.channels]
        if missing:
            raise KeyError(f"no channel named {', '.join(map(repr, missing))}")
        return names

    @cached_property
    def lap_inputs(self) -> LapInputs:
        """What laps, sectors and traces are worked out from.

        The lap channels, the times and the session values, kept whatever channels the LogFile holds.
        """
        if self._lap_channels is None:
            columns = {name: table.column(1) for name, table in self.channels.items() if name in LAP_INPUTS}
        else:
            names = self._lap_channels.column_names
            columns = {name: self._lap_channels.column(i) for i, name in enumerate(names) if i and name in LAP_INPUTS}
        return lap_inputs(columns, self.timecodes, self.metadata, self.file_name)

    @cached_property
    def _racing(self) -> pa.Table:
        return _racing.racing_laps(self.lap_inputs)

    @cached_property
    def _sectors(self) -> pa.Table:
        return _racing.sectors(self.lap_inputs, self.lap_times())

    @cached_property
    def _raw_spans(self) -> tuple[np.ndarray, np.ndarray] | None:
        """[first, end) record positions of the rows of `laps`: the runs of the lap
        counter, as the laps table is made; none when the table was not made (a read
        with `laps=False`), None when the runs are not the table's rows."""
        values = self.lap_inputs.lap
        if values is None or not len(values) or not self.laps.num_rows:
            first = np.zeros(0, np.int64)
        else:
            first = np.flatnonzero(np.append(True, values[1:] != values[:-1]))
        if len(first) != self.laps.num_rows:
            return None
        return first, np.append(first[1:], len(self)).astype(np.int64)

    def _derived(self, channels: dict[str, pa.Table], keep: np.ndarray) -> LogFile:
        """A LogFile of the records `keep` marks, with the laps lying wholly among them, the
        lap inputs and arrays of those records, and metadata describing the slice."""
        before = np.concatenate(([0], np.cumsum(keep)))  # kept records before each position
        laps = self.lap_times()
        first, end = (column_values(laps.column(name)) for name in ("first_record", "end_record"))
        whole = _lying_within(before, first, end)
        laps = laps.filter(pa.array(whole))
        for name, positions in (("first_record", first), ("end_record", end)):
            index = laps.schema.get_field_index(name)
            laps = laps.set_column(index, laps.schema.field(index),
                                   pa.array(before[positions[whole]]))
        timecodes = None if self._timecodes is None else self._timecodes.filter(pa.array(keep))
        raw_laps, raw_spans = self._raw_laps_within(before, keep)
        log = LogFile(channels, raw_laps, self.metadata, self.file_name,
                      session_info_bytes=self.session_info_bytes, timecodes=timecodes,
                      arrays=_take_arrays(self.arrays, keep), lap_inputs=self.lap_inputs.take(keep))
        log._raw_spans = raw_spans
        log._racing = laps
        log.metadata = _slice_metadata(self.metadata, log)
        return log

    def _raw_laps_within(self, before: np.ndarray, keep: np.ndarray
                         ) -> tuple[pa.Table, tuple[np.ndarray, np.ndarray] | None]:
        """The rows of `laps` lying wholly among the kept records, and their spans there.
        Where the lap counter's runs are not the table's rows, the rows whose times lie
        within those of the kept records."""
        spans = self._raw_spans
        if spans is None:
            times = column_values(self.timecodes)[keep]
            low, high = (times.min(), times.max()) if len(times) else (0, -1)
            start, end = (column_values(self.laps.column(name)) for name in ("start_time", "end_time"))
            return self.laps.filter(pa.array((start >= low) & (end <= high))), None
        raw_first, raw_end = spans
        whole = _lying_within(before, raw_first, raw_end)
        return (self.laps.filter(pa.array(whole)),
                (before[raw_first[whole]], before[raw_end[whole]]))

    # -- session info ---------------------------------------------------------------------

    def session(self) -> dict[str, Any]:
        """Parse the session info as YAML into dicts and lists.

        Numbers are int and float; names, setup names and every other text are the exact strings
        the simulator wrote, read as UTF-8 or, where that fails, Windows-1252.

        Returns
        -------
        dict
            The session info, {} when there is none.

        Raises
        ------
        ImportError
            When PyYAML is not installed.
        yaml.YAMLError
            For text no simulator writes.
        ValueError
            When the session info is no mapping.
        """
        text = (self.metadata.get("session_info_yaml", "") if self.session_info_bytes is None
                else decode_session_info(self.session_info_bytes))
        return parse_session_yaml(text)

    # -- display --------------------------------------------------------------------------

    def view(self, rows: Sequence[int] | None = None) -> Any:
        """Make the lap viewer page of this recording.

        Parameters
        ----------
        rows : sequence of int or None
            Rows of `lap_times()` to open with, the first the reference; by default the fastest
            full lap against the next fastest.

        Returns
        -------
        telvane.view.View
            The page: shown inline by notebooks, written by its `save(path)`.

        Raises
        ------
        IndexError
            For a row outside `lap_times()`.
        ValueError
            For a recording without laps.
        """
        from telvane.view import view

        count = self.lap_times().num_rows
        chosen = None if rows is None else [operator.index(row) for row in rows]
        for row in chosen or ():
            if not -count <= row < count:
                raise IndexError(f"lap row {row} out of range for {count} laps")
        return view([self], None if chosen is None else [(0, row % count) for row in chosen])

    def __repr__(self) -> str:
        counts = (_count(len(self.channels), "channel"), _count(len(self), "record"),
                  _count(self.lap_times().num_rows, "lap"))
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


def _lying_within(before: np.ndarray, first: np.ndarray, end: np.ndarray) -> np.ndarray:
    """Which [first, end) record spans are non-empty and wholly kept, `before` counting the
    kept records before each position."""
    whole: np.ndarray = (end > first) & (before[end] - before[first] == end - first)
    return whole


def _slice_metadata(metadata: Metadata, log: LogFile) -> Metadata:
    """The parent's metadata with the record count, lap count, and first and last session
    time (s) of a derived LogFile."""
    times = log.channels.get("SessionTime")
    if times is None or not pa.types.is_floating(times.schema.field(1).type):
        seconds = column_values(log.timecodes) / 1000.0
    else:
        seconds = column_values(times.column(1))
    sliced = metadata.copy()
    sliced["record_count"] = len(log)
    sliced["lap_count"] = log.lap_times().num_rows
    sliced["start_time"] = float(seconds[0]) if len(seconds) else 0.0
    sliced["end_time"] = float(seconds[-1]) if len(seconds) else 0.0
    return sliced


def _take_arrays(arrays: dict[str, pa.Table], keep: np.ndarray) -> dict[str, pa.Table]:
    """The rows of the kept records of every array table: one per record, or as many per
    record as a sub-tick array has samples per tick."""
    taken: dict[str, pa.Table] = {}
    for name, table in arrays.items():
        per_record = table.num_rows // len(keep) if len(keep) else 1
        taken[name] = table.filter(pa.array(np.repeat(keep, per_record)))
    return taken


def delta(reference: LogFile, lap: LogFile) -> pa.Table:
    """Return the time one lap loses or gains against another by lap distance.

    Counted from the first metre both cover (the line, for two laps from the line); both are
    one-lap LogFiles, as `LogFile.lap` returns, from one recording or from two of the same track.

    Parameters
    ----------
    reference : LogFile
        The lap compared against.
    lap : LogFile
        The lap measured.

    Returns
    -------
    pyarrow.Table
        `distance` (m) and `delta`: the ms `lap` lost (positive) or gained (negative) by then.

    Raises
    ------
    ValueError
        For laps of two tracks (the track name or length differ).
    """
    return _traces.delta(reference.lap_inputs, reference.lap_times(), lap.lap_inputs,
                        lap.lap_times())


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

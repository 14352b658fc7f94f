"""Recordings as one Parquet dataset. Under the output directory:

- `channels/`: per recording, the wide table (`timecodes` and the chosen channels, field
  metadata kept) with the recording's content hash in a `recording` column;
- `laps/`: per recording, its laps with `recording`, the keys and per-lap aggregates;
- `sessions/`: per recording, one row of keys, names, counts, the source file and the
  session-info text;
- `_telvane_dataset.json`: the layout's version and the keys it is partitioned by;
- `_schemas/`: the schema of the channels table, the union of every recording's (see
  merge_schemas());
- `_reports/`: each export run's report;
- `_runs/`, `_publishing/`: the files of runs under way, and their publishes (see
  publish());
- `_held/`, `_compactions/`: the recordings compact() merged into shared files, and the
  merges under way (see compact()).

Every table is hive-partitioned (`track=…/car=…/`) by keys taken from the session info; a
value is stored percent-encoded, which pyarrow, DuckDB, polars, Dask and Spark decode. The
files of a recording are named after the hash of its bytes, so converting it again
replaces them, and they appear together or not at all, until compact() merges the small
files of each partition. The recordings of a run (export) appear together at its end."""

from __future__ import annotations

import contextlib
import glob
import json
import math
import os
import tempfile
import time
import urllib.parse
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import pyarrow as pa

import telvane
from telvane.dataset import _compact, _convert, _parquet, _publish, _schema, _steps, _store
from telvane.base import LogFile
from telvane._session_info import list_entries, player
from telvane._arrow import arrow_array, column_values, repeated, table_of
from telvane._columns import unique_names
from telvane.dataset._confine import linked
from telvane.dataset._publish import new_run
from telvane._text import start_date

if TYPE_CHECKING:
    import pyarrow.dataset as ds
    import pyarrow.fs as pafs

# The documented surface; the other names here serve the export and the tests.
__all__ = ["DEFAULT_PARTITION_BY", "KEYS", "TABLES", "Tables", "compact", "convert", "merge_schemas",
           "new_run", "publish", "read", "sweep"]

LAYOUT_VERSION = 1
LAYOUT_FILE = "_telvane_dataset.json"
REPORTS = "_reports"
TABLES = ("channels", "laps", "sessions")
"""The dataset's tables, each a directory of its own."""
KEYS = ("track", "car", "driver", "session_type", "date")
"""The keys taken from each recording's session info, each a partition key or a column."""
DEFAULT_PARTITION_BY = ("track", "car", "session_type")
"""The keys a dataset is partitioned by unless chosen otherwise."""
UNKNOWN = "unknown"
MAX_SEGMENT = 200  # bytes of a percent-encoded key: a directory name stays within 255
HIVE_NULL = "__HIVE_DEFAULT_PARTITION__"
NO_NULL_MARK = "\0"  # no directory name holds it
SWEEP_AGE = 3600.0  # seconds since a temporary was last written, after which its run is dead
ROW_GROUP_SIZE = 65_536  # records, about 18 minutes at 60 Hz
COMPACT_TARGET = _compact.DEFAULT_TARGET


class Tables(NamedTuple):
    """The three tables of a dataset, as `read` returns them.

    Attributes
    ----------
    channels : pyarrow.dataset.Dataset
        Per record, `recording`, `timecodes` and every channel of every recording.
    laps : pyarrow.dataset.Dataset
        Per lap, `lap_times()` with `recording`, the keys and per-lap aggregates.
    sessions : pyarrow.dataset.Dataset
        Per recording, one row of keys, names, counts, the source and the session info.
    """
    channels: ds.Dataset
    laps: ds.Dataset
    sessions: ds.Dataset


def prepare(out_dir: str | os.PathLike[str],
            partition_by: Sequence[str] = DEFAULT_PARTITION_BY) -> tuple[str, ...]:
    """Make `out_dir` a dataset partitioned by `partition_by`, or check that it is one
    partitioned the same way (ValueError otherwise); returns the partition keys."""
    _local(out_dir)
    keys = (partition_by,) if isinstance(partition_by, str) else tuple(partition_by)
    unknown = [key for key in keys if key not in KEYS]
    if unknown or len(set(keys)) < len(keys):
        raise ValueError(f"cannot partition by {', '.join(keys)}: choose distinct keys "
                         f"among {', '.join(KEYS)}")
    layout = {"format": "telvane dataset", "version": LAYOUT_VERSION, "partition_by": list(keys)}
    path = Path(out_dir, LAYOUT_FILE)
    if not path.exists():
        for table in TABLES:
            Path(out_dir, table).mkdir(parents=True, exist_ok=True)
        with _convert.staged() as stage:
            stage(path).write_text(json.dumps(layout, indent=1) + "\n")
    found = _layout(out_dir)
    if found["partition_by"] != list(keys):
        raise ValueError(f"{out_dir} holds a dataset partitioned by "
                         f"{', '.join(found['partition_by']) or 'nothing'}, "
                         f"not by {', '.join(keys) or 'nothing'}")
    return keys


def convert(source: str | os.PathLike[str], out_dir: str | os.PathLike[str], *,
            columns: Sequence[str] | None = None,
            partition_by: Sequence[str] = DEFAULT_PARTITION_BY,
            progress: Callable[[float], Any] | None = None,
            timeout: float | None = None, replace: bool = False,
            run: str | None = None, live_dumps: bool = False) -> dict[str, Any]:
    """Add one recording to the dataset under `out_dir`.

    Leaves nothing of a file that did not succeed.

    Parameters
    ----------
    source : str or os.PathLike
        The recording; may be a URL of object storage.
    out_dir : str or os.PathLike
        The dataset's directory, made when missing.
    columns : sequence of str or None
        The channels to store; all by default.
    partition_by : sequence of str
        The keys of `KEYS` to partition by.
    progress : callable or None
        Told `progress(fraction)`, how far the file has come, reading then writing.
    timeout : float or None
        Seconds after which the convert gives up where it is.
    replace : bool
        Convert a recording the dataset holds already in files of its own again.
    run : str or None
        A name from `new_run()`: the files appear when `publish(out_dir, run, rows)` ends the
        run. Without one the recording is published when this returns.
    live_dumps : bool
        Store a live telemetry memory dump too, instead of skipping it.

    Returns
    -------
    dict
        The report row: `source`, `status` ("ok"; "present" when the dataset holds the
        recording already; "skipped" for a live telemetry memory dump; "failed"; "timeout"),
        `error` (None or the message), `recording` (the content identity), `records`,
        `seconds` and `output`.

    Raises
    ------
    ValueError
        When `out_dir` is a dataset partitioned by other keys. A bad file or a failed write is
        reported in the row, never raised; Ctrl-C and SystemExit pass.
    """
    roots = [Path(out_dir)] if run is None else [Path(out_dir), _publish.staging(out_dir, run)]

    def held(recording: str) -> str | None:
        keys = prepare(out_dir, partition_by)
        # with `replace`, only a merged file holds it: its rows are not rewritten one recording at a time
        for root in () if replace else roots:
            pattern = Path(glob.escape(os.fspath(root)), "sessions", *["*"] * len(keys),
                           f"{recording}.parquet")
            for found in glob.glob(os.fspath(pattern)):
                return os.fspath(Path(out_dir, Path(found).relative_to(root)))
        return _compact.held(out_dir, recording)  # read only when no file of its own holds it

    return _convert_into(source, out_dir, roots[-1], held, columns, partition_by, progress, timeout,
                         live_dumps)


def _convert_to_url(source: str | os.PathLike[str], url: str, held: Mapping[str, str], *,
                   columns: Sequence[str] | None = None,
                   partition_by: Sequence[str] = DEFAULT_PARTITION_BY,
                   timeout: float | None = None, replace: bool = False,
                   run: str | None = None, live_dumps: bool = False) -> dict[str, Any]:
    """convert() into the dataset at `url` from this machine: written under a local
    temporary directory, then uploaded, its sessions file last, with `run` under the run's
    staging there, as convert() does. A recording in `held` (those the dataset holds, each
    with where) is reported present unless `replace`."""
    with tempfile.TemporaryDirectory(prefix="telvane-") as local:
        prepare(local, partition_by)
        row = _convert_into(source, local, Path(local),
                            lambda recording: None if replace else held.get(recording),
                            columns, partition_by, None, timeout, live_dumps)
        _store.upload(Path(local), url if run is None else f"{url.rstrip('/')}/{_publish.RUNS}/{run}")
    if row["status"] == "ok":
        row["output"] = f"{url.rstrip('/')}/{Path(row['output']).relative_to(local).as_posix()}"
    return row


def _convert_into(source: str | os.PathLike[str], out_dir: str | os.PathLike[str], root: Path,
                  held: Callable[[str], str | None], columns: Sequence[str] | None,
                  partition_by: Sequence[str], progress: Callable[[float], Any] | None,
                  timeout: float | None, live_dumps: bool) -> dict[str, Any]:
    """convert(), writing the files under `root` as they lie under `out_dir`."""
    def read(recording: telvane.Recording, progress: _convert.Progress) -> LogFile:
        if recording.live_dump and not live_dumps:
            raise _convert.Skipped("a live telemetry memory dump, not a recording written to disk")
        return recording.read(_with_aggregated(recording, columns), progress=progress)

    def write(log: LogFile, recording: str, stage: Callable[[Path], Path],
              progress: _convert.Progress) -> str:
        keys = prepare(out_dir, partition_by)
        values = recording_keys(log)
        directory = [f"{key}={_segment(values[key])}" for key in keys]
        tables = recording_tables(log, recording, {key: values[key] for key in KEYS
                                                   if key not in keys}, columns, source)
        # staged in this order, renamed in it: the schema before the files it describes,
        # the sessions file, by which a later run finds the recording held, last
        _schema.add(root, "channels", recording, tables["channels"].schema, stage)
        for name, table in tables.items():
            path = stage(Path(root, name, *directory, f"{recording}.parquet"))
            _parquet.write_table(table, path, row_group_size=ROW_GROUP_SIZE,
                                 progress=progress if name == "channels" else None)
        return os.fspath(Path(out_dir, "channels", *directory, f"{recording}.parquet"))

    return _convert.convert(source, read, write, progress=progress, timeout=timeout, held=held)


def read(out_dir: str | os.PathLike[str]) -> Tables:
    """Open the channels, laps and sessions of the dataset under `out_dir`.

    The channels dataset has every channel of every recording (null where a recording lacks
    it; a channel whose type differs between recordings in a type that holds every value).
    It opens the dataset's schema file, not the footer of every recording's file, and sees a
    run's recordings all or none.

    Parameters
    ----------
    out_dir : str or os.PathLike
        The dataset's directory, or a URL (s3://…, file://…).

    Returns
    -------
    Tables
        The three tables as pyarrow datasets, partition keys as string columns.

    Raises
    ------
    ValueError
        When `out_dir` holds no dataset.
    """
    import pyarrow.dataset as ds  # a heavy import that only reading needs

    keys = _layout(out_dir)["partition_by"]
    # Every key has a value ("unknown" at worst): a directory named for HIVE_NULL is a
    # driver or track of that name.
    partitioning = ds.HivePartitioning(pa.schema([(key, pa.string()) for key in keys]),
                                       null_fallback=NO_NULL_MARK)
    found, root = _store.store(out_dir)  # at a URL, resolved once: from_uri may ask the store where it is
    while True:  # until no publish began or ended during the listing
        marks, hidden = _publish.marks(found, root, REPORTS), _publish.hidden(found, root)
        kept = _schema.read(found, root, "channels")
        tables = Tables(*(_dataset(found, root, name, kept if name == "channels" else None, partitioning, hidden)
                          for name in TABLES))
        if _publish.marks(found, root, REPORTS) == marks:
            return tables


def compact(out_dir: str | os.PathLike[str], target_bytes: int = COMPACT_TARGET
            ) -> tuple[int, int]:
    """Merge the small files of each partition of every table.

    Readers see every recording once throughout, and a re-run of an export still finds the
    merged recordings held.

    Parameters
    ----------
    out_dir : str or os.PathLike
        The dataset's local directory.
    target_bytes : int
        Files smaller than this are merged into files of about this size.

    Returns
    -------
    tuple of int
        (files replaced, files written).

    Raises
    ------
    ValueError
        When `out_dir` is no dataset or a URL, or another compaction is running.
    """
    _local(out_dir)
    _layout(out_dir)
    if target_bytes <= 0:
        raise ValueError(f"expected a target size above 0 bytes, got {target_bytes}")
    return _compact.compact(out_dir, TABLES, target_bytes, SWEEP_AGE, ROW_GROUP_SIZE)


def merge_schemas(out_dir: str | os.PathLike[str]) -> None:
    """Keep the dataset's schema in one file per table again.

    What the end of an export does, so that `read()` opens one small file whatever the number
    of recordings.

    Parameters
    ----------
    out_dir : str or os.PathLike
        The dataset's directory, or a URL.
    """
    _layout(out_dir)
    _schema.merge(out_dir, TABLES)


def sweep(out_dir: str | os.PathLike[str], older_than: float = SWEEP_AGE) -> int:
    """Remove what killed runs left under `out_dir` and finish their publishes cut short.

    What a running convert writes is at least once a row group, so anything untouched for
    `older_than` seconds is dead: hidden `.part` temporaries and the staged files of runs that
    never published. At a URL only runs are swept: no temporary is left there.

    Parameters
    ----------
    out_dir : str or os.PathLike
        The dataset's directory, or a URL.
    older_than : float
        Seconds since a file was last written.

    Returns
    -------
    int
        How many temporaries and runs were removed.
    """
    removed, now = _publish.sweep(out_dir, older_than), time.time()
    if _store.is_url(out_dir):
        return removed
    for directory, _, names in os.walk(out_dir):
        for name in names:
            path = Path(directory, name)
            if name.startswith(".") and name.endswith(".part"):
                with contextlib.suppress(OSError):  # gone already: another run swept it
                    if now - path.stat().st_mtime > older_than:
                        _steps.step("sweep.temporary")
                        path.unlink()
                        removed += 1
    return removed


def publish(out_dir: str | os.PathLike[str], run: str, rows: Sequence[dict[str, Any]]) -> None:
    """End a run: its recordings appear in the dataset together.

    Parameters
    ----------
    out_dir : str or os.PathLike
        The dataset's directory, or the URL the run's converts uploaded their files to.
    run : str
        The run's name, from `new_run()`.
    rows : sequence of dict
        The report rows of the run's converts: those of status "ok" are published, and all of
        them kept as the run's report `_reports/RUN.parquet` with a `run` column.
    """
    table = _rows_table(rows, _convert.REPORT_SCHEMA)
    table = table.add_column(0, "run", repeated(run, table.num_rows))

    def report() -> bytes:
        sink = pa.BufferOutputStream()
        _parquet.write_table(table, sink)
        return bytes(sink.getvalue())

    _publish.publish(out_dir, run, [row["recording"] for row in rows if row["status"] == "ok"],
                     f"{REPORTS}/{run}.parquet", report,
                     held=[row["recording"] for row in rows if row["status"] == "present"])


def recording_tables(log: LogFile, recording: str, keys: dict[str, str],
                     columns: Sequence[str] | None, source: str | os.PathLike[str]
                     ) -> dict[str, pa.Table]:
    """The channels, laps and sessions tables of one recording, with its content hash in
    a `recording` column; laps and sessions carry the `keys` given too."""
    wide = log.to_table(columns).replace_schema_metadata(None)
    # a channel may not take the name of a column the dataset adds
    names = unique_names(["recording", *KEYS, *wide.column_names])[1 + len(KEYS):]
    channels = _with_keys(wide.rename_columns(names), {"recording": recording})
    laps = _with_keys(_laps(log), {"recording": recording, **keys})
    meta = log.metadata
    session = {
        "track_display_name": meta.get("track_display_name"),
        "car_name": player(meta.get("session_info_yaml", ""))["CarScreenName"],
        "start": start_date(meta.get("session_start_date", 0)),
        "records": len(log), "laps": laps.num_rows, "channels": len(log.channels),
        "source": _convert.shown(source),
        "source_size": _source_size(source),
        "session_info": meta.get("session_info_yaml", ""),
    }
    sessions = _rows_table([session], pa.schema([
        ("track_display_name", pa.string()), ("car_name", pa.string()),
        ("start", pa.timestamp("s", tz="UTC")), ("records", pa.int64()),
        ("laps", pa.int64()), ("channels", pa.int64()), ("source", pa.string()),
        ("source_size", pa.int64()), ("session_info", pa.large_string())]))
    return {"channels": channels, "laps": laps,
            "sessions": _with_keys(sessions, {"recording": recording, **keys})}


def recording_keys(log: LogFile) -> dict[str, str]:
    """track (TrackName), car (the player's CarPath, else CarScreenName), driver (the player's UserName),
    session_type (of the session of the first record) and date (UTC, of the session
    start) — each "unknown" when the recording does not say, and cut to fit a directory
    name once percent-encoded."""
    meta = log.metadata
    text = meta.get("session_info_yaml", "")
    own = player(text)
    session_nums = log.lap_inputs.session  # gathered whatever channels the read shows
    number = "0"
    if session_nums is not None and len(session_nums) and math.isfinite(session_nums[0]):
        number = str(int(session_nums[0]))
    sessions = list_entries(text, "Sessions")
    session = next((entry for entry in sessions if entry.get("SessionNum") == number),
                   sessions[0] if sessions else {})
    start = start_date(meta.get("session_start_date", 0))
    found = {"track": meta.get("track_name"), "car": own.get("CarPath") or own["CarScreenName"],
             "driver": own.get("UserName"), "session_type": session.get("SessionType"),
             "date": start.date().isoformat() if start else None}
    return {key: _fitted(found[key]) for key in KEYS}


# -- the parts of a recording's tables ----------------------------------------------------

def _laps(log: LogFile) -> pa.Table:
    """lap_times() with `max_speed` and `mean_speed` (m/s, from Speed) and `fuel_used`
    (litres, FuelLevel at the lap's first record less at its last), null where the
    channel is missing or the lap has no records."""
    laps = log.lap_times()
    spans = list(zip(laps.column("first_record").to_pylist(),
                     laps.column("end_record").to_pylist()))
    aggregates = (("max_speed", "Speed", np.max), ("mean_speed", "Speed", np.mean),
                  ("fuel_used", "FuelLevel", lambda values: values[0] - values[-1]))
    for column, channel, reduce in aggregates:
        values = np.full(len(spans), np.nan)
        field = pa.field(column, pa.float64())
        if channel in log:
            samples = column_values(log[channel].column(1)).astype(np.float64)
            for row, (first, end) in enumerate(spans):
                if end > first:
                    values[row] = reduce(samples[first:end])
            field = field.with_metadata(log[channel].schema.field(1).metadata)
        laps = laps.append_column(field, arrow_array(values, pa.float64(), valid=~np.isnan(values)))
    return laps


def _with_aggregated(recording: telvane.Recording, columns: Sequence[str] | None
                     ) -> list[str] | None:
    """The channels to read: the chosen ones and those the lap aggregates need."""
    if columns is None:
        return None
    names = [columns] if isinstance(columns, str) else list(columns)
    catalogue = recording.variables.to_pydict()
    present = {name for name, channel in zip(catalogue["name"], catalogue["channel"]) if channel}
    return names + [name for name in ("Speed", "FuelLevel") if name in present]


def _with_keys(table: pa.Table, values: dict[str, str]) -> pa.Table:
    """`table` led by one column per key, each holding the key's value in every row."""
    for position, (name, value) in enumerate(values.items()):
        table = table.add_column(position, name, repeated(value, table.num_rows))
    return table


def _rows_table(rows: Sequence[Mapping[str, Any]], schema: pa.Schema) -> pa.Table:
    """The table of `rows`, each a value per field of `schema` (None for null), built without
    pyarrow's conversion of Python objects, which imports pandas into every converting process."""
    return table_of([[row[field.name] for row in rows] for field in schema], schema)


def _segment(value: str) -> str:
    """The value percent-encoded for a directory name. The engines' mark of a missing value
    is encoded whole: DuckDB and Spark compare the name to it before decoding."""
    if value == HIVE_NULL:
        return "".join(f"%{byte:02X}" for byte in value.encode())
    return urllib.parse.quote(value, safe="")


def _fitted(value: str | None) -> str:
    value = (value or "").strip() or UNKNOWN
    while len(urllib.parse.quote(value, safe="")) > MAX_SEGMENT:
        value = value[:-1]
    return value


# -- files and messages -------------------------------------------------------------------

def _source_size(source: str | os.PathLike[str]) -> int | None:
    if os.fspath(source) == _convert.STDIN:
        return None
    return _store.size(os.fspath(source)) if _store.is_url(source) else os.stat(source).st_size


def _dataset(found: pafs.FileSystem, root: str, table: str, kept: pa.Schema | None,
             partitioning: ds.HivePartitioning, hidden: set[str]) -> ds.Dataset:
    """The files of `table`, without those a publish under way is moving in (`hidden`) and
    those a merge under way (or killed) has replaced; of schema `kept` (by default that of
    its first file) with the partition keys."""
    import pyarrow.dataset as ds
    import pyarrow.fs as pafs

    directory, parquet = f"{root}/{table}", ds.ParquetFileFormat()
    options = ds.FileSystemFactoryOptions(partition_base_dir=directory, partitioning=partitioning)
    # journals read before and after the listing: a merge that ends during it is seen
    merges = _compact.pending(found, root)
    # no directory at a URL for a table no run has published to
    listing = pafs.FileSelector(directory, recursive=True, allow_not_found=True)
    factory = _store.created_meanwhile(lambda: ds.FileSystemDatasetFactory(found, listing, parquet, options))
    merges.update(_compact.pending(found, root))
    if kept is None:  # laps and sessions: every file has the same columns, those of the first that reads
        footers = (_schema.footer(found, path) for path in factory.finish(pa.schema([])).files)
        kept = next((schema for schema in footers if schema is not None), pa.schema([]))
    listed = factory.finish(_schema.unify([kept, partitioning.schema]))
    paths = {os.path.normpath(path) for path in listed.files}
    skipped = hidden | {path for merged, replaced in merges.items() if merged in paths for path in replaced}
    skipped |= linked(found, directory, paths)
    if not skipped & paths:
        return listed
    return ds.FileSystemDatasetFactory(found, [path for path in listed.files if os.path.normpath(path) not in skipped],
                                       parquet, options).finish(listed.schema)


def _local(out_dir: str | os.PathLike[str]) -> None:
    if _store.is_url(out_dir):
        raise ValueError(f"{os.fspath(out_dir)}: expected a local directory (telvane export "
                         "--out URL writes to a URL through one)")


def _layout(out_dir: str | os.PathLike[str]) -> dict[str, Any]:
    """The layout file's content, checked: ValueError "… is not a telvane dataset" when it
    is missing, unreadable or not what this version writes."""
    found, root = _store.store(out_dir)
    path = f"{os.fspath(out_dir)}/{LAYOUT_FILE}" if _store.is_url(out_dir) else Path(out_dir, LAYOUT_FILE)
    try:
        data = _store.read_bytes(found, f"{root}/{LAYOUT_FILE}")
    except OSError as exc:
        raise ValueError(f"{path}: not a telvane dataset ({exc})") from None
    if data is None:
        raise ValueError(f"{out_dir} is not a telvane dataset: no {LAYOUT_FILE}")
    try:
        layout: dict[str, Any] = json.loads(data.decode())
    except (UnicodeDecodeError, ValueError) as exc:
        raise ValueError(f"{path}: not a telvane dataset ({exc})") from None
    keys = layout.get("partition_by") if isinstance(layout, dict) else None
    if not isinstance(keys, list) or not all(isinstance(key, str) and key in KEYS for key in keys) \
            or len(set(keys)) < len(keys) or layout.get("format") != "telvane dataset":
        raise ValueError(f"{path}: not a telvane dataset")
    if layout.get("version") != LAYOUT_VERSION:
        raise ValueError(f"{path}: not a telvane dataset of version {LAYOUT_VERSION}")
    return layout

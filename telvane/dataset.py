"""Recordings as one Parquet dataset. Under the output directory:

- `channels/`: per recording, the wide table (`timecodes` and the chosen channels, field
  metadata kept) with the recording's content hash in a `recording` column;
- `laps/`: per recording, its laps with `recording`, the keys and per-lap aggregates;
- `sessions/`: per recording, one row of keys, names, counts, the source file and the
  session-info text;
- `_telvane_dataset.json`: the layout's version and the keys it is partitioned by.

Every table is hive-partitioned (`track=…/car=…/`) by keys taken from the session info; a
value is stored percent-encoded, which pyarrow, DuckDB, polars, Dask and Spark decode. The
files of a recording are named after the hash of its bytes, so converting it again
replaces them, and they appear together or not at all."""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import secrets
import time
import urllib.parse
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import pyarrow as pa

import telvane
from telvane import parquet
from telvane.logfile import LogFile
from telvane.session_info import list_entries, player
from telvane.columns import unique_names

if TYPE_CHECKING:
    import pyarrow.dataset as ds

LAYOUT_VERSION = 1
LAYOUT_FILE = "_telvane_dataset.json"
TABLES = ("channels", "laps", "sessions")
KEYS = ("track", "car", "driver", "session_type", "date")
DEFAULT_PARTITION_BY = ("track", "car", "session_type")
UNKNOWN = "unknown"
MAX_SEGMENT = 200  # bytes of a percent-encoded key: a directory name stays within 255
ROW_GROUP_SIZE = 65_536  # records, about 18 minutes at 60 Hz
READ_SHARE = 0.25  # of a file's progress, the part taken by reading it; writing takes the rest


class Tables(NamedTuple):
    channels: ds.Dataset
    laps: ds.Dataset
    sessions: ds.Dataset


def prepare(out_dir: str | os.PathLike[str],
            partition_by: Sequence[str] = DEFAULT_PARTITION_BY) -> tuple[str, ...]:
    """Make `out_dir` a dataset partitioned by `partition_by`, or check that it is one
    partitioned the same way (ValueError otherwise); returns the partition keys."""
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
        temporary = _temporary(path.parent)
        temporary.write_text(json.dumps(layout, indent=1) + "\n")
        os.replace(temporary, path)
    found = _layout(out_dir)
    if found["partition_by"] != list(keys):
        raise ValueError(f"{out_dir} holds a dataset partitioned by "
                         f"{', '.join(found['partition_by']) or 'nothing'}, "
                         f"not by {', '.join(keys) or 'nothing'}")
    return keys


def convert(source: str | os.PathLike[str], out_dir: str | os.PathLike[str], *,
            columns: Sequence[str] | None = None,
            partition_by: Sequence[str] = DEFAULT_PARTITION_BY,
            progress: Callable[[float], Any] | None = None) -> dict[str, Any]:
    """Add one recording to the dataset under `out_dir`, or replace it there. Never raises
    for a bad file or a failed write: returns the report row `source`, `status` ("ok" or
    "failed"), `error` (None or the message), `recording` (the content hash), `records`
    and `seconds`, and leaves nothing of a failed file behind. `progress(fraction)` is
    told how far the file has come, reading then writing. Ctrl-C and SystemExit pass."""
    began = time.perf_counter()
    report: dict[str, Any] = {"source": _shown(source), "status": "failed", "error": None,
                              "recording": None, "records": None, "seconds": 0.0}
    temporaries: list[Path] = []
    try:
        keys = prepare(out_dir, partition_by)
        reading = None if progress is None else (
            lambda k, n: progress(READ_SHARE * k / n if n else READ_SHARE))
        with telvane.open(os.fspath(source)) as recording:
            log = recording.read(_with_aggregated(recording, columns), progress=reading)
        recording = content_hash(source)
        values = recording_keys(log)
        directory = [f"{key}={urllib.parse.quote(values[key], safe='')}" for key in keys]
        tables = recording_tables(log, recording, {key: values[key] for key in KEYS
                                                   if key not in keys}, columns, source)
        finals = []
        for name, table in tables.items():
            finals.append(Path(out_dir, name, *directory, f"{recording}.parquet"))
            finals[-1].parent.mkdir(parents=True, exist_ok=True)
            temporaries.append(_temporary(finals[-1].parent))
            writing = None if progress is None or name != "channels" else (
                lambda k, n: progress(READ_SHARE + (1 - READ_SHARE) * k / n))
            parquet.write_table(table, temporaries[-1], row_group_size=ROW_GROUP_SIZE,
                                progress=writing)
        for temporary, final in zip(temporaries, finals):
            os.replace(temporary, final)
        report.update(status="ok", recording=recording, records=len(log))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # the core's InternalError (a damaged file) is one too
        report["error"] = error_message(exc, source)
    finally:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)
        report["seconds"] = time.perf_counter() - began
    return report


def read(out_dir: str | os.PathLike[str]) -> Tables:
    """The channels, laps and sessions of the dataset under `out_dir` as pyarrow datasets,
    partition keys as string columns. The channels dataset has every channel of every
    recording (null where a recording lacks it)."""
    import pyarrow.dataset as ds  # a heavy import that only reading needs

    keys = _layout(out_dir)["partition_by"]
    partition_schema = pa.schema([(key, pa.string()) for key in keys])
    partitioning = ds.partitioning(partition_schema, flavor="hive")
    found = []
    for name in TABLES:
        parts = ds.dataset(Path(out_dir, name), format="parquet", partitioning=partitioning)
        schemas = [fragment.physical_schema for fragment in parts.get_fragments()]
        schema = pa.unify_schemas(schemas + [partition_schema], promote_options="permissive")
        found.append(ds.dataset(Path(out_dir, name), schema=schema, format="parquet",
                                partitioning=partitioning))
    return Tables(*found)


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
        "source": _shown(source), "source_size": os.stat(source).st_size,
        "session_info": meta.get("session_info_yaml", ""),
    }
    sessions = pa.Table.from_pylist([session], schema=pa.schema([
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
    number = "0"
    if "SessionNum" in log and len(log):
        number = str(log["SessionNum"].column(1)[0].as_py())
    sessions = list_entries(text, "Sessions")
    session = next((entry for entry in sessions if entry.get("SessionNum") == number),
                   sessions[0] if sessions else {})
    start = start_date(meta.get("session_start_date", 0))
    found = {"track": meta.get("track_name"), "car": own.get("CarPath") or own["CarScreenName"],
             "driver": own.get("UserName"), "session_type": session.get("SessionType"),
             "date": start.date().isoformat() if start else None}
    return {key: _fitted(found[key]) for key in KEYS}


def content_hash(path: str | os.PathLike[str]) -> str:
    """The first 32 hexadecimal digits of the SHA-256 of the file's bytes."""
    digest = hashlib.sha256()
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    with open(path, "rb") as file:
        while count := file.readinto(buffer):
            digest.update(view[:count])
    return digest.hexdigest()[:32]


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
            samples = log[channel].column(1).to_numpy().astype(np.float64)
            for row, (first, end) in enumerate(spans):
                if end > first:
                    values[row] = reduce(samples[first:end])
            field = field.with_metadata(log[channel].schema.field(1).metadata)
        laps = laps.append_column(field, pa.array(values, mask=np.isnan(values)))
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
        table = table.add_column(position, name, pa.repeat(pa.scalar(value), table.num_rows))
    return table


def _fitted(value: str | None) -> str:
    value = (value or "").strip() or UNKNOWN
    while len(urllib.parse.quote(value, safe="")) > MAX_SEGMENT:
        value = value[:-1]
    return value


def start_date(seconds: int) -> datetime.datetime | None:
    """The session's start from the header's Unix time; None when there is none (0 or less)
    or no date has that time."""
    try:
        return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc) if seconds > 0 else None
    except (OverflowError, OSError, ValueError):  # a date no calendar holds
        return None


# -- files and messages -------------------------------------------------------------------

def _layout(out_dir: str | os.PathLike[str]) -> dict[str, Any]:
    path = Path(out_dir, LAYOUT_FILE)
    try:
        layout = json.loads(path.read_text())
    except FileNotFoundError:
        raise ValueError(f"{out_dir} is not a telvane dataset: no {LAYOUT_FILE}") from None
    if layout.get("format") != "telvane dataset" or layout.get("version") != LAYOUT_VERSION:
        raise ValueError(f"{path}: not a telvane dataset of version {LAYOUT_VERSION}")
    return layout


def _temporary(directory: Path) -> Path:
    """A short hidden name in `directory`, whatever the final name's length; readers of
    the dataset skip names that start with a dot."""
    return directory / f".{secrets.token_hex(6)}.part"


def _shown(path: str | os.PathLike[str]) -> str:
    """The path as text that can be stored, bytes that are not UTF-8 escaped."""
    return os.fsdecode(path).encode("utf-8", "backslashreplace").decode()


def error_message(exc: BaseException, source: str | os.PathLike[str]) -> str:
    """The text of a report row's error: the exception's message without the source's name."""
    text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
    text = text or type(exc).__name__
    prefix = f"{os.fspath(source)}: "
    return text[len(prefix):] if text.startswith(prefix) else text

"""Merging the small files of each partition of a dataset's tables into files near a target
size, so that a partition of many short recordings is a few files instead of three per
recording.

A merge of some files writes the merged file under a hidden temporary, lists the recordings
it holds under `_held/` (for the check of later exports, which look for a recording's own
file first), writes a journal under `_compactions/` naming the merged file and the files it
replaces, renames the merged file into place, removes the replaced files, then the journal.
Readers skip the files a journal's merged file replaces once it is in place, so a merge
killed at any point shows every recording once; the next compaction finishes it."""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa
import pyarrow.parquet as pq

from telvane.dataset import _convert, _parquet, _process, _publish, _schema, _steps, _store
from telvane.dataset._confine import confined

if TYPE_CHECKING:
    import pyarrow.fs as pafs

__all__ = ["DEFAULT_TARGET", "HELD", "JOURNALS", "compact", "held", "pending"]

DEFAULT_TARGET = 128 * 2**20  # bytes: large enough that listing and opening files costs little
JOURNALS = "_compactions"
HELD = "_held"
LOCK = "lock"
MERGED_PREFIX = "merged-"


def compact(out_dir: str | os.PathLike[str], tables: Sequence[str], target_bytes: int,
            stale_after: float, row_group_size: int) -> tuple[int, int]:
    """Merge the files below `target_bytes` of each partition of `tables`, greedily in name
    order, into files of about `target_bytes`; returns (files replaced, files written).
    Finishes first what a compaction killed before left. ValueError when another
    compaction holds the dataset (its lock written to within `stale_after` seconds)."""
    replaced_count = written = 0
    with _locked(out_dir, stale_after) as touch:
        _finish(out_dir, stale_after)
        for table in tables:
            if confined(None, os.fspath(out_dir), table, "the table directory") is None:
                continue
            for directory, paths in _partitions(Path(out_dir, table)):
                publishing = _publish.hidden(*_store.store(out_dir))  # a merged file would show them early
                paths = [path for path in paths if os.path.normpath(path) not in publishing]
                for group in _groups(paths, target_bytes):
                    _merge(out_dir, table, directory, group, row_group_size)
                    replaced_count += len(group)
                    written += 1
                    touch()
    return replaced_count, written


def held(out_dir: str | os.PathLike[str], recording: str) -> str | None:
    """The channels partition directory of a recording a merge holds, or None."""
    directory = Path(out_dir, HELD, recording[:2])
    with contextlib.suppress(FileNotFoundError):
        for entry in os.scandir(directory):
            if entry.name.startswith("."):
                continue
            with contextlib.suppress(FileNotFoundError):
                partition, *recordings = Path(entry.path).read_text().split("\n")
                if recording in recordings:
                    return confined(None, os.fspath(Path(out_dir, "channels")), partition, "the held partition")
    return None


def pending(found: pafs.FileSystem, root: str) -> dict[str, list[str]]:
    """The merges under way (or killed) in the dataset at `root` on `found`, a directory's
    or a copy's on object storage: each merged file's path and the paths of the files it
    replaces. A reader skips the replaced files when it found the merged one."""
    merges = {}
    for info in _store.named(found, f"{root}/{JOURNALS}", ".json"):
        merged, replaced = _entry(_store.read_bytes(found, info.path))
        path = None if merged is None else confined(found, root, merged, "the merged file", ".parquet")
        if path is not None:
            merges[os.path.normpath(path)] = [os.path.normpath(original) for original in _confined(found, root, replaced)]
    return merges


# -- one merge ----------------------------------------------------------------------------

def _merge(out_dir: str | os.PathLike[str], table: str, directory: Path, group: list[Path],
           row_group_size: int) -> None:
    schema = _schema.unify([pq.read_schema(path).with_metadata(None) for path in group])
    final = directory / f"{MERGED_PREFIX}{secrets.token_hex(8)}.parquet"
    recordings: set[str] = set()
    with _convert.staged() as stage:
        temporary = stage(final)
        with pq.ParquetWriter(temporary, schema, **_parquet.write_options(schema)) as writer:
            for path in group:
                part = _conformed(pq.ParquetFile(path).read(), schema)
                recordings.update(part.column("recording").unique().to_pylist())
                writer.write_table(part, row_group_size=row_group_size)
        if table == "sessions":
            _hold(out_dir, directory.relative_to(Path(out_dir, table)), final.stem, recordings)
        journal = Path(out_dir, JOURNALS, f"{final.stem}.json")
        with _convert.staged() as journal_stage:  # in place before the merged file is
            journal_stage(journal).write_text(json.dumps({
                "merged": _relative(out_dir, final),
                "replaced": [_relative(out_dir, path) for path in group]}))
            _steps.step("compact.journal")
        _steps.step("compact.merged")
    _complete(out_dir, journal, os.fspath(final))


def _hold(out_dir: str | os.PathLike[str], partition: Path, name: str,
          recordings: set[str]) -> None:
    """List the recordings of a merged file under HELD, by the first two digits of their
    identity; in place before the files they replace are removed."""
    shards: dict[str, list[str]] = {}
    for recording in sorted(recordings):
        shards.setdefault(recording[:2], []).append(recording)
    with _convert.staged() as stage:
        for prefix, names in shards.items():
            stage(Path(out_dir, HELD, prefix, f"{name}.txt")).write_text(
                "\n".join([partition.as_posix(), *names]))
        _steps.step("compact.hold")


def _conformed(part: pa.Table, schema: pa.Schema) -> pa.Table:
    """`part` with the columns of `schema` in its order, cast to its types, null where absent."""
    columns = [part.column(field.name).cast(field.type) if field.name in part.column_names
               else pa.nulls(part.num_rows, field.type) for field in schema]
    return pa.Table.from_arrays(columns, schema=schema)


def _complete(out_dir: str | os.PathLike[str], journal: Path, merged: str) -> None:
    """Remove the files the journal's merged file replaces, then the journal. A file whose
    recordings the merged file does not hold is no file it replaced: it is kept."""
    _, originals = _entry(_read(journal))
    holds = _recordings(merged) or set()
    for path in _confined(None, os.fspath(out_dir), originals):
        with contextlib.suppress(FileNotFoundError):
            found = _recordings(path)
            if found is not None and found <= holds:
                _steps.step("compact.unlink")
                Path(path).unlink()
            else:
                warnings.warn(f"{out_dir}: left alone the replaced file {path!r}: {merged} does not hold its rows",
                              stacklevel=2)
    _steps.step("compact.unjournal")
    with contextlib.suppress(FileNotFoundError):
        journal.unlink()


def _recordings(path: str) -> set[str] | None:
    """The recordings whose rows the Parquet file at `path` holds; None when it is no file
    of a dataset's table."""
    try:
        column = pq.read_table(path, columns=["recording"]).column("recording")
    except (pa.ArrowInvalid, KeyError):
        return None
    return set(column.unique().to_pylist())


def _finish(out_dir: str | os.PathLike[str], stale_after: float) -> None:
    """Complete each journal whose merged file is in place; drop those of merges killed
    before it was (their temporaries are swept as every killed write's are)."""
    for journal in _journals(out_dir):
        merged, _ = _entry(_read(journal))
        if merged is None:  # cut short: its merge never renamed a merged file in
            _steps.step("compact.drop")
            with contextlib.suppress(FileNotFoundError):
                journal.unlink()
            continue
        path = confined(None, os.fspath(out_dir), merged, "the merged file", ".parquet")
        if path is not None and Path(path).exists():
            _complete(out_dir, journal, path)
        elif path is not None:
            _steps.step("compact.drop")
            with contextlib.suppress(FileNotFoundError):
                journal.unlink()


# -- files --------------------------------------------------------------------------------

def _partitions(root: Path) -> Iterator[tuple[Path, list[Path]]]:
    for directory, _, names in os.walk(root):
        paths = sorted(Path(directory, name) for name in names
                       if name.endswith(".parquet") and not name.startswith(".")
                       and confined(None, directory, name, "the file"))
        if paths:
            yield Path(directory), paths


def _groups(paths: list[Path], target_bytes: int) -> Iterator[list[Path]]:
    """Runs of the files below the target whose sizes add up to about it; a run of one file
    is left as it is."""
    group: list[Path] = []
    size = 0
    for path in paths:
        length = path.stat().st_size
        if length >= target_bytes:
            continue
        group.append(path)
        size += length
        if size >= target_bytes:
            if len(group) > 1:
                yield group
            group, size = [], 0
    if len(group) > 1:
        yield group


def _journals(out_dir: str | os.PathLike[str]) -> list[Path]:
    found, root = _store.store(out_dir)
    return [Path(info.path) for info in _store.named(found, f"{root}/{JOURNALS}", ".json")]


def _entry(journal: bytes | None) -> tuple[str | None, list[str]]:
    """The merged file a journal names and the files it replaces, relative to the dataset."""
    try:
        entry = json.loads(journal or b"")
        return str(entry["merged"]), [str(name) for name in entry["replaced"]]
    except (ValueError, KeyError, TypeError):  # removed meanwhile, or cut short
        return None, []


def _confined(found: pafs.FileSystem | None, root: str, replaced: list[str]) -> list[str]:
    """The paths of the files a journal says its merged file replaces: Parquet files in
    the dataset, the others left alone."""
    paths = [confined(found, root, name, "the replaced file", ".parquet") for name in replaced]
    return [path for path in paths if path is not None]


def _read(journal: Path) -> bytes | None:
    with contextlib.suppress(OSError):  # removed meanwhile
        return journal.read_bytes()
    return None


def _relative(out_dir: str | os.PathLike[str], path: Path) -> str:
    return path.relative_to(Path(out_dir)).as_posix()


def _holder(lock: bytes) -> dict[str, Any]:
    """The machine and process a lock file's bytes name; none when it is being written or
    is none."""
    with contextlib.suppress(ValueError):
        entry = json.loads(lock)
        if isinstance(entry, dict):
            return entry
    return {}


def _lock_file(path: Path) -> tuple[int, int, bytes]:
    """What tells one lock file from another: its inode, when it was last written and what
    it holds (an inode freed is soon another file's)."""
    status = path.stat()
    return status.st_ino, status.st_mtime_ns, path.read_bytes()


def _taken_over(path: Path, killed: tuple[int, int, bytes]) -> bool:
    """Remove the lock at `path` of the killed compaction whose file was `killed`; False
    when the lock there is by then another run's, which took it over first: that one is put
    back. Of two runs taking the same lock over, one moves it aside."""
    aside = path.with_name(f"{path.name}.{secrets.token_hex(4)}")
    try:
        os.rename(path, aside)
    except FileNotFoundError:  # moved aside by another run meanwhile: try to take it again
        return True
    if _lock_file(aside) == killed:
        aside.unlink()
        return True
    with contextlib.suppress(FileExistsError):
        os.link(aside, path)
    aside.unlink()
    return False


@contextlib.contextmanager
def _locked(out_dir: str | os.PathLike[str], stale_after: float) -> Iterator[Callable[[], None]]:
    """Hold the dataset's compaction lock; yields how to show the holder is still alive.
    Two merges at once could both take the same files, and hold a recording twice."""
    path = Path(out_dir, JOURNALS, LOCK)
    path.parent.mkdir(parents=True, exist_ok=True)
    for _ in range(2):
        try:
            descriptor = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            with contextlib.suppress(FileNotFoundError):
                found = _lock_file(path)
                _, written, holder = found
                killed = time.time() - written / 1e9 > stale_after or _process.running(_holder(holder)) is False
                if killed and _taken_over(path, found):
                    continue
            raise ValueError(f"{out_dir}: another compaction is running (remove {path} "
                             "if none is)") from None
        with os.fdopen(descriptor, "w") as lock:  # a lock its process left when killed is taken at once
            json.dump(_process.this_process(), lock)
        break
    else:
        raise ValueError(f"{out_dir}: another compaction is running")
    try:
        yield lambda: os.utime(path)
    finally:
        _steps.step("compact.unlock")
        with contextlib.suppress(FileNotFoundError):
            path.unlink()

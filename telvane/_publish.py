"""A run's recordings kept from readers until the run ends, then published together, in a
directory or on object storage alike (through pyarrow's file systems).

Each convert of a run writes its files under `_runs/RUN/`, laid out as in the dataset; no
reader looks there (the engines read the table directories, and skip names that start with
an underscore). publish() writes a journal under `_publishing/` naming the files it moves,
moves in the files of the recordings that finished (schema files first, since a reader
casts a file to the kept schema; sessions files last), writes the run's report, then
removes the journal and the staging. telvane.dataset.read leaves out the new files a
journal names, and lists again when a journal or a report came or went while it listed: it
sees a run whole or not at all. A publish killed midway is finished by the next sweep:
every staged file is whole."""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import secrets
import time
from collections.abc import Callable, Iterable
from pathlib import Path

import pyarrow.fs as pafs

from telvane import _convert, _remote, _table_schema

__all__ = ["JOURNALS", "RUNS", "hidden", "marks", "new_run", "publish", "staging", "sweep"]

RUNS = "_runs"
JOURNALS = "_publishing"


def new_run() -> str:
    """A run's name: its UTC start and a random suffix, in time order."""
    now = datetime.datetime.now(datetime.timezone.utc)
    return f"{now:%Y%m%dT%H%M%S.%fZ}-{secrets.token_hex(3)}"


def staging(out_dir: str | os.PathLike[str], run: str) -> Path:
    """Where the converts of `run` write their files until it is published."""
    return Path(out_dir, RUNS, run)


def publish(out_dir: str | os.PathLike[str], run: str, recordings: Iterable[str],
            report_path: str, report: Callable[[], bytes]) -> None:
    """Move the staged files of `recordings` into the dataset at `out_dir` (a directory or a
    URL), then write report(), the run's report, at `report_path` under it while the journal
    still hides them; the rest of the staging goes."""
    found, root = _remote.store(out_dir)
    base = f"{root}/{RUNS}/{run}"
    names = set(recordings)
    staged = [info.path[len(base) + 1:] for info in _remote.listed(found, base, recursive=True)
              if info.type == pafs.FileType.File and not info.base_name.startswith(".")
              and Path(info.base_name).stem in names]
    staged.sort(key=lambda relative: not relative.startswith(f"{_table_schema.SCHEMAS}/"))
    finals = found.get_file_info([f"{root}/{relative}" for relative in staged])
    journal = f"{root}/{JOURNALS}/{run}.json"
    _convert.write_whole(found, journal, json.dumps({
        "files": staged, "new": [relative for relative, info in zip(staged, finals)
                                 if info.type == pafs.FileType.NotFound]}).encode())
    _finish(found, root, run, staged)
    _convert.write_whole(found, f"{root}/{report_path}", report())
    found.delete_file(journal)
    _remove(found, base)


def hidden(found: pafs.FileSystem, root: str) -> set[str]:
    """The paths of the files that publishes under way are moving into the dataset at `root`
    on `found` and that were not in it before."""
    paths: set[str] = set()
    for journal in _journals(found, root):
        with contextlib.suppress(OSError, ValueError, KeyError, TypeError):  # finished meanwhile
            paths.update(os.path.normpath(f"{root}/{name}")
                         for name in json.loads(_remote.read_bytes(found, journal.path) or b"")["new"])
    return paths


def marks(found: pafs.FileSystem, root: str, reports: str) -> list[str]:
    """The names of the journals and reports of the dataset at `root` on `found`: a publish
    that began or ended changes them."""
    return [*(info.base_name for info in _journals(found, root)),
            *(info.base_name for info in _remote.listed(found, f"{root}/{reports}")
              if not info.base_name.startswith("."))]


def sweep(out_dir: str | os.PathLike[str], older_than: float) -> int:
    """Finish the publishes killed midway and remove the staging of runs killed before
    they published, both untouched for `older_than` seconds; returns how many runs."""
    found, root = _remote.store(out_dir)
    swept, now = 0, time.time()
    for journal in _journals(found, root):
        with contextlib.suppress(OSError, ValueError, KeyError, TypeError):
            if now - _seconds(journal) > older_than:
                run = journal.base_name.removesuffix(".json")
                _finish(found, root, run, json.loads(_remote.read_bytes(found, journal.path) or b"")["files"])
                found.delete_file(journal.path)
                _remove(found, f"{root}/{RUNS}/{run}")
                swept += 1
    newest: dict[str, float] = {}
    runs = f"{root}/{RUNS}"
    for info in _remote.listed(found, runs, recursive=True):  # directories, files and temporaries
        run = info.path[len(runs) + 1:].split("/")[0]
        newest[run] = max(newest.get(run, 0.0), _seconds(info))
    published = {info.base_name for info in _journals(found, root)}
    for run, last in newest.items():
        if now - last > older_than and f"{run}.json" not in published:
            _remove(found, f"{runs}/{run}")
            swept += 1
    return swept


def _finish(found: pafs.FileSystem, root: str, run: str, staged: list[str]) -> None:
    base = f"{root}/{RUNS}/{run}"
    left = {info.path[len(base) + 1:] for info in _remote.listed(found, base, recursive=True)}
    for relative in staged:
        if relative in left:  # else moved already by the killed publish
            _place(found, f"{base}/{relative}", f"{root}/{relative}")


def _place(found: pafs.FileSystem, source: str, target: str) -> None:
    """Put the file at `source` at `target`, whole: renamed in a directory; copied by the
    server on object storage, where a move is a copy and a delete and the staging is
    deleted at once at the end."""
    if isinstance(found, pafs.LocalFileSystem):
        found.create_dir(target.rpartition("/")[0])
        with contextlib.suppress(FileNotFoundError):  # moved by another sweep meanwhile
            found.move(source, target)
    else:
        found.copy_file(source, target)


def _remove(found: pafs.FileSystem, directory: str) -> None:
    with contextlib.suppress(OSError):  # gone already: removed by another sweep
        found.delete_dir(directory)


def _journals(found: pafs.FileSystem, root: str) -> list[pafs.FileInfo]:
    return _remote.named(found, f"{root}/{JOURNALS}", ".json")


def _seconds(info: pafs.FileInfo) -> float:
    """When the entry was last written, in seconds since the epoch; 0 when the store does
    not say (object storage's directories)."""
    return 0.0 if info.mtime_ns is None else info.mtime_ns / 1e9

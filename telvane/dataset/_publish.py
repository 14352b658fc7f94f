"""A run's recordings kept from readers until the run ends, then published together, in a
directory or on object storage alike (through pyarrow's file systems).

Each convert of a run writes its files under `_runs/RUN/`, laid out as in the dataset; no
reader looks there (the engines read the table directories, and skip names that start with
an underscore). publish() writes a journal under `_publishing/` naming the files it moves,
moves in the files of the recordings that finished (schema files first, since a reader
casts a file to the kept schema; sessions files last), writes the run's report, then
removes the journal and the staging. telvane.dataset.read leaves out the new files a
journal names, and lists again when a journal or a report came or went while it listed: it
sees a run whole or not at all.

A publish killed midway is finished by the next run, since every staged file is whole: by
its sweep, once the journal's process is gone (the journal names its machine and process)
or the journal is older than the sweep's age; and by a later publish of the same
recordings, which takes an older run that is not running on this machine for dead. Names
read from a journal or a listing go through telvane.dataset._confine: a journal moves nothing
outside the dataset."""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import secrets
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

import pyarrow.fs as pafs

from telvane.dataset import _convert, _process, _schema, _steps, _store
from telvane.dataset._confine import confined

__all__ = ["JOURNALS", "RUNS", "hidden", "marks", "new_run", "publish", "staging", "sweep"]

RUNS = "_runs"
JOURNALS = "_publishing"


def new_run() -> str:
    """Name a new run: its UTC start and a random suffix, in time order.

    Returns
    -------
    str
        The run's name, for `convert(..., run=)` and `publish`.
    """
    now = datetime.datetime.now(datetime.timezone.utc)
    return f"{now:%Y%m%dT%H%M%S.%fZ}-{secrets.token_hex(3)}"


def staging(out_dir: str | os.PathLike[str], run: str) -> Path:
    """Where the converts of `run` write their files until it is published."""
    return Path(out_dir, RUNS, run)


def publish(out_dir: str | os.PathLike[str], run: str, recordings: Iterable[str],
            report_path: str, report: Callable[[], bytes], held: Iterable[str] = ()) -> None:
    """Move the staged files of `recordings` into the dataset at `out_dir` (a directory or a
    URL), then write report(), the run's report, at `report_path` under it while the journal
    still hides them; the rest of the staging goes. First finish the publish of an older
    run of these recordings or of those the run found `held`, unless it is still running
    here."""
    found, root = _store.store(out_dir)
    base = f"{root}/{RUNS}/{run}"
    names = set(recordings)
    staged = [info.path[len(base) + 1:] for info in _store.listed(found, base, recursive=True)
              if info.type == pafs.FileType.File and not info.base_name.startswith(".")
              and Path(info.base_name).stem in names]
    staged = [relative for relative in staged if confined(found, base, relative, "the staged file")
              and confined(found, root, relative, "the staged file")]
    staged.sort(key=lambda relative: not relative.startswith(f"{_schema.SCHEMAS}/"))
    # an older run's journal naming these recordings would hide them
    ours = names | set(held)
    _recover(found, root, lambda older, age, files, alive: older < run and alive is not True
             and not ours.isdisjoint(Path(name).stem for name in files))
    finals = found.get_file_info([f"{root}/{relative}" for relative in staged])
    journal = f"{root}/{JOURNALS}/{run}.json"
    _steps.step("publish.journal")
    _convert.write_whole(found, journal, json.dumps({
        "files": staged, "new": [relative for relative, info in zip(staged, finals)
                                 if info.type == pafs.FileType.NotFound],
        **_process.this_process()}).encode())
    _finish(found, root, run, staged)
    _steps.step("publish.report")
    _convert.write_whole(found, f"{root}/{report_path}", report())
    _steps.step("publish.unjournal")
    with contextlib.suppress(FileNotFoundError):  # finished meanwhile by a run that took this one for dead
        found.delete_file(journal)
    _steps.step("publish.unstage")
    _remove(found, base)


def hidden(found: pafs.FileSystem, root: str) -> set[str]:
    """The paths of the files that publishes under way are moving into the dataset at `root`
    on `found` and that were not in it before."""
    paths: set[str] = set()
    for journal in _journals(found, root):
        with contextlib.suppress(OSError, ValueError, KeyError, TypeError):  # finished meanwhile
            paths.update(os.path.normpath(f"{root}/{name}")
                         for name in json.loads(_store.read_bytes(found, journal.path) or b"")["new"])
    return paths


def marks(found: pafs.FileSystem, root: str, reports: str) -> list[str]:
    """The names of the journals and reports of the dataset at `root` on `found`: a publish
    that began or ended changes them."""
    return [*(info.base_name for info in _journals(found, root)),
            *(info.base_name for info in _store.listed(found, f"{root}/{reports}")
              if not info.base_name.startswith("."))]


def sweep(out_dir: str | os.PathLike[str], older_than: float) -> int:
    """Finish the publishes killed midway and remove the staging of runs killed before
    they published, both untouched for `older_than` seconds; returns how many runs."""
    found, root = _store.store(out_dir)
    now = time.time()
    swept = _recover(found, root, lambda run, age, files, alive: alive is False or age > older_than)
    newest: dict[str, float] = {}
    runs = f"{root}/{RUNS}"
    for info in _store.listed(found, runs, recursive=True):  # directories, files and temporaries
        run = info.path[len(runs) + 1:].split("/")[0]
        newest[run] = max(newest.get(run, 0.0), _seconds(info))
    published = {info.base_name for info in _journals(found, root)}
    for run, last in newest.items():
        if now - last > older_than and f"{run}.json" not in published:
            _steps.step("sweep.unstage")
            _remove(found, f"{runs}/{run}")
            swept += 1
    return swept


def _recover(found: pafs.FileSystem, root: str,
             dead: Callable[[str, float, set[str], bool | None], bool]) -> int:
    """Finish the publishes whose journals dead(run, age, files, alive) takes for those of
    runs killed midway, where `age` is the journal's in seconds and `alive` says whether
    the run's process still runs on this machine (None: on another, or not known);
    returns how many."""
    finished, now = 0, time.time()
    for info in _journals(found, root):
        run = info.base_name.removesuffix(".json")
        entry = _entry(found, info.path)
        if entry is None or not dead(run, now - _seconds(info), set(entry["files"]), _process.running(entry)):
            continue
        if _finish(found, root, run, entry["files"]):
            _steps.step("sweep.unjournal")
            with contextlib.suppress(FileNotFoundError):  # finished by another run meanwhile
                found.delete_file(info.path)
            _steps.step("sweep.unstage")
            _remove(found, f"{root}/{RUNS}/{run}")
            finished += 1
    return finished


def _entry(found: pafs.FileSystem, journal: str) -> dict[str, Any] | None:
    """A publish journal's content, None when it is gone or is none."""
    try:
        entry = json.loads(_store.read_bytes(found, journal) or b"")
    except (OSError, ValueError):
        return None
    if not isinstance(entry, dict) or not isinstance(entry.get("files"), list) \
            or not all(isinstance(name, str) for name in entry["files"]):
        return None
    return entry


def _finish(found: pafs.FileSystem, root: str, run: str, staged: list[str]) -> bool:
    """Move the staged files of `run` that are left into place; False, with nothing
    moved, when a name of them or the run's leaves the dataset."""
    base = confined(found, f"{root}/{RUNS}", run, "the run")
    if base is None:
        return False
    moves = [(relative, confined(found, base, relative, "the staged file"),
              confined(found, root, relative, "the staged file")) for relative in staged]
    sound = [(relative, source, target) for relative, source, target in moves if source and target]
    if len(sound) < len(moves):
        return False
    left = {info.path[len(base) + 1:] for info in _store.listed(found, base, recursive=True)}
    for relative, source, target in sound:
        if relative in left:  # else moved already by the killed publish
            _steps.step("publish.move")
            _place(found, source, target)
    return True


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
    return _store.named(found, f"{root}/{JOURNALS}", ".json")


def _seconds(info: pafs.FileInfo) -> float:
    """When the entry was last written, in seconds since the epoch; 0 when the store does
    not say (object storage's directories)."""
    return 0.0 if info.mtime_ns is None else info.mtime_ns / 1e9

"""A run's recordings kept from readers until the run ends, then published together.

Each convert of a run writes its files under `_runs/RUN/`, laid out as in the dataset; no
reader looks there (the engines read the table directories, and skip names that start with
an underscore). publish() writes a journal under `_publishing/` naming the files it moves,
renames in the files of the recordings that finished (schema files first, since a reader
casts a file to the kept schema), writes the run's report, then removes the journal.
telvane.dataset.read leaves out the new files a journal names, and lists again when a
journal or a report came or went while it listed: it sees a run whole or not at all. A
publish killed midway is finished by the next sweep: every staged file is whole."""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import secrets
import shutil
import time
from collections.abc import Callable, Iterable
from pathlib import Path

from telvane import _convert, _table_schema

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
            report: Callable[[], None]) -> None:
    """Move the staged files of `recordings` into the dataset, then call report() to write
    the run's report while the journal still hides them; the rest of the staging goes."""
    root = staging(out_dir, run)
    names = set(recordings)
    staged = [path.relative_to(root).as_posix() for path in sorted(root.rglob("*"))
              if path.stem in names and not path.name.startswith(".") and path.is_file()]
    staged.sort(key=lambda relative: not relative.startswith(f"{_table_schema.SCHEMAS}/"))
    journal = Path(out_dir, JOURNALS, f"{run}.json")
    with _convert.staged() as stage:
        stage(journal).write_text(json.dumps({
            "files": staged, "new": [name for name in staged if not Path(out_dir, name).exists()]}))
    _finish(out_dir, run, staged)
    report()
    journal.unlink()
    shutil.rmtree(root, ignore_errors=True)


def hidden(out_dir: str | os.PathLike[str]) -> set[str]:
    """The paths of the files that publishes under way are moving in and that were not in
    the dataset before."""
    found: set[str] = set()
    for journal in _journals(out_dir):
        with contextlib.suppress(OSError, ValueError, KeyError, TypeError):  # finished meanwhile
            found.update(os.path.normpath(Path(out_dir, name))
                         for name in json.loads(journal.read_text())["new"])
    return found


def marks(out_dir: str | os.PathLike[str], reports: str) -> list[str]:
    """The names of the journals and reports: a publish that began or ended changes them."""
    return [*(journal.name for journal in _journals(out_dir)), *_names(Path(out_dir, reports))]


def sweep(out_dir: str | os.PathLike[str], older_than: float) -> int:
    """Finish the publishes killed midway and remove the staging of runs killed before
    they published, both untouched for `older_than` seconds; returns how many runs."""
    swept, now = 0, time.time()
    for journal in _journals(out_dir):
        with contextlib.suppress(OSError, ValueError, KeyError, TypeError):
            if now - journal.stat().st_mtime > older_than:
                run = journal.stem
                _finish(out_dir, run, json.loads(journal.read_text())["files"])
                journal.unlink()
                shutil.rmtree(staging(out_dir, run), ignore_errors=True)
                swept += 1
    for run in _names(Path(out_dir, RUNS)):
        root = staging(out_dir, run)
        with contextlib.suppress(OSError):  # published or swept meanwhile
            newest = max([root.stat().st_mtime, *(path.stat().st_mtime for path in root.rglob("*"))])
            if now - newest > older_than and not Path(out_dir, JOURNALS, f"{run}.json").exists():
                shutil.rmtree(root)
                swept += 1
    return swept


def _finish(out_dir: str | os.PathLike[str], run: str, staged: list[str]) -> None:
    root = staging(out_dir, run)
    for relative in staged:
        final = Path(out_dir, relative)
        final.parent.mkdir(parents=True, exist_ok=True)
        with contextlib.suppress(FileNotFoundError):  # moved already by the killed publish
            os.replace(root / relative, final)


def _journals(out_dir: str | os.PathLike[str]) -> list[Path]:
    directory = Path(out_dir, JOURNALS)
    return [directory / name for name in _names(directory) if name.endswith(".json")]


def _names(directory: Path) -> list[str]:
    try:
        return sorted(name for name in os.listdir(directory) if not name.startswith("."))
    except FileNotFoundError:
        return []

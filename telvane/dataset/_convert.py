"""Converting one recording to files, the one path of every export: the report row and its
schema, the recording's identity, the atomic write, the progress split and the deadline."""

from __future__ import annotations

import contextlib
import mmap
import os
import secrets
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa

import telvane
from telvane.dataset import _steps, _store
from telvane.base import LogFile
from telvane._recording import Recording, open_held

if TYPE_CHECKING:
    import pyarrow.fs as pafs

__all__ = ["REPORT_SCHEMA", "STATUSES", "TEMPORARY_WATCHERS", "Skipped", "TimedOut", "convert", "error_message", "recording_id",
           "report_row", "shown", "staged", "write_whole"]

# ok: converted; present: held already, not converted again; skipped: not one to convert
# there (a live telemetry dump into a dataset), the reason as its error; failed: the file's
# own fault; timeout: not finished in the time given; not attempted: stopped before its
# turn (interrupted, cancelled, cluster lost)
STATUSES = ("ok", "present", "skipped", "failed", "timeout", "not attempted")
REPORT_SCHEMA = pa.schema([("source", pa.string()), ("status", pa.string()),
                           ("error", pa.string()), ("recording", pa.string()),
                           ("records", pa.int64()), ("seconds", pa.float64()),
                           ("output", pa.string())])
READ_SHARE = 0.25  # of a file's progress, the part taken by reading it; writing takes the rest
STDIN = "-"
THREADED_HASH = 16 * 2**20  # bytes from which hashing on every core repays starting threads

# Told the path of each temporary before it is written: a worker process tells its parent,
# which removes what the worker leaves if it dies.
TEMPORARY_WATCHERS: list[Callable[[Path], Any]] = []

Progress = Callable[[int, int], Any]
Reader = Callable[[Recording, Progress], LogFile]
Writer = Callable[[LogFile, str, Callable[[Path], Path], Progress], str]


class Skipped(Exception):
    """The file is not one to convert there: reported skipped, the message its reason."""


class TimedOut(Exception):
    """The file's deadline passed: its convert stops where it is and removes what it wrote."""


def report_row(source: str | os.PathLike[str], status: str = "failed", error: str | None = None,
               **values: Any) -> dict[str, Any]:
    """A row of REPORT_SCHEMA: the source as stored text, the values given, None elsewhere."""
    row = dict.fromkeys(REPORT_SCHEMA.names)
    row.update(values, source=shown(source), status=status, error=error)
    return row


def convert(source: str | os.PathLike[str], read: Reader, write: Writer, *,
            progress: Callable[[float], Any] | None = None, timeout: float | None = None,
            held: Callable[[str], str | None] = lambda identity: None) -> dict[str, Any]:
    """Open `source`, read(recording, progress) its LogFile, then write(log, identity, stage,
    progress) it, unless held(identity) names where the outputs are already (status
    "present"); where stage(final) gives the temporary each final path is written under;
    the outputs are renamed into place together when write returns (the name it returns is
    the row's `output`). Never raises for the file or the write: returns the report row, and
    leaves nothing of a file that failed or timed out. `progress(fraction)` is told how far
    the file has come, reading then writing. Ctrl-C and SystemExit pass."""
    began = time.perf_counter()
    row = report_row(source)
    end = None if timeout is None else time.monotonic() + timeout
    reading, writing = _split(progress, end)
    try:
        with _opened(source) as (recording, identity):
            name = identity()
            output = held(name)
            if output is None:
                log = read(recording, reading)
                _check(end)
        if output is not None:
            row.update(status="present", recording=name, output=output)
        else:
            with staged() as stage:
                output = write(log, name, stage, writing)
                _check(end)
                _steps.step("convert.rename")
            row.update(status="ok", recording=name, records=len(log), output=output)
    except TimedOut:
        row.update(status="timeout", error=f"not finished within {timeout:g} s")
    except Skipped as exc:
        row.update(status="skipped", error=str(exc))
    except Exception as exc:
        row["error"] = error_message(exc, source)
    row["seconds"] = time.perf_counter() - began
    return row


@contextlib.contextmanager
def staged() -> Iterator[Callable[[Path], Path]]:
    """stage(final) gives a short hidden temporary beside `final` to write it under; when
    the block ends without an error each is renamed to its final path, and in every case
    no temporary is left. Readers of the outputs skip names that start with a dot."""
    temporaries: dict[Path, Path] = {}

    def stage(final: Path) -> Path:
        final.parent.mkdir(parents=True, exist_ok=True)
        temporary = final.parent / f".{secrets.token_hex(6)}.part"
        temporaries[temporary] = final
        for watcher in TEMPORARY_WATCHERS:
            watcher(temporary)
        return temporary

    try:
        yield stage
        for temporary, final in temporaries.items():
            os.replace(temporary, final)
    finally:
        for temporary in temporaries:
            with contextlib.suppress(OSError):  # renamed already, or its directory is none
                temporary.unlink()


def write_whole(found: pafs.FileSystem, path: str, data: bytes) -> None:
    """Write `data` at `path`, which shows it whole or not at all: an object appears when
    its upload completes; a file is written under a temporary and renamed."""
    import pyarrow.fs as pafs

    if isinstance(found, pafs.LocalFileSystem):
        with staged() as stage:
            stage(Path(path)).write_bytes(data)
    else:
        with found.open_output_stream(path) as stream:
            stream.write(data)


def recording_id(data: Any) -> str:
    """The recording's identity: the first 32 hexadecimal digits of the BLAKE3 hash of every
    byte of the file (a path, or a descriptor open on it) or of a bytes-like object."""
    import blake3

    if isinstance(data, (str, os.PathLike)):
        with open(data, "rb") as file:
            return recording_id(file.fileno())
    if isinstance(data, int):
        size = os.fstat(data).st_size
        if size < THREADED_HASH:
            with open(data, "rb", closefd=False) as file:
                file.seek(0)
                return recording_id(file.read())
        with mmap.mmap(data, size, access=mmap.ACCESS_READ) as view:
            return recording_id(view)
    digest = blake3.blake3(data, max_threads=blake3.blake3.AUTO if len(data) >= THREADED_HASH else 1)
    identity: str = digest.hexdigest()[:32]
    return identity


@contextlib.contextmanager
def _opened(source: str | os.PathLike[str]) -> Iterator[tuple[Recording, Callable[[], str]]]:
    """The opened recording and how to name it. A file is opened once: the recording maps,
    and the identity hashes, the file of that one descriptor, whatever is renamed over its
    path meanwhile. Standard input ("-") and a URL are read into memory."""
    if os.fspath(source) == STDIN or _store.is_url(source):
        data = sys.stdin.buffer.read() if os.fspath(source) == STDIN else \
            _store.fetch(os.fspath(source))
        with telvane.open(data) as recording:
            yield recording, lambda: recording_id(data)
        return
    # not blocked by a FIFO, which the recording then refuses
    descriptor = os.open(source, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        with open_held(descriptor, os.fspath(source)) as recording:
            yield recording, lambda: recording_id(descriptor)
    finally:
        os.close(descriptor)


def _split(progress: Callable[[float], Any] | None, end: float | None
           ) -> tuple[Progress, Progress]:
    """The reading and writing parts of a file's progress, each k of n steps, each a point
    where the deadline is checked."""
    def reading(k: int, n: int) -> None:
        _check(end)
        if progress is not None:
            progress(READ_SHARE * k / n if n else READ_SHARE)

    def writing(k: int, n: int) -> None:
        _check(end)
        if progress is not None:
            progress(READ_SHARE + (1 - READ_SHARE) * k / n if n else 1.0)

    return reading, writing


def _check(end: float | None) -> None:
    if end is not None and time.monotonic() > end:
        raise TimedOut


def shown(path: str | os.PathLike[str]) -> str:
    """The path as text that can be stored, bytes that are not UTF-8 escaped."""
    return os.fsdecode(path).encode("utf-8", "backslashreplace").decode()


def error_message(exc: BaseException, source: str | os.PathLike[str]) -> str:
    """The text of a report row's error: the exception's message without the source's name
    (the system's reason alone for the source that cannot be opened)."""
    if isinstance(exc, OSError) and exc.strerror and exc.filename == os.fspath(source):
        return exc.strerror
    text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
    text = text or type(exc).__name__
    for name in (os.fspath(source), getattr(exc, "filename", None)):  # "<bytes>" for standard input
        if isinstance(name, str) and text.startswith(f"{name}: "):
            return text[len(name) + 2:]
    return text

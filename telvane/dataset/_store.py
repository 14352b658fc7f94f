"""Datasets behind a URL (`s3://`, `gs://`, `file://`, …: what pyarrow's file systems take,
with credentials as they take them: environment variables, configuration files, instance
roles). An export to a URL converts into a local copy of what the dataset's checks need (its
layout and the names of the recordings it holds) and uploads what the run wrote, each
recording's sessions file last, since its presence is what later runs take as held; a
run's files go to its staging there, which telvane.dataset._publish publishes. A dataset in a
directory is read, published and swept through pyarrow's local file system the same way
(store())."""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, TypeVar

from telvane.dataset import _steps
from telvane.dataset._confine import confined

if TYPE_CHECKING:
    import pyarrow.fs as pafs

__all__ = ["created_meanwhile", "fetch", "filesystem", "held", "is_url", "listed", "named", "read_bytes",
           "recordings", "size", "staged", "store", "upload", "writable"]

T = TypeVar("T")

# kept whole: the layout, what merges hold; named only: the files of held recordings
COPIED = ("_telvane_dataset.json", "_held")
NAMED = ("sessions",)
# the layout and schema before the files they describe; then everything else
UPLOAD_ORDER = ("_telvane_dataset.json", "_schemas", "channels", "laps", "sessions")


def is_url(text: str | os.PathLike[str]) -> bool:
    return re.match(r"[A-Za-z][A-Za-z0-9+.-]+://", os.fspath(text)) is not None  # not C:/


def filesystem(url: str) -> tuple[pafs.FileSystem, str]:
    """The file system of `url` and the path in it; ValueError, one line, for a URL no
    file system of pyarrow's takes."""
    import pyarrow as pa
    import pyarrow.fs as pafs

    try:
        found, path = pafs.FileSystem.from_uri(url)
    except (pa.ArrowException, OSError, ValueError) as exc:
        raise ValueError(f"{url}: {_line(exc)}") from None
    return found, path.rstrip("/")


def store(out_dir: str | os.PathLike[str]) -> tuple[pafs.FileSystem, str]:
    """The file system of `out_dir`, a directory or a URL, and the path in it."""
    import pyarrow.fs as pafs

    if is_url(out_dir):
        return filesystem(os.fspath(out_dir))
    return pafs.LocalFileSystem(), os.fspath(out_dir)


def listed(found: pafs.FileSystem, directory: str, recursive: bool = False) -> list[pafs.FileInfo]:
    """The entries under `directory` by path, none when there is no such directory."""
    import pyarrow.fs as pafs

    selector = pafs.FileSelector(directory, recursive=recursive, allow_not_found=True)
    return sorted(created_meanwhile(lambda: found.get_file_info(selector)), key=lambda info: info.path)


def named(found: pafs.FileSystem, directory: str, suffix: str) -> list[pafs.FileInfo]:
    """The entries directly under `directory` whose names end with `suffix`, by path; not
    the hidden temporaries of writes under way."""
    return [info for info in listed(found, directory)
            if info.base_name.endswith(suffix) and not info.base_name.startswith(".")]


def created_meanwhile(list_files: Callable[[], T]) -> T:
    """list_files(), again when it raised FileNotFoundError: a listing that may find no
    directory raises that instead when another process creates the directory meanwhile
    (pyarrow looks for it again after failing to list it, and finds it)."""
    try:
        return list_files()
    except FileNotFoundError:
        return list_files()


def read_bytes(found: pafs.FileSystem, path: str) -> bytes | None:
    """The bytes of the file at `path`, or None when there is none."""
    try:
        with found.open_input_stream(path) as stream:
            data: bytes = stream.read()
            return data
    except FileNotFoundError:
        return None


def fetch(url: str) -> bytes:
    """The bytes of the file at `url`; OSError when there is none."""
    found, root = filesystem(url)
    with found.open_input_stream(root) as stream:
        data: bytes = stream.read()
        return data


def recordings(url: str) -> list[str]:
    """The URLs of the .ibt files under `url` when it names a directory, else `url`."""
    found, root = filesystem(url)
    if found.get_file_info(root).type.name != "Directory":
        return [url]
    base = url.rstrip("/")
    return sorted(f"{base}/{info.path[len(root) + 1:]}" for info in _files(found, root)
                  if info.path.lower().endswith(".ibt") and "/" not in info.path[len(root) + 1:])


def held(url: str) -> dict[str, str]:
    """The recordings the dataset at `url` holds, each with the URL of its sessions file, or
    of the channels partition of the merged file that holds it."""
    found, root = filesystem(url)
    base = url.rstrip("/")
    names = {info.base_name.removesuffix(".parquet"): f"{base}/{info.path[len(root) + 1:]}"
             for info in _files(found, f"{root}/sessions")
             if info.base_name.endswith(".parquet") and not info.base_name.startswith(".")}
    for info in _files(found, f"{root}/{COPIED[1]}"):
        partition, *recordings = (read_bytes(found, info.path) or b"").decode(errors="replace").split("\n")
        where = confined(found, f"{base}/channels", partition, "the held partition")
        if where is not None:
            names.update(dict.fromkeys(recordings, where))
    return names


def size(url: str) -> int:
    """The size in bytes of the file at `url`, 0 when it cannot be found."""
    found, root = filesystem(url)
    info = found.get_file_info(root)
    return info.size if info.type.name == "File" and info.size is not None else 0


def writable(url: str) -> None:
    """ValueError, one line, when nothing can be written under `url`."""
    found, root = filesystem(url)
    probe = f"{root}/.telvane-{secrets.token_hex(6)}.part"
    try:
        with found.open_output_stream(probe) as stream:
            stream.write(b"")
        _steps.step("upload.probe")
        found.delete_file(probe)
    except OSError as exc:
        raise ValueError(f"{url}: cannot write there: {_line(exc)}") from None


@contextlib.contextmanager
def staged(url: str) -> Iterator[Path]:
    """A local directory standing for the dataset at `url` through a run; what the run wrote
    there is uploaded when the block ends, also when it ends by an error."""
    import pyarrow.fs as pafs

    found, root = filesystem(url)
    with tempfile.TemporaryDirectory(prefix="telvane-") as local:
        for name in (*COPIED, *NAMED):
            for info in _files(found, f"{root}/{name}"):
                path = confined(None, local, info.path[len(root) + 1:], "the object", shown=url)
                if path is None:
                    continue
                target = Path(path)
                target.parent.mkdir(parents=True, exist_ok=True)
                if name in NAMED:
                    target.touch()  # an empty stand-in: the name is what a held check looks at
                else:
                    pafs.copy_files(info.path, os.fspath(target), source_filesystem=found,
                                    destination_filesystem=pafs.LocalFileSystem())
        try:
            yield Path(local)
        finally:
            upload(Path(local), url)


def upload(local: Path, url: str) -> None:
    """Copy the files under `local` but temporaries to the same places under `url`, in
    UPLOAD_ORDER."""
    import pyarrow.fs as pafs

    found, root = filesystem(url)
    written = [path for path in local.rglob("*") if path.is_file()
               and not path.name.startswith(".") and path.stat().st_size > 0]
    top = [path.relative_to(local).parts[0] for path in written]
    rank = {name: order for order, name in enumerate(UPLOAD_ORDER)}
    for _, path in sorted(zip(top, written), key=lambda pair: (rank.get(pair[0], len(rank)),
                                                               str(pair[1]))):
        _steps.step("upload.copy")
        pafs.copy_files(os.fspath(path), f"{root}/{path.relative_to(local).as_posix()}",
                        source_filesystem=pafs.LocalFileSystem(), destination_filesystem=found)


def _files(found: pafs.FileSystem, directory: str) -> list[pafs.FileInfo]:
    """The files under `directory`, or the file it names."""
    info = found.get_file_info(directory)
    return [info] if info.is_file else [entry for entry in listed(found, directory, recursive=True) if entry.is_file]


def _line(exc: BaseException) -> str:
    return (str(exc).strip().splitlines() or [type(exc).__name__])[0]

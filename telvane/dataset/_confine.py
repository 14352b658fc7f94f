"""Names read from inside a dataset (its journals and held lists, an object store's listing
of it) are other people's text: whoever can write into a shared folder or bucket writes
them. Every such name reaches a path through confined(), which keeps it under its root.

A name is taken only as a relative path of plain parts: no `..` or `.`, nothing absolute,
no drive letter, backslash or NUL, none empty. In a local directory, none of its parts may
be a symbolic link below the root, since telvane never makes one: a link would carry a
move or a delete outside the dataset. A name refused is reported (a warning naming it)
and left alone."""

from __future__ import annotations

import os
import re
import warnings
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pyarrow.fs as pafs

__all__ = ["confined", "linked", "problem"]

_DRIVE = re.compile(r"[A-Za-z]:")


def confined(found: pafs.FileSystem | None, root: str, name: object, what: str,
             suffix: str = "", shown: str | None = None) -> str | None:
    """`root`/`name` when `name` stays under `root` on `found` (None: the local file system)
    and ends with `suffix`, else None, with a warning naming the dataset (`shown`, by
    default `root`), `what` and the name."""
    why = problem(name)
    if why is None and not str(name).endswith(suffix):
        why = f"not a {suffix} file"
    if why is None and _local(found):
        why = _linked(root, str(name))
    if why is not None:
        warnings.warn(f"{shown or root}: left alone {what} {name!r}: {why}", stacklevel=2)
        return None
    return f"{root}/{name}"


def problem(name: object) -> str | None:
    """Why `name` is no relative path of plain parts, or None when it is one."""
    if not isinstance(name, str) or not name:
        return "not a name"
    if "\0" in name or "\\" in name or name.startswith("/") or _DRIVE.match(name):
        return "it leaves the dataset"
    if any(part in ("", ".", "..") for part in name.split("/")):
        return "it leaves the dataset"
    return None


def linked(found: pafs.FileSystem, directory: str, paths: set[str]) -> set[str]:
    """The `paths` listed under the local `directory` through a symbolic link (which the
    listing follows and telvane never makes), each reported; none on object storage."""
    if not _local(found):
        return set()
    links = [os.path.join(parent, name) for parent, folders, names in os.walk(directory)
             for name in (*folders, *names) if os.path.islink(os.path.join(parent, name))]
    through = {path for path in paths for link in links
              if path == os.path.normpath(link) or path.startswith(os.path.normpath(link) + os.sep)}
    for link in links:
        confined(found, directory, os.path.relpath(link, directory).replace(os.sep, "/"), "the entry")
    return through


def _linked(root: str, name: str) -> str | None:
    path = root
    for part in name.split("/"):
        path = f"{path}/{part}"
        if os.path.islink(path):
            return "it passes through a symbolic link"
    return None


def _local(found: pafs.FileSystem | None) -> bool:
    import pyarrow.fs as pafs

    return found is None or isinstance(found, pafs.LocalFileSystem)

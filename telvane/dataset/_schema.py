"""The schema of each table of a dataset, kept beside it so that a reader opens a few small
files instead of the footer of every recording's file.

Under `_schemas/TABLE/`, each convert adds the schema of the file it wrote (a serialized
Arrow schema named like it), and the end of a run merges them into one. The files are never
changed, only added and removed after a merge, so runs at once need no lock: the table's
schema is the union of whatever files are there. A file that does not read as a schema is
skipped with a warning naming it, and the schema is taken from the footers of the table's
Parquet files instead, until the next merge replaces it by a good one."""

from __future__ import annotations

import contextlib
import os
import secrets
import warnings
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING

import pyarrow as pa

from telvane.dataset import _convert, _steps, _store
from telvane.dataset._confine import linked

if TYPE_CHECKING:
    import pyarrow.fs as pafs

__all__ = ["SCHEMAS", "add", "footer", "merge", "read", "unify"]

SCHEMAS = "_schemas"
MERGED_PREFIX = "merged-"
SUFFIX = ".arrows"  # a serialized Arrow schema: cheaper to write than an empty Parquet file


def add(out_dir: str | os.PathLike[str], table: str, name: str, schema: pa.Schema,
        stage: Callable[[Path], Path]) -> None:
    """Write the schema of file `name` of `table` under its staged temporary."""
    stage(Path(out_dir, SCHEMAS, table, f"{name}{SUFFIX}")).write_bytes(
        schema.with_metadata(None).serialize().to_pybytes())


def read(found: pafs.FileSystem, root: str, table: str) -> pa.Schema | None:
    """The union of the schemas kept for `table` of the dataset at `root` on `found` (with
    a damaged one among them, of the footers of the table's files too), or None when none
    is kept."""
    kept = _kept(found, root, table)
    return unify(_schemas(found, root, table, kept)) if kept else None


def merge(out_dir: str | os.PathLike[str], tables: Iterable[str]) -> None:
    """Replace the schema files of each table by one holding their union (with a damaged
    one among them, that of the table's files). A file another run adds meanwhile is kept,
    and a file another merge removed first is skipped."""
    found, root = _store.store(out_dir)
    for table in tables:
        kept = _kept(found, root, table)
        if len(kept) < 2 and all(schema is not None for _, schema in kept):
            continue
        _steps.step("schemas.merged")
        _convert.write_whole(found, f"{root}/{SCHEMAS}/{table}/{MERGED_PREFIX}{secrets.token_hex(8)}{SUFFIX}",
                             unify(_schemas(found, root, table, kept)).serialize().to_pybytes())
        for path, _ in kept:
            _steps.step("schemas.remove")
            with contextlib.suppress(FileNotFoundError):
                found.delete_file(path)


def unify(schemas: list[pa.Schema]) -> pa.Schema:
    """One field per name in the order first seen, of a type every value can be cast to:
    integers and floats widened as needed, a bool taken as uint8 beside numbers, text
    beside anything else of another type. Field metadata of the first one kept."""
    fields: dict[str, list[pa.Field]] = {}
    for schema in schemas:
        for field in schema:
            fields.setdefault(field.name, []).append(field)
    return pa.schema([_common(found) for found in fields.values()])


def _common(fields: list[pa.Field]) -> pa.Field:
    types = {field.type for field in fields}
    first = fields[0]
    if len(types) == 1:
        kind = first.type
    elif all(pa.types.is_boolean(t) or pa.types.is_integer(t) or pa.types.is_floating(t)
             for t in types):
        numbers = [pa.schema([("x", pa.uint8() if pa.types.is_boolean(t) else t)]) for t in types]
        try:
            kind = pa.unify_schemas(numbers, promote_options="permissive").field("x").type
        except pa.ArrowInvalid:  # int64 beside uint64: no integer holds both
            kind = pa.float64()
    else:
        kind = pa.large_string()
    return pa.field(first.name, kind, nullable=True, metadata=first.metadata)


def footer(found: pafs.FileSystem, path: str) -> pa.Schema | None:
    """The schema in the footer of the Parquet file at `path`, or None, with a warning
    naming it, when it has none that reads."""
    import pyarrow.parquet as pq

    try:
        with found.open_input_file(path) as file:
            return pq.read_schema(file).with_metadata(None)
    except (ValueError, OSError) as exc:  # what pyarrow raises for a damaged footer varies
        warnings.warn(f"{path}: not a Parquet file that reads, left out of the schema ({str(exc).strip()})",
                      stacklevel=2)
        return None


def _schemas(found: pafs.FileSystem, root: str, table: str,
             kept: list[tuple[str, pa.Schema | None]]) -> list[pa.Schema]:
    """The schemas kept, with those of every file of `table` when one kept is damaged."""
    schemas = [schema for _, schema in kept if schema is not None]
    if len(schemas) == len(kept):
        return schemas
    directory = f"{root}/{table}"
    files = [info.path for info in _store.listed(found, directory, recursive=True)
             if info.is_file and info.base_name.endswith(".parquet") and not info.base_name.startswith(".")]
    through = linked(found, directory, set(files))
    files = [path for path in files if path not in through]
    return schemas + [schema for schema in (footer(found, path) for path in files) if schema is not None]


def _kept(found: pafs.FileSystem, root: str, table: str) -> list[tuple[str, pa.Schema | None]]:
    """The schema files of `table` and their schemas (None for one that does not read, with
    a warning naming it); listed again when a merge removed one after it was listed, since
    the merged file may have come after the listing."""
    while True:
        paths = [info.path for info in _store.named(found, f"{root}/{SCHEMAS}/{table}", SUFFIX)]
        kept = [data for data in (_store.read_bytes(found, path) for path in paths) if data is not None]
        if len(kept) == len(paths):
            return [(path, _schema(path, data)) for path, data in zip(paths, kept)]


def _schema(path: str, data: bytes) -> pa.Schema | None:
    try:
        return pa.ipc.read_schema(pa.py_buffer(data))
    except (ValueError, OSError) as exc:  # ArrowInvalid, or OSError for a stream that is none
        warnings.warn(f"{path}: not a schema that reads, skipped; the schema is taken from the table's "
                      f"files instead ({str(exc).strip()})", stacklevel=2)
        return None

"""Parquet files as telvane writes them: encodings chosen by column type, zstd, and schema
metadata stored once and kept within what Parquet readers accept in a footer."""

from __future__ import annotations

import base64
import os
from collections.abc import Callable
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

__all__ = ["DEFAULT_ROW_GROUP_SIZE", "FOOTER_TEXT_LIMIT", "SESSION_INFO_KEY", "footer_metadata",
           "write_options", "write_table"]

SESSION_INFO_KEY = "session_info_yaml"
# Readers refuse footers past a limit (pyarrow: 100 MB of Thrift strings by default); real
# session-info texts stay far below this one.
FOOTER_TEXT_LIMIT = 16 * 2**20
DEFAULT_ROW_GROUP_SIZE = 2**20  # pyarrow's


def write_options(schema: pa.Schema, **options: Any) -> dict[str, Any]:
    """pyarrow.parquet writer options for `schema`: dictionaries only for integer and
    string columns (telemetry floats rarely repeat, and building their dictionaries costs
    more than it saves), BYTE_STREAM_SPLIT for floats and zstd. `options` take precedence;
    giving either `use_dictionary` or `column_encoding` replaces both encoding choices."""
    chosen: dict[str, Any] = {"compression": "zstd"}
    if "use_dictionary" not in options and "column_encoding" not in options:
        chosen["use_dictionary"] = [field.name for field in schema
                                    if pa.types.is_integer(field.type)
                                    or pa.types.is_string(field.type)]
        chosen["column_encoding"] = {field.name: "BYTE_STREAM_SPLIT" for field in schema
                                     if pa.types.is_floating(field.type)}
    return {**chosen, **options}


def footer_metadata(metadata: dict[bytes, bytes] | None) -> dict[bytes, bytes]:
    """Schema metadata that fits a footer: a session-info text over the limit is left out
    and `session_info_omitted` gives its size in bytes instead."""
    metadata = dict(metadata or {})
    text = metadata.get(SESSION_INFO_KEY.encode(), b"")
    if len(text) > FOOTER_TEXT_LIMIT:
        del metadata[SESSION_INFO_KEY.encode()]
        metadata[b"session_info_omitted"] = str(len(text)).encode()
    return metadata


def write_table(table: pa.Table, path: str | os.PathLike[str] | pa.NativeFile, *,
                row_group_size: int | None = None,
                progress: Callable[[int, int], Any] | None = None, **options: Any) -> None:
    """Write `table` to `path` with write_options(), in row groups of at most
    `row_group_size` rows, calling progress(k, n) after each of the n groups. The
    session-info text is stored once, in the serialized Arrow schema that pyarrow reads
    back, instead of also as a footer entry of its own."""
    metadata = footer_metadata(table.schema.metadata)
    schema = table.schema.with_metadata(metadata)
    small = schema.with_metadata({key: value for key, value in metadata.items()
                                  if key != SESSION_INFO_KEY.encode()})
    table = table.replace_schema_metadata(small.metadata)
    rows = row_group_size or DEFAULT_ROW_GROUP_SIZE
    starts = range(0, table.num_rows, rows) or range(1)
    with pq.ParquetWriter(path, small, **write_options(table.schema, **options)) as writer:
        for k, start in enumerate(starts, 1):
            writer.write_table(table.slice(start, rows), row_group_size=rows)
            if progress is not None:
                progress(k, len(starts))
        if schema.metadata != small.metadata and options.get("store_schema", True):
            # replaces the schema pyarrow would store: the same one, with the text included
            writer.add_key_value_metadata(
                {"ARROW:schema": base64.b64encode(schema.serialize()).decode()})

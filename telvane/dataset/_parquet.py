"""Parquet files as telvane writes them: encodings chosen by column type, zstd, schema
metadata stored once and kept within what Parquet readers accept in a footer, and the
columns of a large table encoded on every core."""

from __future__ import annotations

import base64
import contextlib
import functools
import os
import struct
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, BinaryIO

import pyarrow as pa
import pyarrow.parquet as pq

from telvane.dataset import _thrift

__all__ = ["DEFAULT_ROW_GROUP_SIZE", "FOOTER_TEXT_LIMIT", "SESSION_INFO_KEY", "footer_metadata",
           "write_options", "write_table"]

SESSION_INFO_KEY = "session_info_yaml"
# Readers refuse footers past a limit (pyarrow: 100 MB of Thrift strings by default); real
# session-info texts stay far below this one.
FOOTER_TEXT_LIMIT = 16 * 2**20
DEFAULT_ROW_GROUP_SIZE = 2**20  # pyarrow's
# Of Arrow values a piece holds at least: below, joining the pieces costs more than the
# threads save (268 columns of 3,371 rows, 3.6 MB, write as fast on one thread).
PIECE_BYTES = 2 * 2**20
# Pieces a core encodes, each written to the file while the next ones are encoded: with one
# piece a core, the pieces end together and the file is written after them, on one core.
PIECES_PER_CORE = 4
# Of a piece's bytes, how many one write() passes to the kernel. Linux gives a larger write
# huge-page folios in the page cache; on a virtual machine whose free memory goes back to the
# host, each of those is memory the host must provide anew: 46 MB went into new files in
# about 100 ms in writes of 2 MB or more, in 10-14 ms in writes of 512 KB.
WRITE_BYTES = 2**19
MAGIC = b"PAR1"
# Footer fields holding offsets in the file (Thrift field ids): a column chunk's and its
# column metadata's; a row group's first byte.
CHUNK_OFFSETS = (2, 4, 6)  # file_offset, offset_index_offset, column_index_offset
COLUMN_OFFSETS = (9, 10, 11, 14)  # data, index and dictionary page, bloom filter


def write_options(schema: pa.Schema, **options: Any) -> dict[str, Any]:
    """pyarrow.parquet writer options for `schema`: zstd, dictionaries only for string
    columns, BYTE_STREAM_SPLIT for floats. Telemetry floats rarely repeat, and building
    their dictionaries costs more than it saves; integers, plain, zstd compresses smaller
    than their dictionaries, and sooner (a real recording's integer columns 24 % smaller,
    its file written in 12 % less time). Floats take zstd's level -1, which gives up sooner
    on their noisy low bytes: written in 7 % (real recording) to 15 % (random walks) less
    time, their file 1.3 % bigger and 0.8 % smaller. The memory pool is jemalloc where
    pyarrow has it (see _memory_pool). `options` take precedence; giving either
    `use_dictionary` or `column_encoding` replaces both encoding choices, and giving
    `compression` or `compression_level` the levels."""
    columns = list(zip(schema.names, schema.types))
    floats = [name for name, kind in columns if pa.types.is_floating(kind)]
    chosen: dict[str, Any] = {"compression": "zstd", "memory_pool": _memory_pool()}
    if not {"compression", "compression_level"} & options.keys():
        chosen["compression_level"] = dict.fromkeys(floats, -1)
    if "use_dictionary" not in options and "column_encoding" not in options:
        chosen["use_dictionary"] = [name for name, kind in columns if pa.types.is_string(kind)]
        chosen["column_encoding"] = dict.fromkeys(floats, "BYTE_STREAM_SPLIT")
    return {**chosen, **options}


@functools.cache
def _memory_pool() -> pa.MemoryPool:
    """jemalloc, which keeps freed pages a second before it gives them back: a column chunk's
    buffers (its pages, their encoding and compression) then reuse the memory the last
    chunk's freed. pyarrow's default mimalloc gives it back within milliseconds, and each
    chunk faults in fresh pages the kernel must zero: 8 tables of 60,000 records x 268
    channels were written in 0.51-0.60 s with jemalloc, 0.65-0.74 s with mimalloc. Where
    pyarrow has no jemalloc (its Windows wheels), its default pool."""
    try:
        return pa.jemalloc_memory_pool()
    except NotImplementedError:
        return pa.default_memory_pool()


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
    back, instead of also as a footer entry of its own. A table of twice PIECE_BYTES
    or more has the columns of each row group encoded in pieces on every core, joined into one
    file."""
    metadata = footer_metadata(table.schema.metadata)
    schema = table.schema.with_metadata(metadata)
    small = schema.with_metadata({key: value for key, value in metadata.items()
                                  if key != SESSION_INFO_KEY.encode()})
    table = table.replace_schema_metadata(small.metadata)
    rows = row_group_size or DEFAULT_ROW_GROUP_SIZE
    starts = range(0, table.num_rows, rows) or range(1)
    chosen = write_options(table.schema, **options)
    store_schema = options.get("store_schema", True)
    pieces = _pieces(table, options)
    if len(pieces) > 1:
        with ThreadPoolExecutor(min(_cores(), len(pieces))) as pool, _opened(path) as out:
            groups = [[pool.submit(_encoded, table.slice(start, rows).select(columns), chosen)
                       for columns in pieces] for start in starts]
            try:
                footer = _Joined(out, small.metadata, schema if store_schema else None)
                for k, group in enumerate(groups, 1):
                    footer.add(piece.result() for piece in group)
                    group.clear()
                    if progress is not None:
                        progress(k, len(starts))
                footer.close()
            except BaseException:  # a deadline or Ctrl-C stops the encoding of what is left
                pool.shutdown(wait=False, cancel_futures=True)
                raise
        return
    with pq.ParquetWriter(path, small, **chosen) as writer:
        for k, start in enumerate(starts, 1):
            writer.write_table(table.slice(start, rows), row_group_size=rows)
            if progress is not None:
                progress(k, len(starts))
        if schema.metadata != small.metadata and store_schema:
            # replaces the schema pyarrow would store: the same one, with the text included
            writer.add_key_value_metadata({"ARROW:schema": _stored_schema(schema)})


def _stored_schema(schema: pa.Schema) -> str:
    return base64.b64encode(schema.serialize()).decode()


def _pieces(table: pa.Table, options: dict[str, Any]) -> list[range]:
    """The columns of `table` in ranges of about equal bytes, PIECES_PER_CORE a core while
    each holds PIECE_BYTES at least; one range on one core, and for options whose footer a
    join would not keep (its encryption, sorting columns numbered in the piece, a page
    index) or a path on another file system."""
    sizes = _sizes(table)
    size, cores = sum(sizes), _cores()
    count = min(PIECES_PER_CORE * cores, table.num_columns, size // PIECE_BYTES)
    # the page index's page locations lie in the pieces' bodies, where the join moves no offset
    if cores < 2 or count < 2 or {"encryption_properties", "sorting_columns", "filesystem",
                                  "write_page_index"} & options.keys():
        return [range(table.num_columns)]
    ends: list[int] = []
    total, share = 0, size / count
    for index, column in enumerate(sizes):
        total += column
        if total >= share * (len(ends) + 1) and len(ends) < count - 1:
            ends.append(index + 1)
    return [range(begin, end) for begin, end in zip([0, *ends], [*ends, table.num_columns]) if end > begin]


def _sizes(table: pa.Table) -> list[int]:
    """The bytes of the values of each column of `table`, of a slice too (whose buffers are
    its table's)."""
    sizes = []
    for index, kind in enumerate(table.schema.types):
        try:
            sizes.append(int(kind.bit_width) * table.num_rows // 8)
        except ValueError:  # not of a fixed width
            sizes.append(int(table.column(index).nbytes))
    return sizes


def _cores() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _encoded(part: pa.Table, options: dict[str, Any]) -> pa.Buffer:
    """`part` as a Parquet file of one row group in memory, without schema metadata. It is
    written into memory taken at once for twice its Arrow size (pages are only touched as
    written): a growing buffer's copies, and its faults of fresh pages on two threads at
    once, made the write slower than one thread's."""
    part = part.replace_schema_metadata(None)
    room = pa.allocate_buffer(2 * sum(_sizes(part)) + 2**20, memory_pool=options["memory_pool"])  # and a footer
    try:
        return _write_piece(part, pa.FixedSizeBufferWriter(room), options, room)
    except OSError:  # more than the room: a file of tiny columns, its footer the most of it
        return _write_piece(part, pa.BufferOutputStream(), options, None)


def _write_piece(part: pa.Table, sink: pa.NativeFile, options: dict[str, Any],
                 room: pa.Buffer | None) -> pa.Buffer:
    with pq.ParquetWriter(sink, part.schema, **{**options, "store_schema": False}) as writer:
        writer.write_table(part, row_group_size=max(part.num_rows, 1))
    return sink.getvalue() if room is None else room.slice(0, sink.tell())


@contextlib.contextmanager
def _opened(path: str | os.PathLike[str] | pa.NativeFile) -> Iterator[Any]:
    """The sink at `path`; a file opened here is removed when the write fails, since without
    its footer it is no Parquet file."""
    if isinstance(path, pa.NativeFile):
        yield path
        return
    try:
        with open(path, "wb") as out:
            yield out
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(path)
        raise


class _Joined:
    """One Parquet file written to `out` from the pieces of each row group in turn: their
    column chunks copied one after the other, their footers made one, every offset moved by
    where the piece's bytes now begin."""

    def __init__(self, out: BinaryIO | pa.NativeFile, metadata: dict[bytes, bytes] | None,
                 schema: pa.Schema | None) -> None:
        self.out, self.at, self.rows = out, len(MAGIC), 0
        self.groups: list[bytes] = []  # encoded, one a row group
        self.first: list[tuple[bytes, _thrift.Fields]] = []  # the first row group's footers
        self.entries = dict(metadata or {})
        if schema is not None:
            self.entries[b"ARROW:schema"] = _stored_schema(schema).encode()
        out.write(MAGIC)

    def add(self, pieces: Iterable[pa.Buffer]) -> None:
        """The next row group, the pieces of its columns in order, each written as it comes."""
        chunks: list[bytes] = []
        sizes = [0, 0]  # total bytes, uncompressed and compressed
        count, start = 0, self.at
        for piece in map(_Piece, pieces):
            chunks.append(piece.chunks(self.at - len(MAGIC)))
            count += piece.count
            sizes = [total + _thrift.integer_at(piece.footer, piece.group[field][1])
                     for total, field in zip(sizes, (2, 6))]
            rows = _thrift.integer_at(piece.footer, piece.group[3][1])
            for at in range(0, len(piece.body), WRITE_BYTES):
                self.out.write(piece.body[at:at + WRITE_BYTES])
            self.at += len(piece.body)
            if not self.groups:
                self.first.append((piece.footer, piece.top))
        self.groups.append(_thrift.struct_bytes([
            (1, _thrift.LIST, _thrift.list_bytes(_thrift.STRUCT, chunks, count)),
            *((field, _thrift.I64, _thrift.integer(value)) for field, value in
              ((2, sizes[0]), (3, rows), (5, start), (6, sizes[1])))]))  # sizes, rows, first byte
        self.rows += rows

    def close(self) -> None:
        """The footer: the first row group's schemas made one, with every row group."""
        elements, orders, children = [], [], 0
        for footer, top in self.first:
            spans = _thrift.items(footer, top[2][1])[0]
            children += _thrift.integer_at(footer, _thrift.fields(footer, spans[0][0])[0][5][1])
            elements += [footer[begin:end] for begin, end in spans[1:]]
            orders += [footer[begin:end] for begin, end in _thrift.items(footer, top[7][1])[0]]
        footer, top = self.first[0]
        root = _thrift.fields(footer, _thrift.items(footer, top[2][1])[0][0][0])[0]
        root_bytes = _thrift.struct_bytes([
            (field, kind, _thrift.integer(children) if field == 5 else footer[begin:end])
            for field, (kind, begin, end) in sorted(root.items())])
        entries = [_thrift.struct_bytes([(1, _thrift.BINARY, _thrift.binary(key)),
                                         (2, _thrift.BINARY, _thrift.binary(value))])
                   for key, value in self.entries.items()]
        data = _thrift.struct_bytes([
            (1, _thrift.I32, _raw(footer, top[1])),
            (2, _thrift.LIST, _thrift.list_bytes(_thrift.STRUCT, [root_bytes, *elements])),
            (3, _thrift.I64, _thrift.integer(self.rows)),
            (4, _thrift.LIST, _thrift.list_bytes(_thrift.STRUCT, self.groups)),
            (5, _thrift.LIST, _thrift.list_bytes(_thrift.STRUCT, entries)),
            (6, _thrift.BINARY, _raw(footer, top[6])),
            (7, _thrift.LIST, _thrift.list_bytes(_thrift.STRUCT, orders))])
        self.out.write(data + struct.pack("<I", len(data)) + MAGIC)


def _raw(footer: bytes, field: tuple[int, int, int]) -> bytes:
    return footer[field[1]:field[2]]


class _Piece:
    """A Parquet file of one row group written in memory: its footer read once, the places
    of its column chunks' offsets in the file noted on the way."""

    def __init__(self, piece: pa.Buffer) -> None:
        data = memoryview(piece)
        size = struct.unpack("<I", data[-8:-4])[0]
        self.footer = footer = bytes(data[-8 - size:-8])
        self.body = data[len(MAGIC):-8 - size]
        self.offsets: list[tuple[int, int]] = []  # spans of the offsets' values
        self.group: _thrift.Fields = {}
        self.count = 0
        self.top, _ = _thrift.fields(footer, 0, {4: self._groups})
        if set(self.top) != {1, 2, 3, 4, 6, 7}:  # what pyarrow writes for a piece; never encrypted
            raise ValueError(f"expected a Parquet footer of fields 1-4, 6 and 7, got {sorted(self.top)}")

    def chunks(self, shift: int) -> bytes:
        """The column chunks, encoded one after the other, their offsets moved by `shift`."""
        footer, out = self.footer, []
        begin, end = self.columns
        for first, last in sorted(self.offsets):
            value = _thrift.integer_at(footer, first)
            out += [footer[begin:first], _thrift.integer(value + shift if value > 0 else value)]  # 0: not set
            begin = last
        out.append(footer[begin:end])
        return b"".join(out)

    def _groups(self, at: int) -> int:
        spans, end = _thrift.items(self.footer, at, self._group)
        if len(spans) != 1:
            raise ValueError(f"expected a Parquet piece of one row group, got {len(spans)}")
        return end

    def _group(self, at: int) -> int:
        self.group, end = _thrift.fields(self.footer, at, {1: self._columns})
        return end

    def _columns(self, at: int) -> int:
        spans, end = _thrift.items(self.footer, at, self._chunk)
        self.count = len(spans)
        self.columns = (spans[0][0] if spans else end), end
        return end

    def _chunk(self, at: int) -> int:
        chunk, end = _thrift.fields(self.footer, at, {3: self._meta})
        self._note(chunk, CHUNK_OFFSETS)
        return end

    def _meta(self, at: int) -> int:
        meta, end = _thrift.fields(self.footer, at)
        self._note(meta, COLUMN_OFFSETS)
        return end

    def _note(self, found: _thrift.Fields, offsets: tuple[int, ...]) -> None:
        self.offsets += sorted((found[key][1], found[key][2]) for key in offsets if key in found)

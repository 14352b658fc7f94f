"""Thrift's compact protocol, the encoding of a Parquet footer, read as byte spans and written
from bytes: a footer is edited by copying what stays and re-encoding only what changes,
without decoding every value (a footer holds tens of values a column). The footers read are
ones pyarrow has just written, not a file's: bytes that end inside a value raise IndexError."""

from __future__ import annotations

from collections.abc import Callable

__all__ = ["BINARY", "I32", "I64", "LIST", "STRUCT", "Fields", "binary", "fields", "integer",
           "integer_at", "items", "list_bytes", "struct_bytes"]

STOP, TRUE, FALSE, BYTE, I16, I32, I64, DOUBLE, BINARY, LIST, SET, MAP, STRUCT = range(13)

Fields = dict[int, tuple[int, int, int]]  # field id: (compact type, first byte of its value, end)


def fields(data: bytes, at: int, read: dict[int, Callable[[int], int]] | None = None
           ) -> tuple[Fields, int]:
    """The fields of the struct at `at` and where it ends; a field in `read` is read by
    read[field](start), which returns where its value ends, instead of being skipped."""
    found: Fields = {}
    field = 0
    while (header := data[at]) != STOP:
        kind, delta = header & 0x0F, header >> 4
        at += 1
        if delta:
            field += delta
        else:
            field, at = _varint(data, at)
            field = _zigzag(field)
        end = read[field](at) if read and field in read else _skip(data, at, kind)
        found[field] = kind, at, end
        at = end
    return found, at + 1


def items(data: bytes, at: int, read: Callable[[int], int] | None = None
          ) -> tuple[list[tuple[int, int]], int]:
    """The spans of the items of the list at `at` and where it ends; read(start), when
    given, reads an item and returns where it ends."""
    header = data[at]
    size, at = (header >> 4, at + 1) if header >> 4 != 15 else _varint(data, at + 1)
    spans = []
    for _ in range(size):
        end = read(at) if read else _skip(data, at, header & 0x0F)
        spans.append((at, end))
        at = end
    return spans, at


def integer_at(data: bytes, at: int) -> int:
    """The integer (i16, i32 or i64) whose value begins at `at`."""
    return _zigzag(_varint(data, at)[0])


def integer(value: int) -> bytes:
    return _varint_bytes((value << 1) ^ (value >> 63))


def binary(value: bytes) -> bytes:
    return _varint_bytes(len(value)) + value


def list_bytes(kind: int, encoded: list[bytes], size: int | None = None) -> bytes:
    """A list of items of compact type `kind`, each given encoded, or `size` of them
    encoded in one."""
    size = len(encoded) if size is None else size
    header = bytes([size << 4 | kind]) if size < 15 else bytes([0xF0 | kind]) + _varint_bytes(size)
    return header + b"".join(encoded)


def struct_bytes(entries: list[tuple[int, int, bytes]]) -> bytes:
    """A struct of (field id, compact type, encoded value) entries in ascending field ids."""
    out = bytearray()
    previous = 0
    for field, kind, value in entries:
        if 0 < field - previous <= 15:
            out.append((field - previous) << 4 | kind)
        else:
            out.append(kind)
            out += integer(field)
        out += value
        previous = field
    out.append(STOP)
    return bytes(out)


def _varint(data: bytes, at: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def _zigzag(value: int) -> int:
    return (value >> 1) ^ -(value & 1)


def _varint_bytes(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _skip(data: bytes, at: int, kind: int) -> int:
    """Where the value of compact type `kind` at `at` ends."""
    if kind in (I32, I64, I16):  # a varint: its bytes up to one below 0x80
        while data[at] > 0x7F:
            at += 1
        return at + 1
    if kind == BINARY:
        size, at = _varint(data, at)
        return at + size
    if kind == STRUCT:
        while (header := data[at]) != STOP:
            at += 1
            if not header >> 4:
                while data[at] > 0x7F:
                    at += 1
                at += 1
            at = _skip(data, at, header & 0x0F)
        return at + 1
    if kind in (LIST, SET):
        header = data[at]
        size, at = (header >> 4, at + 1) if header >> 4 != 15 else _varint(data, at + 1)
        element = header & 0x0F
        if element in (TRUE, FALSE, BYTE):  # one byte an item
            return at + size
        for _ in range(size):
            at = _skip(data, at, element)
        return at
    if kind in (TRUE, FALSE):  # a bool field: its value is its type
        return at
    if kind == BYTE:
        return at + 1
    if kind == DOUBLE:
        return at + 8
    raise ValueError(f"expected a Thrift type Parquet footers use, got type {kind}")

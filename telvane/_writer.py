"""Writes IBT files byte by byte from a compact description, valid or deliberately malformed."""

from __future__ import annotations

import struct
from collections.abc import Sequence
from dataclasses import dataclass
from os import PathLike

CHAR, BOOL, INT, BITFIELD, FLOAT, DOUBLE = range(6)
ELEMENT_SIZE = {CHAR: 1, BOOL: 1, INT: 4, BITFIELD: 4, FLOAT: 4, DOUBLE: 8}
_FORMAT = {CHAR: "<B", BOOL: "<B", INT: "<i", BITFIELD: "<I", FLOAT: "<f", DOUBLE: "<d"}
NUMPY_TYPE = {CHAR: "u1", BOOL: "?", INT: "<i4", BITFIELD: "<u4", FLOAT: "<f4", DOUBLE: "<f8"}

HEADER_SIZE = 112
SUB_HEADER_SIZE = 32
VAR_HEADER_SIZE = 144

Text = str | bytes
Value = int | float | bool | Sequence[int | float | bool] | None


@dataclass(frozen=True)
class Var:
    """One variable header; `type` may be any raw 32-bit code, texts may be raw bytes."""

    name: Text
    type: int
    offset: int
    count: int = 1
    desc: Text = ""
    unit: Text = ""


def _word(value: int) -> bytes:
    """A 32-bit field: signed or unsigned input, stored as its two's-complement bits."""
    if not -(2**31) <= value < 2**32:
        raise ValueError(f"{value} does not fit in 32 bits")
    return struct.pack("<I", value & 0xFFFFFFFF)


def _text(value: Text, width: int) -> bytes:
    raw = value.encode() if isinstance(value, str) else bytes(value)
    if len(raw) > width:
        raise ValueError(f"text {raw!r} is longer than its {width}-byte field")
    return raw.ljust(width, b"\0")


def var_header(var: Var) -> bytes:
    """The 144-byte header of one variable."""
    return b"".join((_word(var.type), _word(var.offset), _word(var.count), bytes(4),
                     _text(var.name, 32), _text(var.desc, 64), _text(var.unit, 32)))


def extent(var: Var) -> int:
    """Bytes the variable covers inside a record (0 for an unknown type)."""
    return ELEMENT_SIZE.get(var.type, 0) * max(var.count, 0)


def pack_records(vars: Sequence[Var], buf_len: int, rows: Sequence[Sequence[Value]]) -> bytes:
    """The record area: rows[r][i] is vars[i]'s value in record r, a number for a scalar,
    a sequence of `count` numbers for an array, None to leave its bytes zero."""
    area = bytearray(buf_len * len(rows))
    for r, row in enumerate(rows):
        if len(row) != len(vars):
            raise ValueError(f"record {r} has {len(row)} values for {len(vars)} variables")
        for var, value in zip(vars, row):
            if value is None:
                continue
            if var.type not in _FORMAT or var.offset < 0 or var.offset + extent(var) > buf_len:
                raise ValueError(f"cannot pack a value of {var!r} into {buf_len}-byte records")
            items = value if isinstance(value, Sequence) else [value]
            if len(items) != var.count:
                raise ValueError(f"{var!r} needs {var.count} values, got {len(items)}")
            for j, item in enumerate(items):
                position = r * buf_len + var.offset + j * ELEMENT_SIZE[var.type]
                struct.pack_into(_FORMAT[var.type], area, position, item)
    return bytes(area)


def write_ibt(
    vars: Sequence[Var] = (),
    records: bytes = b"",
    *,
    session_info: Text = b"",
    buf_len: int | None = None,
    version: int = 2,
    tick_rate: int = 60,
    session_start_date: int = 0,
    start_time: float = 0.0,
    end_time: float = 0.0,
    lap_count: int = 0,
    num_vars: int | None = None,
    var_header_offset: int | None = None,
    session_info_offset: int | None = None,
    session_info_len: int | None = None,
    buf_offset: int | None = None,
    session_record_count: int | None = None,
    path: str | PathLike[str] | None = None,
) -> bytes:
    """The bytes of an IBT file, also written to `path` when given.

    Layout: main header at 0, disk sub-header at 112, variable headers at 144, then the
    session-info block, then the record area `records`. Every header field defaults to the
    value that describes this layout and may be overridden with any raw value; overrides
    change only the header, never where the parts are placed."""
    info = session_info.encode() if isinstance(session_info, str) else bytes(session_info)
    info_at = HEADER_SIZE + SUB_HEADER_SIZE + VAR_HEADER_SIZE * len(vars)
    records_at = info_at + len(info)
    if buf_len is None:
        buf_len = max((v.offset + extent(v) for v in vars if v.type in _FORMAT), default=0)
    if session_record_count is None:
        session_record_count = len(records) // buf_len if buf_len > 0 else 0
    fields = (
        version, 1, tick_rate, 0,
        len(info) if session_info_len is None else session_info_len,
        info_at if session_info_offset is None else session_info_offset,
        len(vars) if num_vars is None else num_vars,
        HEADER_SIZE + SUB_HEADER_SIZE if var_header_offset is None else var_header_offset,
        1, buf_len,
    )
    header = b"".join(map(_word, fields)) + bytes(8)
    header += bytes(4) + _word(records_at if buf_offset is None else buf_offset) + bytes(8 + 16 * 3)
    sub_header = struct.pack("<qdd", session_start_date, start_time, end_time)
    sub_header += _word(lap_count) + _word(session_record_count)
    data = header + sub_header + b"".join(map(var_header, vars)) + info + bytes(records)
    if path is not None:
        with open(path, "wb") as out:
            out.write(data)
    return data

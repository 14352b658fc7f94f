"""Small IBT files for tests."""

from __future__ import annotations

import struct
from collections.abc import Mapping, Sequence
from typing import Any

from telvane._writer import (DOUBLE, ELEMENT_SIZE, HEADER_SIZE, VAR_HEADER_SIZE, Text, Var, pack_records,
                             var_header, write_ibt)


def write_channels(channels: Mapping[Text, tuple[int, Sequence[int | float | bool]]] | None = None,
                   *, record_count: int = 0, **layout: Any) -> bytes:
    """An IBT file of scalar channels, name -> (type, one value per record), back to back after
    a Double "SessionTime" counting at the tick rate unless given; `layout` overrides the header."""
    channels = dict(channels or {})
    n = len(next(iter(channels.values()))[1]) if channels else record_count
    if "SessionTime" not in channels:
        channels = {"SessionTime": (DOUBLE, [r / layout.get("tick_rate", 60) for r in range(n)]), **channels}
    vars, offset = [], 0
    for name, (code, _) in channels.items():
        vars.append(Var(name, code, offset))
        offset += ELEMENT_SIZE[code]
    rows = [[values[r] for _, values in channels.values()] for r in range(n)]
    layout = {"buf_len": offset, "session_record_count": n, **layout}
    return write_ibt(vars, pack_records(vars, offset, rows), **layout)


def write_live_dump(vars: Sequence[Var], buffers: Sequence[tuple[int, Sequence[Any]]], *, buf_len: int,
                    session_info: bytes = b"---\n", reserved: int = 4096) -> bytes:
    """A dump of the simulator's live telemetry memory: the session info where a recording on
    disk has its sub-header (with `reserved` bytes for it), the variable headers after it,
    then one record per buffer, (tick count, values), laid out newest first."""
    var_at = HEADER_SIZE + reserved
    first = var_at + VAR_HEADER_SIZE * len(vars)
    order = sorted(range(len(buffers)), key=lambda i: -buffers[i][0])  # where each buffer lies
    records = bytearray(buf_len * len(buffers))
    descriptors = bytearray(64)
    for place, i in enumerate(order):
        tick, values = buffers[i]
        records[place * buf_len:(place + 1) * buf_len] = pack_records(vars, buf_len, [values])
        struct.pack_into("<ii", descriptors, 16 * i, tick, first + place * buf_len)
    header = struct.pack("<10i", 2, 1, 60, 1, reserved, HEADER_SIZE, len(vars), var_at, len(buffers), buf_len)
    header += bytes(8) + descriptors
    return header + session_info.ljust(reserved, b"\0") + b"".join(map(var_header, vars)) + bytes(records)

"""Small IBT files for tests."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from telvane._writer import DOUBLE, ELEMENT_SIZE, Text, Var, pack_records, write_ibt


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

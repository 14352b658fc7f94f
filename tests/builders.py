"""Small IBT files for tests: scalar channels given as name -> (type, values)."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Union

from telvane._writer import DOUBLE, ELEMENT_SIZE, Text, Var, pack_records, write_ibt


def write_channels(
    channels: Mapping[Text, tuple[int, Sequence[Union[int, float, bool]]]] | None = None,
    *,
    record_count: int | None = None,
    **layout: Any,
) -> bytes:
    """An IBT file of scalar channels, name -> (type, one value per record), placed back to
    back in each record. A Double "SessionTime" counting at the tick rate comes first unless
    given. `record_count` applies when no channel fixes it; `layout` goes to write_ibt and
    may override any header field."""
    channels = dict(channels or {})
    counts = {len(values) for _, values in channels.values()}
    if record_count is not None:
        counts.add(record_count)
    if len(counts) > 1:
        raise ValueError(f"channels disagree on the record count: {sorted(counts)}")
    n = counts.pop() if counts else 0
    if "SessionTime" not in channels and b"SessionTime" not in channels:
        rate = layout.get("tick_rate", 60)
        channels = {"SessionTime": (DOUBLE, [r / rate for r in range(n)]), **channels}
    vars, offset = [], 0
    for name, (code, _) in channels.items():
        vars.append(Var(name, code, offset))
        offset += ELEMENT_SIZE[code]
    rows = [[values[r] for _, values in channels.values()] for r in range(n)]
    layout = {"buf_len": offset, "session_record_count": n, **layout}
    return write_ibt(vars, pack_records(vars, offset, rows), **layout)

"""Texts shown to people: lap times, lap rows and the channels' field metadata."""

from __future__ import annotations

from collections.abc import Iterable

import pyarrow as pa


def format_lap_time(ms: int) -> str:
    """Milliseconds as m:ss.mmm, the way lap times are read."""
    sign, ms = ("-", -ms) if ms < 0 else ("", ms)
    minutes, ms = divmod(ms, 60_000)
    return f"{sign}{minutes}:{ms // 1000:02d}.{ms % 1000:03d}"


def lap_rows(lap_times: pa.Table) -> Iterable[tuple[int, int, str, int, bool]]:
    """(num, session, lap_type, duration, best) for each row of a lap-times table."""
    columns = ("num", "session", "lap_type", "duration", "best")
    return zip(*(lap_times.column(name).to_pylist() for name in columns))


def field_text(field: pa.Field, key: bytes) -> str:
    """A field-metadata value (units, description…) as text, or "" when absent."""
    return (field.metadata or {}).get(key, b"").decode("utf-8", "replace")

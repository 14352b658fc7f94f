"""Texts shown to people: lap times, lap rows and the channels' field metadata."""

from __future__ import annotations

from collections.abc import Iterable

import pyarrow as pa


def format_lap_time(ms: float) -> str:
    """Milliseconds as m:ss.mmm, the way lap times are read; h:mm:ss.mmm from an hour on."""
    if ms != ms:
        return "-:--.---"
    sign, whole = ("-", round(-ms)) if ms < 0 else ("", round(ms))
    hours, whole = divmod(whole, 3_600_000)
    minutes, whole = divmod(whole, 60_000)
    seconds, millis = divmod(whole, 1000)
    if hours:
        return f"{sign}{hours}:{minutes:02d}:{seconds:02d}.{millis:03d}"
    return f"{sign}{minutes}:{seconds:02d}.{millis:03d}"


def lap_rows(lap_times: pa.Table) -> Iterable[tuple[int, int, str, float, bool]]:
    """(num, session, lap_type, duration, best) for each row of a lap-times table."""
    columns = ("num", "session", "lap_type", "duration", "best")
    return zip(*(lap_times.column(name).to_pylist() for name in columns))


def field_text(field: pa.Field, key: bytes) -> str:
    """A field-metadata value (units, description…) as text, or "" when absent."""
    return (field.metadata or {}).get(key, b"").decode("utf-8", "replace")

"""Texts shown to people: lap times, lap rows, the session's start date and the channels'
field metadata."""

from __future__ import annotations

import datetime
from collections.abc import Iterable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["field_text", "format_lap_time", "lap_rows", "printable", "start_date"]


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


# Control characters shown as escapes: a terminal would act on them (clear the screen, set
# its title, write the clipboard) instead of showing them.
_CONTROLS = {code: repr(chr(code))[1:-1] for code in [*range(0x20), *range(0x7F, 0xA0)]}


def start_date(seconds: int) -> datetime.datetime | None:
    """The session's start from the header's Unix time; None when there is none (0 or less)
    or no date has that time."""
    try:
        return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc) if seconds > 0 else None
    except (OverflowError, OSError, ValueError):  # a date no calendar holds
        return None


def printable(text: str) -> str:
    """The text with every control character written as its Python escape."""
    return text.translate(_CONTROLS)


def field_text(field: pa.Field, key: bytes) -> str:
    """A field-metadata value (units, description…) as text, or "" when absent."""
    value: bytes = (field.metadata or {}).get(key, b"")
    return value.decode("utf-8", "replace")

"""The simulator's session-info text read line by line: its bytes decoded, and the few values
the package needs from it (sector lines, track length, the player's car and driver, the
sessions) without a YAML parser, comment lines skipped as YAML skips them. Every reader here
is one pass over the lines, since files in the wild hold thousands of blank lines."""

from __future__ import annotations

import codecs
import itertools
import math
import re
import warnings

__all__ = ["MAX_SECTORS", "decode_session_info", "length_metres", "list_entries", "player",
           "sector_starts", "session_names", "trim_session_info", "value_of"]

# More sector lines than any track has: a list this long is not a track's.
MAX_SECTORS = 100
_LENGTH = re.compile(r"\s*([0-9]*\.?[0-9]+)\s*(km|mi|m)\b")
_METRES = {"km": 1000.0, "mi": 1609.344, "m": 1.0}


def _cp1252(error: UnicodeError) -> tuple[str, int]:
    # Bytes that are not UTF-8 are read as Windows-1252, the simulator's code page; its five
    # unassigned bytes as the control characters of the same value, as Windows reads them.
    assert isinstance(error, UnicodeDecodeError)
    bad = error.object[error.start:error.end]
    return "".join(bytes([b]).decode("cp1252", "ignore") or chr(b) for b in bad), error.end


codecs.register_error("telvane.cp1252", _cp1252)


def decode_session_info(raw: bytes) -> str:
    """UTF-8 text, each byte sequence that is not UTF-8 read as Windows-1252."""
    return raw.decode("utf-8", "telvane.cp1252")


def trim_session_info(block: bytes) -> bytes:
    """The part of a session-info block the reader takes as its text: from the first "---"
    (else the first non-NUL byte) to the last non-NUL byte."""
    start = block.find(b"---")
    if start < 0:
        start = len(block) - len(block.lstrip(b"\0"))
    return block[start:max(start, len(block.rstrip(b"\0")))]


def _key_value(line: str) -> tuple[int, str, str] | None:
    """(indent, key, value) of a `Key: value` line, a list entry's "- " counted as indent."""
    body = line.lstrip(" ")
    if body.startswith("- "):
        body = body[2:].lstrip(" ")
    key, colon, value = body.partition(":")
    if not colon or not key or " " in key:
        return None
    return len(line) - len(body), key, value.strip()


def value_of(text: str, key: str) -> str | None:
    """The value of the first `key:` line at any depth, as written; None when there is none."""
    for line in text.splitlines():
        found = _key_value(line)
        if found is not None and found[1] == key:
            return found[2]
    return None


def length_metres(text: str | None) -> float | None:
    """Metres of a length as the session info writes it ("4.32 km", "2.5 mi")."""
    match = _LENGTH.match(text or "")
    return None if match is None else float(match.group(1)) * _METRES[match.group(2)]


def sector_starts(text: str, source: str = "session info") -> list[float]:
    """The lap fractions where the sectors start, from the `SectorStartPct` lines of the
    `SplitTimeInfo` block: [0.0, ...] in lap order, or [] when there is none. A value that is
    no number is left out; a list no track can have (more than MAX_SECTORS lines, not
    increasing from 0.0, outside [0, 1)) is ignored with a warning."""
    starts: list[float] = []
    inside = False
    for line in text.splitlines():
        if not inside:
            inside = line.rstrip() == "SplitTimeInfo:"
            continue
        if line[:1] not in (" ", "\t", "-"):
            if line.strip() and not line.startswith("#"):
                break
            continue
        found = _key_value(line.lstrip("\t"))
        if found is not None and found[1] == "SectorStartPct":
            try:
                starts.append(float(found[2]))
            except ValueError:
                continue
    problem = _sector_problem(starts)
    if problem:
        warnings.warn(f"{source}: ignoring its {len(starts)} sector starts: {problem}",
                      stacklevel=2)
        return []
    return starts


def _sector_problem(starts: list[float]) -> str:
    if not starts:
        return ""
    if len(starts) > MAX_SECTORS:
        return f"more than {MAX_SECTORS}"
    if starts[0] != 0.0:
        return "the first is not 0"
    if not all(math.isfinite(value) and 0.0 <= value < 1.0 for value in starts):
        return "not all within [0, 1)"
    if any(later <= earlier for earlier, later in itertools.pairwise(starts)):
        return "not increasing"
    return ""


def list_entries(text: str, key: str) -> list[dict[str, str]]:
    """The entries of the first list under `key:`, each as its `Name: value` lines, values as
    written (outer quotes removed). Read line by line, not as YAML, since free text the
    simulator writes unquoted is not always valid YAML."""
    entries: list[dict[str, str]] = []
    indent = None
    for line in text.splitlines():
        stripped = line.lstrip(" ")
        depth = len(line) - len(stripped)
        if indent is None:
            if stripped.rstrip() == f"{key}:":
                indent = depth
            continue
        if not stripped.strip() or stripped.startswith("#"):  # a comment line is no entry
            continue
        if depth < indent or (depth == indent and not stripped.startswith("- ")):
            break
        if depth == indent:
            entries.append({})
            stripped, depth = stripped[2:], depth + 2
        name, colon, value = stripped.partition(":")
        if depth == indent + 2 and colon and entries:
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
                value = value[1:-1]
            entries[-1].setdefault(name.rstrip(), value)
    return entries


def session_names(text: str) -> dict[int, str]:
    """SessionName by SessionNum, from SessionInfo's Sessions; SessionType where the
    recording (of IBT version 1) names none."""
    return {int(entry["SessionNum"]): entry.get("SessionName") or entry.get("SessionType", "")
            for entry in list_entries(text, "Sessions")
            if entry.get("SessionNum", "").lstrip("-").isdigit()}


def player(text: str) -> dict[str, str | None]:
    """The entry of DriverInfo's Drivers for the recording's own car (DriverCarIdx);
    `CarScreenName` None when there is none."""
    index = value_of(text, "DriverCarIdx")
    entry = next((entry for entry in list_entries(text, "Drivers")
                  if entry.get("CarIdx") == index), {})
    return {"CarScreenName": None, **entry}

"""The simulator's session-info text read as YAML, its free text kept exactly as typed."""

from __future__ import annotations

import functools
import re
from types import ModuleType
from typing import Any

from telvane._extras import needs_extra

__all__ = ["FREE_TEXT_KEYS", "parse_session_yaml", "quote_session_yaml"]

# Values that drivers and teams type, which the simulator writes unquoted whatever they hold.
FREE_TEXT_KEYS = frozenset({"AbbrevName", "CameraName", "CarNumber", "DriverSetupName",
                            "FrequencyName", "GroupName", "Initials", "TeamName", "UserName"})
_KEY = re.compile(r"[A-Za-z0-9_]+")
_QUOTED = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\']|\'\')*\'')
# What a plain YAML value must not hold: a mapping or comment sign inside, a trailing colon,
# a leading indicator, or a character YAML refuses or reads as a line break.
_NEEDS_QUOTES = re.compile(r": | #|:$|^[-?:](?: |$)|^[,\[\]{}#&*!|>'\"%@`]"
                           "|[\x00-\x08\n-\x1f\x7f-\x9f\u2028\u2029\ufffe\uffff]")
_ESCAPES = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}
_ESCAPES.update({code: f"\\u{code:04x}" for code in (0x2028, 0x2029, 0xFFFE, 0xFFFF)})
_ESCAPES.update({ord("\\"): "\\\\", ord('"'): '\\"'})


def quote_session_yaml(text: str) -> str:
    """The session-info text with free-text values, and every value plain YAML would misread
    or refuse, double-quoted. A line that follows a free-text value and is no entry of its
    own continues that value (setup names may hold a line break); a comment line ends it,
    as in YAML."""
    lines: list[str] = []
    free_text: list[str] | None = None  # the lines of a free-text value still being read
    for line in text.replace("\0", "").split("\n"):
        line = line.removesuffix("\r")
        entry = _entry(line)
        if free_text is not None and entry is None and not _ends_value(line.strip()):
            free_text.append(line)
            continue
        if free_text is not None:
            lines[-1] += _quoted("\n".join(free_text))
            free_text = None
        if entry is None:
            lines.append(line)
            continue
        head, key, value = entry
        quoted = _QUOTED.fullmatch(value.strip()) is not None  # the simulator quotes some itself
        if key in FREE_TEXT_KEYS and not quoted:
            lines.append(head + " ")
            free_text = [value]
            continue
        value = value.strip()
        if not quoted and _NEEDS_QUOTES.search(value):
            value = _quoted(value)
        lines.append(f"{head} {value}" if value else head)
    if free_text is not None:
        lines[-1] += _quoted("\n".join(free_text))
    return "\n".join(lines) + "\n"


def _entry(line: str) -> tuple[str, str, str] | None:
    """("  - Key:", "Key", value) for a line holding a key and, after ": ", its value."""
    body = line.lstrip(" ")
    if body.startswith("- "):
        body = body[2:]
    key, colon, value = body.partition(":")
    if not colon or not _KEY.fullmatch(key) or value[:1] not in ("", " "):
        return None
    return line[:len(line) - len(body)] + key + ":", key, value[1:]


def _ends_value(line: str) -> bool:
    return line in ("", "...", "---") or line.startswith("#")


def _quoted(value: str) -> str:
    return '"' + value.translate(_ESCAPES) + '"'


def parse_session_yaml(text: str) -> dict[str, Any]:
    """The session info as nested dicts and lists. Integers and decimal numbers become int
    and float, true and false bool, empty values None; every other value is the text as
    written: no dates, times, sexagesimal or octal numbers, yes/no/on/off stay words."""
    yaml = needs_extra("yaml", "yaml", "LogFile.session()")
    parsed = yaml.load(quote_session_yaml(text), Loader=_loader(yaml))
    if parsed is None:
        return {}
    if not isinstance(parsed, dict):
        raise ValueError(f"session info is a {type(parsed).__name__}, not a mapping")
    return parsed


@functools.cache
def _loader(yaml: ModuleType) -> type:
    class SessionLoader(getattr(yaml, "CSafeLoader", yaml.SafeLoader)):  # type: ignore[misc]
        yaml_implicit_resolvers: dict[str, list[Any]] = {}

    for tag, pattern, first in _SCALARS:
        SessionLoader.add_implicit_resolver(f"tag:yaml.org,2002:{tag}",
                                            re.compile(f"^(?:{pattern})$"), list(first))
    return SessionLoader


# The plain values read as other than text: (tag, pattern, the characters they start with).
_SCALARS = [
    ("null", "~|null|Null|NULL|", ["~", "n", "N", ""]),
    ("bool", "true|True|TRUE|false|False|FALSE", "tTfF"),
    ("int", "[-+]?(?:0|[1-9][0-9]*)|0x[0-9a-fA-F]+", "-+0123456789"),
    ("float", r"[-+]?(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?"
              r"|[-+]?\.(?:inf|Inf|INF)|\.(?:nan|NaN|NAN)", "-+.0123456789"),
]

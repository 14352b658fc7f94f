"""The simulator's session-info text made readable by a YAML parser."""

from __future__ import annotations

import re

# Values that YAML would misread when the simulator writes them unquoted: a ": " or " #"
# inside, a trailing colon, or a leading indicator character.
_YAML_LINE = re.compile(r"^(\s*(?:- )?[A-Za-z0-9_]+: +)(\S.*?)\s*$")
_YAML_NEEDS_QUOTES = re.compile(r": |:$| #|^[!&*|>%@`{\[]|^['\"]")


def quote_session_yaml(text: str) -> str:
    """The session-info text with every value that plain YAML would misread single-quoted."""
    lines = []
    for line in text.replace("\0", "").splitlines():
        match = _YAML_LINE.match(line)
        if match and _needs_quotes(match.group(2)):
            line = match.group(1) + "'" + match.group(2).replace("'", "''") + "'"
        lines.append(line)
    return "\n".join(lines) + "\n"


def _needs_quotes(value: str) -> bool:
    quoted = len(value) >= 2 and value[0] == value[-1] and value[0] in "'\""
    return not quoted and _YAML_NEEDS_QUOTES.search(value) is not None

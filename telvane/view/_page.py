"""The lap viewer as one self-contained HTML page: the template, its style and script from
the package's assets, and the data embedded."""

from __future__ import annotations

import base64
import html
import json
import math
import re
from importlib import resources
from string import Template
from typing import Any

import telvane
from telvane.view._data import PageData

__all__ = ["render"]


def _asset(name: str) -> str:
    return (resources.files("telvane.view") / "assets" / name).read_text("utf-8")


def _clean(value: Any) -> Any:
    """The manifest with NaN and infinities as null, which JSON has no other word for."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(key): _clean(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_clean(item) for item in value]
    return value


def _ascii(text: str, escape: str) -> str:
    """The text with each character beyond ASCII written as `escape` formats its code."""
    return re.sub(r"[^\x00-\x7f]", lambda match: escape % ord(match.group()), text)


def render(data: PageData) -> str:
    """The page's HTML text, all ASCII: browsers then keep its long data line at one byte a
    character, and no editor or mail program can garble it."""
    columns = base64.b64encode(data.pack()).decode("ascii")
    manifest = json.dumps(_clean(data.manifest), separators=(",", ":"), allow_nan=False)
    # Inside <script> only "</" could end the element early; "<" as an escape is still JSON.
    manifest = manifest.replace("<", "\\u003c")
    wrapped = "\n".join(columns[i:i + 4096] for i in range(0, len(columns), 4096))
    page = Template(_asset("page.html")).substitute(
        title=html.escape(str(data.manifest.get("title", "laps"))) + " · telvane",
        version=telvane.__version__, css=_ascii(_asset("viewer.css"), "\\%x "),
        script=_ascii(_asset("columns.js") + _asset("kernels.js") + _asset("viewer.js"), "\\u%04x"), manifest=manifest,
        columns=wrapped)
    return _ascii(page, "&#x%x;")

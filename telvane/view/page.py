"""The lap viewer as one self-contained HTML page: the template, its style and script from
the package's assets, and the data embedded."""

from __future__ import annotations

import base64
import html
import json
import math
from importlib import resources
from string import Template
from typing import Any

import telvane
from telvane.view.data import PageData


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


def render(data: PageData) -> str:
    """The page's HTML text."""
    columns = base64.b64encode(data.pack()).decode("ascii")
    manifest = json.dumps(_clean(data.manifest), separators=(",", ":"), allow_nan=False)
    # Inside <script> only "</" could end the element early; "<" as an escape is still JSON.
    manifest = manifest.replace("<", "\\u003c")
    wrapped = "\n".join(columns[i:i + 4096] for i in range(0, len(columns), 4096))
    return Template(_asset("page.html")).substitute(
        title=html.escape(str(data.manifest.get("title", "laps"))) + " · telvane",
        version=telvane.__version__, css=_asset("viewer.css"), script=_asset("viewer.js"),
        manifest=manifest, columns=wrapped)

"""The lap viewer: laps of one or more recordings of one track in one self-contained HTML
page, with traces by distance, the time delta, a track map and sector times."""

from __future__ import annotations

import html
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from telvane import _display
from telvane.view.build import TrackMismatch, page_data
from telvane.view.page import render

__all__ = ["TrackMismatch", "View", "default_laps", "view"]


class View:
    """A lap viewer page: `html` is its text, save() writes it, and a notebook shows it."""

    def __init__(self, page: str) -> None:
        self.html = page

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Write the page to `path` and return the path."""
        path = Path(path)
        self.write(path)
        return path

    def write(self, path: Path) -> None:
        path.write_text(self.html, encoding="utf-8")

    def _repr_html_(self) -> str:
        # A frame of its own keeps the page's script and style out of the notebook's.
        return (f'<iframe srcdoc="{html.escape(self.html)}" style="width:100%;height:980px;'
                f'border:1px solid #ddd" sandbox="allow-scripts"></iframe>')

    def __repr__(self) -> str:
        return f"<telvane View: {len(self.html):,} characters of HTML>"


def default_laps(log: Any) -> list[int]:
    """Rows of lap_times() a page of one recording opens with: its fastest full lap and the
    next fastest, or its longest lap when none is full."""
    full = _display.default_laps(log)
    if full:
        return full[:2]
    laps = log.lap_times().to_pylist()
    if not laps:
        raise ValueError(f"{log.file_name}: no laps to view")
    return [max(range(len(laps)), key=lambda row: laps[row]["end_record"] - laps[row]["first_record"])]


def view(logs: Sequence[Any], chosen: Sequence[tuple[int, int]] | None = None) -> View:
    """The page of the LogFiles `logs` (recordings of one track), opening with the laps
    `chosen` as (index in `logs`, row of its lap_times()) pairs, the first the reference;
    by default the first recording's fastest full lap against its next fastest. Raises
    TrackMismatch (a ValueError) for recordings of different tracks."""
    if not logs:
        raise ValueError("view() needs at least one recording")
    if not chosen:
        chosen = [(0, row) for row in default_laps(logs[0])]
    named = [(log.file_name, log) for log in logs]
    return View(render(page_data(named, chosen[0], chosen[1:])))

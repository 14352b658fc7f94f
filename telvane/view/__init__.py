"""The lap viewer: laps of one or more recordings of one track in one self-contained HTML
page, with traces by distance, the time delta, a track map and sector times."""

from __future__ import annotations

import html
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from telvane import _display
from telvane.view._build import TrackMismatch, page_data
from telvane.view._page import render

__all__ = ["TrackMismatch", "View", "default_laps", "view"]


class View:
    """A lap viewer page: one self-contained HTML page, shown inline by notebooks.

    Attributes
    ----------
    html : str
        The page's text.
    """

    def __init__(self, page: str) -> None:
        self.html = page

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Write the page to a file.

        Parameters
        ----------
        path : str or os.PathLike
            The file.

        Returns
        -------
        pathlib.Path
            The path written.
        """
        path = Path(path)
        self.write(path)
        return path

    def write(self, path: Path) -> None:
        """Write the page to a file, as `save` does, without returning it.

        Parameters
        ----------
        path : pathlib.Path
            The file.
        """
        path.write_text(self.html, encoding="utf-8")

    def _repr_html_(self) -> str:
        # A frame of its own keeps the page's script and style out of the notebook's.
        return (f'<iframe srcdoc="{html.escape(self.html)}" style="width:100%;height:980px;'
                f'border:1px solid #ddd" sandbox="allow-scripts"></iframe>')

    def __repr__(self) -> str:
        return f"<telvane View: {len(self.html):,} characters of HTML>"


def default_laps(log: Any) -> list[int]:
    """Choose the laps a page of one recording opens with.

    Parameters
    ----------
    log : LogFile
        The recording.

    Returns
    -------
    list of int
        Rows of `lap_times()`: the fastest full lap and the next fastest, or the longest lap
        when none is full.

    Raises
    ------
    ValueError
        For a recording without laps.
    """
    full = _display.default_laps(log)
    if full:
        return full[:2]
    laps = log.lap_times().to_pylist()
    if not laps:
        raise ValueError(f"{log.file_name}: no laps to view")
    return [max(range(len(laps)), key=lambda row: laps[row]["end_record"] - laps[row]["first_record"])]


def view(logs: Sequence[Any], chosen: Sequence[tuple[int, int]] | None = None) -> View:
    """Make the lap viewer page of recordings of one track.

    Parameters
    ----------
    logs : sequence of LogFile
        The recordings.
    chosen : sequence of (int, int) or None
        The laps to open with, as (index in `logs`, row of its `lap_times()`) pairs, the first
        the reference; by default the first recording's fastest full lap against its next
        fastest.

    Returns
    -------
    View
        The page.

    Raises
    ------
    TrackMismatch
        For recordings of different tracks.
    """
    if not logs:
        raise ValueError("view() needs at least one recording")
    if not chosen:
        chosen = [(0, row) for row in default_laps(logs[0])]
    named = [(log.file_name, log) for log in logs]
    return View(render(page_data(named, chosen[0], chosen[1:])))

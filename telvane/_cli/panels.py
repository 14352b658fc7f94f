"""Channel panels drawn with matplotlib as a racer reads them (the choices of units, steps
and breaks are telvane._display'): one figure of stacked panels, the lap names above them,
written atomically."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from telvane._extras import needs_extra
from telvane._display import is_step, shown, value_range
from telvane.base import LogFile
from telvane._cli.common import write_atomically

__all__ = ["colours", "draw", "drawing", "label", "legend", "save"]

TITLE_INCHES = 0.5
LEGEND_ROW_INCHES = 0.2


@contextlib.contextmanager
def drawing(command: str, heights: Sequence[float]) -> Iterator[tuple[Any, Any]]:
    """The figure and the column of axes (one per height, in inches, x shared) that a
    command draws into; closed afterwards."""
    matplotlib = needs_extra("matplotlib", "plot", command)
    matplotlib.use("Agg")
    with matplotlib.rc_context({"text.parse_math": False}):  # names and units hold "$" too
        import matplotlib.pyplot as plt

        figure, axes = plt.subplots(len(heights), 1, sharex=True, squeeze=False,
                                    gridspec_kw={"height_ratios": list(heights)},
                                    figsize=(11, 1.2 + sum(heights)))
        try:
            yield figure, axes[:, 0]
        finally:
            plt.close(figure)


def save(figure: Any, output: Path, title: str, handles: list[Any], labels: list[str]) -> None:
    """Title, the lap names above the panels, then the file in the format its suffix names."""
    top = legend(figure, handles, labels)
    figure.suptitle(title)
    figure.tight_layout(rect=(0, 0, 1, top))
    form = output.suffix.lower().lstrip(".")
    write_atomically(output, lambda path: figure.savefig(path, format=form, dpi=110))


def draw(axis: Any, x: np.ndarray, log: LogFile, name: str, speed_unit: str,
         breaks: np.ndarray | None = None, **style: Any) -> Any:
    """Plot one channel of `log` against x, broken before the records `breaks` names."""
    field = log[name].schema.field(1)
    y, _ = shown(log[name].column(1).to_numpy(), field, speed_unit)
    if breaks is not None and len(breaks):
        x, y = np.insert(x.astype(np.float64), breaks, np.nan), np.insert(y, breaks, np.nan)
    if is_step(field):
        return axis.step(x, y, where="post", **style)[0]
    return axis.plot(x, y, **style)[0]


def label(axis: Any, log: LogFile, name: str, speed_unit: str) -> None:
    """The panel's name and unit, whole-number ticks for levels, a fixed span for percent."""
    field = log[name].schema.field(1)
    _, unit = shown(np.zeros(0), field, speed_unit)
    axis.set_ylabel(f"{name} [{unit}]" if unit else name)
    if is_step(field):
        from matplotlib.ticker import MaxNLocator

        axis.yaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
    span = value_range(unit)
    if span is not None:
        low, high = axis.dataLim.intervaly
        low, high = (low, high) if np.isfinite([low, high]).all() else span
        margin = 0.04 * (span[1] - span[0])
        axis.set_ylim(min(span[0], low) - margin, max(span[1], high) + margin)
    axis.grid(alpha=0.3)


def colours(count: int) -> list[Any]:
    """One colour per trace: the ten of matplotlib's cycle, or a spectrum for more laps,
    so that no two traces look alike."""
    import matplotlib

    if count <= 10:
        return [f"C{k}" for k in range(count)]
    return list(matplotlib.colormaps["turbo"](np.linspace(0.05, 0.95, count)))


def legend(figure: Any, handles: list[Any], labels: list[str]) -> float:
    """Lap names in columns above the panels (none without names), as many columns as fit
    the figure's width, the figure made taller to hold them; returns the share of the
    figure's height left for the panels."""
    height: float = figure.get_figheight()
    if not handles:
        return 1.0 - TITLE_INCHES / height
    labels = [_fit(text, _characters(figure)) for text in labels]
    columns = _columns(figure, labels)
    rows = -(-len(handles) // columns)
    extra = LEGEND_ROW_INCHES * rows + 0.1
    figure.set_figheight(height + extra)
    figure.legend(handles, labels, loc="upper center", frameon=False, ncol=columns,
                  fontsize="small", bbox_to_anchor=(0.5, 1.0 - TITLE_INCHES / (height + extra)))
    return 1.0 - (TITLE_INCHES + extra) / (height + extra)


# A legend entry in small type: a line sample and its text, about 0.075 inch a character.
SAMPLE_INCHES, CHARACTER_INCHES = 0.6, 0.075


def _characters(figure: Any) -> int:
    """The longest text one legend entry may hold within the figure's width."""
    return int((figure.get_figwidth() * 0.95 - SAMPLE_INCHES) / CHARACTER_INCHES)


def _fit(text: str, characters: int) -> str:
    """The text, its middle (the long part of a file name) left out where it is longer."""
    if len(text) <= characters:
        return text
    keep = characters - 1
    return text[:keep - keep // 2] + "…" + text[len(text) - keep // 2:]


def _columns(figure: Any, labels: list[str]) -> int:
    """As many legend columns (at most four) as fit the figure's width."""
    width = SAMPLE_INCHES + CHARACTER_INCHES * max(map(len, labels))
    return max(1, min(len(labels), 4, int(figure.get_figwidth() * 0.95 // width)))

"""`telvane plot`: channel traces of a recording or of laps overlaid, as an image or PDF."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from telvane._display import (ChoiceError, LapMark, LapName, lap_label, lap_marks, lap_name,
                              lap_x, laps_named, recording_time)
from telvane._cli import panels
from telvane._cli.common import (FORMATS, CommandError, add_trace_options, default_name,
                                output_path, read_recording)

if TYPE_CHECKING:
    from telvane.base import LogFile

__all__ = ["DEFAULT_PLOT_CHANNELS", "add_commands", "plot", "plot_command"]

DEFAULT_PLOT_CHANNELS = "Speed,Throttle,Brake"
SUFFIXES = ", ".join("." + name for name in FORMATS)


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    plot = commands.add_parser(
        "plot", help=f"plot channel traces to an image or PDF file ({SUFFIXES})",
        description="Plot channels: the whole recording against time, its laps and resets "
                    "marked, or laps overlaid for comparison. Lap N is every lap numbered N "
                    "(one per session; a reset splits a lap into two numbered alike); N.K "
                    "the K-th of them, as `telvane info` lists them.")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("--laps", metavar="N,M.K,...", type=_lap_names,
                      help="laps to overlay (default: the whole recording against time, "
                           "or every full lap against distance)")
    plot.add_argument("--x", choices=("distance", "time"),
                      help="x axis (default: distance with --laps, time without)")
    add_trace_options(plot, DEFAULT_PLOT_CHANNELS,
                      f"output file, its suffix naming the format ({SUFFIXES}), or a "
                      "directory (an existing one, or a name ending in /) for FILE's name "
                      "with .png (default: that name, here)")
    plot.set_defaults(command=plot_command)


def _lap_names(text: str) -> list[LapName]:
    try:
        return [lap_name(part) for part in text.split(",")]
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def plot_command(args: argparse.Namespace) -> int:
    log = read_recording(args.file)
    output = output_path(args.output, default_name(args.file, ".png"), [args.file])
    try:
        plot(log, args.channels, args.laps, args.x, output, "mph" if args.mph else "km/h")
    except ChoiceError as exc:
        raise CommandError(str(exc)) from None
    print(f"wrote {output}")
    return 0


def plot(log: LogFile, channels: Sequence[str], laps: Sequence[LapName] | None, x: str | None,
         output: Path, speed_unit: str = "km/h") -> None:
    """Draw one panel per channel: the whole recording against time, or laps overlaid
    against lap distance or time in the lap."""
    missing = [name for name in channels if name not in log]
    if missing:
        raise CommandError(f"{log.file_name}: no channel named {', '.join(map(repr, missing))}")
    x = x or ("distance" if laps else "time")
    whole = laps is None and x == "time"
    traces = [_whole(log)] if whole else _laps(log, laps, x)
    with panels.drawing("telvane plot", [2.1] * len(channels)) as (figure, axes):
        handles = []
        colours = panels.colours(len(traces))
        for axis, name in zip(axes, channels):
            handles = [panels.draw(axis, along, part, name, speed_unit, breaks, color=colour,
                                   linewidth=1.8 if label.endswith(" best") else 1.0)
                       for (label, part, along, breaks), colour in zip(traces, colours)]
            panels.label(axis, log, name, speed_unit)
        if whole:
            along = traces[0][2]
            _mark(axes, lap_marks(log, along), recording_time(log)[2])
        axes[-1].set_xlabel(_x_label(log, x, per_lap=not whole))
        title = log.metadata.get("track_display_name", "")
        name = Path(log.file_name).name
        panels.save(figure, output, f"{title} · {name}" if title else name,
                    [] if whole else handles, [label for label, _, _, _ in traces])


def _whole(log: LogFile) -> tuple[str, LogFile, Any, Any]:
    along, breaks, _, _ = recording_time(log)
    return "recording", log, along, breaks


def _laps(log: LogFile, laps: Sequence[LapName] | None, x: str
          ) -> list[tuple[str, LogFile, Any, Any]]:
    """(legend label, LogFile, x values, no breaks) of each lap drawn."""
    table = log.lap_times().to_pylist()
    if laps is None:
        rows = log.find_laps(lap_type="full")
        if not rows:
            raise CommandError(f"{log.file_name}: no full laps to compare; choose --laps")
    else:
        rows = sorted({row for name in laps for row in laps_named(log, name)})
    return [(lap_label(table, row), part, lap_x(part, table[row], x), None)
            for row in rows for part in [log.lap(row)]]


def _x_label(log: LogFile, x: str, per_lap: bool) -> str:
    if x == "distance":
        return "lap distance [m]"
    if per_lap:
        return "time in lap [s]"
    return "session time [s]" if recording_time(log)[3] else \
        "time [s]: session time, sessions one after another"


def _mark(axes: Any, laps: list[LapMark], sessions: list[tuple[float, int]]) -> None:
    """Lap starts as faint lines, resets dotted red, session starts dashed; named on the
    top panel."""
    for axis in axes:
        for mark in laps:
            axis.axvline(mark.x, color="tab:red" if mark.kind == "reset" else "0.75",
                         linewidth=0.9 if mark.kind == "reset" else 0.6,
                         linestyle=":" if mark.kind == "reset" else "-", zorder=0)
        for at, _ in sessions:
            axis.axvline(at, color="0.4", linestyle="--", linewidth=0.8)
    top = axes[0]
    for at, number in sessions:
        top.annotate(f"session {number}", (at, 1.0), xycoords=("data", "axes fraction"),
                     xytext=(3, -12), textcoords="offset points", fontsize="small",
                     color="0.3")
    for mark in laps:  # resets named at the top, clear of the lap that follows
        reset = mark.kind == "reset"
        top.annotate(mark.text, (mark.x, 1.0 if reset else 0.0), xycoords=("data", "axes fraction"),
                     xytext=(2, -3 if reset else 3), textcoords="offset points",
                     fontsize="x-small", color="tab:red" if reset else "0.45", rotation=90,
                     va="top" if reset else "bottom")

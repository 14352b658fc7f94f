"""`telvane plot`: channel traces of a recording or of laps overlaid, as a PNG file."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from telvane._extras import needs_extra
from telvane.logfile import LogFile
from telvane.cli.common import (STDIN, CommandError, add_trace_options, lap_numbers,
                                read_recording, write_atomically)
from telvane.cli import panels
from telvane.traces import lap_distances

DEFAULT_PLOT_CHANNELS = "Speed,Throttle,Brake"
FORMATS = ("png", "jpg", "jpeg", "pdf", "svg")  # as the output's suffix names them


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    plot = commands.add_parser("plot", help="plot channel traces to a PNG file",
                               description="Plot channels, laps overlaid for comparison.")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("--laps", metavar="N,M,...", type=lap_numbers,
                      help="lap numbers to overlay (default: the whole recording against time, "
                           "or every full lap against distance)")
    plot.add_argument("--x", choices=("distance", "time"),
                      help="x axis (default: distance with --laps, time without)")
    add_trace_options(plot, DEFAULT_PLOT_CHANNELS,
                      "output file, its suffix naming the format (.png, .jpg, .pdf, .svg), "
                      "or a directory (an existing one, or a name ending in /) for "
                      "FILE's name with .png (default: that name, here)")
    plot.set_defaults(command=plot_command)


def plot_command(args: argparse.Namespace) -> int:
    log = read_recording(args.file)
    output = output_path(args.output, args.file)
    plot(log, args.channels, args.laps, args.x, output, "mph" if args.mph else "km/h")
    print(f"wrote {output}")
    return 0


def output_path(output: str | None, source: str) -> Path:
    """Where `plot -o OUTPUT` writes: a file whose suffix names a format, or FILE's name with
    .png in a directory (created when named with a trailing /); never the input itself."""
    default = ("stdin" if source == STDIN else Path(source).stem) + ".png"
    if output is None:
        path = Path(default)
    elif output.endswith(os.sep) or os.path.isdir(output):
        Path(output).mkdir(parents=True, exist_ok=True)
        path = Path(output, default)
    else:
        path = Path(output)
        if path.suffix.lower().lstrip(".") not in FORMATS:
            raise CommandError(f"{output}: the suffix names the format, one of "
                               f"{', '.join('.' + name for name in FORMATS)}")
    if source != STDIN and path.exists() and os.path.samefile(path, source):
        raise CommandError(f"{path}: is the input recording; choose another output")
    return path


def plot(log: LogFile, channels: Sequence[str], laps: Sequence[int] | None, x: str | None,
         output: Path, speed_unit: str = "km/h") -> None:
    """Draw one panel per channel: the whole recording against time, or laps overlaid
    against lap distance or time in the lap."""
    matplotlib = needs_extra("matplotlib", "plot", "telvane plot")
    matplotlib.use("Agg")
    with matplotlib.rc_context({"text.parse_math": False}):  # names and units hold "$" too
        _draw(log, channels, laps, x, output, speed_unit)


def _draw(log: LogFile, channels: Sequence[str], laps: Sequence[int] | None, x: str | None,
          output: Path, speed_unit: str) -> None:
    import matplotlib.pyplot as plt

    missing = [name for name in channels if name not in log]
    if missing:
        raise CommandError(f"{log.file_name}: no channel named {', '.join(map(repr, missing))}")
    x = x or ("distance" if laps else "time")
    traces = _traces(log, laps, x)
    figure, axes = plt.subplots(len(channels), 1, sharex=True, squeeze=False,
                                figsize=(11, 1.2 + 2.1 * len(channels)))
    handles = []
    colours = panels.colours(len(traces))
    for axis, name in zip(axes[:, 0], channels):
        handles = [panels.draw(axis, along, part, name, speed_unit, breaks, color=colour,
                               linewidth=1.8 if label.endswith(" best") else 1.0)
                   for (label, part, along, breaks), colour in zip(traces, colours)]
        panels.label(axis, log, name, speed_unit)
    named = laps is not None or x == "distance"  # laps, not the whole recording
    if not named:
        _mark_sessions(axes[:, 0], panels.recording_time(log)[2])
    axes[-1, 0].set_xlabel(_x_label(log, x, per_lap=named))
    title = log.metadata.get("track_display_name", "")
    figure.suptitle(f"{title} · {Path(log.file_name).name}" if title else Path(log.file_name).name)
    top = panels.legend(figure, handles if named else [], [label for label, _, _, _ in traces])
    figure.tight_layout(rect=(0, 0, 1, top))
    form = output.suffix.lower().lstrip(".")
    write_atomically(output, lambda path: figure.savefig(path, format=form, dpi=110))
    plt.close(figure)


def _traces(log: LogFile, laps: Sequence[int] | None, x: str
            ) -> list[tuple[str, LogFile, Any, Any]]:
    """(legend label, LogFile, x values, records where the line breaks) of each trace."""
    if laps is None and x == "time":
        along, breaks, _, _ = panels.recording_time(log)
        return [("recording", log, along, breaks)]
    table = log.lap_times().to_pylist()
    sessions = len({lap["session"] for lap in table})
    rows = []
    for number in laps if laps is not None else []:
        found = log.find_laps(num=number)
        if not found:
            raise CommandError(f"{log.file_name}: no lap {number}")
        rows += found
    if laps is None:
        rows = log.find_laps(lap_type="full")
        if not rows:
            raise CommandError(f"{log.file_name}: no full laps to compare; choose --laps")
    return [(panels.lap_label(table[row], sessions), part, _x_values(part, x, table[row]), None)
            for row in sorted(rows) for part in [log.lap(row)]]


def _x_values(part: LogFile, x: str, lap: dict[str, Any]) -> Any:
    if x == "distance":
        try:
            return lap_distances(part.lap_inputs, part.lap_times())
        except ValueError:
            raise CommandError(f"{part.file_name}: no LapDist or LapDistPct channel for "
                               f"--x distance") from None
    return (part.lap_inputs.times - lap["start_time"]) / 1000


def _x_label(log: LogFile, x: str, per_lap: bool) -> str:
    if x == "distance":
        return "lap distance [m]"
    if per_lap:
        return "time in lap [s]"
    return "session time [s]" if panels.recording_time(log)[3] else \
        "time [s]: session time, sessions one after another"


def _mark_sessions(axes: Any, marks: list[tuple[float, int]]) -> None:
    for axis in axes:
        for at, _ in marks:
            axis.axvline(at, color="0.4", linestyle="--", linewidth=0.8)
    for at, number in marks:
        axes[0].annotate(f"session {number}", (at, 1.0), xycoords=("data", "axes fraction"),
                         xytext=(3, -12), textcoords="offset points", fontsize="small",
                         color="0.3")

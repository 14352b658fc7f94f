"""`telvane plot`: channel traces of a recording or of laps overlaid, as a PNG file."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from telvane._extras import needs_extra
from telvane.base import LogFile
from telvane.cli.common import (STDIN, CommandError, lap_numbers, names, read_recording,
                                write_atomically)
from telvane.text import format_lap_time

DEFAULT_PLOT_CHANNELS = "Speed,Throttle,Brake"
FORMATS = ("png", "jpg", "jpeg", "pdf", "svg")  # as the output's suffix names them


def add_commands(commands: argparse._SubParsersAction) -> None:
    plot = commands.add_parser("plot", help="plot channel traces to a PNG file",
                               description="Plot channels, laps overlaid for comparison.")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("--channels", metavar="A,B,...", type=names,
                      default=names(DEFAULT_PLOT_CHANNELS),
                      help=f"channels to plot (default: {DEFAULT_PLOT_CHANNELS})")
    plot.add_argument("--laps", metavar="N,M,...", type=lap_numbers,
                      help="lap numbers to overlay (default: the whole recording against time, "
                           "or every full lap against distance)")
    plot.add_argument("--x", choices=("distance", "time"),
                      help="x axis (default: distance with --laps, time without)")
    plot.add_argument("-o", "--output", metavar="OUT",
                      help="output file, its suffix naming the format (.png, .jpg, .pdf, .svg), "
                           "or a directory (an existing one, or a name ending in /) for "
                           "FILE's name with .png (default: that name, here)")
    plot.set_defaults(command=plot_command)


def plot_command(args: argparse.Namespace) -> int:
    log = read_recording(args.file)
    output = output_path(args.output, args.file)
    plot(log, args.channels, args.laps, args.x, output)
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
         output: Path) -> None:
    """Draw one panel per channel; laps are overlaid against lap distance or lap time."""
    matplotlib = needs_extra("matplotlib", "plot", "telvane plot")
    matplotlib.use("Agg")
    with matplotlib.rc_context({"text.parse_math": False}):  # names and units hold "$" too
        _draw(log, channels, laps, x, output)


def _draw(log: LogFile, channels: Sequence[str], laps: Sequence[int] | None, x: str | None,
          output: Path) -> None:
    import matplotlib.pyplot as plt

    missing = [name for name in channels if name not in log]
    if missing:
        raise CommandError(f"{log.file_name}: no channel named {', '.join(map(repr, missing))}")
    x = x or ("distance" if laps else "time")
    traces = _traces(log, laps, x)
    figure, axes = plt.subplots(len(channels), 1, sharex=True, squeeze=False,
                                figsize=(11, 1.2 + 2.1 * len(channels)))
    for axis, name in zip(axes[:, 0], channels):
        for label, part in traces:
            axis.plot(_x_values(part, x, per_lap=laps is not None),
                      part[name].column(1).to_numpy().astype(float), label=label, linewidth=1)
        unit = log.units[name]
        axis.set_ylabel(f"{name} [{unit}]" if unit else name)
        axis.grid(alpha=0.3)
    axes[-1, 0].set_xlabel(_x_label(log, x, per_lap=laps is not None))
    title = log.metadata.get("track_display_name", "")
    figure.suptitle(f"{title} · {Path(log.file_name).name}" if title else Path(log.file_name).name)
    top = 1.0 - 0.5 / figure.get_figheight()
    if len(traces) > 1:
        figure.legend(*axes[0, 0].get_legend_handles_labels(), loc="upper center", frameon=False,
                      ncol=min(len(traces), 4), fontsize="small", bbox_to_anchor=(0.5, top))
        top -= 0.25 / figure.get_figheight()
    figure.tight_layout(rect=(0, 0, 1, top))
    form = output.suffix.lower().lstrip(".")
    write_atomically(output, lambda path: figure.savefig(path, format=form, dpi=110))
    plt.close(figure)


def _traces(log: LogFile, laps: Sequence[int] | None, x: str) -> list[tuple[str, LogFile]]:
    if laps is None and x == "time":
        return [("recording", log)]
    table = log.lap_times()
    sessions = len(set(table.column("session").to_pylist()))
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
    traces = []
    for row in rows:
        label = f"lap {table['num'][row]}"
        if sessions > 1:
            label += f" (session {table['session'][row]})"
        label += f" {format_lap_time(table['duration'][row].as_py())}"
        traces.append((label + (" best" if table["best"][row].as_py() else ""), log.lap(row)))
    return traces


def _x_values(part: LogFile, x: str, per_lap: bool) -> Any:
    if x == "distance":
        if "LapDist" in part:
            return part["LapDist"].column(1).to_numpy()
        if "LapDistPct" in part:
            return part["LapDistPct"].column(1).to_numpy() * 100
        raise CommandError(f"{part.file_name}: no LapDist or LapDistPct channel for --x distance")
    times = part.timecodes.to_numpy()
    return (times - times[0] if per_lap and len(times) else times) / 1000


def _x_label(log: LogFile, x: str, per_lap: bool) -> str:
    if x == "distance":
        return "lap distance [m]" if "LapDist" in log else "lap distance [%]"
    return "time in lap [s]" if per_lap else "session time [s]"

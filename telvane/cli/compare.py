"""`telvane compare`: laps of one or more recordings overlaid against lap distance, with the
time each loses or gains against the first."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from telvane._extras import needs_extra
from telvane.logfile import LogFile, delta
from telvane.cli import panels
from telvane.cli.common import STDIN, CommandError, add_trace_options, read_recording, write_atomically
from telvane.cli.plot import output_path
from telvane.traces import lap_distances

DEFAULT_COMPARE_CHANNELS = "Speed,Throttle,Brake,Gear"


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    compare = commands.add_parser(
        "compare", help="overlay laps against lap distance, with the time delta",
        description="Overlay laps of one recording or of several of the same track against "
                    "lap distance, with a panel of the time each lap loses (up) or gains "
                    "(down) against the first. FILE:LAP names lap number LAP of FILE (where "
                    "the number repeats, as in several sessions, its fastest full lap); "
                    "FILE alone its best lap.")
    compare.add_argument("laps", metavar="FILE[:LAP]", nargs="+", type=_lap_argument)
    add_trace_options(compare, DEFAULT_COMPARE_CHANNELS,
                      "output file, its suffix naming the format (.png, .jpg, .pdf, .svg), "
                      "or a directory (default: the first FILE's name with _compare.png, here)")
    compare.set_defaults(command=compare_command)


def _lap_argument(text: str) -> tuple[str, int | None]:
    """FILE or FILE:LAP; a file whose own name ends in ":N" is taken whole."""
    file, colon, number = text.rpartition(":")
    if not colon or os.path.exists(text) or not number.lstrip("-").isdigit():
        return text, None
    return file, int(number)


def compare_command(args: argparse.Namespace) -> int:
    logs: dict[str, LogFile] = {}
    chosen = []
    for file, number in args.laps:
        if file not in logs:
            logs[file] = read_recording(file)
        chosen.append((file, choose_lap(logs[file], number)))
    first = args.laps[0][0]
    if args.output is None:
        output = Path(("stdin" if first == STDIN else Path(first).stem) + "_compare.png")
    else:
        output = output_path(args.output, first)
    for file in logs:
        if file != STDIN and output.exists() and os.path.samefile(output, file):
            raise CommandError(f"{output}: is an input recording; choose another output")
    compare(logs, chosen, args.channels, "mph" if args.mph else "km/h", output)
    print(f"wrote {output}")
    return 0


def choose_lap(log: LogFile, number: int | None) -> int:
    """The row of lap_times() that FILE[:LAP] names."""
    laps = log.lap_times().to_pylist()
    rows = [row for row, lap in enumerate(laps) if number is None or lap["num"] == number]
    if not rows:
        raise CommandError(f"{log.file_name}: no lap {number}")
    full = [row for row in rows if laps[row]["lap_type"] == "full"]
    if full:
        return min(full, key=lambda row: laps[row]["duration"])
    if number is None:
        raise CommandError(f"{log.file_name}: no full lap; name one as {log.file_name}:LAP")
    return rows[0]


def compare(logs: dict[str, LogFile], chosen: Sequence[tuple[str, int]], channels: Sequence[str],
            speed_unit: str, output: Path) -> None:
    """Draw one panel per channel and the delta panel under them."""
    matplotlib = needs_extra("matplotlib", "plot", "telvane compare")
    matplotlib.use("Agg")
    with matplotlib.rc_context({"text.parse_math": False}):  # names and units hold "$" too
        _draw(logs, chosen, channels, speed_unit, output)


def _draw(logs: dict[str, LogFile], chosen: Sequence[tuple[str, int]], channels: Sequence[str],
          speed_unit: str, output: Path) -> None:
    import matplotlib.pyplot as plt

    for file, _ in chosen:
        missing = [name for name in channels if name not in logs[file]]
        if missing:
            raise CommandError(f"{file}: no channel named {', '.join(map(repr, missing))}")
    laps = [(file, logs[file].lap(row)) for file, row in chosen]
    several = len({file for file, _ in chosen}) > 1
    labels = [panels.lap_label(lap.lap_times().to_pylist()[0],
                               len(set(logs[file].lap_times()["session"].to_pylist())),
                               Path(file).name if several else "") for file, lap in laps]
    heights = [2.0] * len(channels) + [1.6]
    figure, axes = plt.subplots(len(heights), 1, sharex=True, squeeze=False,
                                gridspec_kw={"height_ratios": heights},
                                figsize=(11, 1.2 + sum(heights)))
    handles = []
    colours = panels.colours(len(laps))
    for axis, name in zip(axes[:-1, 0], channels):
        handles = [panels.draw(axis, _distances(lap), lap, name, speed_unit, linewidth=1,
                               color=colour) for (_, lap), colour in zip(laps, colours)]
        panels.label(axis, laps[0][1], name, speed_unit)
    gained = axes[-1, 0]
    gained.axhline(0.0, color=colours[0], linewidth=1)
    for (_, lap), colour in zip(laps[1:], colours[1:]):
        table = delta(laps[0][1], lap)
        gained.plot(table["distance"].to_numpy(), table["delta"].to_numpy() / 1000.0,
                    color=colour, linewidth=1)
    gained.set_ylabel("time lost to the\nfirst lap [s]")
    gained.grid(alpha=0.3)
    gained.set_xlabel("lap distance [m]")
    title = logs[chosen[0][0]].metadata.get("track_display_name", "")
    figure.suptitle(f"{title} · lap comparison" if title else "lap comparison")
    top = panels.legend(figure, handles, labels)
    figure.tight_layout(rect=(0, 0, 1, top))
    form = output.suffix.lower().lstrip(".")
    write_atomically(output, lambda path: figure.savefig(path, format=form, dpi=110))
    plt.close(figure)


def _distances(lap: LogFile) -> Any:
    try:
        return lap_distances(lap.lap_inputs, lap.lap_times())
    except ValueError as exc:
        raise CommandError(str(exc)) from None

"""`telvane compare`: laps of one or more recordings overlaid against lap distance, with the
time each loses or gains against the first."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

from telvane._display import ChoiceError, compared_laps, lap_label, lap_x, split_lap_argument
from telvane._cli import panels
from telvane._cli.common import (CommandError, add_trace_options, alone, default_name,
                                output_path, read_recording)
from telvane._cli.plot import SUFFIXES
from telvane.base import delta

if TYPE_CHECKING:
    from telvane.base import LogFile

__all__ = ["DEFAULT_COMPARE_CHANNELS", "add_commands", "compare", "compare_command"]

DEFAULT_COMPARE_CHANNELS = "Speed,Throttle,Brake,Gear"


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    compare = commands.add_parser(
        "compare", help="overlay laps against lap distance, with the time delta",
        description="Overlay laps of one recording or of several of the same track against "
                    "lap distance, with a panel of the time each lap loses (up) or gains "
                    "(down) against the first. FILE alone is its best full lap (one FILE "
                    "alone: its two fastest full laps); FILE:N its lap number N, the "
                    "fastest full one where the number repeats (sessions, a lap split by a "
                    "reset); FILE:N.K the K-th lap numbered N, as `telvane info` lists them.")
    compare.add_argument("laps", metavar="FILE[:LAP]", nargs="+", type=split_lap_argument)
    add_trace_options(compare, DEFAULT_COMPARE_CHANNELS,
                      f"output file, its suffix naming the format ({SUFFIXES}), or a "
                      "directory (default: the first FILE's name with _compare.png, here)")
    compare.set_defaults(command=compare_command)


def compare_command(args: argparse.Namespace) -> int:
    logs: dict[str, LogFile] = {}
    for file, _ in args.laps:
        if file not in logs:
            logs[file] = read_recording(file)
    first = args.laps[0][0]
    output = output_path(args.output, default_name(first, "_compare.png"), list(logs))
    try:
        chosen = compared_laps(logs, args.laps)
        compare(logs, chosen, args.channels, "mph" if args.mph else "km/h", output)
    except ChoiceError as exc:
        raise CommandError(str(exc)) from None
    print(f"wrote {output}")
    alone(chosen, args.laps[0][1] is not None, "drawn")
    return 0


def compare(logs: dict[str, LogFile], chosen: Sequence[tuple[str, int]], channels: Sequence[str],
            speed_unit: str, output: Path) -> None:
    """Draw one panel per channel and the delta panel under them."""
    for file, _ in chosen:
        missing = [name for name in channels if name not in logs[file]]
        if missing:
            raise CommandError(f"{file}: no channel named {', '.join(map(repr, missing))}")
    laps = [(file, logs[file].lap(row)) for file, row in chosen]
    several = len({file for file, _ in chosen}) > 1
    labels = [lap_label(logs[file].lap_times().to_pylist(), row, Path(file).name if several else "")
              for file, row in chosen]
    distances = [lap_x(lap, lap.lap_times().to_pylist()[0], "distance") for _, lap in laps]
    try:  # of laps of one track only
        deltas = [delta(laps[0][1], lap) for _, lap in laps[1:]]
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    with panels.drawing("telvane compare", [2.0] * (len(channels) + 1)) as (figure, axes):
        handles = []
        colours = panels.colours(len(laps))
        for axis, name in zip(axes[:-1], channels):
            handles = [panels.draw(axis, along, lap, name, speed_unit, linewidth=1,
                                   color=colour)
                       for (_, lap), along, colour in zip(laps, distances, colours)]
            panels.label(axis, laps[0][1], name, speed_unit)
        gained = axes[-1]
        gained.axhline(0.0, color=colours[0], linewidth=1)
        for table, colour in zip(deltas, colours[1:]):
            gained.plot(table["distance"].to_numpy(), table["delta"].to_numpy() / 1000.0,
                        color=colour, linewidth=1)
        gained.set_ylabel("time lost [s]")
        gained.annotate("against the first lap: up is slower", (0.0, 1.0),
                        xycoords="axes fraction", xytext=(4, -12), textcoords="offset points",
                        fontsize="small", color="0.3")
        gained.grid(alpha=0.3)
        gained.set_xlabel("lap distance [m]")
        title = logs[chosen[0][0]].metadata.get("track_display_name", "")
        panels.save(figure, output, f"{title} · lap comparison" if title else "lap comparison",
                    handles, labels)

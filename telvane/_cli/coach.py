"""`telvane coach`: where each lap loses time against a reference, corner by corner, and how
consistent the full laps are."""

from __future__ import annotations

import argparse
import json
import math
import statistics
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from telvane._display import SPEED_UNITS, ChoiceError, compared_laps, lap_text, split_lap_argument
from telvane._text import format_lap_time, printable
from telvane._cli.common import CommandError, alone, read_recording

if TYPE_CHECKING:
    from telvane.base import LogFile

__all__ = ["add_commands", "coach_command"]


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    coach = commands.add_parser(
        "coach", help="time lost corner by corner against a reference lap, and consistency",
        description="Find the corners of the first lap (the reference) and show, for every "
                    "other lap, its corners ranked by the time it loses there, its braking "
                    "point against the reference's, and its entry, minimum and exit speeds "
                    "beside the reference's; then the spread of lap and corner times over "
                    "the full laps of the files. Laps are chosen as `telvane compare` "
                    "chooses them: FILE alone its fastest full lap (one FILE alone: its two "
                    "fastest), FILE:N its lap N, FILE:N.K the K-th lap numbered N.")
    coach.add_argument("laps", metavar="FILE[:LAP]", nargs="+", type=split_lap_argument)
    coach.add_argument("--corners", metavar="M,M,...", type=_metres,
                       help="the corners' apexes in metres from the line (default: found on "
                            "the reference)")
    coach.add_argument("--mph", action="store_true", help="speed in mph instead of km/h")
    coach.add_argument("--json", action="store_true",
                       help="one JSON object for scripts: the laps, the corner table, the spread")
    coach.set_defaults(command=coach_command)


def _metres(text: str) -> list[float]:
    try:
        metres = [float(part) for part in text.split(",")]
    except ValueError:
        metres = []
    if not metres or not all(math.isfinite(value) for value in metres):
        raise argparse.ArgumentTypeError(f"expected comma-separated metres, got {text!r}")
    return metres


def coach_command(args: argparse.Namespace) -> int:
    from telvane._corner_analysis import corners

    logs: dict[str, LogFile] = {}
    for file, _ in args.laps:
        if file not in logs:
            logs[file] = read_recording(file)
    try:
        chosen = compared_laps(logs, args.laps)
        laps = [logs[file].lap(row) for file, row in chosen]
        table = corners(*laps, corners=args.corners).to_pylist()
        full = [(file, row) for file, log in logs.items() for row in log.find_laps(lap_type="full")]
        spread = _consistency(logs, full, corners(laps[0], *(logs[f].lap(r) for f, r in full),
                                                 corners=args.corners).to_pylist())
    except (ChoiceError, ValueError) as exc:  # no such lap, laps of different tracks
        raise CommandError(str(exc)) from None
    described = [_lap(logs, file, row) for file, row in chosen]
    if args.json:
        print(json.dumps({"laps": described, "corners": table, "consistency": spread}, indent=1))
    else:
        print("\n".join(map(printable, _text(described, table, spread, "mph" if args.mph else "km/h"))))
    alone(chosen, args.laps[0][1] is not None, "shown")
    return 0


def _lap(logs: dict[str, LogFile], file: str, row: int) -> dict[str, Any]:
    laps = logs[file].lap_times().to_pylist()
    return {"file": file, "lap": lap_text(laps, row), "row": row,
            "lap_type": laps[row]["lap_type"], "session": laps[row]["session"],
            "duration": laps[row]["duration"]}


def _spread(values: Sequence[float | None]) -> float | None:
    """The standard deviation of the sample (n − 1) of the known values, two or more."""
    known = [value for value in values if value is not None]
    return statistics.stdev(known) if len(known) > 1 else None


def _consistency(logs: dict[str, LogFile], full: list[tuple[str, int]],
                table: list[dict[str, Any]]) -> dict[str, Any]:
    """The spread (standard deviation) over the full laps `full` of the lap time, and of each
    corner's time and minimum speed from `table` (the corners of those laps, lap 0 the
    reference and left out)."""
    measured = [row for row in table if row["lap"]]
    numbers = sorted({row["corner"] for row in table})
    return {"laps": len(full),
            "lap_time": _spread([logs[file].lap_times()["duration"][row].as_py()
                                 for file, row in full]),
            "corners": [{"corner": k,
                         "time": _spread([row["time"] for row in measured if row["corner"] == k]),
                         "min_speed": _spread([row["min_speed"] for row in measured
                                               if row["corner"] == k])}
                        for k in numbers]}


def _name(lap: dict[str, Any]) -> str:
    return (f"{lap['file']}:{lap['lap']} ({lap['lap_type']}, session {lap['session']}) "
            f"{format_lap_time(lap['duration'])}")


def _number(value: float | None, form: str, scale: float = 1.0) -> str:
    return "-" if value is None else format(value * scale, form)


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    """Columns right-aligned under their headers, indented."""
    widths = [max(map(len, column)) for column in zip(header, *rows)]
    return ["  " + "  ".join(cell.rjust(width) for cell, width in zip(row, widths)).rstrip()
            for row in [header, *rows]]


def _text(laps: list[dict[str, Any]], table: list[dict[str, Any]], spread: dict[str, Any],
          unit: str) -> list[str]:
    """The lines of `telvane coach`: the reference's corners, every other lap's corners
    ranked by the time lost, then the spread over the full laps."""
    speed = SPEED_UNITS[unit]
    reference = [row for row in table if row["lap"] == 0]
    corners = len(reference) - 1
    lines = [f"reference {_name(laps[0])}: {corners} corner{'' if corners == 1 else 's'}", *_table(
        ["corner", "apex [m]", "brake at [m]", f"entry [{unit}]", f"min [{unit}]", f"exit [{unit}]"],
        [[str(row["corner"]), _number(row["apex"], ".0f"), _number(row["brake_at"], ".0f"),
          *(_number(row[key], ".1f", speed) for key in ("entry_speed", "min_speed", "exit_speed"))]
         for row in reference[1:]])]
    for k, lap in enumerate(laps[1:], 1):
        rows = [row for row in table if row["lap"] == k]
        lost = [row["time_lost"] for row in rows]
        total = "" if None in lost else f", {sum(lost) / 1000:+.3f} s against the reference"
        ranked = sorted(zip(rows, reference), key=lambda pair: (
            pair[0]["time_lost"] is None, -(pair[0]["time_lost"] or 0.0)))
        lines += ["", f"{_name(lap)}{total}", *_table(
            ["corner", "lost [s]", "brake [m]",
             *(f"{name} [{unit}]" for name in ("entry", "min", "exit"))],
            [[str(row["corner"]), _number(row["time_lost"], "+.3f", 0.001),
              _number(row["brake_delta"], "+.1f"),
              *(f"{_number(row[key], '.1f', speed)} / {_number(ref[key], '.1f', speed)}"
                if row["corner"] else "" for key in ("entry_speed", "min_speed", "exit_speed"))]
             for row, ref in ranked]),
            "  (speeds: this lap / the reference; brake: metres later than the reference)"]
    count = spread["laps"]
    lines += ["", f"consistency over {count} full lap{'' if count == 1 else 's'} (standard deviation):"]
    if spread["lap_time"] is None:
        return [*lines, "  needs two full laps or more"]
    return [*lines, f"  lap time {spread['lap_time'] / 1000:.3f} s", *_table(
        ["corner", "time [s]", f"min [{unit}]"],
        [[str(row["corner"]), _number(row["time"], ".3f", 0.001),
          _number(row["min_speed"], ".1f", speed)] for row in spread["corners"]])]

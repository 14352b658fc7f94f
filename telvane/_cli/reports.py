"""`telvane info` and `telvane channels`: what a recording holds, as text."""

from __future__ import annotations

import argparse
import json
import math
import re
import sys
from typing import TYPE_CHECKING, Any

from telvane._cli.common import STDIN, CommandError, open_recording, pattern, read_recording
from telvane._text import format_lap_time, printable, start_date

if TYPE_CHECKING:
    from telvane.base import LogFile

__all__ = ["add_commands", "channels_command", "describe", "info_command", "summary"]

# The Arrow type of the channel each type of variable becomes.
ARROW_TYPES = {"Char": "uint8", "Bool": "bool", "Int": "int32", "BitField": "uint32",
               "Float": "float", "Double": "double"}


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    info = commands.add_parser("info", help="track, session, records and laps of recordings",
                               description="Show the track, session, records and lap times of "
                                           "each recording (- reads standard input).")
    info.add_argument("files", metavar="FILE", nargs="+")
    info.add_argument("--json", action="store_true",
                      help="one JSON list for scripts: an object per recording")
    info.set_defaults(command=info_command)
    channels = commands.add_parser("channels", help="list the channels of recordings",
                                   description="List every channel of each recording: name, "
                                               "type, unit, description; under the file's "
                                               "name where several are given.")
    channels.add_argument("files", metavar="FILE", nargs="+",
                          help="the recordings (- reads standard input)")
    channels.add_argument("--match", metavar="PATTERN", type=pattern,
                          help="only names matching this regular expression (any case)")
    channels.set_defaults(command=channels_command)


def info_command(args: argparse.Namespace) -> int:
    reports: list[Any] = []
    failed = 0
    for file in args.files:
        try:
            log = read_recording(file)
        except CommandError as exc:
            print(f"telvane: {printable(str(exc))}", file=sys.stderr)
            failed += 1
            if args.json:  # the error in the list too, where scripts look
                name = "<stdin>" if file == STDIN else file
                reports.append({"file": name, "error": str(exc).removeprefix(f"{name}: ")})
            continue
        if args.json:
            reports.append(_finite(summary(log)))
        else:
            print(("\n" if len(reports) else "") + describe(log))
            reports.append(log.file_name)
    if args.json:
        print(json.dumps(reports, indent=1))
    return 1 if failed else 0


def summary(log: LogFile) -> dict[str, Any]:
    """What `telvane info --json` tells of a recording."""
    from telvane._racing import recorded_time  # here: `channels` has no use for the lap model
    meta: dict[str, Any] = {key: value for key, value in log.metadata.items() if key != "session_info_yaml"}
    started = start_date(meta["session_start_date"])
    return {"file": log.file_name, "metadata": meta,
            "start_date": started.isoformat() if started else None,
            "records": len(log), "recorded_ms": recorded_time(log.lap_inputs)[0],
            "channels": log.channel_names, "laps": log.lap_times().to_pylist(),
            "sectors": log.sectors().to_pylist(), "theoretical_best": log.theoretical_best()}


def _finite(value: Any) -> Any:
    """The value with NaN and infinities (no JSON numbers) made None."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    return [_finite(item) for item in value] if isinstance(value, list) else value


def describe(log: LogFile) -> str:
    """The text of `telvane info`: what, where and when, then the laps."""
    from telvane._racing import recorded_time
    meta: dict[str, Any] = dict(log.metadata)
    lines = [log.file_name]
    track = ", ".join(meta[key] for key in ("track_display_name", "track_city", "track_country")
                      if key in meta)
    if track or "track_length" in meta:
        lines.append(f"  Track      {track}" + (f" ({meta['track_length']})"
                                                 if "track_length" in meta else ""))
    ids = [f"{label} {meta[key]}" for label, key in (
        ("series", "series_id"), ("season", "season_id"), ("session", "session_id"),
        ("subsession", "sub_session_id")) if key in meta]
    if ids:
        lines.append(f"  Session    {', '.join(ids)}")
    seconds = meta.get("session_start_date", 0)
    if seconds > 0:
        started = start_date(seconds)
        lines.append(f"  Date       {started:%Y-%m-%d %H:%M:%S} UTC" if started
                     else f"  Date       invalid ({seconds})")
    recorded, sessions = recorded_time(log.lap_inputs)
    if sessions:
        spans = "; ".join(f"{'session time' if len(sessions) == 1 else f'session {number}:'} "
                          f"{first / 1000:.3f} s to {last / 1000:.3f} s"
                          for number, first, last in sessions)
        lines.append(f"  Duration   {format_lap_time(recorded)} ({spans})")
    rate = f" at {meta['tick_rate']} Hz" if "tick_rate" in meta else ""
    lines.append(f"  Records    {len(log):,}{rate}")
    first = [f"{name} [{unit}]" if unit else name for name, unit in log.units.items()][:5]
    more = ", …" if len(log.channels) > len(first) else ""
    lines.append(f"  Channels   {len(log.channels)}" + (f": {', '.join(first)}{more}"
                                                          if first else ""))
    return "\n".join(printable(line) for line in lines + [""] + _lap_lines(log))


def _lap_lines(log: LogFile) -> list[str]:
    """The racing laps with their times and sector times, the best lap of each session
    marked, then each session's theoretical best."""
    laps = log.lap_times().to_pylist()
    if not laps:
        return ["  No laps"]
    sectors = {(row["lap"], row["sector"]): row["duration"] for row in log.sectors().to_pylist()}
    count = len(log.lap_inputs.sector_starts) if sectors else 0
    lines = [("  Lap  Session  Type        Time     "
              + "".join(f"    Sector {k + 1}" for k in range(count))).rstrip()]
    for row, lap in enumerate(laps):
        times = "".join(f"  {_sector_time(sectors.get((row, k))):>10}" for k in range(count))
        mark = "  best" if lap["best"] else "  reset" if lap["reset"] else ""
        lines.append(f"  {lap['num']:>3}  {lap['session']:>7}  {lap['lap_type']:<10}  "
                     f"{format_lap_time(lap['duration']):>9}{times}{mark}".rstrip())
    best = log.theoretical_best()
    if best:
        lines.append("  Theoretical best (the best sectors added up): " + ", ".join(
            f"{format_lap_time(ms)}" + (f" in session {session}" if len(best) > 1 else "")
            for session, ms in best.items()))
    return lines


def _sector_time(ms: float | None) -> str:
    return "" if ms is None else format_lap_time(ms)


def channels_command(args: argparse.Namespace) -> int:
    failed = 0
    for k, file in enumerate(args.files):
        try:
            lines = _channel_lines(file, args.match)
        except CommandError as exc:  # reported, and the other files listed
            print(f"telvane: {printable(str(exc))}", file=sys.stderr)
            failed += 1
            continue
        if len(args.files) > 1:
            lines = [*([""] if k else []), printable("<stdin>" if file == STDIN else file), *lines]
        print("\n".join(lines))
    return 1 if failed else 0


def _channel_lines(file: str, match: re.Pattern[str] | None) -> list[str]:
    with open_recording(file) as recording:  # the variable headers, no record read
        variables = recording.variables.to_pylist()
    # A name given to several scalars is one channel, in the first one's place, holding
    # the last one's values.
    channels = {row["name"]: row for row in variables if row["count"] == 1}
    channels.update((row["name"], row) for row in variables if row["channel"])
    rows: list[tuple[str, ...]] = [("Name", "Type", "Unit", "Description")]
    for row in channels.values():
        if match is None or match.search(row["name"]):
            rows.append(tuple(printable(text) for text in (
                row["name"], ARROW_TYPES.get(row["type"], row["type"]), row["unit"],
                row["description"])))
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    return ["  ".join([cell.ljust(width) for cell, width in zip(row, widths)] + [row[3]]).rstrip()
            for row in rows]

"""`telvane info` and `telvane channels`: what a recording holds, as text."""

from __future__ import annotations

import argparse
import datetime

from telvane.base import LogFile
from telvane.cli.common import pattern, read_recording
from telvane.racing import recorded_time
from telvane.text import field_text, format_lap_time, lap_rows


def add_commands(commands: argparse._SubParsersAction) -> None:
    info = commands.add_parser("info", help="track, session, records and laps of a recording",
                               description="Show the track, session, records and lap times.")
    info.add_argument("file", metavar="FILE")
    info.set_defaults(command=info_command)
    channels = commands.add_parser("channels", help="list the channels of a recording",
                                   description="List every channel: name, type, unit, "
                                               "description.")
    channels.add_argument("file", metavar="FILE")
    channels.add_argument("--match", metavar="PATTERN", type=pattern,
                          help="only names matching this regular expression (any case)")
    channels.set_defaults(command=channels_command)


def info_command(args: argparse.Namespace) -> int:
    print(describe(read_recording(args.file)))
    return 0


def describe(log: LogFile) -> str:
    """The text of `telvane info`: what, where and when, then the laps."""
    meta = log.metadata
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
    if meta.get("session_start_date", 0) > 0:
        utc = datetime.timezone.utc
        started = datetime.datetime.fromtimestamp(meta["session_start_date"], tz=utc)
        lines.append(f"  Date       {started:%Y-%m-%d %H:%M:%S} UTC")
    recorded, sessions = recorded_time(log)
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
    return "\n".join(lines + [""] + _lap_lines(log))


def _lap_lines(log: LogFile) -> list[str]:
    if not log.laps.num_rows:
        return ["  No laps"]
    table = log.lap_times()
    lines = ["  Lap  Session  Type        Time"]
    for num, session, kind, ms, best in lap_rows(table):
        mark = "  best" if best else ""
        lines.append(f"  {num:>3}  {session:>7}  {kind:<10}  {format_lap_time(ms):>9}{mark}")
    return lines


def channels_command(args: argparse.Namespace) -> int:
    log = read_recording(args.file)
    rows = [("Name", "Type", "Unit", "Description")]
    for name, table in log.channels.items():
        if args.match is None or args.match.search(name):
            field = table.schema.field(1)
            rows.append((name, str(field.type), field_text(field, b"units"),
                         field_text(field, b"desc")))
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + [row[3]]
        print("  ".join(cells).rstrip())
    return 0

"""`telvane record`: live telemetry recorded to an IBT file, until the simulator disconnects,
the duration passes or Ctrl-C."""

from __future__ import annotations

import argparse
import math
import re
import struct
import sys
import time
from collections.abc import Callable, Sequence
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING

from telvane._cli.common import CommandError

if TYPE_CHECKING:
    from telvane._live_memory import Layout

__all__ = ["add_commands", "record_command"]

_SIZES = {"Char": 1, "Bool": 1, "Int": 4, "BitField": 4, "Float": 4, "Double": 8}
_PROGRESS_EVERY = 0.5  # seconds


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    record = commands.add_parser(
        "record", help="record live telemetry to an IBT file",
        description="Record the simulator's live telemetry (or a file laid out as it) to an IBT "
                    "recording, every variable by default, the CarIdx arrays included, until the "
                    "simulator disconnects, --duration passes or Ctrl-C.")
    record.add_argument("--source", metavar="FILE",
                        help="a file laid out as live telemetry memory (default: the simulator's, on Windows)")
    record.add_argument("--out", metavar="PATH", type=Path, default=Path("."),
                        help="the IBT file to write, or a directory to name it in by car, track and time "
                             "(default: the current directory)")
    record.add_argument("--columns", metavar="NAME", nargs="+", help="the variables to record (default: all)")
    record.add_argument("--duration", metavar="S", type=_seconds, help="stop after S seconds")
    record.set_defaults(command=record_command)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0, got {text!r}")
    return value


def record_command(args: argparse.Namespace) -> int:
    from telvane._live_memory import TICK_RATE
    from telvane._recorder import IbtRecorder
    from telvane.live import connect

    with connect(args.source) as live:
        layout = live._memory.layout()
        headers, buf_len, pick, time_offset = _selection(layout, args.columns)
        path = _output(args.out, layout.session_info)
        recorder = IbtRecorder(path, headers, buf_len, live._memory.header()[TICK_RATE],
                               layout.session_info_block.rstrip(b"\0"), time_offset)
        deadline = None if args.duration is None else time.monotonic() + args.duration
        shown = 0.0
        try:
            for records in live._records():
                recorder.add([pick(record) for _, record in records])
                if time.monotonic() - shown >= _PROGRESS_EVERY:
                    shown = time.monotonic()
                    _progress(recorder.count, live.missed, recorder.size)
                if deadline is not None and time.monotonic() >= deadline:
                    break
                current = live._memory.layout()
                if current.var_headers != layout.var_headers or current.buf_len != layout.buf_len:
                    print("\ntelvane: the variables changed: the recording ends here", file=sys.stderr)
                    break
                layout = current
        except KeyboardInterrupt:
            pass
        finally:
            recorder.finish(layout.session_info_block.rstrip(b"\0"))
        _progress(recorder.count, live.missed, recorder.size)
        print(file=sys.stderr)
    print(f"wrote {path}: {recorder.count} records, {live.missed} missed")
    return 0


def _progress(records: int, missed: int, size: int) -> None:
    print(f"\r{records} records, {missed} missed, {size / 1e6:.1f} MB", end="", file=sys.stderr, flush=True)


def _selection(layout: Layout, columns: Sequence[str] | None) -> tuple[list[bytes], int,
                                                                        Callable[[bytes], bytes], int]:
    """The variable headers a recording of `columns` (and SessionTime, the time base, first)
    holds, its record length, what makes its record of a record of the live memory, and
    where SessionTime lies in it."""
    if columns is None:
        return layout.var_headers, layout.buf_len, bytes, layout.variables[layout.channels["SessionTime"]][5]
    names = list(dict.fromkeys(["SessionTime", *columns]))
    unknown = [name for name in names if name not in layout.channels and name not in layout.arrays]
    if unknown:
        raise CommandError(f"no variable named {', '.join(map(repr, unknown))} in the live telemetry")
    positions = [layout.channels.get(name, layout.arrays.get(name, -1)) for name in names]
    headers, spans, offset = [], [], 0
    for position in positions:
        _, kind, count, _, _, start = layout.variables[position]
        size = _SIZES[kind] * count
        headers.append(layout.var_headers[position][:4] + struct.pack("<i", offset) + layout.var_headers[position][8:])
        spans.append(slice(start, start + size))
        offset += size
    return headers, offset, lambda record: b"".join(record[span] for span in spans), 0


def _output(out: Path, session_info: str) -> Path:
    """`out`, or in the directory `out` a name of the car, the track and the time, as the
    simulator names its recordings."""
    if not out.is_dir():
        return out
    from telvane._session_info import player, value_of

    car = _name_part(player(session_info).get("CarPath") or "car")
    track = _name_part(value_of(session_info, "TrackName") or "track")
    return out / f"{car}_{track} {datetime.now():%Y-%m-%d %H-%M-%S}.ibt"


def _name_part(text: str) -> str:
    """Text of the session info made safe as a part of a file name: no separator, no control."""
    return re.sub(r"[^\w .-]", "_", text).strip(" .")[:64] or "_"

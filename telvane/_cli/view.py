"""`telvane view`: laps of one or more recordings of one track in a self-contained HTML page,
opened in the browser."""

from __future__ import annotations

import argparse
import os
import sys
import webbrowser
from pathlib import Path

from telvane._display import choose_lap, split_lap_argument
from telvane._cli.common import (STDIN, CommandError, alone, default_name, read_recording,
                                 refuse_inputs, write_atomically)

__all__ = ["add_commands", "view_command"]


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    view = commands.add_parser(
        "view", help="compare laps in the browser: one self-contained HTML page",
        description="Write one HTML page holding every lap of the recordings (of one track) "
                    "with traces by lap distance, the time delta, a track map and sector "
                    "times, and open it in the browser. The page needs no network and can be "
                    "sent on. FILE:LAP names lap number LAP of FILE (where the number "
                    "repeats, its fastest full lap); FILE alone its best lap. The first lap "
                    "is the reference; one FILE alone compares its best lap with the next "
                    "best.")
    view.add_argument("laps", metavar="FILE[:LAP]", nargs="+", type=split_lap_argument)
    view.add_argument("-o", "--output", metavar="OUT.html",
                      help="the page to write (default: beside the first FILE, its name with "
                           ".view.html)")
    view.add_argument("--no-open", action="store_true", help="write the page without opening it")
    view.set_defaults(command=view_command)


def view_command(args: argparse.Namespace) -> int:
    from telvane.view import default_laps, view

    files: list[str] = []
    logs = []
    chosen = []
    try:
        for file, number in args.laps:
            if file not in files:
                files.append(file)
                logs.append(read_recording(file))
            index = files.index(file)
            rows = (default_laps(logs[index]) if number is None
                    else [choose_lap(logs[index], number)])
            chosen += [(index, row) for row in (rows if len(args.laps) == 1 else rows[:1])]
        output = _output(args.output, files)
        page = view(logs, chosen)
    except ValueError as exc:  # laps of different tracks, or a recording without laps
        raise CommandError(str(exc)) from None
    write_atomically(output, page.write)
    print(f"wrote {output}")
    alone([(files[index], row) for index, row in chosen], args.laps[0][1] is not None, "shown")
    if not args.no_open and _has_display():
        webbrowser.open(output.resolve().as_uri())
    return 0


def _output(chosen: str | None, files: list[str]) -> Path:
    first = files[0]
    if chosen is not None:
        output = Path(chosen)
    else:  # beside the first recording; standard input's in the current directory
        beside = Path(first).parent if first != STDIN else Path()
        output = beside / default_name(first, ".view.html")
    refuse_inputs(output, files)
    if output.suffix.lower() not in (".html", ".htm"):
        raise CommandError(f"{output}: the page is HTML; name it with .html or .htm")
    return output


def _has_display() -> bool:
    """Whether a browser could show the page: always on Windows and macOS, elsewhere only
    under a graphical session (a text browser would take over the terminal)."""
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))

"""What every command shares: the one-line error, reading a recording, writing a file safely."""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import secrets
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import telvane
from telvane.logfile import LogFile


class CommandError(Exception):
    """A failure the user can act on, reported as one line without a traceback."""


STDIN = "-"  # the file name that stands for standard input


def read_recording(path: str | os.PathLike[str], progress: Callable[[int, int], Any] | None = None
                   ) -> LogFile:
    """telvane.ibt on a path, or on the bytes of standard input for "-", its failures as
    CommandError naming the file."""
    path = os.fspath(path)
    try:
        if path != STDIN:
            return telvane.ibt(path, progress)
        log = telvane.ibt(sys.stdin.buffer.read(), progress)
        log.file_name = "<stdin>"
        return log
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # reader errors, and the core's InternalError for a damaged file
        text, name = str(exc), "<stdin>" if path == STDIN else path
        raise CommandError(text if text.startswith(f"{name}: ") else f"{name}: {text}") from exc


def write_atomically(path: Path, write: Callable[[Path], None]) -> None:
    """Call write(temporary) on a hidden name beside `path`, then rename it to `path`, so
    that `path` is either absent, its old self, or complete. The temporary's name is short
    whatever the length of `path`'s."""
    temporary = path.with_name(f".{secrets.token_hex(6)}.part")
    try:
        write(temporary)
        os.replace(temporary, path)
    except OSError as exc:  # named after the output: the temporary is no name the user knows
        raise CommandError(f"{path}: {exc.strerror or exc}") from exc
    finally:
        with contextlib.suppress(OSError):  # renamed already, or its directory is none
            temporary.unlink()


def pattern(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text, re.IGNORECASE)
    except re.error as exc:
        raise argparse.ArgumentTypeError(f"bad pattern {text!r}: {exc}") from None


def names(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError("expected comma-separated channel names")
    return names


def lap_numbers(text: str) -> list[int]:
    try:
        return [int(number) for number in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated lap numbers, "
                                         f"got {text!r}") from None


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return int(text)


def add_trace_options(command: argparse.ArgumentParser, default_channels: str,
                      output_help: str) -> None:
    """The options of the commands that draw channel traces: --channels, --mph and -o."""
    command.add_argument("--channels", metavar="A,B,...", type=names,
                         default=names(default_channels),
                         help=f"channels to plot (default: {default_channels})")
    command.add_argument("--mph", action="store_true", help="speed in mph instead of km/h")
    command.add_argument("-o", "--output", metavar="OUT", help=output_help)

"""What every command shares: the one-line error, reading a recording, writing a file safely."""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import stat
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from telvane._text import printable

if TYPE_CHECKING:
    from telvane.base import LogFile
    from telvane._recording import Recording

__all__ = ["FORMATS", "STDIN", "CommandError", "add_trace_options", "alone", "default_name", "file_error",
           "names", "one_line_warning", "open_recording", "output_path", "pattern", "positive", "read_recording",
           "refuse_inputs",
           "write_atomically"]

FORMATS = ("png", "jpg", "jpeg", "pdf", "svg")  # of plots, as the output's suffix names them


class CommandError(Exception):
    """A failure the user can act on, reported as one line without a traceback."""


STDIN = "-"  # the file name that stands for standard input


def one_line_warning(message: Warning | str, *details: object, **more: object) -> None:
    """What a recording's odd content makes the package warn of, as one line."""
    print(f"telvane: warning: {printable(str(message))}", file=sys.stderr)


def read_recording(path: str | os.PathLike[str]) -> LogFile:
    """Every channel of the recording at `path` ("-": standard input), its failures as
    CommandError naming the file."""
    path = os.fspath(path)
    with open_recording(path) as recording:
        try:
            return recording.read()
        except Exception as exc:
            raise file_error(recording.file_name, exc) from exc


def open_recording(path: str) -> Recording:
    """telvane.open on a path, or on the bytes of standard input for "-", its failures as
    CommandError naming the file."""
    from telvane._recording import open as open_ibt

    try:
        if path != STDIN:
            return open_ibt(path)
        recording = open_ibt(sys.stdin.buffer.read())
        recording.file_name = "<stdin>"
        return recording
    except Exception as exc:
        raise file_error("<stdin>" if path == STDIN else path, exc) from exc


def file_error(name: str, exc: Exception) -> CommandError:
    """The one line a command shows for a file it cannot read, naming it once."""
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return CommandError(f"{name}: {exc.strerror}")
    return CommandError(f"{name}: {str(exc).removeprefix(f'{name}: ').removeprefix('<bytes>: ')}")


def alone(chosen: list[tuple[str, int]], named: bool, shown: str) -> None:
    """Say in one line on standard error when a comparison holds one lap alone: one lap
    named, or a FILE alone with one full lap."""
    if len(chosen) == 1:
        file = "<stdin>" if chosen[0][0] == STDIN else chosen[0][0]
        print(printable(f"telvane: {file}: {'one lap named' if named else 'one full lap'}, {shown} "
                        f"alone; name the laps to compare as FILE:LAP"), file=sys.stderr)


def write_atomically(path: Path, write: Callable[[Path], None]) -> None:
    """Call write(temporary) on a hidden name beside `path`, then rename it to `path`, so
    that `path` is either absent, its old self, or complete. The temporary's name is short
    whatever the length of `path`'s. Only a regular file is written over."""
    import secrets  # here: it loads OpenSSL, which commands that write nothing do without

    _refuse_special(path)
    temporary = path.with_name(f".{secrets.token_hex(6)}.part")
    try:
        write(temporary)
        os.replace(temporary, path)
    except OSError as exc:  # named after the output: the temporary is no name the user knows
        raise CommandError(f"{path}: {exc.strerror or exc}") from exc
    finally:
        with contextlib.suppress(OSError):  # renamed already, or its directory is none
            temporary.unlink()


_SPECIAL = ((stat.S_ISLNK, "a symbolic link"), (stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
            (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket"))


def _refuse_special(path: Path) -> None:
    """Raise CommandError when `path` names anything but a regular file or nothing: a rename
    would replace a device or FIFO with a file, and a link rather than the file it names."""
    try:
        mode = path.lstat().st_mode
    except OSError:  # a new name, or one the write reports
        return
    kind = next((kind for test, kind in _SPECIAL if test(mode)), None)
    if kind is not None:
        raise CommandError(f"{path}: is {kind}, not a regular file; choose another output")


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


def output_path(output: str | None, default: str, inputs: list[str]) -> Path:
    """Where a command that draws writes: `default` in the current directory, a file whose
    suffix names a format, or `default` in a directory (created when named with a trailing
    /); never one of the inputs."""
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
    refuse_inputs(path, inputs)
    return path


def refuse_inputs(path: Path, inputs: list[str]) -> None:
    """Raise CommandError when `path` is one of the input recordings."""
    for source in inputs:
        if source != STDIN and path.exists() and os.path.samefile(path, source):
            raise CommandError(f"{path}: is an input recording; choose another output")


def default_name(source: str, suffix: str) -> str:
    """The name of what a command writes for FILE: its stem (stdin for -) and `suffix`."""
    return ("stdin" if source == STDIN else Path(source).stem) + suffix


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

"""The telvane command: info, channels, export, plot, compare, coach, view and demo on IBT
recordings, and record of live telemetry."""

from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys
import threading
import warnings
from collections.abc import Sequence

import telvane
from telvane._cli.common import CommandError, one_line_warning
from telvane._text import printable

__all__ = ["CommandError", "main"]

# The module of each command. Only the one run is imported (info and channels start in a
# blink, without what plotting or exporting needs); all of them for `telvane --help`.
COMMANDS = {"info": "reports", "channels": "reports", "export": "export", "plot": "plot",
            "compare": "compare", "coach": "coach", "view": "view", "demo": "demo", "record": "record"}


class Terminated(KeyboardInterrupt):
    """SIGTERM, which stops a command as Ctrl-C does: temporaries removed, work done
    reported."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    args = _parser(argv).parse_args(argv)
    in_main_thread = threading.current_thread() is threading.main_thread()
    if in_main_thread:
        previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = one_line_warning
            status: int = args.command(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except BrokenPipeError:
        return _reader_gone()
    except (CommandError, OSError, ImportError) as exc:
        print(f"telvane: {printable(str(exc))}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as exc:
        terminated = isinstance(exc, Terminated)
        print(f"telvane: {'terminated' if terminated else 'interrupted'}", file=sys.stderr)
        return 128 + (signal.SIGTERM if terminated else signal.SIGINT)
    finally:
        if in_main_thread:
            signal.signal(signal.SIGTERM, previous)


def _reader_gone() -> int:
    """The reader of standard output (`| head`) closed it: stop quietly, as Unix tools do,
    with nothing more written to the pipe (not even at exit)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)
    return 128 + 13  # as a command that SIGPIPE ended


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


def _parser(argv: Sequence[str] = ()) -> argparse.ArgumentParser:
    """The parser of the command `argv` names (its first word that is no option), or of
    every command."""
    parser = argparse.ArgumentParser(
        prog="telvane", description="Read iRacing IBT telemetry recordings.")
    parser.add_argument("--version", action="version", version=f"telvane {telvane.__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")
    named = next((word for word in argv if not word.startswith("-")), None)
    modules = [COMMANDS[named]] if named in COMMANDS else COMMANDS.values()
    for module in dict.fromkeys(modules):
        importlib.import_module(f"telvane._cli.{module}").add_commands(commands)
    return parser

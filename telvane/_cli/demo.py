"""`telvane demo`: the synthetic sample recording written, described and plotted."""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

__all__ = ["add_commands", "demo_command"]

from telvane._display import LapName, choose_lap
from telvane._cli.common import read_recording
from telvane._cli.compare import compare
from telvane._cli.plot import plot
from telvane._cli.reports import describe


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    demo = commands.add_parser(
        "demo", help="write the synthetic sample recording, show its info and plot it",
        description="Write the bundled synthetic sample recording, then run info, plot and "
                    "compare (its best lap against the fastest lap 2).")
    demo.add_argument("--out", metavar="DIR", type=Path,
                      help="directory for the sample and its plot (default: a new temporary "
                           "directory)")
    demo.set_defaults(command=demo_command)


def demo_command(args: argparse.Namespace) -> int:
    from telvane._sample import write_synthetic_sample

    out = args.out or Path(tempfile.mkdtemp(prefix="telvane-demo-"))
    out.mkdir(parents=True, exist_ok=True)
    sample = write_synthetic_sample(out)
    print(f"wrote the synthetic sample recording {sample}\n")
    log = read_recording(sample)
    print(describe(log) + "\n")
    output = out / "synthetic_sample.png"
    plot(log, ["Speed", "Throttle", "Brake", "Gear"], [LapName(1), LapName(2)], "distance",
         output)
    print(f"wrote {output}")
    output = out / "synthetic_sample_compare.png"
    laps = [(str(sample), choose_lap(log, None)), (str(sample), choose_lap(log, LapName(2)))]
    compare({str(sample): log}, laps, ["Speed", "Throttle", "Brake", "Gear"], "km/h", output)
    print(f"wrote {output}")
    return 0

"""How fast a command answers on one short recording, against starting Python and importing
pyarrow. (What `import telvane` and the commands import is bench_imports.py's.)

Runs `telvane info FILE`, `telvane channels FILE` and `python -c "import pyarrow"` in turn,
--rounds times (after one untimed round), each in a new process, and prints the median wall
times and their ratios.

Usage: python benchmarks/bench_commands.py [--rounds 15] [--file RECORDING]
(RECORDING defaults to the real sample in ../shared/samples/.)
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import figures
import recordings
from timing import AWAY


def telvane_command() -> list[str]:
    script = Path(sys.executable).with_name("telvane")
    return [str(script)] if script.is_file() else [sys.executable, "-m", "telvane"]


def wall(command: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.PIPE, cwd=AWAY)
    return time.perf_counter() - began


def command_times(path: Path, rounds: int) -> dict[str, float]:
    """Median wall time of each command, the three alternated round by round."""
    commands = {"import pyarrow": [sys.executable, "-c", "import pyarrow"],
                "telvane info": [*telvane_command(), "info", str(path)],
                "telvane channels": [*telvane_command(), "channels", str(path)]}
    times: dict[str, list[float]] = {name: [] for name in commands}
    for round_ in range(rounds + 1):
        for name, command in commands.items():
            taken = wall(command)
            if round_:
                times[name].append(taken)
    return {name: statistics.median(values) for name, values in times.items()}


def checks(path: Path, rounds: int) -> list[tuple[str, float, str, bool]]:
    """(figure, value, target, met) of the commands."""
    times = command_times(path, rounds)
    base = times["import pyarrow"]
    for name, value in times.items():
        print(f"{name:34}{value * 1e3:10.1f} ms wall, median of {rounds}")
    rows = [("telvane info / import pyarrow, wall", times["telvane info"] / base, "<= 1.5"),
            ("telvane channels / import pyarrow, wall", times["telvane channels"] / base, "<= 1.3")]
    return [(label, value, target, figures.met(value, target)) for label, value, target in rows]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds (default 15)")
    parser.add_argument("--file", type=Path, default=recordings.REAL_SAMPLE, help="the recording (default: the real sample)")
    args = parser.parse_args()
    if not args.file.is_file():
        sys.exit(f"{args.file}: no such recording (give one with --file)")
    print(f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())}; {args.file}")
    figures.print_figures([row[:3] for row in checks(args.file, args.rounds)])
    print(f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())}")


if __name__ == "__main__":
    main()

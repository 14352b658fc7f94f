"""How fast a command answers on one short recording, against starting Python and importing
pyarrow, and what `import telvane` and the commands import.

Runs `telvane info FILE`, `telvane channels FILE` and `python -c "import pyarrow"` in turn,
--rounds times (after one untimed round), each in a new process, and prints the median wall
times and their ratios; then which of pandas and pyarrow.compute `import telvane`, the
laps, `info` and `channels` import, and the slowest imports of `import telvane`
(`python -X importtime`).

Usage: python benchmarks/bench_commands.py [--rounds 15] [--file RECORDING]
(RECORDING defaults to the real sample in ../shared/samples/.)
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import figures

# Run from elsewhere than the checkout, whose telvane/ has no extension built in.
AWAY = tempfile.gettempdir()
SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "samples" / "redbullring_amg.ibt"
HEAVY = ("pandas", "pyarrow.compute")
# What each import check runs; `sys.argv[1]` is the recording.
USES = {
    "import telvane": "import telvane",
    "laps": "import sys, telvane; log = telvane.ibt(sys.argv[1]); log.lap_times(); log.sectors()",
    "info": "import sys; from telvane import _cli; _cli.main(['info', sys.argv[1]])",
    "channels": "import sys; from telvane import _cli; _cli.main(['channels', sys.argv[1]])",
}


def telvane_command() -> list[str]:
    script = Path(sys.executable).with_name("telvane")
    return [str(script)] if script.is_file() else [sys.executable, "-m", "telvane"]


def wall(command: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, cwd=AWAY)
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


def heavy_imports(path: Path) -> dict[str, list[str]]:
    """For each use, which of the heavy modules it leaves in sys.modules."""
    check = f"; import sys as _s; print(' '.join(m for m in {HEAVY!r} if m in _s.modules), file=_s.stderr)"
    found = {}
    for use, code in USES.items():
        done = subprocess.run([sys.executable, "-c", code + check, str(path)], check=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd=AWAY)
        found[use] = done.stderr.split()
    return found


def slowest_imports(count: int = 12) -> list[str]:
    """The lines of `python -X importtime -c "import telvane"` with the largest cumulative time."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", "import telvane"], check=True,
                          capture_output=True, text=True, cwd=AWAY)
    lines = [line for line in done.stderr.splitlines() if line.startswith("import time:") and "|" in line]
    timed = [line for line in lines[1:] if line.split("|")[1].strip().isdigit()]
    return sorted(timed, key=lambda line: -int(line.split("|")[1]))[:count]


def checks(path: Path, rounds: int) -> list[tuple[str, float, str, bool]]:
    """(figure, value, target, met) of the commands and the imports."""
    times = command_times(path, rounds)
    base = times["import pyarrow"]
    for name, value in times.items():
        print(f"{name:34}{value * 1e3:10.1f} ms wall, median of {rounds}")
    rows = [("telvane info / import pyarrow, wall", times["telvane info"] / base, "<= 1.5"),
            ("telvane channels / import pyarrow, wall", times["telvane channels"] / base, "<= 1.3")]
    found = heavy_imports(path)
    rows += [(f"{use}: of pandas, pyarrow.compute", len(modules), "<= 0") for use, modules in found.items()]
    print('python -X importtime -c "import telvane", slowest (self us | cumulative us | module):')
    for line in slowest_imports():
        print("  " + line.removeprefix("import time:"))
    return [(label, value, target, figures.met(value, target)) for label, value, target in rows]




def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds (default 15)")
    parser.add_argument("--file", type=Path, default=SAMPLE, help="the recording (default: the real sample)")
    args = parser.parse_args()
    if not args.file.is_file():
        sys.exit(f"{args.file}: no such recording (give one with --file)")
    print(f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())}; {args.file}")
    figures.print_figures([row[:3] for row in checks(args.file, args.rounds)])
    print(f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())}")


if __name__ == "__main__":
    main()

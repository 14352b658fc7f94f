"""What `import telvane` and the commands import: which of pandas and pyarrow.compute
`import telvane`, the laps, `info` and `channels` leave in `sys.modules`, each in a new
process, and the slowest imports of `import telvane` (`python -X importtime`).

Usage: python benchmarks/bench_imports.py [--file RECORDING]
(RECORDING defaults to the real sample in ../shared/samples/.)
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

import figures
import recordings
from timing import AWAY

HEAVY = ("pandas", "pyarrow.compute")
# What each import check runs; `sys.argv[1]` is the recording.
USES = {
    "import telvane": "import telvane",
    "laps": "import sys, telvane; log = telvane.ibt(sys.argv[1]); log.lap_times(); log.sectors()",
    "info": "import sys; from telvane import _cli; _cli.main(['info', sys.argv[1]])",
    "channels": "import sys; from telvane import _cli; _cli.main(['channels', sys.argv[1]])",
}


def heavy_imports(path: Path) -> dict[str, list[str]]:
    """For each use, which of the heavy modules it leaves in sys.modules."""
    check = f"; import sys as _s; print(' '.join(m for m in {HEAVY!r} if m in _s.modules), file=_s.stderr)"
    found = {}
    for use, code in USES.items():
        done = subprocess.run([sys.executable, "-c", code + check, str(path)], check=True,
                              capture_output=True, text=True, cwd=AWAY)
        found[use] = done.stderr.split()
    return found


def slowest_imports(count: int = 12) -> list[str]:
    """The lines of `python -X importtime -c "import telvane"` with the largest cumulative time."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", "import telvane"], check=True,
                          capture_output=True, text=True, cwd=AWAY)
    lines = [line for line in done.stderr.splitlines() if line.startswith("import time:") and "|" in line]
    timed = [line for line in lines[1:] if line.split("|")[1].strip().isdigit()]
    return sorted(timed, key=lambda line: -int(line.split("|")[1]))[:count]


def checks(path: Path) -> list[tuple[str, float, str, bool]]:
    """(figure, value, target, met) of the imports."""
    rows = [(f"{use}: of pandas, pyarrow.compute", len(modules), "<= 0") for use, modules in heavy_imports(path).items()]
    print('python -X importtime -c "import telvane", slowest (self us | cumulative us | module):')
    for line in slowest_imports():
        print("  " + line.removeprefix("import time:"))
    return [(label, value, target, figures.met(value, target)) for label, value, target in rows]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--file", type=Path, default=recordings.REAL_SAMPLE,
                        help="the recording (default: the real sample)")
    args = parser.parse_args()
    if not args.file.is_file():
        sys.exit(f"{args.file}: no such recording (give one with --file)")
    figures.print_figures([row[:3] for row in checks(args.file)])


if __name__ == "__main__":
    main()

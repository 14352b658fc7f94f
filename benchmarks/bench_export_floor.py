"""`telvane export --jobs 1` against by-hand loops (pyarrow defaults, polars) in time and size,
and the same files exported as a season is (default `--jobs`) against the polars loop's
throughput.

Run with the environment's telvane (and polars) on PATH:  python benchmarks/bench_export_floor.py [DIR]
(DIR defaults to /tmp/telvane-export-floor; the inputs are reused.) Prints the median of
eight rounds of runs of each, in orders where each command follows every other as often,
the load average before and after, the ratios (each the median of the rounds' own ratios)
as `label  value  target ok|MISSED` lines and their anchor as `label  value  (what it is)`
lines."""
import os
import statistics
import subprocess
import sys
from pathlib import Path

import figures
import recordings
import timing

root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-export-floor")
ROUNDS = 8  # a multiple of the commands' number: each follows every other twice
BY_HAND = """
import sys, pathlib, telvane, pyarrow.parquet as pq
out = pathlib.Path(sys.argv[2]); out.mkdir(exist_ok=True)
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.ibt")):
    pq.write_table(telvane.ibt(str(path)).to_table(), out / (path.stem + ".parquet"))
"""
POLARS = """
import sys, pathlib, telvane, polars as pl
out = pathlib.Path(sys.argv[2]); out.mkdir(exist_ok=True)
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.ibt")):
    pl.DataFrame(telvane.ibt(str(path))).write_parquet(out / (path.stem + ".parquet"))
"""


def size(directory: Path) -> int:
    return sum(path.stat().st_size for path in directory.rglob("*.parquet"))


inputs = str(recordings.wide_recordings(root / "long"))
print(f"load average {os.getloadavg()[0]:.2f}")
began = os.getloadavg()[0]
commands = {"export": ["telvane", "export", inputs, "--out", "{out}", "--jobs", "1"],
            "by hand": [sys.executable, "-c", BY_HAND, inputs, "{out}"],
            "polars": [sys.executable, "-c", POLARS, inputs, "{out}"],
            "season": ["telvane", "export", inputs, "--out", "{out}"]}
runs: dict[str, list[float]] = {key: [] for key in commands}
sizes: dict[str, int] = {}
out = root / "out"
for order in timing.balanced_orders(list(commands), ROUNDS):
    for key in order:
        runs[key].append(timing.command_seconds([str(out) if word == "{out}" else word for word in commands[key]],
                                                root)[0])
        if key in ("export", "polars"):
            sizes[key] = size(out / "channels" if key == "export" else out)
        # each run begins with no other run's pages left to write back
        subprocess.run(["rm", "-rf", str(out)], check=True)
export, by_hand, by_polars, season = (statistics.median(runs[key]) for key in ("export", "by hand", "polars", "season"))

print(f"{recordings.WIDE_FILES} files of {recordings.WIDE_RECORDS:,} records x 1,072 B: export --jobs 1 {export:.2f} s, "
      f"default --jobs {season:.2f} s, by-hand pyarrow defaults {by_hand:.2f} s, by-hand polars "
      f"{by_polars:.2f} s; channels files {sizes['export'] / 1e6:.0f} MB, polars' {sizes['polars'] / 1e6:.0f} MB")
print(f"load average {os.getloadavg()[0]:.2f}")
figures.print_figures([("export / by-hand loop, --jobs 1", timing.round_ratio(runs, "export", "by hand"), "<= 0.35"),
                       ("export / polars loop, --jobs 1", timing.round_ratio(runs, "export", "polars"), "<= 1.0"),
                       ("export size / polars loop's", sizes["export"] / sizes["polars"], "<= 0.9"),
                       ("season export / polars loop, throughput", timing.round_ratio(runs, "polars", "season"),
                        ">= 1.0")])
figures.print_shown([(f"polars loop, {recordings.WIDE_FILES} files, s", by_polars, "anchor of the export figures"),
                     ("load average, start", began, "1 minute"),
                     ("load average, end", os.getloadavg()[0], "1 minute")])

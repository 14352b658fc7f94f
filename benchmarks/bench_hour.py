"""An hour's read against the copy of its record area by one thread and by two.

On the one-hour recording of recordings.py (216,000 records), `telvane.ibt(path)` and
`telvane.open(path).read()` beside the record area copied once into fresh huge-page memory
by one thread and by two (peers.floor_copy), interleaved round by round: wall time, the
calling thread's CPU time and the whole process's (min and median over --rounds rounds
after one warm-up round). A read gathers on two threads, so its wall time is held to the
two-thread copy and its CPU time, every thread's, to the one-thread copy.

Usage: python benchmarks/bench_hour.py [--rounds 15] [--dir /tmp/telvane-bench]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import figures
import peers
import recordings
import timing

import telvane


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds (default 15)")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/telvane-bench"), help="cache of recordings")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    path = recordings.ensure_recording(args.dir, recordings.HOUR)
    timing.warm_page_cache(path)
    samples = timing.interleaved_samples({
        "1-thread copy": lambda: peers.floor_copy(path),
        "2-thread copy": lambda: peers.floor_copy(path, 2),
        "ibt": lambda: telvane.ibt(str(path)),
        "open().read()": lambda: telvane.open(path).read(),
    }, args.rounds)
    wall = {name: min(w for w, _, _ in taken) for name, taken in samples.items()}
    process = {name: min(p for _, _, p in taken) for name, taken in samples.items()}
    print(timing.machine_line())
    print(f"hour recording: {recordings.HOUR.records:,} records; {args.rounds} interleaved rounds after one "
          "warm-up; ms; CPU = the calling thread's, all = every thread's")
    timing.print_samples(samples)
    rows = []
    for name in ("ibt", "open().read()"):
        rows += [(f"{name} / 2-thread copy, hour, wall", wall[name] / wall["2-thread copy"], "<= 1.3"),
                 (f"{name} / 1-thread copy, hour, CPU", process[name] / process["1-thread copy"], "<= 1.5")]
    figures.print_figures(rows)
    print(f"{'2-thread copy, hour, wall ms':44}{wall['2-thread copy'] * 1e3:>10.1f}  (the wall anchor)")
    print(f"{'1-thread copy, hour, CPU ms':44}{process['1-thread copy'] * 1e3:>10.1f}  (the CPU anchor)")


if __name__ == "__main__":
    main()

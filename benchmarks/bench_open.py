"""How telvane.open and Recording.read compare with ibt, the copy floor and pyirsdk.

On the one-hour recording of recordings.py (generated once, reused by bench_ibt.py), in one run with
the ways of reading interleaved round by round, prints wall time and the calling thread's
CPU time (min and median over --rounds rounds after one warm-up round) of:

- the floor: the record area copied once into fresh private anonymous memory advised to
  use huge pages, the file mapped anew each time, as peers.py copies it;
- telvane.ibt(path);
- telvane.open(path) alone, and open(path).read() of all channels, of three and of one;
- pyirsdk (in its own virtualenv, see README.md): get_all of every scalar of the full file,
  measured once, and get_all of one channel, min over the rounds.

Reads on two threads at once are bench_threads.py's.

Usage: python benchmarks/bench_open.py [--rounds 9] [--dir /tmp/telvane-bench]
"""

from __future__ import annotations

import argparse
import statistics
import sys
from collections.abc import Callable
from pathlib import Path

import figures
import peers
import recordings
import timing

import telvane

THREE = ["Speed", "Throttle", "Brake"]
ONE = "Speed"

PYIRSDK_RUN = r"""
import json, sys, time
import irsdk

def open_ibt(path):
    ibt = irsdk.IBT()
    ibt.open(path)
    return ibt

path, name, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
start = time.perf_counter()
ibt = open_ibt(path)
# pyirsdk exposes no element count: its variable headers tell the scalars apart
columns = {var.name: ibt.get_all(var.name) for var in ibt._var_headers if var.count == 1}
ibt.close()
full = time.perf_counter() - start
single = []
for _ in range(rounds):
    start = time.perf_counter()
    ibt = open_ibt(path)
    ibt.get_all(name)
    ibt.close()
    single.append(time.perf_counter() - start)
print(json.dumps({"full": full, "single": min(single)}))
"""


def cases(path: Path) -> dict[str, Callable[[], object]]:
    return {
        "floor": lambda: peers.floor_copy(path),
        "ibt": lambda: telvane.ibt(str(path)),
        "open": lambda: telvane.open(path),
        "read all": lambda: telvane.open(path).read(),
        "read 3": lambda: telvane.open(path).read(THREE),
        "read 1": lambda: telvane.open(path).read(ONE),
    }


def pyirsdk(python: Path, path: Path, rounds: int) -> dict[str, float] | None:
    print("pyirsdk: get_all of every scalar of the full file ...", file=sys.stderr)
    return peers.run_pyirsdk(python, PYIRSDK_RUN, path, ONE, rounds)


def print_table(samples: dict[str, list[timing.Sample]], peer: dict[str, float] | None, rounds: int) -> None:
    wall = {name: [w for w, _, _ in values] for name, values in samples.items()}
    cpu = {name: [c for _, c, _ in values] for name, values in samples.items()}
    print(timing.machine_line())
    layout = recordings.layout_of("hour")
    print(f"hour recording: {recordings.HOUR.records:,} records × {layout.buf_len:,} B, "
          f"{sum(v.count == 1 for v in layout.vars)} scalars; {rounds} interleaved rounds after one warm-up; "
          "ms; CPU = the calling thread's, all = every thread's")
    timing.print_samples(samples)
    if peer:
        print(f"{'pyirsdk get_all, all scalars':30}{timing.ms(peer['full']):>11}{'(once)':>11}")
        print(f"{'pyirsdk get_all, one channel':30}{timing.ms(peer['single']):>11}")
    floor_wall, floor_cpu = min(wall["floor"]), min(cpu["floor"])
    checks = [
        ("ibt / floor, CPU", min(cpu["ibt"]) / floor_cpu, "<= 2.0"),
        ("read all / floor, wall", min(wall["read all"]) / floor_wall, "<= 1.3"),
        ("read 3 / floor, wall", min(wall["read 3"]) / floor_wall, "<= 0.4"),
        ("open alone, wall median (ms)", statistics.median(wall["open"]) * 1e3, "<= 1"),
    ]
    if peer:
        checks += [("pyirsdk all / ibt, wall", peer["full"] / min(wall["ibt"]), ">= 100"),
                   ("pyirsdk one / read 1, wall", peer["single"] / min(wall["read 1"]), "> 1")]
    figures.print_figures(checks)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="timed rounds (default 9)")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/telvane-bench"), help="cache of recordings")
    parser.add_argument("--pyirsdk-python", type=Path, default=peers.PYIRSDK_PYTHON,
                        help="interpreter with pyirsdk")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    path = recordings.ensure_recording(args.dir, recordings.HOUR)
    timing.warm_page_cache(path)
    samples = timing.interleaved_samples(cases(path), args.rounds)
    print_table(samples, pyirsdk(args.pyirsdk_python, path, args.rounds), args.rounds)


if __name__ == "__main__":
    main()

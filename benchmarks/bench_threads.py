"""How reads on two threads at once compare with one thread reading the same files in turn.

In one run with the ways of reading interleaved round by round, prints wall time, the
calling thread's CPU time and the whole process's (min and median over --rounds rounds after
one warm-up round) of:

- two threads each reading three channels of one of two copies of the one-hour recording
  of recordings.py at once, against one thread reading both in turn (each read already
  keeps both cores busy: shown, not held to a target);
- the same with two five-minute recordings, whose reads take no helper thread: a
  throughput, so two threads kept for the whole run read each file SHORT_READS times a
  round, against the calling thread reading both that often in turn, by three channels, by
  every channel with `open().read()` and with `ibt`; two processes doing the same show
  what the machine allows without the interpreter lock or a shared address space, and the
  core doing the three-channel reads in C++ without Python (bench_threads.cpp) what it
  allows threads.

Usage: python benchmarks/bench_threads.py [--rounds 9] [--dir /tmp/telvane-bench]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import shutil
import subprocess
import threading
from collections.abc import Callable
from pathlib import Path

import figures
import recordings
import timing

import telvane

THREE = ["Speed", "Throttle", "Brake"]
# Five minutes: a record area below the size at which a read takes a helper thread, so that
# two threads reading two such files show the scaling of the released interpreter lock alone.
SHORT = recordings.Recording("five-minutes", "hour", 18_000)
SHORT_READS = 10
# A short read: three channels with `open().read(THREE)`, every channel with `open().read()`
# and with `ibt`, whose hand-over to pyarrow holds the interpreter lock for every table.
READERS: dict[str, Callable[[Path], object]] = {
    "read 3": lambda path: telvane.open(path).read(THREE),
    "read all": lambda path: telvane.open(path).read(),
    "ibt": lambda path: telvane.ibt(str(path)),
}
WAYS = ("1 thread", "2 threads", "2 processes")


def throughput(reader: str, way: str) -> str:
    return f"{reader}, 2 short ×{SHORT_READS}, {way}"


THROUGHPUT = [throughput(reader, way) for reader in READERS for way in WAYS]


def read_both_at_once(first: Path, second: Path) -> tuple[object, object]:
    results: list[object] = [None, None]

    def read(k: int, path: Path) -> None:
        with telvane.open(path) as recording:
            results[k] = recording.read(THREE)

    threads = [threading.Thread(target=read, args=(k, path)) for k, path in enumerate((first, second))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results[0], results[1]


def read_both_in_turn(first: Path, second: Path) -> tuple[object, object]:
    return tuple(telvane.open(path).read(THREE) for path in (first, second))


def read_often(reader: str, path: Path) -> None:
    for _ in range(SHORT_READS):
        READERS[reader](path)


class TwoReaders:
    """Two threads started once, each reading one of the files SHORT_READS times per call."""

    def __init__(self, reader: str, paths: tuple[Path, Path]) -> None:
        self._start, self._done = threading.Barrier(3), threading.Barrier(3)
        for path in paths:
            threading.Thread(target=self._serve, args=(reader, path), daemon=True).start()

    def _serve(self, reader: str, path: Path) -> None:
        while True:
            self._start.wait()
            read_often(reader, path)
            self._done.wait()

    def __call__(self) -> None:
        self._start.wait()
        self._done.wait()


def cases(hours: tuple[Path, Path], short: tuple[Path, Path]) -> dict[str, Callable[[], object]]:
    processes = multiprocessing.get_context("fork").Pool(2)  # forked before any thread starts
    runs: dict[str, Callable[[], object]] = {
        "2 files, 1 thread": lambda: read_both_in_turn(*hours),
        "2 files, 2 threads": lambda: read_both_at_once(*hours),
    }
    for reader in READERS:
        runs[throughput(reader, "1 thread")] = lambda reader=reader: [read_often(reader, p) for p in short]
        runs[throughput(reader, "2 threads")] = TwoReaders(reader, short)
        runs[throughput(reader, "2 processes")] = lambda reader=reader: processes.starmap(
            read_often, [(reader, p) for p in short])
    return runs


def core_threads(binary: Path, short: tuple[Path, Path]) -> dict[str, float]:
    """The wall seconds of the core's reads of the short files in C++, by 1 thread and by 2."""
    done = subprocess.run([str(binary), *map(str, short), str(SHORT_READS)], capture_output=True, text=True,
                          check=True)
    return {f"core, {way}": seconds for way, seconds in json.loads(done.stdout).items()}


def with_copy(path: Path) -> tuple[Path, Path]:
    copy = path.with_name(path.stem + "-copy.ibt")
    if not copy.is_file() or copy.stat().st_size != path.stat().st_size:
        shutil.copyfile(path, copy)
    for recording in (path, copy):
        timing.warm_page_cache(recording)
    return path, copy


def print_table(samples: dict[str, list[timing.Sample]], core_walls: dict[str, list[float]], rounds: int) -> None:
    wall = {name: [w for w, _, _ in values] for name, values in samples.items()} | core_walls
    print(timing.machine_line())
    print(f"{recordings.HOUR.records:,} and {SHORT.records:,} records; three channels a read, or all; {rounds} interleaved "
          "rounds after one warm-up; ms; CPU = the calling thread's, all = every thread's")
    timing.print_samples(samples)
    one, two, processes = (throughput("read 3", way) for way in WAYS)
    figures.print_figures([
        ("2 threads / 1 thread, 5-minute files", min(wall[one]) / min(wall[two]), ">= 1.6"),
        *((f"2 threads / 1 thread, 5-minute files, {reader}",
           min(wall[throughput(reader, "1 thread")]) / min(wall[throughput(reader, "2 threads")]), ">= 1.6")
          for reader in ("read all", "ibt")),
    ])
    shown = [("2 processes / 1 thread, 5-minute files", one, processes, "(the machine's own limit)"),
             ("2 threads / 1 thread, hour files", "2 files, 1 thread", "2 files, 2 threads",
              "(a read of one already uses two threads)")]
    if core_walls:
        shown.insert(1, ("2 threads / 1 thread, the core alone in C++", "core, 1 thread", "core, 2 threads",
                         "(what the machine allows threads)"))
    for label, one, two, note in shown:
        print(f"{label:44}{min(wall[one]) / min(wall[two]):>10.2f}  {note}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="timed rounds (default 9)")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/telvane-bench"), help="cache of recordings")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    hours = with_copy(recordings.ensure_recording(args.dir, recordings.HOUR))
    short = with_copy(recordings.ensure_recording(args.dir, SHORT))
    binary = timing.build_core_bench(args.dir, "telvane_bench_threads")
    samples = timing.interleaved_samples(cases(hours, short), args.rounds, primed=THROUGHPUT)
    core_walls: dict[str, list[float]] = {}
    for _ in range(args.rounds if binary else 0):  # the binary times its two ways itself
        for name, seconds in core_threads(binary, short).items():
            core_walls.setdefault(name, []).append(seconds)
    print_table(samples, core_walls, args.rounds)


if __name__ == "__main__":
    main()

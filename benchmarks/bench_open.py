"""How telvane.open and Recording.read compare with ibt, the copy floor and pyirsdk.

On the one-hour recording of recordings.py (generated once, reused by bench_ibt.py), in one run with
the ways of reading interleaved round by round, prints wall time and the calling thread's
CPU time (min and median over --rounds rounds after one warm-up round) of:

- the floor: the record area copied once into fresh private anonymous memory advised to
  use huge pages, the file mapped anew each time, as peers.py copies it;
- telvane.ibt(path);
- telvane.open(path) alone, and open(path).read() of all channels, of three and of one;
- two threads each reading one of two copies of the file at once, against one thread reading
  both in turn (each read already keeps both cores busy: shown, not held to a target);
- the same with two five-minute recordings, whose reads take no helper thread: a throughput,
  so two threads kept for the whole run read each file SHORT_READS times a round, against
  the calling thread reading both that often in turn; two processes doing the same show
  what the machine allows without the interpreter lock or a shared address space, and the
  core doing the same reads in C++ without Python (bench_threads.cpp) what it allows threads;
- pyirsdk (in its own virtualenv, see README.md): get_all of every scalar of the full file,
  measured once, and get_all of one channel, min over the rounds.

Usage: python benchmarks/bench_open.py [--rounds 9] [--dir /tmp/telvane-bench]
"""

from __future__ import annotations

import argparse
import gc
import json
import multiprocessing
import shutil
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

import figures
import peers
import recordings
import timing

import telvane

THREE = ["Speed", "Throttle", "Brake"]
ONE = "Speed"
# Five minutes: a record area below the size at which a read takes a helper thread, so that
# two threads reading two such files show the scaling of the released interpreter lock alone.
SHORT = recordings.Recording("five-minutes", "hour", 18_000)
SHORT_READS = 10
# Each run once untimed right before its timed run: a throughput is of busy cores, and a
# virtual CPU left idle by the single-threaded runs before takes a while to get going.
THROUGHPUT = [f"2 short files ×{SHORT_READS}, {way}" for way in ("1 thread", "2 threads", "2 processes")]

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


Sample = tuple[float, float, float]  # wall, calling thread's CPU, whole process's CPU


def timed(call: Callable[[], object]) -> Sample:
    """Wall and CPU seconds of `call`; its result is dropped untimed."""
    wall, cpu, process = time.perf_counter(), time.thread_time(), time.process_time()
    result = call()
    cpu, process, wall = time.thread_time() - cpu, time.process_time() - process, time.perf_counter() - wall
    del result
    return wall, cpu, process


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


def read_often(path: Path) -> None:
    for _ in range(SHORT_READS):
        with telvane.open(path) as recording:
            recording.read(THREE)


class TwoReaders:
    """Two threads started once, each reading one of the files SHORT_READS times per call."""

    def __init__(self, paths: tuple[Path, Path]) -> None:
        self._start, self._done = threading.Barrier(3), threading.Barrier(3)
        for path in paths:
            threading.Thread(target=self._serve, args=(path,), daemon=True).start()

    def _serve(self, path: Path) -> None:
        while True:
            self._start.wait()
            read_often(path)
            self._done.wait()

    def __call__(self) -> None:
        self._start.wait()
        self._done.wait()


def cases(path: Path, copy: Path, short: tuple[Path, Path]) -> dict[str, Callable[[], object]]:
    processes = multiprocessing.get_context("fork").Pool(2)  # forked before any thread starts
    return {
        "floor": lambda: peers.floor_copy(path),
        "ibt": lambda: telvane.ibt(str(path)),
        "open": lambda: telvane.open(path),
        "read all": lambda: telvane.open(path).read(),
        "read 3": lambda: telvane.open(path).read(THREE),
        "read 1": lambda: telvane.open(path).read(ONE),
        "2 files, 1 thread": lambda: read_both_in_turn(path, copy),
        "2 files, 2 threads": lambda: read_both_at_once(path, copy),
        THROUGHPUT[0]: lambda: [read_often(p) for p in short],
        THROUGHPUT[1]: TwoReaders(short),
        THROUGHPUT[2]: lambda: processes.map(read_often, short),
    }


def core_threads(binary: Path, short: tuple[Path, Path]) -> dict[str, float]:
    """The wall seconds of the core's reads of the short files in C++, by 1 thread and by 2."""
    done = subprocess.run([str(binary), *map(str, short), str(SHORT_READS)], capture_output=True, text=True,
                          check=True)
    return {f"core, {way}": seconds for way, seconds in json.loads(done.stdout).items()}


def measure(runs: dict[str, Callable[[], object]], rounds: int,
            core: Callable[[], dict[str, float]] | None) -> tuple[dict[str, list[Sample]], dict[str, list[float]]]:
    """Every run once per round, one untimed round first: load from other work on the
    machine falls on all of them alike. Also the core's thread runs in C++, by wall time."""
    samples: dict[str, list[Sample]] = {name: [] for name in runs}
    core_walls: dict[str, list[float]] = {}
    for round_ in range(rounds + 1):
        print(f"round {round_} of {rounds}", file=sys.stderr)
        for name, call in runs.items():
            if name in THROUGHPUT:
                call()
            gc.collect()
            sample = timed(call)
            if round_ > 0:
                samples[name].append(sample)
        for name, wall in (core() if core and round_ > 0 else {}).items():
            core_walls.setdefault(name, []).append(wall)
    return samples, core_walls


def pyirsdk(python: Path, path: Path, rounds: int) -> dict[str, float] | None:
    print("pyirsdk: get_all of every scalar of the full file ...", file=sys.stderr)
    return peers.run_pyirsdk(python, PYIRSDK_RUN, path, ONE, rounds)


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.1f}" if seconds >= 0.01 else f"{seconds * 1e3:.3f}"


def print_table(samples: dict[str, list[Sample]], core_walls: dict[str, list[float]], peer: dict[str, float] | None,
                rounds: int) -> None:
    wall = {name: [w for w, _, _ in values] for name, values in samples.items()}
    cpu = {name: [c for _, c, _ in values] for name, values in samples.items()}
    process = {name: [p for _, _, p in values] for name, values in samples.items()}
    print(timing.machine_line())
    layout = recordings.layout_of("hour")
    print(f"hour recording: {recordings.HOUR.records:,} records × {layout.buf_len:,} B, "
          f"{sum(v.count == 1 for v in layout.vars)} scalars; {rounds} interleaved rounds after one warm-up; "
          "ms; CPU = the calling thread's, all = every thread's")
    print(f"{'':30}{'wall min':>11}{'wall med':>11}{'CPU min':>11}{'CPU med':>11}{'all min':>11}{'all med':>11}")
    for name in samples:
        print(f"{name:30}{ms(min(wall[name])):>11}{ms(statistics.median(wall[name])):>11}"
              f"{ms(min(cpu[name])):>11}{ms(statistics.median(cpu[name])):>11}"
              f"{ms(min(process[name])):>11}{ms(statistics.median(process[name])):>11}")
    if peer:
        print(f"{'pyirsdk get_all, all scalars':30}{ms(peer['full']):>11}{'(once)':>11}")
        print(f"{'pyirsdk get_all, one channel':30}{ms(peer['single']):>11}")
    floor_wall, floor_cpu = min(wall["floor"]), min(cpu["floor"])
    checks = [
        ("ibt / floor, CPU", min(cpu["ibt"]) / floor_cpu, "<= 2.0"),
        ("read all / floor, wall", min(wall["read all"]) / floor_wall, "<= 1.3"),
        ("read 3 / floor, wall", min(wall["read 3"]) / floor_wall, "<= 0.4"),
        ("open alone, wall median (ms)", statistics.median(wall["open"]) * 1e3, "<= 1"),
        ("2 threads / 1 thread, 5-minute files", min(wall[THROUGHPUT[0]]) / min(wall[THROUGHPUT[1]]), ">= 1.6"),
    ]
    if peer:
        checks += [("pyirsdk all / ibt, wall", peer["full"] / min(wall["ibt"]), ">= 100"),
                   ("pyirsdk one / read 1, wall", peer["single"] / min(wall["read 1"]), "> 1")]
    figures.print_figures(checks)
    shown = [("2 processes / 1 thread, 5-minute files", THROUGHPUT[0], THROUGHPUT[2], "(the machine's own limit)"),
             ("2 threads / 1 thread, hour files", "2 files, 1 thread", "2 files, 2 threads",
              "(a read of one already uses two threads)")]
    if core_walls:
        wall |= core_walls
        shown.insert(1, ("2 threads / 1 thread, the core alone in C++", "core, 1 thread", "core, 2 threads",
                         "(what the machine allows threads)"))
    for label, one, two, note in shown:
        print(f"{label:44}{min(wall[one]) / min(wall[two]):>10.2f}  {note}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="timed rounds (default 9)")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/telvane-bench"), help="cache of recordings")
    parser.add_argument("--pyirsdk-python", type=Path, default=peers.PYIRSDK_PYTHON,
                        help="interpreter with pyirsdk")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    path = recordings.ensure_recording(args.dir, recordings.HOUR)
    short = recordings.ensure_recording(args.dir, SHORT)
    copies = [path.with_name(original.stem + "-copy.ibt") for original in (path, short)]
    for original, copy in zip((path, short), copies):
        if not copy.is_file() or copy.stat().st_size != original.stat().st_size:
            shutil.copyfile(original, copy)
    for recording in (path, short, *copies):
        timing.warm_page_cache(recording)
    threads_binary = timing.build_core_bench(args.dir, "telvane_bench_threads")
    core = (lambda: core_threads(threads_binary, (short, copies[1]))) if threads_binary else None
    samples, core_walls = measure(cases(path, copies[0], (short, copies[1])), args.rounds, core)
    print_table(samples, core_walls, pyirsdk(args.pyirsdk_python, path, args.rounds), args.rounds)


if __name__ == "__main__":
    main()

"""Timing helpers shared by the benchmarks: runs reporting named figures in seconds, their
interleaved medians, wall and CPU samples of interleaved rounds and their table, orders of
rounds in which each run follows every other as often, the ratio of two alternated runs,
the time of a command and its children, a working directory away from the checkout, a warm
page cache, the machine's line, and the C++ timers built with CMake."""

from __future__ import annotations

import gc
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Collection
from pathlib import Path

import numpy as np

from recordings import CHUNK_BYTES

BENCHMARKS = Path(__file__).resolve().parent
# Commands run from elsewhere than the checkout, whose telvane/ has no extension built in.
AWAY = tempfile.gettempdir()

Run = Callable[[], dict[str, float]]


def interleaved_medians(runs: list[Run], reps: int) -> dict[str, float]:
    """Calls every run once per round, one untimed round first, and gives the median of each
    figure the runs report. Rounds interleave the ways of reading, so that load from other
    work on the machine falls on all of them alike and their ratios hold."""
    samples: dict[str, list[float]] = {}
    for repetition in range(reps + 1):
        for run in runs:
            gc.collect()
            for key, seconds in run().items():
                if repetition > 0:
                    samples.setdefault(key, []).append(seconds)
    return {key: statistics.median(values) for key, values in samples.items()}


def timed(name: str, call: Callable[[], object]) -> Run:
    """A run reporting the wall time of `call` as `name`; its result is dropped untimed."""
    def run() -> dict[str, float]:
        start = time.perf_counter()
        result = call()
        seconds = time.perf_counter() - start
        del result
        return {name: seconds}
    return run


Sample = tuple[float, float, float]  # wall, the calling thread's CPU, the whole process's CPU


def sample(call: Callable[[], object]) -> Sample:
    """Wall and CPU seconds of `call`; its result is dropped untimed."""
    wall, cpu, process = time.perf_counter(), time.thread_time(), time.process_time()
    result = call()
    cpu, process, wall = time.thread_time() - cpu, time.process_time() - process, time.perf_counter() - wall
    del result
    return wall, cpu, process


def interleaved_samples(runs: dict[str, Callable[[], object]], rounds: int,
                        primed: Collection[str] = ()) -> dict[str, list[Sample]]:
    """Every run once per round, one untimed round first: load from other work on the
    machine falls on all of them alike. A run named in `primed` also runs once untimed just
    before each timed run: a throughput is of busy cores, and a virtual CPU left idle by the
    single-threaded runs before takes a while to get going."""
    samples: dict[str, list[Sample]] = {name: [] for name in runs}
    for round_ in range(rounds + 1):
        print(f"round {round_} of {rounds}", file=sys.stderr)
        for name, call in runs.items():
            if name in primed:
                call()
            gc.collect()
            taken = sample(call)
            if round_ > 0:
                samples[name].append(taken)
    return samples


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.1f}" if seconds >= 0.01 else f"{seconds * 1e3:.3f}"


def print_samples(samples: dict[str, list[Sample]]) -> None:
    """Min and median of each run's wall, thread CPU and process CPU, in ms."""
    print(f"{'':30}{'wall min':>11}{'wall med':>11}{'CPU min':>11}{'CPU med':>11}{'all min':>11}{'all med':>11}")
    for name, taken in samples.items():
        columns = [[values[k] for values in taken] for k in range(3)]
        print(f"{name:30}" + "".join(f"{ms(min(c)):>11}{ms(statistics.median(c)):>11}" for c in columns))


def balanced_orders(keys: list[str], rounds: int) -> list[list[str]]:
    """An order of `keys` for each round in which, over each len(keys) rounds, every key
    follows every other once (a Williams square; for an even number of keys): a run is
    slower after one that freed much memory, whose pages the machine then backs anew, and
    a fixed order would charge that to whichever key comes after the greediest."""
    n = len(keys)
    first = [0] + [(k + 1) // 2 if k % 2 else n - k // 2 for k in range(1, n)]
    return [[keys[(place + r) % n] for place in first] for r in range(rounds)]


def round_ratio(times: dict[str, list[float]], ours: str, theirs: str) -> float:
    """The median over the rounds of each round's ratio: the runs of one round, seconds
    apart, share a load that the rounds do not."""
    return statistics.median(a / b for a, b in zip(times[ours], times[theirs]))


def command_seconds(command: list[str], cwd: Path) -> tuple[float, float]:
    """Wall seconds of `command`, and CPU seconds of it and every process it waited for."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.PIPE, cwd=cwd)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - began, (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)


def warm_page_cache(path: Path) -> None:
    with open(path, "rb", buffering=0) as source:
        chunk = bytearray(CHUNK_BYTES)
        while source.readinto(chunk):
            pass


def build_core_bench(directory: Path, target: str = "telvane_bench_core") -> Path | None:
    build = directory / "build-core"
    steps = [["cmake", "-S", str(BENCHMARKS), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
              f"-DPython_EXECUTABLE={sys.executable}"],
             ["cmake", "--build", str(build), "--target", target, "-j", "2"]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            print(f"no {target}: {' '.join(step[:2])} failed:\n{done.stdout[-2000:]}{done.stderr[-2000:]}",
                  file=sys.stderr)
            return None
    return build / target


def machine_line() -> str:
    import pyarrow
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.machine())
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text().strip()
    return (f"{cpu}, {os.cpu_count()} cpus, Linux {platform.release()}, THP {thp}; Python {platform.python_version()}, "
            f"numpy {np.__version__}, pyarrow {pyarrow.__version__}")

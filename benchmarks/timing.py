"""Timing helpers shared by the benchmarks: runs reporting named figures in seconds, their
interleaved medians, a warm page cache, the machine's line, and the C++ timers built with CMake."""

from __future__ import annotations

import gc
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

from recordings import CHUNK_BYTES

BENCHMARKS = Path(__file__).resolve().parent

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

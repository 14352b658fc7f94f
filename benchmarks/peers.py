"""The other ways of reading a recording that the benchmarks compare telvane with: the floor
(one copy of the record area), the numpy views a user writes by hand, and pyirsdk run in its
own virtualenv."""

from __future__ import annotations

import json
import mmap
import os
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import numpy as np

from telvane._writer import NUMPY_TYPE

PYIRSDK_PYTHON = Path(__file__).resolve().parents[1] / ".venv-bench" / "bin" / "python"  # see README.md

HUGE_PAGE = 2 << 20
VAR_HEADER = np.dtype([("type", "<i4"), ("offset", "<i4"), ("count", "<i4"), ("flags", "V4"),
                       ("name", "S32"), ("desc", "S64"), ("unit", "S32")])


def read_header(buffer: bytes | np.ndarray) -> tuple[int, int, int]:
    """buf_len, buf_offset and record count from the first 144 bytes of an IBT file."""
    head = np.frombuffer(buffer, "<i4", 36)
    return int(head[9]), int(head[13]), int(head[35])


def read_var_headers(buffer: np.ndarray) -> np.ndarray:
    """The variable headers of an IBT file's bytes as a structured array."""
    head = np.frombuffer(buffer, "<i4", 8)
    return np.frombuffer(buffer, VAR_HEADER, head[6], head[7])


def floor_copy(path: Path, threads: int = 1) -> mmap.mmap:
    """The record area copied once into fresh private anonymous memory with huge pages advised,
    split into `threads` parts copied at once (numpy's copy releases the interpreter lock), as
    a read of a large recording gathers on two threads."""
    with open(path, "rb") as source, mmap.mmap(source.fileno(), 0, access=mmap.ACCESS_READ) as file:
        buf_len, buf_offset, records = read_header(file[:144])
        length = buf_len * records
        # Private, not Python's default shared mapping: shared anonymous memory is shmem,
        # which ignores MADV_HUGEPAGE unless shmem huge pages are enabled system-wide.
        copy = mmap.mmap(-1, max(length, 1), flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        copy.madvise(mmap.MADV_HUGEPAGE)
        if threads == 1:
            with memoryview(file) as source_view, memoryview(copy) as copy_view:
                copy_view[:length] = source_view[buf_offset:buf_offset + length]
        else:
            copy_in_parts(np.frombuffer(file, np.uint8, length, buf_offset), np.frombuffer(copy, np.uint8, length),
                          threads)
    return copy


def copy_in_parts(source: np.ndarray, target: np.ndarray, threads: int) -> None:
    """`source` copied into `target` by `threads` threads, each a part of whole huge pages."""
    bounds = [len(source) * k // threads // HUGE_PAGE * HUGE_PAGE for k in range(threads)] + [len(source)]

    def part(k: int) -> None:
        target[bounds[k]:bounds[k + 1]] = source[bounds[k]:bounds[k + 1]]

    helpers = [threading.Thread(target=part, args=(k,)) for k in range(1, threads)]
    for helper in helpers:
        helper.start()
    part(0)
    for helper in helpers:
        helper.join()


def numpy_baseline(path: Path) -> tuple[dict[str, np.ndarray], np.ndarray]:
    """What a user writes by hand: a strided view per scalar variable, each copied out."""
    data = np.memmap(path, np.uint8, "r")
    buf_len, buf_offset, records = read_header(data)
    vars = read_var_headers(data)
    columns = {}
    for var in vars[vars["count"] == 1]:
        view = np.ndarray((records,), NUMPY_TYPE[int(var["type"])], data, buf_offset + int(var["offset"]), (buf_len,))
        columns[var["name"].decode()] = view.copy()
    timecodes = np.round(columns["SessionTime"] * 1000).astype(np.int64)
    return columns, timecodes


PYIRSDK_RUN = r"""
import json, statistics, sys, time
import irsdk

def read_all(path):
    ibt = irsdk.IBT()
    ibt.open(path)
    # pyirsdk exposes no element count: its variable headers tell the scalars apart
    columns = {var.name: ibt.get_all(var.name) for var in ibt._var_headers if var.count == 1}
    ibt.close()
    return columns

path, reps = sys.argv[1], int(sys.argv[2])
times = []
for _ in range(reps):  # no warm-up: pure Python over a warm page cache has nothing to warm
    start = time.perf_counter()
    read_all(path)
    times.append(time.perf_counter() - start)
print(json.dumps(statistics.median(times)))
"""


def run_pyirsdk(python: Path, script: str, *args: object) -> Any:
    """The JSON that `script` prints, run with `args` by `python` (the benchmark's own
    virtualenv with pyirsdk); None, said on stderr, when that interpreter is missing or fails."""
    if not python.exists():
        print(f"{python} missing: no pyirsdk rows (see benchmarks/README.md)", file=sys.stderr)
        return None
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([str(python), "-c", script, *map(str, args)], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        print(f"pyirsdk run failed:\n{done.stderr}", file=sys.stderr)
        return None
    return json.loads(done.stdout)


def pyirsdk_seconds(python: Path, path: Path, reps: int) -> float | None:
    """pyirsdk reading every scalar of `path`: the median of `reps` runs."""
    return run_pyirsdk(python, PYIRSDK_RUN, path, reps)


def pyirsdk_version(python: Path) -> str:
    if not python.exists():  # no peer set up: the table is printed without its rows
        return "(not installed)"
    done = subprocess.run([str(python), "-c", "from importlib.metadata import version; print(version('pyirsdk'))"],
                          capture_output=True, text=True)
    return done.stdout.strip() or "(not installed)"

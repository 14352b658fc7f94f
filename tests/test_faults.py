"""Limits and faults: memory exhaustion, re-entrant and interleaved calls, and files that change
during or after a call."""

import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import linux_only, posix_only
from telvane._writer import BOOL, FLOAT, INT
from builders import write_channels


def recording(n: int, seed: int) -> bytes:
    """n records of laps, pit flags and lap fractions, distinct for each seed."""
    rng = np.random.default_rng(seed)
    channels = {"Lap": (INT, np.sort(rng.integers(0, n // 20 + 1, n)).tolist()),
                "OnPitRoad": (BOOL, (rng.random(n) < 0.1).tolist()),
                "LapDistPct": (FLOAT, rng.random(n).tolist())}
    return write_channels(channels, session_info=f"---\nSessionID: {seed}\n")


def content(log: object) -> tuple:
    return log.file_name, log.metadata, log.laps, *log.channels.items()


# Reads of a recording, by bytes and by path in turn, each under an address-space cap a step
# higher than the last, from what the process holds to well past what a read needs.
MEMORY_SWEEP = """
    import json, resource, sys, telvane
    path = sys.argv[1]
    data = open(path, "rb").read()
    expected = len(telvane.ibt(data))
    vm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
    outcomes = set()
    for step in range(600):
        resource.setrlimit(resource.RLIMIT_AS, ((vm + 128 * step) * 1024, resource.RLIM_INFINITY))
        try:
            outcomes.add("returned" if len(telvane.ibt(data if step % 2 else path)) == expected else "wrong")
        except BaseException as exc:
            outcomes.add(type(exc).__name__)
    print(json.dumps(sorted(outcomes)))
"""


@pytest.mark.slow
@linux_only
def test_memory_exhaustion_anywhere_in_a_read_is_memory_error(synthetic, write_file, run_python):
    assert run_python(MEMORY_SWEEP, write_file(synthetic)) == ["MemoryError", "returned"]


def test_nested_and_interleaved_calls_get_the_serial_results(ibt, write_file):
    # Each call nests a call in each of its four progress reports, in threads that run together.
    files = [write_file(recording(n, seed)) for seed, n in enumerate([1, 200, 700, 1500, 90])]
    serial = [content(ibt(path)) for path in files]

    def nest(first: int) -> list:
        inner = []
        outer = ibt(files[first], lambda k, n: inner.append(content(ibt(files[(first + k) % 5]))))
        return [content(outer), *inner]

    with ThreadPoolExecutor(len(files)) as pool:
        results = list(pool.map(nest, [*range(5)] * 8))
    assert results == [serial[first:] + serial[:first] for first in range(5)] * 8


# What happens to the source once ibt has returned: the file rewritten in place, or shrunk, or
# the bytes given zeroed.
CHANGES = {
    "rewrite": lambda path, source: path.write_bytes(bytes(len(source))),
    "truncate": lambda path, source: os.truncate(path, 0),
    "zero the bytes": lambda path, source: source.__setitem__(slice(None), bytes(len(source))),
}


@pytest.mark.parametrize("change", CHANGES)
def test_tables_outlive_changes_to_the_source_and_the_log_file(ibt, tmp_path, change):
    data, path, source = recording(700, 2), tmp_path / "file.ibt", bytearray(recording(700, 2))
    path.write_bytes(data)
    kept = content(ibt(source if change == "zero the bytes" else str(path)))[1:]
    CHANGES[change](path, source)
    del source
    gc.collect()
    assert kept == content(ibt(data))[1:]


# Reads of files that the progress callback changes between the channels and the laps, in
# threads that change their files all at once. The laps are read from the mapping after the
# channels are gathered, so a shrunk file makes them touch pages past its end. Then a
# SIGBUS from outside ends the process, as it would without telvane.
CHANGED_WHILE_READ = """
    import faulthandler, json, os, signal, sys, threading, telvane
    from concurrent.futures import ThreadPoolExecutor
    change, at, after, *paths = sys.argv[1:]
    if after == "faulthandler":  # another SIGBUS handler, installed after a first read
        telvane.ibt(paths[0])
        faulthandler.enable()
    changes = {"truncate": lambda path: os.truncate(path, 4096),
               "grow": lambda path: open(path, "ab").write(b"\\0"),
               "touch": lambda path: os.utime(path, ns=(0, 0))}
    together = threading.Barrier(len(paths))
    def read(path):
        def progress(k, n):
            if k == int(at):
                changes[change](path)
                together.wait()
        try:
            telvane.ibt(path, progress)
            return "returned"
        except OSError as exc:
            return str(exc).removeprefix(path + ": ")
    with ThreadPoolExecutor(len(paths)) as pool:
        print(json.dumps(list(pool.map(read, paths))), flush=True)
    os.kill(os.getpid(), signal.SIGBUS)
"""


@posix_only  # Windows refuses to shrink a mapped file
@pytest.mark.parametrize("change, at, after, files", [
    ("truncate", 1, "", 1), ("truncate", 3, "", 1), ("truncate", 1, "faulthandler", 1),
    ("truncate", 3, "faulthandler", 1), ("truncate", 1, "", 70), ("grow", 1, "", 1), ("touch", 1, "", 1),
])
def test_a_file_changed_while_read_raises_and_a_sigbus_still_ends(write_file, change, at, after, files):
    paths = [write_file(recording(2_000, seed=7)) for _ in range(files)]
    # Under the sanitizer run, AddressSanitizer would report the signal instead of dying by it.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":handle_sigbus=0"}
    script = textwrap.dedent(CHANGED_WHILE_READ)
    done = subprocess.run([sys.executable, "-c", script, change, str(at), after, *paths], env=env,
                          capture_output=True, text=True, timeout=300)
    what = "was truncated" if change == "truncate" else "changed"
    assert json.loads(done.stdout) == [f"I/O error: file {what} while it was being read"] * files, done.stderr
    assert done.returncode == -signal.SIGBUS

"""Limits and faults: hostile sizes, memory exhaustion, re-entrant and concurrent calls, and
files that change once a call has returned."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

from telvane._writer import BOOL, DOUBLE, FLOAT, INT, Var, write_channels, write_ibt

MAX = 2**31 - 1


def recording(n: int, seed: int) -> bytes:
    """n records of laps, pit flags, fractions and a few values, distinct for each seed."""
    rng = np.random.default_rng(seed)
    laps = np.repeat(np.arange(n), rng.integers(5, 30, n))[:n]
    return write_channels({
        "Lap": (INT, laps.tolist()), "OnPitRoad": (BOOL, (rng.random(n) < 0.1).tolist()),
        "LapDistPct": (FLOAT, rng.random(n).tolist()), "Speed": (FLOAT, (rng.random(n) * 90).tolist()),
        "Gear": (INT, rng.integers(-1, 7, n).tolist())},
        session_info=f"---\nTrackName: t{seed}\nSessionID: {seed}\n")


def same(a: object, b: object) -> bool:
    """Equal channels (names, order, schemas with metadata, values), laps, metadata, file name."""
    return (list(a.channels) == list(b.channels)
            and all(a.channels[k].equals(b.channels[k], check_metadata=True) for k in a.channels)
            and a.laps.equals(b.laps, check_metadata=True) and a.metadata == b.metadata
            and a.file_name == b.file_name)


def run_python(script: str, *args: str) -> dict:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# Header fields claiming far more than the few hundred bytes there are.
SMALL = write_channels({"Speed": (FLOAT, [1.0, 2.0])})
L = len(SMALL)
DATA_AT = L - 24  # two 12-byte records
CLAIMS = {
    "variables": (dict(num_vars=MAX), f"File too small for {MAX} variable headers at offset 144: {L} bytes "
                                      f"(need {144 + 144 * MAX})"),
    "records": (dict(session_record_count=MAX), f"File too small for {MAX} records: {L} bytes "
                                                f"(need {12 * MAX + DATA_AT})"),
    "records of 2^31-1 bytes": (dict(session_record_count=MAX, buf_len=MAX),
                                f"File too small for {MAX} records: {L} bytes (need {MAX * MAX + DATA_AT})"),
    "session info": (dict(session_info_len=MAX), f"File too small for session info: {L} bytes "
                                                 f"(need {DATA_AT + MAX})"),
}

# Runs each file by bytes and by path under an address-space cap 64 MiB above what the
# interpreter already holds, and reports what was raised and how far the peak RSS grew.
UNDER_CAP = """
    import json, resource, sys, telvane
    def kib(field):
        return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith(field))
    telvane.ibt(sys.argv[1])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    resource.setrlimit(resource.RLIMIT_AS, ((kib("VmSize:") + 65536) * 1024, resource.RLIM_INFINITY))
    outcomes = []
    for path in sys.argv[2:]:
        for source in (open(path, "rb").read(), path):
            try:
                telvane.ibt(source)
                outcomes.append(["returned", ""])
            except BaseException as exc:
                outcomes.append([type(exc).__name__, str(exc)])
    growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
    print(json.dumps({"outcomes": outcomes, "peak_growth_kib": growth}))
"""


def test_claims_of_2_31_variables_or_records_fail_on_their_size(tmp_path):
    paths = [tmp_path / "small.ibt"]
    paths[0].write_bytes(SMALL)
    for name, (fields, _) in CLAIMS.items():
        paths.append(tmp_path / f"{len(paths)}.ibt")
        paths[-1].write_bytes(write_channels({"Speed": (FLOAT, [1.0, 2.0])}, **fields))
    result = run_python(UNDER_CAP, *map(str, paths))
    expected = []
    for path, (_, message) in zip(paths[1:], CLAIMS.values()):
        message = f"Invalid header: {message}"
        expected += [["RuntimeError", message], ["OSError", f"{path}: {message}"]]
    assert result["outcomes"] == expected
    assert result["peak_growth_kib"] < 4096


def write_large(path: Path, records: int = 200_000, doubles: int = 60) -> None:
    """A valid file of `doubles` Double scalars (SessionTime first) and an Int Lap per record:
    about 100 MB whose columns together need as much again."""
    vars = [Var(f"v{i}" if i else "SessionTime", DOUBLE, 8 * i) for i in range(doubles)]
    vars.append(Var("Lap", INT, 8 * doubles))
    buf_len = 8 * doubles + 4
    area = np.zeros((records, buf_len), np.uint8)
    np.ndarray((records,), "<f8", area, 0, (buf_len,))[:] = np.arange(records) / 60
    with open(path, "wb") as out:
        out.write(write_ibt(vars, b"", buf_len=buf_len, session_record_count=records))
        out.write(area.data)


# Under a cap that leaves room for mapping the large file but not for its columns, the call
# fails twice with MemoryError; small calls still work in between, and once the cap is lifted
# the large file reads.
OUT_OF_MEMORY = """
    import json, os, resource, sys, telvane
    def kib(field):
        return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith(field))
    large, small = sys.argv[1:]
    expected = telvane.ibt(small)
    def small_call():
        log = telvane.ibt(small)
        return list(log.channels) == list(expected.channels) and log.laps.equals(expected.laps)
    headroom = os.path.getsize(large) // 1024 + 32768
    resource.setrlimit(resource.RLIMIT_AS, ((kib("VmSize:") + headroom) * 1024, resource.RLIM_INFINITY))
    steps = []
    for _ in range(2):
        try:
            telvane.ibt(large)
            steps.append("returned")
        except BaseException as exc:
            steps.append(type(exc).__name__)
        steps.append(small_call())
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    log = telvane.ibt(large)
    steps.append([len(log.channels), log.channels["SessionTime"].num_rows, log.laps.num_rows])
    print(json.dumps(steps))
"""


def test_tables_that_cannot_be_allocated_raise_memory_error(tmp_path):
    large, small = tmp_path / "large.ibt", tmp_path / "small.ibt"
    write_large(large)
    small.write_bytes(recording(500, 1))
    assert run_python(OUT_OF_MEMORY, str(large), str(small)) == [
        "MemoryError", True, "MemoryError", True, [61, 200_000, 1]]


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> list[str]:
    directory = tmp_path_factory.mktemp("faults")
    paths = []
    for seed, n in enumerate([1, 200, 700, 1500]):
        paths.append(str(directory / f"r{seed}.ibt"))
        Path(paths[-1]).write_bytes(recording(n, seed))
    return paths


def test_progress_may_call_ibt_itself(ibt, files):
    serial = [ibt(path) for path in files]
    inner = []

    def progress(k: int, total: int) -> None:
        inner.append((k, total, ibt(files[k % len(files)]), ibt(files[0], lambda *_: None)))

    outer = ibt(files[0], progress)
    assert same(outer, serial[0])
    total = len(serial[0].channels)
    assert [(k, n) for k, n, *_ in inner] == [(k, total) for k in range(1, total + 1)]
    assert all(same(a, serial[k % len(files)]) and same(b, serial[0]) for k, _, a, b in inner)


def test_threads_reading_different_files_get_the_serial_results(ibt, files):
    serial = {path: ibt(path) for path in files}
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    barrier, results = threading.Barrier(len(files)), {path: [] for path in files}

    def work(path: str) -> None:
        barrier.wait()
        for _ in range(20):
            results[path].append(ibt(path, lambda *_: time.sleep(0)))  # lets the other threads run

    threads = [threading.Thread(target=work, args=(path,)) for path in files]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert {path: len(logs) for path, logs in results.items()} == {path: 20 for path in files}
    assert all(same(log, serial[path]) for path, logs in results.items() for log in logs)


def delete(path: Path, other: bytes) -> None:
    path.unlink()


def replace(path: Path, other: bytes) -> None:
    new = path.with_suffix(".new")
    new.write_bytes(other)
    os.replace(new, path)


def rewrite(path: Path, other: bytes) -> None:
    with open(path, "r+b") as out:  # the same inode, so a mapping of it would see the change
        out.write(other)


def truncate(path: Path, other: bytes) -> None:
    os.truncate(path, 0)


@pytest.mark.parametrize("change", [delete, replace, rewrite, truncate], ids=lambda f: f.__name__)
def test_tables_outlive_changes_to_the_file(ibt, tmp_path, change: Callable[[Path, bytes], None]):
    data, other = recording(700, 2), recording(700, 3)
    path = tmp_path / "file.ibt"
    path.write_bytes(data)
    log = ibt(str(path))
    change(path, other)
    expected = ibt(data)
    for table in [*log.channels.values(), log.laps]:
        table.validate(full=True)
    assert list(log.channels) == list(expected.channels)
    assert all(log.channels[k].equals(expected.channels[k], check_metadata=True) for k in log.channels)
    assert log.laps.equals(expected.laps) and log.metadata == expected.metadata


TRUNCATED_WHILE_READ = """
    import json, os, sys, telvane
    path, shrink_at = sys.argv[1], int(sys.argv[2])
    def progress(k, n):
        if k == shrink_at:
            os.truncate(path, 4096)
    try:
        telvane.ibt(path, progress)
        outcome = "returned"
    except OSError as exc:
        outcome = str(exc)
    print(json.dumps({"outcome": outcome}))
"""


@pytest.mark.parametrize("shrink_at", [1, 3])
def test_a_file_truncated_while_read_raises_instead_of_killing_the_process(tmp_path, shrink_at):
    # The laps are read from the mapping after the channel tables are handed over, so a
    # file shrinking under the progress callback makes the laps touch pages past its end.
    path = tmp_path / "shrinking.ibt"
    path.write_bytes(recording(20_000, seed=7))
    result = run_python(TRUNCATED_WHILE_READ, str(path), str(shrink_at))
    assert result["outcome"] == f"{path}: I/O error: file was truncated while it was being read"

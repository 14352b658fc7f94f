"""Limits and faults: fixed-width reads past the record area, hostile sizes, memory exhaustion,
re-entrant and interleaved calls, and files that change during or after a call."""

from __future__ import annotations

import gc
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import SPEED as SMALL, linux_only, posix_only
from telvane._writer import BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_ibt
from builders import write_channels

MAX = 2**31 - 1
BUF_LEN = 20
# (name, declared type, count, offset, bytes read): variables whose fixed-width read for the
# last record would leave the record area of BUF_LEN-byte records
OVERRUNS = [
    ("SessionTime", DOUBLE, 0, BUF_LEN - 7, 8), ("SessionTime", DOUBLE, 0, BUF_LEN - 6, 8),
    ("SessionTime", DOUBLE, 0, BUF_LEN - 1, 8), ("Lap", CHAR, 1, BUF_LEN - 1, 4), ("Lap", CHAR, 1, BUF_LEN - 3, 4),
    ("Lap", INT, 0, BUF_LEN - 2, 4), ("Lap", INT, 0, BUF_LEN, 4), ("OnPitRoad", BOOL, 0, BUF_LEN, 1),
    ("LapDistPct", DOUBLE, 0, BUF_LEN - 7, 8), ("LapDistPct", DOUBLE, 0, BUF_LEN - 4, 8),
    ("LapDistPct", FLOAT, 0, BUF_LEN - 3, 4),
]


def overrun_file(records: int, *extra: Var) -> bytes:
    """The extra variables beside a Double SessionTime at 0 (or an Int at 0 when SessionTime
    is among them) and an Int Lap at 8 (unless Lap is among them)."""
    names = {var.name for var in extra}
    vars = [Var("X", INT, 0) if "SessionTime" in names else Var("SessionTime", DOUBLE, 0)]
    vars += [] if names & {"Lap", "SessionTime"} else [Var("Lap", INT, 8)]
    return write_ibt([*vars, *extra], bytes(BUF_LEN * records), buf_len=BUF_LEN)


def assert_names_the_read(error: BaseException, records: int, offset: int, width: int) -> None:
    start = (records - 1) * BUF_LEN + offset
    numbers = set(re.findall(r"\d+", str(error)))
    assert {str(start), str(start + width), str(records * BUF_LEN)} <= numbers, str(error)


@pytest.mark.parametrize("records", [0, 3])
@pytest.mark.parametrize("name, code, count, offset, width", OVERRUNS)
def test_fixed_width_read_past_the_record_area_is_an_internal_error(ibt, internal_error, records, name, code,
                                                                     count, offset, width):
    data = overrun_file(records, Var(name, code, offset, count))
    if records == 0:  # nothing is read
        assert ibt(data).laps.num_rows == 0
        return
    with pytest.raises(internal_error) as info:
        ibt(data)
    assert len(info.value.args) == 1
    assert_names_the_read(info.value, records, offset, width)


def test_lap_inputs_are_read_in_lookup_order(internal_error, ibt):
    data = overrun_file(2, Var("LapDistPct", DOUBLE, BUF_LEN - 4, 0), Var("OnPitRoad", BOOL, BUF_LEN, 0))
    with pytest.raises(internal_error) as info:
        ibt(data)
    assert_names_the_read(info.value, 2, BUF_LEN, 1)


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


# Header fields claiming far more than the few hundred bytes there are, and their messages.
L, DATA_AT = len(SMALL), len(SMALL) - 24  # two 12-byte records
CLAIMS = [
    (dict(num_vars=MAX), f"{MAX} variable headers at offset 144: {L} bytes (need {144 + 144 * MAX})"),
    (dict(session_record_count=MAX), f"{MAX} records: {L} bytes (need {12 * MAX + DATA_AT})"),
    (dict(session_record_count=MAX, buf_len=MAX), f"{MAX} records: {L} bytes (need {MAX * MAX + DATA_AT})"),
    (dict(session_info_len=MAX), f"session info: {L} bytes (need {DATA_AT + MAX})"),
]


def write_large(path: str, records: int = 200_000, doubles: int = 60) -> None:
    """A valid file of `doubles` Double scalars (SessionTime first) and an Int Lap per record:
    about 100 MB whose columns together need as much again."""
    vars = [Var(f"v{i}" if i else "SessionTime", DOUBLE, 8 * i) for i in range(doubles)]
    buf_len = 8 * doubles + 4
    area = np.zeros((records, buf_len), np.uint8)
    np.ndarray((records,), "<f8", area, 0, (buf_len,))[:] = np.arange(records) / 60
    with open(path, "wb") as out:
        out.write(write_ibt([*vars, Var("Lap", INT, 8 * doubles)], b"", buf_len=buf_len, session_record_count=records))
        out.write(area.data)


# Under an address-space cap that leaves room for mapping the large file but not for its
# columns: each claim fails on its size, by bytes and by path, without the peak RSS growing
# (nothing is allocated from a count before it is checked); the large file fails twice with
# MemoryError while a small file reads in between; once the cap is lifted the large file reads.
UNDER_CAP = """
    import json, os, resource, sys, telvane
    large, small, *claims = sys.argv[1:]
    def outcome(source):
        try:
            log = telvane.ibt(source)
            return ["returned", len(log.channels), len(log), log.laps.num_rows]
        except BaseException as exc:
            return [type(exc).__name__, str(exc)]
    outcome(small)
    vm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
    cap = (vm + os.path.getsize(large) // 1024 + 32768) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.RLIM_INFINITY))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    steps = [outcome(source) for path in claims for source in (open(path, "rb").read(), path)]
    steps.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 4096)
    steps += [outcome(large)[0], outcome(small), outcome(large)[0], outcome(small)]
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    steps.append(outcome(large))
    print(json.dumps(steps))
"""


@linux_only
def test_hostile_sizes_and_memory_exhaustion_under_an_address_space_cap(ibt, write_file, run_python):
    write_large("large.ibt")
    small = write_file(recording(500, 1))
    claims = [write_file(write_channels({"Speed": (FLOAT, [1.0, 2.0])}, **fields)) for fields, _ in CLAIMS]
    steps = run_python(UNDER_CAP, "large.ibt", small, *claims)
    messages = [f"Invalid header: File too small for {message}" for _, message in CLAIMS]
    assert steps[:-6] == [row for path, message in zip(claims, messages)
                          for row in (["RuntimeError", message], ["OSError", f"{path}: {message}"])]
    log = ibt(small)
    fine = ["returned", len(log.channels), len(log), log.laps.num_rows]
    assert steps[-6:] == [True, "MemoryError", fine, "MemoryError", fine, ["returned", 61, 200_000, 1]]


def test_nested_and_interleaved_calls_get_the_serial_results(ibt, write_file):
    # Calls interleave at their progress reports (thread switches there let one call end
    # while another that started later still runs), and nest in them.
    files = [write_file(recording(n, seed)) for seed, n in enumerate([1, 200, 700, 1500])]
    serial, results = {path: ibt(path) for path in files}, {path: [] for path in files}
    barrier, interval = threading.Barrier(len(files)), sys.getswitchinterval()

    def work(path: str) -> None:
        barrier.wait()
        for _ in range(10):
            inner = []
            results[path] += [ibt(path, lambda k, n: (inner.append(ibt(files[k % 4])), time.sleep(0))), *inner]

    threads = [threading.Thread(target=work, args=(path,)) for path in files]
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    for path, logs in results.items():
        expected = [serial[path], *(serial[files[k % 4]] for k in range(1, len(serial[path].channels) + 1))] * 10
        assert len(logs) == len(expected) and all(same(a, b) for a, b in zip(logs, expected))


# What happens to the source once ibt has returned; the path's sibling .new holds another recording.
CHANGES = {
    "delete": lambda path, source: path.unlink(),
    "replace": lambda path, source: os.replace(path.with_suffix(".new"), path),
    "rewrite": lambda path, source: path.write_bytes(path.with_suffix(".new").read_bytes()),  # the same inode
    "truncate": lambda path, source: os.truncate(path, 0),
    "zero the bytes": lambda path, source: source.__setitem__(slice(None), bytes(len(source))),
}


@pytest.mark.parametrize("change", CHANGES)
def test_tables_outlive_changes_to_the_source_and_the_log_file(ibt, tmp_path, change):
    data, path, source = recording(700, 2), tmp_path / "file.ibt", bytearray(recording(700, 2))
    path.write_bytes(data)
    path.with_suffix(".new").write_bytes(recording(700, 3))
    log = ibt(source if change == "zero the bytes" else str(path))
    CHANGES[change](path, source)
    channels, laps, metadata = dict(log.channels), log.laps, log.metadata
    del log, source
    gc.collect()
    expected = ibt(data)
    for table in [*channels.values(), laps]:
        table.validate(full=True)
    assert list(channels) == list(expected.channels)
    assert all(channels[k].equals(expected.channels[k], check_metadata=True) for k in channels)
    assert laps.equals(expected.laps) and metadata == expected.metadata


TRUNCATED_WHILE_READ = """
    import faulthandler, json, os, sys, telvane
    path, shrink_at, after = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if after == "faulthandler":  # another SIGBUS handler, installed after a first read
        telvane.ibt(path)
        faulthandler.enable()
    def progress(k, n):
        if k == shrink_at:
            os.truncate(path, 4096)
    try:
        telvane.ibt(path, progress)
        print(json.dumps("returned"))
    except OSError as exc:
        print(json.dumps(str(exc)))
"""


@posix_only  # Windows refuses to shrink a mapped file
@pytest.mark.parametrize("after", ["", "faulthandler"])
@pytest.mark.parametrize("shrink_at", [1, 3])
def test_a_file_truncated_while_read_raises_instead_of_killing_the_process(write_file, run_python, shrink_at,
                                                                           after):
    # The laps are read from the mapping after the channel tables are handed over, so a
    # file shrinking under the progress callback makes the laps touch pages past its end.
    path = write_file(recording(20_000, seed=7))
    expected = f"{path}: I/O error: file was truncated while it was being read"
    assert run_python(TRUNCATED_WHILE_READ, path, shrink_at, after) == expected


TRUNCATED_IN_MANY_THREADS = """
    import json, os, sys, threading, telvane
    paths = sys.argv[1:]
    together = threading.Barrier(len(paths))
    errors = []
    def read(path):
        def progress(k, n):
            if k == 1:
                os.truncate(path, 4096)
                together.wait()  # every file mapped and shrunk at once
        try:
            telvane.ibt(path, progress)
        except OSError as exc:
            errors.append(str(exc).removeprefix(path + ": "))
    threads = [threading.Thread(target=read, args=(path,)) for path in paths]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps(errors))
"""


@posix_only
def test_files_truncated_under_many_threads_at_once_all_raise(write_file, run_python):
    paths = [write_file(recording(2_000, seed=7)) for _ in range(70)]
    assert run_python(TRUNCATED_IN_MANY_THREADS, *paths) == ["I/O error: file was truncated while it was being read"] * 70


@posix_only
def test_a_sigbus_sent_by_a_process_after_a_read_ends_it_as_without_telvane(write_file):
    kill = "import os, signal, sys\nos.kill(os.getpid(), signal.SIGBUS)"
    read_then_kill = kill.replace("sys\n", "sys, telvane\ntelvane.ibt(sys.argv[1])\n")
    path = write_file(recording(100, seed=1))
    # Under the sanitizer run, AddressSanitizer would report the signal instead of dying by it.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":handle_sigbus=0"}
    outcomes = [subprocess.run([sys.executable, "-c", script, path], env=env, capture_output=True,
                               timeout=60).returncode for script in (kill, read_then_kill)]
    assert outcomes == [-signal.SIGBUS, -signal.SIGBUS]


# Rewrites in place that the progress callback makes between the channels and the laps.
IN_PLACE = {
    "grow": lambda path: open(path, "ab").write(b"\0"),
    "touch": lambda path: os.utime(path, ns=(0, 0)),
}


@pytest.mark.parametrize("change", IN_PLACE)
def test_a_file_changed_while_read_raises(ibt, write_file, change):
    path = write_file(recording(700, seed=2))
    with pytest.raises(OSError) as info:
        ibt(path, lambda k, n: k == 1 and IN_PLACE[change](path))
    assert str(info.value) == f"{path}: I/O error: file changed while it was being read"


# Reads of one recording, by bytes and by path in turn, each under an address-space cap a
# step higher than the last, from what the process holds to well past what a read needs.
MEMORY_SWEEP = """
    import collections, json, resource, sys, telvane
    path, steps = sys.argv[1], int(sys.argv[2])
    data = open(path, "rb").read()
    expected = len(telvane.ibt(data))
    vm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
    outcomes = collections.Counter()
    for step in range(steps):
        resource.setrlimit(resource.RLIMIT_AS, ((vm + 128 * step) * 1024, resource.RLIM_INFINITY))
        try:
            outcomes["returned" if len(telvane.ibt(data if step % 2 else path)) == expected else "wrong"] += 1
        except BaseException as exc:
            outcomes[type(exc).__name__] += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(json.dumps(outcomes))
"""


@pytest.mark.slow
@linux_only
def test_memory_exhaustion_anywhere_in_a_read_is_memory_error(synthetic, write_file, run_python):
    outcomes = run_python(MEMORY_SWEEP, write_file(synthetic), 600)
    assert set(outcomes) == {"MemoryError", "returned"}, outcomes

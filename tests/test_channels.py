"""Channel tables, beside the comparisons with the reference reading: which variables become
channels, the time base, the progress protocol, the hand-over to pyarrow, the blocked gather
and the memory of what it returns."""

from __future__ import annotations

import mmap
import os
import struct
import sys

import numpy as np
import pyarrow as pa
import pytest

import telvane.base
from conftest import counts_memory, linux_only
from reference_reader import INT64_MAX, INT64_MIN, ReferenceFile, assert_matches, timecode
from telvane._writer import BOOL, DOUBLE, ELEMENT_SIZE, FLOAT, INT, Var, write_ibt
from builders import write_channels


def two(fmt: str, *values: float) -> bytes:
    """Two records packed with fmt, from the first and second half of values."""
    half = len(values) // 2
    return struct.pack(fmt, *values[:half]) + struct.pack(fmt, *values[half:])


ARRAYS_ONLY = [Var("SessionTime", DOUBLE, 0, count=2), Var("CarIdxLap", INT, 16, count=4),
               Var("Empty", FLOAT, 32, count=0), Var("Temps", FLOAT, 32, count=3)]
# (variables, two records, the channels as timecodes and values, the progress total): which
# SessionTime gives the time base, which variables are channels, and duplicate names
CHANNELS = [
    # two: the later one, while both are channels at the first one's position
    ([Var("SessionTime", DOUBLE, 0), Var("Gear", INT, 8), Var("SessionTime", DOUBLE, 12)],
     two("<did", 1.0, 3, 7.0, 2.0, 4, 8.5), {"SessionTime": [7000, 8500, 7.0, 8.5], "Gear": [7000, 8500, 3, 4]}, 3),
    # an earlier SessionTime of another type is only a channel
    ([Var("SessionTime", FLOAT, 0), Var("SessionTime", DOUBLE, 4)], two("<fd", 9.0, 0.25, 8.0, 0.5),
     {"SessionTime": [250, 500, 0.25, 0.5]}, 2),
    # count 0: read while its 8 bytes fit in the record
    ([Var("X", INT, 0), Var("SessionTime", DOUBLE, 8, count=0)], two("<i4xd", 1, 0.5, 2, 0.75),
     {"X": [500, 750, 1, 2]}, 1),
    # arrays and count 0 are never channels: no progress report at all
    (ARRAYS_ONLY, bytes(88), {}, 0),
]


@pytest.mark.parametrize("vars, records, expected, total", CHANNELS)
def test_channel_list(ibt, vars, records, expected, total):
    calls = []
    result = ibt(write_ibt(vars, records, buf_len=len(records) // 2), lambda k, n: calls.append((k, n)))
    assert [(name, sum(t.to_pydict().values(), [])) for name, t in result.channels.items()] == list(expected.items())
    assert calls == [(k, total) for k in range(1, total + 1)]


# seconds -> milliseconds: × 1000 in binary64, halves away from zero, saturated; then values
# near the rounding and saturation edges, checked against the exact rational reference
@pytest.mark.parametrize("seconds, ms", [
    (0.0625, 63), (-0.0625, -63), (1234.5675, 1234568), (float("nan"), 0), (float("-inf"), INT64_MIN),
    (4503599627370.499, 4503599627370499),  # adding 0.5 here rounds up to ...500 in binary64
    (1e16, INT64_MAX), (5e-324, 0),
    *[(s, timecode(s)) for s in [-0.0004999, 0.0005, -0.0025, 9223372036854775.807, -9223372036854775.808,
                                 -9223372036854775.809]],
])
def test_time_conversion(ibt, seconds, ms):
    data = write_ibt([Var("SessionTime", DOUBLE, 0)], struct.pack("<d", seconds))
    assert ibt(data).channels["SessionTime"].column(0).to_pylist() == [ms]


FIVE = write_channels({"Lap": (INT, [1, 1]), "Speed": (FLOAT, [1.0, 2.0]),
                       "OnPitRoad": (BOOL, [0, 1]), "Gear": (INT, [2, 3])})


def test_a_non_callable_progress_fails_at_the_first_report(fails):
    assert fails(FIVE, progress=42) == (TypeError, "'int' object is not callable")


class Stop(Exception):
    pass


@pytest.mark.parametrize("error", [Stop("second"), KeyboardInterrupt(), SystemExit(3)])
def test_a_raising_progress_ends_the_call_with_its_exception(ibt, error):
    calls = []

    def progress(k: int, n: int) -> None:
        calls.append((k, n))
        if k == 2:
            raise error

    with pytest.raises(BaseException) as caught:
        ibt(FIVE, progress)
    assert caught.value is error and calls == [(1, 5), (2, 5)]


def test_an_exception_from_log_file_passes_unchanged(ibt, monkeypatch):
    error, received = Stop("rejected"), []

    def log_file(*args: object, **kwargs: object) -> None:
        received.append((args, kwargs))
        raise error

    monkeypatch.setattr(telvane.base, "LogFile", log_file)
    with pytest.raises(Stop) as caught:
        ibt(FIVE)
    [(args, kwargs)] = received
    assert caught.value is error and kwargs == {}
    assert [type(a) for a in args] == [dict, pa.Table, dict, str] and args[3] == "<bytes>"


class Errors:  # the message names the qualified name
    class Nested(Exception):
        pass

    class Unprintable(Exception):
        def __str__(self) -> str:
            raise ValueError("no text")


def importer(outcome: object) -> type:
    """A stand-in for RecordBatchReader whose _import_from_c raises outcome or returns it."""

    def import_from_c(cls: type, address: int) -> object:
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    return type("RecordBatchReader", (), {"_import_from_c": classmethod(import_from_c)})


# stand-in for RecordBatchReader -> the RuntimeError message
HAND_OVER = [
    (type("RecordBatchReader", (), {}),
     "AttributeError: type object 'RecordBatchReader' has no attribute '_import_from_c'"),
    (importer(Errors.Nested("deep")), "Errors.Nested: deep"),
    (importer(Errors.Unprintable()), "Errors.Unprintable: <exception str() failed>"),
]


@pytest.mark.parametrize("data", [FIVE, write_ibt(ARRAYS_ONLY, buf_len=44)], ids=["channels", "laps"])
@pytest.mark.parametrize("fake, message", HAND_OVER)
def test_hand_over_failures_become_runtime_errors(fails, monkeypatch, data, fake, message):
    monkeypatch.setattr(pa, "RecordBatchReader", fake)
    assert fails(data) == (RuntimeError, message)


def test_the_hand_over_owns_what_it_passes_on(logfile_args, monkeypatch):
    batch, given = object(), []
    held = [batch] * 100  # so that a reference too few cannot free it
    monkeypatch.setattr(pa, "RecordBatchReader", importer(type("Reader", (), {"read_next_batch": lambda s: batch})()))
    monkeypatch.setattr(pa, "Table", type("Table", (), {"from_batches": lambda batches: given.append(batches)}))
    before = sys.getrefcount(batch)
    logfile_args(FIVE)
    assert [[id(b) for b in batches] for batches in given] == [[id(batch)]] * 6 and len(held) == 100
    given.clear()
    assert sys.getrefcount(batch) == before


# The gather copies blocks of 512 KiB / buf_len records, rounded down to whole bitmap bytes and
# at least 8: (buf_len, records per block, a prime record count spanning several blocks)
LAYOUTS = [(131, 4000, 8009), (4501, 112, 1009), (5000, 104, 1009), (8192, 64, 1009), (70001, 8, 101)]


def gather_file(buf_len: int, n: int) -> bytes:
    """SessionTime, every type twice, an array and the lap inputs one byte apart (so mostly
    unaligned), a Double that ends the record; random bytes, Bool bytes among several non-zero
    values, and laps of 29 records that restart from 0 every 7 laps."""
    specs = [("SessionTime", DOUBLE, 1), *((f"T{code}.{k}", code, 1) for k in (0, 1) for code in range(6)),
             ("Temps", FLOAT, 3), ("Lap", INT, 1), ("OnPitRoad", BOOL, 1), ("LapDistPct", FLOAT, 1)]
    vars, offset = [], 3
    for name, code, count in specs:
        vars.append(Var(name, code, offset, count))
        offset += ELEMENT_SIZE[code] * count + 1
    vars.append(Var("Tail", DOUBLE, buf_len - 8))
    rng, r = np.random.default_rng([buf_len, n]), np.arange(n)
    area = rng.integers(0, 256, (n, buf_len), dtype=np.uint8)
    chosen = {"SessionTime": (r / 60).astype("<f8"), "Lap": (r // 29 % 7).astype("<i4"),
              "LapDistPct": (r % 29 / 29).astype("<f4")}
    for var in vars:
        values = chosen.get(var.name, rng.choice(np.array([0, 0, 0, 1, 2, 0x80, 0xFF], np.uint8), n)
                            if var.type == BOOL else None)
        if values is not None:
            area[:, var.offset:var.offset + values.itemsize] = values.view(np.uint8).reshape(n, values.itemsize)
    return write_ibt(vars, area.tobytes(), buf_len=buf_len)


@pytest.mark.parametrize("count", ["B-1", "B", "B+1", "2B+3", "prime"])
@pytest.mark.parametrize("buf_len, block, prime", LAYOUTS)
def test_record_counts_around_the_block_size(ibt, buf_len, block, prime, count):
    n = {"B-1": block - 1, "B": block, "B+1": block + 1, "2B+3": 2 * block + 3, "prime": prime}[count]
    data = gather_file(buf_len, n)
    assert_matches(ibt(data), ReferenceFile(data))


PAGE, MIB = mmap.PAGESIZE, 1 << 20
# Runs alone so that no other test's memory moves its figures: RssAnon and VmSize in bytes at
# each step. Columns of a file this large are slices of one mapping (small ones come from
# malloc, whose reuse the leak checks cover).
MEASURE = r"""
import gc, json, sys
import telvane

def memory():
    gc.collect()
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return {key: int(fields[key].split()[0]) * 1024 for key in ("RssAnon", "VmSize")}

for _ in range(2):  # the second call settles malloc's thresholds for the time base's 1.6 MB
    telvane.ibt(sys.argv[1])
steps = {"before": memory()}
channels = dict(telvane.ibt(sys.argv[1]).channels)
steps["loaded"] = memory()
del channels["D0"]
steps["one dropped"] = memory()
channels.clear()
steps["all dropped"] = memory()
print(json.dumps(steps))
"""


@counts_memory
@linux_only
def test_dropped_tables_give_their_memory_back(run_python):
    fields = [("SessionTime", "<f8"), *((f"D{i}", "<f8") for i in range(10)), *((f"F{i}", "<f4") for i in range(10))]
    rows = np.zeros(200_000, fields)
    for name, _ in fields:
        rows[name] = np.arange(len(rows)) / 60
    write_ibt([Var(name, DOUBLE if dtype == "<f8" else FLOAT, rows.dtype.fields[name][1]) for name, dtype in fields],
              rows.tobytes(), path="large.ibt")
    steps = run_python(MEASURE, "large.ibt")
    anon = {step: values["RssAnon"] for step, values in steps.items()}
    assert anon["loaded"] - anon["before"] >= 0.95 * 200_000 * rows.itemsize, steps  # the columns are resident
    column = -(-200_000 * 8 // PAGE) * PAGE
    assert 0.9 * column <= anon["loaded"] - anon["one dropped"] <= column + MIB // 2, steps  # the slice's own pages
    assert anon["all dropped"] - anon["before"] < MIB, steps
    assert steps["all dropped"]["VmSize"] - steps["before"]["VmSize"] < MIB, steps  # unmapped

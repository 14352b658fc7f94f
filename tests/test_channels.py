"""Channel tables beside the comparisons with the reference reading: the progress protocol,
the hand-over to pyarrow and the memory of what it returns."""

from __future__ import annotations

import mmap
import sys

import numpy as np
import pyarrow as pa
import pytest

import telvane.base
from builders import write_channels
from conftest import counts_memory, linux_only
from telvane._writer import BOOL, DOUBLE, FLOAT, INT, Var, write_ibt

FIVE = write_channels({"Lap": (INT, [1, 1]), "Speed": (FLOAT, [1.0, 2.0]),
                       "OnPitRoad": (BOOL, [0, 1]), "Gear": (INT, [2, 3])})
# Arrays and count 0 are never channels: no channel tables, only the laps are handed over.
ARRAYS_ONLY = write_ibt([Var("SessionTime", DOUBLE, 0, count=2), Var("Temps", FLOAT, 16, count=3),
                         Var("Empty", FLOAT, 28, count=0)], buf_len=28)


# (file, what raises: progress at its second report or LogFile, the exception) -> the reports made
@pytest.mark.parametrize("file, raiser, error, calls", [
    ("five", None, None, [(k, 5) for k in range(1, 6)]), ("arrays only", None, None, []),
    *[("five", "progress", error, [(1, 5), (2, 5)])
      for error in (LookupError(), KeyboardInterrupt(), SystemExit(3))],
    ("five", "LogFile", LookupError(), [(k, 5) for k in range(1, 6)]),
])
def test_progress_reports_and_exceptions_from_the_callers_code(ibt, monkeypatch, file, raiser, error, calls):
    data, made = {"five": FIVE, "arrays only": ARRAYS_ONLY}[file], []

    def progress(k: int, n: int) -> None:
        made.append((k, n))
        if k == 2 and raiser == "progress":
            raise error

    def log_file(*args: object) -> None:
        raise error

    if raiser == "LogFile":
        monkeypatch.setattr(telvane.base, "LogFile", log_file)
    raised = None
    try:
        ibt(data, progress)
    except BaseException as exc:  # passed on unchanged, whatever its class
        raised = exc
    assert raised is error and made == calls


class Errors:  # the message names the qualified name and stands in for a text str() cannot give
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
    (importer(Errors.Unprintable()), "Errors.Unprintable: <exception str() failed>"),
]


@pytest.mark.parametrize("data", [FIVE, ARRAYS_ONLY], ids=["channels", "laps"])
@pytest.mark.parametrize("fake, message", HAND_OVER)
def test_hand_over_failures_become_runtime_errors(fails, monkeypatch, data, fake, message):
    monkeypatch.setattr(pa, "RecordBatchReader", fake)
    assert fails(data) == (RuntimeError, message)


def test_the_hand_over_owns_what_it_passes_on(logfile_args, monkeypatch):
    batch, given = object(), []
    held = [batch] * 100  # so that a reference too few cannot free it
    reader = type("Reader", (), {"read_next_batch": lambda self: batch})()
    monkeypatch.setattr(pa, "RecordBatchReader", importer(reader))
    monkeypatch.setattr(pa, "Table", type("Table", (), {"from_batches": given.append}))
    before = sys.getrefcount(batch)
    logfile_args(FIVE)
    assert [[id(b) for b in batches] for batches in given] == [[id(batch)]] * 6 and len(held) == 100
    given.clear()
    assert sys.getrefcount(batch) == before


# Columns of a file this large are slices of one mapping (small ones come from malloc, whose
# reuse the leak checks cover). Run alone so that no other test moves the figures: RssAnon and
# VmSize in bytes before the call, with the tables, with one dropped and with all dropped.
MEASURE = r"""
import gc, json, sys
import telvane

def memory():
    gc.collect()
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return [int(fields[key].split()[0]) * 1024 for key in ("RssAnon", "VmSize")]

for _ in range(2):  # the second call settles malloc's thresholds for the time base's 1.6 MB
    telvane.ibt(sys.argv[1])
steps = [memory()]
channels = dict(telvane.ibt(sys.argv[1]).channels)
steps.append(memory())
del channels["D0"]
steps.append(memory())
channels.clear()
print(json.dumps(steps + [memory()]))
"""


@counts_memory
@linux_only
def test_dropped_tables_give_their_memory_back(run_python):
    n, mib = 200_000, 1 << 20
    write_ibt([Var("SessionTime", DOUBLE, 0), *(Var(f"D{i}", DOUBLE, 8 + 8 * i) for i in range(20))],
              np.repeat(np.arange(n) / 60, 21).tobytes(), path="large.ibt")
    steps = run_python(MEASURE, "large.ibt")
    (before, vm_before), (loaded, _), (one_dropped, _), (after, vm_after) = steps
    column = -(-n * 8 // mmap.PAGESIZE) * mmap.PAGESIZE
    assert loaded - before >= 0.95 * 21 * column, steps  # the columns are resident
    assert 0.9 * column <= loaded - one_dropped <= column + mib // 2, steps  # the slice's own pages
    assert after - before < mib and vm_after - vm_before < mib, steps  # all unmapped

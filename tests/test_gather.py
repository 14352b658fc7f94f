"""The blocked gather of channel columns and the life of their memory: record counts around the
block size for every value type, and resident memory given back when pyarrow drops the tables."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

from reference_reader import BITS_DTYPE, ReferenceFile
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, ELEMENT_SIZE, FLOAT, INT, Var, write_ibt

# (buf_len, records per gather block: 512 KiB / buf_len rounded down to whole bitmap bytes,
# at least 8; a prime record count spanning several blocks)
LAYOUTS = [(131, 4000, 8009), (4501, 112, 1009), (5000, 104, 1009), (8192, 64, 1009), (70001, 8, 101)]
COUNTS = {"0": lambda b, p: 0, "1": lambda b, p: 1, "B-1": lambda b, p: b - 1, "B": lambda b, p: b,
          "B+1": lambda b, p: b + 1, "2B+3": lambda b, p: 2 * b + 3, "prime": lambda b, p: p}
TYPES = [("Char", CHAR), ("Bool", BOOL), ("Int", INT), ("BitField", BITFIELD), ("Float", FLOAT), ("Double", DOUBLE)]
BOOL_BYTES = np.array([0, 0, 0, 1, 2, 0x80, 0xFF], np.uint8)


def variables(buf_len: int) -> list[Var]:
    """SessionTime, every type twice, an array and the lap inputs one byte apart (so mostly
    unaligned), and a Double that ends the record."""
    specs = [("SessionTime", DOUBLE, 1), *((f"{name}{k}", code, 1) for k in (0, 1) for name, code in TYPES),
             ("Temps", FLOAT, 3), ("Lap", INT, 1), ("OnPitRoad", BOOL, 1), ("LapDistPct", FLOAT, 1)]
    vars, offset = [], 3
    for name, code, count in specs:
        vars.append(Var(name, code, offset, count))
        offset += ELEMENT_SIZE[code] * count + 1
    return [*vars, Var("Tail", DOUBLE, buf_len - 8)]


def record_area(vars: list[Var], buf_len: int, n: int) -> bytes:
    """Random bytes (NaN payloads and all), with Bool bytes among several non-zero values, a
    clock, and laps of 29 records that restart from 0 every 7 laps."""
    rng = np.random.default_rng([buf_len, n])
    area = rng.integers(0, 256, (n, buf_len), dtype=np.uint8)
    r = np.arange(n)
    chosen = {"SessionTime": (r / 60).astype("<f8"), "Lap": (r // 29 % 7).astype("<i4"),
              "LapDistPct": (r % 29 / 29).astype("<f4")}
    for var in vars:
        values = chosen.get(var.name, rng.choice(BOOL_BYTES, n) if var.type == BOOL else None)
        if values is not None:
            area[:, var.offset:var.offset + values.itemsize] = values.view(np.uint8).reshape(n, values.itemsize)
    return area.tobytes()


def value_bits(column: pa.Array, code: int) -> np.ndarray:
    """The rows of a column from its raw data buffer, as the reference's value_bits gives them;
    for Bool only the bitmap bits of these rows, whatever the padding holds."""
    data = np.frombuffer(column.buffers()[1], np.uint8)
    if code == BOOL:
        return np.unpackbits(data, bitorder="little")[column.offset:column.offset + len(column)]
    size = ELEMENT_SIZE[code]
    return data[column.offset * size:(column.offset + len(column)) * size].view(BITS_DTYPE[code])


@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("buf_len, block, prime", LAYOUTS)
def test_record_counts_around_the_block_size(ibt, buf_len, block, prime, count):
    vars = variables(buf_len)
    n = COUNTS[count](block, prime)
    data = write_ibt(vars, record_area(vars, buf_len, n), buf_len=buf_len)
    ref, result = ReferenceFile(data), ibt(data)
    assert list(result.channels) == [v.name for v in ref.scalars()]
    for var in ref.scalars():
        table = result.channels[var.name]
        assert np.array_equal(table.column(0).to_numpy(), ref.timecodes), var.name
        assert np.array_equal(value_bits(table.column(1).chunk(0), var.type), ref.value_bits(var)), var.name
    assert result.laps.to_pylist() == ref.laps()


RECORDS, DOUBLES, FLOATS = 200_000, 10, 10
PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20
# Runs alone so that no other test's memory moves its figures: [RssAnon, VmSize] in bytes at
# each step. The small file's columns come from malloc, the large file's from one mapping.
MEASURE = r"""
import gc, json, sys
import telvane

def memory():
    gc.collect()
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return [int(fields[key].split()[0]) * 1024 for key in ("RssAnon", "VmSize")]

large, small = sys.argv[1:]
for _ in range(20):
    telvane.ibt(small)
steps = {"small before": memory()}
for _ in range(200):
    telvane.ibt(small)
steps["small after"] = memory()
for _ in range(2):  # the second call settles malloc's thresholds for the time base's 1.6 MB
    telvane.ibt(large)
steps["before"] = memory()
channels = dict(telvane.ibt(large).channels)
steps["loaded"] = memory()
del channels["D0"]
steps["one dropped"] = memory()
channels.clear()
steps["all dropped"] = memory()
print(json.dumps(steps))
"""


def wide_file(path: Path, n: int) -> list[int]:
    """A file of SessionTime, DOUBLES Double and FLOATS Float channels; returns the column sizes."""
    fields = [("SessionTime", "<f8")] + [(f"D{i}", "<f8") for i in range(DOUBLES)] + \
        [(f"F{i}", "<f4") for i in range(FLOATS)]
    rows = np.zeros(n, fields)
    for name, _ in fields:
        rows[name] = np.arange(n) / 60
    vars = [Var(name, DOUBLE if dtype == "<f8" else FLOAT, rows.dtype.fields[name][1]) for name, dtype in fields]
    write_ibt(vars, rows.tobytes(), path=path)
    return [n * rows.dtype[name].itemsize for name, _ in fields]


def test_dropped_tables_give_their_memory_back(tmp_path):
    sizes = wide_file(tmp_path / "large.ibt", RECORDS)
    small = sum(-(-size // PAGE) * PAGE for size in wide_file(tmp_path / "small.ibt", 5_000))
    assert small < 2 * MIB <= sum(sizes)
    run = subprocess.run([sys.executable, "-c", MEASURE, str(tmp_path / "large.ibt"), str(tmp_path / "small.ibt")],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    steps = {step: dict(zip(("anon", "virtual"), values)) for step, values in json.loads(run.stdout).items()}
    rise = steps["loaded"]["anon"] - steps["before"]["anon"]
    assert rise >= 0.95 * sum(sizes), steps  # the columns are resident
    column = -(-sizes[1] // PAGE) * PAGE
    fall = steps["loaded"]["anon"] - steps["one dropped"]["anon"]
    assert 0.9 * column <= fall <= column + MIB // 2, (column, steps)  # the slice's own pages
    assert steps["all dropped"]["anon"] - steps["before"]["anon"] < MIB, steps
    assert steps["all dropped"]["virtual"] - steps["before"]["virtual"] < MIB, steps  # unmapped
    # malloc keeps freed memory for reuse rather than unmapping it, so the small path can only
    # show that 200 calls (about 130 MB of columns) reuse the same memory.
    assert steps["small after"]["anon"] - steps["small before"]["anon"] < 2 * MIB, steps

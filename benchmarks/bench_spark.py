"""Spark reading the dataset's channels table whole: recordings of three channel sets, `Flag`
bool in some and char in others (and, for comparison, char in every one), one of them on a
track named as the engines' mark of a missing partition value. Prints, for
telvane.spark.read_dataset and for Spark's own Parquet reader (mergeSchema), whether every
column and row matches telvane.dataset.read, the tracks read, and the time.

Run from the project root (Java 17 or later; pyspark, about 500 MB, kept out of the
project's environment):
    python3 -m venv .venv-spark
    PIP_CONSTRAINT=requirements-test.txt .venv-spark/bin/pip install pyspark==4.3.0 '.[spark]'
    .venv-spark/bin/python benchmarks/bench_spark.py [N]"""
import os
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

import pyarrow as pa
import recordings

import telvane.spark
from telvane import dataset

count = int(sys.argv[1]) if len(sys.argv) > 1 else 120
MARK = dataset.HIVE_NULL


def compare(found: pa.Table, expected: pa.Table) -> str:
    """Where `found` differs from `expected`, both sorted by recording and time."""
    if set(found.column_names) != set(expected.column_names):
        return f"columns differ: {sorted(set(found.column_names) ^ set(expected.column_names))}"
    order = [(name, "ascending") for name in ("recording", "timecodes") if name in expected.column_names]
    found, expected = found.select(expected.column_names).sort_by(order), expected.sort_by(order)
    if found.num_rows != expected.num_rows:
        return f"{found.num_rows:,} rows, not {expected.num_rows:,}"
    differing = [name for name in expected.column_names
                 if not found[name].cast(expected.schema.field(name).type).equals(expected[name])]
    return f"columns differ in values: {differing}" if differing else "every column and row matches"


def timed(read):
    began = time.perf_counter()
    try:
        table = read()
    except Exception as exc:
        reason = re.search(r"\[[A-Z_.]+\][^\n]*", str(exc))  # Spark's error class and message
        return None, time.perf_counter() - began, f"refused: {reason[0] if reason else exc}"[:300]
    return table, time.perf_counter() - began, ""


root = Path(tempfile.mkdtemp())
for name, bool_flag in [("season", True), ("uniform", False)]:  # uniform: Flag char in every one
    for number in range(count):
        source = root / f"r{number:04d}.ibt"
        track = MARK if number == 0 else "123"  # a name Spark's own discovery would take for a number
        source.write_bytes(recordings.mixed_channels(number, bool_flag=bool_flag, track=track))
        dataset.convert(source, root / name)
    dataset.merge_schemas(root / name)
os.environ.setdefault("PYSPARK_PYTHON", sys.executable)  # the executors import telvane too
os.chdir(root)

from pyspark.sql import SparkSession  # noqa: E402

spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
         .config("spark.ui.showConsoleProgress", "false").getOrCreate())
spark.sparkContext.setLogLevel("OFF")
expected, telvane_seconds, _ = timed(lambda: dataset.read("season").channels.to_table())
lines = {}  # the line: how it is read, the table it should give
for name in ("season", "uniform"):
    whole = dataset.read(name).channels.to_table()
    lines[f'telvane.spark.read_dataset(spark, "{name}")'] = (
        lambda name=name: telvane.spark.read_dataset(spark, name).toArrow(), whole)
    lines[f'spark.read.option("mergeSchema", "true").parquet("{name}/channels")'] = (
        lambda name=name: spark.read.option("mergeSchema", "true").parquet(f"{name}/channels").toArrow(), whole)
lines['spark.read.parquet("season/sessions")'] = (  # every file has the same columns
    lambda: spark.read.parquet("season/sessions").toArrow(), dataset.read("season").sessions.to_table())
for read, _ in lines.values():  # untimed first round: the JVM's classes and the Python workers
    timed(read)
print(f"{count} recordings of {recordings.MIXED_RECORDS:,} records (50-70 float channels, Flag bool or char, or char "
      f"in every one in uniform; track {MARK} once); load {os.getloadavg()[0]:.2f}")
print(f"telvane.dataset.read(...).channels.to_table(): {telvane_seconds:.2f} s, {expected.num_rows:,} rows")
print("| Spark's line | reads | tracks | time |")
print("|---|---|---|---|")
for line, (read, whole) in lines.items():
    table, seconds, refused = timed(read)
    tracks = "" if table is None else ", ".join(sorted(map(repr, set(table["track"].to_pylist()))))
    print(f"| `{line}` | {refused or compare(table, whole)} | {tracks} | {seconds:.2f} s |")
spark.stop()
shutil.rmtree(root)

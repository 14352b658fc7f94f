"""`LogFile.to_parquet` of the real recording against polars' `write_parquet` of the same
LogFile, in time and file size.

Run with the environment's telvane and polars:  python benchmarks/bench_to_parquet.py
Prints the median of 41 alternated writes of each, the load average before and after, the
ratio (the median of the rounds' own ratios) as a `label  value  target ok|MISSED` line and
its anchor as a `label  value  (what it is)` line."""
import os
import statistics
import tempfile
import time
from pathlib import Path

import figures
import polars as pl
import recordings
import timing

import telvane

ROUNDS = 41


def wall(function) -> float:
    began = time.perf_counter()
    function()
    return time.perf_counter() - began


print(f"load average {os.getloadavg()[0]:.2f}")
began = os.getloadavg()[0]
log = telvane.ibt(str(recordings.REAL_SAMPLE))
with tempfile.TemporaryDirectory() as scratch:
    ours, theirs = Path(scratch, "sample.parquet"), Path(scratch, "sample-polars.parquet")
    times: dict[str, list[float]] = {"telvane": [], "polars": []}
    for _ in range(ROUNDS):
        times["telvane"].append(wall(lambda: log.to_parquet(ours)))
        times["polars"].append(wall(lambda: pl.DataFrame(log).write_parquet(theirs)))
    sample_size = ours.stat().st_size / theirs.stat().st_size
mine, polars = 1000 * statistics.median(times["telvane"]), 1000 * statistics.median(times["polars"])
print(f"real recording: to_parquet {mine:.1f} ms, polars write_parquet {polars:.1f} ms, file {sample_size:.2f}x polars'")
print(f"load average {os.getloadavg()[0]:.2f}")
figures.print_figures([("to_parquet / polars write_parquet, real", timing.round_ratio(times, "telvane", "polars"),
                        "<= 1.2")])
figures.print_shown([("polars write_parquet, real, ms", polars, "anchor of to_parquet"),
                     ("load average, start", began, "1 minute"),
                     ("load average, end", os.getloadavg()[0], "1 minute")])

"""The Parquet write of a recording's wide table: telvane's writer against pyarrow's defaults,
on a one-hour recording (the synthetic sample's driving with 250 noisy float channels beside
its own) and the real sample. Prints the CPU seconds of each write (best of 3) and the size
of the file.

Run with the environment's telvane:  python benchmarks/bench_parquet_write.py [DIR]
DIR defaults to /tmp/telvane-dataset-bench; the one-hour recording (about 250 MB) is reused."""

from __future__ import annotations

import sys
import time
from pathlib import Path

import pyarrow.parquet as pq

import recordings

import telvane
from telvane import _sample
from telvane.dataset import _parquet

REAL_SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "samples" / "redbullring_amg.ibt"
FLYING_LAPS, EXTRA_CHANNELS = 40, 250  # nearly an hour; a real recording has about 270 channels


def write_times(log: telvane.LogFile, scratch: Path) -> tuple[float, int, float, int]:
    table = log.to_table()
    figures = []
    for write in (lambda path: pq.write_table(table, path),
                  lambda path: _parquet.write_table(table, path)):
        best = float("inf")
        for _ in range(3):
            began = time.process_time()
            write(scratch)
            best = min(best, time.process_time() - began)
        figures += [best, scratch.stat().st_size]
    return tuple(figures)


def main() -> None:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-dataset-bench")
    root.mkdir(parents=True, exist_ok=True)
    one_hour = root / "one_hour.ibt"
    if not one_hour.exists():
        one_hour.write_bytes(recordings.padded_sample(FLYING_LAPS, EXTRA_CHANNELS, _sample.SESSION_INFO))
    print("Parquet write of the wide table (CPU seconds, best of 3; file size):")
    cases = [("one-hour synthetic", one_hour)] + ([("real sample", REAL_SAMPLE)] if REAL_SAMPLE.exists() else [])
    for name, path in cases:
        log = telvane.ibt(path)
        before, before_size, after, after_size = write_times(log, root / "write.parquet")
        print(f"  {name} ({len(log):,} records, {len(log.channels)} channels): pyarrow defaults "
              f"{before * 1000:.0f} ms, {before_size / 1e6:.1f} MB; telvane {after * 1000:.0f} ms, "
              f"{after_size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()

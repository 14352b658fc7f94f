"""A league's archive at scale: N short synthetic recordings (default 10,000) exported to a
dataset, exported again (every recording held), then read back; and the figures for
projecting a million. (Dask's CPU per file against the process pool's is bench_dask.py's.)

Run with the environment's telvane on PATH:  python benchmarks/bench_archive.py [N] [DIR]
(DIR defaults to /tmp/telvane-archive-bench.)"""

import os
import shutil
import sys
import time
from pathlib import Path

import recordings
import timing

from telvane import dataset


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    root = Path(sys.argv[2] if len(sys.argv) > 2 else "/tmp/telvane-archive-bench")
    inputs = recordings.short_recordings(root / f"in{count}", count)
    print(f"load average {os.getloadavg()[0]:.2f}; {count:,} recordings of 600 records, "
          f"{recordings.SHORT_TRACKS} tracks x {recordings.SHORT_CARS} cars")
    out = root / f"out{count}"
    shutil.rmtree(out, ignore_errors=True)
    export = ["telvane", "export", str(inputs), "--out", str(out), "--jobs", "2"]
    wall, cpu = timing.command_seconds(export, root)
    objects = sum(len(files) for _, _, files in os.walk(out))
    print(f"export --jobs 2: {wall:.1f} s wall, {cpu:.1f} s CPU, {1000 * cpu / count:.2f} ms CPU a file; "
          f"{objects:,} objects written")
    again, _ = timing.command_seconds(export, root)
    print(f"re-run (every recording held): {again:.1f} s, {1000 * again / count:.2f} ms a file")
    began = time.perf_counter()
    tables = dataset.read(out)
    planning = time.perf_counter() - began
    began = time.perf_counter()
    fragments = sum(1 for _ in tables.channels.get_fragments())
    listing = time.perf_counter() - began
    began = time.perf_counter()
    rows = tables.channels.to_table(columns=["recording", "Speed"]).num_rows
    scan = time.perf_counter() - began
    print(f"dataset.read: {planning:.2f} s; listing {fragments:,} files {listing:.2f} s; "
          f"reading two columns of {rows:,} rows {scan:.2f} s")
    scale = 1_000_000 / count
    print(f"projected to 1,000,000 recordings: {objects * scale / 1e6:.1f} M objects, export "
          f"{cpu * scale / 3600:.1f} CPU-hours, listing {listing * scale / 60:.1f} min, "
          f"scan {scan * scale / 60:.1f} min, dataset.read {planning:.2f} s (one schema file)")


if __name__ == "__main__":
    main()

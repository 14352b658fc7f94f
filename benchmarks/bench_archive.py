"""A league's archive at scale: N short synthetic recordings (default 10,000) exported to a
dataset, then read back; the figures for projecting a million, and Dask's CPU per file
against the local process pool's.

Run with the environment's telvane on PATH:  python benchmarks/bench_archive.py [N] [DIR]
(DIR defaults to /tmp/telvane-archive-bench.) Needs the dask extra for the last part."""
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

import figures
import numpy as np

from telvane import dataset
from telvane._writer import DOUBLE, FLOAT, INT, Var, write_ibt
from telvane.sample import SESSION_INFO

count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
root = Path(sys.argv[2] if len(sys.argv) > 2 else "/tmp/telvane-archive-bench")
inputs = root / f"in{count}"
TRACKS, CARS = 20, 10


def make_inputs() -> None:
    if inputs.exists():
        return
    inputs.mkdir(parents=True)
    variables = [Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8), Var("Lap", INT, 12)]
    records = np.zeros(600, dtype=[("t", "<f8"), ("speed", "<f4"), ("lap", "<i4")])  # 10 s at 60 Hz
    records["t"] = np.arange(600) / 60
    for number in range(count):
        text = re.sub(r"(?m)^( *TrackName):.*$", f"\\1: track{number % TRACKS}", SESSION_INFO)
        text = re.sub(r"(?m)^( *CarPath):.*$", f"\\1: car{number % CARS}", text)
        records["speed"] = number  # every recording's bytes differ
        (inputs / f"r{number:06d}.ibt").write_bytes(write_ibt(variables, records.tobytes(), session_info=text))


def export(out: Path, *options: str) -> tuple[float, float]:
    """Wall seconds and CPU seconds of the export and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    subprocess.run(["telvane", "export", str(inputs), "--out", str(out), *options], check=True,
                   stdout=subprocess.DEVNULL, cwd=root)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - began, (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)


def main() -> None:
    global inputs
    make_inputs()
    print(f"load average {os.getloadavg()[0]:.2f}; {count:,} recordings of 600 records, {TRACKS} tracks x {CARS} cars")
    out = root / f"out{count}"
    subprocess.run(["rm", "-rf", str(out)], check=True)
    wall, cpu = export(out, "--jobs", "2")
    objects = sum(len(files) for _, _, files in os.walk(out))
    print(f"export --jobs 2: {wall:.1f} s wall, {cpu:.1f} s CPU, {1000 * cpu / count:.2f} ms CPU a file; "
          f"{objects:,} objects written")
    again, _ = export(out, "--jobs", "2")
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

    try:
        import distributed  # noqa: F401
    except ImportError:
        return
    sample = sorted(inputs.iterdir())[:1000]
    subset = root / "dask-in"
    subprocess.run(["rm", "-rf", str(subset)], check=True)
    subset.mkdir()
    for path in sample:
        os.link(path, subset / path.name)
    inputs = subset
    runs: dict[str, list[float]] = {"pool": [], "dask": []}
    for _ in range(3):  # alternated: the machine's load moves between runs
        subprocess.run(["rm", "-rf", str(root / "pool"), str(root / "dask")], check=True)
        runs["pool"].append(export(root / "pool", "--jobs", "2")[1])
        runs["dask"].append(dask_cpu(root / "dask"))
    pool, dask = min(runs["pool"]), min(runs["dask"])
    print(f"{len(sample)} files, minimum of 3 alternated runs: local pool {1000 * pool / len(sample):.2f} ms CPU "
          f"a file, Dask (scheduler, two workers, client) {1000 * dask / len(sample):.2f} ms")
    figures.print_figures([("Dask CPU per file / local pool, export", dask / pool, "<= 1.15")])


def dask_cpu(out: Path) -> float:
    """CPU seconds of an export on a new local cluster of two single-threaded workers: the
    client, the scheduler with its nannies (this process) and the workers; not their start."""
    import distributed
    import psutil

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        processes = [psutil.Process(pid) for pid in [os.getpid(), *(w.pid for w in cluster.workers.values())]]
        before = sum(sum(p.cpu_times()[:2]) for p in processes)
        _, client = export(out, "--scheduler", cluster.scheduler_address)
        return sum(sum(p.cpu_times()[:2]) for p in processes) - before + client


if __name__ == "__main__":  # Dask's worker processes import this module again
    main()

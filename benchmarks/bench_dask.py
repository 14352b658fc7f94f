"""Dask's CPU per file against the local process pool's, exporting N short synthetic
recordings (default 1,000) to a dataset: `telvane export --jobs 2` against `--scheduler` on a
new local cluster of two single-threaded workers (the scheduler, its nannies, the workers
and the client counted; not the cluster's start), the minimum of three alternated runs.

Run with the environment's telvane (with the dask extra) on PATH:
    python benchmarks/bench_dask.py [N] [DIR]
(DIR defaults to /tmp/telvane-archive-bench; the recordings are bench_archive.py's of N.)"""

import os
import shutil
import sys
from pathlib import Path

import figures
import recordings
import timing


def dask_cpu(inputs: Path, out: Path) -> float:
    """CPU seconds of an export on a new local cluster of two single-threaded workers: the
    client, the scheduler with its nannies (this process) and the workers; not their start."""
    import distributed
    import psutil

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        processes = [psutil.Process(pid) for pid in [os.getpid(), *(w.pid for w in cluster.workers.values())]]
        before = sum(sum(p.cpu_times()[:2]) for p in processes)
        _, client = timing.command_seconds(["telvane", "export", str(inputs), "--out", str(out),
                                            "--scheduler", cluster.scheduler_address], out.parent)
        return sum(sum(p.cpu_times()[:2]) for p in processes) - before + client


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000
    root = Path(sys.argv[2] if len(sys.argv) > 2 else "/tmp/telvane-archive-bench")
    inputs = recordings.short_recordings(root / f"in{count}", count)
    runs: dict[str, list[float]] = {"pool": [], "dask": []}
    for _ in range(3):  # alternated: the machine's load moves between runs
        for way in runs:
            shutil.rmtree(root / way, ignore_errors=True)
        pool = ["telvane", "export", str(inputs), "--out", str(root / "pool"), "--jobs", "2"]
        runs["pool"].append(timing.command_seconds(pool, root)[1])
        runs["dask"].append(dask_cpu(inputs, root / "dask"))
    pool_cpu, dask = min(runs["pool"]), min(runs["dask"])
    print(f"load average {os.getloadavg()[0]:.2f}; {count} files, minimum of 3 alternated runs: local pool "
          f"{1000 * pool_cpu / count:.2f} ms CPU a file, Dask (scheduler, two workers, client) "
          f"{1000 * dask / count:.2f} ms")
    figures.print_figures([("Dask CPU per file / local pool, export", dask / pool_cpu, "<= 1.15")])


if __name__ == "__main__":  # Dask's worker processes import this module again
    main()

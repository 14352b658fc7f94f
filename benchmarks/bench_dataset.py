"""A season to a Parquet dataset: 40 synthetic recordings of varied tracks, cars and drivers
plus three bad files, exported with the local process pool and on a Dask LocalCluster; the
dataset's tree, the end of its report and a DuckDB query across it. (The Parquet write
itself is bench_parquet_write.py's, a worker's start bench_worker_start.py's.)

Run with the environment's telvane (with the dask extra) on PATH:
    python benchmarks/bench_dataset.py [DIR]
DIR defaults to /tmp/telvane-dataset-bench; the recordings (about 1.7 GB) are reused."""

from __future__ import annotations

import shutil
import subprocess
import sys
import time
from pathlib import Path

import duckdb
import pyarrow.parquet as pq

import recordings

from telvane import _sample
from telvane._writer import DOUBLE, Var, write_ibt

TRACKS = ["spielberg gp", "monza full", "spa 2022 up", "suzuka grandprix", "okayama full"]
CARS = ["mercedesamggt4", "porsche992cup", "bmwm4gt3", "ferrari296gt3"]
DRIVERS = ["Ana Lima", "Ben Okafor", "Chloé Martin", "Daniel Novák", "Eva Lindqvist"]
EXTRA_CHANNELS = 250  # a real recording has about 270 scalar channels
RECORDINGS = 40


def session_info(number: int) -> str:
    text = _sample.SESSION_INFO
    track = TRACKS[number % len(TRACKS)]
    text = text.replace("TrackName: synthetic raceway", f"TrackName: {track}")
    text = text.replace("TrackDisplayName: Synthetic Raceway", f"TrackDisplayName: {track.title()}")
    text = text.replace("UserName: Sam Synthetic", f"UserName: {DRIVERS[number // len(TRACKS) % len(DRIVERS)]}")
    car = CARS[number % len(CARS)]
    return text.replace("   CarPath: synthgt3\n   CarScreenName: Synthetic GT3",
                        f"   CarPath: {car}\n   CarScreenName: {car}")


def make_inputs(inputs: Path) -> None:
    inputs.mkdir(parents=True)
    for number in range(RECORDINGS):
        data = recordings.padded_sample(2 + number % 5, EXTRA_CHANNELS, session_info(number))
        (inputs / f"rec{number:02d}.ibt").write_bytes(data)
    good = (inputs / "rec00.ibt").read_bytes()
    (inputs / "truncated.ibt").write_bytes(good[:len(good) // 3])
    (inputs / "notes.ibt").write_text("not a recording")
    # SessionTime in the last 7 bytes of a record: the core's internal error when read
    (inputs / "damaged.ibt").write_bytes(write_ibt([Var("SessionTime", DOUBLE, 93, count=0)],
                                                   bytes(100), buf_len=100, session_record_count=1))


def timed_export(args: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(["telvane", "export", *args], check=False, capture_output=True)
    return time.perf_counter() - began


def dask_export(inputs: Path, out: Path) -> tuple[float, float, int]:
    import distributed

    import telvane.dask

    began = time.perf_counter()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        started = time.perf_counter()
        report = telvane.dask.export(sorted(inputs.glob("*.ibt")), out, client=client, timeout=600)
        done = time.perf_counter()
    return started - began, done - started, int((report["status"] == "ok").sum())


def tree(root: Path, depth: int = 4) -> str:
    lines = []
    for path in sorted(root.rglob("*")):
        parts = path.relative_to(root).parts
        if len(parts) <= depth and (path.is_dir() or len(parts) == 1):
            lines.append("  " * (len(parts) - 1) + parts[-1] + ("/" if path.is_dir() else ""))
    return "\n".join(lines)


def main() -> None:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-dataset-bench")
    inputs = root / "in"
    if not inputs.exists():
        make_inputs(inputs)
    sizes = [p.stat().st_size for p in inputs.glob("rec*.ibt")]
    print(f"inputs: {len(sizes)} recordings, {sum(sizes) / 1e9:.2f} GB, "
          f"{len(TRACKS)} tracks, {len(CARS)} cars, {len(DRIVERS)} drivers; 3 bad files")

    for jobs in ("1", "2"):
        out = root / f"pool{jobs}"
        shutil.rmtree(out, ignore_errors=True)
        print(f"telvane export --jobs {jobs}: {timed_export([str(inputs), '--out', str(out), '--jobs', jobs]):.1f} s")
    for jobs in ("1", "2"):
        out = root / f"flat{jobs}"
        shutil.rmtree(out, ignore_errors=True)
        print(f"telvane export --flat --jobs {jobs}: "
              f"{timed_export([str(inputs), '--out', str(out), '--flat', '--jobs', jobs]):.1f} s")
    out = root / "dask"
    shutil.rmtree(out, ignore_errors=True)
    start, seconds, ok = dask_export(inputs, out)
    print(f"telvane.dask.export on a LocalCluster (2 workers x 1 thread): {seconds:.1f} s "
          f"({ok} exported; cluster start {start:.1f} s)")

    dataset_dir = root / "pool2"
    print(f"\nthe dataset ({sum(f.stat().st_size for f in dataset_dir.rglob('*') if f.is_file()) / 1e9:.2f} GB):")
    print(tree(dataset_dir))
    print(pq.read_table(dataset_dir / "_reports").to_pandas()
          .sort_values("source").tail(5).to_string(index=False))
    print("\nbest lap per driver per track:")
    print(duckdb.sql(f"""
        SELECT track, driver, arg_min(car, duration) AS car, min(duration) / 1000 AS best_s,
               count(*) AS full_laps
        FROM read_parquet('{dataset_dir}/laps/**/*.parquet', hive_partitioning = true)
        WHERE lap_type = 'full' GROUP BY track, driver ORDER BY track, best_s, driver"""))


if __name__ == "__main__":
    main()

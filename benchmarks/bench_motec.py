"""`LogFile.to_motec` against `LogFile.to_parquet` on a one-hour recording (216,000 records,
275 scalar channels and the synthetic sample's arrays), and the memory the MoTeC write takes
beyond the recording.

Run with the environment's telvane:  python benchmarks/bench_motec.py [DIR]
(DIR defaults to /tmp/telvane-motec-bench; the recording, about 90 MB, is reused.) Prints
CPU and wall seconds (best of five alternated rounds), the peak of memory allocated while
the MoTeC files are written, and the figures as `label  value  target  ok|MISSED` lines."""
import os
import sys
import time
import tracemalloc
from pathlib import Path

import figures
import numpy as np

import telvane
from telvane import _sample
from telvane._writer import FLOAT, Var, write_ibt

RECORDS, EXTRA = 216_000, 250  # the sample's 25 scalar channels and 250 more
ROUNDS = 5


def make_recording(path: Path) -> None:
    columns = _sample.synthetic_sample_columns(flying_laps=40)
    variables, dtype = _sample._layout()
    base = np.zeros(RECORDS, dtype=dtype)
    for name in dtype.names:
        base[name] = columns[name][:RECORDS]
    pad = [Var(f"Extra{i:03d}", FLOAT, dtype.itemsize + 4 * i, 1, "padding channel", "m") for i in range(EXTRA)]
    noise = np.random.default_rng(1).normal(size=(RECORDS, EXTRA)).astype("<f4")
    values = (columns["Speed"][:RECORDS, None] * (1 + np.arange(EXTRA) / 100) + noise).astype("<f4")
    records = np.concatenate([base.view(np.uint8).reshape(RECORDS, -1), values.view(np.uint8).reshape(RECORDS, -1)],
                             axis=1)
    path.write_bytes(write_ibt(variables + pad, records.tobytes(), session_info=_sample.SESSION_INFO,
                               tick_rate=_sample.TICK_RATE, session_start_date=_sample.SESSION_START_DATE))


def timed(write) -> tuple[float, float]:
    cpu, wall = time.process_time(), time.perf_counter()
    write()
    return time.process_time() - cpu, time.perf_counter() - wall


def main() -> None:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-motec-bench")
    root.mkdir(parents=True, exist_ok=True)
    path = root / "one_hour.ibt"
    if not path.exists():
        make_recording(path)
    with telvane.open(path) as recording:
        log = recording.read(arrays=True)
    print(f"{path}: {len(log):,} records, {len(log.channels)} channels, {len(log.arrays)} arrays, "
          f"{len(log.lap_times())} laps; load {os.getloadavg()[0]:.2f}")
    writes = {"to_parquet": lambda: log.to_parquet(root / "out.parquet"),
              "to_motec": lambda: log.to_motec(root / "out.ld")}
    best = {name: (float("inf"), float("inf")) for name in writes}
    for _ in range(ROUNDS):
        for name, write in writes.items():
            cpu, wall = timed(write)
            best[name] = (min(best[name][0], cpu), min(best[name][1], wall))
    for name, (cpu, wall) in best.items():
        print(f"  {name}: {cpu * 1000:.0f} ms CPU, {wall * 1000:.0f} ms wall")
    sizes = {name: (root / name).stat().st_size for name in ("out.parquet", "out.ld")}
    print(f"  files: {sizes['out.parquet'] / 1e6:.1f} MB Parquet, {sizes['out.ld'] / 1e6:.1f} MB .ld")
    tracemalloc.start()
    log.to_motec(root / "out.ld")
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    channel = len(log) * 8  # one channel as float64, the widest any copy of one is
    print(f"  to_motec allocated at its peak {peak / 1e6:.1f} MB; one float64 channel is {channel / 1e6:.1f} MB, "
          f"the .ld's samples {sizes['out.ld'] / 1e6:.0f} MB")
    print(f"load {os.getloadavg()[0]:.2f}")
    figures.print_figures([
        ("to_motec / to_parquet, CPU", best["to_motec"][0] / best["to_parquet"][0], "<= 1.5"),
        ("to_motec / to_parquet, wall", best["to_motec"][1] / best["to_parquet"][1], "<= 1.5"),
        ("to_motec peak memory, in float64 channels", peak / channel, "<= 8"),
    ])


if __name__ == "__main__":
    main()

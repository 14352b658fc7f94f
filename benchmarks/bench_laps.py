"""Times the racing lap model: lap_times(), lap(0), lap(-1) and sectors() on a recording of
200,000 two-record laps and on nearly an hour of the synthetic sample's driving;
the work grows with the records, not with laps times laps.

Run with the environment's telvane:  python benchmarks/bench_laps.py"""
import time

import numpy as np

import telvane
from telvane import sample
from telvane._writer import DOUBLE, FLOAT, INT, Var, write_ibt


def timed(label, call):
    began = time.perf_counter()
    call()
    print(f"  {label}: {1000 * (time.perf_counter() - began):.1f} ms")


def many_laps(count):
    n = 2 * count
    records = np.zeros(n, np.dtype([("SessionTime", "<f8"), ("Lap", "<i4"), ("LapDistPct", "<f4")]))
    records["SessionTime"] = np.arange(n) / 60
    records["Lap"] = np.arange(n) // 2
    records["LapDistPct"] = np.where(np.arange(n) % 2, 0.995, 0.005)
    variables = [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("LapDistPct", FLOAT, 12)]
    return write_ibt(variables, records.tobytes())


telvane.ibt(many_laps(1)).lap_times()  # pyarrow imports pandas on first use: not timed
for title, data in (("200,000 laps of two records", many_laps(200_000)),
                    ("nearly an hour of driving", sample.synthetic_sample_bytes(flying_laps=36))):
    log = telvane.ibt(data)
    print(f"{title}: {len(log):,} records")
    timed("lap_times()", log.lap_times)
    print(f"    {log.lap_times().num_rows:,} laps")
    timed("lap(0)", lambda: log.lap(0))
    timed("lap(-1)", lambda: log.lap(-1))
    timed("sectors()", log.sectors)

"""Times the racing lap model: lap_times(), lap(0), lap(-1) and sectors() on a recording of
200,000 two-record laps and on nearly an hour of the synthetic sample's driving;
the work grows with the records, not with laps times laps. Then what grew faster before:
sectors of 20,000 laps under 100 sector lines, the time recorded in 100,000 sessions, the
session-info values after 300,000 blank lines; and a read of three channels, whose laps are
worked out only when asked.

Run with the environment's telvane:  python benchmarks/bench_laps.py"""
import time

import numpy as np

import telvane
from telvane import _racing, _sample, _session_info
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
                    ("nearly an hour of driving", _sample.synthetic_sample_bytes(flying_laps=36))):
    log = telvane.ibt(data)
    print(f"{title}: {len(log):,} records")
    timed("lap_times()", log.lap_times)
    print(f"    {log.lap_times().num_rows:,} laps")
    timed("lap(0)", lambda: log.lap(0))
    timed("lap(-1)", lambda: log.lap(-1))
    timed("sectors()", log.sectors)

splits = "SplitTimeInfo:\n Sectors:\n" + "".join(f" - SectorNum: {k}\n   SectorStartPct: {k / 100:.6f}\n"
                                                  for k in range(100))
n = 20_000 * 120  # 20,000 laps of 120 records, each crossing every sector line
records = np.zeros(n, np.dtype([("SessionTime", "<f8"), ("Lap", "<i4"), ("LapDistPct", "<f4")]))
records["SessionTime"], records["Lap"] = np.arange(n) / 60, np.arange(n) // 120
records["LapDistPct"] = (np.arange(n) % 120 + 0.5) / 120
variables = [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("LapDistPct", FLOAT, 12)]
log = telvane.ibt(write_ibt(variables, records.tobytes(), session_info=splits))
log.lap_times()
print("20,000 laps of 120 records, 100 sector lines:")
timed("sectors()", log.sectors)
print(f"    {log.sectors().num_rows:,} sectors")

n = 100_000
records = np.zeros(n, np.dtype([("SessionTime", "<f8"), ("SessionNum", "<i4")]))
records["SessionTime"], records["SessionNum"] = np.arange(n) / 60, np.arange(n)
log = telvane.ibt(write_ibt([Var("SessionTime", DOUBLE, 0), Var("SessionNum", INT, 8)], records.tobytes()))
print("100,000 records, each its own session:")
timed("recorded_time()", lambda: _racing.recorded_time(log.lap_inputs))

text = "\n" * 300_000 + "DriverInfo:\n DriverCarIdx: 0\n Drivers:\n - CarIdx: 0\n   UserName: A\n"
print("session info after 300,000 blank lines:")
timed("player()", lambda: _session_info.player(text))
timed("sector_starts()", lambda: _session_info.sector_starts(text))

data = _sample.synthetic_sample_bytes(flying_laps=36)
best = {False: float("inf"), True: float("inf")}
for _ in range(7):
    for laps_too in (False, True):
        began = time.perf_counter()
        part = telvane.open(data).read(["Speed", "Throttle", "Brake"])
        if laps_too:
            part.lap_times()
        best[laps_too] = min(best[laps_too], time.perf_counter() - began)
print("nearly an hour, min of 7 alternated:")
print(f"  read of 3 channels: {1000 * best[False]:.1f} ms; and lap_times(): {1000 * best[True]:.1f} ms")

"""`telvane export` against a by-hand pyarrow-defaults loop, the recording identity against
the read, and the cost per file of short recordings.

Run with the environment's telvane on PATH:  python benchmarks/bench_export_floor.py [DIR]
(DIR defaults to /tmp/telvane-export-floor; the inputs are reused.) Prints the minimum of
three alternated runs of each (of ten for the identity and the read), the load average, and
the two ratios as `label  value  target  ok|MISSED` lines."""
import os
import subprocess
import sys
import time
from pathlib import Path

import figures
import numpy as np

import telvane
from telvane._convert import recording_id
from telvane._writer import DOUBLE, FLOAT, Var, write_ibt
from telvane.sample import SESSION_INFO

root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-export-floor")
FILES, RECORDS, FLOATS = 8, 60_000, 266  # 8 + 266 * 4 = 1,072 bytes a record
SHORT = 200
BY_HAND = """
import sys, pathlib, telvane, pyarrow.parquet as pq
out = pathlib.Path(sys.argv[2]); out.mkdir(exist_ok=True)
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.ibt")):
    pq.write_table(telvane.ibt(str(path)).to_table(), out / (path.stem + ".parquet"))
"""


def make_inputs() -> None:
    long, short = root / "long", root / "short"
    if long.exists():
        return
    long.mkdir(parents=True)
    short.mkdir()
    variables = [Var("SessionTime", DOUBLE, 0)] + [Var(f"F{i:03d}", FLOAT, 8 + 4 * i) for i in range(FLOATS)]
    rng = np.random.default_rng(1)
    for number in range(FILES):
        records = np.zeros(RECORDS, dtype=[("t", "<f8"), ("f", "<f4", FLOATS)])
        records["t"] = np.arange(RECORDS) / 60
        records["f"] = np.cumsum(rng.normal(size=(RECORDS, FLOATS)), axis=0, dtype=np.float32)
        (long / f"r{number}.ibt").write_bytes(write_ibt(variables, records.tobytes(), session_info=SESSION_INFO,
                                                        tick_rate=60))
    small = np.zeros(2, dtype=[("t", "<f8"), ("f", "<f4", FLOATS)])
    for number in range(SHORT):
        small["t"] = [number, number + 1 / 60]
        (short / f"s{number:03d}.ibt").write_bytes(write_ibt(variables, small.tobytes(), session_info=SESSION_INFO))


def timed(command: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, cwd=root)
    return time.perf_counter() - began


def cpu(function) -> float:
    began = time.process_time()
    function()
    return time.process_time() - began


make_inputs()
print(f"load average {os.getloadavg()[0]:.2f}")
runs: dict[str, list[float]] = {"export": [], "by hand": [], "short export": []}
for attempt in range(3):
    out = root / f"out{attempt}"
    runs["export"].append(timed(["telvane", "export", str(root / "long"), "--out", str(out / "ds"), "--jobs", "1"]))
    runs["by hand"].append(timed([sys.executable, "-c", BY_HAND, str(root / "long"), str(out / "hand")]))
    runs["short export"].append(timed(["telvane", "export", str(root / "short"), "--out", str(out / "short"),
                                       "--jobs", "1"]))
    subprocess.run(["rm", "-rf", str(out)], check=True)
export, by_hand = min(runs["export"]), min(runs["by hand"])
print(f"{FILES} files of {RECORDS:,} records x 1,072 B: export --jobs 1 {export:.2f} s, "
      f"by-hand pyarrow defaults {by_hand:.2f} s")
print(f"{SHORT} short files: export --jobs 1 {min(runs['short export']):.2f} s, "
      f"{1000 * min(runs['short export']) / SHORT:.1f} ms a file")
one = root / "long" / "r0.ibt"
costs: dict[str, list[float]] = {"identity": [], "read": []}
for _ in range(10):
    costs["identity"].append(cpu(lambda: recording_id(one)))
    costs["read"].append(cpu(lambda: telvane.open(str(one)).read(laps=False)))
identity, read = min(costs["identity"]), min(costs["read"])
print(f"one file of {one.stat().st_size / 1e6:.0f} MB: identity (BLAKE3) {1000 * identity:.1f} ms CPU, "
      f"read {1000 * read:.1f} ms CPU")
figures.print_figures([("export / by-hand loop, --jobs 1", export / by_hand, "<= 0.35"),
                       ("recording identity / read, CPU", identity / read, "<= 1.0")])

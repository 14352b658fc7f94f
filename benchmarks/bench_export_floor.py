"""`telvane export` against by-hand loops (pyarrow defaults, polars) in time and size, the
same files exported as a season is (default `--jobs`) against the polars loop's throughput,
`LogFile.to_parquet` of the real recording against polars' `write_parquet`, the recording
identity against the read, and the cost per file of short recordings.

Run with the environment's telvane (and polars) on PATH:  python benchmarks/bench_export_floor.py [DIR]
(DIR defaults to /tmp/telvane-export-floor; the inputs are reused.) Prints the median of
nine alternated runs of each (of 41 for to_parquet, the minimum of ten for the identity and
the read), the load average before and after, the ratios (each the median of the rounds'
own ratios) as `label  value  target ok|MISSED` lines and their anchors as
`label  value  (what it is)` lines."""
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import figures
import numpy as np

import telvane
from telvane.dataset._convert import recording_id
from telvane._writer import DOUBLE, FLOAT, INT, Var, write_ibt
from telvane._sample import SESSION_INFO

root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-export-floor")
# 8 + (256 + 10) * 4 = 1,072 bytes a record; with timecodes, 268 columns
FILES, RECORDS, FLOATS, INTS = 8, 60_000, 256, 10
SHORT = 200
ROUNDS = 9
SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "samples" / "redbullring_amg.ibt"
BY_HAND = """
import sys, pathlib, telvane, pyarrow.parquet as pq
out = pathlib.Path(sys.argv[2]); out.mkdir(exist_ok=True)
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.ibt")):
    pq.write_table(telvane.ibt(str(path)).to_table(), out / (path.stem + ".parquet"))
"""
POLARS = """
import sys, pathlib, telvane, polars as pl
out = pathlib.Path(sys.argv[2]); out.mkdir(exist_ok=True)
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.ibt")):
    pl.DataFrame(telvane.ibt(str(path))).write_parquet(out / (path.stem + ".parquet"))
"""


def make_inputs() -> None:
    long, short = root / "long", root / "short"
    if (root / "made").exists():
        return
    subprocess.run(["rm", "-rf", str(long), str(short)], check=True)
    long.mkdir(parents=True)
    short.mkdir()
    variables = ([Var("SessionTime", DOUBLE, 0)] + [Var(f"F{i:03d}", FLOAT, 8 + 4 * i) for i in range(FLOATS)]
                 + [Var(f"I{i:02d}", INT, 8 + 4 * (FLOATS + i)) for i in range(INTS)])
    layout = [("t", "<f8"), ("f", "<f4", FLOATS), ("i", "<i4", INTS)]
    rng = np.random.default_rng(1)
    for number in range(FILES):
        records = np.zeros(RECORDS, dtype=layout)
        records["t"] = np.arange(RECORDS) / 60
        records["f"] = np.cumsum(rng.normal(size=(RECORDS, FLOATS)), axis=0, dtype=np.float32)
        records["i"] = np.cumsum(rng.random((RECORDS, INTS)) < 0.001, axis=0) % 8  # gears, counters
        (long / f"r{number}.ibt").write_bytes(write_ibt(variables, records.tobytes(), session_info=SESSION_INFO,
                                                        tick_rate=60))
    small = np.zeros(2, dtype=layout)
    for number in range(SHORT):
        small["t"] = [number, number + 1 / 60]
        (short / f"s{number:03d}.ibt").write_bytes(write_ibt(variables, small.tobytes(), session_info=SESSION_INFO))
    (root / "made").touch()


def timed(command: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, cwd=root)
    return time.perf_counter() - began


def size(directory: Path) -> int:
    return sum(path.stat().st_size for path in directory.rglob("*.parquet"))


def ratio(times: dict[str, list[float]], ours: str, theirs: str) -> float:
    """The median over the rounds of each round's ratio: the runs of one round, seconds
    apart, share a load that the rounds do not."""
    return statistics.median(a / b for a, b in zip(times[ours], times[theirs]))


def to_parquet_ratio(rounds: int = 41) -> tuple[float, float, float, float]:
    """Medians of `rounds` alternated writes of the real recording, in ms: to_parquet,
    polars' write_parquet of the same LogFile; the median of their ratios; and the ratio of
    their files' sizes."""
    import polars as pl

    log = telvane.ibt(str(SAMPLE))
    ours, theirs = root / "sample.parquet", root / "sample-polars.parquet"
    times: dict[str, list[float]] = {"telvane": [], "polars": []}
    for _ in range(rounds):
        times["telvane"].append(wall(lambda: log.to_parquet(ours)))
        times["polars"].append(wall(lambda: pl.DataFrame(log).write_parquet(theirs)))
    return (1000 * statistics.median(times["telvane"]), 1000 * statistics.median(times["polars"]),
            ratio(times, "telvane", "polars"), ours.stat().st_size / theirs.stat().st_size)


def wall(function) -> float:
    began = time.perf_counter()
    function()
    return time.perf_counter() - began


def cpu(function) -> float:
    began = time.process_time()
    function()
    return time.process_time() - began


make_inputs()
print(f"load average {os.getloadavg()[0]:.2f}")
began = os.getloadavg()[0]
runs: dict[str, list[float]] = {"export": [], "by hand": [], "polars": [], "season": [], "short export": []}
sizes: dict[str, int] = {}
commands = {"export": ["telvane", "export", str(root / "long"), "--out", "{out}", "--jobs", "1"],
            "by hand": [sys.executable, "-c", BY_HAND, str(root / "long"), "{out}"],
            "polars": [sys.executable, "-c", POLARS, str(root / "long"), "{out}"],
            "season": ["telvane", "export", str(root / "long"), "--out", "{out}"],
            "short export": ["telvane", "export", str(root / "short"), "--out", "{out}", "--jobs", "1"]}
out = root / "out"
for _ in range(ROUNDS):
    for key, command in commands.items():
        runs[key].append(timed([str(out) if word == "{out}" else word for word in command]))
        if key in ("export", "polars"):
            sizes[key] = size(out / "channels" if key == "export" else out)
        # each run begins with no other run's pages left to write back
        subprocess.run(["rm", "-rf", str(out)], check=True)
export, by_hand, by_polars, season = (statistics.median(runs[key]) for key in ("export", "by hand", "polars", "season"))

print(f"{FILES} files of {RECORDS:,} records x 1,072 B: export --jobs 1 {export:.2f} s, "
      f"default --jobs {season:.2f} s, by-hand pyarrow defaults {by_hand:.2f} s, by-hand polars "
      f"{by_polars:.2f} s; channels files {sizes['export'] / 1e6:.0f} MB, polars' {sizes['polars'] / 1e6:.0f} MB")
print(f"{SHORT} short files: export --jobs 1 {statistics.median(runs['short export']):.2f} s, "
      f"{1000 * statistics.median(runs['short export']) / SHORT:.1f} ms a file")
ours, theirs, to_parquet, sample_size = to_parquet_ratio()
print(f"real recording: to_parquet {ours:.1f} ms, polars write_parquet {theirs:.1f} ms, file {sample_size:.2f}x polars'")
one = root / "long" / "r0.ibt"
costs: dict[str, list[float]] = {"identity": [], "read": []}
for _ in range(10):
    costs["identity"].append(cpu(lambda: recording_id(one)))
    costs["read"].append(cpu(lambda: telvane.open(str(one)).read(laps=False)))
identity, read = min(costs["identity"]), min(costs["read"])
print(f"one file of {one.stat().st_size / 1e6:.0f} MB: identity (BLAKE3) {1000 * identity:.1f} ms CPU, "
      f"read {1000 * read:.1f} ms CPU")
print(f"load average {os.getloadavg()[0]:.2f}")
figures.print_figures([("export / by-hand loop, --jobs 1", ratio(runs, "export", "by hand"), "<= 0.35"),
                       ("export / polars loop, --jobs 1", ratio(runs, "export", "polars"), "<= 1.0"),
                       ("export size / polars loop's", sizes["export"] / sizes["polars"], "<= 0.9"),
                       ("season export / polars loop, throughput", ratio(runs, "polars", "season"), ">= 1.0"),
                       ("to_parquet / polars write_parquet, real", to_parquet, "<= 1.2"),
                       ("recording identity / read, CPU", identity / read, "<= 1.0")])
figures.print_shown([(f"polars loop, {FILES} files, s", by_polars, "anchor of the export figures"),
                     ("polars write_parquet, real, ms", theirs, "anchor of to_parquet"),
                     ("read, one file, CPU ms", 1000 * read, "anchor of the identity"),
                     ("load average, start", began, "1 minute"),
                     ("load average, end", os.getloadavg()[0], "1 minute")])

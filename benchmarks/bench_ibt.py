"""How fast telvane.ibt converts a recording, against a floor and two other ways of reading it.

Generates realistic recordings once into a cache directory (reused on later runs), then on a
warm page cache measures, median of --reps repetitions:

- telvane.ibt(path) end to end, and its parts: the core's parse, time base, channel gather,
  laps and unmapping from bench_core.cpp (built here with CMake from benchmarks/CMakeLists.txt),
  the hand-over to pyarrow and the tail (laps, metadata, LogFile) from the progress callback's
  timestamps;
- the floor: one copy of the record area into fresh anonymous memory advised to use huge pages;
- the baseline a user writes by hand: numpy strided views over np.memmap, each copied, plus
  the timecodes;
- pyirsdk's IBT reader (in its own virtualenv), per record on a small file, extrapolated;
- the first call in fresh processes: its time, peak and held anonymous memory, peak resident.

Usage: python benchmarks/bench_ibt.py [--reps 7] [--dir /tmp/telvane-bench] [--skip-highrate]
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import telvane
from telvane._writer import (BITFIELD, BOOL, CHAR, DOUBLE, ELEMENT_SIZE, FLOAT, HEADER_SIZE, INT, SUB_HEADER_SIZE,
                             VAR_HEADER_SIZE, NUMPY_TYPE, Var, write_ibt)

BENCHMARKS = Path(__file__).resolve().parent
RATE = 60
GENERATION = 2  # bump when the generated content changes, so cached files are rebuilt
CHUNK_BYTES = 16 << 20
FRESH_PROCESSES = 3  # first calls are one per process: their figures are medians over this many
PYIRSDK_PYTHON = BENCHMARKS.parent / ".venv-bench" / "bin" / "python"  # see README.md


# ---------------------------------------------------------------------------------------------
# Recordings


@dataclass(frozen=True)
class Layout:
    vars: list[Var]
    buf_len: int


@dataclass(frozen=True)
class Recording:
    name: str
    layout: str  # "hour" or "highrate"
    records: int


HOUR = Recording("hour", "hour", 216_000)
HIGHRATE = Recording("highrate", "highrate", 216_000)
SMALL = Recording("small", "hour", 600)
HIGHRATE_SMALL = Recording("highrate-small", "highrate", 600)  # pyirsdk's sample of HIGHRATE

# The variables every recording starts with, named as the simulator names them.
NAMED = [
    ("SessionTime", DOUBLE, "s", "Seconds since session start"),
    ("SessionTick", INT, "", "Current update number"),
    ("SessionNum", INT, "", "Session number"),
    ("SessionState", INT, "irsdk_SessionState", "Session state"),
    ("SessionFlags", BITFIELD, "irsdk_Flags", "Session flags"),
    ("SessionTimeRemain", DOUBLE, "s", "Seconds left till session ends"),
    ("IsOnTrack", BOOL, "", "1=Car on track physics running with player in car"),
    ("PlayerCarInPitStall", BOOL, "", "Players car is properly in their pitstall"),
    ("OnPitRoad", BOOL, "", "Is the player car on pit road between the cones"),
    ("SteeringWheelAngle", FLOAT, "rad", "Steering wheel angle"),
    ("Throttle", FLOAT, "%", "0=off throttle to 1=full throttle"),
    ("Brake", FLOAT, "%", "0=brake released to 1=max pedal force"),
    ("Gear", INT, "", "-1=reverse  0=neutral  1..n=current gear"),
    ("RPM", FLOAT, "revs/min", "Engine rpm"),
    ("Lap", INT, "", "Laps started count"),
    ("LapCompleted", INT, "", "Laps completed count"),
    ("LapDist", FLOAT, "m", "Meters traveled from S/F this lap"),
    ("LapDistPct", FLOAT, "%", "Percentage distance around lap"),
    ("Speed", FLOAT, "m/s", "GPS vehicle speed"),
    ("Lat", DOUBLE, "deg", "Latitude in decimal degrees"),
    ("Lon", DOUBLE, "deg", "Longitude in decimal degrees"),
    ("EngineWarnings", BITFIELD, "irsdk_EngineWarnings", "Bitfield for warning lights"),
    ("DisplayUnits", CHAR, "", "Default units for the user interface"),
]
CORNERS = ("LF", "RF", "LR", "RR")
CORNER_CHANNELS = [("tempL", "C"), ("tempM", "C"), ("tempR", "C"), ("tempCL", "C"), ("tempCM", "C"),
                   ("tempCR", "C"), ("wearL", "%"), ("wearM", "%"), ("wearR", "%"), ("pressure", "kPa"),
                   ("coldPressure", "kPa"), ("speed", "m/s"), ("brakeLinePress", "bar"),
                   ("shockDefl", "m"), ("shockVel", "m/s"), ("rideHeight", "m")]
SCALAR_MIX = {  # scalars per type, the named ones included
    "hour": {DOUBLE: 6, FLOAT: 190, INT: 48, BITFIELD: 4, BOOL: 24, CHAR: 3},
    "highrate": {DOUBLE: 20, FLOAT: 200, INT: 36, BITFIELD: 4, BOOL: 25, CHAR: 3},
}
TYPE_NAME = {CHAR: "Char", BOOL: "Bool", INT: "Int", BITFIELD: "BitField", FLOAT: "Float", DOUBLE: "Double"}


def _arrays(layout: str) -> list[tuple[str, int, int, str, str]]:
    """Array variables: the hour layout has one, six 360 Hz sub-samples of steering torque per
    record; the high-rate layout adds more of those and the 64-car arrays that dominate it."""
    arrays = [("SteeringWheelTorque_ST", FLOAT, 6, "N*m", "Output torque on steering shaft at 360 Hz")]
    if layout == "highrate":
        arrays += [(f"{c}shockVel_ST", FLOAT, 6, "m/s", f"{c} shock velocity at 360 Hz") for c in CORNERS]
        arrays += [(f"CarIdxF{k:02d}", FLOAT, 64, "", "Per car value by car index") for k in range(16)]
        arrays += [(f"CarIdxI{k:02d}", INT, 64, "", "Per car integer by car index") for k in range(10)]
        arrays += [("CarIdxOnPitRoad", BOOL, 64, "", "On pit road between the cones by car index")]
    return arrays


def layout_of(layout: str) -> Layout:
    """The variables in file order, packed back to back without alignment as the simulator does."""
    rng = np.random.default_rng(7)
    named = list(NAMED)
    named += [(f"{c}{s}", FLOAT, u, f"{c} {s}") for c in CORNERS for s, u in CORNER_CHANNELS]
    left = dict(SCALAR_MIX[layout])
    for _, code, _, _ in named:
        left[code] -= 1
    generic = [(f"Aux{TYPE_NAME[code]}{k:03d}", code, "", f"Auxiliary {TYPE_NAME[code].lower()} {k}")
               for code, count in left.items() for k in range(count)]
    rest = [(name, code, 1, unit, desc) for name, code, unit, desc in generic] + _arrays(layout)
    rest = [rest[i] for i in rng.permutation(len(rest))]
    declared = [(name, code, 1, unit, desc) for name, code, unit, desc in named] + rest
    vars, offset = [], 0
    for name, code, count, unit, desc in declared:
        vars.append(Var(name, code, offset, count, desc, unit))
        offset += ELEMENT_SIZE[code] * count
    buf_len = {"hour": 1072, "highrate": 8154}[layout]
    assert offset <= buf_len, (layout, offset)
    return Layout(vars, buf_len)


def drive_plan(n: int) -> dict[str, np.ndarray]:
    """Lap, LapDistPct, OnPitRoad, session number and SessionTime of every record: an out lap
    from the pits, a pit stop, an in lap, a session restart to Lap 0, and a final lap cut short."""
    per_lap = max(n / 40, 4.0)
    # (session, lap value, start fraction, pit-box stop in laps, starts on pit road, ends there)
    laps = [(0, 0, 0.03, 0.10, True, False)] + [(0, k, 0.0, 0.0, False, False) for k in range(1, 8)]
    laps += [(0, 8, 0.0, 0.0, False, True), (0, 9, 0.0, 0.35, True, False)]
    laps += [(0, k, 0.0, 0.0, False, False) for k in range(10, 15)]
    laps += [(0, 15, 0.0, 0.0, False, True), (1, 0, 0.03, 0.2, True, False)]
    laps += [(1, k, 0.0, 0.0, False, False) for k in range(1, 40)]
    parts: dict[str, list[np.ndarray]] = {"lap": [], "pct": [], "pit": [], "session": []}
    total = 0
    for session, value, start, stop, pit_start, pit_end in laps:
        moving = np.linspace(start, 1.0, max(int((1.0 - start) * per_lap), 2), endpoint=False)
        pct = np.concatenate([moving[moving < 0.03], np.full(int(stop * per_lap), 0.03), moving[moving >= 0.03]])
        pit = (pct < 0.08) & pit_start | (pct >= 0.93) & pit_end
        for key, part in zip(parts, (np.full(len(pct), value), pct, pit, np.full(len(pct), session))):
            parts[key].append(part)
        total += len(pct)
        if total >= n:
            break
    plan = {key: np.concatenate(part)[:n] for key, part in parts.items()}
    plan["lap"] = plan["lap"].astype(np.int32)
    plan["pct"] = plan["pct"].astype(np.float32)
    restart = int(np.searchsorted(plan["session"], 1))
    ticks = np.arange(n, dtype=np.int64)
    ticks[restart:] -= restart - 180  # the new session's clock starts again 3 s in
    plan["time"] = (ticks + 720) / RATE
    return plan


def _signals(layout: Layout, plan: dict[str, np.ndarray], first: int, count: int) -> Iterator[tuple[Var, np.ndarray]]:
    """Every variable's values for records [first, first + count), computed column-wise."""
    part = {key: values[first:first + count] for key, values in plan.items()}
    index = np.arange(first, first + count)
    t = index / RATE
    pct, pit = part["pct"].astype(np.float64), part["pit"]
    wave = np.sin(2 * np.pi * 9 * pct)
    speed = np.where(pit, 22.0, 48.0 + 22.0 * wave)
    named = {
        "SessionTime": part["time"], "SessionTick": index + 43_200, "SessionNum": part["session"],
        "SessionState": np.full(count, 4), "SessionFlags": np.full(count, 0x10040000),
        "SessionTimeRemain": 3600.0 - part["time"], "IsOnTrack": np.ones(count, bool),
        "PlayerCarInPitStall": pit & (part["pct"] == np.float32(0.03)), "OnPitRoad": pit,
        "SteeringWheelAngle": 0.8 * np.cos(2 * np.pi * 9 * pct), "Throttle": np.clip(wave + 0.6, 0, 1),
        "Brake": np.clip(-wave - 0.6, 0, 1), "Gear": np.clip(speed // 12, 1, 6), "RPM": 4000 + 55 * speed,
        "Lap": part["lap"], "LapCompleted": np.maximum(part["lap"] - 1, 0), "LapDist": pct * 4318.0,
        "LapDistPct": part["pct"], "Speed": speed, "Lat": 47.2203 + 0.005 * np.cos(2 * np.pi * pct),
        "Lon": 14.7667 + 0.007 * np.sin(2 * np.pi * pct), "EngineWarnings": np.where(pit, 0x10, 0),
        "DisplayUnits": np.ones(count),
    }
    for k, var in enumerate(layout.vars):
        if var.name in named:
            yield var, named[var.name]
        elif var.count > 1:
            cars = (part["pct"][:, None] + np.linspace(0, 1, var.count, endpoint=False, dtype=np.float32)) % 1
            yield var, cars * (k % 5 + 1) if var.type in (FLOAT, DOUBLE) else cars > 0.5
        elif var.type in (FLOAT, DOUBLE):
            yield var, (k % 7 + 1) * np.sin(2 * np.pi * (0.01 + k / 997) * t + k) + k
        elif var.type == BOOL:
            yield var, (index // (60 + k)) % 3 == 0
        else:
            yield var, (index // (30 + k)) % (k % 50 + 2)


def write_recording(path: Path, recording: Recording) -> None:
    layout = layout_of(recording.layout)
    plan = drive_plan(recording.records)
    n = recording.records
    header = write_ibt(layout.vars, b"", session_info=session_info(), buf_len=layout.buf_len,
                       session_record_count=n, tick_rate=RATE, session_start_date=1_713_182_400,
                       start_time=float(plan["time"][0]), end_time=float(plan["time"][-1]),
                       lap_count=len(np.unique(plan["lap"])))
    step = max(1, CHUNK_BYTES // layout.buf_len)
    partial = path.with_suffix(".part")
    with open(partial, "wb") as out:
        out.write(header)
        for first in range(0, n, step):
            count = min(step, n - first)
            block = np.zeros((count, layout.buf_len), np.uint8)
            for var, values in _signals(layout, plan, first, count):
                width = ELEMENT_SIZE[var.type] * var.count
                column = block[:, var.offset:var.offset + width].view(NUMPY_TYPE[var.type])
                column[:] = values.reshape(count, -1)
            out.write(block.data)
    os.replace(partial, path)


def session_info() -> str:
    drivers = "".join(
        f" - CarIdx: {k}\n   UserName: Driver {k:02d}\n   AbbrevName: D{k:02d}\n   CarNumber: \"{k + 1}\"\n"
        f"   CarScreenName: Mercedes-AMG GT3 2020\n   CarClassShortName: GT3\n   IRating: {1500 + 37 * k}\n"
        f"   LicString: A 3.{k % 10}{k % 7}\n   CarDesignStr: 1,ff0000,00ff00,0000ff\n" for k in range(24))
    return ("---\nWeekendInfo:\n TrackName: spielberg gp\n TrackID: 403\n TrackLength: 4.28 km\n"
            " TrackDisplayName: Red Bull Ring\n TrackCity: Spielberg\n TrackCountry: Austria\n"
            " SeriesID: 0\n SeasonID: 0\n SessionID: 0\n SubSessionID: 0\n EventType: Test\n"
            "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Practice\n"
            " - SessionNum: 1\n   SessionType: Race\n"
            f"DriverInfo:\n DriverCarIdx: 0\n Drivers:\n{drivers}...\n")


MIXED_RECORDS = 60 * RATE  # a minute


def mixed_channels(number: int, *, bool_flag: bool = True, track: str | None = None) -> bytes:
    """A minute at 60 Hz of one of three channel sets by `number` (50, 60 or 70 random-walk
    floats), `Flag` bool in the second set when `bool_flag` and char otherwise: the mix of a
    league's archive. `track` replaces the sample's track name."""
    from telvane.sample import SESSION_INFO

    kind = number % 3
    floats = 50 + 10 * kind
    variables = [Var("SessionTime", DOUBLE, 0), Var("Flag", BOOL if kind == 1 and bool_flag else CHAR, 8)]
    variables += [Var(f"F{i:02d}", FLOAT, 12 + 4 * i) for i in range(floats)]
    records = np.zeros(MIXED_RECORDS, dtype=[("t", "<f8"), ("flag", "u1"), ("pad", "u1", 3), ("f", "<f4", floats)])
    records["t"] = np.arange(MIXED_RECORDS) / RATE
    records["flag"] = np.arange(MIXED_RECORDS) % 2
    records["f"] = np.cumsum(np.random.default_rng(number).normal(size=(MIXED_RECORDS, floats)), axis=0)
    info = SESSION_INFO if track is None else SESSION_INFO.replace("TrackName: synthetic raceway",
                                                                    f"TrackName: {track}")
    return write_ibt(variables, records.tobytes(), session_info=info, tick_rate=RATE)


def recording_path(directory: Path, recording: Recording) -> Path:
    return directory / f"{recording.name}-g{GENERATION}.ibt"


def expected_size(recording: Recording) -> int:
    layout = layout_of(recording.layout)
    headers = HEADER_SIZE + SUB_HEADER_SIZE + VAR_HEADER_SIZE * len(layout.vars) + len(session_info().encode())
    return headers + layout.buf_len * recording.records


def ensure_recording(directory: Path, recording: Recording) -> Path:
    path = recording_path(directory, recording)
    directory.mkdir(parents=True, exist_ok=True)
    if not path.is_file() or path.stat().st_size != expected_size(recording):
        started = time.perf_counter()
        write_recording(path, recording)
        print(f"generated {path} ({path.stat().st_size / 1e6:,.1f} MB) in {time.perf_counter() - started:.1f} s",
              file=sys.stderr)
    return path


# ---------------------------------------------------------------------------------------------
# Measurements: a run reports named figures in seconds; the medians go into the table

VAR_HEADER = np.dtype([("type", "<i4"), ("offset", "<i4"), ("count", "<i4"), ("flags", "V4"),
                       ("name", "S32"), ("desc", "S64"), ("unit", "S32")])


def read_header(buffer: bytes | np.ndarray) -> tuple[int, int, int]:
    """buf_len, buf_offset and record count from the first 144 bytes of an IBT file."""
    head = np.frombuffer(buffer, "<i4", 36)
    return int(head[9]), int(head[13]), int(head[35])


def read_var_headers(buffer: np.ndarray) -> np.ndarray:
    """The variable headers of an IBT file's bytes as a structured array."""
    head = np.frombuffer(buffer, "<i4", 8)
    return np.frombuffer(buffer, VAR_HEADER, head[6], head[7])


Run = Callable[[], dict[str, float]]


def interleaved_medians(runs: list[Run], reps: int) -> dict[str, float]:
    """Calls every run once per round, one untimed round first, and gives the median of each
    figure the runs report. Rounds interleave the ways of reading, so that load from other
    work on the machine falls on all of them alike and their ratios hold."""
    samples: dict[str, list[float]] = {}
    for repetition in range(reps + 1):
        for run in runs:
            gc.collect()
            for key, seconds in run().items():
                if repetition > 0:
                    samples.setdefault(key, []).append(seconds)
    return {key: statistics.median(values) for key, values in samples.items()}


def timed(name: str, call: Callable[[], object]) -> Run:
    """A run reporting the wall time of `call` as `name`; its result is dropped untimed."""
    def run() -> dict[str, float]:
        start = time.perf_counter()
        result = call()
        seconds = time.perf_counter() - start
        del result
        return {name: seconds}
    return run


def warm_page_cache(path: Path) -> None:
    with open(path, "rb", buffering=0) as source:
        chunk = bytearray(CHUNK_BYTES)
        while source.readinto(chunk):
            pass


def floor_copy(path: Path) -> mmap.mmap:
    """The record area copied once into fresh private anonymous memory with huge pages advised."""
    with open(path, "rb") as source, mmap.mmap(source.fileno(), 0, access=mmap.ACCESS_READ) as file:
        buf_len, buf_offset, records = read_header(file[:144])
        length = buf_len * records
        # Private, not Python's default shared mapping: shared anonymous memory is shmem,
        # which ignores MADV_HUGEPAGE unless shmem huge pages are enabled system-wide.
        copy = mmap.mmap(-1, max(length, 1), flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        copy.madvise(mmap.MADV_HUGEPAGE)
        with memoryview(file) as source_view, memoryview(copy) as copy_view:
            copy_view[:length] = source_view[buf_offset:buf_offset + length]
    return copy


def numpy_baseline(path: Path) -> tuple[dict[str, np.ndarray], np.ndarray]:
    """What a user writes by hand: a strided view per scalar variable, each copied out."""
    data = np.memmap(path, np.uint8, "r")
    buf_len, buf_offset, records = read_header(data)
    vars = read_var_headers(data)
    columns = {}
    for var in vars[vars["count"] == 1]:
        view = np.ndarray((records,), NUMPY_TYPE[int(var["type"])], data, buf_offset + int(var["offset"]), (buf_len,))
        columns[var["name"].decode()] = view.copy()
    timecodes = np.round(columns["SessionTime"] * 1000).astype(np.int64)
    return columns, timecodes


def telvane_parts(path: Path) -> dict[str, float]:
    """One call split at its progress reports, which come after each channel's hand-over: what
    precedes the first hand-over (parse, time base, gather), the hand-over of all channels
    (extrapolated from the n - 1 between the first and the last report), and the tail (laps,
    metadata, LogFile)."""
    stamps: list[float] = []
    start = time.perf_counter()
    result = telvane.ibt(str(path), lambda k, n: stamps.append(time.perf_counter()))
    end = time.perf_counter()
    del result
    each = (stamps[-1] - stamps[0]) / max(len(stamps) - 1, 1)
    return {"before hand-over": stamps[0] - start - each, "hand-over": each * len(stamps), "tail": end - stamps[-1]}


PYIRSDK_RUN = r"""
import json, statistics, sys, time
import irsdk

def read_all(path):
    ibt = irsdk.IBT()
    ibt.open(path)
    # pyirsdk exposes no element count: its variable headers tell the scalars apart
    columns = {var.name: ibt.get_all(var.name) for var in ibt._var_headers if var.count == 1}
    ibt.close()
    return columns

path, reps = sys.argv[1], int(sys.argv[2])
times = []
for _ in range(reps):  # no warm-up: pure Python over a warm page cache has nothing to warm
    start = time.perf_counter()
    read_all(path)
    times.append(time.perf_counter() - start)
print(json.dumps(statistics.median(times)))
"""


def pyirsdk_seconds(python: Path, path: Path, reps: int) -> float | None:
    """pyirsdk reading every scalar of `path`, run in the benchmark's own virtualenv."""
    if not python.exists():
        print(f"{python} missing: no pyirsdk rows (see benchmarks/README.md)", file=sys.stderr)
        return None
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([str(python), "-c", PYIRSDK_RUN, str(path), str(reps)],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        print(f"pyirsdk run failed:\n{done.stderr}", file=sys.stderr)
        return None
    return json.loads(done.stdout)


def pyirsdk_version(python: Path) -> str:
    done = subprocess.run([str(python), "-c", "from importlib.metadata import version; print(version('pyirsdk'))"],
                          capture_output=True, text=True)
    return done.stdout.strip() or "(not installed)"


def core_parts(directory: Path, path: Path, reps: int) -> dict[str, float] | None:
    """Map + parse, time base, channel gather, laps, unmapping, release of the columns and the
    floor, timed in C++ without Python by bench_core.cpp: medians over FRESH_PROCESSES runs."""
    binary = build_core_bench(directory)
    if binary is None:
        return None
    runs = []
    for _ in range(FRESH_PROCESSES):
        done = subprocess.run([str(binary), str(path), str(reps)], capture_output=True, text=True)
        if done.returncode != 0:
            print(f"bench_core failed:\n{done.stderr}", file=sys.stderr)
            return None
        runs.append(json.loads(done.stdout))
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def build_core_bench(directory: Path, target: str = "telvane_bench_core") -> Path | None:
    build = directory / "build-core"
    steps = [["cmake", "-S", str(BENCHMARKS), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
              f"-DPython_EXECUTABLE={sys.executable}"],
             ["cmake", "--build", str(build), "--target", target, "-j", "2"]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            print(f"no {target}: {' '.join(step[:2])} failed:\n{done.stdout[-2000:]}{done.stderr[-2000:]}",
                  file=sys.stderr)
            return None
    return build / target


# ---------------------------------------------------------------------------------------------
# The first call in a fresh process: its time and memory


def proc_status(pid: int | str = "self") -> dict[str, int]:
    """The memory lines of /proc/PID/status, in bytes."""
    status = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        if value.endswith(" kB"):
            status[key] = int(value[:-3]) * 1024
    return status


def output_bytes(tables: list) -> int:
    """Bytes of all column buffers, each shared buffer (the timecodes) counted once."""
    sizes: dict[int, int] = {}
    for table in tables:
        for column in table.columns:
            for chunk in column.chunks:
                for buffer in chunk.buffers():
                    if buffer is not None:
                        sizes[buffer.address] = max(sizes.get(buffer.address, 0), buffer.size)
    return sum(sizes.values())


def memory_child(path: str) -> None:
    """Runs in the fresh process: reports its anonymous memory, waits for the parent's sampler,
    converts once and reports what the call cost while the result is still held."""
    import pyarrow  # noqa: F401  (loaded before the baseline, as a user's program would have it)
    print(json.dumps({"anon": proc_status()["RssAnon"]}), flush=True)
    sys.stdin.readline()
    Path("/proc/self/clear_refs").write_text("5")  # restart VmHWM from the current resident size
    before = proc_status()
    start = time.perf_counter()
    result = telvane.ibt(path)
    seconds = time.perf_counter() - start
    after = proc_status()
    print(json.dumps({"fresh": seconds, "anon_held": after["RssAnon"] - before["RssAnon"],
                      "resident_peak": after["VmHWM"] - before["VmRSS"],
                      "output": output_bytes([*result.channels.values(), result.laps])}), flush=True)


def telvane_fresh(path: Path) -> dict[str, float]:
    """Medians of telvane_memory over FRESH_PROCESSES new processes."""
    runs = [telvane_memory(path) for _ in range(FRESH_PROCESSES)]
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def telvane_memory(path: Path) -> dict[str, float]:
    """A fresh process's report, plus its peak anonymous growth sampled from here: the call
    holds the interpreter lock throughout, so no thread inside that process could sample it."""
    child = subprocess.Popen([sys.executable, __file__, "--memory-child", str(path)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdin is not None and child.stdout is not None
    anon_before = json.loads(child.stdout.readline())["anon"]
    peak, stop = [anon_before], threading.Event()

    def sample() -> None:
        while not stop.is_set():
            peak[0] = max(peak[0], proc_status(child.pid).get("RssAnon", 0))
            time.sleep(0.0002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    child.stdin.write("go\n")
    child.stdin.flush()
    report = json.loads(child.stdout.readline())
    stop.set()
    sampler.join()
    child.wait()
    report["anon_peak"] = max(peak[0] - anon_before, report["anon_held"])
    return report


# ---------------------------------------------------------------------------------------------
# One run over the recordings, and the table


def measure(recording: Recording, path: Path, sample: tuple[Recording, Path], args: argparse.Namespace) -> dict[str, float]:
    """Every figure for one recording, in seconds or bytes."""
    print(f"measuring {recording.name} ...", file=sys.stderr)
    warm_page_cache(path)
    runs = [timed("floor", lambda: floor_copy(path)), timed("numpy", lambda: numpy_baseline(path)),
            timed("telvane", lambda: telvane.ibt(str(path))), lambda: telvane_parts(path)]
    figures = interleaved_medians(runs, args.reps)
    figures.update(telvane_fresh(path))
    if not args.no_core:
        figures.update({f"core {key}": value for key, value in (core_parts(args.dir, path, args.reps) or {}).items()})
    sample_recording, sample_path = (recording, path) if args.pyirsdk_full else sample
    pyirsdk = pyirsdk_seconds(args.pyirsdk_python, sample_path, 1 if args.pyirsdk_full else args.reps)
    if pyirsdk is not None:
        figures["pyirsdk"] = pyirsdk * recording.records / sample_recording.records
    return figures


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.1f} ms" if seconds >= 0.01 else f"{seconds * 1e3:.2f} ms"


def mb(size: float) -> str:
    return f"{size / 1e6:,.1f} MB"


def ratio(value: float) -> str:
    return f"{value:,.0f}×" if value >= 100 else f"{value:.2f}×"


def derived(f: dict[str, float]) -> dict[str, float]:
    """Ratios of the measured figures, where both sides exist."""
    out = {}
    pairs = {"telvane / floor": ("telvane", "floor"), "fresh / first floor": ("fresh", "core first floor"),
             "numpy / telvane": ("numpy", "telvane"), "pyirsdk / telvane": ("pyirsdk", "telvane"),
             "peak anon / output": ("anon_peak", "output")}
    for name, (top, bottom) in pairs.items():
        if top in f and bottom in f:
            out[name] = f[top] / f[bottom]
    return out


# (label, key, formatter, target text, test of the hour figure or None); a key may name a
# measured figure or one of derived()
ROWS = [
    ("telvane.ibt(path), end to end", "telvane", ms, "", None),
    ("  first call in a fresh process", "fresh", ms, "", None),
    ("  map + parse (core)", "core parse", ms, "", None),
    ("  time base (core)", "core timecodes", ms, "", None),
    ("  channel gather (core)", "core channels", ms, "", None),
    ("  channel gather, first round (core)", "core first channels", ms, "", None),
    ("  laps (core)", "core laps", ms, "", None),
    ("  unmapping the file (core)", "core unmap", ms, "", None),
    ("  release of the channel columns (core)", "core release", ms, "", None),
    ("  before 1st hand-over (progress)", "before hand-over", ms, "", None),
    ("  hand-over to pyarrow, all channels", "hand-over", ms, "< 10 ms", lambda v: v < 0.010),
    ("  laps, metadata, LogFile, unmap (tail)", "tail", ms, "", None),
    ("floor: area copied to fresh huge pages", "floor", ms, "", None),
    ("  the same copy in C++ (core)", "core floor", ms, "", None),
    ("  the same copy in C++, first round (core)", "core first floor", ms, "", None),
    ("numpy strided views, copied", "numpy", ms, "", None),
    ("pyirsdk IBT get_all per scalar", "pyirsdk", ms, "", None),
    ("telvane / floor", "telvane / floor", ratio, "<= 2.0× (1.5×)", lambda v: v <= 2.0),
    ("  both first in a fresh process", "fresh / first floor", ratio, "", None),
    ("numpy / telvane", "numpy / telvane", ratio, ">= 5×", lambda v: v >= 5),
    ("pyirsdk / telvane", "pyirsdk / telvane", ratio, ">= 100×", lambda v: v >= 100),
    ("output columns (shared buffers once)", "output", mb, "", None),
    ("peak anonymous growth (sampled)", "anon_peak", mb, "", None),
    ("peak anon / output", "peak anon / output", ratio, "<= 1.1×", lambda v: v <= 1.1),
    ("anonymous held with the result", "anon_held", mb, "", None),
    ("peak resident growth (VmHWM)", "resident_peak", mb, "", None),
]


def print_table(recordings: list[Recording], figures: dict[str, dict[str, float]], reps: int, notes: list[str]) -> None:
    names = [r.name for r in recordings]
    cells = {name: {**figures[name], **derived(figures[name])} for name in names}
    print(machine_line())
    print(f"median of {reps} repetitions after one warm-up, warm page cache; (core) = bench_core.cpp without "
          "Python; first round = the first in a fresh process")
    for recording in recordings:
        layout = layout_of(recording.layout)
        scalars = sum(v.count == 1 for v in layout.vars)
        print(f"  {recording.name:9} {recording.records:>9,} records × {layout.buf_len:,} B, {len(layout.vars)} vars "
              f"({scalars} scalars), record area {mb(recording.records * layout.buf_len)}")
    widths = [max(len(row[0]) for row in ROWS) + 2] + [12] * len(names) + [22]
    head = ["", *names, "target (hour)"]
    print("".join(text.rjust(w) if i else text.ljust(w) for i, (text, w) in enumerate(zip(head, widths))))
    for label, key, fmt, target, test in ROWS:
        row = [fmt(cells[n][key]) if key in cells[n] else "-" for n in names]
        hour = cells.get("hour", {}).get(key)
        verdict = "" if test is None or hour is None else (" ok" if test(hour) else " MISSED")
        print(label.ljust(widths[0]) + "".join(c.rjust(w) for c, w in zip(row, widths[1:])) + f"  {target}{verdict}")
    if "small" in cells and "telvane" in cells["small"]:
        small = cells["small"]["telvane"]
        print(f"small recording end to end: {ms(small)}, target < 5 ms: {'ok' if small < 0.005 else 'MISSED'}")
    for note in notes:
        print(note)


def machine_line() -> str:
    import pyarrow
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.machine())
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text().strip()
    return (f"{cpu}, {os.cpu_count()} cpus, Linux {platform.release()}, THP {thp}; Python {platform.python_version()}, "
            f"numpy {np.__version__}, pyarrow {pyarrow.__version__}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=7, help="timed repetitions per figure (default 7)")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/telvane-bench"), help="cache of recordings and builds")
    parser.add_argument("--skip-highrate", action="store_true", help="leave out the 1.76 GB high-rate recording")
    parser.add_argument("--no-core", action="store_true", help="do not build and run bench_core")
    parser.add_argument("--pyirsdk-full", action="store_true", help="run pyirsdk once on each full recording "
                        "instead of scaling from a small one (about 15 s per recording)")
    parser.add_argument("--pyirsdk-python", type=Path, default=PYIRSDK_PYTHON, help="interpreter with pyirsdk")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.memory_child)
    args.dir.mkdir(parents=True, exist_ok=True)
    runs = [(HOUR, SMALL)] + ([] if args.skip_highrate else [(HIGHRATE, HIGHRATE_SMALL)]) + [(SMALL, SMALL)]
    figures = {}
    for recording, sample in runs:
        path, sample_path = ensure_recording(args.dir, recording), ensure_recording(args.dir, sample)
        figures[recording.name] = measure(recording, path, (sample, sample_path), args)
    pyirsdk = f"pyirsdk {pyirsdk_version(args.pyirsdk_python)}: " + (
        "run once on each recording" if args.pyirsdk_full else
        f"measured on {SMALL.records} records of the same layout, scaled by the record count")
    print_table([recording for recording, _ in runs], figures, args.reps, [pyirsdk])


if __name__ == "__main__":
    main()

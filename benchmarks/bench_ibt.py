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
import json
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import telvane

from peers import PYIRSDK_PYTHON, floor_copy, numpy_baseline, pyirsdk_seconds, pyirsdk_version
from recordings import HIGHRATE, HIGHRATE_SMALL, HOUR, SMALL, Recording, ensure_recording, layout_of
from timing import build_core_bench, interleaved_medians, machine_line, timed, warm_page_cache

FRESH_PROCESSES = 3  # first calls are one per process: their figures are medians over this many


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
    """A fresh process's report, plus its peak anonymous growth sampled from here: a thread
    sampling inside that process would take the call's cores and its interpreter lock."""
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

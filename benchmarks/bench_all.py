"""Every speed figure telvane holds itself to, as one table of ratios with the machine's load
beside each: commands on one short recording (bench_commands.py) and what they import
(bench_imports.py), both run here, reads against the copy floor (bench_open.py; short
recordings here, with peers.py's floor and numpy reader), two threads against one
(bench_threads.py), an hour's read against the one- and two-thread copies (bench_hour.py),
the export against by-hand loops (bench_export_floor.py), `LogFile.to_parquet` against
polars (bench_to_parquet.py), the recording identity against the read (bench_identity.py),
and with --setup the README's first command on empty caches.

Each script runs whole, its own output kept under --log; a figure is a line of it in the
form `label  value  target  ok|MISSED`, or `label  value  (what it shows)` for a figure shown
beside them without a target, such as what the machine itself allows. The load average is the 1-minute one when the script
started and ended.

Usage: python benchmarks/bench_all.py [--setup] [--skip short,open,threads,hour,export,to_parquet,identity]
                                      [--log DIR]
Run with the environment's telvane (and the dask extra) on PATH; bench_open.py needs the
recordings of recordings.py, which it generates once.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import bench_commands
import bench_imports
import figures
import peers
import recordings

import telvane

HERE = Path(__file__).resolve().parent
CHECK = re.compile(r"^\s*(?P<label>\S.*?)\s{2,}(?P<value>-?[\d.]+)\s{2,}(?P<target>[<>]=? ?[\d.]+)\s+(?P<verdict>ok|MISSED)\s*$")
# A figure printed for context, without a target: `label  value  (what it shows)`.
SHOWN = re.compile(r"^(?P<label>\S.*?)\s{2,}(?P<value>-?[\d.]+)\s{2,}\(.*\)\s*$")
SETUP = "python3 -m venv .venv && .venv/bin/pip install '.[all]' && .venv/bin/telvane demo"

Row = tuple[str, float, str, bool, str, str]  # figure, value, target, met, load, source


def load() -> str:
    return f"{os.getloadavg()[0]:.1f}"


def script_rows(name: str, log: Path) -> list[Row]:
    """The figures a benchmark script prints, its whole output written to the log."""
    began = load()
    done = subprocess.run([sys.executable, str(HERE / name)], capture_output=True, text=True)
    loads = f"{began}-{load()}"
    (log / f"{Path(name).stem}.txt").write_text(done.stdout + done.stderr)
    if done.returncode != 0:
        return [(f"{name} failed (see {log})", float("nan"), "", False, loads, name)]
    rows = []
    for line in done.stdout.splitlines():
        if match := CHECK.match(line):
            rows.append((match["label"], float(match["value"]), match["target"],
                         match["verdict"] == "ok", loads, name))
        elif match := SHOWN.match(line):
            rows.append((match["label"], float(match["value"]), "", False, loads, name))
    return rows


def in_process_rows(name: str, checks: Callable[[], list[tuple[str, float, str, bool]]], log: Path) -> list[Row]:
    """The figures of a benchmark's `checks` run here, what it prints written to the log too."""
    began = load()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        found = checks()
    (log / f"{name}.txt").write_text(out.getvalue())
    print(out.getvalue(), end="")
    loads = f"{began}-{load()}"
    return [(label, value, target, ok, loads, f"{name}.py") for label, value, target, ok in found]


def short_rows(rounds: int = 40) -> list[Row]:
    """Reads of short recordings against the copy floor and the numpy reader: process CPU,
    minimum over `rounds` alternated rounds."""
    minute = recordings.Recording("minute", "hour", 3_600)
    rows: list[Row] = []
    for name, path in (("real sample", recordings.REAL_SAMPLE),
                       ("1-minute synthetic", recordings.ensure_recording(Path(tempfile.gettempdir(), "telvane-bench"), minute))):
        began = load()
        ways = {"floor": lambda: peers.floor_copy(path), "read": lambda: telvane.open(str(path)).read(),
                "numpy": lambda: peers.numpy_baseline(path), "ibt": lambda: telvane.ibt(str(path))}
        best = dict.fromkeys(ways, float("inf"))
        for _ in range(rounds + 1):
            for way, call in ways.items():
                start = time.process_time()
                call()
                best[way] = min(best[way], time.process_time() - start)
        loads = f"{began}-{load()}"
        for figure, value, target in ((f"open().read() / floor, {name}, CPU", best["read"] / best["floor"], "<= 1.5"),
                                      (f"open().read() / numpy reader, {name}, CPU", best["read"] / best["numpy"], "<= 1.0"),
                                      (f"ibt / floor, {name}, CPU", best["ibt"] / best["floor"], "<= 2.0")):
            rows.append((figure, value, target, figures.met(value, target), loads, "bench_all.py"))
    return rows


def setup_rows() -> list[Row]:
    """The README's first command in a copy of the checkout, pip's and telvane's caches empty."""
    with tempfile.TemporaryDirectory() as scratch:
        source = Path(scratch, "src")
        archive = subprocess.run(["git", "-C", str(HERE.parent), "archive", "HEAD"], check=True,
                                 capture_output=True).stdout
        source.mkdir()
        subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
        env = {**os.environ, "PIP_NO_CACHE_DIR": "1", "XDG_CACHE_HOME": str(Path(scratch, "cache"))}
        env.pop("VIRTUAL_ENV", None)
        began, before = load(), resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(["sh", "-c", SETUP], cwd=source, env=env, check=True,
                       capture_output=True)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        shutil.rmtree(source, ignore_errors=True)
    loads = f"{began}-{load()}"
    return [("first command on empty caches, wall s", wall, "<= 75", wall <= 75, loads, "setup"),
            ("first command on empty caches, CPU s", cpu, "<= 90", cpu <= 90, loads, "setup")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--setup", action="store_true", help="also time the README's first command (minutes)")
    parser.add_argument("--skip", default="", help="comma-separated: short, open, threads, hour, export, to_parquet, identity")
    parser.add_argument("--log", type=Path, default=Path(tempfile.gettempdir(), "telvane-bench-all"),
                        help="where each script's whole output goes")
    args = parser.parse_args()
    args.log.mkdir(parents=True, exist_ok=True)
    skip = set(filter(None, args.skip.split(",")))
    rows = in_process_rows("bench_commands", lambda: bench_commands.checks(recordings.REAL_SAMPLE, 15), args.log)
    rows += in_process_rows("bench_imports", lambda: bench_imports.checks(recordings.REAL_SAMPLE), args.log)
    if "short" not in skip:
        rows += short_rows()
    for key, script in (("open", "bench_open.py"), ("threads", "bench_threads.py"), ("hour", "bench_hour.py"),
                        ("export", "bench_export_floor.py"), ("to_parquet", "bench_to_parquet.py"),
                        ("identity", "bench_identity.py")):
        if key not in skip:
            rows += script_rows(script, args.log)
    if args.setup:
        rows += setup_rows()
    width = max(len(row[0]) for row in rows) + 2
    print(f"{os.cpu_count()} cpus; load: the 1-minute load average at the start and end of each script")
    print(f"{'figure':{width}}{'value':>9}  {'target':9}{'':7}{'load':>10}  source")
    for figure, value, target, ok, loads, source in rows:
        print(f"{figure:{width}}{value:>9.2f}  {target:9}{('ok' if ok else 'MISSED') if target else 'shown':7}{loads:>10}  {source}")
    print(f"outputs of the scripts in {args.log}")


if __name__ == "__main__":
    main()

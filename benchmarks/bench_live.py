"""What reading live telemetry costs: a writer process rotating the buffers of a file laid out
as live memory at 60 Hz, 300 variables (scalars of every type and 64-car CarIdx arrays), and
this process reading it four ways, its CPU time (all its threads) as a share of one core over
the wall time:

- waiting alone: `wait()` in a loop, what an overlay idle between records pays;
- every record taken whole (the consistent read of `batches()` without the Arrow batches);
- every record as a batch each tick (`batches()`), of 5 columns and of all 300 variables.

The ways take turns a second at a time, in a new order each round, --seconds rounds: load
from other work on the machine falls on all of them alike. Each turn connects anew and is
timed from its first record on: what a connection does once (its decoder, the schema and
the first block of rows imported by pyarrow) is no cost of reading at 60 Hz; each figure is the median of its
rounds, printed with the machine's 1-minute load average over them. (The build of one batch
is bench_live_batch.py's.)

Usage: python benchmarks/bench_live.py [--seconds 5]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import struct
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import figures
from recordings import LIVE_COLUMNS, live_variables, record_length

import telvane.live as live
from telvane._live_writer import LiveWriter
from telvane._writer import var_header

TURN = 1.0  # seconds of one way of reading, before the next takes its turn


def write(path: str, seconds: float, ready: multiprocessing.Event) -> None:
    found = live_variables()
    length = record_length(found)
    with LiveWriter(path, [var_header(var) for var in found], length, b"---\n") as out:
        out.write(bytes(length))
        ready.set()
        start = time.monotonic()
        tick = 0
        while time.monotonic() - start < seconds:
            tick += 1
            time.sleep(max(0.0, start + tick / 60 - time.monotonic()))
            out.write(struct.pack("<d", tick / 60) + bytes(length - 8))


def cpu_shares(path: str, rounds: int, ways: dict[str, Callable[[live.Live, float], int]]
               ) -> tuple[dict[str, float], dict[str, tuple[int, int]], list[float]]:
    """The median share of one core each way of reading used over `rounds` turns of a second;
    records taken and missed by each; the 1-minute load at every turn."""
    ready = multiprocessing.Event()
    writer = multiprocessing.Process(target=write, args=(path, rounds * len(ways) * TURN + 2, ready))
    writer.start()
    ready.wait()
    shares: dict[str, list[float]] = {name: [] for name in ways}
    counts = dict.fromkeys(ways, (0, 0))
    loads = []
    names = list(ways)
    for turn in range(rounds):
        for name in names[turn % len(names):] + names[:turn % len(names)]:
            with live.connect(path) as memory:
                ways[name](memory, 0)  # what a connection does once (the decoder, the first record) left out
                wall, cpu = time.monotonic(), time.process_time()
                taken = ways[name](memory, TURN)
                shares[name].append((time.process_time() - cpu) / (time.monotonic() - wall))
                counts[name] = (counts[name][0] + taken, counts[name][1] + memory.missed)
            loads.append(os.getloadavg()[0])
    writer.join()
    return {name: statistics.median(values) for name, values in shares.items()}, counts, loads


def waiting(memory: live.Live, seconds: float) -> int:
    end, count = time.monotonic() + seconds, 0
    while time.monotonic() < end:
        count += memory.wait(1)
    return count


def records(memory: live.Live, seconds: float) -> int:
    end, count = time.monotonic() + seconds, 0
    for taken in memory._records():
        count += len(taken)
        if time.monotonic() >= end:
            break
    return count


def batches_of(columns: list[str] | None):
    def read(memory: live.Live, seconds: float) -> int:
        end, count = time.monotonic() + seconds, 0
        for batch in memory.batches(columns):
            count += batch.num_rows
            if time.monotonic() >= end:
                break
        return count

    return read


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=5, help="rounds of a second each way")
    args = parser.parse_args()
    path = str(Path(tempfile.mkdtemp(prefix="telvane-live-")) / "live.mem")
    ways = {"waiting at 60 Hz, % of a core": (waiting, "< 5"),
            "records taken at 60 Hz, % of a core": (records, "< 2"),
            "5-column batches at 60 Hz, % of a core": (batches_of(LIVE_COLUMNS), "< 2"),
            "300-variable batches at 60 Hz, % of a core": (batches_of(None), "< 2")}
    shares, counts, loads = cpu_shares(path, args.seconds, {name: read for name, (read, _) in ways.items()})
    for name, (taken, missed) in counts.items():
        print(f"{name}: {taken} records, {missed} missed")
    figures.print_figures([(name, shares[name] * 100, target) for name, (_, target) in ways.items()])
    print(f"{'load average, 1 min, while measured':44}{statistics.median(loads):>10.2f}  "
          f"(median of the turns; {min(loads):.2f} to {max(loads):.2f}, {os.cpu_count()} cores)")


if __name__ == "__main__":
    main()

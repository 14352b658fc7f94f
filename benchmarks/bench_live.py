"""What reading live telemetry costs: a writer process rotating the buffers of a file laid out
as live memory at 60 Hz, 300 variables (scalars of every type and 64-car CarIdx arrays), and
this process reading it for --seconds seconds each way, its CPU time (all its threads) as a
share of one core over the wall time:

- waiting alone: `wait()` in a loop, what an overlay idle between records pays;
- every record taken whole (the consistent read of `batches()` without the Arrow batches);
- every record as a one-row batch of 5 columns, and of all 300 variables.

Then the Arrow batch of the last second's records (60) for 5 columns, min and median over
--rounds builds, in milliseconds.

Usage: python benchmarks/bench_live.py [--seconds 5] [--rounds 200]
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import struct
import tempfile
import time
from pathlib import Path

import figures

import telvane.live as live
from telvane._live_batch import decoder_of
from telvane._live_writer import LiveWriter
from telvane._writer import BOOL, DOUBLE, ELEMENT_SIZE, FLOAT, INT, Var, var_header

CARS = 64
COLUMNS = ["Speed_0", "RPM_1", "Gear_2", "CarIdxLapDistPct_0", "SessionTime"]


def variables() -> list[Var]:
    """SessionTime, 290 scalars and 9 CarIdx arrays: 300 variables."""
    found, offset = [Var("SessionTime", DOUBLE, 0)], 8
    names = ["Speed", "RPM", "Gear", "OnPitRoad", "LapDist"]
    kinds = [FLOAT, FLOAT, INT, BOOL, DOUBLE]
    for i in range(290):
        kind = kinds[i % len(kinds)]
        found.append(Var(f"{names[i % len(names)]}_{i}", kind, offset))
        offset += ELEMENT_SIZE[kind]
    for i in range(9):
        found.append(Var(f"CarIdxLapDistPct_{i}", FLOAT, offset, count=CARS))
        offset += 4 * CARS
    return found


def buf_len(found: list[Var]) -> int:
    return max(var.offset + ELEMENT_SIZE[var.type] * var.count for var in found)


def write(path: str, seconds: float, ready: multiprocessing.Event) -> None:
    found = variables()
    length = buf_len(found)
    with LiveWriter(path, [var_header(var) for var in found], length, b"---\n") as out:
        out.write(bytes(length))
        ready.set()
        start = time.monotonic()
        tick = 0
        while time.monotonic() - start < seconds:
            tick += 1
            time.sleep(max(0.0, start + tick / 60 - time.monotonic()))
            out.write(struct.pack("<d", tick / 60) + bytes(length - 8))


def cpu_share(path: str, seconds: float, read) -> tuple[float, int, int]:
    """Share of one core this process used reading for `seconds`, records taken, missed."""
    ready = multiprocessing.Event()
    writer = multiprocessing.Process(target=write, args=(path, seconds + 0.5, ready))
    writer.start()
    ready.wait()
    with live.connect(path) as memory:
        wall, cpu = time.monotonic(), time.process_time()
        taken = read(memory, seconds)
        share = (time.process_time() - cpu) / (time.monotonic() - wall)
        missed = memory.missed
    writer.join()
    return share, taken, missed


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


def batch_of_a_second(path: str, rounds: int) -> tuple[float, float]:
    found = variables()
    length = buf_len(found)
    with LiveWriter(path, [var_header(var) for var in found], length, b"---\n") as out:
        out.write(bytes(length))
        with live.connect(path) as memory:
            decode = decoder_of(memory._memory.layout(), COLUMNS)
            second = [(tick, bytes(length)) for tick in range(60)]
            times = []
            for _ in range(rounds):
                start = time.perf_counter()
                decode(second)
                times.append(time.perf_counter() - start)
    return min(times) * 1e3, statistics.median(times) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=200)
    args = parser.parse_args()
    path = str(Path(tempfile.mkdtemp(prefix="telvane-live-")) / "live.mem")
    rows = []
    for label, read, target in [("waiting at 60 Hz, % of a core", waiting, "< 5"),
                                ("records taken at 60 Hz, % of a core", records, "< 2"),
                                ("5-column batches at 60 Hz, % of a core", batches_of(COLUMNS), "< 2"),
                                ("300-variable batches at 60 Hz, % of a core", batches_of(None), "< 2")]:
        share, taken, missed = cpu_share(path, args.seconds, read)
        print(f"{label}: {taken} records, {missed} missed")
        rows.append((label, share * 100, target))
    least, median = batch_of_a_second(path, args.rounds)
    rows += [("batch of the last second, 5 columns, ms (min)", least, "< 1"),
             ("batch of the last second, 5 columns, ms (median)", median, "< 1")]
    figures.print_figures(rows)


if __name__ == "__main__":
    main()

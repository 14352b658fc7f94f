"""What building one Arrow batch of live records costs: the last second's records (60) of
live telemetry memory of 300 variables, decoded into a batch of 5 columns, min and median
over --rounds builds, in ms.

Usage: python benchmarks/bench_live_batch.py [--rounds 200]
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import figures
from recordings import LIVE_COLUMNS, live_variables, record_length

import telvane.live as live
from telvane._live_batch import decoder_of
from telvane._live_writer import LiveWriter
from telvane._writer import var_header


def batch_of_a_second(path: str, rounds: int) -> tuple[float, float]:
    found = live_variables()
    length = record_length(found)
    with LiveWriter(path, [var_header(var) for var in found], length, b"---\n") as out:
        out.write(bytes(length))
        with live.connect(path) as memory:
            decode = decoder_of(memory._memory.layout(), LIVE_COLUMNS)
            ticks, second = list(range(60)), bytes(60 * length)
            times = []
            for _ in range(rounds):
                start = time.perf_counter()
                decode(ticks, second)
                times.append(time.perf_counter() - start)
    return min(times) * 1e3, statistics.median(times) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=200)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="telvane-live-") as scratch:
        least, median = batch_of_a_second(str(Path(scratch, "live.mem")), args.rounds)
    figures.print_figures([("batch of the last second, 5 columns, ms (min)", least, "< 1"),
                           ("batch of the last second, 5 columns, ms (median)", median, "< 1")])


if __name__ == "__main__":
    main()

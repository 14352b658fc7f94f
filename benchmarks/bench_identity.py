"""A recording's identity (BLAKE3 over every byte) against reading the same file, in CPU
time: one of the export's wide recordings.

Run with the environment's telvane:  python benchmarks/bench_identity.py [DIR]
(DIR defaults to /tmp/telvane-export-floor; the inputs are reused.) Prints the minimum of
ten alternated runs of each, the load average before and after, the ratio as a
`label  value  target ok|MISSED` line and its anchor as a `label  value  (what it is)` line."""
import os
import sys
import time
from pathlib import Path

import figures
import recordings

import telvane
from telvane.dataset._convert import recording_id

root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-export-floor")
ROUNDS = 10


def cpu(function) -> float:
    began = time.process_time()
    function()
    return time.process_time() - began


one = recordings.wide_recordings(root / "long") / "r0.ibt"
print(f"load average {os.getloadavg()[0]:.2f}")
began = os.getloadavg()[0]
costs: dict[str, list[float]] = {"identity": [], "read": []}
for _ in range(ROUNDS):
    costs["identity"].append(cpu(lambda: recording_id(one)))
    costs["read"].append(cpu(lambda: telvane.open(str(one)).read(laps=False)))
identity, read = min(costs["identity"]), min(costs["read"])
print(f"one file of {one.stat().st_size / 1e6:.0f} MB: identity (BLAKE3) {1000 * identity:.1f} ms CPU, "
      f"read {1000 * read:.1f} ms CPU")
print(f"load average {os.getloadavg()[0]:.2f}")
figures.print_figures([("recording identity / read, CPU", identity / read, "<= 1.0")])
figures.print_shown([("read, one file, CPU ms", 1000 * read, "anchor of the identity"),
                     ("load average, start", began, "1 minute"),
                     ("load average, end", os.getloadavg()[0], "1 minute")])

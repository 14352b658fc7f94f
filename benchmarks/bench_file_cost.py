"""What `telvane export --jobs 1` costs a file: 200 recordings of the export's wide layout,
two records each, so that nearly all the time is the work done per file.

Run with the environment's telvane on PATH:  python benchmarks/bench_file_cost.py [DIR]
(DIR defaults to /tmp/telvane-export-floor; the inputs are reused.) Prints the median wall
time of nine runs and the time a file, with the load average before and after."""
import os
import statistics
import subprocess
import sys
from pathlib import Path

import recordings
import timing

root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-export-floor")
ROUNDS = 9

inputs = recordings.wide_short_recordings(root / "short")
print(f"load average {os.getloadavg()[0]:.2f}")
out = root / "out-short"
runs = []
for _ in range(ROUNDS):
    runs.append(timing.command_seconds(["telvane", "export", str(inputs), "--out", str(out), "--jobs", "1"], root)[0])
    subprocess.run(["rm", "-rf", str(out)], check=True)
seconds = statistics.median(runs)
print(f"{recordings.WIDE_SHORT} short files: export --jobs 1 {seconds:.2f} s, "
      f"{1000 * seconds / recordings.WIDE_SHORT:.1f} ms a file")
print(f"load average {os.getloadavg()[0]:.2f}")

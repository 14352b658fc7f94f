"""Times `telvane export` of 20 generated recordings with --jobs 1 and --jobs 2.

Run with the environment's telvane on PATH:  python benchmarks/bench_export.py [DIR]
(DIR defaults to /tmp/telvane-export-bench; the recordings, 77 MB each, are reused.)"""
import subprocess
import sys
import time
from pathlib import Path
import numpy as np
from telvane import _sample
from telvane._writer import FLOAT, Var, write_ibt

root = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/telvane-export-bench")
inputs = root / "in"
if not inputs.exists():
    inputs.mkdir(parents=True)
    columns = _sample.synthetic_sample_columns(flying_laps=8)
    variables, dtype = _sample._layout()
    n = len(columns["SessionTime"])
    base = np.zeros(n, dtype=dtype)
    for name in dtype.names:
        base[name] = columns[name]
    # pad to a real recording's width: 250 more float channels
    extra = 250
    offset = dtype.itemsize
    pad = [Var(f"Extra{i:03d}", FLOAT, offset + 4 * i, 1, "padding channel", "") for i in range(extra)]
    values = (columns["Speed"][:, None] * (1 + np.arange(extra) / 100)).astype("<f4")
    records = np.concatenate([base.view(np.uint8).reshape(n, -1), values.view(np.uint8).reshape(n, -1)], axis=1)
    data = write_ibt(variables + pad, records.tobytes(), session_info=_sample.SESSION_INFO, tick_rate=60)
    for i in range(20):
        (inputs / f"rec{i:02d}.ibt").write_bytes(data)
    print(f"20 recordings of {n} records, {len(variables) - 3 + extra} scalar channels, {len(data) / 1e6:.0f} MB each")
for jobs in (1, 2, 1, 2):
    out = root / f"out{jobs}"
    began = time.perf_counter()
    subprocess.run(["telvane", "export", str(inputs), "--out", str(out), "--jobs", str(jobs)],
                   check=True, stdout=subprocess.PIPE)
    print(f"--jobs {jobs}: {time.perf_counter() - began:.2f} s")

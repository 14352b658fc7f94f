"""The cost of starting and stopping one worker process of `telvane export`, which --jobs by
default weighs against the conversion it would share: the process's start, its import of
telvane.dataset (what a worker loads before its first file) and its stop.

Run with the environment's telvane:  python benchmarks/bench_worker_start.py"""

from __future__ import annotations

import time

from telvane._cli import pool


def _noop(progress: object = None) -> None:
    import telvane.dataset  # noqa: F401  (what a worker imports before its first file)


def main() -> None:
    began = time.perf_counter()
    list(pool.run(_noop, [()], 1, lambda *a: None, lambda *a: None))
    print(f"one worker process started and stopped: {time.perf_counter() - began:.2f} s")


if __name__ == "__main__":
    main()

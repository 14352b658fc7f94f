"""`telvane export`: recordings to Parquet or CSV files, in worker processes."""

from __future__ import annotations

import argparse
import functools
import os
import signal
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

from telvane.cli.common import CommandError, names, positive, read_recording, write_atomically
from telvane.cli.progress import ProgressBar

_progress_queue: Any = None  # set in export worker processes
_stop_event: Any = None


def add_commands(commands: argparse._SubParsersAction) -> None:
    export = commands.add_parser(
        "export", help="convert recordings to Parquet or CSV",
        description="Convert recordings, one output file per input, in parallel processes. "
                    "A directory stands for the .ibt files in it.")
    export.add_argument("files", metavar="FILE", nargs="+")
    export.add_argument("--out", metavar="DIR", required=True, type=Path,
                        help="directory for the outputs (created if missing)")
    export.add_argument("--format", choices=("parquet", "csv"), default="parquet")
    export.add_argument("--channels", metavar="A,B,...", type=names,
                        help="only these channels (default: all)")
    export.add_argument("--jobs", metavar="N", type=positive,
                        help="worker processes (default: one per core)")
    export.set_defaults(command=export_command)


def export_command(args: argparse.Namespace) -> int:
    sources = _export_sources(args.files)
    suffix = "." + args.format
    targets = [args.out / (Path(source).stem + suffix) for source in sources]
    clashes = sorted({str(t) for t in targets if targets.count(t) > 1})
    if clashes:
        raise CommandError(f"several inputs would be written to {clashes[0]}")
    args.out.mkdir(parents=True, exist_ok=True)
    jobs = min(args.jobs or os.cpu_count() or 1, len(sources))
    bar = ProgressBar(len(sources), enabled=sys.stderr.isatty())
    began = time.perf_counter()
    tasks = [(str(s), str(t), args.format, args.channels) for s, t in zip(sources, targets)]
    failed = 0
    try:
        for index, error in _run_exports(tasks, jobs, bar):
            bar.clear()
            if error is None:
                print(f"wrote {tasks[index][1]}")
            else:
                failed += 1
                print(f"telvane: {error}", file=sys.stderr)
            bar.finish_file(index)
    finally:
        bar.clear()
    seconds = time.perf_counter() - began
    print(f"exported {len(sources) - failed} of {len(sources)} files to {args.out} "
          f"in {seconds:.1f} s" + (f", {failed} failed" if failed else ""))
    return 1 if failed else 0


def _export_sources(names: Sequence[str]) -> list[Path]:
    sources: list[Path] = []
    for name in map(Path, names):
        if name.is_dir():
            sources += sorted(p for p in name.iterdir() if p.suffix.lower() == ".ibt")
        else:
            sources.append(name)
    if not sources:
        raise CommandError(f"no .ibt files in {', '.join(names)}")
    return sources


def _run_exports(tasks: list[tuple[str, str, str, list[str] | None]], jobs: int,
                 bar: ProgressBar) -> Iterator[tuple[int, str | None]]:
    """Yield (task index, error text or None) as the exports finish."""
    if jobs == 1:
        for index, task in enumerate(tasks):
            yield index, export_one(*task, progress=functools.partial(bar.update, index))
        return
    import concurrent.futures as futures
    import multiprocessing
    import queue

    # Workers start fresh (spawn): forking a process that runs Arrow's threads is unsafe.
    # They ignore Ctrl-C, which would break in on the pool's own pipes and locks: on Ctrl-C
    # the parent lets them finish the files they are writing and start no other.
    context = multiprocessing.get_context("spawn")
    progress, stop = context.Queue(), context.Event()
    with futures.ProcessPoolExecutor(jobs, mp_context=context, initializer=_init_worker,
                                     initargs=(progress, stop)) as pool:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)  # workers spawn in submit
        try:
            pending = {pool.submit(_export_in_worker, index, *task): index
                       for index, task in enumerate(tasks)}
        finally:
            signal.signal(signal.SIGINT, previous)
        try:
            while pending:
                done, _ = futures.wait(pending, timeout=0.1, return_when=futures.FIRST_COMPLETED)
                try:
                    while True:
                        bar.update(*progress.get_nowait())
                except queue.Empty:
                    pass
                for future in done:
                    index = pending.pop(future)
                    yield index, _outcome(future, tasks[index][0])
        except BaseException:
            stop.set()
            pool.shutdown(cancel_futures=True)
            raise


def _outcome(future: Any, source: str) -> str | None:
    try:
        return future.result()
    except Exception as exc:  # the worker process died: BrokenProcessPool
        return f"{source}: {exc}"


def _init_worker(progress: Any, stop: Any) -> None:
    global _progress_queue, _stop_event
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _progress_queue, _stop_event = progress, stop


def _export_in_worker(index: int, source: str, target: str, fmt: str,
                      channels: list[str] | None) -> str | None:
    if _stop_event.is_set():
        return f"{source}: not exported, interrupted"
    last = [-1]

    def report(k: int, n: int) -> None:
        percent = 100 * k // n
        if percent != last[0]:
            last[0] = percent
            _progress_queue.put((index, k, n))

    return export_one(source, target, fmt, channels, progress=report)


def export_one(source: str, target: str, fmt: str, channels: list[str] | None,
               progress: Callable[[int, int], Any] | None = None) -> str | None:
    """Convert one recording to `target`; returns None, or the error text when it failed."""
    try:
        table = read_recording(source, progress).to_table(channels)
        write_atomically(Path(target), lambda path: _write_table(table, path, fmt))
    except KeyError as exc:
        return f"{source}: {exc.args[0]}"
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # also the core's InternalError: report it, go on
        return str(exc) if isinstance(exc, CommandError) else f"{source}: {exc}"
    return None


def _write_table(table: Any, path: Path, fmt: str) -> None:
    if fmt == "csv":
        import pyarrow.csv

        pyarrow.csv.write_csv(table, path)
    else:
        import pyarrow.parquet

        pyarrow.parquet.write_table(table, path)

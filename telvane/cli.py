"""The telvane command: info, channels, export, plot and demo on IBT recordings."""

from __future__ import annotations

import argparse
import datetime
import functools
import os
import re
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import telvane
from telvane.base import LogFile, format_lap_time, needs_extra

DEFAULT_PLOT_CHANNELS = "Speed,Throttle,Brake"
_progress_queue: Any = None  # set in export worker processes
_stop_event: Any = None


class CommandError(Exception):
    """A failure the user can act on, reported as one line without a traceback."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return args.command(args)
    except (CommandError, OSError, ImportError) as exc:
        print(f"telvane: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("telvane: interrupted", file=sys.stderr)
        return 130


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="telvane", description="Read iRacing IBT telemetry recordings.")
    parser.add_argument("--version", action="version", version=f"telvane {telvane.__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="track, session, records and laps of a recording",
                               description="Show the track, session, records and lap times.")
    info.add_argument("file", metavar="FILE")
    info.set_defaults(command=info_command)

    channels = commands.add_parser("channels", help="list the channels of a recording",
                                   description="List every channel: name, type, unit, "
                                               "description.")
    channels.add_argument("file", metavar="FILE")
    channels.add_argument("--match", metavar="PATTERN", type=_pattern,
                          help="only names matching this regular expression (any case)")
    channels.set_defaults(command=channels_command)

    export = commands.add_parser(
        "export", help="convert recordings to Parquet or CSV",
        description="Convert recordings, one output file per input, in parallel processes. "
                    "A directory stands for the .ibt files in it.")
    export.add_argument("files", metavar="FILE", nargs="+")
    export.add_argument("--out", metavar="DIR", required=True, type=Path,
                        help="directory for the outputs (created if missing)")
    export.add_argument("--format", choices=("parquet", "csv"), default="parquet")
    export.add_argument("--channels", metavar="A,B,...", type=_names,
                        help="only these channels (default: all)")
    export.add_argument("--jobs", metavar="N", type=_positive,
                        help="worker processes (default: one per core)")
    export.set_defaults(command=export_command)

    plot = commands.add_parser("plot", help="plot channel traces to a PNG file",
                               description="Plot channels, laps overlaid for comparison.")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("--channels", metavar="A,B,...", type=_names,
                      default=_names(DEFAULT_PLOT_CHANNELS),
                      help=f"channels to plot (default: {DEFAULT_PLOT_CHANNELS})")
    plot.add_argument("--laps", metavar="N,M,...", type=_lap_numbers,
                      help="lap numbers to overlay (default: the whole recording against time, "
                           "or every full lap against distance)")
    plot.add_argument("--x", choices=("distance", "time"),
                      help="x axis (default: distance with --laps, time without)")
    plot.add_argument("-o", "--output", metavar="PNG", type=Path,
                      help="output file (default: FILE's name with .png, here)")
    plot.set_defaults(command=plot_command)

    demo = commands.add_parser(
        "demo", help="write the synthetic sample recording, show its info and plot it",
        description="Write the bundled synthetic sample recording, then run info and plot.")
    demo.add_argument("--out", metavar="DIR", type=Path,
                      help="directory for the sample and its plot (default: a new temporary "
                           "directory)")
    demo.set_defaults(command=demo_command)
    return parser


def _pattern(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text, re.IGNORECASE)
    except re.error as exc:
        raise argparse.ArgumentTypeError(f"bad pattern {text!r}: {exc}") from None


def _names(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError("expected comma-separated channel names")
    return names


def _lap_numbers(text: str) -> list[int]:
    try:
        return [int(number) for number in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated lap numbers, "
                                         f"got {text!r}") from None


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return int(text)


def read_recording(path: str | os.PathLike[str], progress: Callable[[int, int], Any] | None = None
                   ) -> LogFile:
    """telvane.ibt on a path, its failures as CommandError naming the file."""
    path = os.fspath(path)
    try:
        return telvane.ibt(path, progress)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # reader errors, and the core's InternalError for a damaged file
        text = str(exc)
        raise CommandError(text if text.startswith(f"{path}: ") else f"{path}: {text}") from exc


def write_atomically(path: Path, write: Callable[[Path], None]) -> None:
    """Call write(temporary) on a hidden name beside `path`, then rename it to `path`, so
    that `path` is either absent, its old self, or complete."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.part")
    try:
        write(temporary)
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


# -- info and channels --------------------------------------------------------------------

def info_command(args: argparse.Namespace) -> int:
    print(describe(read_recording(args.file)))
    return 0


def describe(log: LogFile) -> str:
    """The text of `telvane info`: what, where and when, then the laps."""
    meta = log.metadata
    lines = [log.file_name]
    track = ", ".join(meta[key] for key in ("track_display_name", "track_city", "track_country")
                      if key in meta)
    if track or "track_length" in meta:
        lines.append(f"  Track      {track}" + (f" ({meta['track_length']})"
                                                 if "track_length" in meta else ""))
    ids = [f"{label} {meta[key]}" for label, key in (
        ("series", "series_id"), ("season", "season_id"), ("session", "session_id"),
        ("subsession", "sub_session_id")) if key in meta]
    if ids:
        lines.append(f"  Session    {', '.join(ids)}")
    if meta.get("session_start_date", 0) > 0:
        utc = datetime.timezone.utc
        started = datetime.datetime.fromtimestamp(meta["session_start_date"], tz=utc)
        lines.append(f"  Date       {started:%Y-%m-%d %H:%M:%S} UTC")
    times = log.timecodes
    if len(times):
        first, last = times[0].as_py(), times[-1].as_py()
        lines.append(f"  Duration   {format_lap_time(last - first)} "
                     f"(session time {first / 1000:.3f} s to {last / 1000:.3f} s)")
    rate = f" at {meta['tick_rate']} Hz" if "tick_rate" in meta else ""
    lines.append(f"  Records    {len(log):,}{rate}")
    first = [f"{name} [{unit}]" if unit else name for name, unit in log.units.items()][:5]
    more = ", …" if len(log.channels) > len(first) else ""
    lines.append(f"  Channels   {len(log.channels)}" + (f": {', '.join(first)}{more}"
                                                          if first else ""))
    return "\n".join(lines + [""] + _lap_lines(log))


def _lap_lines(log: LogFile) -> list[str]:
    if not log.laps.num_rows:
        return ["  No laps"]
    table = log.lap_times()
    lines = ["  Lap  Session  Type        Time"]
    for num, session, kind, ms, best in zip(*(table.column(name).to_pylist() for name in (
            "num", "session", "lap_type", "duration", "best"))):
        mark = "  best" if best else ""
        lines.append(f"  {num:>3}  {session:>7}  {kind:<10}  {format_lap_time(ms):>9}{mark}")
    return lines


def channels_command(args: argparse.Namespace) -> int:
    log = read_recording(args.file)
    rows = [("Name", "Type", "Unit", "Description")]
    for name, table in log.channels.items():
        if args.match is None or args.match.search(name):
            field = table.schema.field(1)
            meta = {key.decode(): value.decode("utf-8", "replace")
                    for key, value in (field.metadata or {}).items()}
            rows.append((name, str(field.type), meta.get("units", ""), meta.get("desc", "")))
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + [row[3]]
        print("  ".join(cells).rstrip())
    return 0


# -- export -------------------------------------------------------------------------------

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


class ProgressBar:
    """One line on a terminal: files done, and how far the files in work have come."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.enabled, self.done = total, enabled, 0
        self.working: dict[int, float] = {}
        self.shown = ""

    def update(self, index: int, k: int, n: int) -> None:
        self.working[index] = k / n if n else 1.0
        self.draw()

    def finish_file(self, index: int) -> None:
        self.working.pop(index, None)
        self.done += 1
        self.draw()

    def draw(self) -> None:
        if not self.enabled:
            return
        fraction = (self.done + sum(self.working.values())) / self.total
        filled = int(30 * fraction)
        line = (f"[{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total} files "
                f"{100 * fraction:3.0f}%")
        if line != self.shown:
            sys.stderr.write("\r" + line)
            sys.stderr.flush()
            self.shown = line

    def clear(self) -> None:
        if self.enabled and self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = ""


# -- plot and demo ------------------------------------------------------------------------

def plot_command(args: argparse.Namespace) -> int:
    output = args.output or Path(Path(args.file).stem + ".png")
    plot(read_recording(args.file), args.channels, args.laps, args.x, output)
    print(f"wrote {output}")
    return 0


def plot(log: LogFile, channels: Sequence[str], laps: Sequence[int] | None, x: str | None,
         output: Path) -> None:
    """Draw one panel per channel; laps are overlaid against lap distance or lap time."""
    matplotlib = needs_extra("matplotlib", "plot", "telvane plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    missing = [name for name in channels if name not in log]
    if missing:
        raise CommandError(f"{log.file_name}: no channel named {', '.join(map(repr, missing))}")
    x = x or ("distance" if laps else "time")
    traces = _traces(log, laps, x)
    figure, axes = plt.subplots(len(channels), 1, sharex=True, squeeze=False,
                                figsize=(11, 1.2 + 2.1 * len(channels)))
    for axis, name in zip(axes[:, 0], channels):
        for label, part in traces:
            axis.plot(_x_values(part, x, per_lap=laps is not None),
                      part[name].column(1).to_numpy().astype(float), label=label, linewidth=1)
        unit = log.units[name]
        axis.set_ylabel(f"{name} [{unit}]" if unit else name)
        axis.grid(alpha=0.3)
    axes[-1, 0].set_xlabel(_x_label(log, x, per_lap=laps is not None))
    title = log.metadata.get("track_display_name", "")
    figure.suptitle(f"{title} · {Path(log.file_name).name}" if title else Path(log.file_name).name)
    top = 1.0 - 0.5 / figure.get_figheight()
    if len(traces) > 1:
        figure.legend(*axes[0, 0].get_legend_handles_labels(), loc="upper center", frameon=False,
                      ncol=min(len(traces), 4), fontsize="small", bbox_to_anchor=(0.5, top))
        top -= 0.25 / figure.get_figheight()
    figure.tight_layout(rect=(0, 0, 1, top))
    write_atomically(output, lambda path: figure.savefig(path, format="png", dpi=110))
    plt.close(figure)


def _traces(log: LogFile, laps: Sequence[int] | None, x: str) -> list[tuple[str, LogFile]]:
    if laps is None and x == "time":
        return [("recording", log)]
    table = log.lap_times()
    sessions = len(set(table.column("session").to_pylist()))
    rows = []
    for number in laps if laps is not None else []:
        found = log.find_laps(num=number)
        if not found:
            raise CommandError(f"{log.file_name}: no lap {number}")
        rows += found
    if laps is None:
        rows = log.find_laps(lap_type="full")
        if not rows:
            raise CommandError(f"{log.file_name}: no full laps to compare; choose --laps")
    traces = []
    for row in rows:
        label = f"lap {table['num'][row]}"
        if sessions > 1:
            label += f" (session {table['session'][row]})"
        label += f" {format_lap_time(table['duration'][row].as_py())}"
        traces.append((label + (" best" if table["best"][row].as_py() else ""), log.lap(row)))
    return traces


def _x_values(part: LogFile, x: str, per_lap: bool) -> Any:
    if x == "distance":
        if "LapDist" in part:
            return part["LapDist"].column(1).to_numpy()
        if "LapDistPct" in part:
            return part["LapDistPct"].column(1).to_numpy() * 100
        raise CommandError(f"{part.file_name}: no LapDist or LapDistPct channel for --x distance")
    times = part.timecodes.to_numpy()
    return (times - times[0] if per_lap and len(times) else times) / 1000


def _x_label(log: LogFile, x: str, per_lap: bool) -> str:
    if x == "distance":
        return "lap distance [m]" if "LapDist" in log else "lap distance [%]"
    return "time in lap [s]" if per_lap else "session time [s]"


def demo_command(args: argparse.Namespace) -> int:
    from telvane.sample import write_synthetic_sample

    out = args.out or Path(tempfile.mkdtemp(prefix="telvane-demo-"))
    out.mkdir(parents=True, exist_ok=True)
    sample = write_synthetic_sample(out)
    print(f"wrote the synthetic sample recording {sample}\n")
    log = read_recording(sample)
    print(describe(log) + "\n")
    output = out / "synthetic_sample.png"
    plot(log, ["Speed", "Throttle", "Brake", "Gear"], [1, 2], "distance", output)
    print(f"wrote {output}")
    return 0

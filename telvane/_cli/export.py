"""`telvane export`: recordings to the Parquet dataset of telvane.dataset (or, with --flat,
Parquet, CSV or MoTeC files of each), in worker processes on this machine or on a Dask cluster."""

from __future__ import annotations

import argparse
import logging
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import pyarrow as pa

from telvane import _motec, dataset
from telvane.dataset import _convert, _parquet, _publish, _store
from telvane.base import LogFile
from telvane._cli import pool
from telvane._cli.common import CommandError, names, positive
from telvane._recording import Recording
from telvane._text import printable
from telvane._cli.progress import ProgressBar

__all__ = ["BYTES_PER_WORKER", "STOP_GRACE", "add_commands", "convert_flat", "convert_to_dataset",
           "export_command", "location", "seconds"]

# A worker process costs about half a second of a core to start. This process encodes each
# file on every core already, so workers add only the share its reads and footers leave
# idle, about a tenth of two cores (eight 64 MB recordings on two cores: two workers took
# 1 s more CPU than this process alone, and longer). A worker pays beyond this much input.
BYTES_PER_WORKER = 2**30
STOP_GRACE = 5.0  # seconds past its timeout a convert gets to give up itself before it is stopped
FLAT_SUFFIXES = {"parquet": (".parquet",), "csv": (".csv",), "motec": (".ld", ".ldx")}


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    export = commands.add_parser(
        "export", help="convert recordings to a Parquet dataset, or to files",
        description="Convert recordings to a Parquet dataset under DIR: channels/, laps/ and "
                    "sessions/, partitioned by keys from the session info, with each run's "
                    f"report in DIR/{dataset.REPORTS}/. A directory stands for the .ibt "
                    "files in it and its folders at every depth (hidden names left out, "
                    "symlinked folders not followed).")
    export.add_argument("files", metavar="PATH", nargs="*")
    export.add_argument("--out", metavar="DIR", required=True, type=location,
                        help="directory for the outputs (created if missing), or the URL of "
                             "one for the dataset (s3://BUCKET/PATH, file://…; credentials "
                             "as pyarrow takes them)")
    export.add_argument("--flat", action="store_true",
                        help="write one file per input into DIR instead of the dataset")
    export.add_argument("--format", choices=tuple(FLAT_SUFFIXES), action="append",
                        help="with --flat: the files' format (default: parquet; motec: NAME.ld and "
                             "NAME.ldx for MoTeC i2); given more than once, each format from one read")
    export.add_argument("--channels", metavar="A,B,...", type=names,
                        help="only these channels (default: all)")
    export.add_argument("--partition-by", metavar="KEY,...", type=names,
                        help=f"dataset partition keys among {', '.join(dataset.KEYS)} "
                             f"(default: {','.join(dataset.DEFAULT_PARTITION_BY)})")
    export.add_argument("--jobs", metavar="N", type=positive,
                        help="worker processes (default: up to one per core, as the amount "
                             "of input repays starting them)")
    export.add_argument("--live-dumps", action="store_true",
                        help="also store live telemetry memory dumps saved as .ibt (by default "
                             "they are skipped: a dataset holds recordings written to disk)")
    export.add_argument("--replace", action="store_true",
                        help="convert again the recordings the dataset holds already "
                             "(by default they are left as they are)")
    export.add_argument("--timeout", metavar="SECONDS", type=seconds,
                        help="give up a file not converted within SECONDS (reported timeout)")
    export.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="run on this Dask cluster instead of local processes "
                             "(needs telvane[dask]; the workers must see PATHS and DIR, or reach their URLs)")
    export.add_argument("--compact", action="store_true",
                        help="then merge the small files of each partition of DIR into files "
                             f"of about {dataset.COMPACT_TARGET // 2**20} MiB (without PATH: "
                             "only that)")
    export.set_defaults(command=export_command)


def export_command(args: argparse.Namespace) -> int:
    target = FlatTarget if args.flat else DatasetTarget
    target.check(args)
    if args.jobs and args.scheduler:
        raise CommandError("--jobs applies to local worker processes, not to --scheduler")
    if not args.files:
        if not args.compact:
            raise CommandError("expected recordings to export (PATH), or --compact")
        _compact(args.out)
        return 0
    sources = _export_sources(args.files)
    if isinstance(args.out, str):
        return _export_to_url(args, target, sources)
    return _export(args, target, sources, args.out)


def _export_to_url(args: argparse.Namespace, target: type[Target], sources: list[Path | str]) -> int:
    url = args.out
    if not target.to_url or args.compact:
        raise CommandError("--flat and --compact need a local directory as --out")
    try:
        _store.writable(url)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    dataset.sweep(url)
    with _store.staged(url) as local:
        args.out = local
        return _export(args, target, sources, url)


def _export(args: argparse.Namespace, kind: type[Target], sources: list[Path | str], shown: Path | str) -> int:
    """Export `sources` to the local directory args.out, shown to people as `shown`."""
    target = kind(args)
    tasks, targets = target.tasks(sources)
    _refuse_to_overwrite(sources, targets)
    _check_writable(args.out)
    target.prepare()
    sizes = [_size(source) for source in sources]
    bar = ProgressBar(sizes)
    began = time.perf_counter()
    rows: dict[int, dict[str, Any]] = {}
    try:
        if args.scheduler:
            finished = _on_dask(args.scheduler, tasks, shown)
        else:
            jobs = args.jobs or _jobs_that_pay(sizes)
            finished = _locally(target.convert, tasks, jobs, bar, args.timeout)
        for index, row in finished:
            rows[index] = row
            bar.finish(index)
            _show(row, target, bar)
    finally:
        bar.close()
        target.report(rows, sources, shown)  # the summary says what reached `shown`: once published there
        seconds = time.perf_counter() - began
        statuses = [row["status"] for row in rows.values()]
        ok, present, skipped = (statuses.count(status) for status in ("ok", "present", "skipped"))
        failed = len(rows) - ok - present - skipped
        print(printable(f"{'interrupted: ' if len(rows) < len(sources) else ''}exported {ok} of "
                        f"{len(sources)} files to {shown} in {seconds:.1f} s"
                        + (f", {present} held already" if present else "")
                        + (f", {skipped} skipped" if skipped else "")
                        + (f", {failed} failed" if failed else "")))
        target.finish(shown)
    if args.compact:
        _compact(args.out)
    return 1 if failed else 0


def _show(row: dict[str, Any], target: Target, bar: ProgressBar) -> None:
    """The line of one finished file, above the progress bar."""
    if row["status"] == "present":
        bar.write(printable(f"held already {row['source']}"), sys.stdout)
    elif row["status"] == "skipped":
        bar.write(printable(f"skipped {row['source']}: {row['error']} (--live-dumps "
                            "stores it)"), sys.stdout)
    elif row["status"] != "ok":
        bar.write(printable(f"telvane: {row['source']}: {row['error']}"), sys.stderr)
    else:
        bar.write(printable(target.converted(row)), sys.stdout)


def _publish_run(out: Path, shown: Path | str, run: str, report: list[dict[str, Any]]) -> None:
    """Publish the run in `out`, or on the object storage `shown` whose stand-in `out` is:
    the layout and the files converted here go to the run's staging there first (a
    cluster's workers upload their own)."""
    if isinstance(shown, Path):
        dataset.publish(out, run, report)
        return
    _store.upload(out, shown)
    shutil.rmtree(_publish.staging(out, run), ignore_errors=True)  # uploaded once, not at the end
    dataset.publish(shown, run, report)


def _shown_output(row: dict[str, Any], out: Path, shown: Path | str) -> dict[str, Any]:
    """The report row with its output under `shown` instead of the local stand-in `out`
    (where the run was not on a cluster, whose workers write under `shown` itself)."""
    if row["output"] and shown != out and not _store.is_url(row["output"]):
        relative = Path(row["output"]).relative_to(out).as_posix()
        row["output"] = f"{os.fspath(shown).rstrip('/')}/{relative}"
    return row


def _compact(out: Path) -> None:
    began = time.perf_counter()
    try:
        dataset.sweep(out)
        replaced, written = dataset.compact(out)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    print(printable(f"compacted {replaced} files of {out} into {written} in "
                    f"{time.perf_counter() - began:.1f} s"))


def convert_to_dataset(source: str, out_dir: str, channels: list[str] | None,
                       partition_by: tuple[str, ...], timeout: float | None, replace: bool,
                       run: str, live_dumps: bool, progress: Callable[[float], Any] | None = None
                       ) -> dict[str, Any]:
    return dataset.convert(source, out_dir, columns=channels, partition_by=partition_by,
                           progress=progress, timeout=timeout, replace=replace, run=run,
                           live_dumps=live_dumps)


def convert_flat(source: str, targets: list[str], channels: list[str] | None, timeout: float | None,
                 progress: Callable[[float], Any] | None = None) -> dict[str, Any]:
    """Convert the chosen channels of one recording, read once, to each of `targets`:
    Parquet, CSV or MoTeC (an .ld with its .ldx after it) by its suffix. Returns its report
    row, with `left_out` naming what MoTeC files leave out."""
    motec = any(target.endswith(".ld") for target in targets)
    written = [target for target in targets if not target.endswith(".ldx")]
    left_out: list[str] = []

    def read(recording: Recording, progress: _convert.Progress) -> LogFile:
        # MoTeC files hold the arrays and the lap beacons too.
        log = recording.read(channels, laps=motec, arrays=motec, progress=progress)
        if channels is not None:
            log.arrays = {name: table for name, table in log.arrays.items() if name in channels}
        return log

    def write(log: LogFile, recording: str, stage: Callable[[Path], Path],
              progress: _convert.Progress) -> str:
        for index, target in enumerate(map(Path, written)):
            def part(k: int, n: int, index: int = index) -> None:
                progress(index * n + k, len(written) * n)

            if target.suffix == ".ld":
                left_out.extend(_motec.write(log, stage(target), stage(_motec.ldx_path(target)), part))
            else:
                _write_table(log.to_table(channels), stage(target), target.suffix, part)
        return ", ".join(targets)

    row = _convert.convert(source, read, write, progress=progress, timeout=timeout)
    if left_out and row["status"] == "ok":
        row["left_out"] = left_out
    return row


def _write_table(table: pa.Table, path: Path, suffix: str, progress: _convert.Progress) -> None:
    if suffix == ".csv":
        import pyarrow.csv

        pyarrow.csv.write_csv(table, path)
    else:
        _parquet.write_table(table, path, row_group_size=dataset.ROW_GROUP_SIZE, progress=progress)


class FlatTarget:
    """--flat: each recording to files of its own in the output directory, in each format."""

    to_url = False  # whether --out may be the URL of object storage

    @staticmethod
    def check(args: argparse.Namespace) -> None:
        """Refuse the options that apply to the dataset alone."""
        if args.partition_by or args.scheduler:
            raise CommandError("--partition-by and --scheduler apply to the dataset, not to --flat")
        if args.replace:
            raise CommandError("--replace applies to the dataset; --flat always writes")
        if args.live_dumps:
            raise CommandError("--live-dumps applies to the dataset; --flat converts every recording")
        if args.compact:
            raise CommandError("--compact applies to the dataset, not to --flat")

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args

    def tasks(self, sources: list[Path | str]) -> tuple[list[tuple[Any, ...]], list[Path]]:
        """The arguments of convert for each source, and the files they write."""
        args = self.args
        suffixes = [suffix for name in dict.fromkeys(args.format or ["parquet"]) for suffix in FLAT_SUFFIXES[name]]
        outputs = [[args.out / (Path(source).stem + suffix) for suffix in suffixes] for source in sources]
        targets = [target for group in outputs for target in group]
        clashes = sorted({str(t) for t in targets if targets.count(t) > 1})
        if clashes:
            raise CommandError(f"several inputs would be written to {clashes[0]}")
        return [(str(s), [str(t) for t in group], args.channels, args.timeout)
                for s, group in zip(sources, outputs)], targets

    def prepare(self) -> None:
        """Nothing to set up: the directory holds files only."""

    convert = staticmethod(convert_flat)  # run in worker processes, which import it by name

    @staticmethod
    def converted(row: dict[str, Any]) -> str:
        left_out = f" (left out, holding text: {', '.join(row['left_out'])})" if row.get("left_out") else ""
        return f"wrote {row['output']}{left_out}"

    def report(self, rows: dict[int, dict[str, Any]], sources: list[Path | str], shown: Path | str) -> None:
        """Nothing to report: the files are the outputs."""

    def finish(self, shown: Path | str) -> None:
        """Nothing to finish."""


class DatasetTarget:
    """The dataset: the recordings of one run, published together at its end."""

    to_url = True

    @staticmethod
    def check(args: argparse.Namespace) -> None:
        """Refuse the options that apply to --flat alone."""
        if args.format:
            raise CommandError("--format applies to --flat; the dataset is Parquet")

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.partition_by = args.partition_by or dataset.DEFAULT_PARTITION_BY
        self.run = dataset.new_run()

    def tasks(self, sources: list[Path | str]) -> tuple[list[tuple[Any, ...]], list[Path]]:
        """The arguments of convert for each source, and the file every run writes."""
        args = self.args
        return [(str(s), str(args.out), args.channels, tuple(self.partition_by), args.timeout,
                 args.replace, self.run, args.live_dumps) for s in sources], [args.out / dataset.LAYOUT_FILE]

    def prepare(self) -> None:
        """Make the directory a dataset, and remove what killed runs left there."""
        try:
            dataset.prepare(self.args.out, self.partition_by)
        except ValueError as exc:
            raise CommandError(str(exc)) from None
        dataset.sweep(self.args.out)

    convert = staticmethod(convert_to_dataset)  # run in worker processes, which import it by name

    @staticmethod
    def converted(row: dict[str, Any]) -> str:
        return f"exported {row['source']} ({row['records']:,} records)"

    def report(self, rows: dict[int, dict[str, Any]], sources: list[Path | str], shown: Path | str) -> None:
        """Publish the run with its report, where `shown` is."""
        out = self.args.out
        report = [_shown_output(rows.get(index) or _convert.report_row(source, "not attempted"), out, shown)
                  for index, source in enumerate(sources)]
        _publish_run(out, shown, self.run, report)

    def finish(self, shown: Path | str) -> None:
        """Merge the schema files where the run was published, not in its local stand-in."""
        dataset.merge_schemas(shown)


Target = FlatTarget | DatasetTarget


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0, got {text!r}")
    return value


def location(text: str) -> Path | str:
    """A local directory, or a URL kept as text."""
    return text if _store.is_url(text) else Path(text)


def _check_writable(out: Path) -> None:
    """A one-line error before any work when nothing can be written under `out`."""
    try:
        out.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=out):
            pass
    except OSError as exc:
        raise CommandError(f"{out}: cannot write there: {exc.strerror or exc}") from None


def _export_sources(names: Sequence[str]) -> list[Path | str]:
    sources: list[Path | str] = []
    for text in names:
        if _store.is_url(text):
            try:
                sources += _store.recordings(text)
            except ValueError as exc:
                raise CommandError(str(exc)) from None
            except OSError as exc:
                raise CommandError(f"{text}: {exc}") from None
            continue
        name = Path(text)
        sources += _recordings_under(name) if name.is_dir() else [name]
    if not sources:
        raise CommandError(f"no .ibt files in {', '.join(names)}")
    return sources


def _recordings_under(directory: Path) -> list[Path]:
    """The .ibt files in `directory` and its folders at every depth, by path: hidden names
    (".…", where synced shares keep old copies) left out, symlinked folders not followed."""
    def unreadable(exc: OSError) -> None:
        raise CommandError(f"{exc.filename}: {exc.strerror}")

    found: list[Path] = []
    for folder, folders, files in os.walk(directory, onerror=unreadable):
        folders[:] = [name for name in folders if not name.startswith(".")]
        found += [Path(folder, name) for name in files
                  if name.lower().endswith(".ibt") and not name.startswith(".")]
    return sorted(found)


def _refuse_to_overwrite(sources: list[Path | str], targets: list[Path]) -> None:
    inputs = {_identity(source): source for source in sources if isinstance(source, Path)}
    inputs.pop(None, None)
    for target in targets:
        source = inputs.get(_identity(target))
        if source is not None:
            raise CommandError(f"{target} would overwrite the input {source}")


def _identity(path: Path) -> tuple[int, int] | None:
    try:
        status = path.stat()
    except OSError:  # a file that is not there is no input, and is overwritten by nothing
        return None
    return status.st_dev, status.st_ino


def _size(path: Path | str) -> int:
    if isinstance(path, str):
        return _store.size(path)
    try:
        return path.stat().st_size
    except OSError:
        return 0


def _jobs_that_pay(sizes: list[int]) -> int:
    return max(1, min(os.cpu_count() or 1, len(sizes), sum(sizes) // BYTES_PER_WORKER))


def _locally(function: Callable[..., dict[str, Any]], tasks: list[tuple[Any, ...]], jobs: int,
             bar: ProgressBar, timeout: float | None) -> Iterator[tuple[int, dict[str, Any]]]:
    """The tasks in this process, or in `jobs` worker processes. With a timeout they run in
    workers even for one job: a convert that does not give up in time (stuck where it
    cannot look at the clock) has its worker stopped."""
    if jobs == 1 and timeout is None:
        for index, task in enumerate(tasks):
            yield index, function(*task, progress=lambda f, index=index: bar.update(index, f))
        return

    def died(index: int, why: str) -> dict[str, Any]:
        return _convert.report_row(tasks[index][0], "failed", why)

    def overdue(index: int) -> dict[str, Any]:
        return _convert.report_row(tasks[index][0], "timeout", f"not finished within {timeout:g} s")

    limit = None if timeout is None else timeout + STOP_GRACE
    yield from pool.run(function, tasks, jobs, bar.update, died, limit, overdue)


def _on_dask(scheduler: str, tasks: list[tuple[Any, ...]], out_dir: Path | str
             ) -> Iterator[tuple[int, dict[str, Any]]]:
    """The tasks on the cluster of `scheduler`, whose workers write to `out_dir` itself."""
    from telvane import dask as telvane_dask
    from telvane._extras import needs_extra

    distributed = needs_extra("distributed", "dask", "telvane export --scheduler")
    _, _, channels, partition_by, timeout, replace, run, live_dumps = tasks[0]
    # The client logs what it retries and gives up (a result it could not gather, the lost
    # scheduler, with tracebacks); the command says what came of each file in its own lines.
    log = logging.getLogger("distributed.client")
    disabled, log.disabled = log.disabled, True
    try:
        with distributed.Client(scheduler) as client:
            yield from telvane_dask.export_as_completed(
                [task[0] for task in tasks], out_dir, client=client, columns=channels,
                partition_by=partition_by, timeout=timeout, replace=replace, run=run,
                live_dumps=live_dumps)
    finally:
        log.disabled = disabled

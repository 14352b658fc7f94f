"""telvane on Dask distributed (the `dask` extra): recordings exported to the Parquet
dataset of telvane.dataset by the workers of a cluster, quick ones several to a task, and
recordings read as a Dask dataframe, one partition per file. The workers must see the recordings and
the output directory under the same paths (one machine, or a shared file system), or reach
them as URLs of object storage."""

from __future__ import annotations

import contextlib
import itertools
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import CancelledError
from pathlib import Path
from typing import TYPE_CHECKING, Any

import telvane
from telvane import dataset
from telvane.dataset import _convert, _store
from telvane._extras import needs_extra

if TYPE_CHECKING:
    import dask.dataframe
    import distributed
    import pandas

__all__ = ["export", "export_as_completed", "read_dataset", "read_ibt"]

WORKER_WAIT = 60.0  # seconds to wait for a worker to join an empty cluster
TASK_SECONDS = 0.25  # of converting in one task: the cluster's cost of a task is a few ms
TASK_FILES = 64


def export(paths: Iterable[str | os.PathLike[str]], out_dir: str | os.PathLike[str], *,
           client: distributed.Client | None = None, columns: Sequence[str] | None = None,
           partition_by: Sequence[str] = dataset.DEFAULT_PARTITION_BY,
           timeout: float | None = None, replace: bool = False,
           live_dumps: bool = False) -> pandas.DataFrame:
    """Convert recordings into the dataset in tasks on a Dask cluster.

    Results are taken as they finish, so a file that fails, or kills its worker, fails alone;
    quick files go several to a task. The recordings appear in the dataset together at the
    end, with the run's report.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The recordings; URLs of object storage are read by the workers.
    out_dir : str or os.PathLike
        The dataset's directory, or a URL reached from the workers with credentials as
        pyarrow takes them there.
    client : distributed.Client or None
        The cluster; by default the current client or, without one, a local cluster of one
        single-threaded worker process per core started for this call.
    columns : sequence of str or None
        The channels to store; all by default.
    partition_by : sequence of str
        As for `telvane.dataset.convert`.
    timeout : float or None
        Seconds after which a file gives up in its task and is reported "timeout".
    replace : bool
        Convert recordings the dataset holds already again.
    live_dumps : bool
        Store live telemetry memory dumps instead of reporting them "skipped".

    Returns
    -------
    pandas.DataFrame
        One report row per input, in input order, with the columns of
        `telvane.dataset.convert`'s row.

    Raises
    ------
    ValueError
        When `out_dir` is a dataset partitioned otherwise.
    ConnectionError
        When the scheduler is lost, after publishing what was done (a re-run does the rest).
    """
    distributed = needs_extra("distributed", "dask", "telvane.dask.export()")
    pandas = needs_extra("pandas", "dask", "telvane.dask.export()")
    sources = [os.fspath(path) for path in paths]
    if client is None:
        try:
            client = distributed.default_client()
        except ValueError:
            with distributed.LocalCluster(threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as local:
                return export(sources, out_dir, client=local, columns=columns,
                              partition_by=partition_by, timeout=timeout, replace=replace,
                              live_dumps=live_dumps)
    url = os.fspath(out_dir) if _store.is_url(out_dir) else None
    with _store.staged(url) if url else contextlib.nullcontext(Path(out_dir)) as local:
        partition_by = dataset.prepare(local, partition_by)
        run = dataset.new_run()
        rows: dict[int, dict[str, Any]] = {}
        try:
            for index, row in export_as_completed(
                    sources, url or local, client=client, columns=columns, partition_by=partition_by,
                    timeout=timeout, replace=replace, run=run, live_dumps=live_dumps):
                rows[index] = row
        finally:
            report = [rows.get(index) or _convert.report_row(source, "not attempted")
                      for index, source in enumerate(sources)]
            dataset.publish(url or local, run, report)
            dataset.merge_schemas(url or local)
    return pandas.DataFrame(report, columns=_convert.REPORT_SCHEMA.names)


def export_as_completed(paths: Iterable[str | os.PathLike[str]],
                        out_dir: str | os.PathLike[str], *, client: distributed.Client,
                        columns: Sequence[str] | None = None,
                        partition_by: Sequence[str] = dataset.DEFAULT_PARTITION_BY,
                        timeout: float | None = None, replace: bool = False,
                        window: int | None = None, run: str | None = None,
                        live_dumps: bool = False) -> Iterator[tuple[int, dict[str, Any]]]:
    """Convert recordings as `export` does, yielding each report row as its file finishes.

    Files that convert quickly go several to a task, as many as the last task finished says
    take about a quarter of a second; the files of a task whose worker died go again one to a
    task. Files cancelled from outside are reported "not attempted"; the files still running
    when the iteration stops are cancelled.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The recordings.
    out_dir : str or os.PathLike
        The dataset's directory, or a URL.
    client : distributed.Client
        The cluster.
    columns : sequence of str or None
        The channels to store; all by default.
    partition_by : sequence of str
        As for `telvane.dataset.convert`.
    timeout : float or None
        As for `export`.
    replace : bool
        As for `export`.
    window : int or None
        The most tasks on the cluster at once; by default two per worker thread.
    run : str or None
        A name from `telvane.dataset.new_run()`: the files appear when
        `telvane.dataset.publish` ends it.
    live_dumps : bool
        As for `export`.

    Yields
    ------
    tuple of (int, dict)
        The input's index and its report row, in the order the files finish.

    Raises
    ------
    ConnectionError
        When the scheduler is lost, saying how many files were done, after their rows.
    """
    distributed = needs_extra("distributed", "dask", "telvane.dask.export()")
    sources = [os.fspath(path) for path in paths]
    pending = iter(enumerate(sources))
    try:
        client.wait_for_workers(1, timeout=WORKER_WAIT)
    except TimeoutError:
        raise TimeoutError(f"no worker joined the scheduler {client.scheduler.address} "
                           f"within {WORKER_WAIT:g} s") from None
    window = window or 2 * max(1, sum(client.nthreads().values()))
    options: dict[str, Any] = {"columns": None if columns is None else list(columns),
                               "partition_by": tuple(partition_by), "timeout": timeout,
                               "replace": replace, "live_dumps": live_dumps}
    task: Callable[..., dict[str, Any]] = dataset.convert
    if _store.is_url(out_dir):  # held looked up once, each worker given it once
        [held] = client.scatter([_store.held(os.fspath(out_dir))], broadcast=True)
        task, options = dataset._convert_to_url, {**options, "url": os.fspath(out_dir), "held": held, "run": run}
    else:
        options.update(out_dir=os.fspath(out_dir), run=run)
    running: dict[Any, list[tuple[int, str]]] = {}
    alone: list[tuple[int, str]] = []  # files of a task whose worker died
    per_task = 1
    completed = distributed.as_completed()
    done = 0

    def submit(count: int) -> None:
        for _ in range(count):
            files = [alone.pop()] if alone else list(itertools.islice(pending, per_task))
            if not files:
                return
            future = client.submit(_several, task, [source for _, source in files], pure=False,
                                   **options)
            running[future] = files
            completed.add(future)

    def lost() -> ConnectionError:
        return ConnectionError(f"lost the scheduler {client.scheduler.address}: {done} of "
                               f"{len(sources)} recordings done; the rest were not attempted: "
                               "run again to finish")

    submit(window)
    try:
        for future in completed:
            files = running.pop(future)
            try:
                rows = future.result()
            except Exception as exc:
                if client.status != "running":
                    raise lost() from None
                if isinstance(exc, CancelledError):
                    rows = [_convert.report_row(source, "not attempted", "cancelled")
                            for _, source in files]
                elif len(files) > 1:  # the worker died (KilledWorker) or the task was lost
                    alone.extend(files)
                    submit(1)
                    continue
                else:
                    rows = [_convert.report_row(files[0][1], "failed", f"{type(exc).__name__}: {exc}")]
            per_task = _per_task(rows) or per_task
            done += len(rows)
            yield from zip((index for index, _ in files), rows)
            submit(1)
    except (OSError, TimeoutError):
        if client.status == "running":
            raise
        raise lost() from None
    finally:
        if client.status == "running":  # else the call would wait to reconnect
            client.cancel(list(running))


def _per_task(rows: list[dict[str, Any]]) -> int | None:
    """How many files like those of `rows` take about TASK_SECONDS, at most TASK_FILES;
    None when none of them was timed."""
    timed = [row["seconds"] for row in rows if row["seconds"] is not None]
    if not timed:
        return None
    return max(1, min(TASK_FILES, int(TASK_SECONDS * len(timed) / max(sum(timed), 1e-9))))


def read_ibt(paths: Iterable[str | os.PathLike[str]], *, columns: Sequence[str] | None = None,
             errors: str = "raise") -> dask.dataframe.DataFrame:
    """Read recordings as one lazy Dask DataFrame, one partition per file.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The recordings.
    columns : sequence of str or None
        The channels; by default those of the first recording that can be read, which also
        gives the column types.
    errors : str
        "raise", or "skip": a file that cannot be read, or lacks a channel, gives an empty
        partition instead of failing the computation.

    Returns
    -------
    dask.dataframe.DataFrame
        `timecodes` and the chosen channels.

    Raises
    ------
    ValueError
        For `errors` other than "raise" or "skip", or no path.
    """
    dd = needs_extra("dask.dataframe", "dask", "telvane.dask.read_ibt()")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    sources = [os.fspath(path) for path in paths]
    meta, channels = _meta(sources, columns)
    return dd.from_map(_read_partition, sources, meta=meta, label="read-ibt",
                       channels=channels, errors=errors, empty=meta)


def read_dataset(out_dir: str | os.PathLike[str], table: str = "channels"
                 ) -> dask.dataframe.DataFrame:
    """Read a table of the dataset under `out_dir` as a lazy Dask DataFrame, one partition per file.

    Parameters
    ----------
    out_dir : str or os.PathLike
        The dataset's directory, or a URL.
    table : str
        "channels", "laps" or "sessions".

    Returns
    -------
    dask.dataframe.DataFrame
        Every column of every recording and the partition keys, as `telvane.dataset.read`
        gives them.

    Raises
    ------
    ValueError
        For another table name, or when `out_dir` holds no dataset.
    """
    dd = needs_extra("dask.dataframe", "dask", "telvane.dask.read_dataset()")
    if table not in dataset.TABLES:
        raise ValueError(f"table must be one of {', '.join(dataset.TABLES)}, not {table!r}")
    parts = getattr(dataset.read(out_dir), table)
    meta = parts.schema.empty_table().to_pandas()
    return dd.from_map(_read_fragment, list(parts.get_fragments()), meta=meta,
                       label=f"read-{table}", schema=parts.schema)


def _read_fragment(fragment: Any, *, schema: Any) -> pandas.DataFrame:
    return fragment.to_table(schema=schema).to_pandas()


def _several(convert: Callable[..., dict[str, Any]], sources: list[str], **options: Any
             ) -> list[dict[str, Any]]:
    return [_converted(convert, source, options) for source in sources]


def _converted(convert: Callable[..., dict[str, Any]], source: str, options: dict[str, Any]
               ) -> dict[str, Any]:
    try:
        return convert(source, **options)
    except Exception as exc:  # a task that raises would fail the whole gather: report it instead
        return _convert.report_row(source, "failed", f"{type(exc).__name__}: {exc}")


def _meta(sources: list[str], columns: Sequence[str] | None
          ) -> tuple[pandas.DataFrame, list[str]]:
    """The empty frame of the first recording that can be read and the channels it holds:
    the dataframe's columns and types (a column's name may differ from its channel's, as
    `Timecodes_2` for a channel `Timecodes`), found without requiring any one file to be
    readable."""
    for source in sources:
        try:
            with telvane.open(source) as recording:
                log = recording.read(columns, laps=False)
            channels = list(log.channels) if columns is None else list(columns)
            return log.to_table(channels).schema.empty_table().to_pandas(), channels
        except Exception:  # not readable: the next one may be
            continue
    raise ValueError(f"none of the {len(sources)} recordings can be read"
                     + ("" if columns is None else f" with channels {', '.join(columns)}"))


def _read_partition(source: str, *, channels: list[str], errors: str,
                    empty: pandas.DataFrame) -> pandas.DataFrame:
    try:
        with telvane.open(source) as recording:
            return recording.read(channels, laps=False).to_table(channels).to_pandas()
    except Exception:
        if errors == "skip":
            return empty
        raise

"""telvane on Dask distributed (the `dask` extra): recordings exported to the Parquet
dataset of telvane.dataset by the workers of a cluster, one task per file, and recordings
read as a Dask dataframe, one partition per file. The workers must see the recordings and
the output directory under the same paths (one machine, or a shared file system)."""

from __future__ import annotations

import itertools
import os
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import CancelledError
from typing import TYPE_CHECKING, Any

import telvane
from telvane import _convert, dataset
from telvane._extras import needs_extra

if TYPE_CHECKING:
    import dask.dataframe
    import distributed
    import pandas

__all__ = ["WORKER_WAIT", "export", "export_as_completed", "read_dataset", "read_ibt"]

WORKER_WAIT = 60.0  # seconds to wait for a worker to join an empty cluster


def export(paths: Iterable[str | os.PathLike[str]], out_dir: str | os.PathLike[str], *,
           client: distributed.Client | None = None, columns: Sequence[str] | None = None,
           partition_by: Sequence[str] = dataset.DEFAULT_PARTITION_BY,
           timeout: float | None = None, replace: bool = False) -> pandas.DataFrame:
    """Convert each recording with telvane.dataset.convert in a task of its own on the
    cluster of `client` (by default the current client or, without one, a local cluster
    of one single-threaded worker process per core started for this call). Returns one
    report row per input, in input order (the columns of telvane.dataset.convert's row).
    Results are taken as they finish, so a file that fails, or kills its worker, fails
    alone; a file not converted within `timeout` seconds gives up in its task and is
    reported "timeout". Raises ValueError when `out_dir` is a dataset partitioned
    otherwise, ConnectionError when the scheduler is lost."""
    distributed = needs_extra("distributed", "dask", "telvane.dask.export()")
    pandas = needs_extra("pandas", "dask", "telvane.dask.export()")
    sources = [os.fspath(path) for path in paths]
    partition_by = dataset.prepare(out_dir, partition_by)
    if client is None:
        try:
            client = distributed.default_client()
        except ValueError:
            with distributed.LocalCluster(threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as local:
                return export(sources, out_dir, client=local, columns=columns,
                              partition_by=partition_by, timeout=timeout, replace=replace)
    rows = dict(export_as_completed(sources, out_dir, client=client, columns=columns,
                                    partition_by=partition_by, timeout=timeout,
                                    replace=replace))
    dataset.merge_schemas(out_dir)
    return pandas.DataFrame([rows[index] for index in range(len(sources))],
                            columns=_convert.REPORT_SCHEMA.names)


def export_as_completed(paths: Iterable[str | os.PathLike[str]],
                        out_dir: str | os.PathLike[str], *, client: distributed.Client,
                        columns: Sequence[str] | None = None,
                        partition_by: Sequence[str] = dataset.DEFAULT_PARTITION_BY,
                        timeout: float | None = None, replace: bool = False,
                        window: int | None = None) -> Iterator[tuple[int, dict[str, Any]]]:
    """export() on `client`'s cluster, as (input index, report row) pairs in the order the
    files finish. At most `window` files are on the cluster at once (by default two per
    worker thread), so the client holds a bounded number of tasks whatever the number of
    files. Files cancelled from outside are reported "not attempted"; when the scheduler
    is lost this raises ConnectionError after the rows of the files finished; the files
    still running when this stops are cancelled."""
    distributed = needs_extra("distributed", "dask", "telvane.dask.export()")
    sources = iter(enumerate(os.fspath(path) for path in paths))
    try:
        client.wait_for_workers(1, timeout=WORKER_WAIT)
    except TimeoutError:
        raise TimeoutError(f"no worker joined the scheduler {client.scheduler.address} "
                           f"within {WORKER_WAIT:g} s") from None
    window = window or 2 * max(1, sum(client.nthreads().values()))
    options = {"out_dir": os.fspath(out_dir), "columns": None if columns is None else list(columns),
               "partition_by": tuple(partition_by), "timeout": timeout, "replace": replace}
    running: dict[Any, tuple[int, str]] = {}
    completed = distributed.as_completed()

    def submit(count: int) -> None:
        for index, source in itertools.islice(sources, count):
            future = client.submit(_task, source, pure=False, **options)
            running[future] = index, source
            completed.add(future)

    submit(window)
    try:
        for future in completed:
            index, source = running.pop(future)
            try:
                row = future.result()
            except CancelledError:
                if client.status != "running":
                    raise ConnectionError(f"lost the scheduler {client.scheduler.address}"
                                          ) from None
                row = _convert.report_row(source, "not attempted", "cancelled")
            except Exception as exc:  # the worker died (KilledWorker) or the task was lost
                row = _convert.report_row(source, "failed", f"{type(exc).__name__}: {exc}")
            yield index, row
            submit(1)
    except (OSError, TimeoutError) as exc:
        if client.status == "running":
            raise
        raise ConnectionError(f"lost the scheduler: {exc}") from None
    finally:
        client.cancel(list(running))


def read_ibt(paths: Iterable[str | os.PathLike[str]], *, columns: Sequence[str] | None = None,
             errors: str = "raise") -> dask.dataframe.DataFrame:
    """The recordings as one lazy Dask dataframe, one partition per file: `timecodes` and
    the chosen channels (by default those of the first recording that can be read). With
    errors="skip", a file that cannot be read, or lacks a channel, gives an empty partition
    instead of failing the computation."""
    dd = needs_extra("dask.dataframe", "dask", "telvane.dask.read_ibt()")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    sources = [os.fspath(path) for path in paths]
    meta, channels = _meta(sources, columns)
    return dd.from_map(_read_partition, sources, meta=meta, label="read-ibt",
                       channels=channels, errors=errors, empty=meta)


def read_dataset(out_dir: str | os.PathLike[str], table: str = "channels"
                 ) -> dask.dataframe.DataFrame:
    """A table of the dataset under `out_dir` ("channels", "laps" or "sessions") as a lazy
    Dask dataframe, one partition per file, with every column of every recording and the
    partition keys, as telvane.dataset.read gives it."""
    dd = needs_extra("dask.dataframe", "dask", "telvane.dask.read_dataset()")
    if table not in dataset.TABLES:
        raise ValueError(f"table must be one of {', '.join(dataset.TABLES)}, not {table!r}")
    parts = getattr(dataset.read(out_dir), table)
    meta = parts.schema.empty_table().to_pandas()
    return dd.from_map(_read_fragment, list(parts.get_fragments()), meta=meta,
                       label=f"read-{table}", schema=parts.schema)


def _read_fragment(fragment: Any, *, schema: Any) -> pandas.DataFrame:
    return fragment.to_table(schema=schema).to_pandas()


def _task(source: str, *, out_dir: str, columns: list[str] | None,
          partition_by: tuple[str, ...], timeout: float | None, replace: bool
          ) -> dict[str, Any]:
    try:
        return dataset.convert(source, out_dir, columns=columns, partition_by=partition_by,
                               timeout=timeout, replace=replace)
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

"""telvane on Dask distributed (the `dask` extra): recordings exported to the Parquet
dataset of telvane.dataset by the workers of a cluster, one task per file, and recordings
read as a Dask dataframe, one partition per file. The workers must see the recordings and
the output directory under the same paths (one machine, or a shared file system)."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import telvane
from telvane import dataset
from telvane._extras import needs_extra

if TYPE_CHECKING:
    import dask.dataframe
    import distributed
    import pandas

REPORT_COLUMNS = ["source", "status", "error", "recording", "records", "seconds"]


def export(paths: Iterable[str | os.PathLike[str]], out_dir: str | os.PathLike[str], *,
           client: distributed.Client | None = None, columns: Sequence[str] | None = None,
           partition_by: Sequence[str] = dataset.DEFAULT_PARTITION_BY,
           timeout: float | None = None) -> pandas.DataFrame:
    """Convert each recording with telvane.dataset.convert in a task of its own on the
    cluster of `client` (by default the current client or, without one, a local cluster
    of one single-threaded worker process per core started for this call). Returns one
    report row per input, in input order: source, status, error, recording, records and
    seconds. Results are taken as they finish, so a file that fails, or kills its
    worker, fails alone; files not finished within `timeout` seconds are cancelled and
    reported failed. Raises ValueError when `out_dir` is a dataset partitioned otherwise."""
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
                              partition_by=partition_by, timeout=timeout)
    rows = dict(export_as_completed(sources, out_dir, client=client, columns=columns,
                                    partition_by=partition_by, timeout=timeout))
    return pandas.DataFrame([rows[index] for index in range(len(sources))],
                            columns=REPORT_COLUMNS)


def export_as_completed(paths: Iterable[str | os.PathLike[str]],
                        out_dir: str | os.PathLike[str], *, client: distributed.Client,
                        columns: Sequence[str] | None = None,
                        partition_by: Sequence[str] = dataset.DEFAULT_PARTITION_BY,
                        timeout: float | None = None) -> Iterator[tuple[int, dict[str, Any]]]:
    """export() on `client`'s cluster, as (input index, report row) pairs in the order the
    files finish; the files still running when this stops are cancelled."""
    distributed = needs_extra("distributed", "dask", "telvane.dask.export()")
    sources = [os.fspath(path) for path in paths]
    futures = client.map(_convert, sources, out_dir=os.fspath(out_dir), pure=False,
                         columns=None if columns is None else list(columns),
                         partition_by=tuple(partition_by))
    positions = {future.key: index for index, future in enumerate(futures)}
    finished: set[int] = set()
    try:
        for future in distributed.as_completed(futures, timeout=timeout):
            index = positions[future.key]
            finished.add(index)
            try:
                row = future.result()
            except Exception as exc:  # the worker died (KilledWorker) or the task was lost
                row = _failed(sources[index], f"{type(exc).__name__}: {exc}")
            yield index, row
    except TimeoutError:
        for index, source in enumerate(sources):
            if index not in finished:
                yield index, _failed(source, f"not finished within {timeout} s")
    finally:
        client.cancel([future for future in futures if positions[future.key] not in finished])


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
    meta = _meta(sources, columns)
    return dd.from_map(_read_partition, sources, meta=meta, label="read-ibt",
                       channels=list(meta.columns[1:]), errors=errors, empty=meta)


def _convert(source: str, *, out_dir: str, columns: list[str] | None,
             partition_by: tuple[str, ...]) -> dict[str, Any]:
    try:
        return dataset.convert(source, out_dir, columns=columns, partition_by=partition_by)
    except BaseException as exc:  # the gather would wait forever for one not an Exception
        return _failed(source, f"{type(exc).__name__}: {exc}")


def _failed(source: str, error: str) -> dict[str, Any]:
    return {"source": source, "status": "failed", "error": error, "recording": None,
            "records": None, "seconds": None}


def _meta(sources: list[str], columns: Sequence[str] | None) -> pandas.DataFrame:
    """The empty frame of the first recording that can be read: the dataframe's columns
    and types, found without requiring any one file to be readable."""
    for source in sources:
        try:
            with telvane.open(source) as recording:
                table = recording.read(columns, laps=False).to_table(columns)
            return table.schema.empty_table().to_pandas()
        except BaseException as exc:  # also the core's InternalError, for a damaged file
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
    raise ValueError(f"none of the {len(sources)} recordings can be read"
                     + ("" if columns is None else f" with channels {', '.join(columns)}"))


def _read_partition(source: str, *, channels: list[str], errors: str,
                    empty: pandas.DataFrame) -> pandas.DataFrame:
    try:
        with telvane.open(source) as recording:
            return recording.read(channels, laps=False).to_table(channels).to_pandas()
    except BaseException as exc:  # the computation would hang on one not an Exception
        if errors == "skip":
            return empty
        if isinstance(exc, Exception):
            raise
        raise RuntimeError(f"{source}: {type(exc).__name__}: {exc}") from None

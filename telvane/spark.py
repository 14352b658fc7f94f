"""A table of telvane's dataset as a Spark DataFrame (the `spark` extra, pyspark 4), its files
shared out among Spark's tasks. Spark's own Parquet reader cannot read the channels table
whole: it merges no two types of one column, and reads no BOOLEAN column of one file as the
number another file holds in that column (a channel bool in one recording and char in the
next). Here each task reads its files with pyarrow in the type telvane.dataset.read gives, so
the executors must import telvane and see the dataset under the same path."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import TYPE_CHECKING

import pyarrow as pa

from telvane import dataset
from telvane.dataset import _store
from telvane._extras import needs_extra

if TYPE_CHECKING:
    import pyspark.sql

__all__ = ["read_dataset"]


def read_dataset(spark: pyspark.sql.SparkSession, out_dir: str | os.PathLike[str],
                 table: str = "channels") -> pyspark.sql.DataFrame:
    """Read a table of the dataset under `out_dir` as a lazy Spark DataFrame.

    The files are shared out among Spark's default number of tasks, each read with pyarrow
    inside the task (Spark's own Parquet reader refuses a channel whose type differs between
    recordings): a task per short recording would cost more than reading it. The executors
    import telvane and see the dataset under the same path.

    Parameters
    ----------
    spark : pyspark.sql.SparkSession
        The session.
    out_dir : str or os.PathLike
        The dataset's directory.
    table : str
        "channels", "laps" or "sessions".

    Returns
    -------
    pyspark.sql.DataFrame
        Every column of every recording and the partition keys as `telvane.dataset.read`
        gives them; unsigned integers widened to signed ones, times in microseconds.

    Raises
    ------
    ImportError
        When pyspark is not installed.
    ValueError
        For another table name.
    """
    types = needs_extra("pyspark.sql.pandas.types", "spark", "telvane.spark.read_dataset()")
    if table not in dataset.TABLES:
        raise ValueError(f"table must be one of {', '.join(dataset.TABLES)}, not {table!r}")
    # the executors resolve paths against directories of their own
    local = not _store.is_url(out_dir)
    parts = getattr(dataset.read(os.path.abspath(out_dir) if local else out_dir), table)
    fragments, found = list(parts.get_fragments()), parts.schema
    schema = pa.schema([field.with_type(_for_spark(field.type)) for field in found])

    def read(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        for batch in batches:
            for index in batch.column(0).to_pylist():
                yield from fragments[index].to_table(schema=found).cast(schema).to_batches()

    indices = spark.range(len(fragments))
    return indices.mapInArrow(read, types.from_arrow_schema(schema))


def _for_spark(kind: pa.DataType) -> pa.DataType:
    """A type Spark takes that holds every value of `kind`: Spark has no unsigned integers
    and keeps times in microseconds."""
    if pa.types.is_timestamp(kind):
        return pa.timestamp("us", kind.tz)
    return {pa.uint8(): pa.int16(), pa.uint32(): pa.int64()}.get(kind, kind)

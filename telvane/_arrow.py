"""Arrow arrays and tables to and from numpy through their buffers: pyarrow's own conversions
import pandas and pyarrow.compute, which the laps and the commands showing them do without."""

from __future__ import annotations

from collections.abc import Sequence
from datetime import datetime, timedelta, timezone

import numpy as np
import pyarrow as pa

__all__ = ["NUMPY_TYPES", "arrow_array", "column_values", "repeated", "table_of"]

NUMPY_TYPES = {pa.int8(): np.int8, pa.int16(): np.int16, pa.int32(): np.int32, pa.int64(): np.int64,
               pa.uint8(): np.uint8, pa.uint16(): np.uint16, pa.uint32(): np.uint32,
               pa.uint64(): np.uint64, pa.float32(): np.float32, pa.float64(): np.float64}
_FILL = {pa.string().id: "", pa.large_string().id: "", pa.bool_().id: False}  # under a null
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def column_values(column: pa.ChunkedArray | pa.Array) -> np.ndarray:
    """A column of a fixed-width or boolean type as numpy, read from its buffers: no copy for
    one chunk, and neither pandas nor pyarrow.compute imported as `to_numpy()` would."""
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    kind = column.type
    parts = []
    for chunk in chunks:
        data = chunk.buffers()[1]
        if pa.types.is_boolean(kind):
            bits = np.frombuffer(data, np.uint8) if data is not None else np.zeros(0, np.uint8)
            parts.append(np.unpackbits(bits, bitorder="little")
                         [chunk.offset:chunk.offset + len(chunk)].astype(bool))
        elif data is None:
            parts.append(np.zeros(0, NUMPY_TYPES[kind]))
        else:
            parts.append(np.frombuffer(data, NUMPY_TYPES[kind], len(chunk), chunk.offset
                                       * np.dtype(NUMPY_TYPES[kind]).itemsize))
    if len(parts) == 1:
        return parts[0]
    return np.concatenate(parts) if parts else np.zeros(0, NUMPY_TYPES.get(kind, np.float64))



def arrow_array(values: Sequence[object] | np.ndarray, kind: pa.DataType,
                valid: np.ndarray | None = None) -> pa.Array:
    """An array of `kind` (fixed-width, boolean, timestamp, utf8 or large utf8) holding
    `values`: null where `valid` is False, or where a value of a list is None."""
    if valid is None and not isinstance(values, np.ndarray) and any(value is None for value in values):
        valid = np.array([value is not None for value in values])
    if valid is not None and not isinstance(values, np.ndarray):
        values = [value if present else _FILL.get(kind.id, 0) for value, present in zip(values, valid)]
    nulls = None if valid is None else pa.py_buffer(np.packbits(valid, bitorder="little"))
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        texts = [str(value).encode() for value in values]
        offsets = np.concatenate(([0], np.cumsum([len(text) for text in texts], dtype=np.int64)))
        offsets = offsets.astype(np.int64 if pa.types.is_large_string(kind) else np.int32)
        return pa.Array.from_buffers(kind, len(texts), [nulls, pa.py_buffer(offsets), pa.py_buffer(b"".join(texts))])
    if pa.types.is_boolean(kind):
        bits = np.packbits(np.asarray(values, bool), bitorder="little")
        return pa.Array.from_buffers(kind, len(values), [nulls, pa.py_buffer(bits)])
    if pa.types.is_timestamp(kind):
        values = [_ticks(value, kind.unit) if isinstance(value, datetime) else value for value in values]
    fixed = np.ascontiguousarray(values, NUMPY_TYPES.get(kind, np.int64))
    return pa.Array.from_buffers(kind, len(fixed), [nulls, pa.py_buffer(fixed)])


def repeated(text: str, count: int) -> pa.Array:
    """A utf8 array holding `text` in each of `count` rows."""
    data = text.encode()
    offsets = np.arange(count + 1, dtype=np.int64) * len(data)
    kind = pa.utf8() if offsets[-1] < 2**31 else pa.large_utf8()
    offsets = offsets.astype(np.int32 if kind == pa.utf8() else np.int64)
    return pa.Array.from_buffers(kind, count, [None, pa.py_buffer(offsets), pa.py_buffer(data * count)])


def _ticks(moment: datetime, unit: str) -> int:
    """`moment` (aware) as a count of `unit`s since the epoch, exactly."""
    microseconds = (moment - _EPOCH) // timedelta(microseconds=1)
    return int({"s": microseconds // 10**6, "ms": microseconds // 10**3, "us": microseconds,
                "ns": microseconds * 10**3}[unit])


def table_of(columns: Sequence[Sequence[object] | np.ndarray], schema: pa.Schema) -> pa.Table:
    """A table of `schema` holding one sequence of values per field."""
    arrays = [arrow_array(values, field.type) for values, field in zip(columns, schema)]
    return pa.Table.from_arrays(arrays, schema=schema)

"""Arrow arrays and tables to and from numpy through their buffers: pyarrow's own conversions
import pandas and pyarrow.compute, which the laps and the commands showing them do without."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pyarrow as pa

__all__ = ["NUMPY_TYPES", "arrow_array", "column_values", "table_of"]

NUMPY_TYPES = {pa.int8(): np.int8, pa.int16(): np.int16, pa.int32(): np.int32, pa.int64(): np.int64,
               pa.uint8(): np.uint8, pa.uint16(): np.uint16, pa.uint32(): np.uint32,
               pa.uint64(): np.uint64, pa.float32(): np.float32, pa.float64(): np.float64}


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



def arrow_array(values: Sequence[object] | np.ndarray, kind: pa.DataType) -> pa.Array:
    """An array of `kind` (fixed-width, boolean or utf8) holding `values`."""
    if pa.types.is_string(kind):
        texts = [str(value).encode() for value in values]
        offsets = np.concatenate(([0], np.cumsum([len(text) for text in texts]))).astype(np.int32)
        buffers = [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(texts))]
        return pa.Array.from_buffers(kind, len(texts), buffers)
    if pa.types.is_boolean(kind):
        bits = np.packbits(np.asarray(values, bool), bitorder="little")
        return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(bits)])
    fixed = np.ascontiguousarray(values, NUMPY_TYPES[kind])
    return pa.Array.from_buffers(kind, len(fixed), [None, pa.py_buffer(fixed)])


def table_of(columns: Sequence[Sequence[object] | np.ndarray], schema: pa.Schema) -> pa.Table:
    """A table of `schema` holding one sequence of values per field."""
    arrays = [arrow_array(values, field.type) for values, field in zip(columns, schema)]
    return pa.Table.from_arrays(arrays, schema=schema)

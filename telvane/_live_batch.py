"""Records of live telemetry as Arrow record batches, each variable typed as telvane.open types
it: its tick count, the timecodes of the time base, then the variables asked for."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pyarrow as pa

from telvane._live_memory import Layout

__all__ = ["Decoder", "decoder_of", "timecodes_of"]

# The numpy type each variable type is read as, and the Arrow type it becomes.
_TYPES = {"Char": ("u1", pa.uint8()), "Bool": ("u1", pa.bool_()), "Int": ("<i4", pa.int32()),
          "BitField": ("<u4", pa.uint32()), "Float": ("<f4", pa.float32()), "Double": ("<f8", pa.float64())}
_INT64 = np.iinfo(np.int64)


def timecodes_of(seconds: np.ndarray) -> np.ndarray:
    """Seconds as milliseconds rounded half away from zero, saturated, NaN as 0: the
    timecodes of telvane.open."""
    millis = seconds * 1000.0
    whole = np.trunc(millis)
    fraction = millis - whole
    rounded = whole + (fraction >= 0.5) - (fraction <= -0.5)
    with np.errstate(invalid="ignore"):
        codes = np.where(np.abs(rounded) < 2.0**63, rounded, 0).astype(np.int64)
    codes[rounded >= 2.0**63] = _INT64.max
    codes[rounded < -(2.0**63)] = _INT64.min
    codes[np.isnan(millis)] = 0
    return codes


class Decoder:
    """Makes the batch of a list of (tick count, record) of one layout."""

    def __init__(self, layout: Layout, positions: Sequence[int]) -> None:
        self.layout = layout
        self._variables = [layout.variables[position] for position in positions]
        self._time = layout.variables[layout.channels["SessionTime"]][5]
        fields = [pa.field("tick", pa.int32(), nullable=False), pa.field("timecodes", pa.int64(), nullable=False)]
        for name, kind, count, unit, desc, _ in self._variables:
            arrow = _TYPES[kind][1]
            metadata = {"units": unit, "desc": desc, "interpolate": str(kind in ("Float", "Double"))}
            fields.append(pa.field(name, arrow if count == 1 else pa.list_(arrow, count), nullable=False,
                                   metadata=metadata))
        self.schema = pa.schema(fields)

    def __call__(self, records: Sequence[tuple[int, bytes]]) -> pa.RecordBatch:
        n = len(records)
        raw = np.frombuffer(b"".join(record for _, record in records), np.uint8).reshape(n, self.layout.buf_len)
        ticks = np.fromiter((tick for tick, _ in records), np.int32, n)
        seconds = raw[:, self._time:self._time + 8].copy().view("<f8").reshape(n)
        arrays = [_fixed(pa.int32(), ticks), _fixed(pa.int64(), timecodes_of(seconds))]
        for _, kind, count, _, _, offset in self._variables:
            numpy_type, arrow = _TYPES[kind]
            width = np.dtype(numpy_type).itemsize * count
            values = raw[:, offset:offset + width].copy().view(numpy_type).reshape(n * count)
            column = _fixed(arrow, values)
            arrays.append(column if count == 1 else pa.FixedSizeListArray.from_arrays(column, count))
        return pa.RecordBatch.from_arrays(arrays, schema=self.schema)


def _fixed(kind: pa.DataType, values: np.ndarray) -> pa.Array:
    data = np.packbits(values != 0, bitorder="little") if pa.types.is_boolean(kind) else values
    return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(data)])


def decoder_of(layout: Layout, columns: Sequence[str] | None) -> Decoder:
    """The decoder of the variables named in `columns` (a channel or an array variable each;
    all by default, in the order of the layout)."""
    if columns is None:
        return Decoder(layout, sorted({*layout.channels.values(), *layout.arrays.values()}))
    names = list(dict.fromkeys(columns))
    unknown = [name for name in names if name not in layout.channels and name not in layout.arrays]
    if unknown:
        raise KeyError(f"no channel named {', '.join(map(repr, unknown))}")
    return Decoder(layout, [layout.channels.get(name, layout.arrays.get(name, -1)) for name in names])

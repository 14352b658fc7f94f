"""Records of live telemetry as Arrow record batches, built by the core: the tick count, the
timecodes of the time base, then the variables asked for, each typed as telvane.open types it."""

from __future__ import annotations

from collections.abc import Sequence

import pyarrow as pa

from telvane._live_memory import Layout

__all__ = ["Decoder", "decoder_of"]

class Decoder:
    """Makes the batch of records of one layout and their tick counts: the core keeps the
    schema and where each value lies, so that a batch a tick costs little more than its values."""

    def __init__(self, layout: Layout, positions: Sequence[int]) -> None:
        self.layout = layout
        self.batcher = layout.handle.live_batcher(list(positions))
        self.schema: pa.Schema = self.batcher.schema

    def __call__(self, ticks: Sequence[int], records: bytes) -> pa.RecordBatch:
        """The batch of `records`, one of the layout's length per tick count, back to back."""
        return self.batcher.batch(records, ticks)


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

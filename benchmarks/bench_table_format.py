"""The channels table as telvane's hive-partitioned Parquet with a kept schema, against a
Delta Lake table (`deltalake`, appended one recording per commit with schema merging):
write time, read time, size. Recordings of three channel sets, one channel bool in some and
char in others, as a league's archive has.

Run:  python benchmarks/bench_table_format.py [N]   (needs `pip install deltalake`)"""
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import pyarrow as pa
import recordings

import telvane
from telvane import dataset

count = int(sys.argv[1]) if len(sys.argv) > 1 else 200


def size(root: Path) -> int:
    return sum(path.stat().st_size for path in root.rglob("*") if path.is_file())


root = Path(tempfile.mkdtemp())
sources = []
for number in range(count):
    sources.append(root / f"r{number:04d}.ibt")
    sources[-1].write_bytes(recordings.mixed_channels(number))

out = root / "parquet"
began = time.perf_counter()
for source in sources:
    dataset.convert(source, out)
dataset.merge_schemas(out)
parquet_write = time.perf_counter() - began
began = time.perf_counter()
rows = dataset.read(out).channels.to_table().num_rows
parquet_read = time.perf_counter() - began

import deltalake  # noqa: E402

delta, failed = root / "delta", "merged"
began = time.perf_counter()
for source in sources:
    table = telvane.ibt(str(source)).to_table().replace_schema_metadata(None)
    table = table.add_column(0, "recording", pa.repeat(pa.scalar(source.stem), table.num_rows))
    table = table.cast(pa.schema([field.with_nullable(True) for field in table.schema]))  # others lack it
    try:
        deltalake.write_deltalake(delta, table, mode="append", schema_mode="merge")
    except Exception as exc:  # a channel whose type differs: Delta refuses to merge it
        failed = f"refused ({type(exc).__name__}: {str(exc).splitlines()[0][:100]}), cast to uint8 by hand"
        table = table.set_column(table.schema.get_field_index("Flag"), "Flag", table["Flag"].cast(pa.uint8()))
        deltalake.write_deltalake(delta, table, mode="append", schema_mode="merge")
delta_write = time.perf_counter() - began
began = time.perf_counter()
delta_rows = deltalake.DeltaTable(delta).to_pyarrow_table().num_rows
delta_read = time.perf_counter() - began
print(f"{count} recordings of {recordings.MIXED_RECORDS} records (50-70 float channels, Flag bool or char); load "
      f"{os.getloadavg()[0]:.2f}")
print("| format | write | read whole | size | objects |")
print("|---|---|---|---|---|")
print(f"| hive Parquet + kept schema | {parquet_write:.1f} s | {parquet_read:.2f} s ({rows:,} rows) | "
      f"{size(out) / 1e6:.1f} MB | {sum(1 for p in out.rglob('*') if p.is_file())} |")
print(f"| Delta Lake (deltalake, commit per recording) | {delta_write:.1f} s | {delta_read:.2f} s "
      f"({delta_rows:,} rows) | {size(delta) / 1e6:.1f} MB | {sum(1 for p in delta.rglob('*') if p.is_file())} |")
print(f"Delta on a bool channel meeting a char one: {failed}")
shutil.rmtree(root)

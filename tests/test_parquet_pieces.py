"""Parquet files whose columns are encoded in pieces on several threads and joined into one:
read back equal by pyarrow, polars and DuckDB, with the footer a single writer gives, and
the dataset's guarantees kept when they are written so."""

import time

import duckdb
import numpy as np
import polars
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import telvane
from telvane import dataset
from telvane.dataset import _parquet


@pytest.fixture
def pieces(monkeypatch):
    """Every table of more than 1 kB written in pieces, on three threads, each piece in
    writes of 1 kB."""
    monkeypatch.setattr(_parquet, "PIECE_BYTES", 1000)
    monkeypatch.setattr(_parquet, "WRITE_BYTES", 1000)
    monkeypatch.setattr(_parquet, "_cores", lambda: 3)


def mixed(rows):
    rng = np.random.default_rng(rows)
    gear = pa.array(rng.integers(0, 7, rows), pa.int32())
    return pa.table({
        "timecodes": pa.array(np.arange(rows) * 16, pa.int64()),
        "Speed": pa.array(np.cumsum(rng.normal(size=rows)), pa.float32()),
        "Gear": gear, "Flags": pa.array(rng.integers(0, 2**32, rows, dtype=np.uint64), pa.uint32()),
        "OnPitRoad": pa.array(rng.random(rows) < 0.1),
        "Name": pa.array([f"driver {i % 5}" if i % 7 else None for i in range(rows)]),
        "Lat": pa.array(rng.normal(size=rows), pa.float64()),
    }).cast(pa.schema([pa.field("timecodes", pa.int64(), nullable=False),
                       pa.field("Speed", pa.float32(), metadata={"units": "m/s", "desc": "GPS speed"}),
                       pa.field("Gear", pa.int32(), metadata={"units": ""}), pa.field("Flags", pa.uint32()),
                       pa.field("OnPitRoad", pa.bool_()), pa.field("Name", pa.string()),
                       pa.field("Lat", pa.float64(), metadata={"units": "deg"})],
                      metadata={"track_name": "synthetic raceway", "session_info_yaml": "WeekendInfo:\n x: 1\n"}))


def read_back(path, table):
    """The file read by pyarrow (with every field's and the schema's metadata), by polars
    and by DuckDB, each equal to `table`."""
    assert pq.read_table(path).equals(table, check_metadata=True)
    assert pq.read_schema(path).equals(table.schema, check_metadata=True)
    assert polars.read_parquet(path).equals(polars.from_arrow(table))
    assert duckdb.sql(f"SELECT * FROM '{path}'").fetchall() == [tuple(row.values()) for row in table.to_pylist()]


@pytest.mark.parametrize(("rows", "row_group_size", "options"), [
    (50_000, None, {}),                          # one row group, three pieces
    (50_000, 7_000, {}),                         # eight row groups, the last short
    (20_000, 5_000, {"write_page_index": True}),  # page indexes: written by one writer
    (20_000, None, {"compression": "snappy", "use_dictionary": False, "column_encoding": None}),
    (20_000, None, {"store_schema": False}),
])
def test_a_file_written_in_pieces_reads_back_equal_everywhere(tmp_path, pieces, rows, row_group_size, options):
    table, path = mixed(rows), tmp_path / "t.parquet"
    _parquet.write_table(table, path, row_group_size=row_group_size, **options)
    if options.get("store_schema", True):
        read_back(path, table)
    else:
        assert pq.read_table(path).equals(table.replace_schema_metadata(None).cast(
            pa.schema([field.remove_metadata() for field in table.schema])))
    joined = pq.read_metadata(path)
    groups = [joined.row_group(k).num_rows for k in range(joined.num_row_groups)]
    assert sum(groups) == rows and set(groups[:-1]) <= {row_group_size or rows}


def test_a_page_index_is_written_whole_by_one_writer(tmp_path, pieces, monkeypatch):
    # its page locations lie in the pieces' bodies, where a join would leave them pointing astray
    table = mixed(20_000)
    _parquet.write_table(table, tmp_path / "indexed.parquet", row_group_size=5_000, write_page_index=True)
    monkeypatch.setattr(_parquet, "_cores", lambda: 1)
    _parquet.write_table(table, tmp_path / "single.parquet", row_group_size=5_000, write_page_index=True)
    assert (tmp_path / "indexed.parquet").read_bytes() == (tmp_path / "single.parquet").read_bytes()


def test_a_write_stopped_midway_stops_encoding_what_is_left(tmp_path, pieces, monkeypatch):
    encoded = []
    piece = _parquet._encoded
    monkeypatch.setattr(_parquet, "_encoded", lambda *args: encoded.append(1) or piece(*args))

    def stop(k, n):
        raise KeyboardInterrupt

    table = mixed(100_000)
    with pytest.raises(KeyboardInterrupt):
        _parquet.write_table(table, tmp_path / "t.parquet", row_group_size=500, progress=stop)
    assert len(encoded) < 200 * len(_parquet._pieces(table.slice(0, 500), {}))  # of 200 row groups
    assert not (tmp_path / "t.parquet").exists()  # no file without its footer


def test_pieces_ending_out_of_order_are_joined_in_the_order_of_their_columns(tmp_path, pieces, monkeypatch):
    piece = _parquet._encoded

    def first_last(part, options):
        if part.column_names[0] == "timecodes":
            time.sleep(0.1)  # the other pieces of its row group end first
        return piece(part, options)

    monkeypatch.setattr(_parquet, "_encoded", first_last)
    table = mixed(20_000)
    _parquet.write_table(table, tmp_path / "t.parquet", row_group_size=10_000)
    read_back(tmp_path / "t.parquet", table)


@pytest.mark.parametrize("widths", [[1, 1, 400], [400, 1, 1], [1, 400, 1, 1, 1]])
def test_columns_of_very_different_sizes_are_split_into_pieces_that_each_hold_some(tmp_path, pieces, widths):
    table = pa.table({f"c{i}": pa.array(["x" * width] * 1000) for i, width in enumerate(widths)},
                     metadata={"track": "t"})
    _parquet.write_table(table, tmp_path / "t.parquet")
    read_back(tmp_path / "t.parquet", table)


def test_the_footer_is_the_one_a_single_writer_gives(tmp_path, pieces, monkeypatch):
    table = mixed(30_000)
    _parquet.write_table(table, tmp_path / "joined.parquet", row_group_size=10_000)
    monkeypatch.setattr(_parquet, "_cores", lambda: 1)
    _parquet.write_table(table, tmp_path / "single.parquet", row_group_size=10_000)
    joined, single = (pq.read_metadata(tmp_path / name) for name in ("joined.parquet", "single.parquet"))
    assert joined.schema.equals(single.schema) and joined.metadata == single.metadata
    for k in range(single.num_row_groups):
        ours, theirs = joined.row_group(k), single.row_group(k)
        assert (ours.num_rows, ours.total_byte_size) == (theirs.num_rows, theirs.total_byte_size)
        for i in range(theirs.num_columns):
            a, b = ours.column(i).to_dict(), theirs.column(i).to_dict()
            for offset in ("data_page_offset", "dictionary_page_offset", "file_offset"):
                a.pop(offset), b.pop(offset)
            assert a == b  # encodings, statistics, sizes


def test_the_session_info_over_the_footer_limit_is_left_out_as_before(tmp_path, pieces, monkeypatch):
    monkeypatch.setattr(_parquet, "FOOTER_TEXT_LIMIT", 1000)
    table = mixed(20_000).replace_schema_metadata({"session_info_yaml": "y" * 1001, "track": "t"})
    _parquet.write_table(table, tmp_path / "s.parquet")
    assert pq.read_schema(tmp_path / "s.parquet").metadata == {b"track": b"t", b"session_info_omitted": b"1001"}


def test_to_parquet_of_a_recording_keeps_every_column_and_the_session_info(tmp_path, pieces, synthetic):
    log = telvane.ibt(synthetic)
    log.to_parquet(tmp_path / "s.parquet")
    read_back(tmp_path / "s.parquet", log.to_table())
    assert pq.read_schema(tmp_path / "s.parquet").metadata[b"session_info_yaml"] == log.metadata[
        "session_info_yaml"].encode()


def test_the_dataset_written_in_pieces_holds_each_recording_once_or_not_at_all(tmp_path, pieces, synthetic,
                                                                               monkeypatch):
    monkeypatch.setattr(dataset, "ROW_GROUP_SIZE", 5000)
    source, out = tmp_path / "a.ibt", tmp_path / "out"
    source.write_bytes(synthetic)
    monkeypatch.setattr(_parquet._Joined, "close", lambda self: 1 / 0)  # cut after the row groups
    assert dataset.convert(source, out)["status"] == "failed"
    assert not [path for path in out.rglob("*") if path.is_file() and path.suffix in (".parquet", ".part")]
    monkeypatch.undo()
    monkeypatch.setattr(_parquet, "PIECE_BYTES", 1000)
    monkeypatch.setattr(_parquet, "_cores", lambda: 3)
    monkeypatch.setattr(dataset, "ROW_GROUP_SIZE", 5000)
    report = dataset.convert(source, out)
    assert report["status"] == "ok" and dataset.convert(source, out)["status"] == "present"
    wide = telvane.ibt(synthetic).to_table().replace_schema_metadata(None)
    channels = dataset.read(out).channels.to_table().select(wide.column_names)
    assert channels.cast(wide.schema).equals(wide)
    assert set(channels.schema.field("Speed").metadata.items()) >= set(wide.schema.field("Speed").metadata.items())
    [path] = (out / "channels").rglob("*.parquet")
    metadata = pq.read_metadata(path)
    assert [metadata.row_group(k).num_rows for k in range(metadata.num_row_groups)] == [
        min(5000, len(wide) - start) for start in range(0, len(wide), 5000)]

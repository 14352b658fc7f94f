"""telvane.open and Recording: what ibt gives, arrays, recovery, errors, progress and the lifetime."""

import io
import warnings
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest
from builders import write_channels, write_live_dump
from conftest import OVERRUN
from reference_reader import ReferenceFile

import telvane
from telvane._writer import (BOOL, DOUBLE, ELEMENT_SIZE, FLOAT, INT, NUMPY_TYPE, Var, pack_records,
                             write_ibt)

SIX = write_channels({"Speed": (FLOAT, [float(v) for v in range(6)])})  # 12-byte records
DUPLICATES = [Var("SessionTime", DOUBLE, 0), Var("X", FLOAT, 8), Var("Y", INT, 12), Var("X", INT, 16)]
ARRAY_VARS = [Var("SessionTime", DOUBLE, 0), Var("Torque_ST", FLOAT, 8, count=3, unit="N*m"),
              Var("Temps", INT, 20, count=2), Var("Flags", BOOL, 28, count=3)]
ARRAY_ROWS = [[1.0, [1.0, 2.0, 3.0], [10, 11], [1, 0, 2]],
              [1.0 + 1 / 30, [4.0, 5.0, 6.0], [12, 13], [0, 0, 1]]]
ARRAYS = write_ibt(ARRAY_VARS, pack_records(ARRAY_VARS, 31, ARRAY_ROWS), tick_rate=30)
# 4 KiB records, enough of them that a read is shared between two threads
LARGE = np.zeros(8200, [("time", "<f8"), ("speed", "<f4"), ("rest", "V4084")])
LARGE["time"], LARGE["speed"] = np.arange(8200) / 60, np.arange(8200)
RECORDINGS = {"arrays": ARRAYS, "duplicates": write_ibt(DUPLICATES, pack_records(DUPLICATES, 20, [
    [0.0, 1.5, 7, 9], [0.5, 2.5, 8, 10]])), "large": write_ibt(
    [Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8)], LARGE.tobytes(), buf_len=4096)}
# columns to read, given the channel names, and the channels that read gives
SELECTIONS = {"all": lambda names: (None, names), "none": lambda names: ([], []),
              "one by name": lambda names: (names[-1], names[-1:]),
              "reordered, repeated": lambda names: (names[::-1] + names[:1], names[::-1])}


def recording_bytes(request, name):
    if name in RECORDINGS:
        return RECORDINGS[name]
    data = request.getfixturevalue(name)  # the synthetic sample, or the real recording's path
    return data if isinstance(data, bytes) else data.read_bytes()


@pytest.mark.parametrize("laps", [True, False])
@pytest.mark.parametrize("select", SELECTIONS.values(), ids=SELECTIONS)
@pytest.mark.parametrize("name", [*RECORDINGS, "synthetic"])
def test_read_gives_what_ibt_gives(request, name, select, laps):
    data = recording_bytes(request, name)
    expected = telvane.ibt(data)
    columns, names = select(list(expected.channels))
    with telvane.open(data) as recording:
        log = recording.read(columns, laps=laps)
    assert list(log.channels) == list(names) and all(log[name].equals(expected[name]) for name in names)
    assert log.laps.equals(expected.laps if laps else expected.laps.slice(0, 0))
    assert not laps or log.lap_times().equals(expected.lap_times())
    assert not log.lap_times().num_rows or len(log.lap(0)) == len(expected.lap(0))  # raw laps or not
    assert log.metadata == expected.metadata and log.timecodes.equals(expected.timecodes)
    assert len(log) == len(expected) and log.arrays == {}


@pytest.mark.parametrize("data, columns, message", [
    (SIX, ["Speed", "Nope", "Lap2"], "no channel named 'Nope', 'Lap2'"),
    (ARRAYS, ["Temps"], "no channel named 'Temps'"),  # an array, unless arrays are read
])
def test_unknown_names_are_listed_in_one_key_error(data, columns, message):
    with pytest.raises(KeyError) as raised:
        telvane.open(data).read(columns)
    assert raised.value.args == (message,)


@pytest.mark.parametrize("name", ["arrays", "synthetic", "sample"])
def test_arrays_hold_each_records_values_at_their_times(request, name):
    data = recording_bytes(request, name)
    ref = ReferenceFile(data)
    recording = telvane.open(data)
    arrays = recording.read(["SessionTime"], arrays=True).arrays  # naming no array reads them all
    assert list(arrays) == [var.name for var in ref.vars if var.count > 1]
    assert list(recording.read(list(arrays)[-1:], arrays=True).arrays) == list(arrays)[-1:]
    for var in (var for var in ref.vars if var.count > 1):
        shape, width = (ref.record_count, var.count), ELEMENT_SIZE[var.type]
        raw = np.ndarray(shape, NUMPY_TYPE[var.type], ref.record_area, var.offset, (ref.buf_len, width))
        times, values = (arrays[var.name].column(i).combine_chunks() for i in (0, 1))
        assert arrays[var.name].schema.field(1).metadata[b"units"] == var.unit.encode()
        if var.name.endswith("_ST"):  # sampled several times a tick: one row per sample
            step = 1000 / ref.tick_rate / var.count
            expected_times = ref.timecodes[:, None] - step * np.arange(var.count - 1, -1, -1)
            assert np.allclose(times.to_numpy().reshape(shape), expected_times, rtol=0, atol=1e-9)
        else:
            assert pa.types.is_fixed_size_list(values.type) and times.to_pylist() == ref.timecodes.tolist()
            values = values.flatten()
        assert values.to_pylist() == raw.astype(values.type.to_pandas_dtype()).ravel().tolist()


def with_record_count(data: bytes, count: int) -> bytes:
    return data[:140] + count.to_bytes(4, "little") + data[144:]


TIMED = [Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8)]


# a file, its records recovered and the bytes ignored after them (None: intact, no warning)
@pytest.mark.parametrize("data, recovered, ignored", [
    (with_record_count(SIX, 0), 6, 0),  # never counted
    (with_record_count(SIX, 9), 6, 0),  # past the end
    (with_record_count(SIX[:-5], 9), 5, 7),  # cut in the sixth
    (SIX, 6, None),
    # only records whose times are a recording's: not a NaN time, one that moves back and stays or stands
    *[(with_record_count(SIX + tail, 0), 6, 12)
      for tail in (b"\xff" * 12, bytes(12), pack_records(TIMED, 12, [[5 / 60, 9]]))],
    (with_record_count(SIX + pack_records(TIMED, 12, [[0.05, 1.0], [0.1, 2.0]]), 0), 8, 0),
])
def test_recovery_reads_every_complete_record(data, recovered, ignored):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        recording = telvane.open(data, recover=True)
    stored = int.from_bytes(data[140:144], "little")
    expected = f"<bytes>: the header says {stored} records; recovered {recovered} complete records and ignored {ignored} bytes after them"
    assert [str(w.message) for w in seen] == ([] if ignored is None else [expected])
    log = recording.read()
    assert recording.record_count == len(log) == recovered
    assert log["Speed"].column(1).to_pylist()[:6] == [float(v) for v in range(min(recovered, 6))]


TEXT = b"plain text, renamed .ibt\n" * 8
# file-caused conditions: the bytes, and the message after the file's name
FILE_ERRORS = {
    "not a recording": (TEXT, f"not an IBT recording (Unsupported IBT version: {int.from_bytes(TEXT[:4], 'little')})"),
    "cut in the header": (SIX[:100], "Invalid header: File too small for header: 100 bytes (need 112)"),
    "no time base": (write_ibt([Var("Speed", FLOAT, 0)], bytes(8)), "Invalid header: Missing SessionTime variable"),
    "time base not double": (write_ibt([Var("SessionTime", FLOAT, 0)], bytes(8)),
                             "Invalid header: SessionTime should be double, got Float"),
    "read past the records": (OVERRUN, "Read of bytes 93..101 outside the record area of 100 bytes"),
    "records cut short": (with_record_count(SIX, 9), f"Invalid header: File too small for 9 records: {len(SIX)} "
                                                     f"bytes (need {len(SIX) + 3 * 12})"),
}


def file_object(path: str) -> io.BytesIO:
    stream = io.BytesIO(Path(path).read_bytes())
    stream.name = path  # as an opened file has it
    return stream


SOURCES = {"path": lambda path: path, "bytes": lambda path: Path(path).read_bytes(), "file object": file_object}


@pytest.mark.parametrize("how", SOURCES)
@pytest.mark.parametrize("data, message", FILE_ERRORS.values(), ids=FILE_ERRORS)
def test_file_caused_errors_are_ibt_errors_naming_the_file(data, message, how, write_file):
    path = write_file(data)
    name = "<bytes>" if how == "bytes" else path
    with pytest.raises(telvane.IbtError) as raised:
        telvane.open(SOURCES[how](path)).read()
    assert isinstance(raised.value, ValueError) and raised.value.filename == name
    assert str(raised.value) == f"{name}: {message}"


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory):
    # two million records, long enough that a read takes a while, in 400 laps
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("Speed", FLOAT, 12),
            Var("RPM", DOUBLE, 16)]
    records = np.zeros(2_000_000, [("time", "<f8"), ("lap", "<i4"), ("speed", "<f4"), ("rpm", "<f8")])
    records["time"], records["lap"] = np.arange(len(records)) / 60, np.arange(len(records)) // 5000
    path = tmp_path_factory.mktemp("long") / "long.ibt"
    write_ibt(vars, records.tobytes(), buf_len=24, path=path)
    return str(path)


def test_progress_counts_records_and_may_stop_the_read_or_close_the_recording(long_recording):
    recording, reports = telvane.open(long_recording), []

    def interrupt(k, n):
        raise KeyboardInterrupt

    def report_and_close(k, n):
        reports.append((k, n))
        recording.close()

    with pytest.raises(KeyboardInterrupt):
        recording.read(progress=interrupt)
    log = recording.read(["RPM"], progress=report_and_close)
    gathered = [k for k, _ in reports]
    assert len(reports) > 10 and gathered == sorted(set(gathered)) and gathered[-1] == 2_000_000
    assert {n for _, n in reports} == {2_000_000} and recording.closed
    assert log["RPM"].num_rows == 2_000_000 and log.laps.column("num").to_pylist()[-1] == 399
    with pytest.raises(ValueError, match="closed"):
        recording.read()


def test_source_names_follow_ibt_and_a_file_object_gives_its_name(write_file):
    path = write_file(SIX)
    with open(path, "rb") as file:
        sources = [path, Path(path), SIX, io.BytesIO(SIX), file]
        names = [telvane.open(source).read().file_name for source in sources]
        assert names == [path, path, "<bytes>", "<bytes>", path]
        assert telvane.open(file).source_name == telvane.ibt(file).file_name == "<bytes>"


def test_lap_counter_of_any_type_is_segmented_by_its_values():
    laps = [0.0, 0.0, 1.0, 1.0, 1.0, 2.5, 2.5, 2.5]
    data = write_channels({"Lap": (DOUBLE, laps), "Speed": (FLOAT, [1.0] * len(laps))})
    for log in (telvane.open(data).read(["SessionTime"]), telvane.open(data).read()):
        assert log.laps.column("num").to_pylist() == [0, 1, 2]
        assert log.laps.column("start_time").to_pylist() == log.timecodes.take([0, 2, 5]).to_pylist()
        assert len(log.lap(0)) == len(log.lap(0).timecodes)  # the laps match the runs of Lap


DUMP_VARS = [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("Speed", FLOAT, 12)]
# the simulator's four buffers as it leaves them: ticks 2002 to 2005, not in the order they lie
DUMP = write_live_dump(DUMP_VARS, [(2004, [33.4, 3, 20.0]), (2005, [33.45, 3, 21.0]), (2003, [33.35, 3, 19.0]),
                                   (2002, [33.3, 3, 18.0])],
                       buf_len=16, session_info=b"---\nWeekendInfo:\n TrackName: spielberg\n")


@pytest.mark.parametrize("recover", [False, True])
def test_a_live_memory_dump_reads_its_buffers_in_tick_order(recover):
    with pytest.warns(UserWarning, match="<bytes>: a live telemetry memory dump, not a recording written to disk"):
        recording = telvane.open(DUMP, recover=recover)
    log = recording.read()
    assert log.timecodes.to_pylist() == [33300, 33350, 33400, 33450] and len(log) == recording.record_count == 4
    assert log["Speed"].column(1).to_pylist() == [18.0, 19.0, 20.0, 21.0] and log.laps.column("num").to_pylist() == [3]
    assert log.metadata["track_name"] == "spielberg" and log.metadata["session_start_date"] == 0
    with pytest.raises(RuntimeError) as raised:
        telvane.ibt(DUMP)
    assert str(raised.value) == "Invalid header: a live telemetry memory dump, not a recording written to disk"

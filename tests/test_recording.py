"""telvane.open and Recording.read: selection, arrays, recovery, errors, the interpreter lock
and the lifetime of an opened recording."""

from __future__ import annotations

import errno
import io
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest
from builders import write_channels
from conftest import linux_only
from reference_reader import ReferenceFile

import telvane
from telvane._writer import BOOL, DOUBLE, FLOAT, INT, Var, pack_records, write_ibt

LAP_INPUTS = {"Lap": (INT, [1, 1, 2, 2, 3]), "OnPitRoad": (BOOL, [1, 0, 0, 0, 1]),
              "LapDistPct": (FLOAT, [0.5, 0.9, 0.0, 0.99, 0.01])}
LAPPED = write_channels({**LAP_INPUTS, "Speed": (FLOAT, [1.0, 2.0, 3.0, 4.0, 5.0]),
                         "Gear": (INT, [1, 2, 3, 4, 5])})


def tables_equal(got: dict[str, pa.Table], expected: dict[str, pa.Table]) -> bool:
    return list(got) == list(expected) and all(got[name].equals(expected[name]) for name in expected)


# -- selection --------------------------------------------------------------------------------


@pytest.mark.parametrize("columns, names", [
    (None, ["SessionTime", "Lap", "OnPitRoad", "LapDistPct", "Speed", "Gear"]),
    ("Speed", ["Speed"]),
    (["Gear", "Speed", "Gear"], ["Gear", "Speed"]),
    ([], []),
])
@pytest.mark.parametrize("laps", [True, False])
def test_selected_channels_and_laps_equal_ibt(columns: object, names: list[str], laps: bool) -> None:
    expected = telvane.ibt(LAPPED)
    with telvane.open(LAPPED) as recording:
        log = recording.read(columns, laps=laps)
    assert tables_equal(log.channels, {name: expected.channels[name] for name in names})
    assert log.laps.equals(expected.laps if laps else expected.laps.slice(0, 0))
    assert log.metadata == expected.metadata
    assert log.timecodes.equals(expected.timecodes) and len(log) == 5


def test_duplicate_names_give_the_last_variable_where_the_first_stood() -> None:
    vars = [Var("SessionTime", DOUBLE, 0), Var("X", FLOAT, 8), Var("Y", INT, 12), Var("X", INT, 16)]
    data = write_ibt(vars, pack_records(vars, 20, [[0.0, 1.5, 7, 9], [0.5, 2.5, 8, 10]]))
    expected = telvane.ibt(data)
    recording = telvane.open(data)
    assert tables_equal(recording.read().channels, expected.channels)
    assert recording.read("X")["X"].column(1).to_pylist() == [9, 10]
    assert recording.variables.column("channel").to_pylist() == [True, False, True, True]


def test_unknown_names_are_listed_in_one_key_error() -> None:
    recording = telvane.open(LAPPED)
    with pytest.raises(KeyError, match="'Nope', 'Lap2'"):
        recording.read(["Speed", "Nope", "Lap2"])


def test_catalogue_lists_every_variable_in_file_order() -> None:
    vars = [Var("SessionTime", DOUBLE, 0, desc="Seconds", unit="s"), Var("Torque_ST", FLOAT, 8, count=3),
            Var("Empty", INT, 20, count=0)]
    catalogue = telvane.open(write_ibt(vars, bytes(20), session_record_count=1)).variables
    assert catalogue.to_pylist() == [
        {"name": "SessionTime", "type": "Double", "count": 1, "unit": "s", "description": "Seconds", "offset": 0,
         "channel": True},
        {"name": "Torque_ST", "type": "Float", "count": 3, "unit": "", "description": "", "offset": 8,
         "channel": False},
        {"name": "Empty", "type": "Int", "count": 0, "unit": "", "description": "", "offset": 20, "channel": False},
    ]


def test_record_count_comes_from_the_file_when_no_channel_carries_it() -> None:
    vars = [Var("SessionTime", DOUBLE, 0, count=2), Var("Lap", INT, 16, count=2)]
    rows = [[[r / 60, 0.0], [r // 2, 0]] for r in range(4)]
    log = telvane.open(write_ibt(vars, pack_records(vars, 24, rows))).read()
    assert (len(log.channels), len(log), log.to_table().num_rows, log.laps.num_rows) == (0, 4, 4, 2)


# -- arrays -----------------------------------------------------------------------------------

ARRAY_VARS = [Var("SessionTime", DOUBLE, 0), Var("Torque_ST", FLOAT, 8, count=3, unit="N*m"),
              Var("Temps", INT, 20, count=2), Var("Flags", BOOL, 28, count=3)]
ARRAY_ROWS = [[1.0, [1.0, 2.0, 3.0], [10, 11], [1, 0, 2]], [1.0 + 1 / 30, [4.0, 5.0, 6.0], [12, 13], [0, 0, 1]]]
ARRAYS = write_ibt(ARRAY_VARS, pack_records(ARRAY_VARS, 31, ARRAY_ROWS), tick_rate=30)


def test_sub_tick_arrays_become_rows_with_interpolated_timecodes() -> None:
    table = telvane.open(ARRAYS).read(arrays=True).arrays["Torque_ST"]
    step = 1000 / 30 / 3
    expected_times = [t - k * step for t in (1000, 1033) for k in (2, 1, 0)]
    assert table.column("timecodes").to_pylist() == pytest.approx(expected_times, abs=1e-9)
    assert table.column("Torque_ST").to_pylist() == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    assert table.schema.field("Torque_ST").metadata[b"units"] == b"N*m"


@pytest.mark.parametrize("name, values", [("Temps", [[10, 11], [12, 13]]),
                                          ("Flags", [[True, False, True], [False, False, True]])])
def test_other_arrays_become_fixed_size_lists(name: str, values: list) -> None:
    table = telvane.open(ARRAYS).read(arrays=True).arrays[name]
    assert pa.types.is_fixed_size_list(table.schema.field(name).type)
    assert table.column(name).to_pylist() == values
    assert table.column("timecodes").to_pylist() == [1000, 1033]


def test_arrays_are_read_only_when_asked_and_may_be_named() -> None:
    recording = telvane.open(ARRAYS)
    assert recording.read().arrays == {}
    assert list(recording.read(["Temps"], arrays=True).arrays) == ["Temps"]
    assert list(recording.read(["SessionTime"], arrays=True).arrays) == ["Torque_ST", "Temps", "Flags"]
    with pytest.raises(KeyError):
        recording.read(["Temps"])


# -- recovery of a recording whose header lost count of its records ------------------------

SIX = write_channels({"Speed": (FLOAT, [float(v) for v in range(6)])})  # 12-byte records


@pytest.mark.parametrize("stored, cut, recovered", [
    (0, 0, 6),     # the header never got its count
    (9, 0, 6),     # a count past the end of the file
    (9, 5, 5),     # cut in the middle of the sixth record
])
def test_recovery_reads_every_complete_record(stored: int, cut: int, recovered: int) -> None:
    data = bytearray(SIX[:len(SIX) - cut])
    data[140:144] = stored.to_bytes(4, "little")
    with pytest.warns(UserWarning, match=f"says {stored} records; recovered {recovered} .* ignored {12 - cut if cut else 0} bytes"):
        recording = telvane.open(bytes(data), recover=True)
    log = recording.read()
    assert log["Speed"].column(1).to_pylist() == [float(v) for v in range(recovered)]
    assert recording.record_count == len(log) == recovered


def test_without_recovery_or_anything_to_recover_the_file_is_refused_as_ibt_refuses_it() -> None:
    data = bytearray(SIX[:len(SIX) - 6 * 12 + 5])  # not one whole record
    data[140:144] = (9).to_bytes(4, "little")
    with pytest.raises(RuntimeError) as expected:
        telvane.ibt(bytes(data))
    for recover in (False, True):
        with pytest.raises(telvane.IbtError) as raised:
            telvane.open(bytes(data), recover=recover)
        assert str(raised.value) == str(expected.value)


def test_an_intact_file_is_not_recovered() -> None:
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert telvane.open(SIX, recover=True).record_count == 6


# -- errors -----------------------------------------------------------------------------------


@pytest.mark.parametrize("data", [SIX[:100], write_ibt([Var("Speed", FLOAT, 0)], bytes(8)),
                                  write_ibt([Var("SessionTime", FLOAT, 0)], bytes(8))])
def test_invalid_files_raise_ibt_error_with_ibts_text(data: bytes, write_file) -> None:
    with pytest.raises(RuntimeError) as expected:
        telvane.ibt(data)
    for source in (data, write_file(data)):
        with pytest.raises(telvane.IbtError) as raised:
            telvane.open(source)
        assert str(raised.value) == str(expected.value)
        assert isinstance(raised.value, ValueError)


@pytest.mark.parametrize("make, kind, code", [
    (lambda tmp: tmp / "absent.ibt", FileNotFoundError, errno.ENOENT),
    (lambda tmp: tmp / "absent" / "x.ibt", FileNotFoundError, errno.ENOENT),
    (lambda tmp: tmp / "file.ibt" / "x.ibt", NotADirectoryError, errno.ENOTDIR),
])
def test_system_errors_are_the_oserror_of_their_errno(tmp_path: Path, make, kind: type, code: int) -> None:
    (tmp_path / "file.ibt").write_bytes(SIX)
    path = make(tmp_path)
    with pytest.raises(kind) as raised:
        telvane.open(path)
    assert (raised.value.errno, raised.value.filename) == (code, str(path))


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0,
                    reason="root reads files whatever their mode; Windows has no such modes")
def test_an_unreadable_file_is_a_permission_error(write_file) -> None:
    path = write_file(SIX)
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        telvane.open(path)


# -- the interpreter lock and progress ----------------------------------------------------------


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory: pytest.TempPathFactory) -> str:
    """Two million 32-byte records: long enough that a read takes a while."""
    n, buf_len = 2_000_000, 32
    vars = [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("Speed", FLOAT, 12), Var("RPM", DOUBLE, 16)]
    area = np.zeros((n, buf_len), np.uint8)
    area[:, 0:8].view("<f8")[:, 0] = np.arange(n) / 60
    area[:, 8:12].view("<i4")[:, 0] = np.arange(n) // 5000
    path = tmp_path_factory.mktemp("long") / "long.ibt"
    write_ibt(vars, area.tobytes(), buf_len=buf_len, path=path)
    return str(path)


def test_progress_counts_records_gathered(long_recording: str) -> None:
    reports: list[tuple[int, int]] = []
    recording = telvane.open(long_recording)
    recording.read(["Speed"], progress=lambda k, n: reports.append((k, n)))
    gathered = [k for k, _ in reports]
    assert len(reports) > 10 and gathered == sorted(gathered) and len(set(gathered)) == len(gathered)
    assert {n for _, n in reports} == {recording.record_count} and reports[-1][0] == recording.record_count


def test_another_thread_runs_while_records_are_gathered(long_recording: str) -> None:
    """The other thread counts while it holds the lock; without a switch interval to force it
    off the reading thread, it can only count between two progress reports when the read
    released the lock meanwhile."""
    counter, stop = [0], threading.Event()

    def count() -> None:
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)

    seen: list[int] = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    thread = threading.Thread(target=count)
    thread.start()
    try:
        telvane.open(long_recording).read(["Speed"], laps=False, progress=lambda k, n: seen.append(counter[0]))
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert seen[-1] > seen[0]


def test_an_exception_from_progress_ends_the_read(long_recording: str) -> None:
    def stop(k: int, n: int) -> None:
        raise KeyboardInterrupt

    recording = telvane.open(long_recording)
    with pytest.raises(KeyboardInterrupt):
        recording.read(progress=stop)
    assert recording.read(["Speed"], laps=False)["Speed"].num_rows == recording.record_count


# -- lifetime ---------------------------------------------------------------------------------


def test_source_names_follow_ibt_and_a_file_object_gives_its_name(write_file) -> None:
    path = write_file(SIX)
    with open(path, "rb") as file:
        sources = [path, Path(path), SIX, io.BytesIO(SIX), file]
        assert [telvane.open(source).read().file_name for source in sources] == [path, path, "<bytes>", "<bytes>", path]
        assert telvane.open(file).source_name == telvane.ibt(file).file_name == "<bytes>"


def test_a_recording_reads_again_until_closed() -> None:
    with telvane.open(LAPPED) as recording:
        first, second = recording.read(), recording.read(["Speed"])
    assert recording.closed and first["Speed"].equals(second["Speed"])
    with pytest.raises(ValueError, match="closed"):
        recording.read()


def test_closing_during_a_read_lets_the_read_finish(long_recording: str) -> None:
    recording = telvane.open(long_recording)
    log = recording.read(["RPM"], progress=lambda k, n: recording.close())
    assert recording.closed and log["RPM"].num_rows == 2_000_000
    assert log.laps.column("num").to_pylist()[-1] == 399


# -- the real recording -----------------------------------------------------------------------


def test_real_recording_matches_ibt_and_its_own_bytes(sample: Path) -> None:
    data = sample.read_bytes()
    ref = ReferenceFile(data)
    expected = telvane.ibt(str(sample))
    log = telvane.open(sample).read(arrays=True)
    assert tables_equal(log.channels, expected.channels) and log.laps.equals(expected.laps)
    for var in (v for v in ref.vars if v.count > 1):
        table = log.arrays[var.name]
        raw = np.ndarray((ref.record_count, var.count), "<f4", ref.record_area, var.offset, (ref.buf_len, 4))
        assert np.array_equal(table.column(1).to_numpy(), raw.ravel())
        # the last sample of each record falls on the record's own time
        times = table.column(0).to_numpy().reshape(ref.record_count, var.count)
        assert np.array_equal(times[:, -1], ref.timecodes.astype(np.float64))


@linux_only  # ru_maxrss in KiB
def test_many_variables_of_one_name_are_gathered_once(run_python, write_file) -> None:
    """10,000 variables named alike: each would be a column of 40 kB were every one built."""
    vars = [Var("SessionTime", DOUBLE, 0)] + [Var("X", FLOAT, 8)] * 10_000
    path = write_file(write_ibt(vars, bytes(12 * 10_000), buf_len=12, session_record_count=10_000))
    grown = run_python("""
        import json, resource, sys, telvane
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        logs = [telvane.ibt(sys.argv[1]), telvane.open(sys.argv[1]).read()]
        assert [len(log.channels) for log in logs] == [2, 2]
        print(json.dumps((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024))
    """, path)
    assert grown < 100e6

"""telvane.live on files laid out as live telemetry memory, written by a test writer that
rotates buffers as the simulator does: every record once, in order, never torn."""

import math
import os
import shutil
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import telvane
import telvane.live as live
from conftest import SAMPLE, SPEED
from telvane._live_writer import LiveWriter
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, pack_records, var_header

WIDTH = 64  # values of V, each holding the record's tick: a torn record has two ticks in it
VARS = [Var("SessionTime", DOUBLE, 0, unit="s"), Var("V", INT, 8, count=WIDTH)]
BUF_LEN = 8 + 4 * WIDTH
WINE_RUN = Path(__file__).resolve().parent / "driver" / "live_wine.sh"


def record(tick: int) -> bytes:
    return pack_records(VARS, BUF_LEN, [[tick / 60, [tick] * WIDTH]])


def writer(path, num_buf=3, ticks=1, session_info=b"---\nWeekendInfo:\n TrackName: ring\n"):
    out = LiveWriter(path, [var_header(var) for var in VARS], BUF_LEN, session_info, num_buf=num_buf)
    for _ in range(ticks):
        out.write(record(out.tick + 1))
    return out


def ticks_of(batches) -> list[int]:
    seen = []
    for batch in batches:
        for row in batch.to_pylist():
            assert set(row["V"]) == {row["tick"]}, f"record of tick {row['tick']} is torn"
            assert row["timecodes"] == round(row["tick"] * 1000 / 60)
            seen.append(row["tick"])
    return seen


@pytest.mark.parametrize("num_buf, per_take, missed", [
    (2, 1, 0), (3, 2, 0), (4, 3, 0),  # the safe buffers: all of them taken
    (3, 3, 1), (3, 7, 5), (4, 5, 2),  # the reader late: the oldest are lost, and counted
])
def test_every_record_taken_once_in_order_and_the_ones_missed_counted(tmp_path, num_buf, per_take, missed):
    path = tmp_path / "memory"
    with writer(path, num_buf) as out, live.connect(path) as memory:
        batches = memory.batches()
        seen = ticks_of([next(batches)])
        for _ in range(5):
            for _ in range(per_take):
                out.write(record(out.tick + 1))
            seen += ticks_of([next(batches)])
        assert seen == sorted(set(seen)) and seen[-1] == out.tick
        assert memory.missed == 5 * missed == out.tick - len(seen)


@pytest.mark.parametrize("num_buf", [2, 3, 4])
def test_no_record_is_torn_by_a_writer_filling_its_buffer_during_the_copy(tmp_path, num_buf):
    """The writer fills each buffer in two halves, letting the reader run in between, as
    fast as it can, and the reader keeps falling behind it: the buffer it copies is often
    the one being filled, whose tick count has not changed yet."""
    path = tmp_path / "memory"
    with writer(path, num_buf, ticks=num_buf) as out, live.connect(path) as memory:
        done = threading.Event()

        def run():
            while not done.is_set():
                index, new = out._written % num_buf, record(out.tick + 1)
                start = out._offsets[index]
                out._view[start:start + BUF_LEN // 2] = new[:BUF_LEN // 2]
                time.sleep(0)
                out.write(new)

        thread = threading.Thread(target=run)
        thread.start()
        try:
            seen, last = [], None
            while len(seen) < 500:
                taken = memory._memory.take(last)
                seen += ticks_of([memory.latest()]) + [tick for tick, _ in taken]
                for tick, raw in taken:
                    assert raw == record(tick), f"record of tick {tick} is torn"
                last = taken[-1][0] if taken else last
                time.sleep(0.0001)
        finally:
            done.set()
            thread.join()


def test_batches_kept_hold_their_own_values_while_later_ones_are_made(tmp_path):
    """Batches, and a column of a batch let go, keep the values they were made with."""
    path = tmp_path / "memory"
    with writer(path, ticks=1) as out, live.connect(path) as memory:
        batches = memory.batches()
        kept = [next(batches)]
        column = memory.latest("V").column("V")
        for _ in range(50):
            out.write(record(out.tick + 1))
            kept.append(next(batches))
            memory.latest(["V", "SessionTime"])
        assert ticks_of(kept) == list(range(1, 52))
        assert column.to_pylist() == [[1] * WIDTH]


TYPED = [Var("SessionTime", DOUBLE, 0), Var("Flag", BOOL, 8), Var("Flags", BOOL, 9, count=5),
         Var("Letter", CHAR, 14), Var("Bits", BITFIELD, 16), Var("Grip", FLOAT, 20, count=3), Var("Lap", INT, 32)]


def typed_row(tick: int) -> list:
    return [tick / 60, tick % 3 == 0, [(tick >> k) & 1 == 1 for k in range(5)], tick % 256, tick * 7,
            [tick / 2, -tick / 4, 0.5], -tick]


@pytest.mark.parametrize("per_take", [1, 3])
def test_batches_hold_the_values_of_every_type_as_written(tmp_path, per_take):
    """Batches of one or several records, many after another, each value of every type."""
    path = tmp_path / "memory"
    with LiveWriter(path, [var_header(var) for var in TYPED], 36, b"---\n", num_buf=4) as out, \
            live.connect(path) as memory:
        out.write(pack_records(TYPED, 36, [typed_row(1)]))
        batches, rows = memory.batches(), []
        for _ in range(40):
            rows += next(batches).to_pylist()
            for _ in range(per_take):
                out.write(pack_records(TYPED, 36, [typed_row(out.tick + 1)]))
        names = [var.name for var in TYPED]
        assert rows == [{"tick": tick, "timecodes": round(tick * 1000 / 60), **dict(zip(names, typed_row(tick)))}
                        for tick in range(1, len(rows) + 1)]


def test_status_cleared_ends_the_batches_after_the_last_records(tmp_path):
    path = tmp_path / "memory"
    with writer(path) as out, live.connect(path) as memory:
        out.write(record(2))
        out.stop()
        assert ticks_of(memory.batches()) == [2]
        assert not memory.connected and not memory.wait(5)


@pytest.mark.parametrize("call, ended", [
    (lambda memory: memory.wait(30), False),
    (lambda memory: ticks_of(memory.batches(timeout=30)), [1]),
])
def test_a_close_from_another_thread_ends_the_wait_under_way(tmp_path, call, ended):
    path = tmp_path / "memory"
    with writer(path), live.connect(path) as memory:
        memory.latest()  # its decoder made, which the thread's batches use
        results = []
        thread = threading.Thread(target=lambda: results.append(call(memory)))
        thread.start()
        time.sleep(0.2)  # waiting in the core by now
        memory.close()
        thread.join(5)
        assert not thread.is_alive() and results == [ended]
        for later in (memory.wait, memory.latest, memory.batches, lambda: memory.connected):
            with pytest.raises(ValueError, match="is closed"):
                later()


def test_a_close_at_any_moment_of_a_busy_reader_leaves_it_whole(tmp_path):
    """Closed after more and more records, the reader is anywhere in its loop: in the core,
    decoding, between two calls; it ends, never reads unmapped memory nor raises."""
    path = tmp_path / "memory"
    with writer(path) as out:
        for writes in range(0, 60, 3):
            memory, failures = live.connect(path), []
            batches = memory.batches()

            def read(batches=batches, failures=failures):
                try:
                    ticks_of(batches)
                except BaseException as failure:
                    failures.append(failure)

            thread = threading.Thread(target=read)
            thread.start()
            for _ in range(writes):
                out.write(record(out.tick + 1))
            memory.close()
            thread.join(5)
            assert not thread.is_alive() and not failures


@pytest.mark.slow
def test_a_writer_that_dies_is_disconnected_once_its_ticks_stand_still(tmp_path, monkeypatch):
    path = tmp_path / "memory"
    script = ("import sys, time; sys.path.insert(0, sys.argv[2]); from test_live import writer, record\n"
              "out = writer(sys.argv[1])\n"
              "while True: out.write(record(out.tick + 1)); time.sleep(1 / 60)\n")
    tests = os.path.dirname(__file__)
    process = subprocess.Popen([sys.executable, "-c", script, str(path), tests])
    try:
        memory = live.connect(path, timeout=30)
        assert memory.wait(5) and memory.connected
    finally:
        process.kill()
        process.wait()
    monkeypatch.setattr(live, "STALE_SECONDS", 0.3)
    with memory:
        seen = ticks_of(memory.batches())  # ends: no tick for STALE_SECONDS
        assert seen == sorted(set(seen)) and not memory.connected


@pytest.mark.slow
@pytest.mark.parametrize("rate, sleep", [(60, 0), (1000, 0), (60, 0.2)])
def test_a_writer_at_its_own_pace(tmp_path, rate, sleep):
    """At 60 Hz a reader sees every tick; a faster writer, or a reader sleeping between
    batches, makes it miss some, and counts each."""
    path = tmp_path / "memory"
    with writer(path) as out, live.connect(path) as memory:
        def run():
            start = time.monotonic()
            for k in range(rate):  # a second of records
                time.sleep(max(0.0, start + k / rate - time.monotonic()))
                out.write(record(out.tick + 1))
            out.stop()

        thread = threading.Thread(target=run)
        thread.start()
        seen = []
        for batch in memory.batches():
            seen += ticks_of([batch])
            time.sleep(sleep)
        thread.join()
        assert seen == sorted(set(seen)) and seen[-1] == out.tick
        assert memory.missed == seen[-1] - seen[0] + 1 - len(seen)
        assert (memory.missed == 0) == (rate == 60 and sleep == 0)


def test_ticks_going_back_are_a_writer_started_again(tmp_path):
    path = tmp_path / "memory"
    with writer(path, ticks=3) as out, live.connect(path) as memory:
        out.write(record(50), tick=50)
        batches = memory.batches()
        assert ticks_of([next(batches)]) == [50]
        for tick in (1, 2, 3):
            out.write(record(tick), tick=tick)
        assert ticks_of([next(batches)]) == [3]
        out.write(record(4), tick=4)
        assert ticks_of([next(batches)]) == [4]
        assert memory.missed == 0


def test_session_info_is_read_again_when_it_changes(tmp_path):
    path = tmp_path / "memory"
    with writer(path) as out, live.connect(path) as memory:
        assert "TrackName: ring" in memory.session_info
        out.set_session_info(b"---\nWeekendInfo:\n TrackName: oval\n")
        assert "TrackName: oval" in memory.session_info


def descriptor(index):
    return 48 + 16 * index


NUM_BUF = "num_buf must be 2 to 4 \\(no record of a lone buffer can be proven whole\\), got "


@pytest.mark.parametrize("field, value, failure", [
    (32, 7, NUM_BUF + "7"),
    (32, 1, NUM_BUF + "1"),  # the writer rewrites the only buffer before its tick count
    (32, 0, NUM_BUF + "0"),
    (descriptor(2) + 4, 1 << 30, None),  # the newest buffer out of the file: the one before is the newest
    (descriptor(2) + 4, -8, None),
    (descriptor(2), 1, None),  # a tick count twice: read once
])
def test_a_layout_gone_wrong_after_connecting_is_checked_before_use(tmp_path, field, value, failure):
    path = tmp_path / "memory"
    with writer(path, ticks=3) as out, live.connect(path) as memory:
        out._view[field:field + 4] = struct.pack("<i", value)
        if failure:
            with pytest.raises(telvane.IbtError, match=failure):
                memory.latest()
        else:
            assert ticks_of([memory.latest()]) == [2]
            out.write(record(9), tick=9)  # into buffer 0
            assert ticks_of([memory.latest()]) == [9]


@pytest.mark.parametrize("field, value, failure", [
    (32, 1, NUM_BUF + "1"),
    (24, 1 << 20, "File too small for 1048576 variable headers"),
    (16, 1 << 30, "File too small for session info"),
    (36, 16, "Variable 'V' offset 8 \\+ size 256 exceeds buffer length 16"),
])
def test_a_hostile_layout_is_refused_at_connecting(tmp_path, field, value, failure):
    path = tmp_path / "memory"
    with writer(path) as out:
        out._view[field:field + 4] = struct.pack("<i", value)
        with pytest.raises(telvane.IbtError, match=failure) as raised:
            live.connect(path)
        assert str(raised.value).startswith(f"{path}: ")


def test_a_recording_on_disk_or_no_file_is_no_live_telemetry(tmp_path):
    (tmp_path / "speed.ibt").write_bytes(SPEED)
    with pytest.raises(telvane.IbtError, match="not laid out as live telemetry memory"):
        live.connect(tmp_path / "speed.ibt")
    started = time.monotonic()
    with pytest.raises(FileNotFoundError):
        live.connect(tmp_path / "none", timeout=0.2)
    assert time.monotonic() - started >= 0.2
    with pytest.raises(ConnectionError) as raised:
        live.connect()  # on Windows through the core's named mapping and event, which no simulator made here
    assert str(raised.value) == ("the simulator is not running: no live telemetry to connect to" if sys.platform == "win32"
                                 else "live telemetry needs the simulator, which runs on Windows; give source= a file")


def test_a_file_that_shrinks_is_refused_before_it_is_read(tmp_path):
    path = tmp_path / "memory"
    with writer(path), live.connect(path) as memory:
        os.truncate(path, 4096)
        with pytest.raises(telvane.IbtError, match="shrank"):
            memory.latest()


def test_unknown_columns_are_named(tmp_path):
    path = tmp_path / "memory"
    with writer(path) as out, live.connect(path) as memory:
        with pytest.raises(KeyError, match="no channel named 'Speed'"):
            memory.batches(["V", "Speed"])
        assert memory.latest("V").schema.names == ["tick", "timecodes", "V"]
        out.stop()


@pytest.mark.skipif(not SAMPLE.exists(), reason="needs the real recording")
def test_a_replay_holds_the_recording_values_as_telvane_open_reads_them(tmp_path):
    path = tmp_path / "memory"
    assert live.replay(SAMPLE, path, rate=math.inf) > 0
    with telvane.open(SAMPLE) as recording, live.connect(path) as memory:
        log = recording.read(["Speed", "Gear", "OnPitRoad"], arrays=True)
        row = memory.latest(["Speed", "Gear", "OnPitRoad", "SteeringWheelTorque_ST"])
        assert not memory.connected
    assert row.column("tick").to_pylist() == [recording.record_count]
    assert row.column("timecodes").to_pylist() == log.timecodes[-1:].to_pylist()
    for name in ("Speed", "Gear", "OnPitRoad"):
        assert row.schema.field(name).type == log.channels[name].schema.field(name).type
        assert row.column(name).to_pylist() == log.channels[name].column(name)[-1:].to_pylist()
    torque = log.arrays["SteeringWheelTorque_ST"].column("SteeringWheelTorque_ST")
    assert row.column("SteeringWheelTorque_ST").to_pylist() == [torque[-6:].to_pylist()]


@pytest.mark.slow
@pytest.mark.skipif(not (shutil.which("x86_64-w64-mingw32-g++-posix") and shutil.which("wine")),
                    reason="needs mingw-w64 and wine")
def test_the_simulators_mapping_and_event_read_under_wine():
    """The core's Windows layer, built with mingw-w64, reading a test writer's named mapping
    at every event, every tick once and whole (the writer and the check: live_wine.sh)."""
    run = subprocess.run(["bash", str(WINE_RUN)], capture_output=True, text=True,
                         env={**os.environ, "PYTHON": sys.executable}, timeout=1800)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.count("each whole, once, in order") == 2, run.stdout

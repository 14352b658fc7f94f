"""`telvane record`: live telemetry written by a test writer recorded to an IBT file that
telvane.open reads back as it was written, whole however the recording ends."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import telvane
from telvane._live_writer import LiveWriter
from telvane._writer import DOUBLE, FLOAT, INT, Var, pack_records, var_header
from telvane._cli import main

CARS = 8
VARS = [Var("SessionTime", DOUBLE, 0, unit="s"), Var("Speed", FLOAT, 8, unit="m/s"),
        Var("CarIdxLap", INT, 12, count=CARS), Var("Lap", INT, 12 + 4 * CARS)]
BUF_LEN = 16 + 4 * CARS
INFO = (b"---\nWeekendInfo:\n TrackName: ring/../north\nDriverInfo:\n DriverCarIdx: 1\n Drivers:\n"
        b" - CarIdx: 0\n   CarPath: other\n - CarIdx: 1\n   CarPath: gt3 car\n")


def values(tick):
    return [tick / 60, tick * 0.5, [tick + car for car in range(CARS)], tick // 20]


def record(tick):
    return pack_records(VARS, BUF_LEN, [values(tick)])


class Writer(threading.Thread):
    """Writes `count` ticks at 60 Hz after the first, then stops; `stop=False` leaves the
    status connected, as a writer that died."""

    def __init__(self, path, count, stop=True):
        super().__init__()
        self.out = LiveWriter(path, [var_header(var) for var in VARS], BUF_LEN, INFO)
        self.out.write(record(1))
        self.count, self.stop = count, stop
        self.halt = threading.Event()

    def run(self):
        time.sleep(0.2)  # the recorder connects meanwhile
        start = time.monotonic()
        for k in range(2, self.count + 1):
            if self.halt.wait(max(0.0, start + k / 60 - time.monotonic())):
                break
            self.out.write(record(k))
        if self.stop:
            self.out.stop()


def read_back(path):
    with telvane.open(path) as recording:
        return recording.read(arrays=True, laps=False), recording.metadata


def assert_recorded(log, first, count, names=("Speed", "CarIdxLap")):
    ticks = range(first, first + count)
    assert len(log.timecodes) == count
    assert log.channels["SessionTime"].column("SessionTime").to_pylist() == [values(t)[0] for t in ticks]
    if "Speed" in names:
        assert log.channels["Speed"].column("Speed").to_pylist() == [values(t)[1] for t in ticks]
    if "CarIdxLap" in names:
        assert log.arrays["CarIdxLap"].column("CarIdxLap").to_pylist() == [values(t)[2] for t in ticks]


@pytest.mark.slow
def test_a_recording_reads_back_as_the_records_were_written(tmp_path, capsys):
    writer = Writer(tmp_path / "memory", 60)
    writer.start()
    assert main(["record", "--source", str(tmp_path / "memory"), "--out", str(tmp_path)]) == 0
    writer.join()
    [path] = tmp_path.glob("*.ibt")
    assert path.name.startswith("gt3 car_ring_.._north ")  # the session's car and track, no separator
    log, metadata = read_back(path)
    assert_recorded(log, 1, 60)
    assert (metadata["record_count"], metadata["start_time"], metadata["end_time"]) == (60, 1 / 60, 1.0)
    assert metadata["lap_count"] == 4  # Lap 0 to 3
    assert "CarPath: gt3 car" in metadata["session_info_yaml"]
    output = capsys.readouterr()
    assert output.out == f"wrote {path}: 60 records, 0 missed\n"
    assert output.err.endswith("60 records, 0 missed, 0.0 MB\n")


def test_columns_and_a_duration_make_a_part_of_the_telemetry(tmp_path):
    writer = Writer(tmp_path / "memory", 600)
    writer.start()
    try:
        assert main(["record", "--source", str(tmp_path / "memory"), "--out", str(tmp_path / "part.ibt"),
                     "--columns", "CarIdxLap", "--duration", "0.3"]) == 0
    finally:
        writer.halt.set()
        writer.join()
    log, metadata = read_back(tmp_path / "part.ibt")
    assert list(log.channels) == ["SessionTime"] and list(log.arrays) == ["CarIdxLap"]
    assert 1 < metadata["record_count"] < 60
    assert_recorded(log, 1, metadata["record_count"], names=("CarIdxLap",))


@pytest.mark.parametrize("argv, message", [
    (["--source", "memory", "--columns", "Nope"], "telvane: no variable named 'Nope' in the live telemetry\n"),
    (["--source", "none"], "telvane: [Errno 2] No such file or directory: 'none'\n"),
    *([([], "telvane: live telemetry needs the simulator, which runs on Windows; give source= a file\n")]
      if sys.platform != "win32" else []),
])
def test_what_cannot_be_recorded_is_named(tmp_path, capsys, argv, message):
    Writer(tmp_path / "memory", 0).out.close()
    assert main(["record", *argv]) == 1
    assert capsys.readouterr().err == message
    assert not list(tmp_path.glob("*.ibt"))


def test_a_duration_is_a_number_of_seconds(capsys):
    with pytest.raises(SystemExit):
        main(["record", "--duration", "0"])
    assert "expected a number of seconds above 0, got '0'" in capsys.readouterr().err


@pytest.mark.slow
@pytest.mark.skipif(os.name != "posix", reason="kills the recorder with SIGKILL")
def test_a_recorder_killed_leaves_a_file_that_recover_reads(tmp_path):
    writer = Writer(tmp_path / "memory", 120, stop=False)
    writer.start()
    recorder = subprocess.Popen([sys.executable, "-m", "telvane", "record", "--source", str(tmp_path / "memory"),
                                 "--out", str(tmp_path / "cut.ibt")], stderr=subprocess.PIPE)
    writer.join()
    recorder.send_signal(signal.SIGKILL)
    recorder.wait()
    with pytest.warns(UserWarning, match="the header says 0 records; recovered"), \
            telvane.open(tmp_path / "cut.ibt", recover=True) as recording:
        log, metadata = recording.read(arrays=True, laps=False), recording.metadata
    assert metadata["record_count"] > 0
    first = round(log.channels["SessionTime"].column("SessionTime")[0].as_py() * 60)
    assert_recorded(log, first, metadata["record_count"])

"""LogFile.to_motec and `telvane export --format motec`, read back by tests/motec_reader.py:
every channel's samples, rate, unit and name, the header and event blocks, the beacons at
the line crossings of lap_times(), names the format cannot hold, files whole or not at all."""

import datetime
import math
import os
from pathlib import Path

import numpy as np
import pytest
from builders import write_channels
from conftest import run
from motec_reader import read_ld, read_ldx

import telvane
from telvane._arrow import column_values
from telvane._text import printable
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, pack_records, write_ibt

G = 9.80665
# i2's standard channels as MOTEC.md lists them: source, unit, value from the source's.
STANDARD = {"Ground Speed": ("Speed", "km/h", lambda v: v * 3.6), "Engine RPM": ("RPM", "rpm", lambda v: v),
            "Throttle Pos": ("Throttle", "%", lambda v: v * 100), "Brake Pos": ("Brake", "%", lambda v: v * 100),
            "Clutch Pos": ("Clutch", "%", lambda v: v * 100), "Steered Angle": ("SteeringWheelAngle", "deg", np.degrees),
            "GPS Latitude": ("Lat", "deg", lambda v: v), "GPS Longitude": ("Lon", "deg", lambda v: v),
            "G Force Lat": ("LatAccel", "G", lambda v: v / G), "G Force Long": ("LongAccel", "G", lambda v: v / G),
            "G Force Vert": ("VertAccel", "G", lambda v: v / G), "Lap Distance": ("LapDist", "m", lambda v: v),
            "Gear": ("Gear", "", lambda v: v)}


def written(log, name="r.ld"):
    left_out = log.to_motec(name)
    return read_ld(name), read_ldx(Path(name).with_suffix(".ldx")), left_out


def expected_stored(values):
    """The recording's values as the format stores them."""
    if values.dtype == np.bool_:
        return values.astype(np.int16)
    if values.dtype == np.uint32:
        return values.view(np.int32)
    with np.errstate(over="ignore"):
        return values.astype(np.float32 if values.dtype.kind == "f" else np.int32)


def expected_channel(log, name, rate):
    """(samples, rate, unit) of the channel the .ld names `name` in full."""
    if name in log.channels:
        field = log.channels[name].schema.field(1)
        return expected_stored(column_values(log.channels[name].column(1))), rate, field.metadata[b"units"].decode()
    if name in log.arrays:  # sub-tick: `count` samples a record, the last at the record's time
        table = log.arrays[name]
        count = table.num_rows // len(log)
        return (expected_stored(column_values(table.column(1)))[count - 1:], rate * count,
                table.schema.field(1).metadata[b"units"].decode())
    array, _, element = name.rpartition("_")
    table = log.arrays[array]
    width = table.schema.field(1).type.list_size
    values = table.column(1).combine_chunks().flatten().to_numpy(zero_copy_only=False).reshape(-1, width)[:, int(element)]
    return expected_stored(values), rate, table.schema.field(1).metadata[b"units"].decode()


def lap_numbers(log):
    laps, numbers = log.lap_times(), np.zeros(len(log), np.int32)
    for first, num in zip(laps["first_record"].to_pylist(), laps["num"].to_pylist()):
        numbers[first:] = num
    numbers[:laps["first_record"][0].as_py()] = laps["num"][0].as_py()
    return numbers


def check_channels(log, ld, ldx, left_out=()):
    """Every channel of the LogFile, element of its arrays and standard channel is in the .ld
    under its name or a unique cut one, with the recording's values at the right rate."""
    rate = log.metadata["tick_rate"]
    shown = {printable(name): name for name in [*log.channels, *log.arrays]}  # as XML can hold them
    full = {name: shown.get(ldx.details.get(name, name), ldx.details.get(name, name)) for name in ld.channels}
    assert len({name.lower() for name in ld.channels}) == len(ld.channels)
    assert len({channel.short_name.lower() for channel in ld.channels.values()}) == len(ld.channels)
    assert all(len(name) <= 32 and len(channel.short_name) <= 8 for name, channel in ld.channels.items())
    standard = {name for name, (source, _, _) in STANDARD.items() if source in log.channels and name not in log.channels}
    arrays = {name: table for name, table in log.arrays.items() if name not in left_out}
    elements = {f"{name}_{k}" for name, table in arrays.items() if table.num_rows == len(log)
                for k in range(table.schema.field(1).type.list_size)}
    sub_tick = {name for name, table in arrays.items() if table.num_rows != len(log)}
    kept = {name for name in log.channels if name not in left_out}
    lap_number = {"Lap Number"} if log.lap_times().num_rows else set()
    assert sorted(full.values()) == sorted(kept | elements | sub_tick | standard | lap_number)
    for name, channel in ld.channels.items():
        if full[name] in standard:
            source, unit, convert = STANDARD[full[name]]
            values = column_values(log.channels[source].column(1)).astype(np.float64)
            assert (channel.rate, channel.unit) == (rate, unit)
            np.testing.assert_allclose(channel.values, convert(values), rtol=2e-7, atol=1e-30)
        elif full[name] == "Lap Number":
            assert channel.rate == rate and np.array_equal(channel.raw, lap_numbers(log))
        else:
            samples, expected_rate, unit = expected_channel(log, full[name], rate)
            assert (channel.rate, channel.unit, channel.stored) == (expected_rate, unit[:12], samples.dtype.str)
            assert np.array_equal(channel.raw, samples, equal_nan=samples.dtype.kind == "f")
            assert np.array_equal(channel.values, samples.astype(np.float64), equal_nan=True)


def crossings_us(log):
    """The crossings of lap_times() in µs from the first record, each placed from the record
    next to it at its tick, the ticks around it being steady."""
    laps, times, rate = log.lap_times().to_pylist(), log.lap_inputs.times, log.metadata["tick_rate"]
    found = {lap[record] * 1e6 / rate + (lap[f"{end}_time"] - times[lap[record]]) * 1000
             for lap in laps for end, record in (("start", "first_record"), ("end", "end_record"))
             if lap[f"{end}_at_line"]}
    return sorted(found)


def player(log):
    info = log.session()
    me = next(d for d in info["DriverInfo"]["Drivers"] if d["CarIdx"] == info["DriverInfo"]["DriverCarIdx"])
    return me, info


def check_header(log, ld):
    me, info = player(log)
    started = datetime.datetime.fromtimestamp(log.metadata["session_start_date"], datetime.timezone.utc)
    assert {key: ld.header[key] for key in ("date", "time", "driver", "vehicle", "venue", "comment")} == {
        "date": started.strftime("%d/%m/%Y"), "time": started.strftime("%H:%M:%S"), "driver": me["UserName"],
        "vehicle": me["CarScreenName"], "venue": info["WeekendInfo"]["TrackDisplayName"],
        "comment": f"telvane {telvane.__version__}"}
    assert (ld.venue, ld.vehicle, ld.event["name"]) == (ld.header["venue"], me["CarScreenName"],
                                                        info["WeekendInfo"]["EventType"])


def test_the_synthetic_sample_reads_back_whole_with_beacons_at_the_crossings(recording):
    with telvane.open(recording) as opened:
        log = opened.read(arrays=True)
    ld, ldx, left_out = written(log)
    assert left_out == []
    check_channels(log, ld, ldx)
    check_header(log, ld)
    assert ld.event["session"] == "Practice, Lone Qualify"  # both sessions the records hold
    torque = ld.channels["SteeringWheelTorque_ST"]  # 360 Hz, its every sixth sample the scalar's
    assert np.array_equal(torque.raw[::6], ld.channels["SteeringWheelTorque"].raw)
    beacons = crossings_us(log)
    assert len(ldx.beacons) == len(beacons) == 6  # across the reset and into the second session
    assert np.abs(np.array(ldx.beacons) - beacons).max() <= 1
    full = [row for row in log.lap_times().to_pylist() if row["lap_type"] == "full"]
    fastest = min(full, key=lambda row: row["duration"])
    minutes, millis = divmod(round(fastest["duration"]), 60_000)
    start = fastest["first_record"] * 1e6 / 60 + (fastest["start_time"] - log.lap_inputs.times[fastest["first_record"]]) * 1000
    after = [k for k, beacon in enumerate(ldx.beacons) if abs(beacon - start) <= 1]  # i2's lap k + 2 starts at beacon k
    assert ldx.details == {"Total Laps": str(len(full)), "Fastest Time": f"{minutes:02d}:{millis // 1000:02d}.{millis % 1000:03d}",
                           "Fastest Lap": str(after[0] + 2)}


def test_the_real_recording_reads_back_whole(sample):
    with telvane.open(sample) as opened:
        log = opened.read(arrays=True)
    ld, ldx, left_out = written(log)
    check_channels(log, ld, ldx, left_out)
    check_header(log, ld)
    assert ldx.beacons == [round(us) for us in crossings_us(log)]  # none: its one lap is an out lap
    assert ld.channels["SteeringWheelTorque_ST"].rate == 360


def test_every_type_is_stored_as_its_own_text_is_left_out_and_cut_elements_stay_apart():
    long = "B" * 31  # each of its elements' names is cut
    variables = [Var("SessionTime", DOUBLE, 0), Var("OnPitRoad", BOOL, 8), Var("Flags", BITFIELD, 9),
                 Var("Lat", DOUBLE, 13), Var("Gear", INT, 21), Var("Initial", CHAR, 25), Var("Name", CHAR, 26, 4),
                 Var("Far", DOUBLE, 30), Var(long, FLOAT, 38, 12)]
    rows = [[r / 60, r % 2 == 1, 0x8000_0001 + r, 47.2 + r / 1e6, r - 1, 65, [66, 67, 0, 0], -1e300 * r,
             list(range(r, r + 12))] for r in range(3)]
    Path("r.ibt").write_bytes(write_ibt(variables, pack_records(variables, 86, rows), buf_len=86))
    with telvane.open("r.ibt") as opened:
        log = opened.read(arrays=True)
    ld, ldx, left_out = written(log)
    assert left_out == ["Initial", "Name"]
    check_channels(log, ld, ldx, left_out)
    assert [(name, channel.stored) for name, channel in ld.channels.items()][:7] == [
        ("SessionTime", "<f4"), ("OnPitRoad", "<i2"), ("Flags", "<i4"), ("Lat", "<f4"), ("Gear", "<i4"),
        ("Far", "<f4"), ("B" * 30 + "_0", "<f4")]
    assert ld.channels["Far"].raw.tolist() == [0.0, -math.inf, -math.inf]
    assert ld.channels["Flags"].raw.view(np.uint32).tolist() == [0x8000_0001, 0x8000_0002, 0x8000_0003]
    assert sorted(ldx.details[cut] for cut in ld.channels if cut in ldx.details) == sorted(f"{long}_{k}" for k in range(12))


def renamed(names):
    """A LogFile whose float channels carry `names`, beside its SessionTime."""
    log = telvane.ibt(write_channels({f"c{i}": (FLOAT, [i, i + 0.5]) for i in range(len(names))}))
    tables = list(log.channels.values())
    log.channels = {"SessionTime": tables[0], **dict(zip(names, tables[1:]))}
    return log


@pytest.mark.parametrize("names, written_names", [
    (["A" * 40, "A" * 33, "a" * 32], ["A" * 32, "A" * 30 + "_2", "a" * 30 + "_3"]),  # equal after cutting, ignoring case
    (["Geschwündigkeit", "Geschw?ndigkeit"], ["Geschw?ndigkeit", "Geschw?ndigkeit_2"]),  # non-ASCII
    (["Sp\0eed", "Tab\there", ""], ["Sp?eed", "Tab?here", "_"]),  # NUL and controls
    (["Speed", "speed", "speed_2"], ["Speed", "speed_2", "speed_2_2"]),
    (["Ground Speed", "Speed"], ["Ground Speed", "Speed"]),  # the recording's own: no second Ground Speed
])
def test_names_the_format_cannot_hold_are_cut_unique_and_kept_whole_in_the_ldx(names, written_names):
    log = renamed(names)
    ld, ldx, _ = written(log)
    assert list(ld.channels)[1:len(names) + 1] == written_names
    assert {name: ldx.details[name] for name in written_names if name in ldx.details} == {
        name: printable(full) for name, full in zip(written_names, names) if name != full}
    check_channels(log, ld, ldx)


def test_an_empty_recording_is_channels_without_samples_and_no_laps():
    log = telvane.ibt(write_channels({"Speed": (FLOAT, []), "Lap": (INT, [])}))
    ld, ldx, _ = written(log)
    assert {name: len(channel.raw) for name, channel in ld.channels.items()} == {
        "SessionTime": 0, "Speed": 0, "Lap": 0, "Ground Speed": 0}
    assert (ldx.beacons, ldx.details) == ([], {"Total Laps": "0"})
    assert (ld.header["date"], ld.header["driver"], ld.event["session"]) == ("", "", "")


def files():
    return sorted(str(path) for path in Path().rglob("*"))


def short_speed(log):
    log.channels["Speed"] = log.channels["Speed"].slice(0, 1)  # found when its samples are written


@pytest.mark.parametrize("path, spoil, message", [
    ("r.ld", lambda log: log.metadata.update(tick_rate=0),
     "a tick rate of 0 Hz cannot be written: MoTeC rates are 1 to 65535 Hz"),
    ("r.ld", lambda log: log.metadata.update(tick_rate=70_000),
     "a tick rate of 70000 Hz cannot be written: MoTeC rates are 1 to 65535 Hz"),
    ("r.ldx", None, "r.ldx: an .ld file cannot have the suffix .ldx"),
    ("in.ibt", None, "in.ibt would overwrite the input in.ibt"),
    ("in.ld", None, "in.ldx would overwrite the input in.ibt"),  # the .ldx beside it would
    ("r.ld", short_speed, "channel 'Speed' has 1 samples, expected 2"),
])
def test_what_cannot_be_written_leaves_every_file_as_it_was(path, spoil, message):
    Path("in.ibt").write_bytes(write_channels({"Speed": (FLOAT, [1.0, 2.0])}))
    os.symlink("in.ibt", "in.ldx")
    log = telvane.ibt("in.ibt")
    if spoil:
        spoil(log)
    before = files()
    with pytest.raises(ValueError) as raised:
        log.to_motec(path)
    assert str(raised.value) == message and files() == before


def test_export_writes_several_formats_from_one_read_and_nothing_of_a_bad_file(capsys, monkeypatch, recording):
    reads = []
    read = telvane.Recording.read
    monkeypatch.setattr(telvane.Recording, "read", lambda *args, **kwargs: reads.append(1) or read(*args, **kwargs))
    Path("bad.ibt").write_bytes(b"no recording")
    status, out, err = run(capsys, "export", recording, "bad.ibt", "--out", "o", "--flat", "--jobs", "1",
                           "--format", "motec", "--format", "parquet", "--format", "motec")
    assert (status, reads) == (1, [1]) and err.startswith("telvane: bad.ibt: Invalid header: ")
    assert out.splitlines()[0] == "wrote o/synthetic_sample.ld, o/synthetic_sample.ldx, o/synthetic_sample.parquet"
    assert sorted(os.listdir("o")) == ["synthetic_sample.ld", "synthetic_sample.ldx", "synthetic_sample.parquet"]
    with telvane.open(recording) as opened:
        log = opened.read(arrays=True)
    check_channels(log, read_ld("o/synthetic_sample.ld"), read_ldx("o/synthetic_sample.ldx"))


def test_export_names_what_it_leaves_out_and_only_the_channels_asked_for(capsys):
    variables = [Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8), Var("Name", CHAR, 12, 4), Var("T_ST", FLOAT, 16, 2)]
    Path("r.ibt").write_bytes(write_ibt(variables, pack_records(variables, 24, [[0.0, 1.0, [65, 0, 0, 0], [1, 2]]]), buf_len=24))
    status, out, _ = run(capsys, "export", "r.ibt", "--out", "o", "--flat", "--format", "motec")
    assert (status, out.splitlines()[0]) == (0, "wrote o/r.ld, o/r.ldx (left out, holding text: Name)")
    assert list(read_ld("o/r.ld").channels) == ["SessionTime", "Speed", "T_ST", "Ground Speed"]
    status, out, _ = run(capsys, "export", "r.ibt", "--out", "p", "--flat", "--format", "motec", "--channels", "Speed")
    assert (status, out.splitlines()[0]) == (0, "wrote p/r.ld, p/r.ldx")
    assert list(read_ld("p/r.ld").channels) == ["Speed", "Ground Speed"]

"""The synthetic recordings the benchmarks read: an hour at 60 Hz with a realistic layout of
scalars and per-corner arrays, the same at a high rate, short samples of both, and one-minute
recordings of mixed channel sets. Written once into a cache directory and reused while their
size and generation match; the synthetic sample's driving widened to a real recording's
channel count; a league's short uploads; wide random-walk recordings for the export and
their two-record twins; the variables of live telemetry memory; and where the real recording
lies."""

from __future__ import annotations

import os
import re
import shutil
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from telvane._writer import (BITFIELD, BOOL, CHAR, DOUBLE, ELEMENT_SIZE, FLOAT, HEADER_SIZE, INT, NUMPY_TYPE,
                             SUB_HEADER_SIZE, VAR_HEADER_SIZE, Var, write_ibt)

RATE = 60
GENERATION = 2  # bump when the generated content changes, so cached files are rebuilt
CHUNK_BYTES = 16 << 20
REAL_SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "samples" / "redbullring_amg.ibt"

@dataclass(frozen=True)
class Layout:
    vars: list[Var]
    buf_len: int


@dataclass(frozen=True)
class Recording:
    name: str
    layout: str  # "hour" or "highrate"
    records: int


HOUR = Recording("hour", "hour", 216_000)
HIGHRATE = Recording("highrate", "highrate", 216_000)
SMALL = Recording("small", "hour", 600)
HIGHRATE_SMALL = Recording("highrate-small", "highrate", 600)  # pyirsdk's sample of HIGHRATE

# The variables every recording starts with, named as the simulator names them.
NAMED = [
    ("SessionTime", DOUBLE, "s", "Seconds since session start"),
    ("SessionTick", INT, "", "Current update number"),
    ("SessionNum", INT, "", "Session number"),
    ("SessionState", INT, "irsdk_SessionState", "Session state"),
    ("SessionFlags", BITFIELD, "irsdk_Flags", "Session flags"),
    ("SessionTimeRemain", DOUBLE, "s", "Seconds left till session ends"),
    ("IsOnTrack", BOOL, "", "1=Car on track physics running with player in car"),
    ("PlayerCarInPitStall", BOOL, "", "Players car is properly in their pitstall"),
    ("OnPitRoad", BOOL, "", "Is the player car on pit road between the cones"),
    ("SteeringWheelAngle", FLOAT, "rad", "Steering wheel angle"),
    ("Throttle", FLOAT, "%", "0=off throttle to 1=full throttle"),
    ("Brake", FLOAT, "%", "0=brake released to 1=max pedal force"),
    ("Gear", INT, "", "-1=reverse  0=neutral  1..n=current gear"),
    ("RPM", FLOAT, "revs/min", "Engine rpm"),
    ("Lap", INT, "", "Laps started count"),
    ("LapCompleted", INT, "", "Laps completed count"),
    ("LapDist", FLOAT, "m", "Meters traveled from S/F this lap"),
    ("LapDistPct", FLOAT, "%", "Percentage distance around lap"),
    ("Speed", FLOAT, "m/s", "GPS vehicle speed"),
    ("Lat", DOUBLE, "deg", "Latitude in decimal degrees"),
    ("Lon", DOUBLE, "deg", "Longitude in decimal degrees"),
    ("EngineWarnings", BITFIELD, "irsdk_EngineWarnings", "Bitfield for warning lights"),
    ("DisplayUnits", CHAR, "", "Default units for the user interface"),
]
CORNERS = ("LF", "RF", "LR", "RR")
CORNER_CHANNELS = [("tempL", "C"), ("tempM", "C"), ("tempR", "C"), ("tempCL", "C"), ("tempCM", "C"),
                   ("tempCR", "C"), ("wearL", "%"), ("wearM", "%"), ("wearR", "%"), ("pressure", "kPa"),
                   ("coldPressure", "kPa"), ("speed", "m/s"), ("brakeLinePress", "bar"),
                   ("shockDefl", "m"), ("shockVel", "m/s"), ("rideHeight", "m")]
SCALAR_MIX = {  # scalars per type, the named ones included
    "hour": {DOUBLE: 6, FLOAT: 190, INT: 48, BITFIELD: 4, BOOL: 24, CHAR: 3},
    "highrate": {DOUBLE: 20, FLOAT: 200, INT: 36, BITFIELD: 4, BOOL: 25, CHAR: 3},
}
TYPE_NAME = {CHAR: "Char", BOOL: "Bool", INT: "Int", BITFIELD: "BitField", FLOAT: "Float", DOUBLE: "Double"}


def _arrays(layout: str) -> list[tuple[str, int, int, str, str]]:
    """Array variables: the hour layout has one, six 360 Hz sub-samples of steering torque per
    record; the high-rate layout adds more of those and the 64-car arrays that dominate it."""
    arrays = [("SteeringWheelTorque_ST", FLOAT, 6, "N*m", "Output torque on steering shaft at 360 Hz")]
    if layout == "highrate":
        arrays += [(f"{c}shockVel_ST", FLOAT, 6, "m/s", f"{c} shock velocity at 360 Hz") for c in CORNERS]
        arrays += [(f"CarIdxF{k:02d}", FLOAT, 64, "", "Per car value by car index") for k in range(16)]
        arrays += [(f"CarIdxI{k:02d}", INT, 64, "", "Per car integer by car index") for k in range(10)]
        arrays += [("CarIdxOnPitRoad", BOOL, 64, "", "On pit road between the cones by car index")]
    return arrays


def layout_of(layout: str) -> Layout:
    """The variables in file order, packed back to back without alignment as the simulator does."""
    rng = np.random.default_rng(7)
    named = list(NAMED)
    named += [(f"{c}{s}", FLOAT, u, f"{c} {s}") for c in CORNERS for s, u in CORNER_CHANNELS]
    left = dict(SCALAR_MIX[layout])
    for _, code, _, _ in named:
        left[code] -= 1
    generic = [(f"Aux{TYPE_NAME[code]}{k:03d}", code, "", f"Auxiliary {TYPE_NAME[code].lower()} {k}")
               for code, count in left.items() for k in range(count)]
    rest = [(name, code, 1, unit, desc) for name, code, unit, desc in generic] + _arrays(layout)
    rest = [rest[i] for i in rng.permutation(len(rest))]
    declared = [(name, code, 1, unit, desc) for name, code, unit, desc in named] + rest
    vars, offset = [], 0
    for name, code, count, unit, desc in declared:
        vars.append(Var(name, code, offset, count, desc, unit))
        offset += ELEMENT_SIZE[code] * count
    buf_len = {"hour": 1072, "highrate": 8154}[layout]
    assert offset <= buf_len, (layout, offset)
    return Layout(vars, buf_len)


def drive_plan(n: int) -> dict[str, np.ndarray]:
    """Lap, LapDistPct, OnPitRoad, session number and SessionTime of every record: an out lap
    from the pits, a pit stop, an in lap, a session restart to Lap 0, and a final lap cut short."""
    per_lap = max(n / 40, 4.0)
    # (session, lap value, start fraction, pit-box stop in laps, starts on pit road, ends there)
    laps = [(0, 0, 0.03, 0.10, True, False)] + [(0, k, 0.0, 0.0, False, False) for k in range(1, 8)]
    laps += [(0, 8, 0.0, 0.0, False, True), (0, 9, 0.0, 0.35, True, False)]
    laps += [(0, k, 0.0, 0.0, False, False) for k in range(10, 15)]
    laps += [(0, 15, 0.0, 0.0, False, True), (1, 0, 0.03, 0.2, True, False)]
    laps += [(1, k, 0.0, 0.0, False, False) for k in range(1, 40)]
    parts: dict[str, list[np.ndarray]] = {"lap": [], "pct": [], "pit": [], "session": []}
    total = 0
    for session, value, start, stop, pit_start, pit_end in laps:
        moving = np.linspace(start, 1.0, max(int((1.0 - start) * per_lap), 2), endpoint=False)
        pct = np.concatenate([moving[moving < 0.03], np.full(int(stop * per_lap), 0.03), moving[moving >= 0.03]])
        pit = (pct < 0.08) & pit_start | (pct >= 0.93) & pit_end
        for key, part in zip(parts, (np.full(len(pct), value), pct, pit, np.full(len(pct), session))):
            parts[key].append(part)
        total += len(pct)
        if total >= n:
            break
    plan = {key: np.concatenate(part)[:n] for key, part in parts.items()}
    plan["lap"] = plan["lap"].astype(np.int32)
    plan["pct"] = plan["pct"].astype(np.float32)
    restart = int(np.searchsorted(plan["session"], 1))
    ticks = np.arange(n, dtype=np.int64)
    ticks[restart:] -= restart - 180  # the new session's clock starts again 3 s in
    plan["time"] = (ticks + 720) / RATE
    return plan


def _signals(layout: Layout, plan: dict[str, np.ndarray], first: int, count: int) -> Iterator[tuple[Var, np.ndarray]]:
    """Every variable's values for records [first, first + count), computed column-wise."""
    part = {key: values[first:first + count] for key, values in plan.items()}
    index = np.arange(first, first + count)
    t = index / RATE
    pct, pit = part["pct"].astype(np.float64), part["pit"]
    wave = np.sin(2 * np.pi * 9 * pct)
    speed = np.where(pit, 22.0, 48.0 + 22.0 * wave)
    named = {
        "SessionTime": part["time"], "SessionTick": index + 43_200, "SessionNum": part["session"],
        "SessionState": np.full(count, 4), "SessionFlags": np.full(count, 0x10040000),
        "SessionTimeRemain": 3600.0 - part["time"], "IsOnTrack": np.ones(count, bool),
        "PlayerCarInPitStall": pit & (part["pct"] == np.float32(0.03)), "OnPitRoad": pit,
        "SteeringWheelAngle": 0.8 * np.cos(2 * np.pi * 9 * pct), "Throttle": np.clip(wave + 0.6, 0, 1),
        "Brake": np.clip(-wave - 0.6, 0, 1), "Gear": np.clip(speed // 12, 1, 6), "RPM": 4000 + 55 * speed,
        "Lap": part["lap"], "LapCompleted": np.maximum(part["lap"] - 1, 0), "LapDist": pct * 4318.0,
        "LapDistPct": part["pct"], "Speed": speed, "Lat": 47.2203 + 0.005 * np.cos(2 * np.pi * pct),
        "Lon": 14.7667 + 0.007 * np.sin(2 * np.pi * pct), "EngineWarnings": np.where(pit, 0x10, 0),
        "DisplayUnits": np.ones(count),
    }
    for k, var in enumerate(layout.vars):
        if var.name in named:
            yield var, named[var.name]
        elif var.count > 1:
            cars = (part["pct"][:, None] + np.linspace(0, 1, var.count, endpoint=False, dtype=np.float32)) % 1
            yield var, cars * (k % 5 + 1) if var.type in (FLOAT, DOUBLE) else cars > 0.5
        elif var.type in (FLOAT, DOUBLE):
            yield var, (k % 7 + 1) * np.sin(2 * np.pi * (0.01 + k / 997) * t + k) + k
        elif var.type == BOOL:
            yield var, (index // (60 + k)) % 3 == 0
        else:
            yield var, (index // (30 + k)) % (k % 50 + 2)


def write_recording(path: Path, recording: Recording) -> None:
    layout = layout_of(recording.layout)
    plan = drive_plan(recording.records)
    n = recording.records
    header = write_ibt(layout.vars, b"", session_info=session_info(), buf_len=layout.buf_len,
                       session_record_count=n, tick_rate=RATE, session_start_date=1_713_182_400,
                       start_time=float(plan["time"][0]), end_time=float(plan["time"][-1]),
                       lap_count=len(np.unique(plan["lap"])))
    step = max(1, CHUNK_BYTES // layout.buf_len)
    partial = path.with_suffix(".part")
    with open(partial, "wb") as out:
        out.write(header)
        for first in range(0, n, step):
            count = min(step, n - first)
            block = np.zeros((count, layout.buf_len), np.uint8)
            for var, values in _signals(layout, plan, first, count):
                width = ELEMENT_SIZE[var.type] * var.count
                column = block[:, var.offset:var.offset + width].view(NUMPY_TYPE[var.type])
                column[:] = values.reshape(count, -1)
            out.write(block.data)
    os.replace(partial, path)


def session_info() -> str:
    drivers = "".join(
        f" - CarIdx: {k}\n   UserName: Driver {k:02d}\n   AbbrevName: D{k:02d}\n   CarNumber: \"{k + 1}\"\n"
        f"   CarScreenName: Mercedes-AMG GT3 2020\n   CarClassShortName: GT3\n   IRating: {1500 + 37 * k}\n"
        f"   LicString: A 3.{k % 10}{k % 7}\n   CarDesignStr: 1,ff0000,00ff00,0000ff\n" for k in range(24))
    return ("---\nWeekendInfo:\n TrackName: spielberg gp\n TrackID: 403\n TrackLength: 4.28 km\n"
            " TrackDisplayName: Red Bull Ring\n TrackCity: Spielberg\n TrackCountry: Austria\n"
            " SeriesID: 0\n SeasonID: 0\n SessionID: 0\n SubSessionID: 0\n EventType: Test\n"
            "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Practice\n"
            " - SessionNum: 1\n   SessionType: Race\n"
            f"DriverInfo:\n DriverCarIdx: 0\n Drivers:\n{drivers}...\n")


MIXED_RECORDS = 60 * RATE  # a minute


def mixed_channels(number: int, *, bool_flag: bool = True, track: str | None = None) -> bytes:
    """A minute at 60 Hz of one of three channel sets by `number` (50, 60 or 70 random-walk
    floats), `Flag` bool in the second set when `bool_flag` and char otherwise: the mix of a
    league's archive. `track` replaces the sample's track name."""
    from telvane._sample import SESSION_INFO

    kind = number % 3
    floats = 50 + 10 * kind
    variables = [Var("SessionTime", DOUBLE, 0), Var("Flag", BOOL if kind == 1 and bool_flag else CHAR, 8)]
    variables += [Var(f"F{i:02d}", FLOAT, 12 + 4 * i) for i in range(floats)]
    records = np.zeros(MIXED_RECORDS, dtype=[("t", "<f8"), ("flag", "u1"), ("pad", "u1", 3), ("f", "<f4", floats)])
    records["t"] = np.arange(MIXED_RECORDS) / RATE
    records["flag"] = np.arange(MIXED_RECORDS) % 2
    records["f"] = np.cumsum(np.random.default_rng(number).normal(size=(MIXED_RECORDS, floats)), axis=0)
    info = SESSION_INFO if track is None else SESSION_INFO.replace("TrackName: synthetic raceway",
                                                                    f"TrackName: {track}")
    return write_ibt(variables, records.tobytes(), session_info=info, tick_rate=RATE)


def padded_sample(flying_laps: int, extra: int, session_info: str) -> bytes:
    """The synthetic sample's driving over `flying_laps` laps with `extra` noisy float
    channels beside its own (a real recording has about 270), under `session_info`."""
    from telvane import _sample

    columns = _sample.synthetic_sample_columns(flying_laps=flying_laps)
    variables, dtype = _sample._layout()
    n = len(columns["SessionTime"])
    base = np.zeros(n, dtype=dtype)
    for name in dtype.names or ():
        base[name] = columns[name]
    pad = [Var(f"Extra{i:03d}", FLOAT, dtype.itemsize + 4 * i, 1, "padding channel", "")
           for i in range(extra)]
    noise = np.random.default_rng(flying_laps).normal(size=(n, extra)).astype("<f4")
    values = (columns["Speed"][:, None] * (1 + np.arange(extra) / 100) + noise).astype("<f4")
    records = np.concatenate([base.view(np.uint8).reshape(n, -1),
                              values.view(np.uint8).reshape(n, -1)], axis=1)
    return write_ibt(variables + pad, records.tobytes(), session_info=session_info,
                     tick_rate=_sample.TICK_RATE, session_start_date=_sample.SESSION_START_DATE)


SHORT_TRACKS, SHORT_CARS = 20, 10


def short_recordings(directory: Path, count: int) -> Path:
    """`directory`, holding `count` recordings of 10 s at 60 Hz (SessionTime, Speed, Lap) over
    SHORT_TRACKS tracks and SHORT_CARS cars, the bytes of each its own: written once."""
    from telvane._sample import SESSION_INFO

    if directory.exists():
        return directory
    directory.mkdir(parents=True)
    variables = [Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8), Var("Lap", INT, 12)]
    records = np.zeros(600, dtype=[("t", "<f8"), ("speed", "<f4"), ("lap", "<i4")])
    records["t"] = np.arange(600) / RATE
    for number in range(count):
        text = re.sub(r"(?m)^( *TrackName):.*$", f"\\1: track{number % SHORT_TRACKS}", SESSION_INFO)
        text = re.sub(r"(?m)^( *CarPath):.*$", f"\\1: car{number % SHORT_CARS}", text)
        records["speed"] = number
        (directory / f"r{number:06d}.ibt").write_bytes(write_ibt(variables, records.tobytes(), session_info=text))
    return directory


# 8 + (256 + 10) * 4 = 1,072 bytes a record; with timecodes, 268 columns
WIDE_FILES, WIDE_RECORDS, WIDE_FLOATS, WIDE_INTS = 8, 60_000, 256, 10
WIDE_SHORT = 200


def _wide_layout() -> tuple[list[Var], list[tuple]]:
    variables = ([Var("SessionTime", DOUBLE, 0)] + [Var(f"F{i:03d}", FLOAT, 8 + 4 * i) for i in range(WIDE_FLOATS)]
                 + [Var(f"I{i:02d}", INT, 8 + 4 * (WIDE_FLOATS + i)) for i in range(WIDE_INTS)])
    return variables, [("t", "<f8"), ("f", "<f4", WIDE_FLOATS), ("i", "<i4", WIDE_INTS)]


def _written_once(directory: Path, write: Callable[[Path], None]) -> Path:
    """`directory`, its files written by `write` into a sibling first, so that a cut run
    leaves nothing to be taken for done."""
    if directory.exists():
        return directory
    part = directory.with_name(directory.name + ".part")
    shutil.rmtree(part, ignore_errors=True)
    part.mkdir(parents=True)
    write(part)
    part.rename(directory)
    return directory


def wide_recordings(directory: Path) -> Path:
    """`directory`, holding WIDE_FILES recordings of WIDE_RECORDS records at 60 Hz:
    random-walk floats and low-cardinality integers (gears, counters). Written once."""
    from telvane._sample import SESSION_INFO

    def write(part: Path) -> None:
        variables, layout = _wide_layout()
        rng = np.random.default_rng(1)
        for number in range(WIDE_FILES):
            records = np.zeros(WIDE_RECORDS, dtype=layout)
            records["t"] = np.arange(WIDE_RECORDS) / 60
            records["f"] = np.cumsum(rng.normal(size=(WIDE_RECORDS, WIDE_FLOATS)), axis=0, dtype=np.float32)
            records["i"] = np.cumsum(rng.random((WIDE_RECORDS, WIDE_INTS)) < 0.001, axis=0) % 8
            (part / f"r{number}.ibt").write_bytes(write_ibt(variables, records.tobytes(), session_info=SESSION_INFO,
                                                            tick_rate=60))

    return _written_once(directory, write)


def wide_short_recordings(directory: Path) -> Path:
    """`directory`, holding WIDE_SHORT recordings of the wide layout, two records each,
    each its own bytes (its times). Written once."""
    from telvane._sample import SESSION_INFO

    def write(part: Path) -> None:
        variables, layout = _wide_layout()
        small = np.zeros(2, dtype=layout)
        for number in range(WIDE_SHORT):
            small["t"] = [number, number + 1 / 60]
            (part / f"s{number:03d}.ibt").write_bytes(write_ibt(variables, small.tobytes(), session_info=SESSION_INFO))

    return _written_once(directory, write)


LIVE_CARS = 64
LIVE_COLUMNS = ["Speed_0", "RPM_1", "Gear_2", "CarIdxLapDistPct_0", "SessionTime"]  # 5 of the 300


def live_variables() -> list[Var]:
    """The variables of live telemetry memory: SessionTime, 290 scalars and 9 CarIdx arrays."""
    found, offset = [Var("SessionTime", DOUBLE, 0)], 8
    names = ["Speed", "RPM", "Gear", "OnPitRoad", "LapDist"]
    kinds = [FLOAT, FLOAT, INT, BOOL, DOUBLE]
    for i in range(290):
        kind = kinds[i % len(kinds)]
        found.append(Var(f"{names[i % len(names)]}_{i}", kind, offset))
        offset += ELEMENT_SIZE[kind]
    for i in range(9):
        found.append(Var(f"CarIdxLapDistPct_{i}", FLOAT, offset, count=LIVE_CARS))
        offset += 4 * LIVE_CARS
    return found


def record_length(found: list[Var]) -> int:
    return max(var.offset + ELEMENT_SIZE[var.type] * var.count for var in found)


def recording_path(directory: Path, recording: Recording) -> Path:
    return directory / f"{recording.name}-g{GENERATION}.ibt"


def expected_size(recording: Recording) -> int:
    layout = layout_of(recording.layout)
    headers = HEADER_SIZE + SUB_HEADER_SIZE + VAR_HEADER_SIZE * len(layout.vars) + len(session_info().encode())
    return headers + layout.buf_len * recording.records


def ensure_recording(directory: Path, recording: Recording) -> Path:
    path = recording_path(directory, recording)
    directory.mkdir(parents=True, exist_ok=True)
    if not path.is_file() or path.stat().st_size != expected_size(recording):
        started = time.perf_counter()
        write_recording(path, recording)
        print(f"generated {path} ({path.stat().st_size / 1e6:,.1f} MB) in {time.perf_counter() - started:.1f} s",
              file=sys.stderr)
    return path

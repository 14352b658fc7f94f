"""A synthetic IBT recording: one driver on an invented 4.32 km circuit, made up, not
recorded by the simulator, but laid out as the simulator lays out its files.

Two sessions at 60 Hz: a practice session (out lap from the pits, flying laps, in lap back
to the pit box) and a qualifying session (the lap counter reset to 0, an out lap, a flying
lap, and a lap abandoned halfway when the recording stops). The driving is a simple point-
mass model following a speed limit set by the corners, so the traces look like a car's."""

from __future__ import annotations

import os
from dataclasses import dataclass
from math import sqrt
from pathlib import Path

import numpy as np

from telvane._writer import BITFIELD, BOOL, DOUBLE, FLOAT, INT, NUMPY_TYPE, Var, write_ibt

SYNTHETIC_SAMPLE_NAME = "synthetic_sample.ibt"
TICK_RATE = 60
TRACK_LENGTH = 4320.0  # metres
PIT_ENTRY, PIT_BOX, PIT_EXIT = 0.86, 0.92, 0.99  # lap fractions; the pit lane ends before the line
PIT_SPEED = 80 / 3.6
# (lap fraction of the apex, apex speed in m/s, corner length in m, steering at the apex in rad)
CORNERS = [(0.08, 24.0, 40, -1.9), (0.21, 38.0, 60, 1.1), (0.33, 31.0, 50, 1.4),
           (0.47, 52.0, 90, -0.6), (0.58, 27.0, 45, -1.7), (0.69, 44.0, 70, 0.8),
           (0.80, 35.0, 55, 1.2), (0.94, 58.0, 80, -0.4)]
GEAR_TOP_SPEEDS = [22.0, 34.0, 45.0, 55.0, 65.0, 77.0]  # m/s at the rev limit, gears 1 to 6
REV_LIMIT, IDLE_RPM = 7400.0, 1100.0
CAR_COUNT = 64  # length of the simulator's per-car arrays
SESSION_START_DATE = 1714572192  # 2024-05-01 14:03:12 UTC
FIRST_SESSION_TIME = 412.5  # s into the practice session when the recording starts
SESSION_GAP = 95.0  # s between the end of practice and the qualifying out lap

SCALARS = [  # name, type, unit, description, as the simulator names them
    ("SessionTime", DOUBLE, "s", "Seconds since session start"),
    ("SessionTick", INT, "", "Current update number"),
    ("SessionNum", INT, "", "Session number"),
    ("Lap", INT, "", "Laps started count"),
    ("LapDist", FLOAT, "m", "Meters traveled from S/F this lap"),
    ("LapDistPct", FLOAT, "%", "Percentage distance around lap"),
    ("LapCurrentLapTime", FLOAT, "s", "Estimate of players current lap time as shown in F3 box"),
    ("OnPitRoad", BOOL, "", "Is the player car on pit road between the cones"),
    ("IsOnTrack", BOOL, "", "1=Car on track physics running with player in car"),
    ("Speed", FLOAT, "m/s", "GPS vehicle speed"),
    ("RPM", FLOAT, "revs/min", "Engine rpm"),
    ("Gear", INT, "", "-1=reverse  0=neutral  1..n=current gear"),
    ("Throttle", FLOAT, "%", "0=off throttle to 1=full throttle"),
    ("Brake", FLOAT, "%", "0=brake released to 1=max pedal force"),
    ("SteeringWheelAngle", FLOAT, "rad", "Steering wheel angle"),
    ("FuelLevel", FLOAT, "l", "Liters of fuel remaining"),
    ("EngineWarnings", BITFIELD, "irsdk_EngineWarnings", "Bitfield for warning lights"),
]
ARRAYS = [  # name, type, count, unit, description
    ("CarIdxLap", INT, CAR_COUNT, "", "Laps started by car index"),
    ("LFtemp", FLOAT, 3, "C", "LF tire surface temperature, left middle right"),
    ("RFtemp", FLOAT, 3, "C", "RF tire surface temperature, left middle right"),
]
PIT_LIMITER_BIT = 0x10

SESSION_INFO = """---
WeekendInfo:
 TrackName: synthetic raceway
 TrackID: 901
 TrackLength: 4.32 km
 TrackLengthOfficial: 4.32 km
 TrackDisplayName: Synthetic Raceway
 TrackDisplayShortName: Synthetic
 TrackConfigName: Grand Prix
 TrackCity: Example City
 TrackCountry: Nowhere Land
 TrackAltitude: 212.40 m
 TrackNumTurns: 8
 TrackPitSpeedLimit: 80.00 kph
 TrackType: road course
 TrackSurfaceTemp: 31.20 C
 TrackAirTemp: 22.80 C
 SeriesID: 285
 SeasonID: 4711
 SessionID: 123456789
 SubSessionID: 987654321
 LeagueID: 0
 Official: 0
 RaceWeek: 0
 EventType: Test
 Category: Road
 SimMode: full
 WeekendOptions:
  NumStarters: 1
  StartingGrid: single file
  QualifyScoring: best lap
  Date: 2024-05-01
 TelemetryOptions:
  TelemetryDiskFile: ""

SessionInfo:
 Sessions:
 - SessionNum: 0
   SessionLaps: unlimited
   SessionTime: 3600.0000 sec
   SessionType: Practice
   SessionName: PRACTICE
 - SessionNum: 1
   SessionLaps: 3
   SessionTime: 900.0000 sec
   SessionType: Lone Qualify
   SessionName: QUALIFY

DriverInfo:
 DriverCarIdx: 0
 DriverUserID: 424242
 DriverCarIdleRPM: 1100.000
 DriverCarRedLine: 7400.000
 DriverCarFuelMaxLtr: 120.000
 DriverCarSLFirstRPM: 6500.000
 DriverCarSLShiftRPM: 7100.000
 DriverSetupName: synthetic_baseline.sto
 Drivers:
 - CarIdx: 0
   UserName: Sam Synthetic
   AbbrevName: Synthetic, S
   Initials: SS
   UserID: 424242
   TeamName: Synthetic #7 Racing
   CarNumber: "7"
   CarNumberRaw: 7
   CarScreenName: Synthetic GT3
   CarScreenNameShort: Synth GT3
   CarClassShortName: GT3
   IRating: 2150
   LicString: B 3.41

CarSetup:
 UpdateCount: 2
 TiresAero:
  LeftFront:
   StartingPressure: 165 kPa
   LastTempsOMI: 78C, 81C, 84C
   TreadRemaining: 99%, 98%, 98%
  RightFront:
   StartingPressure: 165 kPa
   LastTempsIMO: 85C, 82C, 79C
   TreadRemaining: 98%, 98%, 99%
 Chassis:
  Front:
   ArbBlades: 3
   BrakePressureBias: 54.0%
  InCarDials:
   DisplayPage: Race: Tyres
   TractionControlSetting: 5 (TC)
   AbsSetting: 4 (ABS)
...
"""


@dataclass(frozen=True)
class _Phase:
    """One stretch of driving with its own lap counter value and start and end points."""

    lap: int
    session: int
    start: float  # lap fraction where the stretch begins
    end: float  # lap fraction where it ends (1.0 is the line)
    pace: float  # factor on the corner speeds
    from_box: bool = False
    to_box: bool = False


def _phases(flying_laps: int) -> list[_Phase]:
    practice = [_Phase(0, 0, PIT_BOX, 1.0, 0.96, from_box=True)]
    practice += [_Phase(lap, 0, 0.0, 1.0, 1.0 - 0.004 * ((lap * 7) % 5))
                 for lap in range(1, flying_laps + 1)]
    practice.append(_Phase(flying_laps + 1, 0, 0.0, PIT_BOX, 0.97, to_box=True))
    qualifying = [_Phase(0, 1, PIT_BOX, 1.0, 0.95, from_box=True),
                  _Phase(1, 1, 0.0, 1.0, 1.003), _Phase(2, 1, 0.0, 0.45, 1.0)]
    return practice + qualifying


def _engine(speed: float) -> float:
    """Forward acceleration at full throttle: grip-limited, then power-limited (m/s²)."""
    return min(7.0, 260.0 / max(speed, 1.0))


def _drag(speed: float) -> float:
    """Deceleration from air and rolling resistance (m/s²)."""
    return 0.3 + 0.00058 * speed * speed


def _brakes(speed: float) -> float:
    """Deceleration at full brake pressure, more with downforce at speed (m/s²)."""
    return 10.5 + 0.0012 * speed * speed


def _racing_speeds(pace: float) -> list[float]:
    """The fastest speed at every metre of the lap: the corner speeds (times `pace`),
    reached by braking and left at full throttle. Three laps are integrated so the line
    carries the speed of the lap before; the middle one is kept."""
    limit = np.full(int(TRACK_LENGTH), np.inf)
    metres = np.arange(len(limit))
    for apex, apex_speed, length, _ in CORNERS:
        offset = (metres - apex * TRACK_LENGTH + TRACK_LENGTH / 2) % TRACK_LENGTH - TRACK_LENGTH / 2
        limit = np.where(np.abs(offset) <= length / 2, np.minimum(limit, apex_speed * pace), limit)
    limit = np.tile(limit, 3).tolist()
    speed = [limit[0] if limit[0] < np.inf else 30.0]
    for i in range(1, len(limit)):  # accelerate wherever the corners allow
        v = speed[-1]
        speed.append(min(limit[i], sqrt(v * v + 2 * (_engine(v) - _drag(v)))))
    for i in range(len(limit) - 2, -1, -1):  # brake in time for every corner
        v = speed[i + 1]
        speed[i] = min(speed[i], sqrt(v * v + 2 * (_brakes(v) + _drag(v))))
    return speed[len(speed) // 3: 2 * len(speed) // 3 + 1]


def _phase_speed(phase: _Phase, fraction: float, racing: list[float]) -> float:
    position = min(fraction, 1.0) * (len(racing) - 1)
    low = int(position)
    high = min(low + 1, len(racing) - 1)
    speed = racing[low] + (racing[high] - racing[low]) * (position - low)
    if phase.from_box:
        leaving = max(fraction - PIT_BOX, 0.0) * TRACK_LENGTH
        past_exit = max(fraction - PIT_EXIT, 0.0) * TRACK_LENGTH
        limit = PIT_SPEED if fraction < PIT_EXIT else sqrt(PIT_SPEED**2 + 2 * 5.0 * past_exit)
        speed = min(speed, limit, max(sqrt(2 * 5.0 * leaving), 1.0))
    if phase.to_box:
        to_entry = max(PIT_ENTRY - fraction, 0.0) * TRACK_LENGTH
        to_box = max(PIT_BOX - fraction, 0.0) * TRACK_LENGTH
        speed = min(speed, sqrt(PIT_SPEED**2 + 2 * 9.0 * to_entry),
                    max(sqrt(2 * 4.0 * to_box), 0.5))
        if fraction >= PIT_ENTRY:
            speed = min(speed, PIT_SPEED)
    return speed


def _drive(phase: _Phase, racing: list[float]) -> tuple[np.ndarray, np.ndarray]:
    """Lap fraction and speed at every tick of one phase."""
    fractions, speeds = [], []
    fraction, dt = phase.start, 1.0 / TICK_RATE
    while fraction < phase.end:
        speed = _phase_speed(phase, fraction, racing)
        fractions.append(fraction)
        speeds.append(speed)
        fraction += speed * dt / TRACK_LENGTH
    if phase.to_box:  # parked in the box for three seconds
        fractions += [phase.end] * 3 * TICK_RATE
        speeds += [0.0] * 3 * TICK_RATE
    return np.array(fractions), np.array(speeds)


def _gear_and_rpm(speed: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    tops = np.array(GEAR_TOP_SPEEDS)
    gear = np.minimum(np.searchsorted(tops * 0.96, speed) + 1, len(tops))
    rpm = REV_LIMIT * speed / tops[gear - 1]
    stopped = speed < 0.5
    return np.where(stopped, 0, gear), np.where(stopped, IDLE_RPM, np.maximum(rpm, IDLE_RPM))


def _pedals(speed: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Throttle and brake that give each tick's change of speed, eased over a fifth of a
    second the way a driver's feet move."""
    change = np.diff(speed, append=speed[-1]) * TICK_RATE
    drag = np.array([_drag(v) for v in speed])
    engine = np.array([_engine(v) for v in speed])
    brakes = np.array([_brakes(v) for v in speed])
    throttle = np.clip((change + drag) / engine, 0.0, 1.0)
    brake = np.clip(-(change + drag) / brakes, 0.0, 1.0) * 0.92
    throttle[brake > 0.02] = 0.0
    ease = np.ones(TICK_RATE // 5) / (TICK_RATE // 5)
    return (np.convolve(throttle, ease, mode="same"), np.convolve(brake, ease, mode="same"))


def _steering(fraction: np.ndarray) -> np.ndarray:
    angle = np.zeros(fraction.shape)
    for apex, _, _, lock in CORNERS:
        offset = (fraction - apex + 0.5) % 1.0 - 0.5
        angle += lock * np.exp(-0.5 * (offset / 0.012) ** 2)
    return angle


def synthetic_sample_columns(flying_laps: int = 2) -> dict[str, np.ndarray]:
    """Every variable of the synthetic recording, one array per variable (arrays of
    per-car or per-tire values have one row per record)."""
    phases = _phases(flying_laps)
    racing = {pace: _racing_speeds(pace) for pace in {phase.pace for phase in phases}}
    driven = [_drive(phase, racing[phase.pace]) for phase in phases]
    fraction = np.concatenate([f for f, _ in driven])
    speed = np.concatenate([s for _, s in driven])
    lap = np.concatenate([np.full(len(f), p.lap) for p, (f, _) in zip(phases, driven)])
    session = np.concatenate([np.full(len(f), p.session) for p, (f, _) in zip(phases, driven)])
    tick = np.arange(len(fraction))
    time = FIRST_SESSION_TIME + tick / TICK_RATE + SESSION_GAP * session
    phase = np.concatenate([np.full(len(f), i) for i, (f, _) in enumerate(driven)])
    first_tick = np.searchsorted(phase, phase)
    pit_phases = [i for i, p in enumerate(phases) if p.from_box or p.to_box]
    on_pit_road = (fraction >= PIT_ENTRY) & (fraction < PIT_EXIT) & np.isin(phase, pit_phases)
    gear, rpm = _gear_and_rpm(speed)
    throttle, brake = _pedals(speed)
    fuel = 62.0 - np.cumsum(throttle * speed) / TICK_RATE * 5.5e-4
    warm = 70.0 + 20.0 * (1 - np.exp(-tick / (90.0 * TICK_RATE)))
    return {
        "SessionTime": time, "SessionTick": tick, "SessionNum": session, "Lap": lap,
        "LapDist": fraction * TRACK_LENGTH, "LapDistPct": fraction,
        "LapCurrentLapTime": (tick - first_tick) / TICK_RATE,
        "OnPitRoad": on_pit_road, "IsOnTrack": np.ones(len(tick), dtype=bool),
        "Speed": speed, "RPM": rpm, "Gear": gear, "Throttle": throttle, "Brake": brake,
        "SteeringWheelAngle": _steering(fraction), "FuelLevel": fuel,
        "EngineWarnings": np.where(on_pit_road, PIT_LIMITER_BIT, 0),
        "CarIdxLap": np.pad(lap[:, None], ((0, 0), (0, CAR_COUNT - 1)), constant_values=-1),
        "LFtemp": warm[:, None] + np.array([-3.0, 0.0, 3.0]) + 8.0 * brake[:, None],
        "RFtemp": warm[:, None] + np.array([4.0, 1.0, -2.0]) + 8.0 * brake[:, None],
    }


def _layout() -> tuple[list[Var], np.dtype]:
    """The variable headers, back to back in each record, and the matching record dtype."""
    declared = [(name, code, 1, unit, desc) for name, code, unit, desc in SCALARS] + ARRAYS
    variables, fields, offset = [], {}, 0
    for name, code, count, unit, desc in declared:
        variables.append(Var(name, code, offset, count, desc, unit))
        fields[name] = ((NUMPY_TYPE[code], count) if count > 1 else NUMPY_TYPE[code], offset)
        offset += np.dtype(NUMPY_TYPE[code]).itemsize * count
    return variables, np.dtype({"names": list(fields), "formats": [f for f, _ in fields.values()],
                                "offsets": [o for _, o in fields.values()], "itemsize": offset})


def synthetic_sample_bytes(flying_laps: int = 2) -> bytes:
    """The bytes of the synthetic recording, identical on every call; more flying laps
    make a longer recording."""
    columns = synthetic_sample_columns(flying_laps)
    variables, dtype = _layout()
    records = np.zeros(len(columns["SessionTime"]), dtype=dtype)
    for name in dtype.names or ():
        records[name] = columns[name]
    times = columns["SessionTime"]
    return write_ibt(variables, records.tobytes(), session_info=SESSION_INFO,
                     tick_rate=TICK_RATE, session_start_date=SESSION_START_DATE,
                     start_time=float(times[0]), end_time=float(times[-1]),
                     lap_count=int(np.count_nonzero(np.diff(columns["Lap"])) + 1))


def write_synthetic_sample(path: str | os.PathLike[str], flying_laps: int = 2) -> Path:
    """Write the synthetic recording to `path` (a directory gets the file
    synthetic_sample.ibt) and return the file's path."""
    path = Path(path)
    if path.is_dir():
        path = path / SYNTHETIC_SAMPLE_NAME
    path.write_bytes(synthetic_sample_bytes(flying_laps))
    return path

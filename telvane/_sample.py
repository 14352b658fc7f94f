"""A synthetic IBT recording: one driver on an invented 4.32 km circuit, made up, not
recorded by the simulator, but laid out as the simulator lays out its files.

Two sessions at 60 Hz. Practice: an out lap from the pits, flying laps, a lap cut short by
a reset to the pit box (the simulator's placement frame, then the car parked and driven out
again), and an in lap back to the box. Qualifying, where `SessionTime` starts again near 0:
the placement frame, an out lap, a flying lap, and a lap abandoned halfway when the
recording stops. The car moves continuously across the line, so the line crossings fall
between ticks as they do in real files, and `LapLastLapTime` gives their exact times. The
driving is a simple point-mass model following a speed limit set by the corners, so the
traces look like a car's."""

from __future__ import annotations

import os
from dataclasses import dataclass
from math import sqrt
from pathlib import Path

import numpy as np

from telvane._writer import BITFIELD, BOOL, DOUBLE, FLOAT, INT, NUMPY_TYPE, Var, write_ibt

__all__ = ["ARRAYS", "CAR_COUNT", "CORNERS", "EARTH_RADIUS", "GEAR_TOP_SPEEDS", "LAST_LAP_DELAY",
           "ORIGIN", "PARKED", "PIT_LIMITER_BIT", "PIT_SPEED", "RESET_AT", "SCALARS",
           "SECTOR_STARTS", "SESSION_INFO", "SESSION_STARTS", "SESSION_START_DATE",
           "SYNTHETIC_SAMPLE_NAME", "TICK_RATE", "TORQUE_SAMPLES", "TRACK_LENGTH",
           "synthetic_sample_bytes", "synthetic_sample_columns", "write_synthetic_sample"]

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
SESSION_STARTS = (412.5, 6.25)  # SessionTime (s) at the first record of each session
RESET_AT = 0.55  # lap fraction where the car is reset to the pits in practice
PARKED = 2.0  # s the car stands in the box before it drives out
LAST_LAP_DELAY = 4  # records after the line until LapLastLapTime shows the lap
SECTOR_STARTS = (0.0, 0.3125, 0.6458)
TORQUE_SAMPLES = 6  # SteeringWheelTorque_ST: the steering torque at 6 times the tick rate
ORIGIN = (47.2197, 14.7647)  # degrees of latitude and longitude at the line
EARTH_RADIUS = 6_371_000.0  # metres

SCALARS = [  # name, type, unit, description, as the simulator names them
    ("SessionTime", DOUBLE, "s", "Seconds since session start"),
    ("SessionTick", INT, "", "Current update number"),
    ("SessionNum", INT, "", "Session number"),
    ("Lap", INT, "", "Laps started count"),
    ("LapDist", FLOAT, "m", "Meters traveled from S/F this lap"),
    ("LapDistPct", FLOAT, "%", "Percentage distance around lap"),
    ("LapCurrentLapTime", FLOAT, "s", "Estimate of players current lap time as shown in F3 box"),
    ("LapLastLapTime", FLOAT, "s", "Players last lap time"),
    ("OnPitRoad", BOOL, "", "Is the player car on pit road between the cones"),
    ("IsOnTrack", BOOL, "", "1=Car on track physics running with player in car"),
    ("PlayerTrackSurface", INT, "irsdk_TrkLoc", "Players car track surface type"),
    ("Speed", FLOAT, "m/s", "GPS vehicle speed"),
    ("RPM", FLOAT, "revs/min", "Engine rpm"),
    ("Gear", INT, "", "-1=reverse  0=neutral  1..n=current gear"),
    ("Throttle", FLOAT, "%", "0=off throttle to 1=full throttle"),
    ("Brake", FLOAT, "%", "0=brake released to 1=max pedal force"),
    ("SteeringWheelAngle", FLOAT, "rad", "Steering wheel angle"),
    ("SteeringWheelTorque", FLOAT, "N*m", "Output torque on steering shaft"),
    ("FuelLevel", FLOAT, "l", "Liters of fuel remaining"),
    ("EngineWarnings", BITFIELD, "irsdk_EngineWarnings", "Bitfield for warning lights"),
    ("Lat", DOUBLE, "deg", "Latitude in decimal degrees"),
    ("Lon", DOUBLE, "deg", "Longitude in decimal degrees"),
    ("Yaw", FLOAT, "rad", "Yaw orientation"),
    ("LatAccel", FLOAT, "m/s^2", "Lateral acceleration (including gravity)"),
    ("LongAccel", FLOAT, "m/s^2", "Longitudinal acceleration (including gravity)"),
]
ARRAYS = [  # name, type, count, unit, description
    ("CarIdxLap", INT, CAR_COUNT, "", "Laps started by car index"),
    ("LFtemp", FLOAT, 3, "C", "LF tire surface temperature, left middle right"),
    ("RFtemp", FLOAT, 3, "C", "RF tire surface temperature, left middle right"),
    ("SteeringWheelTorque_ST", FLOAT, TORQUE_SAMPLES, "N*m",
     "Output torque on steering shaft at 360 Hz"),
]
PIT_LIMITER_BIT = 0x10
NOT_IN_WORLD, IN_PIT_STALL, APPROACHING_PITS, ON_TRACK = -1, 1, 2, 3  # PlayerTrackSurface

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

SplitTimeInfo:
 Sectors:
 - SectorNum: 0
   SectorStartPct: 0.000000
 - SectorNum: 1
   SectorStartPct: 0.312500
 - SectorNum: 2
   SectorStartPct: 0.645800

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
   CarPath: synthgt3
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
    start: float  # lap fraction where the stretch begins (0.0 goes on across the line)
    end: float  # lap fraction where it ends (1.0 is the line)
    pace: float  # factor on the corner speeds
    from_box: bool = False  # parked in the pit box first, then driven out
    to_box: bool = False
    placed: bool = False  # the car is put into the world first: one placement frame


def _phases(flying_laps: int) -> list[_Phase]:
    cut = flying_laps + 1
    practice = [_Phase(0, 0, PIT_BOX, 1.0, 0.96, from_box=True, placed=True)]
    practice += [_Phase(lap, 0, 0.0, 1.0, 1.0 - 0.004 * ((lap * 7) % 5))
                 for lap in range(1, flying_laps + 1)]
    practice += [_Phase(cut, 0, 0.0, RESET_AT, 1.0),  # the reset: the counter keeps its value
                 _Phase(cut, 0, PIT_BOX, 1.0, 0.96, from_box=True, placed=True),
                 _Phase(cut + 1, 0, 0.0, PIT_BOX, 0.97, to_box=True)]
    qualifying = [_Phase(0, 1, PIT_BOX, 1.0, 0.95, from_box=True, placed=True),
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


def _drive(phase: _Phase, racing: list[float], fraction: float
           ) -> tuple[np.ndarray, np.ndarray, float]:
    """Lap fraction and speed at every tick of one phase, the first tick at `fraction`; and
    the fraction the tick after the last would have reached."""
    fractions, speeds = [], []
    if phase.from_box:
        fractions += [phase.start] * int(PARKED * TICK_RATE)
        speeds += [0.0] * int(PARKED * TICK_RATE)
    dt = 1.0 / TICK_RATE
    while fraction < phase.end:
        speed = _phase_speed(phase, fraction, racing)
        fractions.append(fraction)
        speeds.append(speed)
        fraction += speed * dt / TRACK_LENGTH
    if phase.to_box:  # parked in the box for three seconds
        fractions += [phase.end] * 3 * TICK_RATE
        speeds += [0.0] * 3 * TICK_RATE
    return np.array(fractions), np.array(speeds), fraction


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


def _track() -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """East and north metres from the line, heading (rad) and curvature (1/m) at every
    metre of the lap: a clockwise circuit turning in the corners only, each by about an
    amount inverse to its speed, adjusted so that the lap closes on itself."""
    metres = np.arange(int(TRACK_LENGTH) + 1, dtype=np.float64)
    bends = []
    for apex, _, length, _ in CORNERS:
        offset = (metres - apex * TRACK_LENGTH + TRACK_LENGTH / 2) % TRACK_LENGTH - TRACK_LENGTH / 2
        bend = np.exp(-0.5 * (offset / (length / 2)) ** 2)
        bends.append(bend / bend[:-1].sum())
    shape = np.array(bends)
    turns = np.array([1.0 / speed for _, speed, _, _ in CORNERS])
    turns *= -2 * np.pi / turns.sum()

    def gap(turns: np.ndarray) -> np.ndarray:
        heading = np.concatenate(([0.0], np.cumsum((turns @ shape)[:-1])))
        return np.array([np.cos(heading[:-1]).sum(), np.sin(heading[:-1]).sum()])

    # Newton steps on the turns that keep their sum and shrink the gap at the line.
    keep_sum = np.eye(len(turns)) - 1.0 / len(turns)
    for _ in range(8):
        miss = gap(turns)
        jacobian = np.array([(gap(turns + 1e-6 * keep_sum[k]) - miss) / 1e-6
                             for k in range(len(turns))]).T
        turns -= keep_sum @ np.linalg.lstsq(jacobian, miss, rcond=None)[0]
    curvature = turns @ shape
    heading = np.concatenate(([0.0], np.cumsum(curvature[:-1])))
    east = np.concatenate(([0.0], np.cumsum(np.cos(heading[:-1]))))
    north = np.concatenate(([0.0], np.cumsum(np.sin(heading[:-1]))))
    return east, north, heading, curvature


def _position(fraction: np.ndarray, speed: np.ndarray, frame: np.ndarray
              ) -> dict[str, np.ndarray]:
    """Latitude, longitude, yaw and the lateral and longitudinal accelerations of each
    record."""
    east, north, heading, curvature = _track()
    metres = np.arange(len(east), dtype=np.float64)
    at = (fraction % 1.0) * TRACK_LENGTH
    lat0, lon0 = ORIGIN
    lat = lat0 + np.degrees(np.interp(at, metres, north) / EARTH_RADIUS)
    lon = lon0 + np.degrees(np.interp(at, metres, east)
                            / (EARTH_RADIUS * np.cos(np.radians(lat0))))
    yaw = (np.interp(at, metres, heading) + np.pi) % (2 * np.pi) - np.pi
    still = frame | np.roll(frame, 1) | np.roll(frame, -1)
    longitudinal = np.where(still, 0.0, np.gradient(speed) * TICK_RATE)
    lateral = np.where(frame, 0.0, speed * speed * np.interp(at, metres, curvature))
    return {"Lat": lat, "Lon": lon, "Yaw": np.where(frame, 0.0, yaw), "LatAccel": lateral,
            "LongAccel": longitudinal}


def _held(count: int, at: np.ndarray, values: np.ndarray, before: float = 0.0) -> np.ndarray:
    """Each value from its record (`at`, ascending) on until the next one; `before` until
    the first."""
    marks = np.full(count, -1)
    marks[at] = np.arange(len(at))
    latest = np.maximum.accumulate(marks)
    return np.where(latest >= 0, np.append(values, before)[latest], before)


def _timeline(phases: list[_Phase]) -> dict[str, np.ndarray]:
    """Per record: lap fraction, speed, lap counter, session, phase, and whether it is a
    placement frame; also the records just past the line (`crossed`) with the share of the
    tick before them at which the car crossed it (`share`)."""
    racing = {pace: _racing_speeds(pace) for pace in {phase.pace for phase in phases}}
    parts: dict[str, list[np.ndarray]] = {key: [] for key in ("fraction", "speed", "lap", "session",
                                                  "phase", "frame")}
    crossed, share, count, ahead, previous = [], [], 0, 0.0, None

    def add(fraction: np.ndarray, speed: np.ndarray, lap: int, session: int, index: int,
            frame: bool) -> None:
        for key, value in (("fraction", fraction), ("speed", speed), ("lap", lap),
                           ("session", session), ("phase", index), ("frame", frame)):
            parts[key].append(np.broadcast_to(value, len(fraction)))

    for index, phase in enumerate(phases):
        goes_on = (previous is not None and previous.end == 1.0 and phase.start == 0.0
                   and not phase.placed)
        if phase.placed:
            add(np.zeros(1), np.zeros(1), 0, phase.session, index, True)
            count += 1
        fraction, speed, after = _drive(phase, racing[phase.pace],
                                        ahead - 1.0 if goes_on else phase.start)
        if goes_on:
            last = parts["fraction"][-1][-1]
            crossed.append(count)
            share.append((1.0 - last) / (ahead - last))
        add(fraction, speed, phase.lap, phase.session, index, False)
        count += len(fraction)
        ahead, previous = after, phase
    timeline = {key: np.concatenate(value) for key, value in parts.items()}
    timeline["crossed"], timeline["share"] = np.array(crossed, int), np.array(share)
    return timeline


def _steering_torque(fraction: np.ndarray, speed: np.ndarray, time: np.ndarray,
                     frame: np.ndarray) -> np.ndarray:
    """The torque on the steering shaft at TORQUE_SAMPLES times per record, the last at the
    record's own time and the others evenly between it and the record before."""
    moved = np.diff(fraction, prepend=fraction[:1]) % 1.0
    moved[frame | np.roll(frame, 1)] = 0.0
    steps = (np.arange(TORQUE_SAMPLES) + 1.0 - TORQUE_SAMPLES) / TORQUE_SAMPLES
    sub_fraction = (fraction[:, None] + moved[:, None] * steps) % 1.0
    sub_time = time[:, None] + steps / TICK_RATE
    load = np.minimum(speed / 25.0, 1.6)[:, None]
    road = 0.35 * load * np.sin(2 * np.pi * 31.0 * sub_time)
    torque = -7.5 * _steering(sub_fraction) * load + road
    return np.where(frame[:, None], 0.0, torque)


def synthetic_sample_columns(flying_laps: int = 2) -> dict[str, np.ndarray]:
    """Every variable of the synthetic recording, one array per variable (arrays of
    per-car, per-tire or sub-tick values have one row per record)."""
    phases = _phases(flying_laps)
    line = _timeline(phases)
    fraction, speed, frame = line["fraction"], line["speed"], line["frame"]
    session = line["session"]
    lap = np.where(frame, 0, line["lap"])
    count = len(fraction)
    first_of_session = np.searchsorted(session, session)
    tick = np.arange(count) - first_of_session
    time = np.array(SESSION_STARTS)[session] + tick / TICK_RATE
    crossed = line["crossed"]
    crossing_time = time[crossed - 1] + line["share"] / TICK_RATE

    # A lap timed from line to line: consecutive crossings with one counter value between.
    timed = [k for k in range(len(crossed) - 1)
             if np.all(lap[crossed[k]:crossed[k + 1]] == lap[crossed[k]]) and not
             frame[crossed[k]:crossed[k + 1]].any()]
    shown = np.concatenate((crossed[[k + 1 for k in timed]] + LAST_LAP_DELAY,
                            np.flatnonzero(np.diff(session, prepend=-1))))
    values = np.concatenate(([crossing_time[k + 1] - crossing_time[k] for k in timed],
                             np.zeros(len(shown) - len(timed))))
    order = np.argsort(shown, kind="stable")
    last_lap_time = _held(count, shown[order], values[order])
    after_frame = np.concatenate(([False], frame[:-1]))
    phase_starts = np.flatnonzero((np.diff(line["phase"], prepend=-1) != 0) | after_frame)
    starts = np.concatenate((phase_starts, crossed))
    start_times = np.concatenate((time[phase_starts], crossing_time))
    order = np.argsort(starts, kind="stable")
    current_lap_time = np.where(frame, 0.0, time - _held(count, starts[order], start_times[order]))

    pit_phases = [i for i, p in enumerate(phases) if p.from_box or p.to_box]
    on_pit_road = ((fraction >= PIT_ENTRY) & (fraction < PIT_EXIT)
                   & np.isin(line["phase"], pit_phases) & ~frame)
    surface = np.select([frame, on_pit_road & (speed < 0.5), on_pit_road],
                        [NOT_IN_WORLD, IN_PIT_STALL, APPROACHING_PITS], ON_TRACK)
    gear, rpm = _gear_and_rpm(speed)
    throttle, brake = np.zeros(count), np.zeros(count)
    stretch = np.cumsum(frame)
    for k in np.unique(stretch):  # the feet start again after every placement
        rows = np.flatnonzero((stretch == k) & ~frame)
        if len(rows):
            throttle[rows], brake[rows] = _pedals(speed[rows])
    fuel = 62.0 - np.cumsum(throttle * speed) / TICK_RATE * 5.5e-4
    warm = 70.0 + 20.0 * (1 - np.exp(-np.arange(count) / (90.0 * TICK_RATE)))
    torque = _steering_torque(fraction, speed, time, frame)
    return {
        "SessionTime": time, "SessionTick": tick, "SessionNum": session, "Lap": lap,
        "LapDist": fraction * TRACK_LENGTH, "LapDistPct": fraction,
        "LapCurrentLapTime": current_lap_time, "LapLastLapTime": last_lap_time,
        "OnPitRoad": on_pit_road, "IsOnTrack": ~frame, "PlayerTrackSurface": surface,
        "Speed": speed, "RPM": np.where(frame, 0.0, rpm), "Gear": gear, "Throttle": throttle,
        "Brake": brake, "SteeringWheelAngle": np.where(frame, 0.0, _steering(fraction)),
        "SteeringWheelTorque": torque[:, -1], "FuelLevel": fuel,
        "EngineWarnings": np.where(on_pit_road, PIT_LIMITER_BIT, 0),
        "CarIdxLap": np.pad(lap[:, None], ((0, 0), (0, CAR_COUNT - 1)), constant_values=-1),
        "LFtemp": warm[:, None] + np.array([-3.0, 0.0, 3.0]) + 8.0 * brake[:, None],
        "RFtemp": warm[:, None] + np.array([4.0, 1.0, -2.0]) + 8.0 * brake[:, None],
        "SteeringWheelTorque_ST": torque,
        **_position(fraction, speed, frame),
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

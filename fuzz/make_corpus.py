"""Writes the fuzzer's seed corpus into fuzz/corpus/ with the project's IBT writer.

Each seed is small and reaches a different part of the reader: every variable type,
zero records, duplicate names, extents ending exactly at the record's end, arrays,
laps with pit flags and sessions, session-info text variants, and a few header faults.
Run it again after changing the writer; it replaces the directory's contents."""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "tests")]

from builders import write_channels, write_live_dump  # noqa: E402
from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, pack_records, write_ibt  # noqa: E402

CORPUS = Path(__file__).resolve().parent / "corpus"
INFO = "---\nWeekendInfo:\n TrackName: redbullring gp\n TrackLength: 4.12 km\n...\n"
N = 6


def times(n: int = N, rate: int = 60) -> tuple[int, list[float]]:
    return DOUBLE, [r / rate for r in range(n)]


def laps_file(laps: list[int], pit: list[int], dist: list[float], dist_type: int = FLOAT) -> bytes:
    return write_channels({"SessionTime": times(len(laps)), "Lap": (INT, laps), "OnPitRoad": (BOOL, pit),
                           "LapDistPct": (dist_type, dist)}, session_info=INFO)


def with_vars(vars: list[Var], buf_len: int, rows: list[list], **layout: int) -> bytes:
    return write_ibt(vars, pack_records(vars, buf_len, rows), buf_len=buf_len, session_info=INFO, **layout)


SEEDS: dict[str, Callable[[], bytes]] = {
    # Every type, each as its own channel.
    "all_types": lambda: write_channels({
        "SessionTime": times(), "Gear": (CHAR, [0, 1, 2, 3, 255, 4]), "IsOnTrack": (BOOL, [0, 1, 1, 0, 1, 1]),
        "Lap": (INT, [0, 0, 1, 1, -1, 2**31 - 1]), "EngineWarnings": (BITFIELD, [0, 1, 2**32 - 1, 8, 16, 0]),
        "Speed": (FLOAT, [0.0, 1.5, -2.5, math.inf, math.nan, 3.0]),
        "Lat": (DOUBLE, [47.2, 47.3, -0.0, -math.inf, math.nan, 1e308])}, session_info=INFO),
    "version_1": lambda: write_channels({"SessionTime": times(), "RPM": (FLOAT, [1.0] * N)}, version=1),
    "only_session_time": lambda: write_channels({"SessionTime": times(3)}),
    "session_time_nan_inf": lambda: write_channels({"SessionTime": (DOUBLE, [math.nan, math.inf, -math.inf, 1e300,
                                                                             -1e300, 0.0005])}),
    "session_time_float": lambda: write_channels({"SessionTime": (FLOAT, [0.0, 0.1, 0.2])}),
    "many_records": lambda: write_channels({"SessionTime": times(200), "Throttle": (FLOAT, [0.5] * 200)}),
    # Zero records.
    "zero_records": lambda: write_channels({"SessionTime": times(0), "Speed": (FLOAT, [])}, session_info=INFO),
    "zero_records_lap": lambda: laps_file([], [], []),
    "zero_vars": lambda: write_ibt(session_info=INFO),
    "empty_version_1": lambda: b"\x01" + bytes(143),
    # Duplicate names: both stay, the later wins a lookup.
    "duplicate_names": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Speed", FLOAT, 8), Var("Speed", INT, 12), Var("SessionTime", DOUBLE, 16)],
        24, [[r / 60, 1.0, r, r / 30] for r in range(4)]),
    "duplicate_lap": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("Lap", INT, 12)],
        16, [[r / 60, 0, r // 2] for r in range(6)]),
    "duplicate_session_time_int": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("SessionTime", INT, 8)], 12, [[r / 60, r] for r in range(3)]),
    # Extents ending exactly at the end of the record, and fixed-width reads past them.
    "boundary_last_byte": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Flag", CHAR, 8), Var("Gear", INT, 9), Var("Last", BOOL, 13)],
        14, [[r / 60, r, r, r % 2] for r in range(3)]),
    "boundary_time_count_0": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 12, count=0), Var("Speed", FLOAT, 0)], 16, [[None, 1.0]] * 3),
    "boundary_lap_as_char": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Lap", CHAR, 8)], 9, [[r / 60, r] for r in range(3)]),
    "boundary_pit_count_0": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("OnPitRoad", BOOL, 12, count=0)],
        12, [[r / 60, 1, None] for r in range(3)]),
    "boundary_dist_double_tail": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("LapDistPct", DOUBLE, 12, count=0)],
        16, [[r / 60, r, None] for r in range(3)]),
    "overlapping_vars": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("Low", INT, 0), Var("High", FLOAT, 4), Var("Byte", CHAR, 7)],
        8, [[r / 60, None, None, None] for r in range(4)]),
    "buf_len_0": lambda: write_ibt([Var("Empty", CHAR, 0, count=0)], buf_len=0, session_record_count=1000),
    "gap_before_records": lambda: write_ibt(
        [Var("SessionTime", DOUBLE, 0)], bytes(32) + pack_records([Var("SessionTime", DOUBLE, 0)], 8,
                                                                  [[0.0], [0.1]]),
        buf_offset=144 + 144 + 32, session_record_count=2),
    # Arrays are skipped as channels; count 0 passes the extent check.
    "arrays": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("TireTemp", FLOAT, 8, count=3), Var("Bits", BITFIELD, 20, count=2),
         Var("Nothing", INT, 28, count=0), Var("Speed", FLOAT, 28)],
        32, [[r / 60, [1.0, 2.0, 3.0], [1, 2], None, 5.0] for r in range(3)]),
    # Laps: pit flags, partial and incomplete laps, sessions restarting at lap 0.
    "laps_pit": lambda: laps_file([0, 0, 1, 1, 1, 2, 2, 3], [1, 0, 0, 0, 1, 1, 0, 0],
                                  [0.99, 0.5, 0.01, 0.5, 0.99, 0.01, 0.5, 0.7]),
    "laps_sessions": lambda: laps_file([0, 1, 1, 0, 0, 1, 1, 2], [0] * 8, [0.0, 0.0, 0.99, 0.5, 0.0, 0.01, 0.99, 0.5]),
    "laps_double_dist": lambda: laps_file([1, 1, 2, 2], [0, 0, 0, 1], [0.01, 0.99, 0.01, 0.99], DOUBLE),
    "laps_nan_dist": lambda: laps_file([1, 1, 1], [0, 0, 0], [math.nan, 0.5, math.nan]),
    "laps_int_dist": lambda: write_channels({"SessionTime": times(4), "Lap": (INT, [1, 1, 2, 2]),
                                             "LapDistPct": (INT, [0, 1, 0, 1])}),
    "laps_only_lap": lambda: write_channels({"SessionTime": times(5), "Lap": (INT, [3, 3, 4, 4, 5])}),
    # Session-info text.
    "info_crlf_invalid_utf8": lambda: write_channels(
        {"SessionTime": times(2)}, session_info=b"\0\0---\r\nWeekendInfo:\r\n TrackName: \xff\xc3(\xe2\x82\r\n\0x\0\0"),
    "info_without_dashes": lambda: write_channels({"SessionTime": times(2)}, session_info=b"\0\0TrackName: x\0\0"),
    "info_all_nul": lambda: write_channels({"SessionTime": times(2)}, session_info=bytes(16)),
    "names_invalid_utf8": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var(b"Sp\xffeed", FLOAT, 8, desc=b"\xe2\x82", unit=b"m/s\xc0")],
        12, [[r / 60, 1.0] for r in range(2)]),
    "names_full_width": lambda: with_vars(
        [Var("SessionTime", DOUBLE, 0), Var("N" * 32, FLOAT, 8, desc="D" * 64, unit="U" * 32)],
        12, [[r / 60, 1.0] for r in range(2)]),
    # Header faults, for the mutator to start from.
    "live_dump": lambda: write_live_dump(
        [Var("SessionTime", DOUBLE, 0), Var("Lap", INT, 8), Var("Speed", FLOAT, 12)],
        [(7, [1.0, 2, 3.0]), (9, [1.1, 2, 3.5]), (8, [1.05, 2, 3.25])], buf_len=16, session_info=INFO.encode(),
        reserved=256),
    "fault_version_3": lambda: write_channels({"SessionTime": times(2)}, version=3),
    "fault_type_6": lambda: write_ibt([Var("SessionTime", DOUBLE, 0), Var("Bad", 6, 8)], bytes(24), buf_len=12),
    "fault_extent": lambda: write_ibt([Var("SessionTime", DOUBLE, 0), Var("Wide", DOUBLE, 8)], bytes(24), buf_len=12),
    "fault_records_past_end": lambda: write_channels({"SessionTime": times(2)}, session_record_count=3),
    "fault_num_vars_max": lambda: write_channels({"SessionTime": times(2)}, num_vars=2**31 - 1),
    "fault_truncated": lambda: write_channels({"SessionTime": times(4), "Speed": (FLOAT, [1.0] * 4)})[:-5],
}


def main() -> None:
    CORPUS.mkdir(exist_ok=True)
    for old in CORPUS.glob("*.ibt"):
        old.unlink()
    for name, make in SEEDS.items():
        (CORPUS / f"{name}.ibt").write_bytes(make())
    print(f"{len(SEEDS)} seeds in {CORPUS}")


if __name__ == "__main__":
    main()

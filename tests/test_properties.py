"""ibt against an independent reading of the same bytes: random valid layouts, single-byte
changes and truncations of them, and real recordings."""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference_reader import (BOOL, DOUBLE, ELEMENT_SIZE, FLOAT, INT, METADATA_PREFIXES, RecordAreaOverrun,
                              ReferenceFile, assert_matches)
from telvane._writer import Var, write_ibt

# The reference narrows Double lap fractions with numpy, which warns about NaN and overflow.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning:reference_reader")
ERROR_PREFIXES = ("Invalid header: ", "Arrow error: ")


def _bits(dtype: str, *values: float) -> list[int]:
    return np.array(values, dtype).view(f"<u{np.dtype(dtype).itemsize}").tolist()


# Element bit patterns that records are built from: boundaries, NaNs with payloads, infinities,
# subnormals, the lap-fraction limits, and times that round halfway or saturate in milliseconds.
POOLS = {
    1: [0, 1, 2, 127, 128, 255],
    4: [0, 1, 2, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7F800001,
        0xFFC01234, 0x00000001, *_bits("<f4", 0.02, 0.98, 0.5, 0.019999, 0.980001, -0.0)],
    8: [0, 0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000,
        0x7FF0000000000001, 0xFFF8000000000123, 1,
        *_bits("<f8", 1.5, 0.0625, -0.0625, 12.3456, 1234.5675, 1e17, -1e17, 9.3e15, 0.02, 0.98,
               0.020000000001, 0.97999999999, 1 / 60, 4503599627370.499, 9223372036854775.808,
               -9223372036854775.808, 0.0005, -0.0025, -0.0004999)],
}
STYLES = ["runs", "pool", "raw", "runs"]
# Runs of equal values, so that laps last several records and pit flags and fractions hold.
RUNS = {1: [0, 0, 0, 1, 2], 4: [0, 1, 2, 0x3F000000, *_bits("<f4", 0.02, 0.98, 0.5), 0x7FC00000],
        8: [0, *_bits("<f8", 0.5, 0.02, 0.98, 0.1, 0.99)]}

NAMES = st.one_of(st.sampled_from(["Lap", "OnPitRoad", "LapDistPct"]),
                  st.sampled_from(["SessionTime", "Speed", b"Sp\xb0ed", b"\xed\xa0\x80", b"n" * 32, b"",
                                   b"a\0b", "Sessiontime"]),
                  st.binary(max_size=32))
COUNTS = st.sampled_from([1, 0, 2, 3, 4]) | st.just(1)
# The types the laps are read with, given to their variables half of the time.
LAP_TYPES = {"Lap": [INT], "OnPitRoad": [BOOL], "LapDistPct": [FLOAT, DOUBLE]}
NEAR_MISSES = ["trackname: ", "TrackName:", "TrackName:\t", "- SeriesID: ", "SessionID:  ", "Track Name: "]
SPACE = st.sampled_from(["", " ", "    ", "\t", "\u3000", "\xa0", "\x85", "\u2028", "\x1c", "\r"])
VALUE = st.one_of(st.text(max_size=12).map(str.encode), st.binary(max_size=8))
KEY_LINE = st.builds(lambda i, k, v, t: (i + k).encode() + v + t.encode(),
                     SPACE, st.sampled_from([*METADATA_PREFIXES, *NEAR_MISSES]), VALUE, SPACE)
LINE = st.one_of(KEY_LINE, KEY_LINE, st.binary(max_size=16))
ENDING = st.sampled_from([b"\n", b"\r\n", b"\r", b"\r\r\n", b""])


@st.composite
def layouts(draw: st.DrawFn, max_records: int) -> dict:
    """Variables of every type and count 0..4 at any offsets (overlaps and duplicate names
    included, always a Double SessionTime), records of random bytes and special values, random
    session info between NULs and header values."""
    drawn_vars = draw(st.lists(st.tuples(NAMES, st.integers(0, 5), COUNTS, st.binary(max_size=64),
                                    st.binary(max_size=32), st.sampled_from(STYLES)), max_size=10))
    drawn_vars.append(("SessionTime", DOUBLE, draw(COUNTS), b"Seconds", b"s", draw(st.sampled_from(STYLES))))
    if draw(st.booleans()):  # the three lap variables with their own types, holding runs of values
        drawn_vars += [("Lap", INT, 1, b"", b"", "runs"), ("OnPitRoad", BOOL, 1, b"", b"", "runs"),
                  ("LapDistPct", draw(st.sampled_from([FLOAT, DOUBLE])), 1, b"", b"", "runs")]
    drawn_vars = draw(st.permutations(drawn_vars))
    for i, (name, code, *rest) in enumerate(drawn_vars):
        raw = name.encode() if isinstance(name, str) else name
        if raw.split(b"\0")[0] == b"SessionTime":  # the time base needs every SessionTime to be a Double
            code = DOUBLE
        elif name in LAP_TYPES and draw(st.booleans()):
            code = draw(st.sampled_from(LAP_TYPES[name]))
        drawn_vars[i] = (name, code, *rest)
    extents = [ELEMENT_SIZE[t] * c for _, t, c, *_ in drawn_vars]
    # Records past 4 KiB are gathered in blocks of 116..119 records, or of 8 for the largest.
    buf_len = max(extents) + draw(st.integers(0, 12) | st.integers(4400, 4500) | st.just(70_000))
    vars = [Var(name, t, draw(st.integers(0, buf_len - e)), c, desc, unit)
            for (name, t, c, desc, unit, _), e in zip(drawn_vars, extents)]
    n = draw(st.integers(0, max_records))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    area = bytearray(rng.integers(0, 256, n * buf_len, dtype=np.uint8).tobytes())
    for var, (*_, style) in zip(vars, drawn_vars):
        width = ELEMENT_SIZE[var.type]
        if style != "raw" and var.count and n:
            values = rng.choice(np.array(POOLS[width], f"<u{width}"), n) if style == "pool" else \
                np.repeat(rng.choice(RUNS[width], n), rng.integers(1, 40, n))[:n]
            np.ndarray((n,), f"<u{width}", area, var.offset, (buf_len,))[:] = values
    header = dict(version=draw(st.sampled_from([1, 2])), tick_rate=draw(st.integers(-2**31, 2**31 - 1)),
                  session_start_date=draw(st.integers(-2**63, 2**63 - 1)), start_time=draw(st.floats()),
                  end_time=draw(st.floats()), lap_count=draw(st.integers(-2**31, 2**31 - 1)))
    text = b"".join(line + end for line, end in draw(st.lists(st.tuples(LINE, ENDING), max_size=12)))
    start = draw(st.sampled_from([b"", b"---\n", b"-- -\n", b"ab---"]))
    info = bytes(draw(st.integers(0, 2))) + start + text + bytes(draw(st.integers(0, 3)))
    return dict(vars=vars, records=bytes(area), session_info=info, buf_len=buf_len, session_record_count=n,
                **header)


def mutations(data: bytes, layout: dict) -> st.SearchStrategy[bytes]:
    """One byte set to any value, in the headers, in the numeric fields of a variable header or
    anywhere, or a prefix."""
    var_fields = st.builds(lambda i, k: 144 + 144 * i + k, st.integers(0, len(layout["vars"]) - 1),
                           st.integers(0, 15))
    positions = st.one_of(st.integers(0, 143), var_fields, st.integers(0, len(data) - 1))
    changed = st.builds(lambda i, b: data[:i] + bytes([b]) + data[i + 1:], positions, st.integers(0, 255))
    return st.one_of(changed, changed, st.integers(0, len(data) - 1).map(lambda size: data[:size]))


@pytest.mark.slow  # 300 layouts: about half of the whole suite's time
@settings(max_examples=300, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(st.data())
def test_files_and_changed_files_read_like_the_reference_or_are_refused(ibt, internal_error, tmp_path, data):
    """A valid layout by each kind of source, or a single-byte change or a truncation of one."""
    changed = data.draw(st.booleans())
    layout = data.draw(layouts(max_records=20 if changed else 300))
    file = source = write_ibt(**layout)
    size, name = len(file), "<bytes>"
    if changed:
        file = source = data.draw(mutations(file, layout))
    else:
        (tmp_path / "file.ibt").write_bytes(file)
        path = str(tmp_path / "file.ibt")
        source, name = data.draw(st.sampled_from([(file, name), (io.BytesIO(file), name), (path, path)]))
    try:
        log = ibt(source)
    except RuntimeError as exc:
        message = str(exc)
        assert changed and message.startswith(ERROR_PREFIXES), message
        if len(file) < size:  # a truncation fails for its size
            assert message.startswith("Invalid header: File too small for "), message
            assert f": {len(file)} bytes (need " in message, message
    except internal_error:
        reference = ReferenceFile(file)
        with pytest.raises(RecordAreaOverrun):  # where the reference reads past the record area too
            reference.timecodes, reference.laps()
    else:
        assert_matches(log, ReferenceFile(file), name)


@pytest.mark.parametrize("recording", ["synthetic", "sample"])
def test_recordings_read_like_the_reference(ibt, request, write_file, recording):
    source = request.getfixturevalue(recording)  # the synthetic bytes or the real recording's path
    path = write_file(source) if recording == "synthetic" else str(source)
    assert_matches(ibt(path), ReferenceFile(Path(path).read_bytes()), path)


# -- the lap model on any lap inputs ------------------------------------------------------------------

# Values a lap channel takes in files, sound or not.
FRACTIONS = [0.0, 0.01, 0.5, 0.93, 0.97, 0.99, 1.0, -0.03125, -0.0312495, 1.5, float("nan"), float("inf")]
SECONDS = [0.0, 1 / 60, 2 / 60, 0.5, -1 / 60, 1e300, float("nan"), float("-inf")]


@st.composite
def lap_inputs(draw: st.DrawFn) -> object:
    from telvane._lap_inputs import LapInputs

    n = draw(st.integers(1, 40))
    steps = draw(st.lists(st.sampled_from(SECONDS), min_size=n, max_size=n))
    column = lambda values, dtype: np.array(draw(st.lists(st.sampled_from(values), min_size=n, max_size=n)), dtype)  # noqa: E731
    with np.errstate(invalid="ignore", over="ignore"):
        times = np.cumsum(np.array(steps)) * 1000.0
    times[~np.isfinite(times)] = np.nan  # as a LogFile keeps times it does not know
    return LapInputs(
        times=times, lap=column([0, 1, 2, 3, -1, 2**31 - 1], np.int32),
        pct=column(FRACTIONS, np.float32), dist=column([0.0, 5.0, 200.0, 1e9, float("nan")], np.float32),
        surface=column([-1, 1, 3], np.int32), pit=column([False, True], bool),
        session=column([0, 0, 1], np.int32), speed=column([0.0, 30.0], np.float32),
        session_info="SplitTimeInfo:\n Sectors:\n - SectorStartPct: 0\n - SectorStartPct: 0.5\n")


@settings(max_examples=150, derandomize=True, database=None, deadline=None)
@given(lap_inputs())
def test_laps_and_sectors_of_any_inputs_are_timed_within_their_records(inputs):
    from telvane import _racing

    laps = _racing.racing_laps(inputs).to_pylist()
    ends = [0] + [lap["end_record"] for lap in laps]
    for before, lap in zip(ends, laps):
        assert before <= lap["first_record"] < lap["end_record"] <= len(inputs)
        assert 0 <= lap["duration"] < np.inf and lap["start_time"] <= lap["end_time"]
        # a lap's line crossing is looked for within CROSSING_WINDOW records of its lap number's change
        window = _racing.CROSSING_WINDOW
        known = inputs.times[max(lap["first_record"] - 1 - window, 0):lap["end_record"] + window + 1]
        assert np.nanmin(known) <= lap["start_time"] and lap["end_time"] <= np.nanmax(known)
    for sector in _racing.sectors(inputs, _racing.racing_laps(inputs)).to_pylist():
        lap = laps[sector["lap"]]
        assert lap["start_time"] <= sector["start_time"] <= sector["end_time"] <= lap["end_time"]

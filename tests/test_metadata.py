"""The metadata dict, beside the comparisons with the reference reading: the line scanner's
rules on a few exact texts, and the header values as stored."""

from __future__ import annotations

import pytest

from reference_reader import WHITE_SPACE
from telvane._writer import INT
from builders import write_channels

HEADER_KEYS = ["tick_rate", "record_count", "lap_count", "session_start_date", "start_time", "end_time"]
SPACE = WHITE_SPACE.replace("\n", "")


# session-info text -> the scanned entries, in dict order: a later line replaces an earlier
# value at its first position, Unicode White_Space is trimmed, other characters are kept
@pytest.mark.parametrize("text, entries", [
    ("SessionID: 1\n TrackName: a\rb\r\nSessionID: 2\nTrackName:Spa\nTrackName: \n- SeriesID: 6\ntrackname: x\n",
     [("session_id", "2"), ("track_name", "a\rb")]),
    (f"{SPACE}TrackCity: {SPACE}Zell{SPACE}am\u200b{SPACE}\nTrackCountry: \ufeffAT\x1c", [
        ("track_city", f"Zell{SPACE}am\u200b"), ("track_country", "\ufeffAT\x1c")]),
    (b"SubSessionID: 9\nSeasonID: 7\nSeriesID: 6\nTrackLength: 5 km\nTrackDisplayName: D\xb0\nTrackName: N\n",
     [("sub_session_id", "9"), ("season_id", "7"), ("series_id", "6"), ("track_length", "5 km"),
      ("track_display_name", "D\ufffd"), ("track_name", "N")]),
])
def test_scan(ibt, text, entries):
    metadata = ibt(write_channels(session_info=text)).metadata
    assert list(metadata)[-6:] == HEADER_KEYS and list(metadata.items())[1:-6] == entries


def test_header_values_are_as_stored(ibt):
    fields = dict(tick_rate=-1, lap_count=-5, session_start_date=-(2**63), start_time=-0.0, end_time=float("inf"))
    result = ibt(write_channels({"Lap": (INT, [1, 1, 2])}, **fields))
    tail = list(result.metadata.items())[-6:]
    assert tail == [(key, {"record_count": 3, **fields}[key]) for key in HEADER_KEYS]
    assert [type(v) for _, v in tail] == [int, int, int, int, float, float]
    assert str(result.metadata["start_time"]) == "-0.0"

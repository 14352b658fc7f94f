"""The metadata dict: the session-info line scanner and the header values, in key order."""

from __future__ import annotations

import pytest

from reference_reader import WHITE_SPACE
from telvane._writer import INT
from builders import write_channels

HEADER_KEYS = ["tick_rate", "record_count", "lap_count", "session_start_date", "start_time", "end_time"]


def scanned(ibt, session_info: str | bytes) -> list[tuple[str, str]]:
    """The entries between session_info_yaml and the header keys, checking those."""
    metadata = ibt(write_channels(session_info=session_info)).metadata
    text = session_info.decode("utf-8", "replace") if isinstance(session_info, bytes) else session_info
    assert list(metadata.items())[0] == ("session_info_yaml", text) and list(metadata)[-6:] == HEADER_KEYS
    return list(metadata.items())[1:-6]


# session-info text -> the scanned entries, in dict order
@pytest.mark.parametrize("text, entries", [
    ("", []),
    ("    TrackName: Red Bull Ring   \n", [("track_name", "Red Bull Ring")]),
    ("WeekendInfo:\n TrackName: a\r\n TrackCity: b\r\n", [("track_name", "a"), ("track_city", "b")]),
    ("TrackName: a\rb\r\n", [("track_name", "a\rb")]),
    ("TrackName: a\r\r\n", [("track_name", "a")]),
    ("TrackName:Spa\nTrackName:\tSpa\n", []),
    ("TrackName:  Spa", [("track_name", "Spa")]),
    ("SessionID: 1\nTrackName: T\nSessionID: 2\n", [("session_id", "2"), ("track_name", "T")]),
    ("TrackName: Spa\nTrackName:\nTrackName: \nTrackName:   \n", [("track_name", "Spa")]),
    (" - TrackName: Spa\n-TrackName: Spa\n# TrackName: Spa\n", []),
    ("trackname: spa\nTRACKNAME: SPA\nTrackNameX: a\nTrackName : a\nXTrackName: a\n", []),
    ("TrackLength: 4.32 km\nSeriesID: 0123\n", [("track_length", "4.32 km"), ("series_id", "0123")]),
    ("TrackDisplayName: 'Red: Bull' # note\nTrackCity: a\0b\n",
     [("track_display_name", "'Red: Bull' # note"), ("track_city", "a\0b")]),
    (b"TrackCity: \xb0C\n", [("track_city", "\ufffdC")]),
    ("SubSessionID: 9\nSessionID: 8\nSeasonID: 7\nSeriesID: 6\nTrackLength: 5 km\nTrackCountry: AT\n"
     "TrackCity: S\nTrackDisplayName: D\nTrackName: N\n",
     [("sub_session_id", "9"), ("session_id", "8"), ("season_id", "7"), ("series_id", "6"),
      ("track_length", "5 km"), ("track_country", "AT"), ("track_city", "S"), ("track_display_name", "D"),
      ("track_name", "N")]),
])
def test_scan(ibt, text, entries):
    assert scanned(ibt, text) == entries


def test_unicode_white_space_is_trimmed(ibt):
    space = WHITE_SPACE.replace("\n", "")  # a missing character stops the trimming where it stands
    text = f"{space}TrackName: {space}Spa{space}\nTrackCity: Zell{space}am See{space}{space}\n"
    assert scanned(ibt, text) == [("track_name", "Spa"), ("track_city", f"Zell{space}am See")]


@pytest.mark.parametrize("other", ["\u200b", "\ufeff", "\u180e", "\x1c", "\x1f", "\x00", "\u2060"])
def test_other_characters_are_kept(ibt, other):
    text = f"TrackName: {other}Spa{other}\n{other}TrackCity: Graz\n"
    assert scanned(ibt, text) == [("track_name", f"{other}Spa{other}")]


def test_header_values_are_as_stored(ibt):
    fields = dict(tick_rate=-1, lap_count=-5, session_start_date=-(2**63), start_time=-0.0, end_time=float("inf"))
    result = ibt(write_channels({"Lap": (INT, [1, 1, 2])}, **fields))
    tail = list(result.metadata.items())[-6:]
    assert tail == [(key, {"record_count": 3, **fields}[key]) for key in HEADER_KEYS]
    assert [type(v) for _, v in tail] == [int, int, int, int, float, float]
    assert str(result.metadata["start_time"]) == "-0.0"
    assert result.laps.num_rows == 2  # lap_count is the stored value, not the laps found

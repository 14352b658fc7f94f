"""The metadata dict: the session-info line scanner and the header values, in key order."""

from __future__ import annotations

import pytest

from reference_reader import WHITE_SPACE, ReferenceFile
from telvane._writer import INT, write_channels

HEADER_KEYS = ["tick_rate", "record_count", "lap_count", "session_start_date", "start_time", "end_time"]


def metadata(ibt, session_info: str | bytes, **layout: object) -> dict:
    return ibt(write_channels(session_info=session_info, **layout)).metadata


# session-info text -> the scanned entries, in dict order
SCANS = [
    ("", []),
    ("TrackName: Spa", [("track_name", "Spa")]),
    ("    TrackName: Red Bull Ring   \n", [("track_name", "Red Bull Ring")]),
    ("WeekendInfo:\n TrackName: a\r\n TrackCity: b\r\n", [("track_name", "a"), ("track_city", "b")]),
    ("TrackName: a\rb\r\n", [("track_name", "a\rb")]),
    ("TrackName: a\r\r\n", [("track_name", "a")]),
    ("TrackName:Spa\n", []),
    ("TrackName:\tSpa\n", []),
    ("TrackName:  Spa\n", [("track_name", "Spa")]),
    ("TrackName: \t Spa \t\n", [("track_name", "Spa")]),
    ("SessionID: 1\nTrackName: T\nSessionID: 2\n", [("session_id", "2"), ("track_name", "T")]),
    ("TrackName: Spa\nTrackName:\nTrackName: \nTrackName:   \n", [("track_name", "Spa")]),
    ("TrackName:\nTrackName: \n", []),
    (" - TrackName: Spa\n-TrackName: Spa\n# TrackName: Spa\n", []),
    ("trackname: spa\nTRACKNAME: SPA\nTrackname: Spa\n", []),
    ("TrackNameX: a\nTrackName : a\nXTrackName: a\n", []),
    ("SubSessionID: 5\n", [("sub_session_id", "5")]),
    ("SessionID: 4\nSubSessionID: 5\n", [("session_id", "4"), ("sub_session_id", "5")]),
    ("TrackLength: 4.32 km\nSeriesID: 0123\n", [("track_length", "4.32 km"), ("series_id", "0123")]),
    ("TrackDisplayName: 'Red: Bull' # note\n", [("track_display_name", "'Red: Bull' # note")]),
    ("TrackCity: a\0b\n", [("track_city", "a\0b")]),
    ("TrackCity: \u00e9t\u00e9\n", [("track_city", "\u00e9t\u00e9")]),
    (b"TrackCity: \xb0C\n", [("track_city", "\ufffdC")]),
    ("\n\n\nTrackCity: c\n\n", [("track_city", "c")]),
    ("SubSessionID: 9\nSessionID: 8\nSeasonID: 7\nSeriesID: 6\nTrackLength: 5 km\nTrackCountry: AT\n"
     "TrackCity: S\nTrackDisplayName: D\nTrackName: N\n",
     [("sub_session_id", "9"), ("session_id", "8"), ("season_id", "7"), ("series_id", "6"),
      ("track_length", "5 km"), ("track_country", "AT"), ("track_city", "S"), ("track_display_name", "D"),
      ("track_name", "N")]),
]


@pytest.mark.parametrize("text, scanned", SCANS)
def test_scan(ibt, text, scanned):
    result = metadata(ibt, text)
    yaml = text.decode("utf-8", "replace") if isinstance(text, bytes) else text
    assert list(result)[0] == "session_info_yaml" and result["session_info_yaml"] == yaml
    assert list(result.items())[1:-6] == scanned
    assert list(result)[-6:] == HEADER_KEYS


def test_empty_session_info_gives_seven_keys(ibt):
    assert list(metadata(ibt, "")) == ["session_info_yaml", *HEADER_KEYS]


# Unicode White_Space around a value is trimmed; other invisible characters are not.
@pytest.mark.parametrize("space", [c for c in WHITE_SPACE if c != "\n"])
def test_white_space_is_trimmed(ibt, space):
    text = f"{space}TrackName: {space}Spa{space}\nTrackCity: Zell{space}am See{space}{space}\n"
    assert list(metadata(ibt, text).items())[1:3] == [("track_name", "Spa"), ("track_city", f"Zell{space}am See")]


@pytest.mark.parametrize("other", ["\u200b", "\ufeff", "\u180e", "\x1c", "\x1f", "\x00", "\u2060"])
def test_other_characters_are_kept(ibt, other):
    text = f"TrackName: {other}Spa{other}\n{other}TrackCity: Graz\n"
    assert list(metadata(ibt, text).items())[1:-6] == [("track_name", f"{other}Spa{other}")]


HEADERS = [
    dict(tick_rate=60, lap_count=3, session_start_date=1681113045, start_time=54.05, end_time=110.35),
    dict(tick_rate=-1, lap_count=-5, session_start_date=-(2**63), start_time=-0.0, end_time=float("inf")),
    dict(tick_rate=2**31 - 1, lap_count=-(2**31), session_start_date=2**63 - 1, start_time=5e-324,
         end_time=-1.5),
]


@pytest.mark.parametrize("fields", HEADERS)
def test_header_values(ibt, fields):
    data = write_channels({"Lap": (INT, [1, 1, 2])}, session_info="TrackName: x\n", **fields)
    result = ibt(data)
    expected = {"tick_rate": fields["tick_rate"], "record_count": 3, **fields}
    tail = list(result.metadata.items())[-6:]
    assert tail == [(key, expected[key]) for key in HEADER_KEYS]
    assert [type(v) for _, v in tail] == [int, int, int, int, float, float]
    assert str(result.metadata["start_time"]) == str(fields["start_time"])  # keeps the sign of -0.0
    assert result.laps.num_rows == 2  # lap_count is the stored value, not the laps found


def test_generated_recording_matches_the_reference(ibt):
    data = pytest.importorskip("telvane.sample").synthetic_sample_bytes()
    result = ibt(data).metadata
    assert list(result.items()) == list(ReferenceFile(data).metadata().items())
    assert "track_name" in result and "session_id" in result


def test_real_recording_matches_the_reference(ibt, sample):
    result = ibt(str(sample)).metadata
    assert list(result.items()) == list(ReferenceFile.open(sample).metadata().items())

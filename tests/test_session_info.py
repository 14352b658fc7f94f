"""LogFile.session(): the session-info text as Python objects, typed-in values exactly as
written, bytes read as UTF-8 or Windows-1252."""

from __future__ import annotations

import re

import pytest
import yaml

import telvane
from builders import write_channels
from telvane._session_info import length_metres, list_entries, player, sector_starts, session_names, value_of


def session_of(info: str | bytes) -> dict:
    return telvane.ibt(write_channels(record_count=1, session_info=info)).session()


def driver(value: str, key: str) -> object:
    text = f"---\nDriverInfo:\n Drivers:\n - CarIdx: 3\n   {key}: {value}\n   CarIdxNext: 4\n...\n"
    drivers = session_of(text)["DriverInfo"]["Drivers"]
    assert drivers == [{"CarIdx": 3, key: drivers[0][key], "CarIdxNext": 4}]  # the value stays in its place
    return drivers[0][key]


# Values that plain YAML misreads, refuses or turns into something else: text as written.
TEXTS = ["Race: Tyres", "ends with a colon:", "Team #7", "#5 Racing", "*Fast*", "@home", "`tick`", "%20",
         "[ABC] Racing", "{Kiwi}", "!bang", "&anchor", "|pipe", ">fold", "'open quote", '"half quoted',
         "Bob's car: 2", "a:b:c: d", "- Team Rocket -", "? Mystery", "=", ", leading comma", "] bracket",
         "12:30", "2023-04-15", "2023-04-15 12:30:00", "off", "yes", "007", "1_000", "0b101", "José Müller",
         "bell\x07 and escape\x1b[2J", "C1 \x85 \x9b controls", "tab\tinside", "line\u2028sep \ufffe"]
# Written value -> what an ordinary key gives; keys whose values people type keep the text unless quoted.
VALUES = [(text, text) for text in TEXTS] + [
    ("1.5", 1.5), ("-3", -3), ("0", 0), ("0xffffff", 0xFFFFFF), ("-1.0000", -1.0), ("true", True), ("", None),
    ("~", None), (" spaced  ", "spaced"), ("'quoted'", "quoted"), ('"7"', "7"), ("54.0%", "54.0%")]
TYPED = ["UserName", "TeamName", "AbbrevName", "Initials", "DriverSetupName", "CameraName"]


@pytest.mark.parametrize("value, parsed", VALUES)
def test_values_come_back_as_written_unless_they_are_numbers(value, parsed):
    assert driver(value, "Other") == parsed
    typed = parsed if value[:1] in ("'", '"') and value[-1:] == value[:1] else value
    assert {driver(value, key) for key in TYPED + ["CarNumber"]} == {typed}


def test_a_setup_name_holding_a_line_break_and_nul_bytes():
    info = "---\nDriverInfo:\n DriverSetupName: my\nsetup.sto\n DriverSetupIsModified: 0\n\nX: 1\0\n"
    setup = {"DriverSetupName": "my\nsetup.sto", "DriverSetupIsModified": 0}
    assert session_of(info) == {"DriverInfo": setup, "X": 1} and session_of("") == {}


# A comment line ends a free-text value and is no entry, as in YAML: session-info text -> its Drivers
COMMENTED = "   UserName: [ \n      #  use special characters here\n   CarScreenName: X\n"
COMMENTS = [
    (COMMENTED, [{"CarIdx": 1, "UserName": "[ ", "CarScreenName": "X"}]),
    (COMMENTED.replace("[ ", "my\nsetup"), [{"CarIdx": 1, "UserName": "my\nsetup", "CarScreenName": "X"}]),
    (" # the pace car\n - CarIdx: 2\n   UserName: Pace Car\n", [{"CarIdx": 1}, {"CarIdx": 2, "UserName": "Pace Car"}]),
]


@pytest.mark.parametrize("lines, drivers", COMMENTS)
def test_a_comment_line_ends_a_value(lines, drivers):
    text = "---\nDriverInfo:\n Drivers:\n - CarIdx: 1\n" + lines + "...\n"
    assert session_of(text)["DriverInfo"]["Drivers"] == drivers
    assert [entry["CarIdx"] for entry in list_entries(text, "Drivers")] == [str(d["CarIdx"]) for d in drivers]


# One name in the Windows code page, the other in UTF-8
NAMES = {"UserName": "José Müller", "TeamName": "Équipe “Œil” №1"}
CP1252 = f"---\nDriverInfo:\n Drivers:\n - UserName: {NAMES['UserName']}\n".encode("cp1252") + \
    f"   TeamName: {NAMES['TeamName']}\n".encode()


@pytest.mark.parametrize("by_path", [True, False])
def test_session_info_in_the_windows_code_page(by_path, write_file):
    data = write_channels(record_count=1, session_info=b"\0\0" + CP1252 + b"\0" * 7)
    log = telvane.open(write_file(data) if by_path else data).read()
    assert "Jos\ufffd M\ufffdller" in log.metadata["session_info_yaml"]  # as the reader made it
    assert telvane.ibt(data).session_info_bytes is None and log.session_info_bytes == CP1252
    assert log.session()["DriverInfo"]["Drivers"] == [NAMES]
    assert log.time_range(0, 1).session() == log.session()


def leaves(tree: object, path: tuple = ()) -> dict[tuple, object]:
    if not isinstance(tree, (dict, list)):
        return {path: tree}
    items = tree.items() if isinstance(tree, dict) else enumerate(tree)
    return {leaf: v for key, value in items for leaf, v in leaves(value, path + (key,)).items()}


def test_the_real_recording_against_plain_yaml(sample):
    text = telvane.ibt(sample).metadata["session_info_yaml"]
    ours, parsed = leaves(telvane.ibt(sample).session()), yaml.safe_load(text)
    plain = leaves(parsed)
    numbers = [{path: value for path, value in tree.items() if type(value) in (int, float)}
               for tree in (ours, plain)]
    assert ours.keys() == plain.keys() and numbers[0] == numbers[1]
    for key in TYPED:
        written = re.findall(rf"^ *(?:- )?{key}: ?(.*)$", text, re.MULTILINE)
        assert written and [value for path, value in ours.items() if path[-1] == key] == written
    # the values read line by line
    own = next(driver for driver in parsed["DriverInfo"]["Drivers"]
               if driver["CarIdx"] == parsed["DriverInfo"]["DriverCarIdx"])
    assert player(text)["UserName"] == own["UserName"] and player(text)["CarPath"] == own["CarPath"]
    assert sector_starts(text) == [sector["SectorStartPct"] for sector in parsed["SplitTimeInfo"]["Sectors"]]


# -- the values read line by line -----------------------------------------------------------------

BLANK = "\n" * 5000  # files in the wild hold thousands of blank lines
DRIVERS = ("DriverInfo:\n DriverCarIdx: 1\n Drivers:\n - CarIdx: 0\n   UserName: Pace Car\n"
           " - CarIdx: 1\n   UserName: 'Ann: B'\n   CarScreenName: Mercedes-AMG GT3\n")
# reader, session-info text -> what it reads
LINE_READS = [
    (player, BLANK + DRIVERS, {"CarScreenName": "Mercedes-AMG GT3", "CarIdx": "1", "UserName": "Ann: B"}),
    (player, DRIVERS.replace("\n", "\r\n"), {"CarScreenName": "Mercedes-AMG GT3", "CarIdx": "1", "UserName": "Ann: B"}),
    (player, DRIVERS.replace("DriverCarIdx: 1", "DriverCarIdx: 7"), {"CarScreenName": None}),
    (player, "", {"CarScreenName": None}),
    (lambda text: value_of(text, "TrackLength"), "---\nWeekendInfo:\n" + BLANK + " TrackLength: 4.32 km\n", "4.32 km"),
    (lambda text: value_of(text, "TrackName"), "WeekendInfo:\n TrackLengthName: x\n", None),
    (sector_starts, "SplitTimeInfo:\n Sectors:\n" + BLANK + " - SectorNum: 0\n   SectorStartPct: 0.000000\n"
     " - SectorNum: 1\n   SectorStartPct: 0.5\n", [0.0, 0.5]),
    (sector_starts, "SplitTimeInfo:\n Sectors:\n - SectorNum: 0\n   SectorStartPct: 0\nCarSetup:\n"
     " - SectorStartPct: 0.5\n", [0.0]),  # the lines of another block are not sectors
    (sector_starts, "WeekendInfo:\n SectorStartPct: 0.0\n", []),
    (sector_starts, "SplitTimeInfo:\n Sectors:\n - SectorStartPct: 0.0\n# a comment\n - SectorStartPct: 0.5\n", [0.0, 0.5]),
    (session_names, "SessionInfo:\n Sessions:" + BLANK + " - SessionNum: 0\n   SessionName: \"PRACTICE\"\n"
     " - SessionNum: 1\n   SessionLaps: 5\n   SessionName: RACE\n", {0: "PRACTICE", 1: "RACE"}),
    (length_metres, "4.32 km", 4320.0), (length_metres, "2.50 mi", 4023.36), (length_metres, "km", None),
]


@pytest.mark.parametrize("read, text, expected", LINE_READS)
def test_values_read_line_by_line(read, text, expected):
    assert read(text) == pytest.approx(expected) if isinstance(expected, float) else read(text) == expected

"""LogFile.session(): the simulator's session-info text as Python objects, its typed-in
values exactly as written, its bytes read as UTF-8 or Windows-1252, in linear time."""

from __future__ import annotations

import re
import signal

import pytest
import yaml

import telvane
from builders import write_channels
from conftest import posix_only


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
         "12:30", "2023-04-15", "2023-04-15 12:30:00", "off", "yes", "007", "1_000", "0b101",
         "bell\x07 and escape\x1b[2J", "C1 \x85 \x9b controls", "tab\tinside", "José Müller", "line\u2028sep \ufffe"]


@pytest.mark.parametrize("value", TEXTS)
def test_values_written_as_text_come_back_as_that_text(value):
    assert driver(value, "Other") == value
    assert driver(value, "TeamName") == value


@pytest.mark.parametrize("value, parsed", [("1.5", 1.5), ("-3", -3), ("0", 0), ("0xffffff", 0xFFFFFF),
                                           ("-1.0000", -1.0), ("true", True), ("", None), ("'quoted'", "quoted"),
                                           ('"7"', "7"), ("54.0%", "54.0%"), ("31C, 31C", "31C, 31C")])
def test_numbers_stay_numbers(value, parsed):
    assert driver(value, "Other") == parsed


# Keys whose values people type are text whatever they look like, spaces and all.
@pytest.mark.parametrize("key", ["UserName", "TeamName", "AbbrevName", "Initials", "DriverSetupName", "CameraName",
                                 "CarNumber"])
@pytest.mark.parametrize("value", ["64", "1.5", "", " spaced  ", "true", "~"])
def test_free_text_keys_keep_the_exact_string(key, value):
    assert driver(value, key) == value


def test_a_setup_name_holding_a_line_break_and_nul_bytes():
    info = "---\nDriverInfo:\n DriverSetupName: my\nsetup.sto\n DriverSetupIsModified: 0\n\nX: 1\0\n"
    assert session_of(info) == {"DriverInfo": {"DriverSetupName": "my\nsetup.sto", "DriverSetupIsModified": 0},
                                "X": 1}
    assert session_of("") == {}


CP1252 = "---\nDriverInfo:\n Drivers:\n - UserName: José Müller\n   TeamName: Équipe “Œil” №1\n".encode()
CP1252 = CP1252.replace("José Müller".encode(), "José Müller".encode("cp1252"))  # one name in the Windows code page


@pytest.mark.parametrize("by_path", [True, False])
def test_session_info_in_the_windows_code_page(by_path, write_file):
    data = write_channels(record_count=1, session_info=b"\0\0" + CP1252 + b"\0" * 7)
    log = telvane.open(write_file(data) if by_path else data).read()
    assert "Jos\ufffd M\ufffdller" in log.metadata["session_info_yaml"]  # the metadata stays as the reader made it
    assert telvane.ibt(data).session_info_bytes is None and log.session_info_bytes == CP1252
    assert log.session()["DriverInfo"]["Drivers"] == [{"UserName": "José Müller", "TeamName": "Équipe “Œil” №1"}]
    assert log.time_range(0, 1).session() == log.session()


@posix_only
def test_parse_time_is_linear_in_a_long_run_of_blanks():
    def too_slow(*_: object) -> None:
        raise TimeoutError("session() took more than 30 s on 1 MB")

    previous = signal.signal(signal.SIGALRM, too_slow)
    signal.alarm(30)  # a backtracking pattern takes minutes on this; a linear pass, milliseconds
    try:
        parsed = session_of("---\nA: x" + " " * 1_000_000 + "y\nB: " + " " * 1_000_000 + "\n")
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert parsed == {"A": "x" + " " * 1_000_000 + "y", "B": None}


def test_the_real_recording(sample):
    log = telvane.ibt(sample)
    text = log.metadata["session_info_yaml"]
    ours, plain = log.session(), yaml.safe_load(text)

    def leaves(tree: object, path: tuple = ()) -> list[tuple[tuple, object]]:
        items = tree.items() if isinstance(tree, dict) else enumerate(tree) if isinstance(tree, list) else None
        return [(path, tree)] if items is None else [leaf for key, value in items for leaf in leaves(value, path + (key,))]

    ours, plain = dict(leaves(ours)), dict(leaves(plain))
    assert ours.keys() == plain.keys()
    assert {path: value for path, value in plain.items() if type(value) in (int, float)} == \
        {path: value for path, value in ours.items() if type(value) in (int, float)}
    for key in ("UserName", "TeamName", "AbbrevName", "Initials", "DriverSetupName", "CameraName"):
        written = re.findall(rf"^ *(?:- )?{key}: ?(.*)$", text, re.MULTILINE)
        assert written and [value for path, value in ours.items() if path[-1] == key] == written

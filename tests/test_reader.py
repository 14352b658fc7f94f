"""Header validation: every check of the reader, in its order, with its exact message."""

import struct

import pytest

from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_channels, write_ibt

INFO = b"---\nWeekendInfo:\n TrackName: x\n\0\0"
VARS = [Var("Speed", FLOAT, 0), Var("Gear", INT, 4)]
# Without SessionTime a file that passes every header check fails right after the parse.
PASSED = "Missing SessionTime variable"


PAD = Var("pad", CHAR, 0, count=0)  # passes every check, whatever buf_len


def build(vars: list[Var] = VARS, **fields: int) -> bytes:
    """Two variable headers (padded with PAD), INFO, two 8-byte records of zeros, and
    header fields overridden; the file length is always L."""
    vars = [*vars, PAD, PAD][:2]
    return write_ibt(vars, bytes(16), session_info=INFO, **{"buf_len": 8, **fields})


L = len(build())
BUF = L - 16  # where the record area starts
MAX = 2**31 - 1


def reader_error(fails, data: bytes) -> str:
    kind, message = fails(data)
    assert kind is RuntimeError
    assert message.startswith("Invalid header: ")
    return message.removeprefix("Invalid header: ")


@pytest.mark.parametrize("size", [0, 1, 100, 111])
def test_too_small_for_header(fails, size):
    assert reader_error(fails, build()[:size]) == f"File too small for header: {size} bytes (need 112)"


@pytest.mark.parametrize("size", [112, 120, 143])
@pytest.mark.parametrize("version", [1, 2])
def test_too_small_for_sub_header(fails, size, version):
    expected = f"File too small for disk sub-header: {size} bytes (need 144)"
    assert reader_error(fails, build(version=version)[:size]) == expected


@pytest.mark.parametrize("size", [112, 120, L])
@pytest.mark.parametrize("version", [0, 3, -1, -MAX - 1, MAX])
def test_unsupported_version_is_checked_before_sizes(fails, size, version):
    assert reader_error(fails, build(version=version)[:size]) == f"Unsupported IBT version: {version}"


def test_all_zero_version_1_file_parses(fails):
    assert reader_error(fails, struct.pack("<i", 1) + bytes(140)) == PASSED


NON_NEGATIVE = ["var_header_offset", "num_vars", "session_info_offset", "session_info_len",
                "buf_len", "buf_offset", "session_record_count"]


@pytest.mark.parametrize("value", [-1, -MAX - 1])
@pytest.mark.parametrize("field", NON_NEGATIVE)
def test_non_negative_fields(fails, field, value):
    assert reader_error(fails, build(**{field: value})) == f"{field} must be non-negative, got {value}"


# (vars, header fields, message): parse order, bounds and 64-bit arithmetic.
CASES = [
    # 1 and 2 are read alike
    (VARS, dict(version=1), PASSED),
    # variable header bounds
    (VARS, dict(num_vars=3), f"File too small for 3 variable headers at offset 144: {L} bytes (need 576)"),
    (VARS, dict(num_vars=MAX, var_header_offset=MAX),
     f"File too small for {MAX} variable headers at offset {MAX}: {L} bytes (need {MAX * 145})"),
    (VARS, dict(var_header_offset=L - 143, num_vars=1),
     f"File too small for 1 variable headers at offset {L - 143}: {L} bytes (need {L + 1})"),
    (VARS, dict(var_header_offset=L + 1, num_vars=0),
     f"File too small for 0 variable headers at offset {L + 1}: {L} bytes (need {L + 1})"),
    (VARS, dict(var_header_offset=L, num_vars=0), PASSED),
    (VARS, dict(num_vars=0), PASSED),
    ([Var("x", 6, 0)], dict(num_vars=0), PASSED),
    ([VARS[0], Var("x", 6, 0)], dict(num_vars=1), PASSED),
    # types and counts, in file order, type before count
    ([Var("x", 6, 0)], {}, "Unknown variable type: 6"),
    ([Var("x", 0xFFFFFFFF, 0)], {}, "Unknown variable type: -1"),
    ([Var("x", 0x80000000, 0)], {}, "Unknown variable type: -2147483648"),
    ([Var("x", 0x7FFFFFFF, 0)], {}, "Unknown variable type: 2147483647"),
    ([Var("x", 6, 0, count=-1)], {}, "Unknown variable type: 6"),
    ([Var("x", 6, 0), Var("y", INT, 0, count=-1)], {}, "Unknown variable type: 6"),
    ([Var("y", INT, 0, count=-1), Var("x", 6, 0)], {}, "Variable count must be non-negative, got -1"),
    ([Var("y", INT, 0, count=-MAX - 1)], {}, f"Variable count must be non-negative, got {-MAX - 1}"),
    ([Var("x", 6, 0)], dict(num_vars=4), f"File too small for 4 variable headers at offset 144: {L} bytes (need 720)"),
    # all variable headers come before the session-info checks, which come before buf_len
    ([Var("x", 6, 0)], dict(session_info_offset=-1), "Unknown variable type: 6"),
    ([Var("x", INT, 0, count=-1)], dict(session_info_len=-1), "Variable count must be non-negative, got -1"),
    ([Var("x", INT, -1)], dict(session_info_offset=-1), "session_info_offset must be non-negative, got -1"),
    ([Var("x", 6, 0)], dict(session_info_offset=L), "Unknown variable type: 6"),
    (VARS, dict(session_info_offset=-1, session_info_len=-1), "session_info_offset must be non-negative, got -1"),
    (VARS, dict(session_info_offset=-1, var_header_offset=-1, num_vars=-1), "var_header_offset must be non-negative, got -1"),
    (VARS, dict(session_info_len=-1, buf_len=-1), "session_info_len must be non-negative, got -1"),
    (VARS, dict(session_info_offset=L, buf_len=-1), f"File too small for session info: {L} bytes (need {L + len(INFO)})"),
    # session-info bounds
    (VARS, dict(session_info_offset=L, session_info_len=0), PASSED),
    (VARS, dict(session_info_offset=L + 1, session_info_len=0), f"File too small for session info: {L} bytes (need {L + 1})"),
    (VARS, dict(session_info_offset=L - 1, session_info_len=2), f"File too small for session info: {L} bytes (need {L + 1})"),
    (VARS, dict(session_info_offset=0, session_info_len=L), PASSED),
    (VARS, dict(session_info_offset=MAX, session_info_len=MAX), f"File too small for session info: {L} bytes (need {2 * MAX})"),
    # variable offsets and extents: buf_len first, then offset and extent per variable in file order
    ([Var("x", INT, -1)], dict(buf_len=-1), "buf_len must be non-negative, got -1"),
    ([Var("x", INT, -1)], {}, "var offset must be non-negative, got -1"),
    ([Var("x", INT, -MAX - 1)], {}, f"var offset must be non-negative, got {-MAX - 1}"),
    ([Var("a", INT, 6), Var("b", INT, -1)], {}, "Variable 'a' offset 6 + size 4 exceeds buffer length 8"),
    ([Var("a", INT, -1), Var("b", INT, 6)], {}, "var offset must be non-negative, got -1"),
    ([Var("a", INT, 4), Var("b", DOUBLE, 1)], {}, "Variable 'b' offset 1 + size 8 exceeds buffer length 8"),
    ([Var("Speed", FLOAT, 0)], dict(buf_len=3), "Variable 'Speed' offset 0 + size 4 exceeds buffer length 3"),
    ([Var("Gear", INT, 0)], dict(buf_len=0), "Variable 'Gear' offset 0 + size 4 exceeds buffer length 0"),
    ([Var("c", CHAR, 8)], {}, "Variable 'c' offset 8 + size 1 exceeds buffer length 8"),
    ([Var("b", BOOL, 8)], {}, "Variable 'b' offset 8 + size 1 exceeds buffer length 8"),
    ([Var("f", BITFIELD, 5)], {}, "Variable 'f' offset 5 + size 4 exceeds buffer length 8"),
    ([Var("arr", DOUBLE, 2, count=3)], dict(buf_len=25), "Variable 'arr' offset 2 + size 24 exceeds buffer length 25"),
    ([Var("big", DOUBLE, 0, count=MAX)], {}, f"Variable 'big' offset 0 + size {8 * MAX} exceeds buffer length 8"),
    ([Var("far", CHAR, MAX)], dict(buf_len=MAX), f"Variable 'far' offset {MAX} + size 1 exceeds buffer length {MAX}"),
    ([Var("e", INT, 9, count=0)], {}, "Variable 'e' offset 9 + size 0 exceeds buffer length 8"),
    ([Var("e", INT, 8, count=0)], {}, PASSED),
    ([Var("e", DOUBLE, 0, count=0)], dict(buf_len=0), PASSED),
    ([Var("d", DOUBLE, 0), Var("arr", CHAR, 0, count=8)], {}, PASSED),
    # extents before the record area; buf_offset before session_record_count
    ([Var("x", INT, 6)], dict(buf_offset=-1), "Variable 'x' offset 6 + size 4 exceeds buffer length 8"),
    (VARS, dict(buf_offset=-1, session_record_count=-1), "buf_offset must be non-negative, got -1"),
    # record area bounds, 64-bit products
    (VARS, dict(session_record_count=3), f"File too small for 3 records: {L} bytes (need {L + 8})"),
    (VARS, dict(buf_offset=BUF + 1), f"File too small for 2 records: {L} bytes (need {L + 1})"),
    (VARS, dict(buf_offset=L, session_record_count=0), PASSED),
    (VARS, dict(buf_offset=L + 1, session_record_count=0), f"File too small for 0 records: {L} bytes (need {L + 1})"),
    (VARS, dict(buf_offset=MAX, session_record_count=0), f"File too small for 0 records: {L} bytes (need {MAX})"),
    (VARS, dict(buf_len=MAX, session_record_count=MAX),
     f"File too small for {MAX} records: {L} bytes (need {MAX * MAX + BUF})"),
    (VARS, dict(buf_len=MAX, session_record_count=MAX, buf_offset=MAX),
     f"File too small for {MAX} records: {L} bytes (need {MAX * MAX + MAX})"),
    (VARS, dict(buf_offset=0), PASSED),
    (VARS, dict(session_record_count=1), PASSED),
    (VARS, {}, PASSED),
]


@pytest.mark.parametrize("vars, fields, message", CASES)
def test_parse(fails, vars, fields, message):
    assert reader_error(fails, build(vars, **fields)) == message


def test_every_truncation_of_a_valid_file_fails_with_its_size(fails):
    data = build()
    for size in range(L):
        message = reader_error(fails, data[:size])
        assert message.startswith("File too small for ") and f": {size} bytes (need " in message, size


# Names are cut at the first NUL and decoded as UTF-8 with one U+FFFD per maximal invalid
# subsequence, which is what Python's "replace" handler does.
NAMES = [
    b"caf\xc3\xa9", b"\xf0\x9f\x98\x80", b"\xef\xbf\xbf", b"\xb0", b"A\xb0B", b"\xc0\x80",
    b"\xc1\xbf", b"\xe0\x80\x80", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xe2\x82", b"\xe2\x82A",
    b"\xf0\x9f\x98", b"\xf0\x9f\x98A", b"\xf4\x90\x80\x80", b"\xf5\x80", b"\xf8\x88\x80\x80\x80",
    b"\xfe\xff", b"\x80\x80\x80", b"\xc2", b"x" * 31 + b"\xc2", b"n" * 32, b"\xff" * 32,
    b"ab\0cd", b"\0abc", b"\xe2\0\x82\xac", b" pad ",
]


@pytest.mark.parametrize("raw", NAMES)
def test_names_are_decoded_lossily(fails, raw):
    name = raw.split(b"\0")[0].decode("utf-8", "replace")
    data = build([Var(raw, FLOAT, 6)])
    assert reader_error(fails, data) == f"Variable '{name}' offset 6 + size 4 exceeds buffer length 8"


# The time base looks SessionTime up by its decoded name; the later of two names wins.
SESSION_TIME = [
    ([Var("SessionTime", t, 0)], f"SessionTime should be double, got {name}")
    for t, name in [(CHAR, "Char"), (BOOL, "Bool"), (INT, "Int"), (BITFIELD, "BitField"), (FLOAT, "Float")]
] + [
    ([Var(b"SessionTime\0junk", FLOAT, 0)], "SessionTime should be double, got Float"),
    ([Var("SessionTime", DOUBLE, 0), Var("SessionTime", FLOAT, 0)], "SessionTime should be double, got Float"),
    ([Var("sessiontime", DOUBLE, 0)], PASSED),
    ([Var("SessionTime ", DOUBLE, 0)], PASSED),
]


@pytest.mark.parametrize("vars, message", SESSION_TIME)
def test_session_time_lookup(fails, vars, message):
    assert reader_error(fails, build(vars)) == message


# (block, header overrides, session-info text)
SESSION_INFO = [
    (b"", {}, ""),
    (b"\0\0\0", {}, ""),
    (b"\0\0---\nA: 1\n\0\0", {}, "---\nA: 1\n"),
    (b"\0\0x: 1\0\0", {}, "x: 1"),
    (b"ab---cd", {}, "---cd"),
    (b"-- ---x", {}, "---x"),
    (b"\0-\0---", {}, "---"),
    (b"--", {}, "--"),
    (b"\0 \0", {}, " "),
    (b"a\0b\0\0", {}, "a\0b"),
    (b"---\xb0\xe2\x82\0", {}, "---\ufffd\ufffd"),
    (b"---abc", dict(session_info_len=0), ""),
    (b"---abc", dict(session_info_len=4), "---a"),
]


@pytest.mark.parametrize("block, fields, text", SESSION_INFO)
def test_session_info_text(logfile_args, block, fields, text):
    _, _, metadata, _ = logfile_args(write_channels(record_count=0, session_info=block, **fields))
    assert metadata["session_info_yaml"] == text

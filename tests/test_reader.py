"""Header validation: every check of the reader, in its order, with its exact message, and the
SessionTime lookup."""

import pytest

from telvane._writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, write_ibt

INFO = b"---\nWeekendInfo:\n TrackName: x\n\0\0"
VARS = [Var("Speed", FLOAT, 0), Var("Gear", INT, 4)]
PAD = Var("pad", CHAR, 0, count=0)  # passes every check, whatever buf_len
# Without SessionTime a file that passes every header check fails right after the parse.
PASSED = "Missing SessionTime variable"
MAX = 2**31 - 1


def build(vars: list[Var] = VARS, size: int | None = None, **fields: int) -> bytes:
    """Two variable headers (padded with PAD), INFO, two 8-byte records of zeros, and header
    fields overridden; the file length is L, or `size` by truncation."""
    return write_ibt([*vars, PAD, PAD][:2], bytes(16), session_info=INFO, **{"buf_len": 8, **fields})[:size]


L = len(build())
BUF = L - 16  # where the record area starts


def too_small(part: str, need: int) -> str:
    return f"File too small for {part}: {L} bytes (need {need})"


def reader_error(fails, data: bytes) -> str:
    kind, message = fails(data)
    assert kind is RuntimeError and message.startswith("Invalid header: "), message
    return message.removeprefix("Invalid header: ")


# (vars, header fields, message): sizes, version, parse order, bounds and 64-bit arithmetic,
# and the SessionTime that the time base looks up by its name (the later of two).
CASES = [
    *[(VARS, dict(size=n), f"File too small for header: {n} bytes (need 112)") for n in (0, 1, 100, 111)],
    *[(VARS, dict(version=v, size=n), f"File too small for disk sub-header: {n} bytes (need 144)")
      for v in (1, 2) for n in (112, 120, 143)],
    *[(VARS, dict(version=v, size=n), f"Unsupported IBT version: {v}")
      for v in (0, 3, -1, -MAX - 1, MAX) for n in (112, 120, None)],
    *[(VARS, {field: value}, f"{field} must be non-negative, got {value}") for value in (-1, -MAX - 1)
      for field in ["var_header_offset", "num_vars", "session_info_offset", "session_info_len", "buf_len",
                    "buf_offset", "session_record_count"]],
    # variable header bounds; only num_vars headers are read
    (VARS, dict(num_vars=3), too_small("3 variable headers at offset 144", 576)),
    (VARS, dict(num_vars=MAX, var_header_offset=MAX),
     too_small(f"{MAX} variable headers at offset {MAX}", MAX * 145)),
    (VARS, dict(var_header_offset=L, num_vars=0), PASSED),
    ([VARS[0], Var("x", 6, 0)], dict(num_vars=1), PASSED),
    # types and counts, in file order, type before count
    ([Var("x", 0xFFFFFFFF, 0)], {}, "Unknown variable type: -1"),
    ([Var("x", 6, 0, count=-1)], {}, "Unknown variable type: 6"),
    ([Var("y", INT, 0, count=-1), Var("x", 6, 0)], {}, "Variable count must be non-negative, got -1"),
    # all variable headers come before the session-info checks, which come before buf_len
    ([Var("x", 6, 0)], dict(session_info_offset=-1), "Unknown variable type: 6"),
    (VARS, dict(session_info_len=-1, buf_len=-1), "session_info_len must be non-negative, got -1"),
    (VARS, dict(session_info_offset=L, buf_len=-1), too_small("session info", L + len(INFO))),
    # session-info bounds
    (VARS, dict(session_info_offset=L, session_info_len=0), PASSED),
    (VARS, dict(session_info_offset=L - 1, session_info_len=2), too_small("session info", L + 1)),
    (VARS, dict(session_info_offset=MAX, session_info_len=MAX), too_small("session info", 2 * MAX)),
    # buf_len first, then offset and extent per variable in file order, each type's size; names
    # as UTF-8 with U+FFFD for what is not
    ([Var("x", INT, -1)], dict(buf_len=-1), "buf_len must be non-negative, got -1"),
    ([Var("x", INT, -1)], {}, "var offset must be non-negative, got -1"),
    ([Var("a", INT, 6), Var("b", INT, -1)], {}, "Variable 'a' offset 6 + size 4 exceeds buffer length 8"),
    ([Var(b"c\xb0", CHAR, 8)], {}, "Variable 'c\ufffd' offset 8 + size 1 exceeds buffer length 8"),
    ([Var("arr", DOUBLE, 2, count=3)], dict(buf_len=25),
     "Variable 'arr' offset 2 + size 24 exceeds buffer length 25"),
    ([Var("big", DOUBLE, 0, count=MAX)], {},
     f"Variable 'big' offset 0 + size {8 * MAX} exceeds buffer length 8"),
    ([Var("e", INT, 9, count=0)], {}, "Variable 'e' offset 9 + size 0 exceeds buffer length 8"),
    ([Var("e", INT, 8, count=0)], {}, PASSED),
    ([Var("d", DOUBLE, 0), Var("arr", CHAR, 0, count=8)], {}, PASSED),
    # extents before the record area; buf_offset before session_record_count
    ([Var("x", INT, 6)], dict(buf_offset=-1), "Variable 'x' offset 6 + size 4 exceeds buffer length 8"),
    (VARS, dict(buf_offset=-1, session_record_count=-1), "buf_offset must be non-negative, got -1"),
    # record area bounds, 64-bit products
    (VARS, dict(session_record_count=3), too_small("3 records", L + 8)),
    (VARS, dict(buf_offset=BUF + 1), too_small("2 records", L + 1)),
    (VARS, dict(buf_offset=L, session_record_count=0), PASSED),
    (VARS, dict(buf_offset=MAX, session_record_count=0), too_small("0 records", MAX)),
    (VARS, dict(buf_len=MAX, session_record_count=MAX, buf_offset=MAX),
     too_small(f"{MAX} records", MAX * MAX + MAX)),
    (VARS, {}, PASSED),
    *[([Var("SessionTime", code, 0)], {}, f"SessionTime should be double, got {name}")
      for code, name in [(CHAR, "Char"), (BOOL, "Bool"), (INT, "Int"), (BITFIELD, "BitField")]],
    ([Var(b"SessionTime\0junk", FLOAT, 0)], {}, "SessionTime should be double, got Float"),
    ([Var("SessionTime", DOUBLE, 0), Var("SessionTime", FLOAT, 0)], {},
     "SessionTime should be double, got Float"),
]


@pytest.mark.parametrize("vars, fields, message", CASES)
def test_parse(fails, vars, fields, message):
    assert reader_error(fails, build(vars, **fields)) == message

"""Source resolution: which objects are paths, bytes or files, and how each failure is reported."""

import io
import os
import pathlib
import subprocess
import sys
from array import array
from unittest.mock import Mock, call

import pytest

from conftest import NO_SESSION_TIME, SPEED as VALID, posix_only
from telvane._writer import FLOAT, Var, write_ibt

EXPECTED = "Expected str, bytes, PathLike, or file-like object"
# A reader error that shows the content arrived intact: a name decoded from a variable header.
BROKEN = write_ibt([Var(b"Sp\xb0ed", FLOAT, 2)], bytes(8), buf_len=4)
BROKEN_TEXT = "Invalid header: Variable 'Sp\ufffded' offset 2 + size 4 exceeds buffer length 4"
EMPTY_TEXT = "Invalid header: File too small for header: 0 bytes (need 112)"
NOT_FOUND = "I/O error: No such file or directory (os error 2)"
TOO_SMALL_10 = "Invalid header: File too small for header: 10 bytes (need 112)"


def made(name: str, bases: tuple = (), **members: object) -> type:
    return type(name, bases, members)


def FsPath(value: object) -> object:
    return made("FsPath", __fspath__=lambda self: value)()


def Items(data: bytes, length: int | None) -> object:
    claim = None if length is None else lambda self: length
    return made("Items", __getitem__=lambda self, i: data[i], __len__=claim)()


# A file-like object: iterating it fails, so it is taken as a file and not as a sequence.
FILE = {"seek": lambda self, *args: None, "read": lambda self: b"", "__getitem__": lambda self, i: {}[i]}


def Reader(value: object) -> object:
    return made("Reader", **{**FILE, "read": lambda self: value})()


# name -> (make the source from the file's bytes and path, is a path source)
FORMS = {
    "str": (lambda data, path: path, True),
    "bytes with __fspath__": (lambda data, path: made("B", (bytes,), __fspath__=lambda s: path)(b"/x"), True),
    "pathlib.Path": (lambda data, path: pathlib.Path(path), True),
    "__fspath__": (lambda data, path: FsPath(path), True),
    "bytes": (lambda data, path: data, False),
    "bytearray": (lambda data, path: bytearray(data), False),
    "memoryview slice": (lambda data, path: memoryview(b"x" + data + b"y")[1:-1], False),
    "strided memoryview": (lambda data, path: memoryview(bytes(b for x in data for b in (x, 7)))[::2], False),
    "array of int32": (lambda data, path: array("i", list(data)), False),
    "list": (lambda data, path: list(data), False),
    # a sequence's length is only a hint
    **{f"sequence of length {n}": (lambda data, path, n=n: Items(data, n), False) for n in (None, 0, 2**62)},
    "BytesIO": (lambda data, path: io.BytesIO(data), False),
    "read() list, failing sequence": (lambda data, path: Reader(list(data)), False),
    "list of 256 with read": (lambda data, path: made("L", (list,), seek=id, read=lambda self: data)([256]),
                              False),
}


@pytest.mark.parametrize("form", FORMS)
def test_each_form(fails, logfile_args, write_file, form):
    # A reader error names the path only for a path source, and an error after the opening never does.
    make, is_path = FORMS[form]
    for data, text, named in [(BROKEN, BROKEN_TEXT, is_path), (b"", EMPTY_TEXT, is_path),
                              (NO_SESSION_TIME, "Invalid header: Missing SessionTime variable", False)]:
        path = write_file(data)
        assert fails(make(data, path)) == ((OSError, f"{path}: {text}") if named else (RuntimeError, text))
    path = write_file(VALID)
    channels, _, _, source_name = logfile_args(make(VALID, path))
    reference = logfile_args(VALID)[0]
    assert source_name == (path if is_path else "<bytes>")
    assert list(channels) == ["SessionTime", "Speed"]
    assert all(channels[name].equals(reference[name]) for name in channels)


def failing(name: str, error: BaseException, members: dict, lookup: bool = False) -> object:
    """An object with these members whose member `name` raises error when called, or when looked up."""
    def fail(*args: object) -> None:
        raise error

    return made("Failing", **{**members, name: property(fail) if lookup else fail})()


# An exception from the source's own methods passes unchanged; from the sequence methods only
# those that are not ordinary failures of the bytes test (Ctrl-C there is not "not bytes").
SEQUENCE = {"__getitem__": lambda self, i: VALID[i], "__len__": lambda self: len(VALID)}
BEYOND_FAILURE = [KeyboardInterrupt("^C"), MemoryError("full"), SystemExit(3),
                  made("Interrupt", (BaseException,))("stop")]
PASSED_ON = [*[(method, error, FILE) for method in ("__fspath__", "seek", "read")
               for error in [ValueError(method), *BEYOND_FAILURE]],
             *[(method, error, {**FILE, **SEQUENCE}) for method in SEQUENCE for error in BEYOND_FAILURE]]
UNUSABLE = [42, "\ud800", [256], [-1], ["a"], {1, 2}, array("i", [300]), memoryview(b"abc").cast("c"),
            [made("Index", __index__=lambda self: 256)()],
            failing("__fspath__", AttributeError("no"), {}, lookup=True)]
# source -> (exception type, message)
FAILURES = [
    *[(source, TypeError, EXPECTED) for source in UNUSABLE],
    ("/nonexistent/a.ibt", OSError, f"/nonexistent/a.ibt: {NOT_FOUND}"),
    ("a\0b.ibt", OSError, "a\0b.ibt: I/O error: file name contained an unexpected NUL byte"),
    (FsPath(b"/tmp/a.ibt"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (FsPath("\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (io.StringIO("text"), TypeError, "Can't extract `str` to `Vec`"),
    (Reader(None), TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    (Reader(42), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (Reader([256]), OverflowError, "out of range integral type conversion attempted"),
    (Reader(["a"]), TypeError, "'str' object cannot be interpreted as an integer"),
    (made("NoSeek", read=lambda self: b"")(), AttributeError, "'NoSeek' object has no attribute 'seek'"),
    (failing("__fspath__", KeyError("k"), {}, lookup=True), KeyError, "'k'"),
    *[(failing(method, error, members), type(error), str(error)) for method, error, members in PASSED_ON],
]


@pytest.mark.parametrize("source, kind, message", FAILURES, ids=repr)
def test_source_failures(ibt, source, kind, message):
    with pytest.raises(BaseException) as info:
        ibt(source)
    assert (type(info.value), str(info.value)) == (kind, message)
    if kind is OSError:  # made from the message alone
        assert (info.value.errno, info.value.filename) == (None, None)


def test_file_like_is_rewound_read_once_and_left_open(fails):
    stream = io.BytesIO(BROKEN)
    source = Mock(wraps=stream)
    assert fails(source) == (RuntimeError, BROKEN_TEXT)
    assert source.method_calls == [call.seek(0), call.read()] and not stream.closed


@posix_only
@pytest.mark.parametrize("special, message", [
    ("/", "not a regular file (a directory)"),
    ("/dev/null", "not a regular file (a device)"),
    ("fifo", "not a regular file (a FIFO)"),
])
def test_special_files_by_path_are_refused_without_waiting(tmp_path, special, message):
    path = pathlib.Path(special) if special.startswith("/") else tmp_path / special
    if special == "fifo":
        os.mkfifo(path)
    # Opening a FIFO that has no writer waits for one, holding the GIL: run it apart.
    script = "import sys, telvane\ntry:\n    telvane.ibt(sys.argv[1])\nexcept OSError as exc:\n    print(exc)"
    printed = subprocess.check_output([sys.executable, "-c", script, str(path)], text=True, timeout=60)
    assert printed.strip() == f"{path}: I/O error: {message}", printed


def test_a_name_that_is_not_utf8_opens_by_its_file_system_bytes(fails, tmp_path):
    # Such a name arrives as a str with surrogate escapes (os.fsdecode); it is shown that way.
    shown = os.fsdecode(os.fsencode(tmp_path) + b"/caf\xe9.ibt")
    try:
        pathlib.Path(shown).write_bytes(VALID[:10])
    except (OSError, UnicodeError):
        pytest.skip("the file system refuses names that are not UTF-8")
    for source in (shown, pathlib.Path(shown), FsPath(shown)):
        assert fails(source) == (OSError, f"{shown}: {TOO_SMALL_10}")

"""Source resolution: which objects are paths, bytes or files, and how each failure is reported."""

import io
import os
import pathlib
import re
import socket
import subprocess
import sys
from array import array

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


def Index(value: int) -> object:
    return made("Index", __index__=lambda self: value)()


class Reader:
    """A file-like object whose read() returns a fixed value; it logs its calls. It passes the
    sequence check but fails iteration, so it is taken as a file."""

    def __init__(self, value: object) -> None:
        self.value, self.calls = value, []

    def seek(self, *args: object) -> None:
        self.calls.append(("seek", args))

    def read(self, *args: object) -> object:
        self.calls.append(("read", args))
        return self.value

    def __getitem__(self, i: int) -> int:
        raise KeyError(i)


def at_end(stream: io.IOBase) -> io.IOBase:
    stream.seek(0, io.SEEK_END)
    return stream


# name -> (make the source from the file's bytes and path, is a path source)
FORMS = {
    "str": (lambda data, path: path, True),
    "bytes with __fspath__": (lambda data, path: type("B", (bytes,), {"__fspath__": lambda s: path})(b"/x"), True),
    "pathlib.Path": (lambda data, path: pathlib.Path(path), True),
    "__fspath__": (lambda data, path: FsPath(path), True),
    "bytes": (lambda data, path: data, False),
    "bytearray": (lambda data, path: bytearray(data), False),
    "memoryview slice": (lambda data, path: memoryview(b"x" + data + b"y")[1:-1], False),
    "strided memoryview": (lambda data, path: memoryview(bytes(b for x in data for b in (x, 7)))[::2], False),
    "array of int32": (lambda data, path: array("i", list(data)), False),
    "list": (lambda data, path: list(data), False),
    "sequence class": (lambda data, path: made("Items", __getitem__=lambda s, i: data[i], __len__=None)(), False),
    "BytesIO at end": (lambda data, path: at_end(io.BytesIO(data)), False),
    "read() list, failing sequence": (lambda data, path: Reader(list(data)), False),
    "list of 256 with read": (lambda data, path: made("L", (list,), seek=id, read=lambda s: data)([256]), False),
}


@pytest.mark.parametrize("form", FORMS)
def test_each_form(fails, logfile_args, write_file, form):
    """The same contents and source name from every form; a reader error names the path only
    for a path source, and an error after the opening never does."""
    make, is_path = FORMS[form]
    for data, text in [(BROKEN, BROKEN_TEXT), (b"", EMPTY_TEXT)]:
        path = write_file(data)
        assert fails(make(data, path)) == ((OSError, f"{path}: {text}") if is_path else (RuntimeError, text))
    no_time = make(NO_SESSION_TIME, write_file(NO_SESSION_TIME))
    assert fails(no_time) == (RuntimeError, "Invalid header: Missing SessionTime variable")
    path = write_file(VALID)
    channels, _, _, source_name = logfile_args(make(VALID, path))
    reference = logfile_args(VALID)[0]
    assert source_name == (path if is_path else "<bytes>")
    assert list(channels) == ["SessionTime", "Speed"] and all(channels[k].equals(reference[k]) for k in channels)


def Raises(attribute: str, error: BaseException) -> object:
    """An object whose attribute lookup raises."""
    return made("Raises", **{attribute: property(lambda self: (_ for _ in ()).throw(error))})()


UNUSABLE = [42, "\ud800", [256], [-1], ["a"], {1, 2}, array("i", [300]), memoryview(b"abc").cast("c"), [Index(256)],
            Raises("__fspath__", AttributeError("no"))]
# source -> (exception type, message)
FAILURES = [
    *[(source, TypeError, EXPECTED) for source in UNUSABLE],
    (b"/tmp/a.ibt", RuntimeError, TOO_SMALL_10),
    ("/nonexistent/a.ibt", OSError, f"/nonexistent/a.ibt: {NOT_FOUND}"),
    (FsPath("/nonexistent/a.ibt"), OSError, f"/nonexistent/a.ibt: {NOT_FOUND}"),
    ("a\0b.ibt", OSError, "a\0b.ibt: I/O error: file name contained an unexpected NUL byte"),
    (FsPath(b"/tmp/a.ibt"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (FsPath("\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (io.StringIO("text"), TypeError, "Can't extract `str` to `Vec`"),
    (Reader(None), TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    (Reader(42), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (Reader([256]), OverflowError, "out of range integral type conversion attempted"),
    (Reader(["a"]), TypeError, "'str' object cannot be interpreted as an integer"),
    (type("NoSeek", (), {"read": lambda self: b""})(), AttributeError, "'NoSeek' object has no attribute 'seek'"),
    (Raises("__fspath__", KeyError("k")), KeyError, "'k'"),
]


@pytest.mark.parametrize("source, kind, message", FAILURES, ids=repr)
def test_source_failures(ibt, source, kind, message):
    with pytest.raises(BaseException) as info:
        ibt(source)
    assert (type(info.value), str(info.value)) == (kind, message)
    if kind is OSError:  # made from the message alone
        assert (info.value.errno, info.value.filename) == (None, None)


@pytest.mark.parametrize("method", ["__fspath__", "seek", "read"])
def test_exceptions_from_source_methods_pass_unchanged(ibt, method):
    error = ValueError(method)

    def fail(*args: object) -> None:
        raise error

    source = Reader(b"")
    setattr(source, method, fail)
    with pytest.raises(ValueError) as info:
        ibt(source)
    assert info.value is error


def test_file_like_is_rewound_read_once_and_left_open(fails):
    source, stream = Reader(BROKEN), io.BytesIO(BROKEN)
    fails(source)
    fails(stream)
    assert source.calls == [("seek", (0,)), ("read", ())]
    assert not stream.closed and stream.tell() == len(BROKEN)


@posix_only
@pytest.mark.parametrize("special, message", [
    ("/", r"not a regular file \(a directory\)"),
    ("/dev/null", r"not a regular file \(a device\)"),
    ("fifo", r"not a regular file \(a FIFO\)"),
    ("socket", r".+ \(os error \d+\)"),  # open() refuses it, in words that differ by system
])
def test_special_files_by_path_are_refused_without_waiting(tmp_path, special, message):
    path = tmp_path / special
    if special == "fifo":
        os.mkfifo(path)
    elif special == "socket":
        try:
            socket.socket(socket.AF_UNIX).bind(str(path))
        except OSError:
            pytest.skip("the temporary path is too long for a socket")
    else:
        path = pathlib.Path(special)
    # Opening a FIFO that has no writer waits for one, holding the GIL: run it apart.
    script = "import sys, telvane\ntry:\n    telvane.ibt(sys.argv[1])\nexcept OSError as exc:\n    print(exc)"
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=60)
    assert re.fullmatch(f"{re.escape(str(path))}: I/O error: {message}", done.stdout.strip()), done


def test_a_name_that_is_not_utf8_opens_by_its_file_system_bytes(fails, logfile_args, tmp_path):
    """Such a name arrives as a str with surrogate escapes (os.fsdecode); it is shown that way."""
    raw = os.fsencode(tmp_path) + b"/caf\xe9.ibt"
    try:
        with open(raw, "wb") as out:
            out.write(VALID)
    except OSError:
        pytest.skip("the file system refuses names that are not UTF-8")
    shown = os.fsdecode(raw)
    for source in (shown, pathlib.Path(shown), FsPath(shown)):
        assert logfile_args(source)[3] == shown
    os.truncate(raw, 10)
    assert fails(pathlib.Path(shown)) == (OSError, f"{shown}: {TOO_SMALL_10}")


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("error", [KeyboardInterrupt(), MemoryError(), SystemExit(3), Interrupt()], ids=repr)
@pytest.mark.parametrize("method", ["__getitem__", "__len__"])
def test_errors_that_are_not_ordinary_failures_of_the_bytes_test_pass_unchanged(ibt, method, error):
    """Ctrl-C while a sequence is taken value by value is not 'not bytes'."""

    def fail(*args: object) -> None:
        raise error

    members = {"__getitem__": lambda self, i: VALID[i], "__len__": lambda self: len(VALID), method: fail}
    with pytest.raises(BaseException) as info:
        ibt(made("Items", **members)())
    assert info.value is error


@pytest.mark.parametrize("claimed", [0, 2**40, 2**62])
def test_a_sequence_length_is_only_a_hint(logfile_args, claimed):
    source = made("Items", __getitem__=lambda self, i: VALID[i], __len__=lambda self: claimed)()
    channels, _, _, source_name = logfile_args(source)
    assert source_name == "<bytes>" and list(channels) == ["SessionTime", "Speed"]

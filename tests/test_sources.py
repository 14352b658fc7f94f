"""Source resolution: which objects are paths, bytes or files, and how each failure is reported."""

import gc
import io
import os
import pathlib
from array import array

import pytest

from telvane._writer import DOUBLE, FLOAT, Var, write_channels, write_ibt

EXPECTED = "Expected str, bytes, PathLike, or file-like object"
# A reader error that shows the content arrived intact: a name decoded from a variable header.
BROKEN = write_ibt([Var(b"Sp\xb0ed", FLOAT, 2)], bytes(8), buf_len=4)
BROKEN_TEXT = "Invalid header: Variable 'Sp\ufffded' offset 2 + size 4 exceeds buffer length 4"
NO_TIME = write_ibt([Var("Speed", FLOAT, 0)], bytes(8))
NO_TIME_TEXT = "Invalid header: Missing SessionTime variable"
EMPTY_TEXT = "Invalid header: File too small for header: 0 bytes (need 112)"


class FsPath:
    def __init__(self, value: object) -> None:
        self.value = value

    def __fspath__(self) -> object:
        return self.value


class Items:
    """A sequence that only has __getitem__ and a failing __len__."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def __getitem__(self, i: int) -> int:
        return self.data[i]

    def __len__(self) -> int:
        raise ValueError("length is only a hint")


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Reader:
    """A file-like object whose read() returns a fixed value; it logs its calls."""

    def __init__(self, value: object) -> None:
        self.value, self.calls = value, []

    def seek(self, *args: object) -> None:
        self.calls.append(("seek", args))

    def read(self, *args: object) -> object:
        self.calls.append(("read", args))
        return self.value


class BytesAndFile(bytes):
    def read(self) -> bytes:
        raise AssertionError("a byte sequence must not be read")


class PathAndFile(FsPath):
    def read(self) -> bytes:
        raise AssertionError("a path must not be read")


class UnreadableSequence(Reader):
    """Passes the sequence check but fails iteration, so it is taken as a file."""

    def __getitem__(self, i: int) -> int:
        raise KeyError(i)


class NotBytesButFile(list):
    """A list that is no byte sequence, so it is taken as a file."""

    def __init__(self, data: bytes) -> None:
        super().__init__([256])
        self.data = data

    def seek(self, position: int) -> None:
        pass

    def read(self) -> bytes:
        return self.data


def at_end(stream: io.IOBase) -> io.IOBase:
    stream.seek(0, io.SEEK_END)
    return stream


# name -> (make source from (bytes, path), is a path source)
FORMS = {
    "str": (lambda data, path: path, True),
    "str subclass with __fspath__": (lambda data, path: type("P", (str,), {"__fspath__": lambda s: "/x"})(path), True),
    "bytes with __fspath__": (lambda data, path: type("B", (bytes,), {"__fspath__": lambda s: path})(b"/x"), True),
    "pathlib.Path": (lambda data, path: pathlib.Path(path), True),
    "__fspath__": (lambda data, path: FsPath(path), True),
    "__fspath__ and read": (lambda data, path: PathAndFile(path), True),
    "bytes": (lambda data, path: data, False),
    "bytearray": (lambda data, path: bytearray(data), False),
    "memoryview": (lambda data, path: memoryview(data), False),
    "memoryview slice": (lambda data, path: memoryview(b"x" + data + b"y")[1:-1], False),
    "strided memoryview": (lambda data, path: memoryview(bytes(b for x in data for b in (x, 7)))[::2], False),
    "array of int32": (lambda data, path: array("i", list(data)), False),
    "list": (lambda data, path: list(data), False),
    "tuple": (lambda data, path: tuple(data), False),
    "__index__ items": (lambda data, path: [Index(b) for b in data], False),
    "sequence class": (lambda data, path: Items(data), False),
    "bytes with read": (lambda data, path: BytesAndFile(data), False),
    "BytesIO": (lambda data, path: io.BytesIO(data), False),
    "BytesIO at end": (lambda data, path: at_end(io.BytesIO(data)), False),
    "binary file at end": (lambda data, path: at_end(open(path, "rb")), False),
    "read() bytearray": (lambda data, path: Reader(bytearray(data)), False),
    "read() list": (lambda data, path: Reader(list(data)), False),
    "unreadable sequence with read": (lambda data, path: UnreadableSequence(data), False),
    "list of 256 with read": (lambda data, path: NotBytesButFile(data), False),
}


@pytest.mark.parametrize("data, text", [(BROKEN, BROKEN_TEXT), (b"", EMPTY_TEXT)], ids=["broken", "empty"])
@pytest.mark.parametrize("form", FORMS)
def test_reader_errors_name_the_path_only_for_paths(fails, write_file, form, data, text):
    path = write_file(data)
    make, is_path = FORMS[form]
    expected = (OSError, f"{path}: {text}") if is_path else (RuntimeError, text)
    assert fails(make(data, path)) == expected


@pytest.mark.parametrize("form", FORMS)
def test_errors_after_opening_never_carry_the_path(fails, write_file, form):
    path = write_file(NO_TIME)
    assert fails(FORMS[form][0](NO_TIME, path)) == (RuntimeError, NO_TIME_TEXT)


@pytest.mark.parametrize("form", FORMS)
def test_every_form_gives_the_same_result(logfile_args, write_file, form):
    data = write_channels({"Speed": (FLOAT, [1.0, 2.0, 3.0])})
    path = write_file(data)
    make, is_path = FORMS[form]
    channels, _, _, source_name = logfile_args(make(data, path))
    reference, _, _, _ = logfile_args(data)
    assert source_name == (path if is_path else "<bytes>")
    assert list(channels) == list(reference) == ["SessionTime", "Speed"]
    assert all(channels[name].equals(reference[name]) for name in channels)


def test_real_recording_by_path_and_by_bytes(logfile_args, sample):
    by_path, _, meta_path, name = logfile_args(str(sample))
    by_bytes, _, meta_bytes, _ = logfile_args(sample.read_bytes())
    assert name == str(sample) and meta_path == meta_bytes
    assert list(by_path) == list(by_bytes) and all(by_path[k].equals(by_bytes[k]) for k in by_path)


class Raises:
    """An object whose attribute lookup raises: a property named `attribute`."""

    def __init__(self, attribute: str, error: BaseException) -> None:
        def fail(self: object) -> None:
            raise error

        self.__class__ = type("Raises", (Raises,), {attribute: property(fail)})


NOT_FOUND = "I/O error: No such file or directory (os error 2)"
REFUSED = [42, None, 1.5, object(), "\ud800", [256], [-1], [1, 2, 256], ["a"], {1: 2}, {1, 2},
           array("i", [300]), array("d", [1.0]), memoryview(b"abc").cast("c"), [Index(256)],
           Raises("__fspath__", AttributeError("no")), Raises("read", AttributeError("no"))]


@pytest.mark.parametrize("source", REFUSED, ids=repr)
def test_unusable_sources(fails, source):
    assert fails(source) == (TypeError, EXPECTED)


# source -> (exception type, message)
FAILURES = [
    (b"/tmp/a.ibt", RuntimeError, "Invalid header: File too small for header: 10 bytes (need 112)"),
    (bytearray(b"/tmp/a.ibt"), RuntimeError, "Invalid header: File too small for header: 10 bytes (need 112)"),
    ("/nonexistent/a.ibt", OSError, f"/nonexistent/a.ibt: {NOT_FOUND}"),
    (FsPath("/nonexistent/a.ibt"), OSError, f"/nonexistent/a.ibt: {NOT_FOUND}"),
    ("a\0b.ibt", OSError, "a\0b.ibt: I/O error: file name contained an unexpected NUL byte"),
    ("/", OSError, "/: I/O error: No such device (os error 19)"),
    (FsPath(b"/tmp/a.ibt"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (FsPath(None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    (FsPath(42), TypeError, "'int' object cannot be converted to 'PyString'"),
    (FsPath("\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (io.StringIO("text"), TypeError, "Can't extract `str` to `Vec`"),
    (Reader("text"), TypeError, "Can't extract `str` to `Vec`"),
    (Reader(None), TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    (Reader(42), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (Reader([256]), OverflowError, "out of range integral type conversion attempted"),
    (Reader([1, -1]), OverflowError, "out of range integral type conversion attempted"),
    (Reader(["a"]), TypeError, "'str' object cannot be interpreted as an integer"),
    (Reader(b""), RuntimeError, EMPTY_TEXT),
    (type("NoSeek", (), {"read": lambda self: b""})(), AttributeError, "'NoSeek' object has no attribute 'seek'"),
    (Raises("__fspath__", KeyError("k")), KeyError, "'k'"),
    (Raises("read", LookupError("l")), LookupError, "l"),
]


@pytest.mark.parametrize("source, kind, message", FAILURES, ids=repr)
def test_source_failures(fails, source, kind, message):
    assert fails(source) == (kind, message)


def test_os_errors_carry_only_the_message(ibt):
    with pytest.raises(OSError) as info:
        ibt("/nonexistent/a.ibt")
    assert (type(info.value), info.value.errno, info.value.filename) == (OSError, None, None)


def test_empty_file_by_path(fails, write_file):
    path = write_file(b"")
    assert fails(path) == (OSError, f"{path}: {EMPTY_TEXT}")


def test_text_mode_file(fails, write_file):
    with open(write_file(BROKEN), encoding="latin-1") as f:
        assert fails(f) == (TypeError, "Can't extract `str` to `Vec`")


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
    source = Reader(BROKEN)
    fails(source)
    assert source.calls == [("seek", (0,)), ("read", ())]
    stream = io.BytesIO(BROKEN)
    fails(stream)
    assert not stream.closed and stream.tell() == len(BROKEN)


def open_resources() -> tuple[list[str], int, int]:
    """Open descriptors, mappings, and bytes in read-only anonymous mappings (where byte
    sources are copied; adjacent ones merge into one line)."""
    gc.collect()
    with open("/proc/self/maps") as maps:
        lines = [line.split() for line in maps]
    read_only = sum(int(end, 16) - int(start, 16) for start, end in (line[0].split("-") for line in lines
                    if line[1] == "r--p" and len(line) == 5))
    return sorted(os.listdir("/proc/self/fd")), len(lines), read_only


def test_failing_calls_leave_no_descriptor_or_mapping(ibt, write_file):
    # The last file passes the parse but its time base reads past the record area.
    bad_read = write_ibt([Var("SessionTime", DOUBLE, 93, count=0)], bytes(300), buf_len=100, session_record_count=3)
    paths = [write_file(data) for data in (BROKEN, b"", NO_TIME, bad_read)]
    big = BROKEN + bytes(1 << 18)
    sources = [*(lambda p=p: p for p in paths), lambda: "/nonexistent", lambda: "/", lambda: pathlib.Path(paths[0]),
               lambda: BROKEN, lambda: big, lambda: bytearray(big), lambda: list(BROKEN), lambda: io.BytesIO(big),
               lambda: NO_TIME, lambda: bad_read, lambda: Reader([256]), lambda: FsPath(b"x"), lambda: 42]

    def run(times: int) -> None:
        for make in sources:
            for _ in range(times):
                with pytest.raises(BaseException):
                    ibt(make())

    run(3)
    before = open_resources()
    run(300)
    assert open_resources() == before
    with open("/proc/self/maps") as maps:
        mapped = maps.read()
    assert not any(path in mapped for path in paths)

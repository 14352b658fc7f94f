"""The module surface: argument errors, signature, docstrings, exports, the internal-error type."""

import inspect
import json
import subprocess
import sys
import textwrap

import pytest

from telvane._writer import DOUBLE, FLOAT, Var, write_channels, write_ibt

DOC = ("Parse an iRacing IBT file and return a LogFile.\n\n"
       "Note: Array variables (those with count > 1, e.g. tire temp arrays)\n"
       "are not included as channels. Only scalar (count == 1) variables are\n"
       "returned.")
EMPTY = (RuntimeError, "Invalid header: File too small for header: 0 bytes (need 112)")


class Untouchable:
    """A source that fails as soon as resolution looks at it."""

    def __fspath__(self) -> str:
        raise AssertionError("source examined before the arguments were checked")


U = Untouchable()
ARGUMENT_ERRORS = [
    ((), {}, "ibt() missing 1 required positional argument: 'source'"),
    ((), {"progress": None}, "ibt() missing 1 required positional argument: 'source'"),
    ((U, None, 1), {}, "ibt() takes from 1 to 2 positional arguments but 3 were given"),
    ((U, None, 1, 2), {}, "ibt() takes from 1 to 2 positional arguments but 4 were given"),
    ((U,), {"foo": 1}, "ibt() got an unexpected keyword argument 'foo'"),
    ((), {"foo": 1}, "ibt() got an unexpected keyword argument 'foo'"),
    ((U,), {"Source": U}, "ibt() got an unexpected keyword argument 'Source'"),
    ((U,), {"progress": None, "sources": U}, "ibt() got an unexpected keyword argument 'sources'"),
    ((U,), {"source": U}, "ibt() got multiple values for argument 'source'"),
    ((U, None), {"progress": None}, "ibt() got multiple values for argument 'progress'"),
]


@pytest.mark.parametrize("args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(fails, args, kwargs, message):
    assert fails(*args, **kwargs) == (TypeError, message)


@pytest.mark.parametrize("args, kwargs", [
    ((b"",), {}), ((b"", None), {}), ((), {"source": b""}), ((b"",), {"progress": None}),
    ((), {"progress": None, "source": b""}), ((b"", print), {}), ((b"", 42), {}),
])
def test_accepted_argument_forms(fails, args, kwargs):
    assert fails(*args, **kwargs) == EMPTY


def test_progress_none_is_no_progress(logfile_args, write_file):
    path = write_file(write_channels({"Speed": (FLOAT, [1.0, 2.0])}))
    results = [logfile_args(path), logfile_args(path, None), logfile_args(path, progress=None)]
    channels = [r[0] for r in results]
    assert all(list(c) == ["SessionTime", "Speed"] for c in channels)
    assert all(c[k].equals(channels[0][k]) for c in channels for k in c)


def test_function_surface(native, ibt):
    assert str(inspect.signature(ibt)) == "(source, progress=None)"
    assert ibt.__doc__ == DOC
    assert (ibt.__name__, ibt.__module__, ibt.__self__) == ("ibt", native.__name__, native)
    assert type(ibt) is type(len)


def test_module_surface(native):
    assert type(native.__all__) is list and native.__all__ == ["ibt"]
    doc = native.__doc__
    assert doc and doc.strip() and "\n" not in doc.strip() and "IBT" in doc


def internal_error_file() -> bytes:
    """A SessionTime of count 0 in the last 7 bytes of a record: the parse accepts its empty
    extent, but the time base reads 8 bytes at 293 in a 300-byte record area."""
    return write_ibt([Var("SessionTime", DOUBLE, 93, count=0)], bytes(300), buf_len=100, session_record_count=3)


def test_internal_error_type(ibt):
    with pytest.raises(BaseException) as info:
        ibt(internal_error_file())
    error = info.value
    assert type(error).__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert "293" in str(error) and "300" in str(error), str(error)
    assert "BaseException" in (type(error).__doc__ or "")
    assert len(error.args) == 1


def test_only_the_init_function_is_exported(native):
    nm = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__telvane_rs"]


# Loads the extension alone: the package itself needs pyarrow for LogFile.
WITHOUT_PYARROW = textwrap.dedent("""
    import importlib.util, json, sys
    sys.modules["pyarrow"] = None
    spec = importlib.util.spec_from_file_location("telvane._telvane_rs", sys.argv[1])
    native = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(native)
    results = []
    for args in [(), (b"",), (sys.argv[2],), (sys.argv[3],)]:
        try:
            native.ibt(*args)
            results.append("returned")
        except BaseException as exc:
            results.append([type(exc).__name__, str(exc)])
    print(json.dumps(results))
""")


def test_works_without_pyarrow(native, write_file):
    no_time = write_file(write_ibt([Var("Speed", FLOAT, 0)], bytes(8)))
    valid = write_file(write_channels({"Speed": (FLOAT, [1.0])}))
    run = subprocess.run([sys.executable, "-c", WITHOUT_PYARROW, native.__file__, no_time, valid],
                         capture_output=True, text=True, check=True)
    assert json.loads(run.stdout) == [
        ["TypeError", "ibt() missing 1 required positional argument: 'source'"],
        ["RuntimeError", EMPTY[1]],
        ["RuntimeError", "Invalid header: Missing SessionTime variable"],
        ["ModuleNotFoundError", "import of pyarrow halted; None in sys.modules"],
    ]


SUBINTERPRETER = textwrap.dedent("""
    import _xxsubinterpreters as interpreters
    import telvane._telvane_rs
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, "import telvane._telvane_rs")
    except interpreters.RunFailedError as exc:
        print(exc)
""")


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="uses the 3.11 sub-interpreter module")
def test_sub_interpreters_are_refused():
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, check=True)
    assert "ImportError" in run.stdout and "sub-interpreters" in run.stdout, run.stdout

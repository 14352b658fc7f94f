"""The module surface: argument errors, signature, docstrings, exports, and what the module
does without pyarrow or in a sub-interpreter."""

import inspect
import subprocess
import sys

import pytest

from conftest import NO_SESSION_TIME, SPEED as VALID



class Untouchable:
    """A source that fails as soon as resolution looks at it."""

    def __fspath__(self) -> str:
        raise AssertionError("source examined before the arguments were checked")


U = Untouchable()


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "ibt() missing 1 required positional argument: 'source'"),
    ((U, None, 1), {}, "ibt() takes from 1 to 2 positional arguments but 3 were given"),
    ((U,), {"foo": 1}, "ibt() got an unexpected keyword argument 'foo'"),
    ((U,), {"Source": U}, "ibt() got an unexpected keyword argument 'Source'"),
    ((U,), {"progress": None, "sources": U}, "ibt() got an unexpected keyword argument 'sources'"),
    ((U,), {"source": U}, "ibt() got multiple values for argument 'source'"),
    ((U, None), {"progress": None}, "ibt() got multiple values for argument 'progress'"),
])
def test_argument_errors(fails, args, kwargs, message):
    assert fails(*args, **kwargs) == (TypeError, message)


# None is no callback: it is never called, so these calls return
@pytest.mark.parametrize("args, kwargs", [
    ((VALID, None), {}), ((), {"progress": None, "source": VALID}), ((), {"progress": lambda k, n: None, "source": VALID}),
])
def test_accepted_argument_forms(ibt, args, kwargs):
    assert list(ibt(*args, **kwargs).channels) == ["SessionTime", "Speed"]


def test_function_and_module_surface_and_the_one_exported_symbol(native, ibt):
    assert str(inspect.signature(ibt)) == "(source, progress=None)"
    assert ibt.__doc__.startswith("Parse an iRacing IBT file and return a LogFile.\n\nNote: Array variables")
    assert (ibt.__name__, ibt.__module__, ibt.__self__, type(ibt)) == ("ibt", native.__name__, native, type(len))
    assert type(native.__all__) is list and native.__all__ == ["ibt"]
    assert native.__doc__ and "\n" not in native.__doc__.strip() and "IBT" in native.__doc__
    nm = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__telvane_rs"]


# pyarrow is imported only once a file is open and its time base built.
WITHOUT_PYARROW = """
    import json, sys
    sys.modules["pyarrow"] = None
    import telvane._telvane_rs as native
    results = []
    for args in [(), (b"",), (sys.argv[1],), (sys.argv[2],)]:
        try:
            native.ibt(*args)
            results.append("returned")
        except BaseException as exc:
            results.append([type(exc).__name__, str(exc)])
    print(json.dumps(results))
"""


def test_works_without_pyarrow(write_file, run_python):
    no_time, valid = write_file(NO_SESSION_TIME), write_file(VALID)
    assert run_python(WITHOUT_PYARROW, no_time, valid) == [
        ["TypeError", "ibt() missing 1 required positional argument: 'source'"],
        ["RuntimeError", "Invalid header: File too small for header: 0 bytes (need 112)"],
        ["RuntimeError", "Invalid header: Missing SessionTime variable"],
        ["ModuleNotFoundError", "import of pyarrow halted; None in sys.modules"],
    ]


SUBINTERPRETER = """
    import json
    import _xxsubinterpreters as interpreters
    import telvane._telvane_rs
    try:
        interpreters.run_string(interpreters.create(), "import telvane._telvane_rs")
        print(json.dumps("imported"))
    except interpreters.RunFailedError as exc:
        print(json.dumps(str(exc)))
"""


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="uses the 3.11 sub-interpreter module")
def test_sub_interpreters_are_refused(run_python):
    pytest.importorskip("_xxsubinterpreters")  # CPython's private module, renamed in 3.13
    message = run_python(SUBINTERPRETER)
    assert "ImportError" in message and "sub-interpreters" in message, message

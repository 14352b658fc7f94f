"""The module surface: argument errors, signature, docstrings, exports, and what the module
does without pyarrow or in a sub-interpreter."""

import inspect
import subprocess
import sys

import pytest

import telvane._telvane_rs as native
from conftest import NO_SESSION_TIME, SPEED as VALID


U = object()  # not a source: examined before the arguments, it would fail otherwise


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


def test_function_and_module_surface_and_the_one_exported_symbol(ibt):
    assert str(inspect.signature(ibt)) == "(source, progress=None)"
    assert ibt.__doc__.startswith("Parse an iRacing IBT file and return a LogFile.\n\nNote: Array variables")
    assert (ibt.__name__, ibt.__module__, ibt.__self__, type(ibt)) == ("ibt", native.__name__, native, type(len))
    assert type(native.__all__) is list and native.__all__ == ["ibt"]
    assert native.__doc__ and "\n" not in native.__doc__.strip() and "IBT" in native.__doc__
    nm = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__telvane_rs"]


# pyarrow is imported only once a file is open and its time base built; the module refuses
# sub-interpreters (the 3.11 module for them was renamed in 3.13).
APART = """
    import json, sys
    sys.modules["pyarrow"] = None
    import telvane._telvane_rs as native
    results = []
    for args in [(), (b"",), (sys.argv[1],), (sys.argv[2],)]:
        try:
            native.ibt(*args)
        except BaseException as exc:
            results.append([type(exc).__name__, str(exc)])
    try:
        import _xxsubinterpreters as interpreters
        interpreters.run_string(interpreters.create(), "import telvane._telvane_rs")
    except ImportError:
        pass
    except interpreters.RunFailedError as exc:
        results.append(str(exc))
    print(json.dumps(results))
"""


def test_without_pyarrow_and_in_a_sub_interpreter(write_file, run_python):
    results = run_python(APART, write_file(NO_SESSION_TIME), write_file(VALID))
    assert results[:4] == [
        ["TypeError", "ibt() missing 1 required positional argument: 'source'"],
        ["RuntimeError", "Invalid header: File too small for header: 0 bytes (need 112)"],
        ["RuntimeError", "Invalid header: Missing SessionTime variable"],
        ["ModuleNotFoundError", "import of pyarrow halted; None in sys.modules"],
    ]
    if sys.version_info[:2] == (3, 11):
        assert len(results) == 5 and "ImportError" in results[4] and "sub-interpreters" in results[4], results

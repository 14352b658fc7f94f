"""The module surface: argument errors, signature, docstrings and exports."""

import inspect
import subprocess

import pytest

import telvane
import telvane._telvane_rs as native
from conftest import SPEED as VALID


U = object()  # not a source: examined before the arguments, it would fail otherwise


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "ibt() missing 1 required positional argument: 'source'"),
    ((U, None, 1), {}, "ibt() takes from 1 to 2 positional arguments but 3 were given"),
    ((U,), {"foo": 1}, "ibt() got an unexpected keyword argument 'foo'"),
    ((U,), {"Source": U}, "ibt() got an unexpected keyword argument 'Source'"),
    ((U,), {"progress": None, "sources": U}, "ibt() got an unexpected keyword argument 'sources'"),
    ((U,), {"source": U}, "ibt() got multiple values for argument 'source'"),
    ((U, None), {"progress": None}, "ibt() got multiple values for argument 'progress'"),
    ((VALID,), {"progress": 42}, "'int' object is not callable"),  # at the first report
])
def test_argument_errors(fails, args, kwargs, message):
    assert fails(*args, **kwargs) == (TypeError, message)


def test_function_and_module_surface_and_the_one_exported_symbol(ibt):
    assert str(inspect.signature(ibt)) == "(source, progress=None)"
    assert list(ibt(progress=None, source=VALID).channels) == ["SessionTime", "Speed"]
    assert ibt.__doc__.startswith("Parse an iRacing IBT file and return a LogFile.\n\nNote: Array variables")
    assert (ibt.__name__, ibt.__module__, ibt.__self__) == ("ibt", native.__name__, native)
    assert type(ibt) is type(len)
    assert type(native.__all__) is list and native.__all__ == ["ibt"]
    assert set(telvane.__all__) <= set(dir(telvane))  # the lazily imported names too
    assert native.__doc__ and "\n" not in native.__doc__.strip() and "IBT" in native.__doc__
    symbols = subprocess.check_output(["nm", "-D", "--defined-only", native.__file__], text=True)
    assert [line.split()[-1] for line in symbols.splitlines()] == ["PyInit__telvane_rs"]

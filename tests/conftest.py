import sys
import types
from collections.abc import Callable
from pathlib import Path

import pytest


SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "samples" / "redbullring_amg.ibt"


@pytest.fixture(autouse=True)
def outside_the_source_tree(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Runs each test from its own directory: a Python subprocess started in the project
    root would import the source package, which lacks the compiled module, instead of the
    installed one."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture(scope="session")
def native() -> types.ModuleType:
    import telvane._telvane_rs as native

    return native


@pytest.fixture(scope="session")
def ibt(native: types.ModuleType) -> Callable:
    return native.ibt


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[..., str]:
    """Writes bytes to a fresh file under tmp_path and returns its path as text."""
    counter = iter(range(1_000_000))

    def write(data: bytes, name: str = "") -> str:
        path = tmp_path / (name or f"f{next(counter)}.ibt")
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def sample() -> Path:
    if not SAMPLE.is_file():
        pytest.skip(f"real recording {SAMPLE} is absent")
    return SAMPLE


@pytest.fixture
def logfile_args(ibt: Callable, monkeypatch: pytest.MonkeyPatch) -> Callable[..., tuple]:
    """Calls ibt with LogFile replaced by a recorder; returns the four LogFile arguments
    (channels, laps, metadata, source_name)."""

    def record(*args: object) -> tuple:
        return args

    try:
        import telvane.base as base

        monkeypatch.setattr(base, "LogFile", record)
    except ImportError:
        base = types.ModuleType("telvane.base")
        base.LogFile = record  # type: ignore[attr-defined]
        monkeypatch.setitem(sys.modules, "telvane.base", base)

    def call(*args: object, **kwargs: object) -> tuple:
        try:
            return ibt(*args, **kwargs)
        except NotImplementedError as exc:
            if str(exc) != NO_RESULT_YET:
                raise
            pytest.skip("ibt does not build its result yet")

    return call


@pytest.fixture(scope="session")
def fails(ibt: Callable) -> Callable[..., tuple[type, str]]:
    """Calls ibt and returns the exact type and text of what it raises."""

    def call(*args: object, **kwargs: object) -> tuple[type, str]:
        try:
            result = ibt(*args, **kwargs)
        except BaseException as exc:  # the internal-error type derives from BaseException
            return type(exc), str(exc)
        pytest.fail(f"ibt returned {result!r}")

    return call

"""What a call leaves behind: memory, descriptors, mappings and references, for every outcome.

Each outcome runs CALLS times after a warm-up; afterwards the process must hold no more
resident memory and no more interpreter memory blocks (within small margins: one object kept
per call would add CALLS blocks), the same descriptors and mappings, and the same reference
counts on the objects it passed in."""

from __future__ import annotations

import gc
import io
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest

import telvane
import telvane.base
from telvane._writer import BOOL, DOUBLE, FLOAT, INT, Var, write_channels, write_ibt

pytestmark = pytest.mark.slow

CALLS = 2_000
WARM_UP = 200
RSS_MARGIN = 2 * 1024 * 1024
BLOCKS_MARGIN = CALLS // 4
PAGE = os.sysconf("SC_PAGE_SIZE")

GOOD = write_channels({"Lap": (INT, [1, 1, 2, 2]), "Speed": (FLOAT, [1.0, 2.0, 3.0, 4.0]),
                       "OnPitRoad": (BOOL, [0, 0, 1, 1])}, session_info="---\nTrackName: x\n")
NO_SESSION_TIME = write_ibt([Var("Speed", FLOAT, 0)], bytes(8))
# The time base reads 8 bytes at 93 in a 100-byte record: the internal-error path.
OVERRUN = write_ibt([Var("SessionTime", DOUBLE, 93, count=0)], bytes(100), buf_len=100, session_record_count=1)


def _raised(data: bytes) -> type[BaseException]:
    try:
        telvane.ibt(data)
    except BaseException as exc:  # the internal-error type derives from BaseException
        return type(exc)
    raise AssertionError("a read past the record area was not refused")


INTERNAL_ERROR = _raised(OVERRUN)


class Unusable:
    """A source that is neither a path, nor a sequence of bytes, nor readable."""


def counting(k: int, total: int) -> None:
    pass


def stopping(k: int, total: int) -> None:
    raise LookupError("stop")


def refusing(*args: object) -> None:
    raise ValueError("refused")


@dataclass(frozen=True)
class Outcome:
    source: Callable[[Path], object]  # made from the directory of the module's files
    raises: type[BaseException] | None
    progress: Callable[[int, int], None] = counting
    call: Callable[..., object] = lambda ibt, source, progress: ibt(source, progress)
    log_file: type | Callable[..., object] = telvane.base.LogFile


OUTCOMES = {
    "success by path": Outcome(lambda d: str(d / "good.ibt"), None),
    "success by bytes": Outcome(lambda d: GOOD, None),
    "success by file-like": Outcome(lambda d: io.BytesIO(GOOD), None),
    "I/O error by path": Outcome(lambda d: str(d / "missing.ibt"), OSError),
    "invalid header by bytes": Outcome(lambda d: GOOD[:100], RuntimeError),
    "invalid header by path": Outcome(lambda d: str(d / "short.ibt"), OSError),
    "missing SessionTime": Outcome(lambda d: NO_SESSION_TIME, RuntimeError),
    "read past the record area": Outcome(lambda d: OVERRUN, INTERNAL_ERROR),
    "unusable source": Outcome(lambda d: Unusable(), TypeError),
    "progress raises": Outcome(lambda d: GOOD, LookupError, progress=stopping),
    "LogFile raises": Outcome(lambda d: GOOD, ValueError, log_file=refusing),
    "three positional arguments": Outcome(lambda d: GOOD, TypeError, call=lambda ibt, s, p: ibt(s, p, 1)),
    "unknown keyword": Outcome(lambda d: GOOD, TypeError, call=lambda ibt, s, p: ibt(s, progress=p, sources=1)),
    "source given twice": Outcome(lambda d: GOOD, TypeError, call=lambda ibt, s, p: ibt(s, p, source=s)),
}


@pytest.fixture(scope="module")
def directory(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("leaks")
    (path / "good.ibt").write_bytes(GOOD)
    (path / "short.ibt").write_bytes(GOOD[:100])
    return path


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def descriptors() -> dict[str, str]:
    links = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            links[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:  # the descriptor that listdir itself had open
            pass
    return links


def mappings() -> tuple[int, set[str]]:
    """The number of mappings and the set of files mapped."""
    with open("/proc/self/maps") as maps:
        lines = maps.read().splitlines()
    return len(lines), {line.split(maxsplit=5)[5] for line in lines if len(line.split(maxsplit=5)) == 6}


def state(source: object, progress: object) -> dict[str, object]:
    gc.collect()
    return {"fds": descriptors(), "maps": mappings(),
            "refs": (sys.getrefcount(source), sys.getrefcount(progress)), "rss": resident_bytes(),
            "blocks": sys.getallocatedblocks()}


def run(outcome: Outcome, ibt: Callable, source: object, times: int) -> None:
    for _ in range(times):
        try:
            outcome.call(ibt, source, outcome.progress)
        except BaseException as exc:  # the internal-error type derives from BaseException
            if type(exc) is not outcome.raises:
                raise
        else:
            assert outcome.raises is None, "the call returned"


@pytest.mark.parametrize("name", OUTCOMES)
def test_a_call_leaves_nothing_behind(ibt, directory, monkeypatch, name):
    outcome = OUTCOMES[name]
    monkeypatch.setattr(telvane.base, "LogFile", outcome.log_file)
    source = outcome.source(directory)
    run(outcome, ibt, source, WARM_UP)
    before = state(source, outcome.progress)
    run(outcome, ibt, source, CALLS)
    after = state(source, outcome.progress)
    assert after["rss"] - before["rss"] < RSS_MARGIN, (before["rss"], after["rss"])
    assert after["blocks"] - before["blocks"] < BLOCKS_MARGIN, (before["blocks"], after["blocks"])
    assert {k: after[k] for k in ("fds", "maps", "refs")} == {k: before[k] for k in ("fds", "maps", "refs")}

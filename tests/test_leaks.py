"""What a call leaves behind: memory, descriptors, mappings and references, for every outcome.

Each outcome runs CALLS times after a warm-up, and CALLS times again; the process must then
hold the same descriptors, mapped files and read-only anonymous mappings, and the same
reference counts on the objects it passed in, and in at least one of the two rounds no more
resident memory and no more interpreter memory blocks (within small margins: one object kept
per call would add CALLS blocks in each round)."""

from __future__ import annotations

import gc
import io
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest

import telvane.base
from conftest import NO_SESSION_TIME, OVERRUN, counts_memory
from telvane._writer import BOOL, FLOAT, INT
from builders import write_channels

pytestmark = pytest.mark.slow

CALLS = 2_000
WARM_UP = 200
RSS_MARGIN = 2 * 1024 * 1024
BLOCKS_MARGIN = CALLS // 4
PAGE = os.sysconf("SC_PAGE_SIZE")

GOOD = write_channels({"Lap": (INT, [1, 1, 2, 2]), "Speed": (FLOAT, [1.0, 2.0, 3.0, 4.0]),
                       "OnPitRoad": (BOOL, [0, 0, 1, 1])}, session_info="---\nTrackName: x\n")


class Unusable:
    """A source that is neither a path, nor a sequence of bytes, nor readable."""


class Reader:
    def __init__(self, value: object) -> None:
        self.value = value

    def seek(self, position: int) -> None:
        pass

    def read(self) -> object:
        return self.value


def counting(k: int, total: int) -> None:
    pass


def stopping(k: int, total: int) -> None:
    raise LookupError("stop")


def refusing(*args: object) -> None:
    raise ValueError("refused")


@dataclass(frozen=True)
class Outcome:
    source: Callable[[Path], object]  # made from the directory of the module's files
    raises: type[BaseException] | None  # BaseException: the internal-error type
    progress: Callable[[int, int], None] = counting
    call: Callable[..., object] = lambda ibt, source, progress: ibt(source, progress)
    log_file: type | Callable[..., object] = telvane.base.LogFile


OUTCOMES = {
    "success by path": Outcome(lambda d: str(d / "good.ibt"), None),
    "success by bytes": Outcome(lambda d: GOOD, None),
    "success by file-like": Outcome(lambda d: io.BytesIO(GOOD), None),
    "I/O error by path": Outcome(lambda d: str(d / "missing.ibt"), OSError),
    "mapping fails by path": Outcome(lambda d: "/", OSError),
    "invalid header by bytes": Outcome(lambda d: GOOD[:100], RuntimeError),
    "invalid header by a list": Outcome(lambda d: list(GOOD[:100]), RuntimeError),
    "invalid header by path": Outcome(lambda d: str(d / "short.ibt"), OSError),
    "missing SessionTime by bytes": Outcome(lambda d: NO_SESSION_TIME, RuntimeError),
    "missing SessionTime by path": Outcome(lambda d: str(d / "no_time.ibt"), RuntimeError),
    "read past the record area by bytes": Outcome(lambda d: OVERRUN, BaseException),
    "read past the record area by path": Outcome(lambda d: str(d / "overrun.ibt"), BaseException),
    "unusable source": Outcome(lambda d: Unusable(), TypeError),
    "__fspath__ gives bytes": Outcome(lambda d: type("P", (), {"__fspath__": lambda s: b"x"})(), TypeError),
    "read() gives 256": Outcome(lambda d: Reader([256]), OverflowError),
    "progress raises": Outcome(lambda d: GOOD, LookupError, progress=stopping),
    "LogFile raises": Outcome(lambda d: GOOD, ValueError, log_file=refusing),
    "three positional arguments": Outcome(lambda d: GOOD, TypeError, call=lambda ibt, s, p: ibt(s, p, 1)),
    "unknown keyword": Outcome(lambda d: GOOD, TypeError, call=lambda ibt, s, p: ibt(s, progress=p, sources=1)),
    "source given twice": Outcome(lambda d: GOOD, TypeError, call=lambda ibt, s, p: ibt(s, p, source=s)),
}


@pytest.fixture(scope="module")
def directory(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("leaks")
    for name, data in [("good", GOOD), ("short", GOOD[:100]), ("no_time", NO_SESSION_TIME), ("overrun", OVERRUN)]:
        (path / f"{name}.ibt").write_bytes(data)
    return path


def mappings() -> tuple[set[str], int]:
    """The files mapped, and the bytes in read-only anonymous mappings (where byte sources are
    copied). The number of mappings is no measure: the allocators' own mappings merge and split."""
    with open("/proc/self/maps") as maps:
        lines = [line.split(maxsplit=5) for line in maps]
    spans = (line[0].split("-") for line in lines if line[1] == "r--p" and len(line) == 5)
    return {line[5] for line in lines if len(line) == 6}, sum(int(end, 16) - int(start, 16) for start, end in spans)


def state(source: object, progress: object) -> dict[str, object]:
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * PAGE
    return {"fds": sorted(os.listdir("/proc/self/fd")), "maps": mappings(), "rss": rss,
            "refs": (sys.getrefcount(source), sys.getrefcount(progress)), "blocks": sys.getallocatedblocks()}


def run(outcome: Outcome, ibt: Callable, source: object, times: int) -> None:
    for _ in range(times):
        try:
            outcome.call(ibt, source, outcome.progress)
        except BaseException as exc:  # the internal-error type derives from BaseException
            if outcome.raises is None or not isinstance(exc, outcome.raises):
                raise
        else:
            assert outcome.raises is None, "the call returned"


@pytest.mark.parametrize("name", OUTCOMES)
@counts_memory
def test_a_call_leaves_nothing_behind(ibt, directory, monkeypatch, name):
    outcome = OUTCOMES[name]
    monkeypatch.setattr(telvane.base, "LogFile", outcome.log_file)
    source = outcome.source(directory)
    run(outcome, ibt, source, WARM_UP)
    states = [state(source, outcome.progress)]
    for _ in range(2):
        run(outcome, ibt, source, CALLS)
        states.append(state(source, outcome.progress))
    # A leak grows memory in both rounds; the allocators settling in does so in one at most.
    growth = [(b["rss"] - a["rss"], b["blocks"] - a["blocks"]) for a, b in zip(states, states[1:])]
    assert min(rss for rss, _ in growth) < RSS_MARGIN and min(blocks for _, blocks in growth) < BLOCKS_MARGIN, growth
    exact = [{k: s[k] for k in ("fds", "maps", "refs")} for s in states]
    assert exact[1] == exact[2] == exact[0]

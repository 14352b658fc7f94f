"""What a call leaves behind: memory, descriptors, mappings and references, for success by
each kind of source and for one outcome of each class of error path.

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

import pytest

import telvane.base
from conftest import NO_SESSION_TIME, OVERRUN, counts_memory, linux_only
from telvane._writer import BOOL, FLOAT, INT
from builders import write_channels

pytestmark = [pytest.mark.slow, linux_only]

CALLS, WARM_UP = 2_000, 200
RSS_MARGIN, BLOCKS_MARGIN = 2 * 1024 * 1024, CALLS // 4
GOOD = write_channels({"Lap": (INT, [1, 1, 2, 2]), "Speed": (FLOAT, [1.0, 2.0, 3.0, 4.0]),
                       "OnPitRoad": (BOOL, [0, 0, 1, 1])}, session_info="---\nTrackName: x\n")


class Reader:
    def __init__(self, value: object) -> None:
        self.value = value

    def seek(self, position: int) -> None:
        pass

    def read(self) -> object:
        return self.value


def refuse(*args: object) -> None:
    raise LookupError("refused")


# name -> (source, made from the directory of the module's files; exception expected or None;
# progress; LogFile; extra keyword arguments)
OUTCOMES = {
    "success by path": (lambda d: str(d / "good.ibt"), None, None, telvane.base.LogFile, {}),
    "success by file-like": (lambda d: io.BytesIO(GOOD), None, None, telvane.base.LogFile, {}),
    "I/O error by path": (lambda d: str(d / "missing.ibt"), OSError, None, telvane.base.LogFile, {}),
    "invalid header by path": (lambda d: str(d / "short.ibt"), OSError, None, telvane.base.LogFile, {}),
    "missing SessionTime by bytes": (lambda d: NO_SESSION_TIME, RuntimeError, None, telvane.base.LogFile, {}),
    "read past the record area": (lambda d: OVERRUN, BaseException, None, telvane.base.LogFile, {}),
    "unusable source": (lambda d: object(), TypeError, None, telvane.base.LogFile, {}),
    "read() gives 256": (lambda d: Reader([256]), OverflowError, None, telvane.base.LogFile, {}),
    "progress raises": (lambda d: GOOD, LookupError, refuse, telvane.base.LogFile, {}),
    "LogFile raises": (lambda d: GOOD, LookupError, None, refuse, {}),
    "unknown keyword": (lambda d: GOOD, TypeError, None, telvane.base.LogFile, {"sources": 1}),
}


def state(source: object, progress: object) -> dict[str, object]:
    gc.collect()
    with open("/proc/self/maps") as maps:  # the files mapped, and the bytes mapped read-only
        lines = [line.split(maxsplit=5) for line in maps]
    spans = (line[0].split("-") for line in lines if line[1] == "r--p" and len(line) == 5)
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return {"fds": sorted(os.listdir("/proc/self/fd")), "files": {line[5] for line in lines if len(line) == 6},
            "anonymous": sum(int(end, 16) - int(start, 16) for start, end in spans),
            "refs": (sys.getrefcount(source), sys.getrefcount(progress)), "rss": rss,
            "blocks": sys.getallocatedblocks()}


@pytest.mark.parametrize("name", OUTCOMES)
@counts_memory
def test_a_call_leaves_nothing_behind(ibt, tmp_path, monkeypatch, name):
    make, raises, progress, log_file, keywords = OUTCOMES[name]
    for file, data in [("good", GOOD), ("short", GOOD[:100])]:
        (tmp_path / f"{file}.ibt").write_bytes(data)
    monkeypatch.setattr(telvane.base, "LogFile", log_file)
    source = make(tmp_path)

    def run(times: int) -> None:
        for _ in range(times):
            try:
                ibt(source, progress, **keywords)
            except BaseException as exc:  # the internal-error type derives from BaseException
                if raises is None or not isinstance(exc, raises):
                    raise
            else:
                assert raises is None, "the call returned"

    run(WARM_UP)
    states = [state(source, progress)]
    for _ in range(2):
        run(CALLS)
        states.append(state(source, progress))
    # A leak grows memory in both rounds; the allocators settling in does so in one at most.
    growth = [(b["rss"] - a["rss"], b["blocks"] - a["blocks"]) for a, b in zip(states, states[1:])]
    assert min(rss for rss, _ in growth) < RSS_MARGIN and min(blocks for _, blocks in growth) < BLOCKS_MARGIN, growth
    exact = [{k: v for k, v in s.items() if k not in ("rss", "blocks")} for s in states]
    assert exact[1] == exact[2] == exact[0]

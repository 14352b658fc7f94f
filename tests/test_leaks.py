"""What a call leaves behind, for success by each kind of source and for one outcome of each
class of error path: nothing at all of some kinds, and in one of two rounds of calls no more
memory (one object kept per call would add CALLS blocks in each round)."""

import gc
import io
import os
import sys
from types import SimpleNamespace

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


def refuse(*args: object) -> None:
    raise LookupError("refused")


# name -> (the source, given the directory of the module's files; the exception expected;
# what replaces the progress callback or LogFile)
OUTCOMES = {
    "success by path": (lambda d: str(d / "good.ibt"), (), {}),
    "success by file-like": (lambda d: io.BytesIO(GOOD), (), {}),
    "I/O error by path": (lambda d: str(d / "missing.ibt"), OSError, {}),
    "invalid header by path": (lambda d: str(d / "short.ibt"), OSError, {}),
    "missing SessionTime by bytes": (lambda d: NO_SESSION_TIME, RuntimeError, {}),
    "read past the record area": (lambda d: OVERRUN, BaseException, {}),
    "read() gives 256": (lambda d: SimpleNamespace(seek=id, read=lambda: [256]), OverflowError, {}),
    "progress raises": (lambda d: GOOD, LookupError, {"progress": refuse}),
    "LogFile raises": (lambda d: GOOD, LookupError, {"LogFile": refuse}),
}


def state(*passed: object) -> tuple[dict, int, int]:
    """What must not change at all, then the resident bytes and the interpreter memory blocks."""
    gc.collect()
    with open("/proc/self/maps") as maps:  # the files mapped, and the bytes mapped read-only
        lines = [line.split(maxsplit=5) for line in maps]
    spans = (line[0].split("-") for line in lines if line[1] == "r--p" and len(line) == 5)
    exact = {"fds": sorted(os.listdir("/proc/self/fd")),
             "files": {line[5] for line in lines if len(line) == 6},
             "anonymous": sum(int(end, 16) - int(start, 16) for start, end in spans),
             "refs": [sys.getrefcount(value) for value in passed]}
    with open("/proc/self/statm") as statm:
        return exact, int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), sys.getallocatedblocks()


@pytest.mark.parametrize("name", OUTCOMES)
@counts_memory
def test_a_call_leaves_nothing_behind(ibt, tmp_path, monkeypatch, name):
    make, raises, replaced = OUTCOMES[name]
    (tmp_path / "good.ibt").write_bytes(GOOD)
    (tmp_path / "short.ibt").write_bytes(GOOD[:100])
    monkeypatch.setattr(telvane.base, "LogFile", replaced.get("LogFile", telvane.base.LogFile))
    source, progress = make(tmp_path), replaced.get("progress", lambda k, n: None)

    def run(times: int) -> None:
        for _ in range(times):
            try:
                ibt(source, progress)
            except raises:
                continue
            assert not raises, "the call returned"

    run(WARM_UP)
    states = [state(source, progress)]
    for _ in range(2):
        run(CALLS)
        states.append(state(source, progress))
    exact, rss, blocks = zip(*states)
    assert exact[0] == exact[1] == exact[2]
    # A leak grows memory in both rounds; the allocators settling in does so in one at most.
    assert min(rss[1] - rss[0], rss[2] - rss[1]) < RSS_MARGIN, rss
    assert min(blocks[1] - blocks[0], blocks[2] - blocks[1]) < BLOCKS_MARGIN, blocks

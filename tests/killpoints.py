"""The crash harness the dataset's tests share. An export runs in a fresh process that ends
itself with os._exit (no clean-up, as a power cut or SIGKILL leaves it) just before the
N-th time it reaches a point of telvane.dataset._steps; then a reader and the next export run, and
check() holds the invariants after each:

- every recording of the earlier runs is read exactly once, by telvane.dataset.read;
- the killed run's recordings are read all exactly once or all not at all, in every table;
- a plain glob of the Parquet files (DuckDB's, pyarrow's on object storage) shows each
  recording in whole files only, and its channels and laps wherever its sessions row;
- nothing was deleted that was not replaced: the layout and the earlier reports are as they
  were, the channels keep every column;
- no file outside the dataset changed (a sibling directory or prefix of lookalike names);
- after the next run: every recording once to every reader, each report's recordings read,
  the run's own report and last line count what it did, no journal left (nor, when what
  the killed run left is old, a staging or a temporary).

Run as a script, this module is that process: `python killpoints.py POINT N LATER ARGS…`
runs `telvane ARGS…` with the clock LATER seconds ahead (a run that comes that much later),
ended with KILLED at the N-th POINT; POINT "-" runs to the end."""

from __future__ import annotations

import collections
import contextlib
import hashlib
import os
import re
import subprocess
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

KILLED = 86  # the exit status of a process ended at its point
TABLES = ("channels", "laps", "sessions")


class Stopped(BaseException):
    """Raised by stopped_at at its point: passes every `except Exception`."""


@contextlib.contextmanager
def stepping(point: str, action: Callable[[int], None]) -> Iterator[None]:
    """In this process, call action(n) just before the n-th `point`."""
    from telvane.dataset import _steps

    count = 0

    def step(name: str) -> None:
        nonlocal count
        assert name in _steps.POINTS, name
        if name == point:
            count += 1
            action(count)

    previous, _steps.step = _steps.step, step
    try:
        yield
    finally:
        _steps.step = previous


def stopped_at(point: str, n: int = 1) -> contextlib.AbstractContextManager[None]:
    """In this process, raise Stopped just before the n-th `point`."""
    def stop(count: int) -> None:
        if count == n:
            raise Stopped(point)

    return stepping(point, stop)


def recording(path: Path, speed: float, extra: bool = False) -> str:
    """Write a small recording of two laps at `path`; returns its identity."""
    from builders import write_channels

    from telvane.dataset import _convert
    from telvane._writer import FLOAT, INT
    from telvane._sample import SESSION_INFO, SESSION_START_DATE

    channels = {"Speed": (FLOAT, [speed, 2.0, 3.0, 4.0, 5.0, 6.0]), "Lap": (INT, [1, 1, 1, 2, 2, 2]),
                "LapDistPct": (FLOAT, [0.1, 0.5, 0.9, 0.1, 0.5, 0.9])}
    if extra:  # a channel the others lack: the kept schema must keep it
        channels["Gear"] = (INT, [1, 2, 3, 3, 2, 1])
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(write_channels(channels, session_info=SESSION_INFO, session_start_date=SESSION_START_DATE))
    return _convert.recording_id(path)


EXPECTED = {"channels": 6, "laps": 2, "sessions": 1}  # rows of each table per recording()


class Archive:
    """A dataset under test at `out` (a directory or a URL), the files around it at `outer`
    on the same file system, and the recordings it was given."""

    def __init__(self, out: str, outer: str, work: Path) -> None:
        from telvane.dataset import _store

        self.out, self.work = out, work
        self.found, self.root = _store.store(out)
        self.outer = outer
        self.earlier: set[str] = set()  # the recordings of the runs before
        self.run: set[str] = set()  # those of the runs killed, and of the next
        self.kept: dict[str, bytes] = {}
        self.columns: set[str] = set()
        self.reports: set[str] = set()
        self.around: dict[str, bytes] = {}
        self.lookalikes()

    # -- what there is ------------------------------------------------------------------

    def names(self, under: str) -> list[str]:
        """The paths of the files under `under`, relative to it."""
        import pyarrow.fs as pafs

        selector = pafs.FileSelector(under, recursive=True, allow_not_found=True)
        return sorted(info.path[len(under) + 1:] for info in self.found.get_file_info(selector) if info.is_file)

    def digests(self, under: str, paths: list[str]) -> dict[str, bytes]:
        def digest(path: str) -> bytes:
            with self.found.open_input_stream(f"{under}/{path}") as stream:
                return hashlib.sha256(stream.read()).digest()

        return {path: digest(path) for path in paths}

    def outside(self) -> dict[str, bytes]:
        """The files around the dataset: everything under `outer` but the dataset and the
        temporary directories of the processes."""
        return self.digests(self.outer, [path for path in self.names(self.outer) if not f"{self.outer}/{path}".startswith(
            (f"{self.root}/", f"{self.outer}/tmp/"))])

    def lookalikes(self) -> None:
        """A sibling of the dataset whose name starts like it, holding what a dataset holds,
        each file as old as can be: a sweep or merge outside its root would take them."""
        sibling = f"{self.root}-sibling"
        for name in ("_runs/20200101T000000.000000Z-000000/sessions/x.parquet", "_publishing/a.json",
                     "_compactions/b.json", "_schemas/channels/c.arrows", "channels/d.parquet",
                     "channels/.0123456789ab.part"):
            self.found.create_dir(f"{sibling}/{name}".rpartition("/")[0])
            with self.found.open_output_stream(f"{sibling}/{name}") as stream:
                stream.write(b"not the dataset's")
            with contextlib.suppress(OSError):  # a directory's files only: no times on object storage
                os.utime(f"{sibling}/{name}", (0, 0))

    def visible(self) -> dict[str, collections.Counter[str]]:
        """The rows of each recording in each table, as telvane.dataset.read shows them."""
        from telvane import dataset

        tables = dataset.read(self.out)
        return {name: collections.Counter(getattr(tables, name).to_table(columns=["recording"])
                                          ["recording"].to_pylist()) for name in TABLES}

    def globbed(self) -> dict[str, collections.Counter[str]]:
        """The rows of each recording in each table, as a plain glob of the Parquet files
        shows them: DuckDB's in a directory, pyarrow's on object storage."""
        import pyarrow.dataset as ds

        counts = {}
        for name in TABLES:
            if self.out == self.root:
                import duckdb

                written = [path for path in self.names(f"{self.root}/{name}") if path.endswith(".parquet")
                           and not path.rpartition("/")[2].startswith(".")]
                rows = duckdb.sql(f"SELECT recording FROM read_parquet('{self.root}/{name}/**/*.parquet', "
                                  "union_by_name = true)").fetchall() if written else []
                counts[name] = collections.Counter(row[0] for row in rows)
            else:
                table = ds.dataset(f"{self.root}/{name}", filesystem=self.found, format="parquet")
                counts[name] = collections.Counter(table.to_table(columns=["recording"])["recording"].to_pylist())
        return counts

    def report_rows(self) -> list[dict[str, object]]:
        import pyarrow.parquet as pq

        from telvane import dataset

        return [row for path in self.names(f"{self.root}/{dataset.REPORTS}") if not path.startswith(".")
                for row in pq.read_table(f"{self.root}/{dataset.REPORTS}/{path}", filesystem=self.found).to_pylist()]

    # -- the invariants -----------------------------------------------------------------

    def settled(self, earlier: set[str], run: set[str]) -> None:
        """The dataset holds the recordings `earlier`; the next runs add those of `run`."""
        self.earlier, self.run = earlier, run
        assert self.visible() == {name: collections.Counter(dict.fromkeys(earlier, rows))
                                  for name, rows in EXPECTED.items()}
        self.snapshot()

    def snapshot(self) -> None:
        """Take what the dataset holds now as what a killed run must keep."""
        from telvane import dataset
        from telvane.dataset import _schema

        self.kept = self.digests(self.root, [path for path in self.names(self.root)
                                             if path == dataset.LAYOUT_FILE or path.startswith(f"{dataset.REPORTS}/")])
        kept = _schema.read(self.found, self.root, "channels")
        self.columns = set() if kept is None else set(kept.names)
        self.around = self.outside()

    def check(self, finished: bool) -> None:
        """The invariants after a killed run, or, `finished`, after one that ran to the end."""
        import pyarrow.parquet as pq

        from telvane import dataset

        seen = self.visible()
        once = {name: collections.Counter(dict.fromkeys(self.earlier | self.run, rows)) for name, rows in EXPECTED.items()}
        nothing_of_the_run = {name: collections.Counter(dict.fromkeys(self.earlier, rows))
                              for name, rows in EXPECTED.items()}
        assert seen == once if finished else seen in (once, nothing_of_the_run), seen
        globbed = self.globbed()
        if finished:
            assert globbed == once, globbed
        for name, counts in globbed.items():
            assert all(rows % EXPECTED[name] == 0 for rows in counts.values()), (name, counts)
            assert set(counts) >= set(globbed["sessions"]), (name, counts)
        assert set(self.names(self.root)) >= set(self.kept) and self.digests(self.root, [*self.kept]) == self.kept
        channels = dataset.read(self.out).channels
        shown = set(channels.schema.names)
        assert shown >= self.columns and all(shown >= set(pq.read_schema(path, filesystem=self.found).names)
                                             for path in channels.files)
        assert self.outside() == self.around

    def check_report(self, stdout: str, sources: int, swept: bool) -> None:
        """After a run to the end: its report and last line say what it did, and every
        recording any report names as converted or held is read; no journal is left, nor,
        `swept`, a staging or a temporary."""
        from telvane.dataset import _compact, _publish

        rows = self.report_rows()
        assert {row["recording"] for row in rows if row["status"] in ("ok", "present")} <= self.earlier | self.run
        last = rows[-sources:]  # the reports in run order: the newest is this run's
        statuses = collections.Counter(row["status"] for row in last)
        assert set(statuses) <= {"ok", "present"} and sum(statuses.values()) == sources, last
        assert {row["recording"] for row in last} == self.earlier | self.run
        held = f", {statuses['present']} held already" if statuses["present"] else ""
        line = re.compile(rf"exported {statuses['ok']} of {sources} files to {re.escape(self.out)} in [0-9.]+ s{held}")
        assert any(line.fullmatch(text) for text in stdout.splitlines()), stdout
        left = [path for path in self.names(self.root) if path.startswith((f"{_publish.JOURNALS}/", f"{_compact.JOURNALS}/",
                                                                            f"{_publish.RUNS}/" if swept else "/"))
                and (swept or not path.rpartition("/")[2].startswith("."))]  # a killed write's temporary: swept when old
        assert left == [], left

    # -- the runs ---------------------------------------------------------------------

    def export(self, args: Sequence[str], kill: tuple[str, int] | None = None, later: float = 0.0
               ) -> subprocess.CompletedProcess[str]:
        """`telvane export ARGS… --out OUT` in a fresh process, ended just before the n-th
        point of kill=(point, n), with the clock `later` seconds ahead."""
        point, n = kill or ("-", 0)
        (self.work / "tmp").mkdir(exist_ok=True)
        done = subprocess.run([sys.executable, __file__, point, str(n), str(later), "export", *args, "--out", self.out],
                              capture_output=True, text=True, timeout=120,
                              env={**os.environ, "TMPDIR": os.fspath(self.work / "tmp")})
        expected = 0 if kill is None else KILLED
        assert done.returncode == expected, f"{kill} exited {done.returncode}: {done.stderr}"
        return done


def _main(point: str, n: str, later: str, *args: str) -> None:
    from telvane import _cli
    from telvane.dataset import _steps

    if float(later):
        clock = time.time
        time.time = lambda: clock() + float(later)
    count = 0

    def step(name: str) -> None:
        nonlocal count
        count += name == point
        if count == int(n):
            os._exit(KILLED)

    if point != "-":
        assert point in _steps.POINTS, point
        _steps.step = step
    raise SystemExit(_cli.main(args))


if __name__ == "__main__":
    _main(*sys.argv[1:])

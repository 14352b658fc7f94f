"""Worker processes that take one task at a time: a worker that dies fails only its own
task, and the temporaries it was writing are removed; workers end when their parent does,
however it ends."""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.connection
import os
import signal
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from typing import Any

from telvane.dataset import _convert
from telvane._cli.common import one_line_warning

__all__ = ["STOP_WAIT", "run"]

STOP_WAIT = 10.0  # seconds a terminated worker gets to remove its temporaries


class _Worker:
    def __init__(self, context: Any, function: Callable[..., Any]) -> None:
        self.connection, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, function), daemon=True)
        self.task: int | None = None
        self.began = float("inf")  # when it began its task (its start-up is not counted)
        self.temporaries: list[str] = []  # what its task may have left if it dies
        # A terminal's Ctrl-C reaches the whole process group: a worker ignores it and
        # leaves stopping to the parent. The worker starts with SIGINT blocked, so one that
        # comes before it ignores it is dropped there; here it stays pending until the
        # start is done, then stops the parent.
        with _sigint_blocked():
            self.process.start()
        theirs.close()


@contextlib.contextmanager
def _sigint_blocked() -> Iterator[None]:
    if not hasattr(signal, "pthread_sigmask"):  # Windows, which has no signal masks
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def run(function: Callable[..., Any], tasks: list[tuple[Any, ...]], jobs: int,
        progress: Callable[[int, float], Any], died: Callable[[int, str], Any],
        limit: float | None = None, overdue: Callable[[int], Any] | None = None
        ) -> Iterator[tuple[int, Any]]:
    """Yield (index, function(*tasks[index], progress=…)) as the calls finish, in `jobs`
    worker processes; progress(index, fraction) relays what the calls report, and a
    worker's death yields (index, died(index, why)) for its task while the others go on
    in a new worker. A call still running `limit` seconds after it began has its worker
    stopped (as when the caller stops) and yields (index, overdue(index)). When the caller
    stops (Ctrl-C, SIGTERM, an error), the workers are terminated: they unwind as on
    SystemExit, removing their temporaries. A worker that dies without unwinding has the
    temporaries it told of (_convert.TEMPORARY_WATCHERS) removed here."""
    # Fresh interpreters (spawn): forking a process that runs Arrow's threads is unsafe.
    context = multiprocessing.get_context("spawn")
    pending = list(reversed(range(len(tasks))))
    workers = [_Worker(context, function) for _ in range(min(jobs, len(tasks)))]
    try:
        while workers:
            for worker in list(workers):
                if worker.task is None and pending:
                    worker.task, worker.began = pending.pop(), float("inf")
                    worker.connection.send((worker.task, tasks[worker.task]))
                elif worker.task is None:  # nothing left to hand out: it ends on EOF
                    worker.connection.close()
                    worker.process.join()
                    workers.remove(worker)
            if not workers:
                break
            first = min(w.began for w in workers)
            ready = multiprocessing.connection.wait(
                [w.connection for w in workers] + [w.process.sentinel for w in workers],
                None if limit is None or first == float("inf")
                else max(0.0, first + limit - time.monotonic()))
            for worker in list(workers):
                if limit is not None and overdue is not None and worker.task is not None \
                        and worker.connection not in ready \
                        and time.monotonic() - worker.began > limit:
                    _stop([worker])
                    workers.remove(worker)
                    yield worker.task, overdue(worker.task)
                    if pending:
                        workers.append(_Worker(context, function))
                    continue
                if worker.connection in ready or worker.process.sentinel in ready:
                    yield from _received(worker, progress)
                    if not worker.process.is_alive():
                        yield from _received(worker, progress)  # what it sent just before it ended
                        workers.remove(worker)
                        worker.connection.close()
                        _remove_temporaries(worker)
                        if worker.task is not None:
                            why = f"the worker process died ({_exit_reason(worker.process.exitcode)})"
                            yield worker.task, died(worker.task, why)
                        if pending:
                            workers.append(_Worker(context, function))
    finally:
        _stop(workers)


def _stop(workers: list[_Worker]) -> None:
    for worker in workers:
        worker.process.terminate()
    for worker in workers:
        worker.process.join(STOP_WAIT)
        if worker.process.is_alive():
            worker.process.kill()
        for _ in _received(worker, lambda index, fraction: None):  # the temporaries it told of last
            pass
        worker.connection.close()
        _remove_temporaries(worker)


def _remove_temporaries(worker: _Worker) -> None:
    for temporary in worker.temporaries:
        with contextlib.suppress(OSError):  # renamed into place, or removed by the worker
            os.unlink(temporary)


def _received(worker: _Worker, progress: Callable[[int, float], Any]
              ) -> Iterator[tuple[int, Any]]:
    try:
        while worker.connection.poll():
            kind, index, value = worker.connection.recv()
            if kind == "began":
                worker.began = time.monotonic()
            elif kind == "progress":
                progress(index, value)
            elif kind == "temporary":
                worker.temporaries.append(value)
            else:
                worker.task, worker.temporaries = None, []
                yield index, value
    except (EOFError, OSError):  # the worker has died; its sentinel says so
        worker.process.join()


def _exit_reason(code: int | None) -> str:
    if code is not None and code < 0:
        return f"signal {signal.Signals(-code).name}"
    return f"exit status {code}"


def _serve(connection: Any, function: Callable[..., Any]) -> None:
    """A worker: run tasks until the parent closes the pipe."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    signal.signal(signal.SIGTERM, _exit)
    warnings.showwarning = one_line_warning  # as the command's own process shows them
    _convert.TEMPORARY_WATCHERS.append(
        lambda path: connection.send(("temporary", None, os.fspath(path))))
    parent = multiprocessing.parent_process()
    if parent is not None:
        threading.Thread(target=_end_with, args=(parent.sentinel,), daemon=True).start()
    while True:
        try:
            index, task = connection.recv()
        except EOFError:
            return
        shown = [-1]

        def report(fraction: float) -> None:
            percent = int(100 * fraction)
            if percent != shown[0]:
                shown[0] = percent
                connection.send(("progress", index, fraction))

        connection.send(("began", index, None))
        connection.send(("done", index, function(*task, progress=report)))


def _exit(signum: int, frame: Any) -> None:
    raise SystemExit(128 + signum)


def _end_with(parent_sentinel: int) -> None:
    """Terminate this worker once its parent has gone, killed or not."""
    multiprocessing.connection.wait([parent_sentinel])
    os.kill(os.getpid(), signal.SIGTERM)

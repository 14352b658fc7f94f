"""Which process wrote a publish journal or a compaction lock, and whether it still runs:
a run that can tell a killed one's journal or lock from a live one's finishes or takes it
at once, instead of after an hour."""

from __future__ import annotations

import contextlib
import os
import socket
import sys
from pathlib import Path
from typing import Any

__all__ = ["running", "this_process"]


def this_process() -> dict[str, Any]:
    """What a journal or lock records of the process writing it."""
    return {"machine": _machine(), "pid": os.getpid()}


def running(entry: Any) -> bool | None:
    """Whether the process that wrote `entry` (what this_process() gave) still runs; None
    when it ran on another machine, or this system cannot tell."""
    if not isinstance(entry, dict):
        return None
    pid = entry.get("pid")
    if entry.get("machine") != _machine() or not isinstance(pid, int) or sys.platform == "win32":
        return None  # on Windows, os.kill(pid, 0) would stop the process
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's
        return True
    except (OSError, OverflowError):
        return None
    return True


def _machine() -> str:
    """This machine and its boot, and on Linux the process-id namespace: a process id
    names one process only within them."""
    parts = [socket.gethostname()]
    for path in ("/proc/sys/kernel/random/boot_id", "/proc/self/ns/pid"):
        with contextlib.suppress(OSError):
            parts.append(os.readlink(path) if path.endswith("pid") else Path(path).read_text().strip())
    return "/".join(parts)

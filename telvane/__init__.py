"""Read iRacing IBT telemetry recordings as Apache Arrow tables."""

from __future__ import annotations

from typing import Any

from telvane._telvane_rs import ibt

__version__ = "0.1.0"
__all__ = ["LogFile", "__version__", "ibt"]


def __getattr__(name: str) -> Any:
    # LogFile needs pyarrow, which `ibt` imports only when it converts a file: importing
    # telvane itself stays possible without it.
    if name == "LogFile":
        from telvane.base import LogFile

        return LogFile
    raise AttributeError(f"module 'telvane' has no attribute {name!r}")

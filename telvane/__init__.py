"""Read iRacing IBT telemetry recordings as Apache Arrow tables."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from telvane._telvane_rs import ibt

if TYPE_CHECKING:
    from telvane.base import LogFile, delta
    from telvane._corner_analysis import corners
    from telvane._recording import IbtError, Recording, open

__version__ = "0.1.0"
"""The package's version."""
__all__ = ["IbtError", "LogFile", "Recording", "__version__", "corners", "delta", "ibt", "open"]


def __getattr__(name: str) -> Any:
    # LogFile needs pyarrow, which `ibt` imports only when it converts a file: importing
    # telvane itself stays possible without it.
    if name == "LogFile":
        from telvane.base import LogFile

        return LogFile
    if name == "corners":
        from telvane._corner_analysis import corners

        return corners
    if name == "delta":
        from telvane.base import delta

        return delta
    # Looked up here rather than imported above, where `open` would hide the built-in
    # open() from this module's own code.
    if name == "live":
        import importlib

        return importlib.import_module("telvane.live")
    if name in ("IbtError", "Recording", "open"):
        from telvane import _recording

        return getattr(_recording, name)
    raise AttributeError(f"module 'telvane' has no attribute {name!r}")


def __dir__() -> list[str]:
    # What help() and completion list: the lazily imported names too, not the import behind them.
    return sorted({*globals(), *__all__} - {"__getattr__", "__dir__"})

"""Read iRacing IBT telemetry recordings as Apache Arrow tables."""

from __future__ import annotations

import io
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from telvane import _telvane_rs

if TYPE_CHECKING:
    from telvane._telvane_rs import Source
    from telvane.base import LogFile

__version__ = "0.1.0"
__all__ = ["LogFile", "__version__", "delta", "ibt"]


def ibt(source: Source, progress: Callable[[int, int], object] | None = None) -> LogFile:
    """Read an IBT recording into a LogFile: every scalar channel as a table, the laps and the
    session metadata.

    `source` is a path (str or path-like), the file's bytes (any sequence of byte values) or a
    binary file object, read from its start; `progress(k, n)` is called after each of the n
    channel tables is made. Array variables (count > 1) are not channels.

    Raises OSError (a path that cannot be read, or is no valid recording: the message starts
    with the path), RuntimeError (the same for bytes and file objects), TypeError (a source of
    no accepted kind), and whatever `progress` or the file object's methods raise."""
    log = _telvane_rs.ibt(source, progress)
    name = getattr(source, "name", None)
    if log.file_name == "<bytes>" and isinstance(name, str):
        log.file_name = name
    if "\ufffd" in log.metadata["session_info_yaml"]:
        log.session_info_bytes = _session_info_bytes(source, log.metadata["session_info_yaml"])
    return log


def _session_info_bytes(source: Any, text: str) -> bytes | None:
    """The session-info bytes of the source just read, when the reader had to replace some
    of them in its text (UTF-8 only) and the source still holds those bytes."""
    from telvane.session_yaml import read_session_info

    try:
        if isinstance(source, str) or hasattr(source, "__fspath__"):
            with open(source, "rb") as file:
                raw = read_session_info(file)
        elif hasattr(source, "read") and not isinstance(source, (bytes, bytearray, memoryview)):
            raw = read_session_info(source)
        else:
            raw = read_session_info(io.BytesIO(bytes(source)))
    except Exception:  # the recording was read: the raw bytes are only a better decoding
        return None
    return raw if raw.decode("utf-8", "replace") == text else None  # the same file still


def __getattr__(name: str) -> Any:
    # LogFile needs pyarrow, which `ibt` imports only when it converts a file: importing
    # telvane itself stays possible without it.
    if name == "LogFile":
        from telvane.base import LogFile

        return LogFile
    if name == "delta":
        from telvane.racing import delta

        return delta
    raise AttributeError(f"module 'telvane' has no attribute {name!r}")


def __dir__() -> list[str]:
    # What help() and completion list: LogFile too, not the lazy import behind it.
    return sorted({*globals(), "LogFile"} - {"__getattr__", "__dir__"})

"""telvane.open: a recording opened at once and read in part, off the interpreter lock."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Iterable
from functools import cached_property
from types import TracebackType
from typing import TYPE_CHECKING, Any

from telvane._recording_rs import IbtError, OpenFile, open_file

if TYPE_CHECKING:
    import pyarrow as pa

    from telvane.base import LogFile, Metadata

__all__ = ["IbtError", "Recording", "open"]

_CATALOGUE_FIELDS = [("name", "string"), ("type", "string"), ("count", "int32"), ("unit", "string"),
                     ("description", "string"), ("offset", "int32"), ("channel", "bool")]


class Recording:
    """An opened IBT recording, mapped and checked, nothing converted yet.

    `variables` lists what it holds; `read()` converts the channels asked for. The file stays
    mapped until `close()` or the end of a `with` block. `telvane.open` returns one.

    Attributes
    ----------
    source_name : str
        The path, or `"<bytes>"` for bytes and file objects.
    file_name : str
        The name `read()` gives its LogFile: the source name, or a file object's `.name`.
    tick_rate : int
        Records per second.
    record_count : int
        The records read.
    live_dump : bool
        Whether the file is a dump of the simulator's live telemetry memory.
    """

    def __init__(self, handle: OpenFile) -> None:
        self._handle = handle
        self.source_name, self.tick_rate, self.record_count, stored, ignored, self.live_dump = handle.header()
        self.file_name = self.source_name  # what read() names its LogFile; open() may know better
        self._closed = False
        self._recovery = (stored, ignored) if stored != self.record_count else None

    # -- what the file holds --------------------------------------------------------------

    @cached_property
    def _catalogue(self) -> list[tuple[str, str, int, str, str, int]]:
        self._check_open()
        return self._handle.variables()

    @cached_property
    def _positions(self) -> tuple[dict[str, int], dict[str, int]]:
        self._check_open()
        return self._handle.positions()

    @property
    def _channels(self) -> dict[str, int]:
        """Each scalar's name and the position of its last variable, in the order of the
        names' first appearance: the channels `ibt` returns."""
        return self._positions[0]

    @property
    def _arrays(self) -> dict[str, int]:
        return self._positions[1]

    @cached_property
    def variables(self) -> pa.Table:
        """One row per variable in file order.

        Columns: name, type, count, unit, description, offset within a record, and whether it
        becomes a channel.
        """
        import pyarrow as pa

        from telvane._arrow import table_of  # not pa.array, which imports pandas

        channel_rows = set(self._channels.values())
        rows = [(*variable, position in channel_rows) for position, variable in enumerate(self._catalogue)]
        columns = list(zip(*rows)) if rows else [()] * len(_CATALOGUE_FIELDS)
        schema = pa.schema([pa.field(name, kind, nullable=False) for name, kind in _CATALOGUE_FIELDS])
        return table_of(columns, schema)

    @cached_property
    def metadata(self) -> Metadata:
        """The session-info text, the track and session values and the header values."""
        self._check_open()
        return self._handle.metadata()

    @cached_property
    def _session_info_bytes(self) -> bytes | None:
        """The session-info block as the file holds it where the metadata text has replaced
        bytes that are not UTF-8, for session() to decode; else None."""
        if "\ufffd" not in self.metadata["session_info_yaml"]:
            return None
        from telvane._session_info import trim_session_info

        return trim_session_info(self._handle.session_info_block())

    # -- reading --------------------------------------------------------------------------

    def read(self, columns: str | Iterable[str] | None = None, *, laps: bool = True, arrays: bool = False,
             progress: Callable[[int, int], object] | None = None) -> LogFile:
        """Convert the named channels into the LogFile that `telvane.ibt` returns.

        The interpreter lock is released while the records are gathered.

        Parameters
        ----------
        columns : str, iterable of str or None
            The channels (one name may be given as a string); all by default.
        laps : bool
            Add the laps table and keep the lap inputs that `lap_times()`, `sectors()` and traces
            need, whatever the channels; False reads the named channels alone.
        arrays : bool
            Add the array variables under `LogFile.arrays`: those named in `columns`, or all when
            it names none.
        progress : callable or None
            Called as `progress(k, n)` with the records gathered, k of n.

        Returns
        -------
        LogFile
            The channels read.

        Raises
        ------
        KeyError
            Listing every name that is no channel.
        ValueError
            When the recording is closed.
        """
        self._check_open()
        channels, array_names = self._select(columns, arrays)
        from telvane._lap_inputs import LAP_INPUTS

        # The lap model needs its inputs whatever the channels: read them, keep them as the
        # LogFile's lap inputs, and show only the channels asked for.
        inputs = [name for name in LAP_INPUTS if laps and name in self._channels and name not in channels]
        # Taken before the read, during which a progress report or another thread may close the recording.
        metadata, raw = self.metadata, self._session_info_bytes
        return self._handle.read([self._channels[name] for name in channels + inputs], len(channels),
                                 [self._arrays[name] for name in array_names], laps, progress,
                                 metadata, self.file_name, raw)

    def _select(self, columns: str | Iterable[str] | None, arrays: bool) -> tuple[list[str], list[str]]:
        """The channels and the array variables a read returns. With `arrays`, `columns` may
        name array variables too; naming none of them adds them all."""
        all_arrays = list(self._arrays) if arrays else []
        if columns is None:
            return list(self._channels), all_arrays
        names = list(dict.fromkeys([columns] if isinstance(columns, str) else columns))
        channels = [name for name in names if name in self._channels]
        named_arrays = [name for name in names if name in all_arrays and name not in self._channels]
        unknown = [name for name in names if name not in channels and name not in named_arrays]
        if unknown:
            raise KeyError(f"no channel named {', '.join(map(repr, unknown))}")
        return channels, named_arrays or all_arrays

    # -- lifetime -------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """Whether `close()` was called."""
        return self._closed

    def close(self) -> None:
        """Unmap the file; a read in progress on another thread finishes first."""
        self._closed = True
        self._handle.close()

    def __enter__(self) -> Recording:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"recording {self.source_name!r} is closed")

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self.record_count} records at {self.tick_rate} Hz"
        return f"<Recording {self.source_name!r}: {state}>"


def open(source: Any, *, recover: bool = False) -> Recording:
    """Map and check an IBT recording and return it without converting anything.

    Parameters
    ----------
    source : str, os.PathLike, bytes-like or binary file object
        The recording: a path, its bytes, or a file object read from its start.
    recover : bool
        Read a file whose header says 0 records, or more than it holds (a simulator that
        crashed while recording), up to its last complete record, with a warning saying what
        was recovered.

    Returns
    -------
    Recording
        The opened recording.

    Raises
    ------
    IbtError
        For a file that is not a valid recording.
    OSError
        When the file cannot be opened or mapped, or changed while it was read.
    TypeError
        For a source of none of the accepted kinds.
    """
    name = getattr(source, "name", None)  # a file object's path, which the core does not see
    name = name if isinstance(name, str) and not isinstance(source, (str, bytes)) else None
    recording = Recording(open_file(source, recover, name))
    if recording.source_name == "<bytes>" and name is not None:
        recording.file_name = name
    _warn_of(recording)
    return recording


def open_held(descriptor: int, path: str) -> Recording:
    """open() of the file open as `descriptor`, whatever is renamed over `path` meanwhile:
    the recording, and what opening it raises and warns of, name `path`. The file is opened
    through /dev/fd/N, or on Windows by `path`, over which no file is renamed while a
    descriptor holds it."""
    name = path if os.name == "nt" else f"/dev/fd/{descriptor}"
    try:
        recording = Recording(open_file(name, False, None))
    except IbtError as exc:
        raised = IbtError(f"{path}: {str(exc).removeprefix(f'{name}: ')}")
        raised.filename = path
        raise raised from None
    except OSError as exc:  # "not a regular file (a FIFO)" and the like
        raise OSError(exc.errno, exc.strerror, path) from None
    recording.source_name = recording.file_name = path
    _warn_of(recording)
    return recording


def _warn_of(recording: Recording) -> None:
    """Warn the caller of open() of a live memory dump, or of records recovered."""
    if recording.live_dump:
        warnings.warn(f"{recording.source_name}: a live telemetry memory dump, not a recording written to disk: "
                      f"its {recording.record_count} buffers are read as records in the order of their ticks",
                      stacklevel=3)
    elif recording._recovery is not None:
        stored, ignored = recording._recovery
        warnings.warn(f"{recording.source_name}: the header says {stored} records; recovered "
                      f"{recording.record_count} complete records and ignored {ignored} bytes after them",
                      stacklevel=3)

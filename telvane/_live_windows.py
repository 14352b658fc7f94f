"""The simulator's own live telemetry on Windows: its named mapping, read-only, and the event
it sets at every record, waited on instead of looking at the tick count."""

from __future__ import annotations

import mmap
import sys
import time

from telvane._live_memory import STATUS, LiveMemory

__all__ = ["simulator_memory"]

MAPPING = "Local\\IRSDKMemMapFileName"
EVENT = "Local\\IRSDKDataValidEvent"
SIZE = 1_191_936  # what the simulator maps
NOT_RUNNING = "the simulator is not running: no live telemetry to connect to"
_FILE_MAP_READ, _SYNCHRONIZE = 0x0004, 0x00100000

if sys.platform == "win32":
    import ctypes
    from ctypes import wintypes

    _kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    _kernel32.OpenFileMappingW.restype = _kernel32.OpenEventW.restype = wintypes.HANDLE
    _kernel32.OpenFileMappingW.argtypes = _kernel32.OpenEventW.argtypes = [wintypes.DWORD, wintypes.BOOL,
                                                                           wintypes.LPCWSTR]
    _kernel32.WaitForSingleObject.argtypes = [wintypes.HANDLE, wintypes.DWORD]
    _kernel32.CloseHandle.argtypes = [wintypes.HANDLE]

    class SimulatorMemory(LiveMemory):
        """The simulator's mapping, with its data-valid event."""

        def __init__(self, view: mmap.mmap, event: int) -> None:
            super().__init__(view, "the simulator", release=lambda: _kernel32.CloseHandle(event))
            self._event = event

        def wait(self, seen: int | None, timeout: float, interval: float) -> int | None:
            deadline = time.monotonic() + timeout
            while True:
                newest = self.newest_tick()
                left = deadline - time.monotonic()
                if newest != seen or not self.header()[STATUS] & 1 or left <= 0:
                    return newest
                _kernel32.WaitForSingleObject(self._event, int(min(left, 1.0) * 1000) + 1)

    def simulator_memory() -> LiveMemory:
        """The simulator's mapping and event; ConnectionError when it is not running."""
        # Opened first so that mmap, which would create a mapping of that name, only joins one.
        mapping = _kernel32.OpenFileMappingW(_FILE_MAP_READ, False, MAPPING)
        if not mapping:
            raise ConnectionError(NOT_RUNNING)
        try:
            view = mmap.mmap(-1, SIZE, tagname=MAPPING, access=mmap.ACCESS_READ)
        finally:
            _kernel32.CloseHandle(mapping)
        event = _kernel32.OpenEventW(_SYNCHRONIZE, False, EVENT)
        if not event:
            view.close()
            raise ConnectionError(NOT_RUNNING)
        memory = SimulatorMemory(view, event)
        if not memory.header()[STATUS] & 1:
            memory.close()
            raise ConnectionError(NOT_RUNNING)
        return memory

else:

    def simulator_memory() -> LiveMemory:
        raise ConnectionError(NOT_RUNNING)

"""The simulator's own live telemetry on Windows: its named mapping, read-only, and the event
it sets at every record."""

from __future__ import annotations

import mmap
import sys

from telvane._live_memory import STATUS, LiveMemory

__all__ = ["simulator_memory"]

MAPPING = "Local\\IRSDKMemMapFileName"
EVENT = "Local\\IRSDKDataValidEvent"
SIZE = 1_191_936  # what the simulator maps
NOT_RUNNING = "the simulator is not running: no live telemetry to connect to"
_FILE_MAP_READ, _SYNCHRONIZE = 0x0004, 0x00100000


if sys.platform == "win32":

    def simulator_memory() -> LiveMemory:
        """The simulator's mapping and event; ConnectionError when it is not running."""
        import ctypes
        from ctypes import wintypes

        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.OpenFileMappingW.restype = kernel32.OpenEventW.restype = wintypes.HANDLE
        kernel32.OpenFileMappingW.argtypes = kernel32.OpenEventW.argtypes = [wintypes.DWORD, wintypes.BOOL,
                                                                             wintypes.LPCWSTR]
        kernel32.WaitForSingleObject.argtypes = [wintypes.HANDLE, wintypes.DWORD]
        kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
        # Opened first so that mmap, which would create a mapping of that name, only joins one.
        mapping = kernel32.OpenFileMappingW(_FILE_MAP_READ, False, MAPPING)
        if not mapping:
            raise ConnectionError(NOT_RUNNING)
        try:
            view = mmap.mmap(-1, SIZE, tagname=MAPPING, access=mmap.ACCESS_READ)
        finally:
            kernel32.CloseHandle(mapping)
        event = kernel32.OpenEventW(_SYNCHRONIZE, False, EVENT)
        if not event:
            view.close()
            raise ConnectionError(NOT_RUNNING)

        def pause(seconds: float) -> None:
            kernel32.WaitForSingleObject(event, max(0, int(seconds * 1000)))

        memory = LiveMemory(view, "the simulator", pause=pause, release=lambda: kernel32.CloseHandle(event))
        if not memory.header()[STATUS] & 1:
            memory.close()
            raise ConnectionError(NOT_RUNNING)
        return memory

else:

    def simulator_memory() -> LiveMemory:
        raise ConnectionError(NOT_RUNNING)

"""The former home of LogFile, kept for code that imports it from here: see telvane.base."""

from telvane.base import LAP_TYPES, Channels, LogFile, Metadata, delta

__all__ = ["LAP_TYPES", "Channels", "LogFile", "Metadata", "delta"]

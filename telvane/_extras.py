"""Optional dependencies, imported when a feature first needs them."""

from __future__ import annotations

import importlib
from types import ModuleType


def needs_extra(module: str, extra: str, feature: str) -> ModuleType:
    """Import an optional dependency, or raise an ImportError naming the extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{feature} needs {module}: pip install 'telvane[{extra}]'") from exc

"""Column names that every reader tells apart: DuckDB and Spark compare them ignoring case."""

from __future__ import annotations

from collections.abc import Iterable

__all__ = ["unique_names"]


def unique_names(names: Iterable[str]) -> list[str]:
    """`names` with each one that repeats an earlier name, ignoring case, given the first
    free suffix `_2`, `_3`, …"""
    taken: set[str] = set()
    unique = []
    for name in names:
        candidate, number = name, 1
        while candidate.casefold() in taken:
            number += 1
            candidate = f"{name}_{number}"
        taken.add(candidate.casefold())
        unique.append(candidate)
    return unique

"""The figure lines the benchmarks print and bench_all.py collects: `label  value  target  ok|MISSED`."""

from __future__ import annotations

import operator

_COMPARE = {"<=": operator.le, ">=": operator.ge, "<": operator.lt, ">": operator.gt}


def met(value: float, target: str) -> bool:
    """Whether `value` meets `target`, written as a comparison and a bound: "<= 1.5"."""
    sign, bound = target.split()
    return bool(_COMPARE[sign](value, float(bound)))


def print_figures(rows: list[tuple[str, float, str]]) -> None:
    print(f"{'':44}{'value':>10}  target")
    for label, value, target in rows:
        print(f"{label:44}{value:>10.2f}  {target:8} {'ok' if met(value, target) else 'MISSED'}")


def print_shown(rows: list[tuple[str, float, str]]) -> None:
    """Figures shown beside the targets without one (anchors, the load): `label  value  (what)`."""
    for label, value, what in rows:
        print(f"{label:44}{value:>10.2f}  ({what})")

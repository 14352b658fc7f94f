"""A one-line progress bar on standard error for exports of many files."""

from __future__ import annotations

import sys


class ProgressBar:
    """One line on a terminal: files done, and how far the files in work have come."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.enabled, self.done = total, enabled, 0
        self.working: dict[int, float] = {}
        self.shown = ""

    def update(self, index: int, k: int, n: int) -> None:
        self.working[index] = k / n if n else 1.0
        self.draw()

    def finish_file(self, index: int) -> None:
        self.working.pop(index, None)
        self.done += 1
        self.draw()

    def draw(self) -> None:
        if not self.enabled:
            return
        fraction = (self.done + sum(self.working.values())) / self.total
        filled = int(30 * fraction)
        line = (f"[{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total} files "
                f"{100 * fraction:3.0f}%")
        if line != self.shown:
            sys.stderr.write("\r" + line)
            sys.stderr.flush()
            self.shown = line

    def clear(self) -> None:
        if self.enabled and self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = ""

"""The export's progress bar on standard error: bytes of the inputs done, reading and
writing each, and files done. Shown only when standard error is a terminal."""

from __future__ import annotations

import sys
from typing import Any, TextIO

from tqdm import tqdm

__all__ = ["ProgressBar"]


class ProgressBar:
    def __init__(self, sizes: list[int]) -> None:
        self.sizes = sizes
        self.done = [0] * len(sizes)  # bytes of each file done, whole: they add up to the total
        self.files_done = 0
        self.bar = _Bar(total=sum(sizes), unit="B", unit_scale=True, file=sys.stderr,
                        disable=None, dynamic_ncols=True, postfix=self._files(),
                        bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt}{postfix} [{elapsed}<{left}]")

    def update(self, index: int, fraction: float) -> None:
        """File `index` has come `fraction` of the way."""
        done = round(self.sizes[index] * fraction)
        self.bar.update(done - self.done[index])
        self.done[index] = done
        if self.bar.since is None and done and not self.bar.disable:
            self.bar.since = (self.bar._time(), self.bar.n)

    def finish(self, index: int) -> None:
        self.update(index, 1.0)
        self.files_done += 1
        self.bar.set_postfix_str(self._files())

    def write(self, text: str, file: TextIO) -> None:
        """Print a line above the bar."""
        self.bar.write(text, file=file)

    def close(self) -> None:
        self.bar.close()

    def _files(self) -> str:
        return f"{self.files_done}/{len(self.sizes)} files"


class _Bar(tqdm):  # type: ignore[misc]
    """tqdm whose `{left}` is the time the rest takes at the pace kept since the first bytes
    were done: the workers' start-up before them says nothing of the rest."""
    since: tuple[float, int] | None = None  # when the first bytes were done, and how many

    @property
    def format_dict(self) -> dict[str, Any]:
        values: dict[str, Any] = super().format_dict
        values["left"] = "?"
        if self.since is not None:
            seconds, done = self._time() - self.since[0], self.n - self.since[1]
            if seconds > 0 and done > 0:
                values["left"] = self.format_interval((self.total - self.n) * seconds / done)
        return values

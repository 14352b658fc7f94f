"""The export's progress bar on standard error: bytes of the inputs done, reading and
writing each, and files done. Shown only when standard error is a terminal."""

from __future__ import annotations

import sys
from typing import TextIO

from tqdm import tqdm

__all__ = ["ProgressBar"]


class ProgressBar:
    def __init__(self, sizes: list[int]) -> None:
        self.sizes = sizes
        self.fractions: dict[int, float] = {}
        self.files_done = 0
        self.bar = tqdm(total=sum(sizes), unit="B", unit_scale=True, file=sys.stderr,
                        disable=None, dynamic_ncols=True, postfix=self._files(),
                        bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} {postfix} [{elapsed}<{remaining}]")

    def update(self, index: int, fraction: float) -> None:
        """File `index` has come `fraction` of the way."""
        before = self.fractions.get(index, 0.0)
        self.fractions[index] = fraction
        self.bar.update(self.sizes[index] * (fraction - before))

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

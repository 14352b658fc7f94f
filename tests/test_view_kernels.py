"""The lap viewer's pure JavaScript under node's own test runner, without a browser: scales,
ticks, values, deltas and the corner table of the chosen laps (view_kernels.test.js), and the
columns a page embeds, decoded as its script decodes them, against the values the viewer's
builder and pyarrow wrote, with the deltas of its laps against telvane.delta's
(view_embedded.test.js, given the pages made here). Skipped where node is absent."""

import base64
import json
import math
import os
import re
import shutil
import subprocess
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pytest

import telvane
from conftest import SAMPLE
from reference_reader import ReferenceFile
from telvane.view._build import page_data
from telvane.view._data import Column, PageData
from telvane.view._page import render

NODE = shutil.which("node")
pytestmark = pytest.mark.skipif(NODE is None, reason="needs node (apt-get install nodejs)")


def node_test(name: str, pages: Path | None = None) -> None:
    env = {**os.environ, "TELVANE_VIEW_PAGES": str(pages)} if pages else None
    done = subprocess.run([NODE, "--test", str(Path(__file__).with_name(name))], capture_output=True,
                          text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_page_s_kernels_pass_their_node_tests() -> None:
    node_test("view_kernels.test.js")


def embedded(data: PageData, expected: list[pa.Array],
             deltas: Sequence[tuple[int, int, pa.Table]] = ()) -> dict[str, Any]:
    """What the page of `data` gives its script (its data element's text and its manifest),
    the arrays its columns hold, and (reference row, lap row, telvane.delta) of its laps."""
    page = render(data)
    found = {name: re.search(f'id="telvane-{name}">(.*?)</script>', page, re.S).group(1)
             for name in ("manifest", "columns")}
    return {"text": found["columns"], "manifest": json.loads(found["manifest"]),
            "expected": [{"bytes": base64.b64encode(array.buffers()[1] or b"").decode("ascii"),
                          "nulls": [not valid for valid in array.is_valid().to_pylist()]}
                         for array in expected],
            "deltas": [{"reference": reference, "lap": lap, "distance": table["distance"].to_pylist(),
                        "delta": table["delta"].to_pylist()} for reference, lap, table in deltas]}


# Channels as pyarrow gives them, nulls included, and the type the page holds each as.
EDGES = [
    (pa.array([0.0, -0.0, 1.5, None, math.nan, math.inf, -math.inf, 1e-45, 3.4e38], pa.float32()), pa.float32()),
    (pa.array([86963.4, None, -0.0, 5e-324, 1.7976931348623157e308, math.nan], pa.float64()), pa.float64()),
    (pa.array([-2**31, 0, None, 2**31 - 1, 16777217], pa.int32()), pa.float32()),
    (pa.array([True, False, None], pa.bool_()), pa.float32()),
    (pa.array([], pa.float32()), pa.float32()),
]


def edge_pages() -> list[dict[str, Any]]:
    """Pages of the EDGES, one for each length of base64 padding its block ends with."""
    held = [array.cast(kind, safe=False) for array, kind in EDGES]
    pages: dict[int, dict[str, Any]] = {}
    for extra in range(64):
        arrays = [*held, pa.array(np.arange(extra, dtype=np.float32))]
        data = PageData({}, [Column(0, str(k), array.to_numpy(zero_copy_only=False))
                             for k, array in enumerate(arrays)])
        pages.setdefault(len(data.pack()) % 3, embedded(data, arrays))
        if len(pages) == 3:
            return list(pages.values())
    raise AssertionError("no block of each length")


def page_of(logs: list[tuple[str, Any]], pairs: list[tuple[tuple[int, int], tuple[int, int]]]) -> dict[str, Any]:
    """The page of `logs` showing every lap of `pairs` ((file, lap row) of a reference and
    of a lap), with telvane.delta of each pair."""
    chosen = list(dict.fromkeys(lap for pair in pairs for lap in pair))
    data = page_data(logs, chosen[0], chosen[1:])
    row = {(lap["file"], lap["row"]): k for k, lap in enumerate(data.manifest["laps"])}
    laps = {pair: logs[pair[0]][1].lap(pair[1]) for pair in chosen}
    deltas = [(row[one], row[other], telvane.delta(laps[one], laps[other])) for one, other in pairs]
    return embedded(data, [pa.array(column.values) for column in data.columns], deltas)


def warped(data: bytes) -> bytes:
    """The recording with its clock running unevenly: its laps driven at another pace."""
    file = ReferenceFile(data)
    out = bytearray(data)
    at = file.buf_offset + file.find_var("SessionTime").offset
    times = np.ndarray(file.record_count, "<f8", out, at, (file.buf_len,))
    times += 0.4 * np.sin((times - times[0]) / 7)
    return bytes(out)


def synthetic_pages(synthetic: bytes) -> list[dict[str, Any]]:
    # the two best full laps both ways, a partial lap, and laps that start away from the line
    pairs = [(7, 1), (1, 7), (2, 3), (0, 4), (1, 6)]
    log = telvane.ibt(synthetic)
    return [*edge_pages(), page_of([("s.ibt", log)], [((0, a), (0, b)) for a, b in pairs])]


def sample_pages(synthetic: bytes) -> list[dict[str, Any]]:
    if not SAMPLE.exists():
        pytest.skip(f"needs the real recording at {SAMPLE}")
    data = SAMPLE.read_bytes()
    logs = [("a.ibt", telvane.ibt(data)), ("b.ibt", telvane.ibt(warped(data)))]
    return [page_of(logs, [((0, 0), (1, 0)), ((1, 0), (0, 0))])]


@pytest.mark.parametrize("pages", [synthetic_pages, sample_pages], ids=["synthetic", "real"])
def test_pages_decode_to_the_values_written_and_deltas_are_the_library_s(
        pages: Any, synthetic: bytes, tmp_path: Path) -> None:
    (tmp_path / "pages.json").write_text(json.dumps(pages(synthetic), allow_nan=False), "utf-8")
    node_test("view_embedded.test.js", tmp_path / "pages.json")

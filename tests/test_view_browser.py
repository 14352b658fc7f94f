"""The lap viewer page in headless Chromium, through its scripting API: the lap table, the
delta and the read-out against the library, the decoded columns, channels named as the
page's own names, the corner finder, and a page that fetches nothing and logs no error.
Skipped where Chromium or Playwright is absent."""

import io
import json
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import telvane
from telvane import cli
from telvane.sample import synthetic_sample_bytes

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = [pytest.mark.skipif(CHROMIUM is None, reason="needs Chromium (apt-get install chromium)"),
              pytest.mark.slow]  # a browser starts


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    sync_api = pytest.importorskip("playwright.sync_api")
    with sync_api.sync_playwright() as playwright:
        chromium = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield chromium
        chromium.close()


class Page:
    """A page written by `telvane view`, opened, with what it requested and logged."""

    def __init__(self, browser: Any, path: Path) -> None:
        self.requests: list[str] = []
        self.errors: list[str] = []
        self.page = browser.new_page(viewport={"width": 1400, "height": 1200})
        self.page.on("request", lambda request: self.requests.append(request.url))
        self.page.on("console", lambda m: m.type in ("error", "warning") and self.errors.append(m.text))
        self.page.on("pageerror", lambda error: self.errors.append(str(error)))
        self.uri = path.as_uri()
        self.page.goto(self.uri)
        self.page.evaluate("window.telvaneView.ready")

    def api(self, call: str, *args: Any) -> Any:
        return self.page.evaluate(f"(args) => window.telvaneView.{call}(...args)", list(args))


@pytest.fixture(scope="module")
def demo(browser: Any, recording: Path, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Page]:
    out = tmp_path_factory.mktemp("page") / "demo.html"
    assert cli.main(["view", str(recording), "-o", str(out), "--no-open"]) == 0
    page = Page(browser, out)
    yield page
    page.page.close()


def test_the_lap_table_is_lap_times_with_sectors_and_the_sector_lines_are_in_metres(
        demo: Page, recording: Path) -> None:
    log = telvane.ibt(recording)
    laps, starts = log.lap_times(), log.lap_inputs.sector_starts
    sectors: list[list[float | None]] = [[None] * len(starts) for _ in range(laps.num_rows)]
    for sector in log.sectors().to_pylist():
        sectors[sector["lap"]][sector["sector"]] = sector["duration"]
    expected = [{"file": recording.name, "session": s, "num": n, "lap_type": t, "duration": d, "sectors": times}
                for n, s, t, d, times in zip(*(laps[c].to_pylist() for c in
                                               ("num", "session", "lap_type", "duration")), sectors)]
    assert demo.api("laps") == expected
    assert demo.api("sectorLines") == pytest.approx([start * 4320.0 for start in starts])  # a 4.32 km track


# (reference row, compared row) of the synthetic recording's lap_times(): the two best full
# laps, the other way round, a partial lap and an out lap that start away from the line.
PAIRS = [(7, 1), (1, 7), (2, 3), (0, 4), (1, 6)]


@pytest.mark.parametrize("reference, other", PAIRS)
def test_delta_and_read_out_are_the_library_s(demo: Page, recording: Path, reference: int, other: int) -> None:
    log = telvane.ibt(recording)
    expected = telvane.delta(log.lap(reference), log.lap(other))
    distance, lost = expected["distance"].to_numpy(), expected["delta"].to_numpy()
    traces = log.lap(other).by_distance(["Speed", "Gear", "Throttle"]).to_pandas().set_index("distance")
    demo.api("select", reference, [other])
    for at in [distance[0], distance[len(distance) // 3] + 0.37, distance[-1], *distance[::397]]:
        shown = demo.api("setCursor", float(at))["laps"]
        assert [lap["row"] for lap in shown] == [reference, other]
        assert shown[0]["delta_ms"] == 0
        assert shown[1]["delta_ms"] == pytest.approx(np.interp(at, distance, lost), abs=0.001)
        if float(at).is_integer() and at in traces.index:
            row = traces.loc[at]
            assert shown[1]["values"]["Speed"] == np.float32(row["Speed"])
            assert shown[1]["values"]["Gear"] == row["Gear"]
            assert shown[1]["values"]["Throttle"] == np.float32(row["Throttle"])


@pytest.mark.parametrize("row, name", [(7, "elapsed"), (1, "Speed"), (3, "Gear"), (0, "RPM"),
                                       (7, "FuelLevel")])
def test_columns_decode_to_the_values_written(demo: Page, recording: Path, row: int, name: str) -> None:
    from telvane.view.data import elapsed_by_distance

    lap = telvane.ibt(recording).lap(row)
    if name == "elapsed":
        expected = elapsed_by_distance(lap)[1]
    else:
        expected = lap.by_distance([name])[name].to_numpy().astype(np.float32)
    assert np.array_equal(np.array(demo.api("pageColumn" if name == "elapsed" else "column", row, name), expected.dtype), expected)


# Names of the page's own columns and panes, and of what every JavaScript object has, each
# given to a channel of the sample that no pane or lap shows by default.
OWN_NAMES = {"elapsed": "FuelLevel", "map_x": "SessionTick", "map_y": "LapCurrentLapTime",
             "delta": "LapLastLapTime", "distance": "IsOnTrack", "toString": "SteeringWheelTorque",
             "constructor": "EngineWarnings", "valueOf": "Yaw", "hasOwnProperty": "RPM",
             "__proto__": "SteeringWheelAngle"}
CHOOSE = """([box, name]) => {  // the option naming the channel, as a click chooses it
  const select = document.getElementById(box);
  select.selectedIndex = [...select.options].findIndex((o) => o.text.split(' [')[0] === name);
  select.dispatchEvent(new Event('change'));
}"""


@pytest.fixture(scope="module")
def renamed(browser: Any, tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Page, Any]]:
    """The sample's page, its channels named as OWN_NAMES, showing rows 7, 1 and 3 (row 3
    carries only the default panes' channels)."""
    data = synthetic_sample_bytes()
    for name, channel in OWN_NAMES.items():  # the names' fields of the variable headers
        data = data.replace(channel.encode().ljust(32, b"\0"), name.encode().ljust(32, b"\0"))
    folder = tmp_path_factory.mktemp("renamed")
    (folder / "r.ibt").write_bytes(data)
    assert cli.main(["view", str(folder / "r.ibt"), "-o", str(folder / "r.html"), "--no-open"]) == 0
    page = Page(browser, folder / "r.html")
    page.api("select", 7, [1, 3])
    yield page, telvane.ibt(data)
    page.page.close()


@pytest.mark.parametrize("name", OWN_NAMES)
def test_a_channel_named_as_the_page_s_own_is_one_more_channel(renamed: tuple[Page, Any], name: str) -> None:
    from telvane.view.data import elapsed_by_distance, map_positions, usable_origin

    page, log = renamed
    for box in ("add-pane", "map-colour"):
        page.page.evaluate(CHOOSE, [box, name])
    at = 1234.0
    shown = json.loads(page.page.evaluate("(d) => JSON.stringify(window.telvaneView.setCursor(d))", at))["laps"]
    assert page.errors == []
    assert page.page.inner_text("#map-note").endswith(f" · {name}")
    lost = telvane.delta(log.lap(7), log.lap(1))
    assert shown[1]["delta_ms"] == pytest.approx(np.interp(at, lost["distance"], lost["delta"]), abs=0.001)
    lap = log.lap(1)
    table = lap.by_distance([name])
    values = table.column(1).to_numpy().astype(np.float32)
    assert np.array_equal(page.api("column", 1, name), values)
    assert shown[1]["values"][name] == values[int(at - table.column(0)[0].as_py())]
    assert name not in shown[2]["values"]
    east = map_positions(lap, elapsed_by_distance(lap)[0], usable_origin(log))[0].astype(np.float32)
    assert np.array_equal(page.api("pageColumn", 1, "map_x"), east, equal_nan=True)


# A speed trace (m/s, one value per metre) and the apexes found with a drop of 4 m/s.
CORNER_CASES = [
    ([50.0] * 40, []),
    ([50, 48, 47, 48, 50, 50], []),  # a dip shallower than the drop
    ([50, 45, 40, 35, 30, 35, 40, 45, 50], [4.0]),
    ([50, 40, 30, 30, 30, 30, 40, 50], [3.5]),  # the middle of a flat minimum
    ([50, 40, 30, 40, 50, 42, 34, 42, 50], [2.0, 6.0]),
    ([50, 40, 30, 40, 50, 40, 30], [2.0]),  # a corner not left by the end is none
]


@pytest.mark.parametrize("speed, apexes", CORNER_CASES)
def test_corner_finder(demo: Page, speed: list[float], apexes: list[float]) -> None:
    found = demo.api("findCorners", speed, 100, 4.0)
    assert [c["apex"] - 100 for c in found] == apexes


def test_the_page_fetches_nothing_logs_nothing_and_draws(demo: Page) -> None:
    image = pytest.importorskip("matplotlib.image")
    demo.api("setCursor", 1500.0)  # after the other tests' calls too
    assert (demo.requests, demo.errors) == ([demo.uri], [])
    shot = image.imread(io.BytesIO(demo.page.screenshot(full_page=True)), format="png")
    height, width = shot.shape[:2]
    assert width == 1400 and height > 1000
    traces = demo.page.locator("#traces").screenshot()
    pixels = image.imread(io.BytesIO(traces), format="png")[..., :3].reshape(-1, 3)
    colours = {tuple(p) for p in (pixels * 255).round().astype(int)[::7]}
    assert len(colours) > 50  # lines, labels and grid, not a blank box
    ink = (pixels.min(axis=1) < 0.6).mean()
    assert 0.01 < ink < 0.5

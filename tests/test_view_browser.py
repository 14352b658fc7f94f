"""The lap viewer page in headless Chromium, through its scripting API: the lap table, the
delta and the read-out against the library, the decoded columns, channels named as the
page's own names, the corner table and its numbers, the read-out of many laps at a laptop's
width, scales a stopping car leaves alone, and a page that fetches nothing and logs no
error. Skipped where Chromium or Playwright is absent."""

import io
import json
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import telvane
from telvane import _cli
from telvane._text import format_lap_time
from telvane._sample import synthetic_sample_bytes, synthetic_sample_columns

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

    def __init__(self, browser: Any, path: Path, width: int = 1400, height: int = 1200) -> None:
        self.requests: list[str] = []
        self.errors: list[str] = []
        self.page = browser.new_page(viewport={"width": width, "height": height})
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
    assert _cli.main(["view", str(recording), "-o", str(out), "--no-open"]) == 0
    page = Page(browser, out)
    yield page
    page.page.close()


def test_the_lap_table_is_lap_times_with_sectors_and_the_sector_lines_are_in_metres(
        demo: Page, recording: Path) -> None:
    log = telvane.ibt(recording)
    laps, starts = log.lap_times(), log.lap_inputs.sector_starts
    sectors: list[list[float | None]] = [[None] * len(starts) for _ in range(laps.num_rows)]
    bests = [[False] * len(starts) for _ in range(laps.num_rows)]
    for sector in log.sectors().to_pylist():
        sectors[sector["lap"]][sector["sector"]] = sector["duration"]
        bests[sector["lap"]][sector["sector"]] = sector["best"]
    expected = [{"file": recording.name, "session": s, "num": n, "lap_type": t, "duration": d, "best": b,
                 "sectors": times, "sector_best": best}
                for n, s, t, d, b, times, best in zip(*(laps[c].to_pylist() for c in
                                                        ("num", "session", "lap_type", "duration", "best")),
                                                      sectors, bests)]
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
    from telvane.view._data import elapsed_by_distance

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
    assert _cli.main(["view", str(folder / "r.ibt"), "-o", str(folder / "r.html"), "--no-open"]) == 0
    page = Page(browser, folder / "r.html")
    page.api("select", 7, [1, 3])
    yield page, telvane.ibt(data)
    page.page.close()


@pytest.mark.parametrize("name", OWN_NAMES)
def test_a_channel_named_as_the_page_s_own_is_one_more_channel(renamed: tuple[Page, Any], name: str) -> None:
    from telvane.view._data import elapsed_by_distance, map_positions, usable_origin

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



def test_corners_are_the_library_s_for_the_chosen_laps_and_a_click_zooms_to_one(demo: Page, recording: Path) -> None:
    log = telvane.ibt(recording)
    for reference, others in [(1, [7]), (7, []), (7, [1, 3])]:
        demo.api("select", reference, others)
        expected = telvane.corners(log.lap(reference), *(log.lap(row) for row in others)).to_pylist()
        assert demo.api("corners") == expected
    demo.page.click("#corners table >> nth=0 >> tbody tr >> nth=0")
    worst = max((row for row in expected if row["lap"] == 1), key=lambda row: row["time_lost"])
    assert demo.api("zoomed") == pytest.approx([worst["start"], worst["end"]])
    demo.api("select", 0, [1])  # an out lap: a reference the page holds no corners for
    assert demo.api("corners") is None
    assert demo.page.inner_text("#corners").startswith("Corners are measured against the laps the page opened with")


def grey_ink(image: np.ndarray, x: float, y0: float, y1: float) -> int:
    """Pixels of dark grey (a corner number's) within 8 px of `x` from `y0` to `y1`."""
    box = image[int(y0):int(y1), max(0, int(x) - 8):int(x) + 8, :3].astype(int)
    return int(((box.max(axis=2) - box.min(axis=2) < 30) & (box.mean(axis=2) < 120)).sum())


def test_corner_numbers_are_drawn_on_the_traces_and_the_map(demo: Page, recording: Path) -> None:
    image = pytest.importorskip("matplotlib.image")
    demo.api("select", 7, [1])
    marks = demo.api("cornerMarks")
    apexes = [row["apex"] for row in demo.api("corners") if row["lap"] == 0 and row["corner"]]
    assert [mark["apex"] for mark in marks] == apexes and [mark["corner"] for mark in marks] == list(range(1, 9))
    pane = (image.imread(io.BytesIO(demo.page.locator("#panes canvas >> nth=0").screenshot()), format="png") * 255)
    track = (image.imread(io.BytesIO(demo.page.locator("#map").screenshot()), format="png") * 255)
    for mark in marks:
        assert grey_ink(pane, mark["pane"], 2, 32) > 5
        x, y = mark["map"]
        assert grey_ink(track, x, y - 7, y + 7) > 5
    assert grey_ink(pane, (marks[0]["pane"] + marks[1]["pane"]) / 2, 2, 32) == 0  # nothing between


@pytest.mark.parametrize("width, rows", [(1280, [7, 1, 2, 3, 5, 8]), (1280, [7, 1, 2, 3, 5, 8, 0, 4]),
                                         (1920, [7, 1, 2, 3, 5, 8, 0, 4])])
def test_the_read_out_shows_every_lap_named_by_file_and_lap(browser: Any, recording: Path,
                                                             tmp_path: Path, width: int, rows: list[int]) -> None:
    assert _cli.main(["view", str(recording), "-o", str(tmp_path / "p.html"), "--no-open"]) == 0
    page = Page(browser, tmp_path / "p.html", width, 800)
    page.api("select", rows[0], rows[1:])
    page.api("setCursor", 1500.0)
    cells = page.page.evaluate("""() => [...document.querySelectorAll('#readout th, #readout td')].map((cell) => {
        const box = cell.getBoundingClientRect(); return [box.left, box.right, box.bottom]; })""")
    side = page.page.evaluate("() => document.getElementById('side').getBoundingClientRect().right")
    assert max(right for _, right, _ in cells) <= min(side, width) and max(b for *_, b in cells) <= 800
    assert page.page.locator("#readout tbody tr").count() == len(rows)
    laps = telvane.ibt(recording).lap_times().to_pylist()
    sessions = {0: "PRACTICE", 1: "QUALIFY"}
    names = ["0.1", "1.1", "2.1", "3.1", "3.2", "4", "0.2", "1.2", "2.2"]  # as FILE:N takes them
    expected = [f"synthetic_sample.ibt:{names[row]} · {sessions[laps[row]['session']]} · {laps[row]['lap_type']}"
                f" · {format_lap_time(laps[row]['duration'])}" for row in rows]
    expected[0] += " · reference"
    assert [text.strip() for text in page.page.locator("#legend .entry").all_inner_texts()] == expected
    assert page.page.locator("#sector-table thead th").all_inner_texts() == ["lap", "S1", "S2", "S3", "lap time"]
    assert page.errors == []
    page.page.close()


def stopping_sample(seconds: float = 3.0) -> bytes:
    """The synthetic sample whose last lap, cut short at speed when the recording stops,
    instead ends with the car braking at 10 m/s² to a stand and standing `seconds`."""
    from telvane._sample import SESSION_INFO, SESSION_START_DATE, TICK_RATE, TRACK_LENGTH, _layout
    from telvane._writer import write_ibt

    columns = synthetic_sample_columns()
    last = {name: values[-1] for name, values in columns.items()}
    speed = np.maximum(last["Speed"] - 10.0 * np.arange(1, 1 + 8 * TICK_RATE) / TICK_RATE, 0.0)
    speed = np.concatenate((speed[speed > 0], np.zeros(int(seconds * TICK_RATE))))
    added = np.arange(1, len(speed) + 1)
    extra = {name: np.repeat(np.asarray(value)[None], len(speed), axis=0) for name, value in last.items()}
    distance = last["LapDist"] + np.cumsum(speed) / TICK_RATE
    extra.update(SessionTime=last["SessionTime"] + added / TICK_RATE, SessionTick=last["SessionTick"] + added,
                 LapCurrentLapTime=last["LapCurrentLapTime"] + added / TICK_RATE, Speed=speed,
                 LapDist=distance, LapDistPct=distance / TRACK_LENGTH, Throttle=speed * 0,
                 Brake=np.where(speed > 0, 0.6, 0.0))
    variables, dtype = _layout()
    records = np.zeros(len(columns["SessionTime"]) + len(speed), dtype=dtype)
    for name in dtype.names or ():
        records[name] = np.concatenate((columns[name], extra[name]))
    times = records["SessionTime"]
    return write_ibt(variables, records.tobytes(), session_info=SESSION_INFO, tick_rate=TICK_RATE,
                     session_start_date=SESSION_START_DATE, start_time=float(times[0]),
                     end_time=float(times[-1]), lap_count=int(np.count_nonzero(np.diff(records["Lap"])) + 1))


def same_scales(one: list[dict[str, Any]], other: list[dict[str, Any]]) -> bool:
    return ([scale["pane"] for scale in one] == [scale["pane"] for scale in other] and
            np.allclose([scale["range"] for scale in one], [scale["range"] for scale in other], rtol=1e-4))


def test_a_partial_lap_where_the_car_stops_keeps_the_scales(browser: Any, tmp_path: Path) -> None:
    (tmp_path / "s.ibt").write_bytes(stopping_sample())
    log = telvane.ibt(tmp_path / "s.ibt")
    speed = log.lap(8)["Speed"].column(1).to_numpy()
    assert log.lap_times()["lap_type"][8].as_py() == "partial" and speed[-1] == 0  # the car stands
    assert _cli.main(["view", str(tmp_path / "s.ibt"), "-o", str(tmp_path / "s.html"), "--no-open"]) == 0
    page = Page(browser, tmp_path / "s.html", 1280, 800)
    page.api("select", 7, [1])
    before = page.api("scales")
    page.page.click('#laps tr[data-row="8"] td >> nth=5')  # the lap's number, as a driver clicks it
    assert page.api("laps")[8]["num"] == 2 and page.page.locator("#legend .entry").count() == 3
    assert same_scales(page.api("scales"), before)  # within the lap's own steering, say
    page.api("zoom", 1500.0, 2500.0)  # the lap stops in this stretch
    zoomed = page.api("scales")
    page.api("select", 7, [1])
    page.api("zoom", 1500.0, 2500.0)
    assert same_scales(page.api("scales"), zoomed) and not same_scales(zoomed, before)
    assert page.errors == []
    page.page.close()

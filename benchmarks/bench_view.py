"""Times the lap viewer: writing the page (Python), then in headless Chromium the time until
the page is drawn, the cursor sync, the zoom and the JavaScript memory, for the synthetic
sample and for nearly an hour of its driving.

Needs Chromium (apt-get install chromium) and Playwright (requirements-test.txt).
Run with the environment's telvane:  python benchmarks/bench_view.py"""
import shutil
import statistics
import tempfile
import time
from pathlib import Path

import telvane
from telvane import _sample
from telvane.view import view

MEASURE = """async () => {
  await window.telvaneView.ready;
  const columns = JSON.parse(document.getElementById('telvane-manifest').textContent).columns;
  const dataMb = columns.reduce((n, c) => n + c.count * c.width, 0) / 1e6;
  const readyMs = performance.now();
  const laps = window.telvaneView.laps();
  const flush = () => document.querySelector('#panes canvas').getContext('2d').getImageData(0, 0, 1, 1);
  const cursor = [];
  for (let k = 0; k < 300; k++) {
    const began = performance.now();
    window.telvaneView.setCursor(10 + k * 13.7);
    document.body.offsetHeight;  // the read-out laid out
    cursor.push(performance.now() - began);
  }
  const zoom = [];
  for (let round = 0; round < 3; round++) {
    for (const [a, b] of [[1000, 1400], [0, 4320], [200, 3000], [2500, 2600], [0, 4320], [800, 2400]]) {
      const began = performance.now();
      window.telvaneView.zoom(a, b);
      flush();
      zoom.push(performance.now() - began);
    }
  }
  cursor.sort((x, y) => x - y);
  return {readyMs, dataMb, laps: laps.length, cursorP50: cursor[150], cursorP95: cursor[285], zoom};
}"""


def renderer_memory_mb():
    """The largest private memory (resident, not shared with other processes) among
    Chromium's renderer processes (Linux), in MB: the page's own memory, typed arrays and
    canvases included, which the JS heap leaves out."""
    largest = 0.0
    for proc in Path("/proc").iterdir():
        try:
            if b"--type=renderer" not in (proc / "cmdline").read_bytes():
                continue
            private = sum(int(line.split()[1]) for line in
                          (proc / "smaps_rollup").read_text().splitlines()
                          if line.startswith(("Private_Clean:", "Private_Dirty:")))
        except OSError:
            continue
        largest = max(largest, private / 1024)
    return largest


def measure(browser, path):
    page = browser.new_page(viewport={"width": 1400, "height": 1100})
    client = page.context.new_cdp_session(page)
    client.send("Performance.enable")
    page.goto(path.as_uri())
    figures = page.evaluate(MEASURE)
    metrics = {m["name"]: m["value"] for m in client.send("Performance.getMetrics")["metrics"]}
    renderer = renderer_memory_mb()
    client.send("HeapProfiler.enable")
    client.send("HeapProfiler.collectGarbage")
    time.sleep(0.5)
    kept = renderer_memory_mb()
    page.close()
    return figures, metrics["JSHeapUsedSize"] / 1e6, renderer, kept


def main():
    from playwright.sync_api import sync_playwright

    folder = Path(tempfile.mkdtemp(prefix="bench-view-"))
    cases = [("demo recording", _sample.synthetic_sample_bytes()),
             ("nearly an hour of driving", _sample.synthetic_sample_bytes(flying_laps=36))]
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=shutil.which("chromium"),
                                             args=["--no-sandbox"])
        blank = folder / "blank.html"
        blank.write_text("<!DOCTYPE html><title>blank</title><p>blank</p>")
        page = browser.new_page(viewport={"width": 1400, "height": 1100})
        page.goto(blank.as_uri())
        baseline = renderer_memory_mb()
        page.close()
        print(f"a blank page's renderer process: {baseline:.1f} MB private")
        for title, data in cases:
            recording = folder / "recording.ibt"
            recording.write_bytes(data)
            log = telvane.ibt(recording)
            began = time.perf_counter()
            page = view([log])
            built = time.perf_counter() - began
            path = page.save(folder / "page.html")
            runs = [measure(browser, path) for _ in range(3)]
            figures = [run[0] for run in runs]
            print(f"{title}: {len(log):,} records, {figures[0]['laps']} laps")
            print(f"  page written in   {1000 * built:8.0f} ms (Python)")
            print(f"  page size         {path.stat().st_size / 1e6:8.2f} MB")
            print(f"  ready             {statistics.median(f['readyMs'] for f in figures):8.0f} ms"
                  f"   (median of 3 loads)")
            print(f"  cursor sync p50   {statistics.median(f['cursorP50'] for f in figures):8.2f} ms")
            print(f"  cursor sync p95   {statistics.median(f['cursorP95'] for f in figures):8.2f} ms")
            first = [f["zoom"][:6] for f in figures]
            later = sorted(z for f in figures for z in f["zoom"][6:])
            print(f"  zoom, first six   {statistics.median(z for f in first for z in f):8.1f} ms median, "
                  f"{max(max(f) for f in first):.1f} ms slowest (while the page's code warms up)")
            print(f"  zoom, then        {statistics.median(later):8.1f} ms median, "
                  f"{later[int(0.95 * len(later))]:.1f} ms p95, {later[-1]:.1f} ms slowest")
            print(f"  JS heap used      {max(run[1] for run in runs):8.1f} MB   "
                  f"(besides {figures[0]['dataMb']:.1f} MB of decoded columns)")
            renderer = max(run[2] for run in runs)
            kept = max(run[3] for run in runs)
            print(f"  renderer memory   {renderer:8.1f} MB   (private to the page's process; "
                  f"{renderer - baseline:.1f} MB over a blank page's)")
            print(f"  after a collection{kept:8.1f} MB   ({kept - baseline:.1f} MB over a blank page's)")
        browser.close()
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()

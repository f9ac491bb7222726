"""The pages in headless Chromium (the system's own build): the 20-year report, and the sweep's sorting."""

from __future__ import annotations

import contextlib
import io
import os
import resource
import shutil
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorex import demo, tearsheet
from quorex.figures import SWEEP_FIGURES

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# The charts' boxes in page coordinates, as a full-page screenshot has them.
PAGE_BOXES = """Array.from(document.querySelectorAll("svg"), function(chart){
  var r = chart.getBoundingClientRect();
  return {x: r.left + window.scrollX, y: r.top + window.scrollY, width: r.width, height: r.height};
})"""
FIRST_COLUMN_VALUES = """Array.from(document.querySelectorAll("table.sortable tbody tr"),
  function(row){ return row.cells[COLUMN].getAttribute("data-v"); })"""


def _need_browser() -> None:
    """Skip without the browser or its driver, except in CI, where both must be there."""
    problem = None
    if CHROMIUM is None:
        problem = "no chromium on PATH (apt-get install -y chromium)"
    else:
        try:
            import playwright.sync_api  # noqa: F401
        except ImportError:
            problem = "playwright is not installed (pip install playwright)"
    if problem and os.environ.get("CI"):
        pytest.fail(f"the browser test must run in CI: {problem}")
    if problem:
        pytest.skip(problem)


@contextlib.contextmanager
def _address_space_of_the_hard_limit() -> Iterator[None]:
    """Lift the soft address-space limit (the fuzz suite sets one) while processes start.

    The browser reserves far more address space than it uses and dies at
    start under a few gigabytes; its driver and it inherit the limit in
    force when they are spawned, and the suite's own limit comes back after.
    """
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@pytest.fixture(scope="module")
def browser() -> Iterator[object]:
    _need_browser()
    from playwright.sync_api import sync_playwright

    with contextlib.ExitStack() as stack:
        with _address_space_of_the_hard_limit():
            driver = stack.enter_context(sync_playwright())
            # the system's browser: nothing may download one
            launched = driver.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        stack.callback(launched.close)
        yield launched


class Visit:
    """A page opened from a file, with what it logged and requested."""

    def __init__(self, browser, path: Path) -> None:
        self.url = path.as_uri()
        self.problems: list[str] = []
        self.requests: list[str] = []
        self.page = browser.new_page(viewport={"width": 1200, "height": 900})
        self.page.on("console", self._console)
        self.page.on("pageerror", lambda error: self.problems.append(f"page error: {error}"))
        self.page.on("requestfailed", lambda r: self.problems.append(f"failed request: {r.url[:100]}"))
        self.page.on("request", lambda r: self.requests.append(r.url))
        self.page.goto(self.url, wait_until="load")
        self.page.wait_for_load_state("networkidle")

    def _console(self, message) -> None:
        if message.type == "error":
            self.problems.append(f"console error: {message.text}")

    def assert_clean(self) -> None:
        assert self.problems == []
        leaving = [url for url in self.requests if url != self.url and not url.startswith("data:")]
        assert leaving == [], leaving


def distinct_colours(png: bytes, box: dict[str, float]) -> int:
    """The number of distinct RGB colours inside ``box`` of a screenshot."""
    from PIL import Image

    image = Image.open(io.BytesIO(png)).convert("RGB")
    left, top = int(box["x"]), int(box["y"])
    crop = np.asarray(image.crop((left, top, left + int(box["width"]), top + int(box["height"]))))
    return len(np.unique(crop.reshape(-1, 3), axis=0))


def assert_charts_drawn(visit: Visit, charts: int, sections: int) -> None:
    """The page loaded cleanly, with ``charts`` charts of a real size and colour in ``sections`` sections."""
    boxes = visit.page.evaluate(PAGE_BOXES)
    screenshot = visit.page.screenshot(full_page=True)
    headings = visit.page.locator("h2").all_inner_texts()
    visit.assert_clean()
    assert len(boxes) == charts and len(headings) == sections, headings
    for box in boxes:
        assert box["width"] > 300 and box["height"] > 100, box
    colours = [distinct_colours(screenshot, box) for box in boxes]
    assert min(colours) > 100, colours


def test_twenty_year_page_renders_offline_without_errors(browser, tmp_path):
    report = demo.run_demo(n_stocks=60, years=20)
    path = tmp_path / "report.html"
    sectors = pd.Series([f"sector {i % 7}" for i in range(60)], index=report.position.columns)
    report.to_html(path, groups=sectors)
    assert_charts_drawn(Visit(browser, path), charts=10, sections=12)  # with the execution section (the home price limit)


def test_factor_and_comparison_pages_render_offline_without_errors(browser, tmp_path):
    import quorex
    from quorex.io.synthetic import synthetic_market

    market = synthetic_market(n_stocks=80, years=6, seed=2)
    market.pop("turnover")
    close = market["close"]
    quorex.factor.factor_report(close / close.shift(60) - 1, market).to_html(tmp_path / "factor.html")
    assert_charts_drawn(Visit(browser, tmp_path / "factor.html"), charts=5, sections=3)
    runs = {f"top {n}": quorex.backtest(demo.momentum_weights(close, top_n=n), market, rebalance="ME")
            for n in (5, 20)}
    quorex.compare(runs).to_html(tmp_path / "compare.html")
    assert_charts_drawn(Visit(browser, tmp_path / "compare.html"), charts=2, sections=3)


def test_sweep_table_sorts_on_click(browser, tmp_path):
    rng = np.random.default_rng(2)
    sets = 30
    table = pd.DataFrame({"lookback": np.repeat([20, 60, 120], 10), "top_n": np.tile(range(10), 3),
                          **{name: rng.normal(size=sets) for name in SWEEP_FIGURES}})
    table.loc[3, "calmar_ratio"] = np.nan
    returns = pd.DataFrame(rng.normal(0, 0.01, (100, sets)), index=pd.bdate_range("2021-01-01", periods=100))
    path = tmp_path / "sweep.html"
    path.write_text(tearsheet.sweep_html(table, returns), encoding="utf-8")
    visit = Visit(browser, path)
    column = 1 + list(table.columns).index("calmar_ratio")  # after the set label
    heading = visit.page.locator("table.sortable thead th").nth(column)
    orders = []
    for _ in range(2):
        heading.click()
        orders.append(visit.page.evaluate(FIRST_COLUMN_VALUES.replace("COLUMN", str(column))))
    visit.assert_clean()
    values = table["calmar_ratio"].dropna()
    for order, descending in zip(orders, (True, False)):
        assert order[-1] is None  # n/a last either way
        assert [float(v) for v in order[:-1]] == sorted(values, reverse=descending)

"""The report page of a 20-year daily run, loaded in headless Chromium (the system's own build)."""

from __future__ import annotations

import io
import os
import shutil

import numpy as np
import pytest

from quorex import demo

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# The charts' boxes in page coordinates, as a full-page screenshot has them.
PAGE_BOXES = """Array.from(document.querySelectorAll("svg"), function(chart){
  var r = chart.getBoundingClientRect();
  return {x: r.left + window.scrollX, y: r.top + window.scrollY, width: r.width, height: r.height};
})"""


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


def distinct_colours(png: bytes, box: dict[str, float]) -> int:
    """The number of distinct RGB colours inside ``box`` of a screenshot."""
    from PIL import Image

    image = Image.open(io.BytesIO(png)).convert("RGB")
    left, top = int(box["x"]), int(box["y"])
    crop = np.asarray(image.crop((left, top, left + int(box["width"]), top + int(box["height"]))))
    return len(np.unique(crop.reshape(-1, 3), axis=0))


def test_twenty_year_page_renders_offline_without_errors(tmp_path):
    _need_browser()
    from playwright.sync_api import sync_playwright

    report = demo.run_demo(n_stocks=60, years=20)
    page_path = tmp_path / "report.html"
    report.to_html(page_path)
    own_url = page_path.as_uri()
    problems, requests = [], []
    with sync_playwright() as driver:
        # the system's browser; nothing may download one
        browser = driver.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        try:
            page = browser.new_page(viewport={"width": 1200, "height": 900})
            page.on("console", lambda m: problems.append(f"console {m.type}: {m.text}") if m.type == "error" else None)
            page.on("pageerror", lambda error: problems.append(f"page error: {error}"))
            page.on("requestfailed", lambda r: problems.append(f"failed request: {r.url[:100]}"))
            page.on("request", lambda r: requests.append(r.url))
            page.goto(own_url, wait_until="load")
            page.wait_for_load_state("networkidle")
            boxes = page.evaluate(PAGE_BOXES)
            screenshot = page.screenshot(full_page=True)
            headings = page.locator("h2").all_inner_texts()
        finally:
            browser.close()
    assert problems == []
    leaving = [url for url in requests if url != own_url and not url.startswith("data:")]
    assert leaving == [], leaving
    assert len(boxes) == 6 and len(headings) == 7
    for box in boxes:
        assert box["width"] > 300 and box["height"] > 100, box
    colours = [distinct_colours(screenshot, box) for box in boxes]
    assert min(colours) > 100, colours

"""Screenshot an HTML page with the system's headless Chromium, as a small PNG.

    .venv/bin/python scripts/screenshot_page.py out/demo/report.html docs/report.png

Takes the whole page (``--height`` cuts it), scales it to ``--width`` pixels
and reduces it to a 256-colour palette so it stays light enough for the
repository.
"""

from __future__ import annotations

import argparse
import io
import shutil
from pathlib import Path


def screenshot(page: Path, out: Path, width: int, height: int | None) -> int:
    """Write the PNG and return its size in bytes."""
    from PIL import Image
    from playwright.sync_api import sync_playwright

    browser_path = shutil.which("chromium")
    if browser_path is None:
        raise SystemExit("no chromium on PATH (apt-get install -y chromium)")
    with sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=browser_path, args=["--no-sandbox"])
        try:
            tab = browser.new_page(viewport={"width": 1150, "height": 900})
            tab.goto(page.resolve().as_uri(), wait_until="load")
            png = tab.screenshot(full_page=True)
        finally:
            browser.close()
    image = Image.open(io.BytesIO(png)).convert("RGB")
    if height is not None:
        image = image.crop((0, 0, image.width, min(height, image.height)))
    scale = width / image.width
    image = image.resize((width, round(image.height * scale)), Image.Resampling.LANCZOS)
    image.quantize(256, method=Image.Quantize.MEDIANCUT).save(out, optimize=True)
    return out.stat().st_size


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("page", type=Path)
    parser.add_argument("out", type=Path)
    parser.add_argument("--width", type=int, default=760)
    parser.add_argument("--height", type=int, default=None, help="cut the page at this many CSS pixels")
    args = parser.parse_args()
    size = screenshot(args.page, args.out, args.width, args.height)
    print(f"wrote {args.out} ({size / 1e3:.0f} kB)")


if __name__ == "__main__":
    main()

"""The pages: a backtest's report and a sweep as self-contained HTML files.

``charts`` draws, ``html`` frames and formats, ``series`` computes the tables
the pages show from a curve or the trades; ``report_page`` and
``sweep_page`` put them together from the public API of ``Report`` and of a
sweep's table.
"""

from quorex.pages.report_page import report_html
from quorex.pages.sweep_page import sweep_html

__all__ = ["report_html", "sweep_html"]

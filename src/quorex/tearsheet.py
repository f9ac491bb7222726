"""The pages under their first name: ``quorex.tearsheet.report_html`` and ``sweep_html``.

See ``quorex.pages``.
"""

from quorex.pages.report_page import report_html
from quorex.pages.series import drawdown_periods, monthly_table, yearly_returns
from quorex.pages.sweep_page import sweep_html

__all__ = ["drawdown_periods", "monthly_table", "report_html", "sweep_html", "yearly_returns"]

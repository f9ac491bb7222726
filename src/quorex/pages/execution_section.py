"""The backtest page's section on execution: the rules the run traded under, and what they did.

Built, like the page, from ``Report``'s public API: the summary's rows and
``report.unfilled``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import pandas as pd

from quorex.figures import EXECUTION_LABELS, EXECUTION_SETTINGS
from quorex.pages.html import escape, html_table

if TYPE_CHECKING:
    from quorex.backtest.report import Report

# The unfilled orders listed on the page, latest first.
LISTED_ORDERS = 20


def _rows(summary: pd.DataFrame, labels: tuple[str, ...]) -> str:
    return "".join(
        f"<tr><th>{escape(label)}</th><td>{escape(summary.loc[label, 'text'])}</td></tr>"
        for label in labels if label in summary.index
    )


def execution_section(report: Report, summary: pd.DataFrame) -> str:
    """The execution rules used, the orders left unfilled by reason, slippage and carry, and the
    latest unfilled orders; empty for a report made without execution rules."""
    if report.execution is None:
        return ""
    unfilled = report.unfilled
    listing = '<p class="note">Every order filled in full on the date it was due.</p>'
    if len(unfilled):
        latest = unfilled.iloc[::-1].head(LISTED_ORDERS).reset_index(drop=True)
        latest["date"] = latest["date"].dt.strftime("%Y-%m-%d")
        listing = (
            f"<h3>Latest unfilled orders ({min(len(unfilled), LISTED_ORDERS)} of {len(unfilled)})</h3>"
            + html_table(latest, {c: (lambda v: f"{v:,.4g}") for c in latest.columns[2:4]})
        )
    return (
        "<section><h2>Execution</h2><h3>Rules</h3>"
        f"<table><tbody>{_rows(summary, EXECUTION_SETTINGS)}</tbody></table>"
        f"<h3>What they did</h3><table><tbody>{_rows(summary, tuple(EXECUTION_LABELS))}</tbody></table>"
        + listing
        + '<p class="note">An order is unfilled when the day\'s price sat at its limit against it, the stock '
        "could not trade, or the volume cap was reached; the value unfilled is counted at the price of the date "
        "the order was due. Slippage is in the fill prices; interest and borrow fees accrue on calendar days.</p>"
        "</section>"
    )

"""Several backtests side by side: their summaries as one table, the correlation of their days."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

import pandas as pd

from quorex.figures import FIGURE_LABELS, RISKFREE_RATE, curve_returns

if TYPE_CHECKING:
    from quorex.backtest.report import Report


@dataclass(frozen=True, eq=False)
class Comparison:
    """Backtests compared, as ``quorex.compare`` builds it.

    Attributes
    ----------
    figures : DataFrame
        The summaries' figures (rows, as ``Report.summary`` labels them) of
        each backtest (columns, by name), as numbers.
    text : DataFrame
        Every row of the summaries, settings included, as written.
    correlation : DataFrame
        The correlation of the backtests' daily returns, over the dates each
        pair shares.
    equity : dict
        Each backtest's equity curve from the date before its first trade.
    """

    figures: pd.DataFrame
    text: pd.DataFrame
    correlation: pd.DataFrame
    equity: dict[str, pd.Series]

    def to_html(self, path: str | os.PathLike[str] | None = None, *, title: str | None = None) -> str:
        """The comparison as a self-contained HTML page, written to ``path`` when given, and returned.

        Needs matplotlib (``pip install quorex[plot]``).
        """
        from quorex.pages.compare_page import compare_html
        from quorex.pages.html import written

        return written(compare_html(self, title=title), path)


def compare(reports: Mapping[str, Report], riskfree_rate: float = RISKFREE_RATE) -> Comparison:
    """The backtests of ``reports`` (name → ``Report``) side by side.

    Each backtest's figures are its own summary's (``Report.summary`` at
    ``riskfree_rate``), over its own dates: backtests over different periods
    are compared as they are. The correlation of daily returns is taken over
    the dates each pair of backtests shares.
    """
    if not isinstance(reports, Mapping) or not reports:
        raise ValueError("compare: give a mapping of names to reports, e.g. {'momentum': report, ...}")
    for name, report in reports.items():
        if not (hasattr(report, "summary") and hasattr(report, "creturn")):
            raise TypeError(f"compare: {name!r} is a {type(report).__name__}, not a backtest's Report")
    names = [str(name) for name in reports]
    if len(set(names)) != len(names):
        raise ValueError(f"compare: the names must differ as text, got {names}")
    summaries = [report.summary(riskfree_rate) for report in reports.values()]
    text = pd.concat([summary["text"] for summary in summaries], axis=1, keys=names)
    values = pd.concat([summary["value"] for summary in summaries], axis=1, keys=names)
    daily = pd.concat([curve_returns(report.creturn).iloc[1:] for report in reports.values()], axis=1, keys=names)
    return Comparison(
        figures=values.loc[values.index.isin(list(FIGURE_LABELS))],
        text=text,
        correlation=daily.corr(),
        equity={name: report.invested() for name, report in zip(names, reports.values())},
    )

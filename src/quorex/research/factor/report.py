"""All of a factor's analysis at once, and its page."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass

import pandas as pd

from quorex.research.factor.panel import DEFAULT_PERIODS, checked_periods, factor_panel
from quorex.research.factor.quantiles import (
    checked_quantiles,
    factor_turnover,
    panel_quantile_equity,
    panel_quantile_returns,
)
from quorex.research.factor.signals import factor_autocorrelation, panel_ic, summarise_ic


@dataclass(frozen=True, eq=False)
class FactorReport:
    """A factor's analysis on one market, as ``factor_report`` computes it.

    Attributes
    ----------
    ic : DataFrame
        The information coefficient of each factor date and period.
    ic_summary : DataFrame
        Its statistics per period (``summarise_ic``).
    quantile_returns : DataFrame
        The mean forward return of each quantile and period, and the top
        minus bottom spread.
    quantile_equity : DataFrame
        The growth of each quantile's equal-weight basket.
    turnover : DataFrame
        The share of each quantile's names that changed since the previous
        factor date.
    autocorrelation : Series
        The rank correlation of each factor date with the previous one.
    method, quantiles, trade_at
        The settings used.
    """

    ic: pd.DataFrame
    ic_summary: pd.DataFrame
    quantile_returns: pd.DataFrame
    quantile_equity: pd.DataFrame
    turnover: pd.DataFrame
    autocorrelation: pd.Series
    method: str
    quantiles: int
    trade_at: str

    @property
    def periods(self) -> tuple[int, ...]:
        return tuple(int(period) for period in self.ic.columns)

    def to_html(self, path: str | os.PathLike[str] | None = None, *, title: str | None = None) -> str:
        """The analysis as a self-contained HTML page, written to ``path`` when given, and returned.

        Needs matplotlib (``pip install quorex[plot]``).
        """
        from quorex.pages.factor_page import factor_html
        from quorex.pages.html import written

        return written(factor_html(self, title=title), path)

    def __repr__(self) -> str:
        dates = self.ic.index
        span = f"{dates[0].date()}..{dates[-1].date()}" if len(dates) else "no dates"
        return f"<FactorReport {span}: {len(dates)} dates, periods {list(self.periods)}, {self.quantiles} quantiles>"


def factor_report(
    factor: pd.DataFrame,
    prices: object,
    periods: Sequence[int] | int = DEFAULT_PERIODS,
    quantiles: int = 5,
    method: str = "spearman",
    trade_at: str = "close",
    bad_prices: str = "raise",
) -> FactorReport:
    """The whole analysis of ``factor`` on ``prices`` (see ``quorex.factor``), inputs read once."""
    chosen, count = checked_periods(periods), checked_quantiles(quantiles)
    panel = factor_panel(factor, prices, trade_at, bad_prices)
    ic = panel_ic(panel, chosen, method)
    return FactorReport(
        ic=ic,
        ic_summary=summarise_ic(ic),
        quantile_returns=panel_quantile_returns(panel, count, chosen),
        quantile_equity=panel_quantile_equity(panel, count),
        turnover=factor_turnover(panel.factor, count),
        autocorrelation=factor_autocorrelation(panel.factor),
        method=method,
        quantiles=count,
        trade_at=trade_at,
    )

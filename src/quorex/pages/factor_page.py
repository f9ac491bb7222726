"""A factor's page: information coefficients, quantile returns and baskets, turnover and persistence.

Built from the public attributes of a factor analysis (``quorex.factor.factor_report``);
self-contained like the backtest's page.
"""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from quorex.pages.charts import log_scale, need_matplotlib, new_figure, percent_formatter, plot_line, style_axes, svg
from quorex.pages.html import date_text, escape, html_table, page, percent
from quorex.version import __version__

if TYPE_CHECKING:
    from quorex.research.factor.report import FactorReport

ROLLING_DATES = 63  # about three months of factor dates
STATISTIC_NAMES = {"mean": "mean IC", "std": "std", "icir": "IC / std", "t_stat": "t-statistic",
                   "positive": "share above 0", "dates": "dates"}


def factor_html(report: FactorReport, *, title: str | None = None) -> str:
    """The factor analysis ``report`` as a self-contained HTML page; ``title`` heads it."""
    need_matplotlib("the factor page")
    dates = report.ic.index
    if len(dates) == 0:
        raise ValueError("the factor analysis has no dates: nothing to draw")
    title = title or f"Factor analysis, {date_text(dates[0])} to {date_text(dates[-1])}"
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        sections = [
            _header(report, title),
            _ic_section(report),
            _quantile_section(report),
            _turnover_section(report),
        ]
    return page(title, sections)


def _header(report: FactorReport, title: str) -> str:
    dates = report.ic.index
    run_date = pd.Timestamp.now(tz="UTC").strftime("%Y-%m-%d %H:%M UTC")
    periods = ", ".join(str(p) for p in report.periods)
    return (
        f"<header><h1>{escape(title)}</h1>"
        f'<p class="meta">{len(dates):,} factor dates · {report.quantiles} quantiles · forward periods of '
        f"{escape(periods)} trading dates · {escape(report.method)} correlation · traded at the next "
        f"{escape(report.trade_at)}</p>"
        f'<p class="meta">made {run_date} with quorex {escape(__version__)}</p></header>'
    )


def _ic_section(report: FactorReport) -> str:
    shown = report.ic_summary.T.rename(columns=STATISTIC_NAMES)
    shown.index = [_period(p) for p in shown.index]
    formats = {name: _number for name in ("mean IC", "std", "IC / std", "t-statistic")}
    table = html_table(shown, formats | {"share above 0": percent, "dates": lambda v: f"{int(v):,}"}, index="period")
    figure = new_figure(3.2)
    axes = figure.subplots()
    first = report.ic.columns[0]
    plot_line(axes, report.ic[first].dropna(), color="#c8c8c8", lw=0.6, label=f"{first}-date IC")
    for period in report.ic.columns:
        rolling = report.ic[period].rolling(ROLLING_DATES, min_periods=ROLLING_DATES // 2).mean()
        plot_line(axes, rolling.dropna(), lw=1.2, label=f"{period}-date IC, rolling mean")
    axes.axhline(0.0, color="#444", lw=0.7)
    axes.set_ylabel("information coefficient")
    axes.legend(loc="upper left", frameon=False, fontsize=8, ncols=2)
    style_axes(axes)
    bars = new_figure(2.4)
    axes = bars.subplots()
    means = report.ic_summary.loc["mean"].to_numpy(dtype=np.float64)
    errors = 2.0 * np.abs(means / report.ic_summary.loc["t_stat"].to_numpy(dtype=np.float64))
    positions = np.arange(len(means))
    axes.bar(positions, means, 0.6, yerr=np.nan_to_num(errors), capsize=4, color="#1f5fa8")
    axes.set_xticks(positions, [_period(p) for p in report.ic.columns])
    axes.axhline(0.0, color="#444", lw=0.7)
    axes.set_ylabel("mean IC")
    style_axes(axes)
    return (
        "<section><h2>Information coefficient</h2>" + table
        + '<p class="note">The correlation across names of the factor with the forward return, each factor '
        "date. The t-statistic uses a Newey-West standard error with one lag less than the period, since "
        "forward returns of neighbouring dates overlap.</p>"
        + svg(figure) + "<h3>Mean IC by period (±2 standard errors)</h3>" + svg(bars) + "</section>"
    )


def _period(period: int) -> str:
    return f"{period} date" + ("" if period == 1 else "s")


def _number(value: float) -> str:
    return "n/a" if not np.isfinite(value) else f"{value:.4f}"


def _quantile_section(report: FactorReport) -> str:
    returns = report.quantile_returns
    shown = returns.copy()
    shown.columns = [_period(p) for p in returns.columns]
    table = html_table(shown, {column: lambda v: percent(v, 3) for column in shown.columns}, index="quantile")
    figure = new_figure(2.8)
    axes = figure.subplots()
    quantiles = returns.index[:-1]
    width = 0.8 / len(returns.columns)
    positions = np.arange(len(quantiles))
    for k, period in enumerate(returns.columns):
        per_date = returns.loc[quantiles, period].to_numpy(dtype=np.float64) / period
        axes.bar(positions + (k - (len(returns.columns) - 1) / 2) * width, per_date, width, label=_period(period))
    axes.set_xticks(positions, [str(q) for q in quantiles])
    axes.set_xlabel("quantile (1 = lowest factor)")
    axes.set_ylabel("mean return per trading date")
    axes.yaxis.set_major_formatter(percent_formatter(decimals=3))
    axes.axhline(0.0, color="#444", lw=0.7)
    axes.legend(loc="upper left", frameon=False, fontsize=8)
    style_axes(axes)
    equity = report.quantile_equity
    curves = new_figure(3.4)
    axes = curves.subplots()
    for quantile in equity.columns:
        plot_line(axes, equity[quantile], lw=1.1, label=f"quantile {quantile}")
    positive = bool((equity.to_numpy() > 0).all())
    if positive:
        log_scale(axes)
    axes.set_ylabel("growth (start = 1)" + (", log scale" if positive else ""))
    axes.legend(loc="upper left", frameon=False, fontsize=8)
    style_axes(axes)
    return (
        "<section><h2>Quantiles</h2>" + table
        + '<p class="note">Mean forward return of each quantile per period (equal weights within a quantile on '
        "each factor date, then the mean over the dates); the chart divides each by its period.</p>"
        + svg(figure) + "<h3>Each quantile's equal-weight basket, held one trading date at a time</h3>"
        + svg(curves) + "</section>"
    )


def _turnover_section(report: FactorReport) -> str:
    turnover = report.turnover
    figure = new_figure(3.4)
    top, bottom = figure.subplots(2, 1, sharex=True)
    for quantile in (turnover.columns[0], turnover.columns[-1]):
        rolling = turnover[quantile].rolling(ROLLING_DATES, min_periods=ROLLING_DATES // 2).mean()
        plot_line(top, rolling.dropna(), lw=1.1, label=f"quantile {quantile}")
    top.yaxis.set_major_formatter(percent_formatter())
    top.set_ylabel("names changed")
    top.legend(loc="upper right", frameon=False, fontsize=8, ncols=2)
    plot_line(bottom, report.autocorrelation.dropna(), color="#1f5fa8", lw=0.9)
    bottom.set_ylabel("rank autocorrelation")
    for axes in (top, bottom):
        style_axes(axes)
    table = pd.DataFrame({"mean turnover": turnover.mean()})
    return (
        "<section><h2>Turnover and persistence</h2>" + svg(figure)
        + html_table(table, {"mean turnover": percent}, index="quantile")
        + f'<p class="note">Turnover: the share of a quantile\'s names that were not in it on the previous '
        f"factor date (rolling mean of {ROLLING_DATES} dates). Rank autocorrelation: the factor's rank "
        f"correlation with the previous date's, {report.autocorrelation.mean():.3f} on average.</p></section>"
    )

"""Several backtests on one page: their summaries side by side, equity and drawdowns together,
the correlation of their daily returns. Built from a comparison's public attributes
(``quorex.compare``); self-contained like the backtest's page."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from quorex.pages.charts import (
    diverging_styles,
    log_scale,
    need_matplotlib,
    new_figure,
    percent_formatter,
    plot_line,
    style_axes,
    svg,
)
from quorex.pages.html import date_text, escape, html_table, page
from quorex.version import __version__

if TYPE_CHECKING:
    from quorex.research.compare import Comparison


def compare_html(comparison: Comparison, *, title: str | None = None) -> str:
    """The ``comparison`` as a self-contained HTML page; ``title`` heads it."""
    need_matplotlib("the comparison page")
    names = list(comparison.equity)
    title = title or f"{len(names)} backtests compared"
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        sections = [_header(comparison, title), _figures_section(comparison), _curves_section(comparison),
                    _correlation_section(comparison)]
    return page(title, sections)


def _header(comparison: Comparison, title: str) -> str:
    run_date = pd.Timestamp.now(tz="UTC").strftime("%Y-%m-%d %H:%M UTC")
    spans = " · ".join(
        f"{escape(name)}: {date_text(curve.index[0])} to {date_text(curve.index[-1])}" if len(curve) else
        f"{escape(name)}: no dates" for name, curve in comparison.equity.items()
    )
    return (
        f"<header><h1>{escape(title)}</h1><p class=\"meta\">{spans}</p>"
        f'<p class="meta">made {run_date} with quorex {escape(__version__)}</p></header>'
    )


def _figures_section(comparison: Comparison) -> str:
    text = comparison.text
    return (
        "<section><h2>Settings and figures</h2>"
        + html_table(text, index="")
        + '<p class="note">Each column is that backtest\'s summary, over its own dates.</p></section>'
    )


def _curves_section(comparison: Comparison) -> str:
    figure = new_figure(3.6)
    axes = figure.subplots()
    under = new_figure(2.4)
    lower = under.subplots()
    positive = all(curve.min() > 0 for curve in comparison.equity.values() if len(curve))
    for number, (name, curve) in enumerate(comparison.equity.items()):
        if len(curve) == 0:
            continue
        colour = f"C{number % 10}"  # matplotlib's cycle, one colour per backtest in both charts
        plot_line(axes, curve, lw=1.2, color=colour, label=str(name))
        plot_line(lower, curve / curve.cummax() - 1.0, lw=0.9, color=colour, label=str(name))
    if positive:
        log_scale(axes)
    axes.set_ylabel("equity (start = 1)" + (", log scale" if positive else ""))
    axes.legend(loc="upper left", frameon=False, fontsize=8)
    lower.set_ylabel("drawdown")
    lower.yaxis.set_major_formatter(percent_formatter())
    for each in (axes, lower):
        style_axes(each)
    return "<section><h2>Equity and drawdowns</h2>" + svg(figure) + svg(under) + "</section>"


def _correlation_section(comparison: Comparison) -> str:
    correlation = comparison.correlation
    styles = diverging_styles(correlation, 2.0)  # saturating beyond ±1: the text stays readable
    return (
        "<section><h2>Correlation of daily returns</h2>"
        + html_table(correlation, {c: lambda v: "n/a" if not np.isfinite(v) else f"{v:.2f}"
                                   for c in correlation.columns}, index="", styles=styles)
        + '<p class="note">Over the dates each pair of backtests shares.</p></section>'
    )

"""The backtest's page: one self-contained HTML file built from a ``Report``'s public API.

The page opens offline and archives well: styles are inline, every chart is
an inline SVG drawn with matplotlib (dense scatters are embedded as PNG
inside their SVG), and nothing is fetched from anywhere. Every figure on it
comes from ``quorex.figures``: the strategy's column is the report's
summary, the benchmark's is the same function on the benchmark over the
same dates.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.figures import (
    CURVE_LABELS,
    DISTRIBUTION_LABELS,
    FIGURE_LABELS,
    RISKFREE_RATE,
    curve_figures,
    format_figure,
    periods_per_year,
)
from quorex.pages.charts import (
    BENCHMARK_COLOUR,
    LOSS_COLOUR,
    STRATEGY_COLOUR,
    WIN_COLOUR,
    decimate,
    diverging_styles,
    log_scale,
    need_matplotlib,
    new_figure,
    percent_formatter,
    plot_line,
    scatter,
    style_axes,
    svg,
)
from quorex.pages.html import date_text, escape, html_table, page, percent, price_text
from quorex.version import __version__
from quorex.pages.series import MONTHS, daily_returns, drawdown_periods, exit_reason_table, monthly_table, yearly_returns
from quorex.pages.execution_section import execution_section
from quorex.pages.report_sections import benchmark_section, confidence_section, group_section, turnover_section

if TYPE_CHECKING:
    from quorex.backtest.report import Report

ROLLING_WINDOW = 126  # about six months of trading dates
TOP_TRADES = 10
MOST_HELD = 10


def report_html(
    report: Report, *, title: str | None = None, benchmark_name: str | None = None,
    groups: pd.Series | Mapping[object, object] | None = None, start: Any = None, end: Any = None,
) -> str:
    """The backtest ``report`` as a self-contained HTML page over ``report.period(start, end)``.

    ``title`` heads the page (default: the market and period);
    ``benchmark_name`` labels the benchmark (default "benchmark"); ``groups``
    (symbol → group, e.g. sectors) adds the exposure by group. Every figure,
    chart and table covers the period: the curves from its base, the trades
    entered in it.
    """
    need_matplotlib("the report page")
    period = report.period(start, end)
    equity = period.curve(report.creturn)
    benchmark = report.benchmark_on(equity.index)
    name = benchmark_name or "benchmark"
    summary = report.summary(RISKFREE_RATE, start=start, end=end)
    market = summary.loc["Market", "text"]
    title = title or f"Backtest on {market}, {date_text(period.start)} to {date_text(period.end)}"
    trips = report.round_trips.loc[period.covers(report.round_trips["entry_date"])]
    # Flat stretches make some ratios 0/0; they show as n/a.
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        sections = [
            _header(report, summary, title, period),
            _headline(summary, benchmark, name),
            confidence_section(report, summary, start, end),
            _equity_section(equity, benchmark, name),
            _calendar_section(equity, benchmark, name),
            _rolling_section(equity, benchmark, name),
            benchmark_section(equity, benchmark, name) if benchmark is not None else "",
            _trades_section(report, trips, equity, period),
            turnover_section(report, equity.index),
            _exposure_section(report, trips, equity.index),
            group_section(report, equity.index, groups) if groups is not None else "",
            _best_worst_section(trips),
            execution_section(report, summary),
        ]
    return page(title, sections)


def _header(report: Report, summary: pd.DataFrame, title: str, period: Any) -> str:
    start, end = period.start, period.end
    dates = period.curve(report.creturn).index
    years = (end - period.base).days / 365.25
    rebalances = int(period.covers(report.rebalance_dates).sum())
    run_date = pd.Timestamp.now(tz="UTC").strftime("%Y-%m-%d %H:%M UTC")
    settings = summary.loc[~summary.index.isin([*FIGURE_LABELS, "Measured"]), "text"]
    rules = " · ".join(f"{escape(label.lower())}: {escape(text)}" for label, text in settings.items())
    return (
        f"<header><h1>{escape(title)}</h1>"
        f'<p class="meta">measured {date_text(start)} to {date_text(end)}, {escape(period.reason)} ({years:.1f} years, '
        f"{len(dates):,} trading dates, {rebalances:,} rebalances)</p>"
        f'<p class="meta">{rules}</p>'
        f'<p class="meta">made {run_date} with quorex {escape(__version__)}</p></header>'
    )


def _headline(summary: pd.DataFrame, benchmark: pd.Series | None, name: str) -> str:
    """The summary's figures beside the benchmark's, over the same dates and by the same function."""
    theirs = curve_figures(benchmark, RISKFREE_RATE) if benchmark is not None else {}
    shown = summary.loc[summary.index.isin(list(FIGURE_LABELS)), "text"]
    rows = []
    for label, text in shown.items():
        figure = (CURVE_LABELS | DISTRIBUTION_LABELS).get(label, ("", ""))[0]
        their_text = format_figure(theirs.get(figure, np.nan), FIGURE_LABELS[label])
        rows.append(f"<tr><th>{escape(label)}</th><td>{escape(text)}</td><td>{escape(their_text)}</td></tr>")
    return (
        "<section><h2>Headline figures</h2>"
        f"<table><thead><tr><th></th><th>strategy</th><th>{escape(name)}</th></tr></thead>"
        f"<tbody>{''.join(rows)}</tbody></table>"
        f'<p class="note">Risk-free rate {RISKFREE_RATE:.0%}. Both columns cover the same dates and are '
        f"computed the same way; the {escape(name)} column is n/a where a figure needs trades or is taken "
        f"against the {escape(name)}.</p></section>"
    )


def _equity_section(equity: pd.Series, benchmark: pd.Series | None, name: str) -> str:
    figure = new_figure(3.6)
    axes = figure.subplots()
    plot_line(axes, equity, color=STRATEGY_COLOUR, lw=1.3, label="strategy")
    if benchmark is not None:
        plot_line(axes, benchmark, color=BENCHMARK_COLOUR, lw=1.0, label=name)
    positive = equity.min() > 0 and (benchmark is None or benchmark.min() > 0)
    if positive:
        log_scale(axes)
    axes.set_ylabel("equity (start = 1)" + (", log scale" if positive else ""))
    axes.legend(loc="upper left", frameon=False)
    style_axes(axes)

    worst = drawdown_periods(equity)
    under = new_figure(2.4)
    axes = under.subplots()
    drawdown = equity / equity.cummax() - 1.0
    thin = decimate(drawdown)
    axes.fill_between(thin.index, thin.to_numpy(), 0.0, color=LOSS_COLOUR, alpha=0.55, lw=0)
    for rank, period in enumerate(worst.itertuples(), start=1):
        stop = period.recovery if pd.notna(period.recovery) else equity.index[-1]
        axes.axvspan(period.start, stop, color="#f0b429", alpha=0.18, lw=0)
        axes.annotate(str(rank), (period.trough, period.depth), fontsize=8, ha="center", va="top")
    axes.set_ylabel("drawdown")
    axes.yaxis.set_major_formatter(percent_formatter())
    style_axes(axes)
    listing = html_table(
        worst.set_axis(range(1, len(worst) + 1)),
        {"start": date_text, "trough": date_text, "recovery": lambda v: "not yet" if pd.isna(v) else date_text(v),
         "depth": percent, "days": lambda v: f"{int(v):,}"},
        index="#",
    )
    return (
        "<section><h2>Equity and drawdowns</h2>" + svg(figure)
        + "<h3>Underwater curve, the five worst drawdowns shaded</h3>" + svg(under) + listing
        + '<p class="note">days: trading dates from the peak to the recovery (or to the last date).</p></section>'
    )


def _calendar_section(equity: pd.Series, benchmark: pd.Series | None, name: str) -> str:
    grid = monthly_table(equity)
    limit = float(np.nanmax(np.abs(grid[list(range(1, 13))].to_numpy()))) if grid.size else 1.0
    shown = grid.rename(columns=dict(zip(range(1, 13), MONTHS)))
    heatmap = html_table(
        shown, {column: lambda v: "" if pd.isna(v) else f"{v:.1%}" for column in shown.columns},
        index="year", styles=diverging_styles(shown, limit),
    )
    ours = yearly_returns(equity)
    theirs = yearly_returns(benchmark).reindex(ours.index) if benchmark is not None else None
    figure = new_figure(2.8)
    axes = figure.subplots()
    positions = np.arange(len(ours))
    width = 0.4 if theirs is not None else 0.7
    axes.bar(positions - (width / 2 if theirs is not None else 0), ours.to_numpy(), width,
             color=STRATEGY_COLOUR, label="strategy")
    if theirs is not None:
        axes.bar(positions + width / 2, theirs.to_numpy(), width, color=BENCHMARK_COLOUR, label=name)
    axes.set_xticks(positions, [str(y) for y in ours.index], rotation=45 if len(ours) > 12 else 0, fontsize=8)
    axes.axhline(0.0, color="#444", lw=0.7)
    axes.yaxis.set_major_formatter(percent_formatter())
    axes.legend(loc="upper left", frameon=False)
    style_axes(axes)
    return (
        "<section><h2>Monthly and yearly returns</h2>" + heatmap
        + "<h3>Yearly returns</h3>" + svg(figure) + "</section>"
    )


def _rolling_section(equity: pd.Series, benchmark: pd.Series | None, name: str) -> str:
    returns = daily_returns(equity)
    factor, _ = periods_per_year(equity.index)
    riskfree = (1.0 + RISKFREE_RATE) ** (1.0 / factor) - 1.0
    figure = new_figure(4.2)
    top, bottom = figure.subplots(2, 1, sharex=True)
    series = [("strategy", returns, STRATEGY_COLOUR)]
    if benchmark is not None:
        series.append((name, daily_returns(benchmark), BENCHMARK_COLOUR))
    for label, daily, colour in series:
        window = daily.rolling(ROLLING_WINDOW, min_periods=ROLLING_WINDOW)
        deviation = window.std()
        sharpe = (window.mean() - riskfree) / deviation.where(deviation > 0) * np.sqrt(factor)
        plot_line(top, sharpe.dropna(), color=colour, lw=1.0, label=label)
        plot_line(bottom, (deviation * np.sqrt(factor)).dropna(), color=colour, lw=1.0, label=label)
    top.axhline(0.0, color="#444", lw=0.7)
    top.set_ylabel("Sharpe ratio")
    top.legend(loc="upper left", frameon=False)
    bottom.set_ylabel("volatility")
    bottom.yaxis.set_major_formatter(percent_formatter())
    for axes in (top, bottom):
        style_axes(axes)
    return (
        f"<section><h2>Rolling six months ({ROLLING_WINDOW} trading dates)</h2>" + svg(figure)
        + f'<p class="note">Annualised, risk-free rate {RISKFREE_RATE:.0%}.</p></section>'
    )


def _trades_section(report: Report, trades: pd.DataFrame, equity: pd.Series, period: Any) -> str:
    parts = ["<section><h2>Trades</h2>"]
    if trades.empty:
        return parts[0] + '<p class="note">No trades.</p></section>'
    records = int(period.covers(report.trades["entry_date"]).sum())
    parts.append(f'<p class="note">{len(trades):,} round trips ({records:,} trade records: a position kept '
                 "through a rebalance is one round trip), those entered in the measured period.</p>")
    parts.append(_excursion_charts(trades))
    if "exit_reason" in trades:
        table = exit_reason_table(trades)
        parts.append("<h3>Exit reasons</h3>" + html_table(
            table.rename(columns={"average_return": "average return"}),
            {"trades": lambda v: f"{int(v):,}", "average return": percent, "contribution": percent},
            index="exit reason",
        ) + '<p class="note">contribution: the sum of |position| × return over the trades, in fractions of '
            "equity at each entry (no compounding).</p>")
    parts.append(_costs_part(report, equity, period))
    return "".join(parts) + "</section>"


def _excursion_charts(trades: pd.DataFrame) -> str:
    final = trades["return"].to_numpy(dtype=np.float64)
    colours = np.where(final > 0, WIN_COLOUR, LOSS_COLOUR)
    figure = new_figure(3.6)
    left, right = figure.subplots(1, 2, sharey=True)
    for axes, column, label in ((left, "mae", "MAE (worst excursion)"), (right, "gmfe", "MFE (best excursion)")):
        if column not in trades:
            continue
        scatter(axes, trades[column].to_numpy(dtype=np.float64), final, colours)
        axes.set_xlabel(label)
        axes.axhline(0.0, color="#444", lw=0.6)
        axes.xaxis.set_major_formatter(percent_formatter())
        axes.yaxis.set_major_formatter(percent_formatter())
        style_axes(axes)
    left.set_ylabel("final return")
    return (
        "<h3>Excursions against the final return</h3>" + svg(figure)
        + f'<p class="note">{int((final > 0).sum()):,} winners (green), {int((final <= 0).sum()):,} losers (red).</p>'
    )


def _costs_part(report: Report, equity: pd.Series, period: Any) -> str:
    """The fees, taxes and slippage paid in the period, as fractions of the equity on the dates they were paid."""
    costs = report.costs.loc[period.covers(report.costs.index)] / report.money_unit
    # Costs are charged on the equity at the previous close.
    base = report.creturn.shift(1, fill_value=1.0).reindex(costs.index)
    kinds = {"fees": "fee", "taxes": "tax"} | ({"slippage": "slippage"} if costs["slippage"].any() else {})
    paid = [float(costs[column].sum()) for column in kinds.values()]
    shares = [float((costs[column] / base).sum()) for column in kinds.values()]
    years = max((equity.index[-1] - equity.index[0]).days / 365.25, 1.0 / 365.25)
    rows = pd.DataFrame({
        "paid (of the starting capital)": [*paid, sum(paid)],
        "paid (of the equity at the time)": [*shares, sum(shares)],
        "drag on annual return": [share / years for share in [*shares, sum(shares)]],
    }, index=[*kinds, "total"])
    return (
        "<h3>Costs paid</h3>" + html_table(rows, {c: percent for c in rows.columns}, index="")
        + '<p class="note">The fees and taxes the run paid, as the engine charged them. Each cost is also '
        "taken as a fraction of the equity on the date it was paid; the drag is the sum of those fractions "
        "divided by the years of the run, without compounding.</p>"
    )


def _exposure_section(report: Report, trades: pd.DataFrame, index: pd.DatetimeIndex) -> str:
    position = report.position.reindex(index)
    # NumPy on one array: a universe of thousands of stocks over decades is
    # tens of millions of weights, too many for frame-wide fillna and abs.
    weights = np.nan_to_num(position.to_numpy(dtype=np.float64))
    count = pd.Series(np.count_nonzero(weights, axis=1).astype(np.float64), index=index)
    figure = new_figure(4.2)
    top, bottom = figure.subplots(2, 1, sharex=True)
    plot_line(top, count, color=STRATEGY_COLOUR, lw=1.0, drawstyle="steps-post")
    top.set_ylabel("stocks held")
    plot_line(bottom, pd.Series(np.abs(weights).sum(axis=1), index=index), color=STRATEGY_COLOUR, lw=1.0,
               label="gross")
    plot_line(bottom, pd.Series(weights.sum(axis=1), index=index), color="#e67e22", lw=1.0, ls="--", label="net")
    bottom.set_ylabel("exposure")
    bottom.yaxis.set_major_formatter(percent_formatter())
    bottom.legend(loc="lower left", frameon=False, ncols=2)
    for axes in (top, bottom):
        style_axes(axes)
    days = pd.Series(np.count_nonzero(weights, axis=0), index=position.columns)
    most = days[days > 0].nlargest(MOST_HELD)
    chosen = weights[:, position.columns.get_indexer(most.index)]
    with np.errstate(invalid="ignore"):
        average = np.where(chosen != 0, chosen, 0.0).sum(axis=0) / most.to_numpy()
    trade_counts = trades["stock_id"].astype(str).value_counts()
    table = pd.DataFrame({
        "days held": most.to_numpy(),
        "share of the run": most.to_numpy() / max(len(index), 1),
        "average weight": average,
        "trades": trade_counts.reindex(most.index.astype(str)).fillna(0).to_numpy(),
    }, index=most.index)
    return (
        "<section><h2>Exposure and holdings</h2>" + svg(figure)
        + '<p class="note">From the target weights applied at each rebalance (not drifted market values).</p>'
        + "<h3>The ten most-held stocks</h3>" + html_table(
            table, {"days held": lambda v: f"{int(v):,}", "share of the run": percent,
                    "average weight": percent, "trades": lambda v: f"{int(v):,}"},
            index="stock",
        ) + "</section>"
    )


def _best_worst_section(trades: pd.DataFrame) -> str:
    if trades.empty:
        return ""
    columns = [c for c in ("stock_id", "entry_date", "exit_date", "period", "position", "entry_price",
                           "exit_price", "exit_reason", "mae", "gmfe", "return") if c in trades]
    ranked = trades.dropna(subset=["return"]).sort_values("return", ascending=False, kind="stable")
    formats = {"entry_date": date_text, "exit_date": date_text, "position": percent, "mae": percent,
               "gmfe": percent, "return": percent, "period": lambda v: f"{int(v):,}",
               "entry_price": price_text, "exit_price": price_text}

    formats = {TRADE_HEADINGS.get(column, column): style for column, style in formats.items()}

    def listing(frame: pd.DataFrame) -> str:
        shown = frame[columns].rename(columns=TRADE_HEADINGS).reset_index(drop=True)
        shown.index = shown.index + 1
        return html_table(shown, formats, index="#")

    return (
        "<section><h2>Best and worst trades</h2><h3>Best 10</h3>" + listing(ranked.head(TOP_TRADES))
        + "<h3>Worst 10</h3>" + listing(ranked.tail(TOP_TRADES).iloc[::-1]) + "</section>"
    )


TRADE_HEADINGS = {
    "stock_id": "stock", "entry_date": "entry", "exit_date": "exit", "period": "days", "entry_price": "entry price",
    "exit_price": "exit price", "exit_reason": "exit reason", "mae": "MAE", "gmfe": "MFE",
}

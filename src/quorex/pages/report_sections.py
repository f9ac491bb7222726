"""Sections of the backtest's page beyond the curve itself: confidence bands, the benchmark-relative
charts, yearly turnover and the exposure by group. Built, like the page, from ``Report``'s public API."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.figures import CURVE_LABELS, RISKFREE_RATE, rolling_beta, turnover_by_year, years_between, yearly_turnover
from quorex.pages.charts import (
    BENCHMARK_COLOUR,
    STRATEGY_COLOUR,
    new_figure,
    percent_formatter,
    plot_line,
    style_axes,
    svg,
)
from quorex.pages.html import escape, html_table, percent
from quorex.pages.series import daily_returns

if TYPE_CHECKING:
    from quorex.backtest.report import Report

BETA_WINDOW = 126  # about six months of trading dates
HISTOGRAM_BINS = 80
UNGROUPED = "(no group)"
RESAMPLES = 1000
MEAN_BLOCK = 21


def confidence_section(report: Report, summary: pd.DataFrame, start: Any = None, end: Any = None) -> str:
    """The summary's point figures beside their 5 %, 50 % and 95 % bootstrap quantiles (over the
    same period as the summary: ``start`` and ``end`` as it was given them)."""
    bands = report.bootstrap(RESAMPLES, MEAN_BLOCK, seed=0, riskfree_rate=RISKFREE_RATE, start=start, end=end)
    labels = {name: (label, kind) for label, (name, kind) in CURVE_LABELS.items()}
    rows = []
    for name, quantiles in bands.iterrows():
        label, kind = labels[name]
        shown = [summary.loc[label, "text"], *(_written(value, kind) for value in quantiles)]
        rows.append(f"<tr><th>{escape(label)}</th>" + "".join(f"<td>{escape(t)}</td>" for t in shown) + "</tr>")
    heads = "".join(f"<th>{q:.0%}</th>" for q in bands.columns)
    return (
        "<section><h2>Confidence bands</h2>"
        f"<table><thead><tr><th></th><th>backtest</th>{heads}</tr></thead><tbody>{''.join(rows)}</tbody></table>"
        f'<p class="note">Quantiles of each figure over {RESAMPLES:,} stationary block-bootstrap resamples of '
        f"the daily returns (blocks of random length, {MEAN_BLOCK} trading dates on average, seed 0), over the "
        "summary's dates: the spread the figures would have had over other orderings of the same days.</p>"
        "</section>"
    )


def _written(value: float, kind: str) -> str:
    return percent(value) if kind == "percent" else ("n/a" if not np.isfinite(value) else f"{value:.3f}")


def benchmark_section(equity: pd.Series, benchmark: pd.Series, name: str) -> str:
    """Rolling beta against the benchmark, and the two distributions of daily returns."""
    ours, theirs = daily_returns(equity), daily_returns(benchmark)
    beta = rolling_beta(ours, theirs.reindex(ours.index), BETA_WINDOW).dropna()
    figure = new_figure(2.6)
    axes = figure.subplots()
    plot_line(axes, beta, color=STRATEGY_COLOUR, lw=1.0)
    axes.axhline(1.0, color="#444", lw=0.7, ls="--")
    axes.set_ylabel("beta")
    style_axes(axes)
    histogram = new_figure(2.8)
    axes = histogram.subplots()
    values = [series.iloc[1:].to_numpy(dtype=np.float64) for series in (ours, theirs)]
    finite = np.concatenate([v[np.isfinite(v)] for v in values])
    bins = np.linspace(finite.min(), finite.max(), HISTOGRAM_BINS + 1) if len(finite) else HISTOGRAM_BINS
    for data, colour, label in zip(values, (STRATEGY_COLOUR, BENCHMARK_COLOUR), ("strategy", name)):
        axes.hist(data[np.isfinite(data)], bins=bins, color=colour, alpha=0.55, label=label)
    axes.xaxis.set_major_formatter(percent_formatter())
    axes.set_ylabel("trading dates")
    axes.legend(loc="upper left", frameon=False)
    style_axes(axes)
    return (
        f"<section><h2>Against the {escape(name)}</h2>"
        f"<h3>Rolling beta ({BETA_WINDOW} trading dates)</h3>" + svg(figure)
        + "<h3>Daily returns</h3>" + svg(histogram)
        + '<p class="note">Beta: the covariance of the daily returns with the benchmark\'s over their '
        "variance. The summary's figures against the benchmark cover its whole period.</p></section>"
    )


def turnover_section(report: Report, measured: pd.DatetimeIndex) -> str:
    """The one-way turnover traded in each calendar year, and a year over the ``measured`` dates."""
    trades, dates = report.trades, report.creturn.index
    arrays = (trades["position"].to_numpy(dtype=np.float64), pd.factorize(trades["stock_id"])[0],
              trades["entry_index"].to_numpy(), trades["exit_index"].to_numpy())
    by_year = turnover_by_year(*arrays, dates)
    inside = (trades["entry_date"] >= measured[0]).to_numpy() & (trades["entry_date"] <= measured[-1]).to_numpy()
    overall = (yearly_turnover(*(a[inside] for a in arrays), years_between(measured[0], measured[-1]))
               if len(measured) > 1 else np.nan)
    figure = new_figure(2.6)
    axes = figure.subplots()
    positions = np.arange(len(by_year))
    axes.bar(positions, by_year.to_numpy(), 0.7, color=STRATEGY_COLOUR)
    axes.set_xticks(positions, [str(y) for y in by_year.index], rotation=45 if len(by_year) > 12 else 0, fontsize=8)
    axes.yaxis.set_major_formatter(percent_formatter())
    axes.set_ylabel("one-way turnover")
    style_axes(axes)
    return (
        "<section><h2>Turnover</h2>" + svg(figure)
        + f'<p class="note">Half the absolute change of the held target weights traded in each calendar year '
        f"(the first and last may be partial); {percent(overall, 0)} a year over the measured period.</p></section>"
    )


def group_section(report: Report, index: pd.DatetimeIndex, groups: pd.Series | Mapping[object, object]) -> str:
    """The net weight held in each group (sector, say) over time, and on average."""
    exposure = group_exposure(report.position.reindex(index), groups)
    figure = new_figure(3.4)
    axes = figure.subplots()
    values = exposure.to_numpy()
    if (values >= 0).all():
        thin = exposure.iloc[:: max(1, len(exposure) // 1000)]
        axes.stackplot(thin.index, thin.to_numpy().T, labels=[str(g) for g in exposure.columns], alpha=0.85)
    else:
        for group in exposure.columns:
            plot_line(axes, exposure[group], lw=1.0, label=str(group))
    axes.yaxis.set_major_formatter(percent_formatter())
    axes.set_ylabel("net weight")
    axes.legend(loc="upper left", frameon=False, fontsize=7, ncols=min(len(exposure.columns), 6))
    style_axes(axes)
    table = pd.DataFrame({"average": exposure.mean(), "lowest": exposure.min(), "highest": exposure.max()})
    return (
        "<section><h2>Exposure by group</h2>" + svg(figure)
        + html_table(table, {column: percent for column in table.columns}, index="group")
        + f'<p class="note">The target weights applied, summed by group; symbols without a group are '
        f"{escape(UNGROUPED)}.</p></section>"
    )


def group_exposure(position: pd.DataFrame, groups: pd.Series | Mapping[object, object]) -> pd.DataFrame:
    """Net weight by group (dates × groups) from held weights (dates × symbols) and symbol → group."""
    if not isinstance(groups, (pd.Series, Mapping)):
        raise TypeError(f"groups must be a Series or mapping of symbol → group, got {type(groups).__name__}")
    given = groups if isinstance(groups, pd.Series) else pd.Series(dict(groups), dtype=object)
    labels = given.reindex(position.columns)
    weights = np.nan_to_num(position.to_numpy(dtype=np.float64))
    held = np.count_nonzero(weights, axis=0) > 0
    if held.any() and labels[held].isna().all():
        raise ValueError(
            f"groups: none of the {int(held.sum())} held symbols has a group; give a Series indexed by the "
            f"symbols of the prices' columns, e.g. {list(position.columns[held][:3])}"
        )
    # Written as text: groups given as numbers sort and print like the others.
    codes, names = pd.factorize(labels.map(str, na_action="ignore").fillna(UNGROUPED), sort=True)
    one_hot = np.zeros((len(codes), len(names)))
    one_hot[np.arange(len(codes)), codes] = 1.0
    return pd.DataFrame(weights @ one_hot, index=position.index, columns=pd.Index(names, name="group"))

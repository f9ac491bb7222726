"""A parameter sweep's page: the table of all sets, a heatmap, overfitting, the best curves.

Built from the sweep's table (parameters and figures, one row per set) and
its daily returns; self-contained like the backtest's page.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from quorex.figures import CAPACITY_FIGURES, SWEEP_FIGURES
from quorex.pages.charts import (
    LOSS_COLOUR,
    STRATEGY_COLOUR,
    WIN_COLOUR,
    log_scale,
    need_matplotlib,
    new_figure,
    percent_formatter,
    plot_line,
    scatter,
    style_axes,
    svg,
)
from quorex.pages.html import SORT_SCRIPT, date_text, default_format, escape, html_table, page, percent
from quorex.version import __version__

BEST_CURVES = 10
_PERCENT_FIGURES = {"annual_return", "max_drawdown", "volatility", "win_rate", "expectancy", "value_at_risk",
                    "cvalue_at_risk", "psr", "dsr", "unfilled_share", "slippage_per_year"}


def sweep_html(
    table: pd.DataFrame,
    returns: pd.DataFrame,
    *,
    by: str = "sharpe_ratio",
    params: Sequence[str] | None = None,
    pbo: Any = None,
    title: str | None = None,
) -> str:
    """A parameter sweep as a self-contained HTML page.

    ``table`` has one row per parameter set (parameter columns, then the
    figure columns); ``returns`` the sets' daily returns, dates × sets, its
    columns the labels of ``table``'s rows. ``by`` ranks the sets (higher is
    better); the heatmap shows it over the first two of ``params`` (default:
    the table's parameter columns). ``pbo``, when given, has ``pbo``,
    ``logits``, ``in_sample`` and ``out_of_sample``.
    """
    need_matplotlib("the sweep page")
    if by not in table.columns:
        raise ValueError(f"by={by!r} is not a column of the sweep table (columns: {list(table.columns)})")
    params = list(params) if params is not None else [c for c in table.columns if c not in (*SWEEP_FIGURES, "error")]
    missing = [p for p in params if p not in table.columns]
    if missing:
        raise ValueError(f"params {missing} are not columns of the sweep table")
    returns = _returns_by_set(table, returns)
    ranked = table.sort_values(by, ascending=False, na_position="last", kind="stable")
    title = title or f"Parameter sweep: {len(table):,} sets ranked by {by}"
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        sections = [
            _sweep_header(title, table, returns, by),
            _sweep_table(ranked, params, by),
            _sweep_heatmap(table, params, by),
            capacity_section(table) if "capital" in params else "",
            _overfitting_section(pbo),
            _dsr_section(ranked, by),
            _best_curves(ranked, returns, by),
        ]
    return page(title, sections, script=SORT_SCRIPT)


def _returns_by_set(table: pd.DataFrame, returns: pd.DataFrame) -> pd.DataFrame:
    """``returns`` with one column per row of ``table``, in the table's row order."""
    missing = table.index.difference(returns.columns)
    if missing.empty:
        return returns[table.index]
    if isinstance(table.index, pd.RangeIndex) and returns.shape[1] == len(table):
        return returns.set_axis(table.index, axis=1)
    raise ValueError(
        f"the returns have no column for sets {list(missing[:5])}"
        f"{' ...' if len(missing) > 5 else ''} of the sweep table"
    )


def _sweep_header(title: str, table: pd.DataFrame, returns: pd.DataFrame, by: str) -> str:
    dates = returns.index
    period = f"{date_text(dates[0])} to {date_text(dates[-1])}" if len(dates) else "no dates"
    failed = int(table["error"].notna().sum()) if "error" in table else 0
    run_date = pd.Timestamp.now(tz="UTC").strftime("%Y-%m-%d %H:%M UTC")
    return (
        f"<header><h1>{escape(title)}</h1><p class=\"meta\">{len(table):,} parameter sets · {period}"
        f" · ranked by {escape(by)}{f' · {failed:,} failed' if failed else ''}</p>"
        f'<p class="meta">made {run_date} with quorex {escape(__version__)}</p></header>'
    )


def _sweep_table(ranked: pd.DataFrame, params: list[str], by: str) -> str:
    columns = params + [c for c in ranked.columns if c not in params]
    formats = {c: (percent if c in _PERCENT_FIGURES else default_format) for c in columns}
    formats |= {"trades": lambda v: "n/a" if pd.isna(v) else f"{int(v):,}",
                "error": lambda v: "" if v is None or (isinstance(v, float) and np.isnan(v)) else str(v)}
    return (
        f"<section><h2>All sets, best {escape(by)} first</h2>"
        '<p class="note">Click a column heading to sort by it.</p><div class="scroll">'
        + html_table(ranked[columns], formats, index="set", sortable=True) + "</div></section>"
    )


def _sweep_heatmap(table: pd.DataFrame, params: list[str], by: str) -> str:
    if not params:
        return ""
    figure = new_figure(3.8, 7.0)
    axes = figure.subplots()
    if len(params) == 1:
        line = table.groupby(params[0])[by].mean()
        axes.plot(np.arange(len(line)), line.to_numpy(dtype=np.float64), marker="o", color=STRATEGY_COLOUR)
        axes.set_xticks(np.arange(len(line)), [str(v) for v in line.index])
        axes.set_xlabel(params[0])
        axes.set_ylabel(by)
        style_axes(axes)
    else:
        grid = table.pivot_table(index=params[0], columns=params[1], values=by, aggfunc="mean")
        values = grid.to_numpy(dtype=np.float64)
        image = axes.imshow(values, cmap="RdYlGn", aspect="auto", origin="lower")
        axes.set_xticks(np.arange(grid.shape[1]), [str(v) for v in grid.columns], fontsize=8)
        axes.set_yticks(np.arange(grid.shape[0]), [str(v) for v in grid.index], fontsize=8)
        axes.set_xlabel(params[1])
        axes.set_ylabel(params[0])
        if values.size <= 150:
            for (row, column), value in np.ndenumerate(values):
                if np.isfinite(value):
                    axes.text(column, row, f"{value:.2f}", ha="center", va="center", fontsize=7)
        figure.colorbar(image, ax=axes, label=by)
    others = ", averaged over the other parameters" if len(params) > 2 else ""
    return (
        f"<section><h2>{escape(by)} over {escape(' and '.join(params[:2]))}</h2>" + svg(figure)
        + (f'<p class="note">Mean of each cell{others}.</p>' if others else "") + "</section>"
    )


def _overfitting_section(pbo: Any) -> str:
    if pbo is None:
        return ""
    in_sample = np.asarray(pbo.in_sample, dtype=np.float64)
    out_of_sample = np.asarray(pbo.out_of_sample, dtype=np.float64)
    logits = np.asarray(pbo.logits, dtype=np.float64)
    figure = new_figure(3.6)
    left, right = figure.subplots(1, 2)
    colours = np.where(out_of_sample > 0, WIN_COLOUR, LOSS_COLOUR)
    scatter(left, in_sample, out_of_sample, colours)
    left.axhline(0.0, color="#444", lw=0.6)
    left.set_xlabel("in-sample Sharpe of the selected set")
    left.set_ylabel("its out-of-sample Sharpe")
    finite = logits[np.isfinite(logits)]
    right.hist(finite, bins=min(40, max(5, len(finite) // 5 or 5)), color=STRATEGY_COLOUR, alpha=0.8)
    right.axvline(0.0, color=LOSS_COLOUR, lw=1.0)
    right.set_xlabel("logit of the selected set's out-of-sample rank")
    right.set_ylabel("splits")
    for axes in (left, right):
        style_axes(axes)
    return (
        "<section><h2>Overfitting</h2>"
        f'<p class="meta">Probability of backtest overfitting: <b>{percent(float(pbo.pbo), 1)}</b>'
        f" over {len(logits):,} splits (the share of logits at or below 0).</p>" + svg(figure) + "</section>"
    )


def _dsr_section(ranked: pd.DataFrame, by: str) -> str:
    if "dsr" not in ranked:
        return ""
    dsr = ranked["dsr"].to_numpy(dtype=np.float64)
    figure = new_figure(2.8)
    axes = figure.subplots()
    positions = np.arange(1, len(dsr) + 1)
    if len(dsr) <= 120:
        axes.bar(positions, dsr, color=np.where(dsr >= 0.95, WIN_COLOUR, STRATEGY_COLOUR), width=0.8)
    else:
        axes.plot(positions, dsr, color=STRATEGY_COLOUR, lw=0.8, marker=".", ms=2, ls="none")
    axes.axhline(0.95, color=LOSS_COLOUR, lw=0.8, ls="--")
    axes.set_ylim(0.0, 1.0)
    axes.set_xlabel(f"set, by rank of {by}")
    axes.set_ylabel("deflated Sharpe ratio")
    style_axes(axes)
    return (
        "<section><h2>Deflated Sharpe ratio per set</h2>" + svg(figure)
        + f'<p class="note">{int((dsr >= 0.95).sum()):,} of {len(dsr):,} sets at or above 0.95 (dashed).</p></section>'
    )


def _best_curves(ranked: pd.DataFrame, returns: pd.DataFrame, by: str) -> str:
    best = ranked.index[:BEST_CURVES]
    if returns.empty or len(best) == 0:
        return ""
    equity = (1.0 + returns[best].fillna(0.0)).cumprod()
    figure = new_figure(3.8)
    axes = figure.subplots()
    palette = [f"C{i}" for i in range(10)]
    for colour, label in zip(palette, best):
        plot_line(axes, equity[label], color=colour, lw=1.0, label=str(label))
    if (equity > 0).all().all():
        log_scale(axes)
    axes.set_ylabel("equity (start = 1)")
    axes.legend(loc="upper left", frameon=False, fontsize=8, ncols=2, title=f"set (best {by})")
    style_axes(axes)
    return f"<section><h2>Equity of the best {len(best)} sets</h2>" + svg(figure) + "</section>"


def capacity_section(table: pd.DataFrame) -> str:
    """The capacity curve: return, Sharpe ratio, drawdown and what the market did not fill, by
    starting capital (averaged over the other parameters)."""
    curve = table.groupby("capital")[list(CAPACITY_FIGURES)].mean().sort_index()
    if len(curve) < 2:
        return ""
    figure = new_figure(3.4, 9.0)
    left, right = figure.subplots(1, 2)
    capital = curve.index.to_numpy(dtype=np.float64)
    for axes, names in ((left, ("annual_return", "max_drawdown")), (right, ("unfilled_share", "slippage_per_year"))):
        for name, colour in zip(names, (STRATEGY_COLOUR, LOSS_COLOUR)):
            axes.plot(capital, curve[name].to_numpy(dtype=np.float64), marker="o", color=colour, label=name)
        axes.set_xscale("log")
        axes.set_xlabel("starting capital")
        axes.yaxis.set_major_formatter(percent_formatter(1))
        axes.legend(loc="best", frameon=False, fontsize=8)
        style_axes(axes)
    sharpe = ", ".join(f"{v:,.0f}: {s:.2f}" for v, s in zip(capital, curve["sharpe_ratio"]))
    return (
        "<section><h2>Capacity</h2>" + svg(figure)
        + f'<p class="note">Sharpe ratio by starting capital: {escape(sharpe)}. The unfilled share is the part '
        "of the orders' value the market did not fill on the date it was due (price limits, untradable days, "
        "the volume cap); slippage per year is a fraction of the starting capital.</p></section>"
    )

"""A report's summary: the run's settings, then its figures, as values and as text."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.figures import (
    CURVE_LABELS,
    DISTRIBUTION_LABELS,
    RELATIVE_FIGURES,
    RELATIVE_LABELS,
    TRADE_LABELS,
    curve_figures,
    curve_relative_figures,
    format_figure,
    trade_figures,
)

if TYPE_CHECKING:
    from quorex.backtest.period import Period
    from quorex.backtest.report import Report

Row = tuple[str, float, str]


def summary_table(report: Report, riskfree_rate: float, period: Period) -> pd.DataFrame:
    """The rows of ``Report.summary``: settings, curve figures, trade figures, over ``period``."""
    rows = settings_rows(report, period) + _curve_rows(report, riskfree_rate, period) + _trade_rows(report, period)
    frame = pd.DataFrame(
        {"value": [r[1] for r in rows], "text": [r[2] for r in rows]},
        index=pd.Index([r[0] for r in rows], name="figure"),
    )
    frame["value"] = frame["value"].astype(np.float64)
    return frame


def settings_rows(report: Report, period: Period) -> list[Row]:
    """The run's market, costs, exit rules, exit mode, rebalance rule, trade price, the period
    measured and the data warnings."""
    zone = getattr(report.market, "timezone", None)
    name = market_name(report.market)
    rows = [
        ("Market", np.nan, f"{name} ({zone})" if zone else name),
        ("Fee", float(report.fee_ratio), _cost_text(report.fee_ratio)),
        ("Tax on sales", float(report.tax_ratio), _cost_text(report.tax_ratio)),
    ]
    for label, value in (("Stop loss", report.stop_loss), ("Take profit", report.take_profit),
                         ("Trail stop", report.trail_stop)):
        rows.append((label, np.nan if value is None else float(value),
                     "off" if value is None else _cost_text(value)))
    rows.append(("Exits at", np.nan, "touched level" if report.touched_exit else "next trade price"))
    rows.append(("Rebalance", np.nan, _rebalance_text(report.rebalance)))
    rows.append(("Trade at", np.nan, str(report.trade_at)))
    rows.append(("Measured", np.nan, period.text()))
    splits = len(report.suspected_splits)
    rows.append(("Suspected unadjusted splits", float(splits), "none" if not splits else f"{splits}"))
    return rows


def _curve_rows(report: Report, riskfree_rate: float, period: Period) -> list[Row]:
    # Flat or tiny curves make some ratios 0/0; they read as NaN here.
    curve = period.curve(report.creturn)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        figures = curve_figures(curve, riskfree_rate)
        benchmark = report.benchmark_on(curve.index)
        if benchmark is None:
            figures |= dict.fromkeys(RELATIVE_FIGURES, np.nan)
        else:
            figures |= curve_relative_figures(curve, benchmark)
    labels = CURVE_LABELS | RELATIVE_LABELS | DISTRIBUTION_LABELS
    return [(label, figures[name], format_figure(figures[name], kind)) for label, (name, kind) in labels.items()]


def _trade_rows(report: Report, period: Period) -> list[Row]:
    trades = report.trades.loc[period.covers(report.trades["entry_date"])]
    trips = report.round_trips.loc[period.covers(report.round_trips["entry_date"])]
    costs = report.costs.loc[period.covers(report.costs.index)]
    priced = trips.loc[trips["return"].notna()]
    values = trade_figures(trips["return"].to_numpy(dtype=np.float64)) | {
        "mae": float(priced["mae"].mean()) if len(priced) else np.nan,
        "gmfe": float(priced["gmfe"].mean()) if len(priced) else np.nan,
        "records": float(len(trades)),
        "records_without_return": float(trades["return"].isna().sum()),
        "fee_paid": float(costs["fee"].sum()),
        "tax_paid": float(costs["tax"].sum()),
        "capacity": _capacity(report, period),
    }
    return [(label, values[name], format_figure(values[name], kind)) for label, (name, kind) in TRADE_LABELS.items()]


def _capacity(report: Report, period: Period) -> float:
    """The metrics' capacity; undefined (NaN) without turnover data, where they give 0."""
    if "turnover@entry_date" not in report.trades:
        return np.nan
    return float(report.metrics_over(period).capacity())


def _cost_text(ratio: float) -> str:
    return f"{float(ratio) * 100:.6g} %"


def market_name(market: Any) -> str:
    """The market's name as the summary and the pages write it."""
    getter = getattr(market, "get_name", None)
    return str(getter()) if callable(getter) else str(market or "custom")


def _rebalance_text(rebalance: Any) -> str:
    if rebalance is None:
        return "when the weights change"
    if isinstance(rebalance, str):
        return rebalance
    return f"on {len(rebalance)} given dates"

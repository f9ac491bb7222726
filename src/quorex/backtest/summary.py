"""A report's summary: the run's settings, then its figures, as values and as text."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.figures import (
    CURVE_LABELS,
    DISTRIBUTION_LABELS,
    EXECUTION_LABELS,
    RELATIVE_FIGURES,
    RELATIVE_LABELS,
    TRADE_LABELS,
    curve_figures,
    curve_relative_figures,
    execution_figures,
    format_figure,
    years_between,
    trade_figures,
)

if TYPE_CHECKING:
    from quorex.backtest.period import Period
    from quorex.backtest.report import Report

Row = tuple[str, float, str]


def summary_table(report: Report, riskfree_rate: float, period: Period) -> pd.DataFrame:
    """The rows of ``Report.summary``: settings, curve figures, trade figures, over ``period``."""
    rows = (settings_rows(report, period) + _execution_settings(report.execution)
            + _curve_rows(report, riskfree_rate, period) + _trade_rows(report, period)
            + _execution_rows(report, period))
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
        "fee_paid": float(costs["fee"].sum()) / report.money_unit,
        "tax_paid": float(costs["tax"].sum()) / report.money_unit,
        "capacity": _capacity(report, period),
    }
    return [(label, values[name], format_figure(values[name], kind)) for label, (name, kind) in TRADE_LABELS.items()]


def _execution_settings(rules: Any) -> list[Row]:
    """The execution rules the run used (none for a report made without them)."""
    if rules is None:
        return []
    capital = rules.capital
    if rules.slippage == "sqrt":
        slippage = f"square root, impact {rules.impact:g}"
    else:
        slippage = _cost_text(rules.slippage) if rules.slippage else "none"
    cap = rules.max_participation
    return [
        ("Capital", np.nan if capital is None else capital,
         "fractional (units of 1)" if capital is None else format_figure(capital, "money")),
        ("Lot size", np.nan if rules.lot_size is None else rules.lot_size,
         "none" if rules.lot_size is None else f"{rules.lot_size:g} shares"),
        ("Minimum fee", rules.min_fee, format_figure(rules.min_fee, "money") if rules.min_fee else "none"),
        ("Price limit", np.nan if rules.price_limit is None else rules.price_limit,
         "none" if rules.price_limit is None else f"±{_cost_text(rules.price_limit)}"),
        ("Tradable flags", np.nan, "given" if rules.tradable else "none"),
        ("Volume cap", np.nan if cap is None else cap,
         "none" if cap is None else f"{_cost_text(cap)} of the day's volume"),
        ("Slippage", np.nan if rules.slippage == "sqrt" else float(rules.slippage), slippage),
        ("Unfilled orders", np.nan, str(rules.unfilled)),
        ("Cash rate", rules.cash_rate, _cost_text(rules.cash_rate)),
        ("Borrow rate", rules.borrow_rate, _cost_text(rules.borrow_rate)),
    ]


def _execution_rows(report: Report, period: Period) -> list[Row]:
    """What the execution rules did in ``period``: orders unfilled by reason, slippage and carry."""
    if report.execution is None:
        return []
    capital = report.money_unit
    index = period.curve(report.creturn).index
    years = years_between(index[0], index[-1]) if len(index) > 1 else 0.0
    slippage = float(report.costs.loc[period.covers(report.costs.index), "slippage"].sum())
    counts = report.unfilled["reason"].value_counts()
    values = execution_figures(report.unfilled_share(), slippage, capital, years) | {
        f"unfilled_{reason}": float(counts.get(reason, 0)) for reason in counts.index
    } | {
        "slippage_paid": slippage / capital,
        "interest_earned": float(report.carry.loc[period.covers(report.carry.index), "interest"].sum()) / capital,
        "borrow_paid": float(report.carry.loc[period.covers(report.carry.index), "borrow"].sum()) / capital,
    }
    return [(label, values[name], format_figure(values[name], kind))
            for label, (name, kind) in EXECUTION_LABELS.items()]


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

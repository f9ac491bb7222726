"""The product's figures, each computed by one function, and how they are written.

Return figures (annual return, Sharpe, Sortino, Calmar, max drawdown,
volatility, VaR and CVaR of monthly returns) come from ``return_figures``,
for one curve or for every column of a returns matrix at once. Their
convention is the one ``quorex.core.metrics.Metrics`` uses (ffn's statistics
on the daily equity curve, with a risk-free rate), so every figure the
product shows equals the ``Metrics`` accessor of the same name for the same
curve: the report's summary and page, the benchmark's column beside it, the
sweep table and walk-forward.

Trade figures (round trips, win rate, profit factor, expectancy) come from
``trade_figures``, over the returns of round trips (the records of one
holding joined, ``quorex.backtest.roundtrips``).
"""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import pandas as pd

RISKFREE_RATE = 0.02
RETURN_FIGURES = (
    "annual_return",
    "sharpe_ratio",
    "sortino_ratio",
    "max_drawdown",
    "volatility",
    "calmar_ratio",
    "value_at_risk",
    "cvalue_at_risk",
)
TRADE_FIGURES = ("trades", "win_rate", "profit_factor", "expectancy")
# The figures of each set of a sweep, in the order of its table. "records"
# counts trade records; "turnover" is yearly one-way turnover; "psr" and
# "dsr" the probabilistic and deflated Sharpe ratios.
SWEEP_FIGURES = (*RETURN_FIGURES, *TRADE_FIGURES, "records", "turnover", "final_equity", "psr", "dsr")
SECONDS_PER_YEAR = 31_557_600.0  # 365.25 days, as the statistics behind Metrics count
VAR_LEVEL = 0.05  # VaR and CVaR: the worst 5 % of months
# Spacing from which a calendar has no daily figures. Built from a number and
# a unit: pandas 2 parses text such as "2 days" through NumPy's generic
# timedelta unit, which NumPy 2.5 deprecates.
TWO_DAYS = pd.Timedelta(2, "D")


# ---------------------------------------------------------------------------
# Curves and their returns


def daily_curve(levels: pd.Series) -> pd.Series:
    """A level series on calendar days, as the metrics see it (last value per day)."""
    return levels.resample("1D").last().dropna()


def curve_returns(levels: pd.Series) -> pd.Series:
    """Daily returns whose compounded product is the daily curve.

    The first entry is the first day's growth from a starting level of 1,
    so ``(1 + returns).cumprod()`` gives back an equity curve that starts
    at 1 (the figures do not depend on it: they start from the first day).
    """
    daily = daily_curve(levels)
    values = daily.to_numpy(dtype=np.float64)
    out = np.empty(len(values))
    if len(values):
        out[0] = values[0] - 1.0
        out[1:] = values[1:] / values[:-1] - 1.0
    return pd.Series(out, index=daily.index, name="return")


def periods_per_year(dates: pd.DatetimeIndex) -> tuple[float, bool]:
    """The annualisation factor of daily figures, and whether daily figures apply at all.

    Follows ffn's reading of the calendar: spacing of two days or more (weekly
    data, say) has no daily figures, and an unrecognised frequency counts as
    252 periods a year.
    """
    from ffn.core import TRADING_DAYS_PER_YEAR, infer_freq, infer_nperiods

    probe = pd.Series(np.zeros(len(dates)), index=dates)
    typical = probe.index.to_series().diff().median()
    if typical >= TWO_DAYS and infer_freq(probe) == "B":
        typical = pd.Timedelta(1, "D")
    inferred = infer_nperiods(probe)
    factor = float(TRADING_DAYS_PER_YEAR if inferred is None else inferred)
    return factor, bool(typical < TWO_DAYS)


def years_between(first: pd.Timestamp, last: pd.Timestamp) -> float:
    """The length of a period in years of 365.25 days."""
    return (last - first).total_seconds() / SECONDS_PER_YEAR


# ---------------------------------------------------------------------------
# Return figures


def _no_dispersion(values: np.ndarray) -> np.ndarray:
    """Columns whose observations are all equal up to rounding (their Sharpe ratio is undefined)."""
    maximum, minimum = values.max(axis=0), values.min(axis=0)
    spread = maximum - minimum
    tolerance = 4 * np.finfo(float).eps
    return (spread <= tolerance * np.abs(maximum)) | (spread <= tolerance * np.abs(minimum))


def return_figures(
    returns: np.ndarray, dates: pd.DatetimeIndex, riskfree_rate: float = RISKFREE_RATE
) -> dict[str, np.ndarray]:
    """The return figures of each column of ``returns`` (calendar dates × curves).

    ``returns`` are as ``curve_returns`` gives them: the first row is the
    first day's growth from a base, which no figure depends on; the curves
    are their compounded products.
    """
    n_dates, n_curves = returns.shape
    out = {name: np.full(n_curves, np.nan) for name in RETURN_FIGURES}
    if n_dates < 2 or n_curves == 0:
        return out
    equity = np.cumprod(1.0 + returns, axis=0)
    daily = returns[1:]
    factor, has_daily = periods_per_year(dates)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # one daily return has no std
        if has_daily:
            out["volatility"] = daily.std(axis=0, ddof=1) * np.sqrt(factor)
            excess = daily - ((1.0 + riskfree_rate) ** (1.0 / factor) - 1.0)
            std = np.where(_no_dispersion(excess), np.nan, excess.std(axis=0, ddof=1))
            out["sharpe_ratio"] = excess.mean(axis=0) / std * np.sqrt(factor)
            downside = np.sqrt((np.minimum(excess, 0.0) ** 2).mean(axis=0))
            out["sortino_ratio"] = excess.mean(axis=0) / downside * np.sqrt(factor)
        years = years_between(dates[0], dates[-1])
        out["annual_return"] = (equity[-1] / equity[0]) ** (1.0 / years) - 1.0
        peak = np.maximum.accumulate(equity, axis=0)
        out["max_drawdown"] = (equity / peak - 1.0).min(axis=0)
        out["calmar_ratio"] = out["annual_return"] / np.abs(out["max_drawdown"])
        out["value_at_risk"], out["cvalue_at_risk"] = _monthly_tail(daily, dates)
    return out


def monthly_returns(daily: np.ndarray, dates: pd.DatetimeIndex) -> np.ndarray:
    """Compounded returns of each calendar month (months × curves), from daily returns.

    Every month from the first date's to the last date's counts; a month
    without a date has a return of 0, and a missing (NaN) daily return is
    skipped, as a pandas month-end resample of the products gives them.
    """
    months = dates.year * 12 + dates.month - 1
    first = int(months[0]) if len(months) else 0
    span = int(months[-1]) - first + 1 if len(months) else 0
    growth = np.ones((span, daily.shape[1]))
    if len(months):
        starts = np.flatnonzero(np.r_[True, months[1:] != months[:-1]])
        growth[np.asarray(months[starts]) - first] = np.multiply.reduceat(
            np.where(np.isnan(daily), 1.0, 1.0 + daily), starts, axis=0
        )
    return growth - 1.0


def _monthly_tail(daily: np.ndarray, dates: pd.DatetimeIndex) -> tuple[np.ndarray, np.ndarray]:
    """VaR (the 5 % quantile of monthly returns) and CVaR (the mean of the months below it).

    ``daily`` are the returns of ``dates[1:]``; the first date has none but
    its month counts.
    """
    unknown_first = np.full((1, daily.shape[1]), np.nan)
    monthly = monthly_returns(np.vstack([unknown_first, daily]), dates)
    if len(monthly) == 0:
        nothing = np.full(daily.shape[1], np.nan)
        return nothing, nothing.copy()
    var = np.quantile(monthly, VAR_LEVEL, axis=0)
    below = monthly < var
    cvar = np.where(below, monthly, 0.0).sum(axis=0) / below.sum(axis=0)
    ran = ~np.isnan(daily).all(axis=0)
    return np.where(ran, var, np.nan), np.where(ran, cvar, np.nan)


def curve_figures(levels: pd.Series, riskfree_rate: float = RISKFREE_RATE) -> dict[str, float]:
    """The return figures of one level series (an equity curve or a benchmark)."""
    returns = curve_returns(levels)
    matrix = returns.to_numpy()[:, None]
    return {name: float(v[0]) for name, v in return_figures(matrix, returns.index, riskfree_rate).items()}


# ---------------------------------------------------------------------------
# Trade figures


def trade_figures(returns: np.ndarray) -> dict[str, float]:
    """Figures of round trips from their returns; a trip without a return (NaN) is left out.

    "trades" counts the round trips with a return, "win_rate" is the share of
    them above 0, "profit_factor" the gross gain over the gross loss
    (infinite without a loss), "expectancy" the mean return. Without round
    trips every figure but the count is undefined (NaN).
    """
    values = np.asarray(returns, dtype=np.float64)
    values = values[~np.isnan(values)]
    count = len(values)
    if count == 0:
        return {"trades": 0.0, "win_rate": np.nan, "profit_factor": np.nan, "expectancy": np.nan}
    gain, loss = values[values > 0].sum(), -values[values < 0].sum()
    if gain == 0 and loss == 0:
        factor = np.nan
    else:
        factor = math.inf if loss == 0 else float(gain / loss)
    return {
        "trades": float(count),
        "win_rate": float((values > 0).mean()),
        "profit_factor": factor,
        "expectancy": float(values.mean()),
    }


def yearly_turnover(
    position: np.ndarray, stock: np.ndarray, entry: np.ndarray, exit_: np.ndarray, years: float
) -> float:
    """The yearly one-way turnover of trade records: half the absolute change of the held
    target weights, summed over all dates and stocks, per year.

    ``stock`` are integer codes; ``exit_`` is -1 for a record still open. A
    record split at a rebalance exits and re-enters on one date: only the
    net change trades there.
    """
    if len(position) == 0:
        return 0.0
    closed = exit_ >= 0
    day = np.concatenate([entry, exit_[closed]]).astype(np.int64)
    code = np.concatenate([stock, stock[closed]]).astype(np.int64) * (int(max(day.max(), 0)) + 1) + day
    change = np.concatenate([position, -position[closed]])
    slot = pd.factorize(code)[0]  # hashing: no sort
    traded = np.abs(np.bincount(slot, weights=change)).sum()
    return float(traded / 2.0 / years) if years > 0 else float("nan")


# ---------------------------------------------------------------------------
# How figures are written


# The curve figures as the summary and the pages label them: label → (figure, format kind).
CURVE_LABELS: dict[str, tuple[str, str]] = {
    "Annual return": ("annual_return", "percent"),
    "Sharpe ratio": ("sharpe_ratio", "ratio"),
    "Sortino ratio": ("sortino_ratio", "ratio"),
    "Calmar ratio": ("calmar_ratio", "ratio"),
    "Max drawdown": ("max_drawdown", "percent"),
    "Volatility": ("volatility", "percent"),
    "VaR (monthly, 5%)": ("value_at_risk", "percent"),
    "CVaR (monthly, 5%)": ("cvalue_at_risk", "percent"),
}

# Benchmark-relative figures of the Metrics contract: label → (Metrics accessor, format kind).
RELATIVE_LABELS: dict[str, tuple[str, str]] = {
    "Alpha": ("alpha", "percent"),
    "Beta": ("beta", "ratio"),
}
# Figures of the trades: label → (figure, format kind); "records" figures count trade records.
TRADE_LABELS: dict[str, tuple[str, str]] = {
    "Round trips": ("trades", "count"),
    "Win rate (round trips)": ("win_rate", "percent"),
    "Profit factor (round trips)": ("profit_factor", "ratio"),
    "Expectancy (round trips)": ("expectancy", "percent"),
    "MAE (round trips)": ("mae", "percent"),
    "MFE (round trips)": ("gmfe", "percent"),
    "Trade records": ("records", "count"),
    "Records without a return": ("records_without_return", "count"),
    "Fees paid (of capital)": ("fee_paid", "percent"),
    "Taxes paid (of capital)": ("tax_paid", "percent"),
    "Capacity": ("capacity", "money"),
}
# Every figure row of the summary, in order: label → format kind.
FIGURE_LABELS: dict[str, str] = {
    label: kind for label, (_, kind) in (CURVE_LABELS | RELATIVE_LABELS | TRADE_LABELS).items()
}


def format_figure(value: Any, kind: str) -> str:
    """A figure as written in the summary and on the pages: "n/a" when undefined."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if kind == "percent":
        return f"{value:.2%}"
    if kind == "money":
        return f"{value:,.0f}"
    if kind == "count":
        return f"{value:.0f}"
    return f"{value:.3f}"

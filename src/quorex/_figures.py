"""Performance figures of many equity curves at once, from their daily returns.

Every figure here equals the ``quorex.core.metrics.Metrics`` accessor of the
same name for one report (the statistics behind those accessors are ffn's on
the daily equity curve, with a risk-free rate), but is computed for all
columns of a returns matrix in one pass.
"""

from __future__ import annotations

import warnings

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
)
SECONDS_PER_YEAR = 31_557_600.0  # 365.25 days, as the statistics behind Metrics count


def daily_curve(creturn: pd.Series) -> pd.Series:
    """The equity curve on calendar days, as the metrics see it (last value per day)."""
    return creturn.resample("1d").last().dropna()


def curve_returns(creturn: pd.Series) -> pd.Series:
    """Daily returns whose compounded product is the daily curve.

    The first entry is the first day's growth from the starting capital of 1,
    so ``(1 + returns).cumprod()`` gives back the curve.
    """
    daily = daily_curve(creturn)
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
    if typical >= pd.Timedelta("2 days") and infer_freq(probe) == "B":
        typical = pd.Timedelta("1 day")
    inferred = infer_nperiods(probe)
    factor = float(TRADING_DAYS_PER_YEAR if inferred is None else inferred)
    return factor, bool(typical < pd.Timedelta("2 days"))


def _no_dispersion(values: np.ndarray) -> np.ndarray:
    """Columns whose observations are all equal up to rounding (their Sharpe ratio is undefined)."""
    maximum, minimum = values.max(axis=0), values.min(axis=0)
    spread = maximum - minimum
    tolerance = 4 * np.finfo(float).eps
    return (spread <= tolerance * np.abs(maximum)) | (spread <= tolerance * np.abs(minimum))


def return_figures(
    returns: np.ndarray, dates: pd.DatetimeIndex, riskfree_rate: float = RISKFREE_RATE
) -> dict[str, np.ndarray]:
    """The return-based figures of each column of ``returns`` (dates × curves).

    ``returns`` are as ``curve_returns`` gives them: the first row is the
    first day's growth from 1, so the curves are their compounded products.
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
        years = (dates[-1] - dates[0]).total_seconds() / SECONDS_PER_YEAR
        out["annual_return"] = (equity[-1] / equity[0]) ** (1.0 / years) - 1.0
        peak = np.maximum.accumulate(equity, axis=0)
        out["max_drawdown"] = (equity / peak - 1.0).min(axis=0)
        out["calmar_ratio"] = out["annual_return"] / np.abs(out["max_drawdown"])
    return out

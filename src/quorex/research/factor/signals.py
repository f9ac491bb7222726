"""Does the factor order tomorrow's returns? Forward returns, information coefficients, persistence."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import check_timezones
from quorex.backtest.inputs.prices import prepare_prices, price_indexes, trade_price_frame
from quorex.research.factor.panel import (
    DEFAULT_PERIODS,
    FactorPanel,
    checked_factor,
    checked_periods,
    factor_panel,
    forward_return_matrix,
)
from quorex.research.factor.ranks import pearson_correlation, rank_correlation

METHODS = ("spearman", "pearson")
IC_STATISTICS = ("mean", "std", "icir", "t_stat", "positive", "dates")


def forward_returns(
    prices: object, periods: Sequence[int] | int = DEFAULT_PERIODS, trade_at: str = "close",
    bad_prices: str = "raise",
) -> dict[int, pd.DataFrame]:
    """By period: the return (dates × symbols) of a signal known at the close of each date, bought
    at the next trading date's trade price (its close, or its open with ``trade_at="open"``, as
    ``quorex.backtest`` trades) and sold ``period`` trading dates later at the same price.

    ``prices`` and ``bad_prices`` are read and checked as ``quorex.backtest``
    reads them. A name without a trade price on the buying date has no
    forward return that date (NaN); a price missing on the selling date is
    replaced by the last trade price before it, as the backtest values a
    position whose prices stop. The last ``period + 1`` dates have none.
    """
    chosen = checked_periods(periods)
    check_timezones(price_indexes(prices), None)
    frames = prepare_prices(prices, bad_prices).frames
    trade = trade_price_frame(frames, trade_at)
    values, carried = trade.to_numpy(dtype=np.float64), trade.ffill().to_numpy(dtype=np.float64)
    return {period: pd.DataFrame(forward_return_matrix(values, carried, period), index=trade.index,
                                 columns=trade.columns) for period in chosen}


def information_coefficient(
    factor: pd.DataFrame,
    prices: object,
    periods: Sequence[int] | int = DEFAULT_PERIODS,
    method: str = "spearman",
    trade_at: str = "close",
    bad_prices: str = "raise",
) -> pd.DataFrame:
    """The information coefficient of each factor date and period (dates × periods): the
    correlation across names of the factor with the forward returns (``forward_returns``).

    ``method="spearman"`` (the default) correlates ranks, ``"pearson"`` the
    values. A name without a factor or a forward return that date is left
    out of that date; a date on which the factor or the returns do not vary
    has no coefficient (NaN), nor one with fewer than two names.
    """
    panel = factor_panel(factor, prices, trade_at, bad_prices)
    return panel_ic(panel, checked_periods(periods), method)


def panel_ic(panel: FactorPanel, periods: tuple[int, ...], method: str) -> pd.DataFrame:
    """``information_coefficient`` of an aligned panel."""
    if method not in METHODS:
        raise ValueError(f"method must be one of {list(METHODS)}, got {method!r}")
    correlate = rank_correlation if method == "spearman" else pearson_correlation
    values = correlate(panel.factor.to_numpy(), [panel.forward_returns(period) for period in periods])
    return pd.DataFrame(values, index=panel.factor.index, columns=pd.Index(periods, name="period"))


def summarise_ic(ic: pd.DataFrame) -> pd.DataFrame:
    """Statistics of each column of an information-coefficient table (statistics × periods).

    Over the dates with a coefficient: "mean", "std" (ddof 1), "icir" (mean /
    std, per date, not annualised), "t_stat", "positive" (the share above 0)
    and "dates" (their count). Forward returns of p dates overlap on p - 1
    dates, so neighbouring coefficients share returns; the t-statistic
    divides the mean by its Newey-West standard error with p - 1 lags
    (Bartlett weights, scaled by n / (n - 1)), which for one date is the
    usual mean / (std / sqrt(n)).
    """
    table = {period: _ic_statistics(ic[period].dropna().to_numpy(), int(period)) for period in ic.columns}
    return pd.DataFrame(table, index=pd.Index(IC_STATISTICS, name="statistic")).rename_axis(columns="period")


def _ic_statistics(values: np.ndarray, period: int) -> list[float]:
    n = len(values)
    if n < 2:
        return [float(values.mean()) if n else np.nan, np.nan, np.nan, np.nan,
                float((values > 0).mean()) if n else np.nan, float(n)]
    mean, std = float(values.mean()), float(values.std(ddof=1))
    centred = values - mean
    lags = min(period - 1, n - 1)
    autocovariance = [centred[lag:] @ centred[: n - lag] / n for lag in range(lags + 1)]
    weights = 1.0 - np.arange(1, lags + 1) / (lags + 1)
    variance = (autocovariance[0] + 2.0 * float(weights @ np.array(autocovariance[1:]))) * n / (n - 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        icir = mean / std if std > 0 else np.nan
        t_stat = mean / np.sqrt(variance / n) if variance > 0 else np.nan
    return [mean, std, icir, float(t_stat), float((values > 0).mean()), float(n)]


def ic_summary(
    factor: pd.DataFrame,
    prices: object,
    periods: Sequence[int] | int = DEFAULT_PERIODS,
    method: str = "spearman",
    trade_at: str = "close",
    bad_prices: str = "raise",
) -> pd.DataFrame:
    """``summarise_ic`` of ``information_coefficient`` with the same arguments."""
    return summarise_ic(information_coefficient(factor, prices, periods, method, trade_at, bad_prices))


def factor_autocorrelation(factor: pd.DataFrame) -> pd.Series:
    """The rank correlation of each factor date's values with the previous date's, over the names
    known on both (NaN on the first date): how slowly the ranking changes."""
    frame = checked_factor(factor)
    values = frame.to_numpy()
    out = np.full(len(values), np.nan)
    if len(values) > 1:
        out[1:] = rank_correlation(values[1:], [values[:-1]])[:, 0]
    return pd.Series(out, index=frame.index, name="autocorrelation")

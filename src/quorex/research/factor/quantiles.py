"""The factor's quantiles: what each earns, how its equal-weight basket grows, how fast it turns over.

On each date the names with a factor value are cut into ``quantiles``
groups of equal size by rank: a name of average rank r among n goes to
quantile ceil(quantiles * r / n), so ties stay together and quantile 1
holds the lowest values, the last the highest. A date on which the factor
takes one value for every name does not order them: it has no quantiles.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pandas as pd

from quorex.research.factor.panel import (
    DEFAULT_PERIODS,
    FactorPanel,
    checked_factor,
    checked_periods,
    factor_panel,
    forward_return_matrix,
)
from quorex.research.factor.ranks import doubled_ranks

SPREAD = "top minus bottom"


def checked_quantiles(quantiles: int) -> int:
    if isinstance(quantiles, bool) or not isinstance(quantiles, (int, np.integer)) or not 2 <= quantiles <= 100:
        raise ValueError(f"quantiles must be a whole number from 2 to 100, got {quantiles!r}")
    return int(quantiles)


def quantile_codes(values: np.ndarray, quantiles: int) -> np.ndarray:
    """Each name's quantile on each row (1 = lowest values), 0 without one."""
    ranks = doubled_ranks(values)
    count = (~np.isnan(values)).sum(axis=1, keepdims=True)
    varies = np.fmax.reduce(values, axis=1) > np.fmin.reduce(values, axis=1)
    # ceil(q * r / n) in whole numbers: r is held doubled.
    codes = (quantiles * ranks + 2 * count - 1) // np.maximum(2 * count, 1)
    return np.where((ranks > 0) & varies[:, None], codes, 0).astype(np.int16)


def quantile_means(codes: np.ndarray, returns: np.ndarray, quantiles: int) -> np.ndarray:
    """The mean of ``returns`` over each row's names of each quantile (rows × quantiles; NaN when
    a quantile has no name with a return that row)."""
    counted = (codes > 0) & ~np.isnan(returns)
    slot = (np.arange(codes.shape[0])[:, None] * quantiles + codes - 1)[counted]
    size = codes.shape[0] * quantiles
    sums = np.bincount(slot, weights=returns[counted], minlength=size)
    names = np.bincount(slot, minlength=size)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (sums / names).reshape(codes.shape[0], quantiles)


def quantile_returns(
    factor: pd.DataFrame,
    prices: object,
    quantiles: int = 5,
    periods: Sequence[int] | int = DEFAULT_PERIODS,
    trade_at: str = "close",
    bad_prices: str = "raise",
) -> pd.DataFrame:
    """The mean forward return (``forward_returns``) of each quantile and period: on each factor
    date the equal-weight mean over the quantile's names with a return, then the mean over the
    dates. The last row, "top minus bottom", is the mean over the dates of the highest quantile's
    mean less the lowest's, on the dates both have one. Returns are per period, not per day.
    """
    panel = factor_panel(factor, prices, trade_at, bad_prices)
    return panel_quantile_returns(panel, checked_quantiles(quantiles), checked_periods(periods))


def panel_quantile_returns(panel: FactorPanel, quantiles: int, periods: tuple[int, ...]) -> pd.DataFrame:
    """``quantile_returns`` of an aligned panel."""
    codes = quantile_codes(panel.factor.to_numpy(), quantiles)
    table = {}
    for period in periods:
        means = quantile_means(codes, panel.forward_returns(period), quantiles)
        spread = means[:, -1] - means[:, 0]
        table[period] = [_mean(means[:, q]) for q in range(quantiles)] + [_mean(spread)]
    index = pd.Index([*range(1, quantiles + 1), SPREAD], name="quantile")
    return pd.DataFrame(table, index=index).rename_axis(columns="period")


def quantile_equity(
    factor: pd.DataFrame, prices: object, quantiles: int = 5, trade_at: str = "close", bad_prices: str = "raise"
) -> pd.DataFrame:
    """The growth of each quantile's equal-weight basket (dates × quantiles), starting at 1.

    Each trading date, the basket holds the names of the quantile on the
    latest factor date, in equal weights, bought at the next trade price and
    valued one trading date later (the one-date ``forward_returns``); the
    curve's dates are those on which each day's return is realised. A day
    on which a quantile has no name with a return leaves it unchanged.
    """
    panel = factor_panel(factor, prices, trade_at, bad_prices)
    return panel_quantile_equity(panel, checked_quantiles(quantiles))


def panel_quantile_equity(panel: FactorPanel, quantiles: int) -> pd.DataFrame:
    """``quantile_equity`` of an aligned panel."""
    codes = quantile_codes(panel.factor.to_numpy(), quantiles)
    ordered = np.flatnonzero((codes > 0).any(axis=1))
    # From the first factor date that orders names: before it no basket exists.
    first = int(panel.rows[ordered[0]]) if len(ordered) else int(panel.rows[-1])
    held = np.arange(first, len(panel.dates) - 2)  # signal dates whose next-day return is known
    latest = np.searchsorted(panel.rows, held, side="right") - 1
    daily = quantile_means(codes[latest], forward_return_matrix(panel.trade, panel.carried, 1)[held], quantiles)
    growth = np.vstack([np.ones((1, quantiles)), np.cumprod(1.0 + np.nan_to_num(daily), axis=0)])
    realised = panel.dates[first + 1: first + 2 + len(held)]  # empty when the factor starts on the last date
    growth = growth[: len(realised)]
    return pd.DataFrame(growth, index=realised, columns=pd.Index(range(1, quantiles + 1), name="quantile"))


def factor_turnover(factor: pd.DataFrame, quantiles: int = 5) -> pd.DataFrame:
    """For each factor date and quantile, the share of the quantile's names that were not in it on
    the previous factor date (dates × quantiles; NaN on the first date or for an empty quantile)."""
    frame = checked_factor(factor)
    count = checked_quantiles(quantiles)
    codes = quantile_codes(frame.to_numpy(), count)
    out = np.full((len(codes), count), np.nan)
    if len(codes) > 1:
        out[1:] = quantile_means(codes[1:], (codes[1:] != codes[:-1]).astype(np.float64), count)
    return pd.DataFrame(out, index=frame.index, columns=pd.Index(range(1, count + 1), name="quantile"))


def _mean(values: np.ndarray) -> float:
    known = values[~np.isnan(values)]
    return float(known.mean()) if len(known) else np.nan

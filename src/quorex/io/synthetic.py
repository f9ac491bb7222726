"""A reproducible made-up market for examples, tests and benchmarks."""

from __future__ import annotations

import numpy as np
import pandas as pd


def synthetic_market(
    n_stocks: int = 200, years: int = 8, seed: int = 7, start: str = "2016-01-04"
) -> dict[str, pd.DataFrame]:
    """A reproducible made-up market: daily "open", "high", "low", "close", "turnover".

    Prices follow a one-factor model with slowly drifting stock trends (so
    momentum has something to find) and daily moves capped at ±10 %. About
    one stock in twenty is listed late and one in twenty stops trading
    (delisted: no prices afterwards). The data are synthetic, not a record
    of any real market.
    """
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=int(round(years * 261)), name="date")
    n_days = len(dates)
    symbols = pd.Index([f"{1101 + 3 * i:04d}" for i in range(n_stocks)], name="symbol")

    beta = rng.uniform(0.5, 1.5, n_stocks)
    vol = rng.uniform(0.008, 0.022, n_stocks)
    market_ret = rng.normal(0.0003, 0.009, n_days)
    # Stock trends wander (AR(1)); their persistence is what momentum exploits.
    trend = np.empty((n_days, n_stocks))
    trend[0] = rng.normal(0.0, 0.0006, n_stocks)
    shocks = rng.normal(0.0, 0.00005, (n_days, n_stocks))
    for t in range(1, n_days):
        trend[t] = 0.997 * trend[t - 1] + shocks[t]
    ret = market_ret[:, None] * beta + trend + rng.standard_normal((n_days, n_stocks)) * vol
    ret = np.clip(ret, -0.095, 0.095)
    close = rng.uniform(15, 300, n_stocks) * np.exp(np.cumsum(ret, axis=0))

    gap = rng.normal(0.0, 0.35, (n_days, n_stocks)) * vol
    prev = np.vstack([close[:1], close[:-1]])
    open_ = prev * np.exp(gap)
    span = np.abs(rng.normal(0.0, 0.6, (n_days, n_stocks))) * vol
    high = np.maximum(open_, close) * (1 + span * rng.uniform(0, 1, (n_days, n_stocks)))
    low = np.minimum(open_, close) * (1 - span * rng.uniform(0, 1, (n_days, n_stocks)))
    volume = rng.lognormal(13.0, 0.8, n_stocks) * rng.lognormal(0.0, 0.4, (n_days, n_stocks))

    live = np.ones((n_days, n_stocks), dtype=bool)
    late = rng.choice(n_stocks, n_stocks // 20, replace=False)
    for s in late:
        live[: rng.integers(n_days // 8, n_days // 2), s] = False
    gone = rng.choice(np.setdiff1d(np.arange(n_stocks), late), n_stocks // 20, replace=False)
    for s in gone:
        live[rng.integers(n_days // 3, n_days - 20) :, s] = False

    def frame(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(np.where(live, np.round(values, 2), np.nan), index=dates, columns=symbols)

    prices = {"open": frame(open_), "high": frame(high), "low": frame(low), "close": frame(close)}
    prices["turnover"] = pd.DataFrame(
        np.where(live, close * volume, np.nan), index=dates, columns=symbols
    )
    return prices

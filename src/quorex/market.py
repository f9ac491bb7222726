"""Market descriptions: name, data frequency, calendar, clock and default costs of a backtest."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol, runtime_checkable

import pandas as pd


@runtime_checkable
class MarketLike(Protocol):
    """What a report needs of a market: its name and its data frequency."""

    def get_name(self) -> str: ...

    def get_freq(self) -> str: ...


# The home exchange's costs: the defaults of every market that names none.
TW_FEE_RATIO = 0.001425
TW_TAX_RATIO = 0.003


@dataclass(frozen=True)
class Market:
    """A market traded on business days (Monday to Friday).

    ``name`` labels the report; ``freq`` is the bar frequency of the price
    data ("1d" for daily bars); ``timezone`` is the exchange's clock (None:
    not stated); ``fee_ratio`` and ``tax_ratio`` are the commission on every
    trade and the tax on sales that a backtest uses unless it is given its
    own. ``next_trading_date`` estimates the session after a given date;
    exchanges with holidays can subclass and override it.
    """

    name: str = "custom"
    freq: str = "1d"
    timezone: str | None = None
    fee_ratio: float = TW_FEE_RATIO
    tax_ratio: float = TW_TAX_RATIO

    def get_name(self) -> str:
        """The market's name."""
        return self.name

    def get_freq(self) -> str:
        """The bar frequency of the price data."""
        return self.freq

    def next_trading_date(self, date: pd.Timestamp) -> pd.Timestamp:
        """The first business day after ``date`` (time of day dropped)."""
        return pd.Timestamp(date).normalize() + pd.offsets.BDay(1)


# Named markets: ``backtest(market="us")``. The default is "tw".
MARKETS: dict[str, Market] = {
    "tw": Market(name="tw", timezone="Asia/Taipei", fee_ratio=TW_FEE_RATIO, tax_ratio=TW_TAX_RATIO),
    "us": Market(name="us", timezone="America/New_York", fee_ratio=0.0, tax_ratio=0.0),
}
DEFAULT_MARKET = "tw"


def as_market(market: object | None) -> MarketLike:
    """Turn the ``market`` argument of a backtest into a market object.

    None gives the default market ("tw"), a string names one of ``MARKETS``
    (in any case), and any object with ``get_name()`` and ``get_freq()`` is
    used as it is.
    """
    if market is None:
        return MARKETS[DEFAULT_MARKET]
    if isinstance(market, str):
        preset = MARKETS.get(market.strip().lower())
        if preset is None:
            raise ValueError(
                f"market: unknown market {market!r}; use one of {sorted(MARKETS)} "
                "or a quorex.Market(name=..., fee_ratio=..., tax_ratio=...)"
            )
        return preset
    if isinstance(market, MarketLike):
        return market
    raise TypeError(
        "market must be a name (str) or an object with get_name() and get_freq(), "
        f"got {type(market).__name__}"
    )


def market_costs(market: object) -> tuple[float, float]:
    """The market's default (fee_ratio, tax_ratio); the home exchange's when it names none."""
    return (
        float(getattr(market, "fee_ratio", TW_FEE_RATIO)),
        float(getattr(market, "tax_ratio", TW_TAX_RATIO)),
    )


def market_timezone(market: object) -> str | None:
    """The market's clock (an IANA name), or None when it states none."""
    zone = getattr(market, "timezone", None)
    return None if zone is None else str(zone)


def next_trading_date(market: object, date: pd.Timestamp) -> pd.Timestamp:
    """The market's own next session after ``date``, or the next business day."""
    step = getattr(market, "next_trading_date", None)
    if callable(step):
        return pd.Timestamp(step(date))
    return Market.next_trading_date(Market(), date)


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
    import numpy as np

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

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

"""Market descriptions: name, data frequency, calendar, clock, default costs and trading rules of a backtest."""

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
# The home exchange's trading rules, likewise: a board lot of 1,000 shares, a
# smallest commission of NT$20, and a daily price limit of ±10 % taken as hit
# from a move of 9.5 % (ticks make the real move at the limit land a little
# short of 10 %).
TW_LOT_SIZE = 1000.0
TW_MIN_FEE = 20.0
TW_PRICE_LIMIT = 0.095


@dataclass(frozen=True)
class Market:
    """A market traded on business days (Monday to Friday).

    ``name`` labels the report; ``freq`` is the bar frequency of the price
    data ("1d" for daily bars); ``timezone`` is the exchange's clock (None:
    not stated); ``fee_ratio`` and ``tax_ratio`` are the commission on every
    trade and the tax on sales that a backtest uses unless it is given its
    own. ``lot_size`` (shares per board lot), ``min_fee`` (smallest
    commission of one trade, in currency) and ``price_limit`` (the day's move
    taken as a limit hit; None: no limit) are its trading rules, used unless
    the backtest names its own; lots and the minimum fee apply once the
    backtest has a ``capital``. Like the costs, a custom market's figures
    default to the home exchange's. ``next_trading_date`` estimates the
    session after a given date; exchanges with holidays can subclass and
    override it.
    """

    name: str = "custom"
    freq: str = "1d"
    timezone: str | None = None
    fee_ratio: float = TW_FEE_RATIO
    tax_ratio: float = TW_TAX_RATIO
    lot_size: float = TW_LOT_SIZE
    min_fee: float = TW_MIN_FEE
    price_limit: float | None = TW_PRICE_LIMIT

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
    "us": Market(name="us", timezone="America/New_York", fee_ratio=0.0, tax_ratio=0.0, lot_size=1.0, min_fee=0.0,
                 price_limit=None),
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


def market_trading_rules(market: object) -> tuple[float, float, float | None]:
    """The market's (lot_size, min_fee, price_limit); the home exchange's where it names none."""
    limit = getattr(market, "price_limit", TW_PRICE_LIMIT)
    return (
        float(getattr(market, "lot_size", TW_LOT_SIZE)),
        float(getattr(market, "min_fee", TW_MIN_FEE)),
        None if limit is None else float(limit),
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

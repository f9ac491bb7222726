"""Checks on a backtest's inputs that real price files need: clocks, bad prices, costs, stale stocks.

Each check either refuses the input with a ``ValueError`` that names what is
wrong (the argument, the symbols, the dates) or, where the input is usable
but probably not what was meant, warns with a ``DataWarning``.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from quorex.market import market_costs, market_timezone

# A commission or tax this large is a percent typed as a fraction.
MAX_COST_RATIO = 0.05
# Trading dates after its last price at which a stock given weight is stale.
STALE_AFTER_DAYS = 5
BAD_PRICE_MODES = ("raise", "missing")
SHOWN = 5


class DataWarning(UserWarning):
    """Input data that a backtest can run on but that probably does not mean what was intended."""


def _shown(items: list[str]) -> str:
    return ", ".join(items[:SHOWN]) + (" ..." if len(items) > SHOWN else "")


# ---------------------------------------------------------------------------
# Dates and timezones


def index_timezone(index: pd.Index) -> str | None:
    """The timezone of a date index (None when naive or not made of dates)."""
    if isinstance(index, pd.DatetimeIndex):
        return None if index.tz is None else str(index.tz)
    if index.dtype != object or len(index) == 0:
        return None
    try:
        parsed = pd.DatetimeIndex(pd.to_datetime(index))
    except (TypeError, ValueError):
        return None  # the date parser proper names the problem
    return None if parsed.tz is None else str(parsed.tz)


def local_calendar_dates(index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """A tz-aware index as the calendar dates on its own wall clock (naive).

    Converting to UTC instead would move a Taipei or New York session to
    another date whenever the stamps are not at midday.
    """
    if index.tz is None:
        return index
    return index.tz_localize(None).normalize()


def _describe_zone(zone: str | None) -> str:
    return "naive (no timezone)" if zone is None else f"in {zone}"


def check_timezones(inputs: Mapping[str, pd.Index], market: object) -> None:
    """All dated inputs share one timezone (or none); warn when it is not the market's.

    Mixed clocks cannot be aligned by date without guessing which one is
    right, so they are refused.
    """
    zones = {name: index_timezone(index) for name, index in inputs.items()}
    distinct = dict.fromkeys(zones.values())
    if len(distinct) > 1:
        described = "; ".join(f"{name} {_describe_zone(zone)}" for name, zone in zones.items())
        raise ValueError(
            f"dates in different timezones: {described}; give every input the same "
            "timezone (e.g. .tz_convert(...)) or none (naive local dates)"
        )
    zone = next(iter(distinct), None)
    expected = market_timezone(market)
    if zone is not None and expected is not None and not _same_zone(zone, expected):
        name = getattr(market, "get_name", lambda: "?")()
        warnings.warn(
            f"the dates are stamped in {zone} but market {name!r} trades in {expected}: "
            f"they are read as calendar dates in {zone}; convert them with "
            f".tz_convert({expected!r}) or pass the market that matches",
            DataWarning,
            stacklevel=3,
        )


def _same_zone(first: str, second: str) -> bool:
    moment = pd.Timestamp("2024-01-15 12:00", tz="UTC")
    summer = pd.Timestamp("2024-07-15 12:00", tz="UTC")
    return all(t.tz_convert(first).utcoffset() == t.tz_convert(second).utcoffset() for t in (moment, summer))


# ---------------------------------------------------------------------------
# Prices


def _bad_price_mask(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        return (values <= 0) | np.isinf(values)


def check_prices(frames: Mapping[str, pd.DataFrame], bad_prices: str) -> dict[str, pd.DataFrame]:
    """Refuse zero, negative and infinite prices, or turn them into gaps (``bad_prices="missing"``)."""
    if bad_prices not in BAD_PRICE_MODES:
        raise ValueError(f"bad_prices must be one of {list(BAD_PRICE_MODES)}, got {bad_prices!r}")
    checked = {}
    for field, frame in frames.items():
        bad = _bad_price_mask(frame.to_numpy())
        if not bad.any():
            checked[field] = frame
        elif bad_prices == "missing":
            checked[field] = frame.mask(bad)
        else:
            raise ValueError(_bad_price_message(frame, bad, f"prices[{field!r}]"))
    return checked


def _bad_price_message(frame: pd.DataFrame, bad: np.ndarray, what: str) -> str:
    rows, cols = np.nonzero(bad)  # row-major: the earliest dates first
    values = frame.to_numpy()
    examples = [
        f"({frame.columns[c]!r}, {frame.index[r].date()}): {values[r, c]:g}"
        for r, c in zip(rows[:SHOWN], cols[:SHOWN])
    ]
    return (
        f"{what}: {len(rows)} zero, negative or infinite price(s): {', '.join(examples)}"
        + (" ..." if len(rows) > SHOWN else "")
        + "; correct them, or pass bad_prices='missing' to treat them as missing"
    )


def check_priced_symbols(weights: pd.DataFrame, price_frames: Mapping[str, pd.DataFrame]) -> None:
    """A symbol that gets weight needs at least one price (in the close and the trade frame)."""
    given = (weights != 0).any(axis=0)
    for what, frame in price_frames.items():
        empty = frame.columns[frame.isna().all(axis=0).to_numpy()]
        refused = [s for s in empty if s in given.index and given[s]]
        if refused:
            raise ValueError(
                f"weights: {len(refused)} symbol(s) have weights but no prices "
                f"({what} is missing on every date): {_shown([repr(s) for s in refused])}"
            )


# ---------------------------------------------------------------------------
# Costs


def check_cost(name: str, value: Any) -> float:
    """A commission or tax rate as a float: 0 or more and below ``MAX_COST_RATIO``."""
    try:
        ratio = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(ratio) or ratio < 0:
        raise ValueError(f"{name} must be 0 or more, got {value!r}")
    if ratio >= MAX_COST_RATIO:
        raise ValueError(
            f"{name}={ratio:g} means {ratio * 100:.4g} % of every trade; "
            f"costs are fractions: for {ratio:g} % pass {ratio / 100:g}"
        )
    return ratio


def resolve_costs(fee_ratio: Any, tax_ratio: Any, market: object) -> tuple[float, float]:
    """The commission and tax a run uses: the arguments, or the market's where they are None."""
    default_fee, default_tax = market_costs(market)
    fee = check_cost("fee_ratio", default_fee if fee_ratio is None else fee_ratio)
    tax = check_cost("tax_ratio", default_tax if tax_ratio is None else tax_ratio)
    return fee, tax


# ---------------------------------------------------------------------------
# Stale holdings


def last_price_rows(close: pd.DataFrame) -> np.ndarray:
    """For each date and symbol, the row of the symbol's latest price so far (-1: none yet)."""
    rows = np.arange(len(close.index), dtype=np.int32)[:, None]
    marked = np.where(close.notna().to_numpy(), rows, np.int32(-1))
    return np.maximum.accumulate(marked, axis=0)


def _priced_recently(valid: np.ndarray, limit: int) -> np.ndarray:
    """Whether each date has a price on it or on one of the ``limit`` dates before it.

    One row longer than ``valid``: the date after the data has no price of its own.
    """
    recent = np.zeros((len(valid) + 1, valid.shape[1]), dtype=bool)
    recent[:-1] = valid
    for lag in range(1, limit + 1):  # a few shifted ORs instead of a running maximum over all dates
        recent[lag:] |= valid[: len(valid) + 1 - lag]
    return recent


def stale_holdings(
    close: pd.DataFrame,
    weights: pd.DataFrame,
    trade_rows: np.ndarray,
    weight_rows: np.ndarray,
    limit: int = STALE_AFTER_DAYS,
) -> pd.DataFrame:
    """Symbols given weight at a rebalance while their last price is older than ``limit`` dates.

    ``trade_rows`` are the price rows on which the rebalances trade (the
    number of dates for one due after the data) and ``weight_rows`` the
    weight rows they apply. One row per symbol, at its first stale
    rebalance: "rebalance" (the date traded, NaT when after the data) and
    "last_price" (NaT when the stock had no price yet).
    """
    columns = pd.Index(weights.columns)
    empty = pd.DataFrame({"rebalance": pd.DatetimeIndex([]), "last_price": pd.DatetimeIndex([])})
    if len(trade_rows) == 0 or len(columns) == 0:
        return empty
    given = (weights.to_numpy() != 0)[weight_rows]
    held = given.any(axis=0)
    if not held.any():
        return empty
    prices = close.reindex(columns=columns[held])
    recent = _priced_recently(prices.notna().to_numpy(), limit)
    stale = given[:, held] & ~recent[trade_rows]
    hit = np.flatnonzero(stale.any(axis=0))
    if not len(hit):
        return empty
    first = stale[:, hit].argmax(axis=0)
    rows = np.asarray(trade_rows)[first]
    n = len(close.index)
    last = last_price_rows(prices.iloc[:, hit])[np.minimum(rows, n - 1), np.arange(len(hit))]
    dates = close.index
    table = pd.DataFrame(
        {
            "rebalance": pd.DatetimeIndex([dates[r] if r < n else pd.NaT for r in rows]),
            "last_price": pd.DatetimeIndex([dates[r] if r >= 0 else pd.NaT for r in last]),
        },
        index=prices.columns[hit],
    )
    return table.sort_values("rebalance", kind="stable", na_position="last")


def warn_stale_holdings(table: pd.DataFrame, limit: int = STALE_AFTER_DAYS) -> None:
    """One ``DataWarning`` naming the stale symbols of ``stale_holdings``."""
    if table.empty:
        return
    items = [
        f"{symbol!r} (last price {_day(row.last_price, 'none yet')}, weight on "
        f"{_day(row.rebalance, 'the next trading date')})"
        for symbol, row in table.iterrows()
    ]
    warnings.warn(
        f"{len(items)} symbol(s) get weight at a rebalance while their last price is more than "
        f"{limit} trading dates old, so they are traded and held at that old price: "
        f"{_shown(items)}; give stocks that stopped trading weight 0",
        DataWarning,
        stacklevel=4,
    )


def _day(value: pd.Timestamp, missing: str) -> str:
    return missing if pd.isna(value) else str(value.date())

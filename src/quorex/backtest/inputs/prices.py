"""The price frames of a backtest: aligned on the closes' dates and symbols, and checked.

A zero, negative or infinite price is refused (or, on request, treated as
missing); a symbol that gets weight needs at least one price.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import dated_frame, float_frame
from quorex.backtest.inputs.messages import SHOWN, shown
from quorex.backtest.inputs.rules import check_bad_prices
from quorex.backtest.inputs.splits import suspected_splits

PRICE_FIELDS = ("close", "open", "high", "low")


def price_indexes(prices: object) -> dict[str, pd.Index]:
    """The date indexes of the price frames as given, by the name an error shows."""
    given = dict(prices) if isinstance(prices, Mapping) else {"close": prices}
    return {f"prices[{field!r}]": frame.index for field, frame in given.items() if isinstance(frame, pd.DataFrame)}


def price_frames(prices: object) -> dict[str, pd.DataFrame]:
    """The price frames by field, every one on the dates and symbols of "close"."""
    if isinstance(prices, pd.DataFrame):
        given: Mapping[str, object] = {"close": prices}
    elif isinstance(prices, Mapping):
        given = prices
    else:
        raise TypeError(
            "prices must be a DataFrame of closes or a mapping of DataFrames, "
            f"got {type(prices).__name__}"
        )
    unknown = sorted(set(given) - set(PRICE_FIELDS), key=str)
    if unknown:
        raise ValueError(f"prices: unknown fields {unknown}; expected some of {list(PRICE_FIELDS)}")
    if "close" not in given:
        raise ValueError("prices: the mapping needs a 'close' frame")
    close = dated_frame(given["close"], "prices['close']")
    if len(close.index) == 0 or len(close.columns) == 0:
        raise ValueError("prices: no dates or no symbols")
    frames = {"close": close}
    for field in PRICE_FIELDS[1:]:
        if given.get(field) is not None:
            frame = dated_frame(given[field], f"prices[{field!r}]")
            if not (frame.index.equals(close.index) and frame.columns.equals(close.columns)):
                frame = frame.reindex(index=close.index, columns=close.columns)
            frames[field] = frame
    return {field: float_frame(frame, f"prices[{field!r}]") for field, frame in frames.items()}


def _bad_price_mask(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        return (values <= 0) | np.isinf(values)


def column_range(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each column's smallest and largest price, NaN for a column without prices.

    Two reductions at memory speed: a clean price matrix is told apart
    without building a mask of its size.
    """
    return np.fmin.reduce(values, axis=0), np.fmax.reduce(values, axis=0)


def check_prices(
    frames: Mapping[str, pd.DataFrame], bad_prices: str
) -> tuple[dict[str, pd.DataFrame], dict[str, np.ndarray]]:
    """Refuse zero, negative and infinite prices, or turn them into gaps (``bad_prices="missing"``).

    Returns the checked frames and, by field, each column's smallest price
    (NaN for a column without any), which ``check_priced_symbols`` reads.
    """
    check_bad_prices(bad_prices)
    checked, lows = {}, {}
    for field, frame in frames.items():
        values = frame.to_numpy()
        low, high = column_range(values)
        if (low <= 0).any() or np.isinf(high).any():
            bad = _bad_price_mask(values)
            if bad_prices != "missing":
                raise ValueError(_bad_price_message(frame, bad, f"prices[{field!r}]"))
            frame = frame.mask(bad)
            low, _ = column_range(frame.to_numpy())
        checked[field], lows[field] = frame, low
    return checked, lows


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


def check_priced_symbols(
    weights: pd.DataFrame, price_frames: Mapping[str, tuple[pd.Index, np.ndarray]]
) -> None:
    """A symbol that gets weight needs at least one price (in the close and the trade frame).

    ``price_frames`` maps a description to (symbols, each symbol's smallest
    price), as ``check_prices`` gives them; NaN means no price at all.
    """
    given = weights.columns[(weights.to_numpy() != 0).any(axis=0)]
    for what, (symbols, low) in price_frames.items():
        refused = list(given[given.isin(symbols[np.isnan(low)])])
        if refused:
            raise ValueError(
                f"weights: {len(refused)} symbol(s) have weights but no prices "
                f"({what} is missing on every date): {shown([repr(s) for s in refused])}"
            )


@dataclass(frozen=True)
class PreparedPrices:
    """A market's price frames after their checks, to run many backtests on.

    ``quorex.backtest`` accepts it in place of ``prices`` and then skips the
    scans of every price (they depend on the market only): a sweep prepares
    its market once per process instead of once per set.
    """

    frames: dict[str, pd.DataFrame]
    lowest: dict[str, np.ndarray]  # each column's smallest price, NaN without any
    dated: dict[str, pd.Index]  # the frames' date indexes as given, for the timezone check
    suspected_splits: pd.DataFrame  # closes that look unadjusted (``quorex.backtest.inputs.splits``)


def prepare_prices(prices: object, bad_prices: str = "raise") -> PreparedPrices:
    """Align and check ``prices`` once (see ``quorex.backtest``'s ``prices`` and ``bad_prices``)."""
    if isinstance(prices, PreparedPrices):
        return prices
    frames, lowest = check_prices(price_frames(prices), bad_prices)
    return PreparedPrices(frames=frames, lowest=lowest, dated=price_indexes(prices),
                          suspected_splits=suspected_splits(frames["close"]))


def trade_price_frame(frames: Mapping[str, pd.DataFrame], trade_at: str) -> pd.DataFrame:
    """The frame of the price every trade is made at."""
    if trade_at == "close":
        return frames["close"]
    if trade_at == "open":
        if "open" not in frames:
            raise ValueError("trade_at='open' needs an 'open' price frame")
        return frames["open"]
    raise ValueError(f"trade_at must be 'close' or 'open', got {trade_at!r}")

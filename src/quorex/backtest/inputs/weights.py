"""Target weights on the priced symbols, the rebalance calendar, and stale holdings."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import dated_frame, float_frame, to_datetime_index
from quorex.backtest.inputs.messages import DataWarning, shown
from quorex.backtest.inputs.rules import rebalance_offset

Rebalance = str | pd.DatetimeIndex | None
# Trading dates after its last price at which a stock given weight is stale.
STALE_AFTER_DAYS = 5


def align_weights(weights: object, symbols: pd.Index) -> pd.DataFrame:
    """Float target weights on the priced symbols; NaN → 0, booleans → equal weight.

    Symbols without prices are dropped when their weight is always 0 and
    rejected otherwise.
    """
    frame = dated_frame(weights, "weights")
    if len(frame.index) == 0:
        raise ValueError("weights: no dates")
    frame = _numeric_weights(frame)
    unknown = frame.columns.difference(symbols, sort=False)
    if len(unknown):
        traded = unknown[(frame[unknown] != 0).any(axis=0).to_numpy()]
        if len(traded):
            raise ValueError(
                f"weights: {len(traded)} symbol(s) have weights but no prices: {shown([repr(s) for s in traded])}"
            )
        frame = frame.drop(columns=unknown)
    return frame


def _is_boolean(column: pd.Series) -> bool:
    if pd.api.types.is_bool_dtype(column.dtype):
        return True
    # Booleans with gaps arrive as object columns (True/False/NaN).
    return column.dtype == object and pd.api.types.infer_dtype(column, skipna=True) == "boolean"


def _numeric_weights(frame: pd.DataFrame) -> pd.DataFrame:
    if len(frame.columns) and all(_is_boolean(frame[c]) for c in frame.columns):
        # Nullable and pyarrow booleans as plain ones; gaps (NaN, NA) are not selected.
        picked = frame.eq(True).fillna(False).astype(bool)
        count = picked.sum(axis=1).replace(0, np.nan)
        return picked.div(count, axis=0).fillna(0.0)
    numeric = float_frame(frame, "weights")
    if numeric.isna().to_numpy().any():
        numeric = numeric.fillna(0.0)
    magnitude = np.abs(numeric.to_numpy())
    refuse_unbounded_weights(numeric, magnitude)
    warn_weights_above_one(numeric, magnitude)
    return numeric


def refuse_unbounded_weights(weights: pd.DataFrame, magnitude: np.ndarray) -> None:
    """An infinite weight, or a row whose absolute weights sum to infinity, is refused.

    A row is scaled by its absolute sum; an infinite one turns every weight
    into NaN or 0 and the equity into NaN from that date on.
    """
    row_sum = magnitude.sum(axis=1)
    if np.isfinite(row_sum).all():
        return
    row = int(np.flatnonzero(~np.isfinite(row_sum))[0])
    column = int(np.argmax(magnitude[row]))
    value = weights.iat[row, column]
    what = "is infinite" if np.isinf(value) else "makes the row's absolute sum overflow to infinity"
    raise ValueError(
        f"weights: the weight of {weights.columns[column]!r} on {weights.index[row].date()} ({value:g}) {what}; "
        "weights are fractions of equity (1.0 = 100 %)"
    )


def warn_weights_above_one(weights: pd.DataFrame, magnitude: np.ndarray) -> None:
    """A ``DataWarning`` for a weight above 1 in absolute value: probably a percent.

    A row whose absolute weights sum to more than 1 is scaled down to a fully
    invested portfolio, so weights of 5 meaning 5 % would silently become
    equal shares of the whole equity.
    """
    if not magnitude.size:
        return
    row, column = divmod(int(np.argmax(magnitude)), magnitude.shape[1])
    if magnitude[row, column] <= 1.0:
        return
    largest = weights.iat[row, column]
    warnings.warn(
        f"weights: the weight of {weights.columns[column]!r} on {weights.index[row].date()} is {largest:g}; "
        "weights are fractions of equity (1.0 = 100 %) and a row summing to more than 1 is scaled to a "
        f"fully invested portfolio; for {largest:g} % pass {largest / 100:g}",
        DataWarning,
        stacklevel=5,
    )


def drop_unchanged_rows(weights: pd.DataFrame) -> pd.DataFrame:
    """Keep the first row and every row that differs from the one before it."""
    values = weights.to_numpy()
    changed = np.ones(len(values), dtype=bool)
    changed[1:] = (values[1:] != values[:-1]).any(axis=1)
    return weights if changed.all() else weights.loc[changed]


def resample_dates(
    rebalance: Rebalance,
    price_index: pd.DatetimeIndex,
    weight_index: pd.DatetimeIndex,
    next_date: pd.Timestamp,
) -> pd.DatetimeIndex:
    """The dates on whose close a new weight row may be adopted.

    An alias gives the last trading date of each period; the last period
    counts only once it is over, that is when the next trading date opens a
    new one.
    """
    if rebalance is None:
        return weight_index
    if isinstance(rebalance, str):
        rebalance_offset(rebalance)
        dates = price_index.append(pd.DatetimeIndex([next_date]).as_unit("ns"))
        last = pd.Series(dates, index=dates).resample(rebalance).last().dropna()
        return pd.DatetimeIndex(last[last < next_date].to_numpy()).as_unit("ns")
    if isinstance(rebalance, (pd.Index, np.ndarray, list, tuple)):
        return to_datetime_index(pd.Index(rebalance), "rebalance").unique().sort_values()
    raise TypeError(
        "rebalance must be an offset alias, a DatetimeIndex or None, "
        f"got {type(rebalance).__name__}"
    )


# ---------------------------------------------------------------------------
# Stale holdings


def last_price_rows(close: pd.DataFrame) -> np.ndarray:
    """For each date and symbol, the row of the symbol's latest price so far (-1: none yet)."""
    rows = np.arange(len(close.index), dtype=np.int32)[:, None]
    marked = np.where(close.notna().to_numpy(), rows, np.int32(-1))
    return np.maximum.accumulate(marked, axis=0)


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

    Only the (rebalance, symbol) pairs with a weight are looked at, each
    through the ``limit`` + 1 dates up to its rebalance.
    """
    empty = pd.DataFrame({"rebalance": pd.DatetimeIndex([]), "last_price": pd.DatetimeIndex([])})
    trade_rows = np.asarray(trade_rows)
    if len(trade_rows) == 0 or len(weights.columns) == 0:
        return empty
    rebalance, symbol = np.nonzero(weights.to_numpy()[np.asarray(weight_rows)] != 0)  # rebalance order
    if not len(rebalance):
        return empty
    n = len(close.index)
    values = close.to_numpy()
    column = close.columns.get_indexer(weights.columns)[symbol]
    stale = np.ones(len(rebalance), dtype=bool)
    # Most pairs are priced on the rebalance date itself; only the others
    # look further back. The date after the data has no price of its own.
    for lag in range(limit + 1):
        open_pairs = np.flatnonzero(stale)
        rows = trade_rows[rebalance[open_pairs]] - lag
        inside = (rows >= 0) & (rows < n)
        open_pairs, rows = open_pairs[inside], rows[inside]
        stale[open_pairs[~np.isnan(values[rows, column[open_pairs]])]] = False
    if not stale.any():
        return empty
    stale_symbol, stale_rebalance = symbol[stale], rebalance[stale]
    hit, first = np.unique(stale_symbol, return_index=True)  # each symbol at its first stale rebalance
    at = trade_rows[stale_rebalance[first]]
    prices = close.iloc[:, close.columns.get_indexer(weights.columns[hit])]
    last = last_price_rows(prices)[np.minimum(at, n - 1), np.arange(len(hit))]
    dates = close.index
    table = pd.DataFrame(
        {
            "rebalance": pd.DatetimeIndex([dates[r] if r < n else pd.NaT for r in at]),
            "last_price": pd.DatetimeIndex([dates[r] if r >= 0 else pd.NaT for r in last]),
        },
        index=weights.columns[hit],
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
        f"{shown(items)}; give stocks that stopped trading weight 0",
        DataWarning,
        stacklevel=4,
    )


def _day(value: pd.Timestamp, missing: str) -> str:
    return missing if pd.isna(value) else str(value.date())

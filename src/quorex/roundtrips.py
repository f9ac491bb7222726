"""Round trips: a position from the day it is opened to the day it is closed.

The engine starts a new trade record for a held position at every rebalance
(the records keep each period's figures apart). A round trip joins the
consecutive records of one stock on one side, where each record but the last
ended at a rebalance on the date the next one starts.

How the figures of a round trip come from its records (each record's
measures are fractions of its own entry value):

* ``return``: compounded, prod(1 + r) - 1 (NaN when any record's is NaN);
* the level at which record k starts, in units of the round trip's entry
  value, is L_k = prod over the earlier records of (1 + r);
* ``mae`` = min_k L_k (1 + mae_k) - 1 and ``gmfe`` = max_k L_k (1 + gmfe_k) - 1:
  the lowest and highest levels over the whole holding;
* ``max_drawdown``: the worst fall from a running peak, either inside one
  record (mdd_k) or from the highest level of the earlier records to a
  record's low, L_k (1 + mae_k) / peak_before_k - 1;
* ``prior_mfe``: the highest level reached before the round trip's low;
* ``profit_days`` and ``period``: summed over the records (a day counts as
  profitable against its own record's entry);
* entry fields come from the first record, exit fields from the last;
  ``records`` counts the records joined.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

FIRST = ("stock_id", "entry_date", "entry_signal_date", "position", "entry_index", "entry_price")
LAST = ("exit_date", "exit_signal_date", "exit_index", "exit_price", "exit_reason")
COLUMNS = (
    "stock_id", "side", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date",
    "position", "records", "period", "entry_index", "exit_index", "entry_price", "exit_price",
    "exit_reason", "mae", "gmfe", "prior_mfe", "max_drawdown", "profit_days", "return",
)


def trip_numbers(trades: pd.DataFrame) -> np.ndarray:
    """The round trip (0, 1, ...) of each trade row, numbered in the order of first entry."""
    if trades.empty:
        return np.empty(0, dtype=np.int64)
    stock = pd.factorize(trades["stock_id"])[0]
    side = np.sign(trades["position"].to_numpy())
    entry = trades["entry_index"].to_numpy()
    exit_ = trades["exit_index"].to_numpy()
    order = np.lexsort((entry, stock))
    stock, side, entry, exit_ = stock[order], side[order], entry[order], exit_[order]
    continued = np.zeros(len(order), dtype=bool)
    continued[1:] = (stock[1:] == stock[:-1]) & (side[1:] == side[:-1]) & (exit_[:-1] >= 0)
    continued[1:] &= entry[1:] == exit_[:-1]
    if "exit_reason" in trades:
        # Only a split at a rebalance continues the holding; a stop ends it.
        reason = trades["exit_reason"].to_numpy()[order]
        continued[1:] &= reason[:-1] == "rebalance"
    numbers = np.empty(len(order), dtype=np.int64)
    numbers[order] = np.cumsum(~continued) - 1
    return numbers


def round_trips(trades: pd.DataFrame) -> pd.DataFrame:
    """The trades table with the records of each round trip joined (see the module notes)."""
    present = [c for c in COLUMNS if c in trades.columns or c in ("side", "records")]
    if trades.empty:
        empty = pd.DataFrame({c: trades[c].iloc[:0] for c in present if c in trades.columns})
        return empty.assign(side=pd.Series(dtype=object), records=pd.Series(dtype=np.int64))[present]
    numbers = trip_numbers(trades)
    # Rows in holding order: each trip's records by entry.
    order = np.lexsort((trades["entry_index"].to_numpy(), numbers))
    rows = trades.iloc[order].reset_index(drop=True)
    trip = pd.Series(numbers[order])
    grouped = rows.groupby(trip, sort=True)
    table = pd.DataFrame(index=pd.RangeIndex(trip.iloc[-1] + 1))
    for column in FIRST:
        if column in rows:
            table[column] = _nth(rows, trip, column, 0)
    for column in LAST:
        if column in rows:
            table[column] = _nth(rows, trip, column, -1)
    table["side"] = np.where(table["position"].to_numpy() < 0, "short", "long")
    table["records"] = grouped.size().to_numpy()
    table["period"] = grouped["period"].sum().to_numpy()
    if "profit_days" in rows:
        table["profit_days"] = grouped["profit_days"].sum(min_count=1).to_numpy()
    table = table.join(_path_measures(rows, trip))
    return table[[c for c in COLUMNS if c in table.columns]]


def _nth(rows: pd.DataFrame, trip: pd.Series, column: str, which: int) -> np.ndarray:
    """The column's value in each trip's first (0) or last (-1) record, NaN/NaT kept as they are."""
    boundary = trip.ne(trip.shift(1 if which == 0 else -1))
    return rows.loc[boundary.to_numpy(), column].to_numpy()


def _path_measures(rows: pd.DataFrame, trip: pd.Series) -> pd.DataFrame:
    """Compounded return and excursions of each trip, from its records in holding order."""
    growth = 1.0 + rows["return"].astype(np.float64)
    grouped_growth = growth.groupby(trip)
    start = grouped_growth.cumprod().groupby(trip).shift(1, fill_value=1.0)
    out = pd.DataFrame(index=pd.RangeIndex(trip.iloc[-1] + 1))
    total = grouped_growth.prod() - 1.0
    out["return"] = total.where(~rows["return"].isna().groupby(trip).any()).to_numpy()
    if not {"mae", "gmfe", "max_drawdown", "prior_mfe"} <= set(rows.columns):
        return out
    low = start * (1.0 + rows["mae"])
    peak = start * (1.0 + rows["gmfe"])
    peak_before = peak.groupby(trip).cummax().groupby(trip).shift(1, fill_value=1.0).clip(lower=1.0)
    out["mae"] = (low.groupby(trip).min() - 1.0).to_numpy()
    out["gmfe"] = (peak.groupby(trip).max() - 1.0).to_numpy()
    across = low / peak_before - 1.0
    inside = rows["max_drawdown"].astype(np.float64)
    out["max_drawdown"] = np.fmin(across, inside).groupby(trip).min().to_numpy()
    # The highest level before the trip's low: earlier records' peaks, then its own record's.
    lowest = low.groupby(trip).idxmin()
    valid = lowest.notna()
    prior = pd.Series(np.nan, index=out.index)
    at = lowest[valid].astype(np.int64).to_numpy()
    prior[valid.to_numpy()] = np.fmax(
        peak_before.to_numpy()[at], (start * (1.0 + rows["prior_mfe"])).to_numpy()[at]
    ) - 1.0
    out["prior_mfe"] = prior.to_numpy()
    return out

"""Round trips: a position from the day it is opened to the day it is closed.

The engine starts a new trade record for a held position at every rebalance
(the records keep each period's figures apart) and gives the records of one
continuous holding (one stock, one side, split only at rebalances that kept
it) the same ``holding`` number. A round trip joins them.

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
* ``profit_days``, ``period``, ``fee_paid`` and ``tax_paid``: summed over the
  records (a day counts as profitable against its own record's entry);
* entry fields come from the first record, exit fields from the last;
  ``records`` counts the records joined.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

FIRST = ("stock_id", "entry_date", "entry_signal_date", "position", "entry_index", "entry_price")
LAST = ("exit_date", "exit_signal_date", "exit_index", "exit_price", "exit_reason")
SUMMED = ("period", "profit_days", "fee_paid", "tax_paid")
COLUMNS = (
    "holding", "stock_id", "side", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date",
    "position", "records", "period", "entry_index", "exit_index", "entry_price", "exit_price",
    "exit_reason", "mae", "gmfe", "prior_mfe", "max_drawdown", "profit_days", "return", "fee_paid", "tax_paid",
)


def holding_order(holding: np.ndarray, entry_index: np.ndarray) -> np.ndarray:
    """The positions of the records in holding order: each holding's records by entry."""
    return np.lexsort((entry_index, holding))


def holding_returns(returns: np.ndarray, holding: np.ndarray, entry_index: np.ndarray) -> np.ndarray:
    """Each holding's compounded return, prod(1 + r) - 1 over its records in entry order.

    Holdings are numbered 0 .. H-1; the result has one value per holding, NaN
    when any of its records has no return.
    """
    if len(returns) == 0:
        return np.empty(0)
    order = holding_order(holding, entry_index)
    grouped = holding[order]
    starts = np.flatnonzero(np.r_[True, grouped[1:] != grouped[:-1]])
    growth = np.multiply.reduceat(1.0 + np.asarray(returns, dtype=np.float64)[order], starts)
    out = np.full(int(grouped[-1]) + 1, np.nan)
    out[grouped[starts]] = growth - 1.0
    return out


def round_trips(trades: pd.DataFrame) -> pd.DataFrame:
    """The trades table with the records of each holding joined (see the module notes).

    ``trades`` needs a "holding" column (as ``report.trades`` has): the
    engine numbers the holdings in the order they were opened, and the
    round trips come in that order.
    """
    if "holding" not in trades:
        raise ValueError("round_trips needs the trades' 'holding' column (as report.trades has)")
    present = [c for c in COLUMNS if c in trades.columns or c in ("side", "records")]
    if trades.empty:
        empty = pd.DataFrame({c: trades[c].iloc[:0] for c in present if c in trades.columns})
        return empty.assign(side=pd.Series(dtype=object), records=pd.Series(dtype=np.int64))[present]
    holding = pd.factorize(trades["holding"].to_numpy(), sort=True)[0]
    order = holding_order(holding, trades["entry_index"].to_numpy())
    rows = trades.iloc[order].reset_index(drop=True)
    trip = pd.Series(holding[order])
    grouped = rows.groupby(trip, sort=True)
    table = pd.DataFrame(index=pd.RangeIndex(trip.iloc[-1] + 1))
    table["holding"] = _nth(rows, trip, "holding", 0)
    for column in FIRST:
        if column in rows:
            table[column] = _nth(rows, trip, column, 0)
    for column in LAST:
        if column in rows:
            table[column] = _nth(rows, trip, column, -1)
    table["side"] = np.where(table["position"].to_numpy() < 0, "short", "long")
    table["records"] = grouped.size().to_numpy()
    for column in SUMMED:
        if column in rows:
            table[column] = grouped[column].sum(min_count=1).to_numpy()
    table = table.join(_path_measures(rows, trip))
    return table[[c for c in COLUMNS if c in table.columns]]


def _nth(rows: pd.DataFrame, trip: pd.Series, column: str, which: int) -> np.ndarray:
    """The column's value in each trip's first (0) or last (-1) record, NaN/NaT kept as they are."""
    boundary = trip.ne(trip.shift(1 if which == 0 else -1))
    return rows.loc[boundary.to_numpy(), column].to_numpy()


def _path_measures(rows: pd.DataFrame, trip: pd.Series) -> pd.DataFrame:
    """Compounded return and excursions of each trip, from its records in holding order."""
    growth = 1.0 + rows["return"].astype(np.float64)
    start = growth.groupby(trip).cumprod().groupby(trip).shift(1, fill_value=1.0)
    out = pd.DataFrame(index=pd.RangeIndex(trip.iloc[-1] + 1))
    out["return"] = holding_returns(rows["return"].to_numpy(dtype=np.float64), trip.to_numpy(),
                                    rows["entry_index"].to_numpy())
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
    # A trip without a known low has no prior_mfe (idxmin of an all-NaN group
    # raises on pandas 3); those trips are left out before the grouping.
    known = low.notna()
    lowest = low[known].groupby(trip[known]).idxmin().reindex(out.index)
    valid = lowest.notna()
    prior = pd.Series(np.nan, index=out.index)
    at = lowest[valid].astype(np.int64).to_numpy()
    prior[valid.to_numpy()] = np.fmax(
        peak_before.to_numpy()[at], (start * (1.0 + rows["prior_mfe"])).to_numpy()[at]
    ) - 1.0
    out["prior_mfe"] = prior.to_numpy()
    return out

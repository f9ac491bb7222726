"""Closes that look unadjusted: one-day moves at the ratio of a stock split.

A split of n shares for m multiplies the price by m / n overnight. In
adjusted prices that move is divided out; in raw closes it stays, and a
backtest books it as a crash (or, for a reverse split, a windfall): annual
returns fall by half and a 7-for-1 split reads as an -86 % trade.

A move is suspected when

* it is large: the close moves by a factor of at least ``MIN_JUMP`` from
  the previous close (the last one before a gap);
* what is left after dividing out the nearest split ratio is an ordinary
  day for that stock: within ``TOLERANCE_SIGMAS`` of its typical daily move
  (a robust scale, 1.4826 × the median absolute log return), and within
  ``MAX_TOLERANCE`` in any case;
* the move is far outside the stock's ordinary days (``MIN_SIGMAS``);
* it is not undone by the next close (a bad print comes back; a split
  stays).

Genuine crashes land anywhere; a split lands on its ratio. The thresholds
were tuned on synthetic markets with fat-tailed returns, genuine crashes
and injected splits (``bench/split_detection.py``).
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from quorex.backtest.inputs.messages import DataWarning, shown
from quorex.core import engine

# Shares after : shares before. Their inverses are reverse splits.
# The common ratios only: every further ratio would widen the net for genuine crashes.
SPLITS = ((3, 2), (2, 1), (3, 1), (4, 1), (5, 1), (7, 1), (10, 1), (20, 1), (50, 1), (100, 1))
MIN_JUMP = 1.4
TOLERANCE_SIGMAS = 2.5
MAX_TOLERANCE = 0.05
MIN_TOLERANCE = 0.005
MIN_SIGMAS = 6.0
MAD_TO_SIGMA = 1.4826

# log(price after / price before) of every split and reverse split, and its label.
_TARGETS = np.log([m / n for n, m in SPLITS] + [n / m for n, m in SPLITS])
_LABELS = [f"{n}-for-{m} split" for n, m in SPLITS] + [f"{m}-for-{n} reverse split" for n, m in SPLITS]
COLUMNS = ("symbol", "date", "ratio", "looks_like")


def _empty() -> pd.DataFrame:
    return pd.DataFrame({"symbol": [], "date": pd.DatetimeIndex([]), "ratio": [], "looks_like": []})


def _priced_row(values: np.ndarray, rows: np.ndarray, cols: np.ndarray, step: int) -> np.ndarray:
    """For each (row, col), the nearest other row in direction ``step`` (-1 or +1) with a price:
    -1 or n when there is none. Only the columns asked about are scanned."""
    n = len(values)
    unique, where = np.unique(cols, return_inverse=True)
    order = np.arange(n)[:, None]
    if step < 0:
        marks = np.where(np.isnan(values[:, unique]), -1, order)
        nearest = np.maximum.accumulate(marks, axis=0)
        at = rows - 1
        found = np.full(len(rows), -1)
    else:
        marks = np.where(np.isnan(values[:, unique]), n, order)
        nearest = np.minimum.accumulate(marks[::-1], axis=0)[::-1]
        at = rows + 1
        found = np.full(len(rows), n)
    inside = (at >= 0) & (at < n)
    found[inside] = nearest[at[inside], where[inside]]
    return found


def _large_moves(values: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The (row, col) of every close that moved by ``MIN_JUMP`` or more from the price before it
    (across a gap: the last price before), and the row of that price.

    One native pass in memory order, without the interpreter lock: the scan
    runs on every backtest's closes.
    """
    return engine.large_moves(values, MIN_JUMP)


def _typical_moves(values: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """The robust scale of daily log returns of each column in ``cols`` (across gaps: from the last price)."""
    unique = np.unique(cols)
    prices = pd.DataFrame(values[:, unique]).ffill().to_numpy()
    with np.errstate(invalid="ignore", divide="ignore"):
        moves = np.abs(np.log(prices[1:] / prices[:-1]))
    scale = MAD_TO_SIGMA * np.nanmedian(np.where(moves > 0, moves, np.nan), axis=0)
    return scale[np.searchsorted(unique, cols)]


def suspected_splits(close: pd.DataFrame) -> pd.DataFrame:
    """The one-day moves of ``close`` that look like an unadjusted split (see the module notes).

    One row per move: "symbol", "date", "ratio" (the close over the
    previous close) and "looks_like" (e.g. "2-for-1 split"), by date.
    """
    values = close.to_numpy(dtype=np.float64)
    if len(values) < 2 or values.size == 0:
        return _empty()
    rows, cols, previous = _large_moves(values)
    if not len(rows):
        return _empty()
    move = np.log(values[rows, cols] / values[previous, cols])
    nearest = np.abs(move[:, None] - _TARGETS[None, :]).argmin(axis=1)
    residual = np.abs(move - _TARGETS[nearest])
    sigma = _typical_moves(values, cols)
    tolerance = np.clip(TOLERANCE_SIGMAS * sigma, MIN_TOLERANCE, MAX_TOLERANCE)
    # A bad print comes back: the next close returns to the price before the move, or this
    # move returns to the price before the previous one.
    following, earlier = _priced_row(values, rows, cols, +1), _priced_row(values, previous, cols, -1)
    with np.errstate(invalid="ignore", divide="ignore"):
        after = np.full(len(rows), np.nan)
        has = following < len(values)
        after[has] = np.log(values[following[has], cols[has]] / values[previous[has], cols[has]])
        before = np.full(len(rows), np.nan)
        has = earlier >= 0
        before[has] = np.log(values[rows[has], cols[has]] / values[earlier[has], cols[has]])
        undone = (np.abs(after) < 0.5 * np.abs(move)) | (np.abs(before) < 0.5 * np.abs(move))
        suspected = (residual <= tolerance) & (np.abs(move) >= MIN_SIGMAS * sigma) & ~undone
    table = pd.DataFrame({
        "symbol": close.columns[cols[suspected]],
        "date": close.index[rows[suspected]],
        "ratio": np.exp(move[suspected]),
        "looks_like": np.asarray(_LABELS, dtype=object)[nearest[suspected]],
    })
    return table.sort_values(["date", "symbol"], kind="stable", ignore_index=True)


def warn_suspected_splits(table: pd.DataFrame) -> None:
    """One ``DataWarning`` naming the suspected splits (symbol, date, what they look like)."""
    if table.empty:
        return
    items = [f"{row.symbol!r} on {row.date.date()} (x{row.ratio:.4g}, like a {row.looks_like})"
             for row in table.itertuples()]
    warnings.warn(
        f"{len(items)} one-day move(s) of the closes look like unadjusted stock splits: {shown(items)}; "
        "a backtest on unadjusted prices books a split as a loss (a reverse split as a gain): use "
        "split-adjusted prices",
        DataWarning,
        stacklevel=3,
    )

"""A factor and the market it is studied on: read, checked and aligned as the backtest reads its inputs.

The prices go through the backtest's own reading and checks (the same
frames are accepted, and refused with the same messages); the factor is a
frame of dates × symbols, higher = more attractive, known at the close of
its date. Its signal is traded at the next trading date's trade price, as
the backtest trades weights, so a factor dated on a day without trading
belongs to the last trading date before it.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import check_timezones, dated_frame, dated_indexes, float_frame
from quorex.backtest.inputs.messages import SHOWN, DataWarning, shown
from quorex.backtest.inputs.prices import prepare_prices, price_indexes, trade_price_frame

DEFAULT_PERIODS = (1, 5, 21)


@dataclass(frozen=True)
class FactorPanel:
    """A factor on trading dates and the priced symbols, with the trade prices its signals meet.

    ``factor`` holds one row per trading date that has a factor row (the
    latest factor row on or before it, when several fall between two
    trading dates); ``rows`` are those dates' positions among ``dates``, the
    trading dates of the prices; ``trade`` is the trade price matrix
    (dates × the same symbols).
    """

    factor: pd.DataFrame
    rows: np.ndarray
    dates: pd.DatetimeIndex
    trade: np.ndarray
    carried: np.ndarray  # ``trade`` with each gap filled by the last price before it

    def forward_returns(self, period: int) -> np.ndarray:
        """The ``period``-date forward returns on the factor's dates (factor rows × symbols)."""
        return forward_return_matrix(self.trade, self.carried, period)[self.rows]


def checked_factor(factor: object) -> pd.DataFrame:
    """A factor frame on naive dates, sorted, float64; an infinite value is refused."""
    frame = float_frame(dated_frame(factor, "factor"), "factor")
    values = frame.to_numpy()
    infinite = np.isinf(values)
    if infinite.any():
        rows, cols = np.nonzero(infinite)
        examples = [f"({frame.columns[c]!r}, {frame.index[r].date()}): {values[r, c]:g}"
                    for r, c in zip(rows[:SHOWN], cols[:SHOWN])]
        raise ValueError(
            f"factor: {len(rows)} infinite value(s): {', '.join(examples)}"
            + (" ..." if len(rows) > SHOWN else "")
            + "; replace them with NaN to leave those names out of their dates"
        )
    return frame


def checked_periods(periods: Sequence[int] | int) -> tuple[int, ...]:
    """Forward periods as distinct whole numbers of trading dates, 1 or more, in the order given."""
    given = (periods,) if isinstance(periods, (int, np.integer)) else tuple(periods)
    wrong = [p for p in given if isinstance(p, bool) or not isinstance(p, (int, np.integer)) or p < 1]
    if not given or wrong:
        raise ValueError(f"periods must be whole numbers of trading dates, 1 or more, got {list(given)!r}")
    if len(set(given)) != len(given):
        raise ValueError(f"periods: each period once, got {list(given)!r}")
    return tuple(int(p) for p in given)


def factor_panel(factor: object, prices: object, trade_at: str = "close", bad_prices: str = "raise") -> FactorPanel:
    """The factor aligned on the prices' trading dates and symbols (see ``FactorPanel``).

    Factor rows dated before the first or after the last trading date are
    left out (their trades fall outside the prices); symbols of the factor
    without prices are left out with a ``DataWarning``.
    """
    price_dates = price_indexes(prices)
    check_timezones({**price_dates, **dated_indexes(factor=factor)}, None)
    frames = prepare_prices(prices, bad_prices).frames
    close = frames["close"]
    trade = trade_price_frame(frames, trade_at)
    frame = checked_factor(factor)
    frame = _on_priced_symbols(frame, close.columns)
    position = close.index.searchsorted(frame.index, side="right") - 1
    inside = (position >= 0) & (frame.index <= close.index[-1])
    if not inside.any():
        raise ValueError(
            f"factor: no date within the prices' dates ({close.index[0].date()} to {close.index[-1].date()})"
        )
    frame, position = frame.loc[inside], position[inside]
    # Of several factor rows before one trade, the latest is the one traded.
    latest = np.r_[position[1:] != position[:-1], True]
    rows = position[latest]
    aligned = frame.loc[latest].set_axis(close.index[rows], axis=0)
    return FactorPanel(factor=aligned, rows=rows, dates=close.index, trade=trade.to_numpy(dtype=np.float64),
                       carried=trade.ffill().to_numpy(dtype=np.float64))


def _on_priced_symbols(frame: pd.DataFrame, symbols: pd.Index) -> pd.DataFrame:
    if len(symbols.intersection(frame.columns)) == 0:
        raise ValueError("factor: no symbol of the factor has prices; the symbols must match the prices' columns")
    unknown = frame.columns.difference(symbols, sort=False)
    valued = unknown[frame[unknown].notna().any(axis=0).to_numpy()] if len(unknown) else unknown
    if len(valued):
        warnings.warn(
            f"factor: {len(valued)} symbol(s) have factor values but no prices and are left out: "
            f"{shown([repr(s) for s in valued])}",
            DataWarning,
            stacklevel=4,
        )
    return frame.reindex(columns=symbols)


def forward_return_matrix(trade: np.ndarray, carried: np.ndarray, period: int) -> np.ndarray:
    """Row d: the return of buying at the trade price of the date after d and selling ``period``
    trading dates later (dates × symbols); ``carried`` is ``trade`` with its gaps forward-filled.

    A name without a trade price on the buying date has no forward return
    (it could not be bought); one whose price is missing on the selling date
    is valued at its last trade price before it, as the backtest values a
    position whose prices stop. The last ``period + 1`` dates have none.
    """
    n_dates = trade.shape[0]
    out = np.empty(trade.shape)
    known = max(n_dates - 1 - period, 0)
    np.divide(carried[1 + period:], trade[1: 1 + known], out=out[:known])
    out[:known] -= 1.0
    out[known:] = np.nan
    return out

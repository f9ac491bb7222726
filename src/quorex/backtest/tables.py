"""A finished run's tables, built from the engine's arrays: trades, positions, liquidity, costs."""

from __future__ import annotations

from collections.abc import Mapping
from types import SimpleNamespace

import numpy as np
import pandas as pd

from quorex.backtest.engine import EngineInputs
from quorex.backtest.excursions import bounded_by_return
from quorex.backtest.inputs.dates import dated_frame, float_frame

EXCURSION_FIELDS = ("mae", "gmfe", "prior_mfe", "max_drawdown", "profit_days")


def realised_return(
    entry_price: np.ndarray,
    exit_price: np.ndarray,
    position: np.ndarray,
    entry_charged: np.ndarray,
    exit_charged: np.ndarray,
    fee_ratio: float,
    tax_ratio: float,
) -> np.ndarray:
    """Each trade's return at its fills, net of the costs it paid.

    With x = exit_price / entry_price, f = fee_ratio on a charged entry (else
    0) and c = fee_ratio + tax_ratio on a charged exit (else 0):
    long: (1 - f) * x * (1 - c) - 1; short: (1 - f) - x * (1 + c). This is
    the money the position returned per unit put in, as the equity curve
    books it. A trade split at a rebalance that keeps the position pays no
    cost at the split; NaN when a fill price is missing.
    """
    x = exit_price / entry_price
    f = fee_ratio * entry_charged
    c = (fee_ratio + tax_ratio) * exit_charged
    return np.where(position > 0, (1 - f) * x * (1 - c) - 1, (1 - f) - x * (1 + c))


def dates_at(dates: np.ndarray, positions: np.ndarray) -> np.ndarray:
    """datetime64[ns] of the int64 ``dates`` at ``positions``; a negative position gives NaT."""
    if len(dates) == 0:
        return np.full(len(positions), np.datetime64("NaT", "ns"))
    picked = np.where(positions >= 0, dates[np.maximum(positions, 0)], np.iinfo(np.int64).min)
    return picked.view("datetime64[ns]")


def money_return(
    entry_price: np.ndarray, exit_price: np.ndarray, shares: np.ndarray, costs: np.ndarray
) -> np.ndarray:
    """Each trade's return with a starting capital: its profit at the fills, less the fees and
    taxes it paid, over what its shares cost at entry: (shares * (exit - entry) - costs) /
    (|shares| * entry), shares negative for a short. A record whose size changed on the way
    (partial fills, resizes kept in one record) counts at the most shares it held.
    """
    return (shares * (exit_price - entry_price) - costs) / (np.abs(shares) * entry_price)


def trade_table(
    run: SimpleNamespace, inputs: EngineInputs, fee_ratio: float, tax_ratio: float, capital: float | None = None
) -> pd.DataFrame:
    """One row per trade record: stock, dates, position, period, excursions, fills, costs, holding.

    With a ``capital`` the costs are in currency, the shares are given, and the
    return is in money (``money_return``).
    """
    from quorex.core.engine import EXIT_REASONS

    dates = inputs.price_index
    entry, exit_ = run.trade_entry_row, run.trade_exit_row
    measures = run.excursions[:, -6:] if run.excursions.shape[1] else np.empty((len(entry), 6))
    columns = {
        "stock_id": inputs.pos_labels.take(run.trade_sid),
        "entry_date": dates_at(dates, entry),
        "exit_date": dates_at(dates, exit_),
        # The first trading date has no earlier signal date.
        "entry_signal_date": dates_at(dates, run.trade_entry_signal_row),
        "exit_signal_date": dates_at(dates, run.trade_exit_signal_row),
        "position": run.trade_position,
        "period": np.where(exit_ >= 0, exit_, len(dates)) - entry,
        "entry_index": entry,
        "exit_index": exit_,
    }
    columns.update((name, measures[:, k]) for k, name in enumerate(EXCURSION_FIELDS))
    if capital is None:
        columns["return"] = realised_return(
            run.trade_entry_price, run.trade_exit_price, run.trade_position, run.trade_entry_charged,
            run.trade_exit_charged, fee_ratio, tax_ratio,
        )
    else:
        columns["return"] = money_return(
            run.trade_entry_price, run.trade_exit_price, run.trade_shares, run.trade_fee + run.trade_tax
        )
    columns.update(bounded_by_return(*(columns[name] for name in EXCURSION_FIELDS[:4]), columns["return"]))
    columns["entry_price"] = run.trade_entry_price
    columns["exit_price"] = run.trade_exit_price
    columns["exit_reason"] = pd.Categorical.from_codes(run.trade_exit_reason, categories=list(EXIT_REASONS))
    columns["fee_paid"] = run.trade_fee
    columns["tax_paid"] = run.trade_tax
    columns["slippage_paid"] = run.trade_slippage
    if capital is not None:
        columns["shares"] = run.trade_shares
    columns["holding"] = run.trade_holding
    return pd.DataFrame(columns, copy=False)


def add_turnover(
    trades: pd.DataFrame, run: SimpleNamespace, inputs: EngineInputs, turnover: pd.DataFrame
) -> pd.DataFrame:
    """Traded value of each trade's stock on its entry and exit dates."""
    values = float_frame(turnover, "turnover").reindex(index=inputs.dates, columns=inputs.pos_labels).to_numpy()
    entry = trades["entry_index"].to_numpy()
    exit_ = trades["exit_index"].to_numpy()
    trades = trades.copy()
    trades["turnover@entry_date"] = values[entry, run.trade_sid] if len(trades) else []
    exit_value = np.full(len(trades), np.nan)
    closed = exit_ >= 0
    exit_value[closed] = values[exit_[closed], run.trade_sid[closed]]
    trades["turnover@exit_date"] = exit_value
    return trades


def position_table(trades: pd.DataFrame, index: pd.DatetimeIndex, symbols: pd.Index) -> pd.DataFrame:
    """Daily held weights: each trade's weight from its entry date up to its exit date.

    On the exit date the position is sold, so it is no longer held at that
    close; a trade still open is held to the last date.
    """
    marks = np.full((len(index), len(symbols)), np.nan)
    if len(trades):
        column = symbols.get_indexer(trades["stock_id"])
        entry = trades["entry_index"].to_numpy()
        exit_ = trades["exit_index"].to_numpy()
        closed = exit_ >= 0
        marks[exit_[closed], column[closed]] = 0.0
        # A rebalance closes and reopens on the same date: the entry wins.
        opened = exit_ != entry
        marks[entry[opened], column[opened]] = trades["position"].to_numpy()[opened]
    return pd.DataFrame(marks, index=index, columns=symbols).ffill().fillna(0.0)


def cost_table(run: SimpleNamespace, index: pd.DatetimeIndex) -> pd.DataFrame:
    """The fees, taxes and slippage paid on each trading date (units of the starting capital, or
    currency with a capital)."""
    return pd.DataFrame({"fee": run.daily_fee, "tax": run.daily_tax, "slippage": run.daily_slippage}, index=index)


def carry_table(run: SimpleNamespace, index: pd.DatetimeIndex) -> pd.DataFrame:
    """Interest earned on cash and the fee paid on short positions, on each trading date."""
    return pd.DataFrame({"interest": run.daily_interest, "borrow": run.daily_borrow}, index=index)


def unfilled_table(run: SimpleNamespace, inputs: EngineInputs, capital: float | None) -> pd.DataFrame:
    """One row per order not filled in full on its date: what it wanted, what filled, and why not.

    Signed sizes (positive buys): shares with a capital, else fractions of the
    equity the order was sized from.
    """
    from quorex.core.engine import UNFILLED_REASONS

    if capital is None:
        wanted = ("weight_wanted", run.unfilled_wanted / run.unfilled_base)
        filled = ("weight_filled", run.unfilled_filled / run.unfilled_base)
    else:
        wanted, filled = ("shares_wanted", run.unfilled_wanted), ("shares_filled", run.unfilled_filled)
    return pd.DataFrame({
        "date": dates_at(inputs.price_index, run.unfilled_row),
        "symbol": inputs.pos_labels.take(run.unfilled_sid),
        wanted[0]: wanted[1],
        filled[0]: filled[1],
        "reason": pd.Categorical.from_codes(run.unfilled_reason, categories=list(UNFILLED_REASONS)),
    }, copy=False)


def liquidity_table(
    trades: pd.DataFrame,
    frames: Mapping[str, pd.DataFrame],
    categories: Mapping[str, pd.DataFrame] | None,
    trade_frame: pd.DataFrame,
) -> dict[str, dict[str, float]]:
    """Share of entries and exits in each category, and of fills at the day's extreme."""
    index = frames["close"].index
    entry = trades["entry_index"].to_numpy()
    exit_ = trades["exit_index"].to_numpy()
    closed = exit_ >= 0
    column = frames["close"].columns.get_indexer(trades["stock_id"])
    table: dict[str, dict[str, float]] = {}
    for name, flags in (categories or {}).items():
        marked = dated_frame(flags, f"categories[{name!r}]")
        cells = marked.reindex(index=index, columns=frames["close"].columns).to_numpy()
        # A date or symbol the flags do not cover is not flagged. Boolean flags
        # with such gaps are objects, which fillna would downcast (deprecated in pandas 2.2).
        values = np.where(pd.notna(cells), cells, False).astype(bool)
        table[name] = {
            "entry": _share(values[entry, column]),
            "exit": _share(values[exit_[closed], column[closed]]),
        }
    trade_price = trade_frame.to_numpy()
    if "high" in frames:
        high = frames["high"].to_numpy()
        at_high = trade_price[entry, column] >= high[entry, column]
        table["buy_high"] = {"entry": _share(at_high), "exit": 0.0}
    if "low" in frames:
        low = frames["low"].to_numpy()
        at_low = trade_price[exit_[closed], column[closed]] <= low[exit_[closed], column[closed]]
        table["sell_low"] = {"entry": 0.0, "exit": _share(at_low)}
    return table


def _share(flags: np.ndarray) -> float:
    return float(flags.mean()) if len(flags) else 0.0


def benchmark_levels(benchmark: pd.Series | None, close: pd.DataFrame) -> pd.Series:
    """The given benchmark, or the equal-weight buy-and-hold of the universe."""
    if benchmark is not None:
        return benchmark
    first = close.iloc[0]
    held = close.loc[:, first.notna() & (first != 0)]
    if held.empty:
        return pd.Series(1.0, index=close.index, name="benchmark")
    growth = held.ffill() / held.iloc[0]
    return growth.mean(axis=1).rename("benchmark")



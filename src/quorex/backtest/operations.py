"""What the portfolio does next: the weights of the last and the next rebalance, an action per stock."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pandas as pd

from quorex.backtest.engine import EngineInputs
from quorex.backtest.inputs.weights import Rebalance
from quorex.backtest.market import next_trading_date


def stock_operation_tables(
    run: SimpleNamespace, inputs: EngineInputs, rebalance: Rebalance, market: object
) -> tuple[pd.Series, pd.Series, pd.DataFrame]:
    """Weights, next weights and per-symbol actions by symbol instead of column index."""
    from quorex.core.engine import ACTIONS

    labels = inputs.pos_labels
    current = _weight_series(run.weight_sids, run.weight_values, labels)
    if len(run.rebalance_rows):
        current.name = pd.Timestamp(inputs.price_index[run.rebalance_rows[-1]])
    upcoming = _weight_series(run.next_weight_sids, run.next_weight_values, labels)
    upcoming.name = _next_rebalance_date(run.rebalance_due, rebalance, inputs, market)
    acting = np.flatnonzero(run.actions >= 0)
    actions = pd.Series(np.asarray(ACTIONS, dtype=object)[run.actions[acting]], index=labels[acting], dtype=object)
    table = pd.DataFrame({"action": actions, "weight": current, "next_weight": upcoming})
    table = table.reindex(labels[labels.isin(table.index)])
    table.index.name = "symbol"
    return current, upcoming, table


def _weight_series(sids: np.ndarray, values: np.ndarray, labels: pd.Index) -> pd.Series:
    return pd.Series(values, index=labels[sids], dtype=np.float64)


def _next_rebalance_date(
    due: bool, rebalance: Rebalance, inputs: EngineInputs, market: object
) -> pd.Timestamp | None:
    """The trading date on which the next weights are expected to take effect.

    A rebalance due after the last date happens on the next trading date;
    otherwise on the session after the end of the pending period (or the
    next explicit rebalance date). None when rebalancing follows weight
    changes, which cannot be foreseen.
    """
    last = pd.Timestamp(inputs.price_index[-1])
    next_date = next_trading_date(market, last)
    if due:
        return next_date
    if isinstance(rebalance, str):
        dates = pd.DatetimeIndex([last, next_date])
        period_end = pd.Series(dates, index=dates).resample(rebalance).last().index[-1]
        return next_trading_date(market, period_end)
    if rebalance is not None:
        later = inputs.resample[inputs.resample > inputs.price_index[-1]]
        if len(later):
            return next_trading_date(market, pd.Timestamp(later[0]))
    return None

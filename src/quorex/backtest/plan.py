"""A run's plan: the rules checked into the engine's settings, and the engine's inputs for one weights table.

``quorex.backtest`` plans one run. A sweep plans the rules of every set but
the inputs of each distinct weights table only once per rebalance rule,
trade price and tradable and volume frames, then calls the engine directly:
the checks are the same functions either way.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from quorex.backtest.engine import EngineInputs
from quorex.backtest.inputs.prices import PreparedPrices, check_priced_symbols, trade_price_frame
from quorex.backtest.inputs.rules import (
    ExecutionRules,
    check_run_settings,
    check_touched_exit,
    check_trade_at,
    resolve_costs,
    resolve_execution,
    stop_arguments,
)
from quorex.backtest.inputs.trading import execution_matrices, tradable_values, volume_values
from quorex.backtest.inputs.weights import (
    Rebalance,
    drop_unchanged_rows,
    resample_dates,
    stale_holdings,
    warn_stale_holdings,
)
from quorex.backtest.market import MarketLike, as_market, next_trading_date


@dataclass(frozen=True)
class RunRules:
    """A run's rules, checked: what the report states and what the engine is given (``settings``)."""

    market: MarketLike
    fee_ratio: float
    tax_ratio: float
    stop_loss: float | None
    take_profit: float | None
    trail_stop: float | None
    trade_at: str
    rebalance: Rebalance
    touched_exit: bool
    execution: ExecutionRules
    tradable: pd.DataFrame | None  # as given; read on the prices' dates by ``plan_run``
    volume: pd.DataFrame | None
    settings: dict[str, Any]


def price_fields(prices: object) -> set[str]:
    """The price fields a run will have ("close" alone for a frame)."""
    if isinstance(prices, PreparedPrices):
        return set(prices.frames)
    if isinstance(prices, Mapping):
        return {field for field, frame in prices.items() if frame is not None}
    return {"close"}


def run_rules(
    fields: Collection[str],
    *,
    market: Any,
    rebalance: Rebalance,
    trade_at: str,
    fee_ratio: float | None,
    tax_ratio: float | None,
    stop_loss: float | None,
    take_profit: float | None,
    trail_stop: float | None,
    touched_exit: bool,
    position_limit: float,
    retain_cost_when_rebalance: bool,
    stop_trading_next_period: bool,
    excursion_window: int,
    excursion_step: int,
    periodically_rebalance: bool,
    tradable: pd.DataFrame | None,
    volume: pd.DataFrame | None,
    **execution: Any,
) -> RunRules:
    """Check the rules of a run on a market with price ``fields`` (see ``quorex.backtest``);
    ``execution`` are the execution rules (capital, lot_size, ..., borrow_rate)."""
    market_obj = as_market(market)
    fee, tax = resolve_costs(fee_ratio, tax_ratio, market_obj)
    executed = resolve_execution(market_obj, volume=volume is not None, tradable=tradable is not None, **execution)
    check_trade_at(trade_at, fields)
    check_touched_exit(touched_exit, fields)
    stops = stop_arguments(stop_loss, take_profit, trail_stop)
    check_run_settings(position_limit, excursion_window, excursion_step)
    settings = dict(
        fee_ratio=fee,
        tax_ratio=tax,
        touched_exit=bool(touched_exit),
        position_limit=float(position_limit),
        retain_cost_when_rebalance=bool(retain_cost_when_rebalance),
        stop_trading_next_period=bool(stop_trading_next_period),
        tradearc_window=int(excursion_window),
        tradearc_window_step=int(excursion_step),
        periodically_rebalance=bool(periodically_rebalance),
        **executed.engine_arguments(),
        **stops,
    )
    return RunRules(market_obj, fee, tax, stop_loss, take_profit, trail_stop, trade_at, rebalance,
                    bool(touched_exit), executed, tradable, volume, settings)


@dataclass(frozen=True)
class RunPlan:
    """The engine's inputs for one weights table under one rebalance rule, trade price and set of
    tradable and volume frames (``matrices``: the engine arguments of those given)."""

    inputs: EngineInputs
    target: pd.DataFrame  # the weights the engine is given
    trade_frame: pd.DataFrame
    next_date: pd.Timestamp  # the trading date after the data
    matrices: dict[str, np.ndarray]


def plan_run(prepared: PreparedPrices, target: pd.DataFrame, rules: RunRules) -> RunPlan:
    """The engine's inputs for aligned weights ``target`` (see ``align_weights``) under ``rules``."""
    frames, lowest = prepared.frames, prepared.lowest
    close = frames["close"]
    next_date = next_trading_date(rules.market, close.index[-1])
    trade_frame = trade_price_frame(frames, rules.trade_at)
    if rules.rebalance is None:
        target = drop_unchanged_rows(target)
    resample = resample_dates(rules.rebalance, close.index, target.index, next_date)
    check_priced_symbols(target, {"the close": (close.columns, lowest["close"]),
                                  f"the {rules.trade_at}": (close.columns, lowest[rules.trade_at])})
    inputs = EngineInputs.build(frames, trade_frame, target, resample, rules.touched_exit)
    traded = target.columns[(target.to_numpy() != 0).any(axis=0)]
    matrices = execution_matrices(tradable_values(rules.tradable, close, traded),
                                  volume_values(rules.volume, close, traded))
    return RunPlan(inputs, target, trade_frame, next_date, matrices)


def warn_stale(close: pd.DataFrame, target: pd.DataFrame, run: SimpleNamespace) -> None:
    """Warn about rebalances that gave (or, when due after the data, give) weight to stocks
    whose prices stopped."""
    trade_rows, weight_rows = run.rebalance_rows, run.rebalance_weight_rows
    if run.rebalance_due:
        trade_rows = np.append(trade_rows, len(close.index))
        weight_rows = np.append(weight_rows, run.next_weight_row)
    warn_stale_holdings(stale_holdings(close, target, trade_rows, weight_rows))

"""``quorex.backtest``: labelled pandas inputs in, the engine's run, a ``Report`` out.

Everything is aligned by label (dates and symbols), never by position. The
inputs are read and checked by ``quorex.backtest.inputs``, the engine runs
once, and the report's tables are built from its arrays when first asked for.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from quorex.backtest.engine import EngineInputs, run_engine
from quorex.backtest.inputs.dates import check_timezones, dated_indexes
from quorex.backtest.inputs.prices import PreparedPrices, prepare_prices, price_indexes
from quorex.backtest.inputs.rules import checked_benchmark, checked_categories, checked_turnover
from quorex.backtest.inputs.splits import warn_suspected_splits
from quorex.backtest.inputs.weights import Rebalance, align_weights
from quorex.backtest.operations import stock_operation_tables
from quorex.backtest.plan import plan_run, price_fields, run_rules, warn_stale
from quorex.backtest.report import Report
from quorex.backtest.tables import (
    add_turnover,
    benchmark_levels,
    carry_table,
    cost_table,
    liquidity_table,
    position_table,
    trade_table,
    unfilled_table,
)


def backtest(
    weights: pd.DataFrame,
    prices: pd.DataFrame | Mapping[str, pd.DataFrame],
    *,
    rebalance: Rebalance = None,
    trade_at: str = "close",
    fee_ratio: float | None = None,
    tax_ratio: float | None = None,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    trail_stop: float | None = None,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_step: int = 1,
    periodically_rebalance: bool = True,
    benchmark: pd.Series | None = None,
    turnover: pd.DataFrame | None = None,
    categories: Mapping[str, pd.DataFrame] | None = None,
    market: Any = None,
    bad_prices: str = "raise",
    capital: float | None = None,
    lot_size: float | bool | None = None,
    min_fee: float | None = None,
    price_limit: float | bool | None = None,
    tradable: pd.DataFrame | None = None,
    volume: pd.DataFrame | None = None,
    max_participation: float | None = None,
    slippage: float | str | None = None,
    impact: float | None = None,
    unfilled: str = "retry",
    cash_rate: float = 0.0,
    borrow_rate: float = 0.0,
) -> Report:
    """Simulate a portfolio that follows target weights and return its ``Report``.

    Parameters
    ----------
    weights
        Target weights, dates × symbols: fractions of equity (positive long,
        negative short, NaN = 0), or booleans meaning "equal weight of the
        selected symbols". When a row's absolute weights sum to more than 1
        it is scaled down to 1; a smaller sum leaves the rest in cash.
    prices
        Closing prices (dates × symbols), or a mapping with "close" and
        optionally "open", "high" and "low" frames. ``trade_at="open"``
        needs "open"; ``touched_exit`` needs all four.
    rebalance
        On whose close a new weight row is adopted: a pandas offset alias
        ("D", "W-FRI", "ME", "QE", ...) meaning the last trading date of
        each period (the newest weights then, e.g. month-end weights for
        "ME"), an explicit DatetimeIndex (the last trading date on or before
        each date), or None for every date on which the weights change.
    trade_at
        "close" or "open": the price at which all trades are made.
    fee_ratio, tax_ratio
        Commission on every trade; tax on sales. None (the default) takes
        the market's (see ``market``). Either must be 0 or more and below
        0.05: a larger number is a percent typed as a fraction.
    stop_loss, take_profit, trail_stop
        Exit distances as fractions of the entry value (the trailing stop
        from the position's peak); None switches the rule off.
    touched_exit
        Exit during the day at the touched level (needs open/high/low)
        instead of at the next trade price after a breached close.
    position_limit
        Largest absolute weight of one position.
    retain_cost_when_rebalance
        Keep the cost basis (for the exit rules) of positions that stay on
        the same side across a rebalance.
    stop_trading_next_period
        A stock closed by an exit rule sits out the next rebalance.
    excursion_window, excursion_step
        Sample the per-trade excursion path every ``excursion_step`` days
        for ``excursion_window`` days after entry (0: exit figures only).
    periodically_rebalance
        Start a new trade record for every held position at each rebalance.
    benchmark
        A price or equity Series to compare against; by default the
        equal-weight buy-and-hold of the stocks priced on the first date.
    turnover
        Traded value per stock per day (dates × symbols); adds the trade
        columns "turnover@entry_date"/"turnover@exit_date" and the capacity.
    categories
        Category name → boolean frame (dates × symbols) flagging stocks of a
        category, e.g. "處置股", "警示股", "全額交割股"; gives the share of
        entries and exits in each category.
    market
        "tw" (the default: fee 0.1425 %, tax 0.3 % on sales, lots of 1,000
        shares, a NT$20 minimum fee, a ±10 % price limit taken as hit from
        9.5 %, Asia/Taipei), "us" (no commission, no sales tax, single
        shares, no minimum fee, no price limit, America/New_York), a
        ``quorex.Market`` or an object with ``get_name()``/``get_freq()``
        (and optionally ``fee_ratio``, ``tax_ratio``, ``lot_size``,
        ``min_fee``, ``price_limit``, ``timezone``). Its costs and rules
        apply unless given as arguments; its price limit applies to every
        run, its lot and minimum fee once ``capital`` is given.
    bad_prices
        "raise" (the default): a zero, negative or infinite price is a
        ValueError naming how many there are and where; "missing": such
        prices are treated as missing.
    capital
        Starting capital in currency. None (the default): fractional units
        of 1. With it positions are shares, every cost is in currency, and
        ``creturn`` is the equity divided by ``capital``.
    lot_size, min_fee
        Shares per board lot (positions are whole lots, rounded toward zero
        from the target, the rest stays in cash; False: any quantity) and
        the smallest commission of one trade in currency. Both need
        ``capital``; None takes the market's once ``capital`` is given.
    price_limit
        The move of the trade price against the previous close at or beyond
        which the day's limit is taken as hit: no buy (a new or larger long,
        a short covered) at or above +``price_limit``, no sale (a long
        reduced or closed, a new or larger short) at or below -``price_limit``.
        A touched exit fills unless the whole day sat at the limit. None
        takes the market's (0.095 for "tw"), False has none.
    tradable
        Booleans, dates × symbols: False means no trade of that stock that day.
    volume, max_participation
        Shares traded per stock per day (NaN or 0: no trade that day; needs
        ``capital``), and the largest share of it the trades of one stock
        may take in a day (e.g. 0.1).
    slippage, impact
        A fraction of the trade price lost on every fill (0.0005 = 5 bp),
        or "sqrt": ``impact`` (default 0.1) × the daily volatility × √(shares
        / average daily volume), both over the 20 trading dates ending on
        the fill date (needs ``volume``). Every fill pays it, exits included.
    unfilled
        "retry" (the default): the part of an order that could not be filled
        is retried at each following trade date, toward the weight it was
        to reach, until it fills or the next rebalance replaces it;
        "cancel": it is dropped. An exit rule's sale is always retried.
    cash_rate, borrow_rate
        Annual rates accrued on each trading date, over the calendar days
        since the previous one (365 a year): interest on the cash held at
        the previous close (short sales' proceeds included; negative cash
        pays it) and the fee on the value of the short positions.

    Dates
    -----
    Dates are calendar dates. A tz-aware index is read at its own wall-clock
    dates (never shifted to UTC); prices and weights in different timezones,
    or one aware and one naive, are refused. Dates stamped in another
    timezone than the market's give a ``quorex.DataWarning``.

    Timing
    ------
    Weights known at the close of date d are traded at the next trading
    date's price (its close, or its open with ``trade_at="open"``), so a
    signal computed from data up to and including d needs no shifting. A
    close that breaches a stop is likewise acted on at the next date's trade
    price; with ``touched_exit`` the position is closed on the same date at
    the touched level.

    Missing prices and delisting
    ----------------------------
    A day without a price leaves a position's value unchanged (its daily
    ratio counts as 1) and triggers no exit. A stock whose prices stop is
    therefore carried at its last trade price, and still counted in the
    equity, until a rebalance in which its weight is 0 sells it at that
    value, less fee and tax. Give such a stock weight 0 once it stops
    trading: a non-zero weight makes the rebalance keep trading it at its
    last price. Such a rebalance gives a ``quorex.DataWarning`` naming the
    symbols whose last price is more than 5 trading dates old; a symbol
    without any price that gets weight is refused.
    """
    rules = run_rules(
        price_fields(prices), market=market, rebalance=rebalance, trade_at=trade_at, fee_ratio=fee_ratio,
        tax_ratio=tax_ratio, stop_loss=stop_loss, take_profit=take_profit, trail_stop=trail_stop,
        touched_exit=touched_exit, position_limit=position_limit,
        retain_cost_when_rebalance=retain_cost_when_rebalance, stop_trading_next_period=stop_trading_next_period,
        excursion_window=excursion_window, excursion_step=excursion_step,
        periodically_rebalance=periodically_rebalance, tradable=tradable, volume=volume, capital=capital,
        lot_size=lot_size, min_fee=min_fee, price_limit=price_limit, max_participation=max_participation,
        slippage=slippage, impact=impact, unfilled=unfilled, cash_rate=cash_rate, borrow_rate=borrow_rate,
    )
    given = prices if isinstance(prices, PreparedPrices) else None
    price_dates = given.dated if given is not None else price_indexes(prices)
    check_timezones({**price_dates, **dated_indexes(weights=weights, turnover=turnover, benchmark=benchmark,
                                                    tradable=tradable, volume=volume)},
                    rules.market)
    prepared = prepare_prices(prices, bad_prices)
    frames = prepared.frames
    warn_suspected_splits(prepared.suspected_splits)
    close = frames["close"]
    bench = checked_benchmark(benchmark)
    traded_value = checked_turnover(turnover)
    categories = checked_categories(categories)

    plan = plan_run(prepared, align_weights(weights, close.columns), rules)
    run = run_engine(plan.inputs, **rules.settings, **plan.matrices)
    warn_stale(close, plan.target, run)

    return Report(
        creturn=pd.Series(run.creturn, index=close.index, name="creturn"),
        fee_ratio=rules.fee_ratio,
        tax_ratio=rules.tax_ratio,
        stop_loss=stop_loss,
        take_profit=take_profit,
        trail_stop=trail_stop,
        trade_at=trade_at,
        market=rules.market,
        rebalance=rebalance,
        touched_exit=rules.touched_exit,
        execution=rules.execution,
        update_date=close.index[-1],
        next_trading_date=plan.next_date,
        suspected_splits=prepared.suspected_splits,
        source=RunTables(
            run=run, inputs=plan.inputs, frames=frames, trade_frame=plan.trade_frame, fee_ratio=rules.fee_ratio,
            tax_ratio=rules.tax_ratio, given_benchmark=bench, turnover=traded_value, categories=categories,
            rebalance=rebalance, market=rules.market, capital=rules.execution.capital,
        ),
    )


@dataclass(frozen=True)
class RunTables:
    """A finished run's tables, built from the engine's arrays when first asked for."""

    run: SimpleNamespace
    inputs: EngineInputs
    frames: Mapping[str, pd.DataFrame]
    trade_frame: pd.DataFrame
    fee_ratio: float
    tax_ratio: float
    given_benchmark: pd.Series | None
    turnover: pd.DataFrame | None
    categories: Mapping[str, pd.DataFrame] | None
    rebalance: Rebalance
    market: object
    capital: float | None = None

    def benchmark(self) -> pd.Series:
        return benchmark_levels(self.given_benchmark, self.frames["close"])

    def trades(self) -> pd.DataFrame:
        table = trade_table(self.run, self.inputs, self.fee_ratio, self.tax_ratio, self.capital)
        if self.turnover is not None:
            table = add_turnover(table, self.run, self.inputs, self.turnover)
        return table

    def position(self, trades: pd.DataFrame) -> pd.DataFrame:
        return position_table(trades, self.frames["close"].index, self.inputs.pos_labels)

    def liquidity(self, trades: pd.DataFrame) -> dict[str, dict[str, float]]:
        return liquidity_table(trades, self.frames, self.categories, self.trade_frame)

    def stock_operations(self) -> tuple[pd.Series, pd.Series, pd.DataFrame]:
        return stock_operation_tables(self.run, self.inputs, self.rebalance, self.market)

    def rebalance_dates(self) -> pd.DatetimeIndex:
        return self.frames["close"].index[self.run.rebalance_rows]

    def excursions(self) -> np.ndarray:
        return self.run.excursions

    def costs(self) -> pd.DataFrame:
        return cost_table(self.run, self.frames["close"].index)

    def first_position(self) -> pd.Timestamp | None:
        rows = self.run.trade_entry_row
        return self.frames["close"].index[int(rows.min())] if len(rows) else None

    def carry(self) -> pd.DataFrame:
        return carry_table(self.run, self.frames["close"].index)

    def unfilled(self) -> pd.DataFrame:
        return unfilled_table(self.run, self.inputs, self.capital)

    def execution_totals(self) -> tuple[float, float]:
        return float(self.run.ordered_value), float(self.run.unfilled_value)

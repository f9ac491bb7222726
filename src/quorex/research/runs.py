"""One set's run: the engine on its signal's inputs, its daily returns and its own figures.

Everything outside the engine call is a handful of array operations: the
day's last equity level picked by precomputed rows, the round trips'
returns and the turnover from the trade arrays, each by the function in
``quorex.figures`` (or ``roundtrips``) that computes it for a report. The
return figures are not computed here: every set of a sweep is measured over
one common period, known only when all have run (``quorex.research.measured``).
"""

from __future__ import annotations

from collections.abc import Mapping
from types import SimpleNamespace
from typing import Any

import numpy as np

from quorex.backtest.engine import run_engine
from quorex.backtest.inputs.rules import EXECUTION_FRAMES, REPORT_INPUTS
from quorex.backtest.inputs.splits import warn_suspected_splits
from quorex.backtest.plan import RunRules, price_fields, run_rules, warn_stale
from quorex.backtest.roundtrips import holding_returns
from quorex.backtest.tables import realised_return
from quorex.figures import (
    EXECUTION_FIGURES,
    TRADE_FIGURES,
    execution_figures,
    level_returns,
    trade_figures,
    unfilled_share,
    yearly_turnover,
)
from quorex.research.grid import BACKTEST_DEFAULTS, split_settings
from quorex.research.signals import Signal, describe
from quorex.research.tokens import value_key
from quorex.research.workload import Calendar, Workload

# The figures of a set's own run, in this order: the trade figures over its
# round trips, its trade records, its yearly turnover from its first position,
# and what the execution rules did (per year from its first position).
RUN_FIGURES = (*TRADE_FIGURES, "records", "turnover", *EXECUTION_FIGURES)
# The first day of a run that never held a position.
NO_POSITION = -1


def run_set(workload: Workload, signal: Signal, settings: Mapping[str, Any], returns: np.ndarray,
            figures: np.ndarray) -> tuple[str | None, int]:
    """Run one set (its ``settings`` and the weights of ``signal``) into its rows of the chunk's
    ``returns`` and ``figures`` (``RUN_FIGURES``).

    Returns the set's error (None when it ran; a failure leaves its rows NaN)
    and the day it first held a position (``NO_POSITION`` for none).
    """
    try:
        rules, bad_prices = set_rules(workload, settings)
        plan, first_use = signal.plan(workload, rules, bad_prices, frames_key(workload, settings))
        run = run_engine(plan.inputs, **rules.settings, **plan.matrices)
        if first_use:  # what a backtest of these weights and rules warns about, once per process
            prepared = workload.prepared(bad_prices)
            warn_suspected_splits(prepared.suspected_splits)
            warn_stale(prepared.frames["close"], plan.target, run)
        first = first_day(run, workload.calendar)
        returns[:] = daily_returns(run, workload.calendar)
        figures[:] = run_figures(run, rules, workload.calendar, first)
    except Exception as exc:  # noqa: BLE001 - a failing set must not lose the others
        returns[:] = figures[:] = np.nan
        return describe(exc), NO_POSITION
    return None, first


def set_rules(workload: Workload, settings: Mapping[str, Any]) -> tuple[RunRules, str]:
    """A set's checked rules, and its treatment of bad prices."""
    given, _ = split_settings({**workload.fixed, **settings})
    arguments = {**BACKTEST_DEFAULTS, **given}
    bad_prices = arguments.pop("bad_prices")
    for name in REPORT_INPUTS:  # checked before the sweep; only a report reads them
        arguments.pop(name)
    return run_rules(price_fields(workload.prices), **arguments), bad_prices


def frames_key(workload: Workload, settings: Mapping[str, Any]) -> tuple[Any, ...]:
    """What tells a set's tradable and volume frames apart: the sweep's fixed ones are the same
    for every set; one from the grid is known by its content."""
    return tuple(value_key(settings[name]) if name in settings else "fixed" for name in EXECUTION_FRAMES)


def first_day(run: SimpleNamespace, calendar: Calendar) -> int:
    """The day the run first held a position (its earliest entry), ``NO_POSITION`` for none."""
    entries = run.trade_entry_row
    return calendar.day_of(int(entries.min())) if len(entries) else NO_POSITION


def daily_returns(run: SimpleNamespace, calendar: Calendar) -> np.ndarray:
    """The run's daily returns on the calendar's days (``quorex.figures.curve_returns``)."""
    levels = run.creturn[calendar.rows]
    if np.isnan(levels).any():
        raise ValueError(f"the equity curve has no value on {int(np.isnan(levels).sum())} calendar days")
    return level_returns(levels)


def run_figures(run: SimpleNamespace, rules: RunRules, calendar: Calendar, first: int) -> np.ndarray:
    """The run's ``RUN_FIGURES``; turnover and slippage are per year from the close before its first
    position."""
    entry, exit_ = run.trade_entry_row, run.trade_exit_row
    record_returns = realised_return(
        run.trade_entry_price, run.trade_exit_price, run.trade_position, run.trade_entry_charged,
        run.trade_exit_charged, rules.fee_ratio, rules.tax_ratio,
    )
    row: dict[str, float] = dict(trade_figures(holding_returns(record_returns, run.trade_holding, entry)))
    row["records"] = float(len(entry))
    years = calendar.years_from(max(first - 1, 0))
    row["turnover"] = yearly_turnover(run.trade_position, run.trade_sid, entry, exit_, years)
    money = rules.execution.capital or 1.0  # the engine's money: currency with a capital, else fractions
    row.update(execution_figures(unfilled_share(float(run.ordered_value), float(run.unfilled_value)),
                                 float(np.sum(run.daily_slippage)), money, years))
    return np.array([row[name] for name in RUN_FIGURES])

"""One set's run: the engine on its signal's inputs, and its figures straight from the engine's arrays.

Everything outside the engine call is a handful of array operations: the
day's last equity level picked by precomputed rows, the return figures of
that one curve with the market's precomputed calendar, the round trips'
returns and the turnover from the trade arrays. Each figure comes from the
function in ``quorex.figures`` (or ``roundtrips``) that computes it for a
report, so the row equals the report's summary.

A set's figures are computed from its own curve alone (a matrix of one
column), so they are the same bits whichever sets share its chunk.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from types import SimpleNamespace
from typing import Any

import numpy as np

from quorex.backtest.engine import run_engine
from quorex.backtest.plan import RunRules, price_fields, run_rules, warn_stale
from quorex.backtest.roundtrips import holding_returns
from quorex.backtest.tables import REPORT_INPUTS, realised_return
from quorex.figures import SWEEP_FIGURES, TRADE_FIGURES, level_returns, return_figures
from quorex.figures import trade_figures, yearly_turnover
from quorex.research.grid import BACKTEST_DEFAULTS, split_settings
from quorex.research.signals import Signal, describe
from quorex.research.stats import moments, psr_of_moments
from quorex.research.workload import Calendar, Workload

# A set's own figures: all of the table's but DSR, which compares the sets.
SET_FIGURES = tuple(name for name in SWEEP_FIGURES if name != "dsr")
# The moments of a set's daily returns that DSR needs (see ``quorex.stats.moments``).
SHARPE_MOMENTS = ("observations", "sharpe_per_observation", "skewness", "kurtosis")
# What a sweep keeps of each set besides its returns, in this order.
KEPT = (*SET_FIGURES, *SHARPE_MOMENTS)


def run_set(workload: Workload, signal: Signal, settings: Mapping[str, Any], returns: np.ndarray,
            figures: np.ndarray) -> str | None:
    """Run one set (its ``settings`` and the weights of ``signal``) into its rows of the chunk's
    ``returns`` and ``figures`` (``KEPT``); a failure leaves them NaN and is returned as the set's error."""
    try:
        rules, bad_prices = set_rules(workload, settings)
        plan, first_use = signal.plan(workload, rules, bad_prices)
        run = run_engine(plan.inputs, **rules.settings)
        if first_use:  # the same weights and rebalance dates: the same stale holdings
            warn_stale(workload.prepared(bad_prices).frames["close"], plan.target, run)
        returns[:], figures[:] = run_figures(run, rules, workload.calendar)
    except Exception as exc:  # noqa: BLE001 - a failing set must not lose the others
        returns[:] = figures[:] = np.nan
        return describe(exc)
    return None


def set_rules(workload: Workload, settings: Mapping[str, Any]) -> tuple[RunRules, str]:
    """A set's checked rules, and its treatment of bad prices."""
    given, _ = split_settings({**workload.fixed, **settings})
    arguments = {**BACKTEST_DEFAULTS, **given}
    bad_prices = arguments.pop("bad_prices")
    for name in REPORT_INPUTS:  # checked before the sweep; only a report reads them
        arguments.pop(name)
    return run_rules(price_fields(workload.prices), **arguments), bad_prices


def run_figures(run: SimpleNamespace, rules: RunRules, calendar: Calendar) -> tuple[np.ndarray, np.ndarray]:
    """A run's daily returns and its figures (``KEPT``)."""
    levels = run.creturn[calendar.rows]
    if np.isnan(levels).any():
        raise ValueError(f"the equity curve has no value on {int(np.isnan(levels).sum())} calendar days")
    returns = level_returns(levels)
    curve = returns[:, None]
    figures = dict.fromkeys(KEPT, np.nan)
    figures.update((name, float(values[0])) for name, values in return_figures(curve, calendar.figures).items())
    figures.update(trade_row(run, rules, calendar.years))
    figures["final_equity"] = float(np.prod(1.0 + curve, axis=0)[0]) if len(curve) else np.nan
    if len(curve) > 2:
        with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a flat curve has no moments
            observed = moments(curve[1:])
            figures["psr"] = float(psr_of_moments(*observed, 0.0)[0])
        figures.update((name, float(value[0])) for name, value in zip(SHARPE_MOMENTS, observed))
    return returns, np.array([figures[name] for name in KEPT])


def trade_row(run: SimpleNamespace, rules: RunRules, years: float) -> dict[str, float]:
    """The trade figures (over round trips), the record count and the yearly turnover of a run."""
    entry, exit_ = run.trade_entry_row, run.trade_exit_row
    record_returns = realised_return(
        run.trade_entry_price, run.trade_exit_price, run.trade_position, run.trade_entry_charged,
        run.trade_exit_charged, rules.fee_ratio, rules.tax_ratio,
    )
    figures = trade_figures(holding_returns(record_returns, run.trade_holding, entry))
    row = {name: figures[name] for name in TRADE_FIGURES}
    row["records"] = float(len(entry))
    row["turnover"] = yearly_turnover(run.trade_position, run.trade_sid, entry, exit_, years)
    return row



"""Each signal once: a sweep's distinct weights tables, computed, aligned and converted once each.

A weights table (a weights DataFrame, or the strategy's output for one
combination of its own parameters) is the same for every set that differs
only in backtest rules. ``plan_signals`` groups the sets by it;
``prepare_signal`` calls the strategy once and aligns its table on the
market's symbols; every set of the group then reads it, and the engine
inputs built from it once per rebalance rule, trade price and market
(``Signal.plan``).
"""

from __future__ import annotations

import threading
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import check_timezones, dated_indexes, index_timezone
from quorex.backtest.inputs.weights import align_weights
from quorex.backtest.plan import RunPlan, RunRules, plan_run
from quorex.research.grid import split_settings
from quorex.research.tokens import settings_key, value_key
from quorex.research.workload import Workload, realigned


@dataclass(frozen=True)
class SignalPlan:
    """Which sets share a weights table: ``params[s]`` are signal s's strategy parameters
    (empty for a weights DataFrame), ``of_set[i]`` is set i's signal."""

    params: list[dict[str, Any]]
    of_set: np.ndarray

    def groups(self, indices: np.ndarray) -> list[tuple[int, np.ndarray]]:
        """The sets among ``indices`` by signal, in order, signals in the order of their first set."""
        indices = np.sort(indices)
        signals = self.of_set[indices]
        order = np.argsort(signals, kind="stable")
        ordered = signals[order]
        starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]]) if len(ordered) else []
        groups = np.split(indices[order], starts[1:]) if len(ordered) else []
        found = [(int(ordered[start]), group) for start, group in zip(starts, groups)]
        return sorted(found, key=lambda pair: int(pair[1][0]))


def plan_signals(sets: list[dict[str, Any]], fixed: Mapping[str, Any], is_table: bool) -> SignalPlan:
    """Group ``sets`` by the strategy parameters they give (fixed ones included)."""
    if is_table:
        return SignalPlan([{}], np.zeros(len(sets), dtype=np.int64))
    fixed_params = split_settings(fixed)[1]
    found: dict[tuple[Any, ...], int] = {}
    params: list[dict[str, Any]] = []
    of_set = np.empty(len(sets), dtype=np.int64)
    for i, settings in enumerate(sets):
        own = {**fixed_params, **split_settings(settings)[1]}
        key = settings_key(own)
        if key not in found:
            found[key] = len(params)
            params.append(own)
        of_set[i] = found[key]
    return SignalPlan(params, of_set)


@dataclass(eq=False)
class Signal:
    """One weights table, aligned as float64 on the priced symbols, or the error that stopped it.

    ``zone`` is the table's timezone as given, checked against each market's
    clock. The engine inputs built from it are kept in the process that
    built them and never sent along.
    """

    target: pd.DataFrame | None
    zone: str | None
    error: str | None
    _plans: dict[Any, tuple[RunPlan | None, str | None]] = field(default_factory=dict, repr=False)
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def __getstate__(self) -> dict[str, Any]:
        return {"target": self.target, "zone": self.zone, "error": self.error}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state, target=realigned(state["target"]), _plans={}, _lock=threading.Lock())

    def plan(self, workload: Workload, rules: RunRules, bad_prices: str, frames_key: Any) -> tuple[RunPlan, bool]:
        """The engine inputs under ``rules``, and whether this is their first use in this process.

        ``frames_key`` tells the rules' tradable and volume frames apart.
        Raises what the backtest would raise for them.
        """
        if self.error is not None:
            raise SignalError(self.error)
        key = (value_key(rules.rebalance), rules.trade_at, rules.touched_exit, value_key(rules.market), bad_prices,
               frames_key)
        with self._lock:
            found = self._plans.get(key)
            first = found is None
            if first:
                found = self._build(workload, rules, bad_prices)
                self._plans[key] = found
        plan, error = found
        if plan is None:
            raise SignalError(error)
        return plan, first

    def _build(self, workload: Workload, rules: RunRules, bad_prices: str) -> tuple[RunPlan | None, str | None]:
        try:
            prepared = workload.prepared(bad_prices)
            stamped = pd.DatetimeIndex([], tz=self.zone)  # the table's clock, without its dates
            check_timezones({**prepared.dated, "weights": stamped,
                             **dated_indexes(tradable=rules.tradable, volume=rules.volume)}, rules.market)
            return plan_run(prepared, self.target, rules), None
        except Exception as exc:  # noqa: BLE001 - every set of this plan fails with the same message
            return None, describe(exc)


class SignalError(Exception):
    """A set's weights table or engine inputs failed; the message is the original error's."""


def describe(exc: BaseException) -> str:
    """An error as a set's ``error`` column shows it."""
    if isinstance(exc, SignalError):
        return str(exc)
    return f"{type(exc).__name__}: {exc}"


def prepare_signal(workload: Workload, params: Mapping[str, Any]) -> Signal:
    """The strategy's weights for ``params`` (called once), aligned on the market's symbols."""
    try:
        weights = workload.weights if workload.strategy is None else workload.strategy(workload.prices, **params)
        zone = index_timezone(weights.index) if isinstance(weights, pd.DataFrame) else None
        return Signal(align_weights(weights, workload.symbols), zone, None)
    except Exception as exc:  # noqa: BLE001 - the sets of this signal fail, the others go on
        return Signal(None, None, describe(exc))

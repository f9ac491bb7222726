"""What every set of a sweep needs, and one set's run: its daily returns and trade figures."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.backtest.inputs.prices import PreparedPrices, prepare_prices
from quorex.backtest.period import FROM_FIRST_POSITION
from quorex.backtest.roundtrips import holding_returns
from quorex.backtest.run import backtest
from quorex.figures import (
    EXECUTION_FIGURES,
    TRADE_FIGURES,
    curve_returns,
    execution_figures,
    trade_figures,
    years_between,
    yearly_turnover,
)
from quorex.research.grid import split_settings

if TYPE_CHECKING:
    from quorex.backtest.report import Report

# The figures a set's run gives besides its returns, in this order.
RUN_FIGURES = (*TRADE_FIGURES, "records", "turnover", *EXECUTION_FIGURES)


@dataclass(frozen=True)
class Workload:
    """What every set needs: the market, the strategy and the fixed arguments."""

    prices: Any
    weights: pd.DataFrame | None
    strategy: Callable[..., pd.DataFrame] | None
    fixed: dict[str, Any]

    def report(self, settings: Mapping[str, Any]) -> Report:
        """The backtest of one parameter set."""
        rules, signals = split_settings({**self.fixed, **settings})
        weights = self.weights if self.strategy is None else self.strategy(self.prices, **signals)
        return backtest(weights, self.prepared(rules.get("bad_prices", "raise")), **rules)

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A Dask worker rebuilds arrays inside its network buffers, at offsets
        # that leave float64 data unaligned; NumPy then takes its slow paths
        # on every scan. The frames are copied once, aligned, on arrival.
        state = {k: v for k, v in state.items() if k != "_prepared"}
        state["prices"] = _realigned(state["prices"])
        state["weights"] = _realigned(state["weights"])
        self.__dict__.update(state)

    def prepared(self, bad_prices: str) -> PreparedPrices:
        """The market checked once per process and mode, not once per set."""
        cache = self.__dict__.setdefault("_prepared", {})
        if bad_prices not in cache:
            cache[bad_prices] = prepare_prices(self.prices, bad_prices)
        return cache[bad_prices]


def _realigned(prices: Any) -> Any:
    """``prices`` (a frame, a mapping of frames or anything else) with aligned frame values."""
    def aligned(frame: Any) -> Any:
        if isinstance(frame, pd.DataFrame) and not frame.to_numpy().flags.aligned:
            return frame.copy()
        return frame

    if isinstance(prices, Mapping):
        return {field: aligned(frame) for field, frame in prices.items()}
    return aligned(prices)


@dataclass
class SetOutcome:
    """One set's result: its daily returns and ``RUN_FIGURES``, or the error that stopped it."""

    index: int
    returns: np.ndarray | None
    figures: tuple[float, ...]
    error: str | None
    first_position: int | None = None  # nanoseconds of the first date a position was held

    @classmethod
    def failed(cls, index: int, exc: BaseException) -> SetOutcome:
        return cls(index, None, (np.nan,) * len(RUN_FIGURES), f"{type(exc).__name__}: {exc}")


def run_figures(trades: pd.DataFrame, dates: pd.DatetimeIndex) -> tuple[float, ...]:
    """The trade figures of one run (over its round trips), its record count and yearly turnover.

    ``dates`` span the time the turnover is spread over (the run's measured
    period: from the close before its first position).
    """
    trips = holding_returns(
        trades["return"].to_numpy(dtype=np.float64), trades["holding"].to_numpy(), trades["entry_index"].to_numpy()
    )
    figures = trade_figures(trips)
    years = years_between(dates[0], dates[-1]) if len(dates) > 1 else 0.0
    turnover = yearly_turnover(
        trades["position"].to_numpy(dtype=np.float64), pd.factorize(trades["stock_id"])[0],
        trades["entry_index"].to_numpy(), trades["exit_index"].to_numpy(), years,
    )
    return (*(figures[name] for name in TRADE_FIGURES), float(len(trades)), turnover)


def report_execution_figures(report: Report, dates: pd.DatetimeIndex) -> tuple[float, ...]:
    """``EXECUTION_FIGURES`` of one run, in that order."""
    years = years_between(dates[0], dates[-1]) if len(dates) > 1 else 0.0
    slippage = float(report.costs["slippage"].sum())
    figures = execution_figures(report.unfilled_share(), slippage, report.money_unit, years)
    return tuple(figures[name] for name in EXECUTION_FIGURES)


def run_set(workload: Workload, index: int, settings: Mapping[str, Any]) -> tuple[SetOutcome, np.ndarray]:
    """One set's outcome and the nanoseconds of its calendar dates."""
    report = workload.report(settings)
    returns = curve_returns(report.creturn)
    period = report.period()
    measured = period.curve(returns).index
    figures = (*run_figures(report.trades, measured), *report_execution_figures(report, measured))
    first = None if period.reason != FROM_FIRST_POSITION else period.start.value
    return SetOutcome(index, returns.to_numpy(), figures, None, first), returns.index.asi8

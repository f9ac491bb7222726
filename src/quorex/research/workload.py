"""What every set of a sweep needs: the market, the strategy and the fixed arguments,
and what a process works out from them once (the checked prices, the calendar)."""

from __future__ import annotations

import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.backtest.inputs.prices import PreparedPrices, prepare_prices, price_frames
from quorex.backtest.run import backtest
from quorex.figures import ReturnCalendar, day_rows, return_calendar, years_between
from quorex.research.grid import split_settings

if TYPE_CHECKING:
    from quorex.backtest.report import Report

# Guards the first computation of each process-wide cache of a workload.
_CACHE_LOCK = threading.RLock()


@dataclass(frozen=True)
class Calendar:
    """The days of a market's daily curves: ``rows`` picks each day's last date; ``figures``
    is what the return figures need of those days."""

    rows: np.ndarray
    figures: ReturnCalendar

    @property
    def days(self) -> pd.DatetimeIndex:
        return self.figures.dates

    def day_of(self, row: int) -> int:
        """The day (its position in ``days``) of price row ``row``."""
        return int(np.searchsorted(self.rows, row))

    def years_from(self, day: int) -> float:
        """From day ``day`` to the last day, in years of 365.25 days."""
        days = self.figures.dates
        return years_between(days[day], days[-1])


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

    def __getstate__(self) -> dict[str, Any]:
        return {name: value for name, value in self.__dict__.items() if not name.startswith("_")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A Dask worker rebuilds arrays inside its network buffers, at offsets
        # that leave float64 data unaligned; NumPy then takes its slow paths
        # on every scan. The frames are copied once, aligned, on arrival.
        state = dict(state, prices=realigned(state["prices"]), weights=realigned(state["weights"]))
        self.__dict__.update(state)

    def _cached(self, name: str, make: Callable[[], Any]) -> Any:
        with _CACHE_LOCK:
            if name not in self.__dict__:
                self.__dict__[name] = make()
            return self.__dict__[name]

    def prepared(self, bad_prices: str) -> PreparedPrices:
        """The market checked once per process and mode, not once per set."""
        return self._cached(f"_prepared_{bad_prices}", lambda: prepare_prices(self.prices, bad_prices))

    @property
    def symbols(self) -> pd.Index:
        """The priced symbols."""
        return self.close.columns

    @property
    def close(self) -> pd.DataFrame:
        """The closes as a backtest reads them (sorted by date), for their dates and symbols."""
        return self._cached("_close", lambda: price_frames(self.prices)["close"])

    @property
    def calendar(self) -> Calendar:
        """The calendar days of every set's daily curve."""
        def make() -> Calendar:
            rows, days = day_rows(self.close.index)
            return Calendar(rows, return_calendar(days))

        return self._cached("_calendar", make)


def realigned(prices: Any) -> Any:
    """``prices`` (a frame, a mapping of frames or anything else) with aligned frame values."""
    def aligned(frame: Any) -> Any:
        if isinstance(frame, pd.DataFrame) and not frame.to_numpy().flags.aligned:
            return frame.copy()
        return frame

    if isinstance(prices, Mapping):
        return {field: aligned(frame) for field, frame in prices.items()}
    return aligned(prices)

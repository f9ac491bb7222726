"""The period a backtest's figures are measured over.

A strategy with a look-back sits in cash until its first position; counting
those flat days would dilute its annual return and volatility and distort
its Sharpe ratio (more so the longer the look-back). Its figures are
therefore measured from the first date on which it held a position (its
first rebalance that bought something) to the last date, and its benchmark
over the same dates; a caller may choose another period.

The curve handed to the figures starts at the close before the period (the
base, where the equity stood when the period began), so the period's first
day counts with its costs.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

FROM_FIRST_POSITION = "from the first position"
CHOSEN = "chosen"
WHOLE_RUN = "the whole run: no position was held"


@dataclass(frozen=True)
class Period:
    """The trading dates ``start``..``end`` whose returns the figures cover, and why these.

    ``base`` is the close the measured curve starts from: the date before
    ``start`` (``start`` itself on the first date).
    """

    start: pd.Timestamp
    end: pd.Timestamp
    base: pd.Timestamp
    reason: str

    def curve(self, levels: pd.Series) -> pd.Series:
        """``levels`` (an equity curve or a benchmark) from the base to the end."""
        return levels.loc[self.base : self.end]

    def covers(self, dates: Any) -> np.ndarray:
        """Which of ``dates`` fall in the period (NaT does not)."""
        values = pd.DatetimeIndex(dates)
        return np.asarray((values >= self.start) & (values <= self.end))

    def text(self) -> str:
        """The period as the summary and the pages state it."""
        return f"{self.start.date()} to {self.end.date()} ({self.reason})"


def _date(value: Any, what: str) -> pd.Timestamp:
    try:
        stamp = pd.Timestamp(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a date, got {value!r}") from None
    if stamp is pd.NaT:
        raise ValueError(f"{what} must be a date, got {value!r}")
    return (stamp.tz_localize(None) if stamp.tz is not None else stamp).normalize()


def measured_period(
    dates: pd.DatetimeIndex, first_position: pd.Timestamp | None, start: Any = None, end: Any = None
) -> Period:
    """The period over ``dates``: from ``start`` (default: ``first_position``, else the first date) to
    ``end`` (default: the last date), each moved to the nearest trading date inside."""
    if len(dates) == 0:
        raise ValueError("the run has no trading dates")
    if start is not None or end is not None:
        reason = CHOSEN
    else:
        reason = FROM_FIRST_POSITION if first_position is not None else WHOLE_RUN
    if start is not None:
        first = _date(start, "start")
    else:
        first = dates[0] if first_position is None else pd.Timestamp(first_position)
    last = dates[-1] if end is None else _date(end, "end")
    begin = int(dates.searchsorted(first, side="left"))
    stop = int(dates.searchsorted(last, side="right"))
    if begin >= stop:
        raise ValueError(
            f"no trading date from {first.date()} to {last.date()}; the run covers "
            f"{dates[0].date()} to {dates[-1].date()}"
        )
    return Period(start=dates[begin], end=dates[stop - 1], base=dates[max(begin - 1, 0)], reason=reason)


def common_period(dates: pd.DatetimeIndex, first_positions: list[pd.Timestamp | None]) -> Period:
    """One period for many runs on ``dates``: from the latest of their first positions.

    Every run then has held positions from the start of the period on, and
    all are measured over the same dates.
    """
    entered = [p for p in first_positions if p is not None]
    period = measured_period(dates, max(entered) if entered else None)
    if entered:
        return Period(period.start, period.end, period.base, "from the first date every set held a position")
    return period

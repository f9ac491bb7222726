"""The figures a sweep measures when every set has run: all sets over one common period.

A set with a longer look-back starts trading later; measured each from its
own first position, the sets would be compared over different years. The
sweep's period starts at the latest first position among the sets that ran
(``quorex.backtest.period.common_period``) and ends at the last date. Over
it, each set's return figures, final equity and the moments of its daily
returns (for PSR, and DSR across the sets) are computed from its daily
returns, in blocks of sets whose columns are computed independently of one
another: the bits do not depend on which sets share a block, so they are
the same whatever the chunking, the executor or a resume.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Mapping

import numpy as np
import pandas as pd

from quorex.backtest.period import Period, common_period
from quorex.figures import RETURN_FIGURES, ReturnCalendar, return_calendar, return_figures
from quorex.research.stats import expected_max_sharpe, moments, psr_of_moments

# The figures measured over the common period, in this order.
MEASURED_FIGURES = (*RETURN_FIGURES, "final_equity", "psr")
# The moments of a set's daily returns that PSR and DSR read (see ``quorex.stats.moments``).
SHARPE_MOMENTS = ("observations", "sharpe_per_observation", "skewness", "kurtosis")
NO_SET_RAN = "no set ran"


def sweep_period(days: pd.DatetimeIndex, first_days: np.ndarray, ran: np.ndarray) -> tuple[Period, int]:
    """The one period every set is measured over, and the row of its base among ``days``.

    ``first_days`` are the days each set first held a position (negative:
    never); ``ran`` marks the sets that ran without an error.
    """
    if not ran.any() or len(days) == 0:
        return Period(pd.NaT, pd.NaT, pd.NaT, NO_SET_RAN), len(days)
    entered = first_days[ran & (first_days >= 0)]
    period = common_period(days, [days[int(entered.max())]] if len(entered) else [])
    return period, int(days.searchsorted(period.base))


def measure(curves: Iterable[tuple[np.ndarray, np.ndarray]], days: pd.DatetimeIndex,
            figures: Mapping[str, np.ndarray]) -> np.ndarray:
    """Every set's ``MEASURED_FIGURES`` into ``figures`` (one array by name, indexed by set), and
    its ``SHARPE_MOMENTS`` (sets × moments; NaN for a set without returns).

    ``curves`` yields blocks of sets and their daily returns on ``days`` (the
    period from its base: days × sets, column by column).
    """
    observed = np.full((len(figures[MEASURED_FIGURES[0]]), len(SHARPE_MOMENTS)), np.nan)
    calendar = return_calendar(days)
    for sets, block in curves:
        found, found_moments = block_figures(block, calendar)
        for name in MEASURED_FIGURES:
            figures[name][sets] = found[name]
        observed[sets] = found_moments
    return observed


def block_figures(returns: np.ndarray, calendar: ReturnCalendar) -> tuple[dict[str, np.ndarray], np.ndarray]:
    """The measured figures and moments of each column of ``returns`` (days from the base × sets).

    The first row is the base's own return, before the period: no figure counts it.
    """
    figures = return_figures(returns, calendar)
    daily = returns[1:]
    figures["final_equity"] = np.prod(1.0 + daily, axis=0) if len(returns) else np.full(returns.shape[1], np.nan)
    observed = np.full((returns.shape[1], len(SHARPE_MOMENTS)), np.nan)
    figures["psr"] = np.full(returns.shape[1], np.nan)
    if len(daily) >= 2:
        with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a flat curve or a failed set has no moments
            found = moments(daily)
            figures["psr"] = psr_of_moments(*found, 0.0)
        observed[:] = np.column_stack(found)
    return figures, observed


def deflated_sharpe(observed: np.ndarray) -> np.ndarray:
    """Each set's PSR against the Sharpe ratio the best of the sets that ran would reach by luck.

    ``observed`` holds each set's ``SHARPE_MOMENTS``.
    """
    sr = observed[:, SHARPE_MOMENTS.index("sharpe_per_observation")]
    trials = sr[np.isfinite(sr)]
    if len(trials) < 2:
        return np.full(len(sr), np.nan)
    threshold = expected_max_sharpe(len(trials), float(np.std(trials, ddof=1)))
    with np.errstate(divide="ignore", invalid="ignore"):
        return psr_of_moments(*observed.T, threshold)

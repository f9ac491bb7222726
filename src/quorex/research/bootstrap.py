"""Confidence bands of a curve's figures: the stationary block bootstrap of its daily returns.

A backtest's Sharpe ratio is one draw. Resampling its daily returns in
blocks of random length (Politis and Romano's stationary bootstrap) keeps
their short-range dependence, volatility clusters included, and gives the
spread the figures would have had over other orderings of the same days.
Every resample's figures come from ``quorex.figures.return_figures``, for
all resamples in one call on the matrix of resampled returns.
"""

from __future__ import annotations

import os
import warnings
from collections import deque
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor

import numpy as np
import pandas as pd

from quorex.figures import RISKFREE_RATE, curve_returns, return_figures

BOOTSTRAP_FIGURES = ("annual_return", "sharpe_ratio", "max_drawdown", "volatility")
BANDS = (0.05, 0.5, 0.95)
# Resampled returns per call of the figures: 8 MB of float64, small enough
# for the processor's cache to hold a piece's passes; the pieces run on
# threads, and the results depend neither on the pieces nor on the threads.
CELLS_PER_CALL = 1 << 20


def stationary_indices(n_obs: int, resamples: int, block: float, rng: np.random.Generator) -> np.ndarray:
    """Row indices of ``resamples`` stationary-bootstrap resamples of ``n_obs`` observations.

    Each position starts a new block with probability 1 / ``block`` (the
    first always does) at an observation drawn uniformly, and otherwise
    takes the observation after the previous one, wrapping round at the
    end. Blocks are geometric with mean length ``block``. One uniform draw
    per position decides both: below 1 / ``block`` it starts a block, and
    scaled back to [0, 1) it picks the block's first observation. The
    draws are taken resample by resample from ``rng``, so drawing the
    resamples in pieces gives the same indices as drawing them at once.
    """
    return indices_of_draws(rng.random((resamples, n_obs)), block)


def indices_of_draws(draws: np.ndarray, block: float) -> np.ndarray:
    """``stationary_indices`` from the uniform draws of its resamples (resamples × observations)."""
    n_obs = draws.shape[1]
    chance = 1.0 / block
    starts_block = draws < chance
    starts_block[:, 0] = True
    # Blocks never cross resamples (each one's first position starts one),
    # so the whole table is one run of blocks, handled at once.
    first = np.flatnonzero(starts_block)
    length = np.diff(np.append(first, draws.size))
    drawn = draws.ravel()[first]
    with np.errstate(divide="ignore", invalid="ignore"):
        # A first position starts a block whatever its draw: a draw above the
        # chance is rescaled from its own range.
        uniform = np.where(drawn < chance, drawn / chance, (drawn - chance) / (1.0 - chance))
    observation = np.minimum((uniform * n_obs).astype(np.int64), n_obs - 1)
    # Each position is one past the one before, except where a block starts:
    # there the step lands on the block's first observation.
    step = np.ones(draws.size, dtype=np.int64)
    step[first] = observation - np.append(0, observation[:-1] + length[:-1] - 1)
    index = np.cumsum(step, out=step).reshape(draws.shape)
    # Wrapped round: below 2 * n_obs by construction.
    np.subtract(index, n_obs, out=index, where=index >= n_obs)
    return index


def bootstrap_figures(
    levels: pd.Series,
    n: int = 1000,
    block: float = 21,
    seed: int | None = 0,
    riskfree_rate: float = RISKFREE_RATE,
    quantiles: Sequence[float] = BANDS,
    threads: int | None = None,
) -> pd.DataFrame:
    """The ``quantiles`` of annual return, Sharpe ratio, max drawdown and volatility over ``n``
    stationary-bootstrap resamples (mean block ``block`` days) of the daily returns of ``levels``.

    Rows are the figures, columns the quantiles. The same ``seed`` gives the
    same bands on any machine and on any number of ``threads`` (default:
    one per core); resamples whose figure is undefined (a
    resample without movement has no Sharpe ratio) are left out of that
    figure's quantiles.
    """
    n, block = _checked(n, block)
    returns = curve_returns(levels)
    values = returns.to_numpy()
    figures = {name: np.full(n, np.nan) for name in BOOTSTRAP_FIGURES}
    n_obs = len(values) - 1  # the first row is the growth from the base, kept in place
    if n_obs >= 1:
        rng = np.random.default_rng(seed)
        per_call = max(1, CELLS_PER_CALL // len(values))
        pieces = [(first, min(per_call, n - first)) for first in range(0, n, per_call)]
        workers = max(1, min(len(pieces), threads or os.cpu_count() or 1))
        # The figures silence RuntimeWarnings in a warnings context of their own;
        # the filters are process-wide, so this outer context, left after the
        # threads have joined, is what puts the caller's filters back.
        with warnings.catch_warnings(), ThreadPoolExecutor(workers) as pool:
            warnings.simplefilter("ignore", RuntimeWarning)
            # The draws are taken here, piece after piece: each resample is the
            # same whichever thread computes it. A few pieces wait at a time,
            # so a large ``n`` never holds all its draws at once.
            running: deque[tuple[int, Future[dict[str, np.ndarray]]]] = deque()
            for first, count in pieces:
                draws = rng.random((count, n_obs))
                running.append((first, pool.submit(_piece_figures, values, returns.index, draws, block,
                                                   riskfree_rate)))
                while running and (len(running) > 2 * workers or first + count == n):
                    done, piece = running.popleft()
                    for name, found in piece.result().items():
                        figures[name][done:done + len(found)] = found
    table = {name: _quantiles(figures[name], quantiles) for name in BOOTSTRAP_FIGURES}
    return pd.DataFrame.from_dict(table, orient="index", columns=list(quantiles)).rename_axis("figure")


def _piece_figures(
    values: np.ndarray, dates: pd.DatetimeIndex, draws: np.ndarray, block: float, riskfree_rate: float
) -> dict[str, np.ndarray]:
    # One resample per column, each contiguous as a lone curve's returns
    # are: each column's figures are then those of that curve alone.
    matrix = np.empty((len(values), len(draws)), order="F")
    matrix[0] = values[0]
    matrix[1:] = values[1:][indices_of_draws(draws, block)].T
    return return_figures(matrix, dates, riskfree_rate, BOOTSTRAP_FIGURES)


def _quantiles(values: np.ndarray, quantiles: Sequence[float]) -> np.ndarray:
    defined = values[~np.isnan(values)]
    if len(defined) == 0:
        return np.full(len(quantiles), np.nan)
    return np.quantile(defined, list(quantiles))


def _checked(n: object, block: object) -> tuple[int, float]:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"bootstrap: n must be a whole number of resamples, 1 or more, got {n!r}")
    if isinstance(block, bool) or not isinstance(block, (int, float, np.integer, np.floating)) or not block >= 1:
        raise ValueError(f"bootstrap: block must be a mean block length of 1 day or more, got {block!r}")
    return int(n), float(block)

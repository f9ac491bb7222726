"""Confidence bands of a curve's figures: the stationary block bootstrap of its daily returns.

A backtest's Sharpe ratio is one draw. Resampling its daily returns in
blocks of random length (Politis and Romano's stationary bootstrap) keeps
their short-range dependence, volatility clusters included, and gives the
spread the figures would have had over other orderings of the same days.
Every resample's figures come from ``quorex.figures.return_figures``, for
all resamples in one call on the matrix of resampled returns.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pandas as pd

from quorex.figures import RISKFREE_RATE, curve_returns, return_figures

BOOTSTRAP_FIGURES = ("annual_return", "sharpe_ratio", "max_drawdown", "volatility")
BANDS = (0.05, 0.5, 0.95)
# Resampled returns per call of the figures: about 128 MB of float64, so a
# large ``n`` is computed in pieces (the results do not depend on them).
CELLS_PER_CALL = 1 << 24


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
    chance = 1.0 / block
    draws = rng.random((resamples, n_obs))
    starts_block = draws < chance
    starts_block[:, 0] = True
    position = np.arange(n_obs, dtype=np.int32)
    block_start = np.maximum.accumulate(np.where(starts_block, position, np.int32(0)), axis=1)
    offsets = (np.arange(resamples, dtype=np.int64) * n_obs)[:, None]
    drawn = draws.ravel().take(block_start + offsets).reshape(resamples, n_obs)
    with np.errstate(divide="ignore", invalid="ignore"):
        # The first position starts a block whatever its draw: a draw above
        # the chance is rescaled from its own range.
        uniform = np.where(drawn < chance, drawn / chance, (drawn - chance) / (1.0 - chance))
    index = np.minimum((uniform * n_obs).astype(np.int32), np.int32(n_obs - 1))
    index += position - block_start
    index[index >= n_obs] -= n_obs  # wrapped round: below 2 * n_obs by construction
    return index


def bootstrap_figures(
    levels: pd.Series,
    n: int = 1000,
    block: float = 21,
    seed: int | None = 0,
    riskfree_rate: float = RISKFREE_RATE,
    quantiles: Sequence[float] = BANDS,
) -> pd.DataFrame:
    """The ``quantiles`` of annual return, Sharpe ratio, max drawdown and volatility over ``n``
    stationary-bootstrap resamples (mean block ``block`` days) of the daily returns of ``levels``.

    Rows are the figures, columns the quantiles. The same ``seed`` gives the
    same bands on any machine; resamples whose figure is undefined (a
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
        for first in range(0, n, per_call):
            count = min(per_call, n - first)
            matrix = np.empty((len(values), count))
            matrix[0] = values[0]
            matrix[1:] = values[1:][stationary_indices(n_obs, count, block, rng)].T
            found = return_figures(matrix, returns.index, riskfree_rate, BOOTSTRAP_FIGURES)
            for name in BOOTSTRAP_FIGURES:
                figures[name][first:first + count] = found[name]
    table = {name: _quantiles(figures[name], quantiles) for name in BOOTSTRAP_FIGURES}
    return pd.DataFrame.from_dict(table, orient="index", columns=list(quantiles)).rename_axis("figure")


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

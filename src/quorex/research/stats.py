"""Overfitting statistics: probabilistic and deflated Sharpe ratios, and the
probability of backtest overfitting by combinatorially symmetric cross-validation.

The Sharpe ratio here is per observation (mean over standard deviation with
ddof=1, not annualised), and skewness and kurtosis are the sample moments
(central moments with ddof=0; kurtosis not excess), as in the papers that
define these statistics.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass

import numpy as np
import pandas as pd
from scipy.special import ndtr, ndtri

EULER_GAMMA = float(np.euler_gamma)
# Splits are scored in batches so the split × column matrices stay small.
_SPLIT_BATCH = 512

ReturnsLike = pd.Series | pd.DataFrame | np.ndarray


@dataclass(frozen=True)
class PBOResult:
    """The outcome of ``pbo``.

    Attributes
    ----------
    pbo : float
        Share of splits whose in-sample winner ranks in the lower half out of
        sample (logit ≤ 0).
    logits : ndarray
        λ = ln(ω / (1 − ω)) per split, in ``itertools.combinations`` order.
    in_sample, out_of_sample : ndarray
        The in-sample winner's Sharpe ratio (per observation) in and out of
        sample, per split.
    """

    pbo: float
    logits: np.ndarray
    in_sample: np.ndarray
    out_of_sample: np.ndarray


def _as_matrix(returns: ReturnsLike, what: str = "returns") -> np.ndarray:
    """Observations × series as float64, a 1-D input as one column."""
    values = np.asarray(returns, dtype=np.float64)
    if values.ndim == 1:
        values = values[:, None]
    if values.ndim != 2:
        raise ValueError(f"{what} must be one series or a 2-D table, got {values.ndim} dimensions")
    return values


def _shaped_like(values: np.ndarray, returns: ReturnsLike) -> float | np.ndarray | pd.Series:
    """A scalar for one series, a Series named by the columns of a DataFrame, else an array."""
    if isinstance(returns, pd.DataFrame):
        return pd.Series(values, index=returns.columns)
    if np.ndim(returns) == 1:
        return float(values[0])
    return values


def sharpe_ratio(returns: ReturnsLike) -> float | np.ndarray | pd.Series:
    """Per-observation Sharpe ratio of each column: mean / std (ddof=1), NaN ignored."""
    values = _as_matrix(returns)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.nanmean(values, axis=0) / np.nanstd(values, axis=0, ddof=1)
    return _shaped_like(ratio, returns)


def moments(values: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Per column: observation count, Sharpe ratio, skewness and kurtosis (not excess)."""
    count = np.sum(~np.isnan(values), axis=0).astype(np.float64)
    mean = np.nanmean(values, axis=0)
    centred = values - mean
    squared = centred * centred  # products, not powers: pow is a library call per value
    m2 = np.nanmean(squared, axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        sr = mean / np.sqrt(m2 * count / (count - 1))
        skew = np.nanmean(squared * centred, axis=0) / m2**1.5
        kurt = np.nanmean(squared * squared, axis=0) / m2**2
    return count, sr, skew, kurt


def psr_values(values: np.ndarray, benchmark_sr: float | np.ndarray) -> np.ndarray:
    """The probabilistic Sharpe ratio of each column of ``values`` (observations × series)."""
    return psr_of_moments(*moments(values), benchmark_sr)


def psr_of_moments(
    count: np.ndarray, sr: np.ndarray, skew: np.ndarray, kurt: np.ndarray, benchmark_sr: float | np.ndarray
) -> np.ndarray:
    """The probabilistic Sharpe ratio from the ``moments`` of each series."""
    with np.errstate(divide="ignore", invalid="ignore"):
        spread = np.sqrt(1.0 - skew * sr + (kurt - 1.0) / 4.0 * sr**2)
        return ndtr((sr - benchmark_sr) * np.sqrt(count - 1.0) / spread)


def probabilistic_sharpe_ratio(
    returns: ReturnsLike, benchmark_sr: float = 0.0
) -> float | np.ndarray | pd.Series:
    """Probability that the true Sharpe ratio exceeds ``benchmark_sr``.

    ``returns`` is one series (gives a float) or a table with one column per
    strategy (gives one value per column). ``benchmark_sr`` is per
    observation, like the Sharpe ratio used here.
    """
    if not np.isfinite(benchmark_sr):
        raise ValueError(f"benchmark_sr must be a finite number, got {benchmark_sr}")
    values = _as_matrix(returns)
    with np.errstate(divide="ignore", invalid="ignore"):
        return _shaped_like(psr_values(values, float(benchmark_sr)), returns)


def expected_max_sharpe(n_trials: int, trials_sr_std: float) -> float:
    """The Sharpe ratio the best of ``n_trials`` skill-less trials is expected to reach."""
    if int(n_trials) != n_trials or n_trials < 2:
        raise ValueError(f"n_trials must be a whole number of at least 2, got {n_trials}")
    if not (np.isfinite(trials_sr_std) and trials_sr_std >= 0):
        raise ValueError(f"trials_sr_std must be a finite number ≥ 0, got {trials_sr_std}")
    n = float(n_trials)
    return float(
        trials_sr_std
        * ((1.0 - EULER_GAMMA) * ndtri(1.0 - 1.0 / n) + EULER_GAMMA * ndtri(1.0 - 1.0 / (n * np.e)))
    )


def deflated_sharpe_ratio(
    returns: ReturnsLike, n_trials: int, trials_sr_std: float
) -> float | np.ndarray | pd.Series:
    """The probabilistic Sharpe ratio against the best Sharpe ratio expected by chance.

    ``n_trials`` is the number of strategies tried and ``trials_sr_std`` the
    standard deviation of their (per-observation) Sharpe ratios.
    """
    return probabilistic_sharpe_ratio(returns, expected_max_sharpe(n_trials, trials_sr_std))


def _block_sums(values: np.ndarray, blocks: int) -> tuple[np.ndarray, np.ndarray, int]:
    """Per block and column: sum and sum of squares of the centred returns, and the block length."""
    size = len(values) // blocks
    cut = values[: size * blocks]
    # Centring keeps the sum-of-squares variance free of cancellation.
    centred = (cut - cut.mean(axis=0)).reshape(blocks, size, -1)
    return centred.sum(axis=1), (centred**2).sum(axis=1), size


def _split_sharpe(sums: np.ndarray, squares: np.ndarray, rows: int, offset: np.ndarray) -> np.ndarray:
    """Sharpe ratios from sums over ``rows`` centred observations; ``offset`` restores the mean."""
    mean = sums / rows
    variance = (squares - sums * mean) / (rows - 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = (mean + offset) / np.sqrt(np.maximum(variance, 0.0))
    # Flat columns have no Sharpe ratio; they never win and rank lowest.
    return np.where(np.isfinite(ratio), ratio, -np.inf)


def _check_pbo_input(values: np.ndarray, blocks: int) -> None:
    if int(blocks) != blocks or blocks < 2 or blocks % 2:
        raise ValueError(f"blocks must be an even whole number of at least 2, got {blocks}")
    if values.shape[1] < 2:
        raise ValueError(f"pbo needs at least 2 strategies (columns), got {values.shape[1]}")
    if len(values) // blocks < 1 or (len(values) // blocks) * (blocks // 2) < 2:
        raise ValueError(f"pbo: {len(values)} observations are too few for {blocks} blocks")
    if not np.isfinite(values).all():
        raise ValueError("pbo: returns must be finite (no NaN or inf); fill or drop the gaps first")


def pbo(returns: ReturnsLike, blocks: int = 16) -> PBOResult:
    """Probability of backtest overfitting by combinatorially symmetric cross-validation.

    ``returns`` holds one column per strategy. The rows are cut into
    ``blocks`` contiguous blocks of ``T // blocks`` rows (the last
    ``T mod blocks`` rows are dropped); every choice of half the blocks is
    the in-sample set once, the rest out of sample. In each split the column
    with the best in-sample Sharpe ratio (the first on ties) is ranked out of
    sample among all columns (1 = worst, average rank on ties);
    ω = rank / (columns + 1) and the split's logit is ln(ω / (1 − ω)).
    """
    values = _as_matrix(returns)
    _check_pbo_input(values, blocks)
    n_columns = values.shape[1]
    sums, squares, size = _block_sums(values, blocks)
    offset = values[: size * blocks].mean(axis=0)
    total_sums, total_squares = sums.sum(axis=0), squares.sum(axis=0)
    half_rows = size * (blocks // 2)
    chosen = np.array(list(itertools.combinations(range(blocks), blocks // 2)), dtype=np.intp)
    membership = np.zeros((len(chosen), blocks))
    np.put_along_axis(membership, chosen, 1.0, axis=1)

    in_sample = np.empty(len(chosen))
    out_of_sample = np.empty(len(chosen))
    ranks = np.empty(len(chosen))
    for start in range(0, len(chosen), _SPLIT_BATCH):
        part = membership[start : start + _SPLIT_BATCH]
        is_sums, is_squares = part @ sums, part @ squares
        is_sr = _split_sharpe(is_sums, is_squares, half_rows, offset)
        oos_sr = _split_sharpe(total_sums - is_sums, total_squares - is_squares, half_rows, offset)
        best = np.argmax(is_sr, axis=1)
        rows = np.arange(len(part))
        winner_oos = oos_sr[rows, best]
        below = (oos_sr < winner_oos[:, None]).sum(axis=1)
        tied = (oos_sr == winner_oos[:, None]).sum(axis=1)
        batch = slice(start, start + len(part))
        ranks[batch] = below + (tied + 1) / 2.0
        in_sample[batch] = is_sr[rows, best]
        out_of_sample[batch] = winner_oos
    omega = ranks / (n_columns + 1)
    logits = np.log(omega / (1.0 - omega))
    return PBOResult(
        pbo=float(np.mean(logits <= 0.0)),
        logits=logits,
        in_sample=in_sample,
        out_of_sample=out_of_sample,
    )

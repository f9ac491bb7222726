"""Overfitting statistics: PSR and DSR against a hand computation, PBO against a plain reference."""

from __future__ import annotations

import itertools
import math
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest
from scipy import stats as sps

from quorex import stats

PHI = NormalDist()


def hand_psr(returns: np.ndarray, benchmark: float) -> float:
    sr = returns.mean() / returns.std(ddof=1)
    skew = sps.skew(returns)
    kurt = sps.kurtosis(returns, fisher=False)
    z = (sr - benchmark) * math.sqrt(len(returns) - 1) / math.sqrt(1 - skew * sr + (kurt - 1) / 4 * sr**2)
    return PHI.cdf(z)


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("benchmark", [0.0, 0.03, -0.02])
def test_psr_matches_hand_computation(seed, benchmark):
    rng = np.random.default_rng(seed)
    returns = rng.standard_t(4, 750) * 0.01 + 0.0006  # fat tails: the moments matter
    assert stats.probabilistic_sharpe_ratio(returns, benchmark) == pytest.approx(hand_psr(returns, benchmark), rel=1e-12)


def test_dsr_is_psr_against_expected_maximum():
    rng = np.random.default_rng(5)
    returns = rng.normal(0.0008, 0.01, 1000)
    n, sigma = 40, 0.02
    gamma = 0.5772156649015329
    threshold = sigma * ((1 - gamma) * PHI.inv_cdf(1 - 1 / n) + gamma * PHI.inv_cdf(1 - 1 / (n * math.e)))
    assert stats.deflated_sharpe_ratio(returns, n, sigma) == pytest.approx(hand_psr(returns, threshold), rel=1e-12)
    # More trials raise the bar.
    assert stats.deflated_sharpe_ratio(returns, 400, sigma) < stats.deflated_sharpe_ratio(returns, n, sigma)


def test_table_input_gives_one_value_per_column():
    rng = np.random.default_rng(8)
    table = pd.DataFrame(rng.normal(0.0005, 0.01, (500, 3)), columns=["a", "b", "c"])
    psr = stats.probabilistic_sharpe_ratio(table)
    assert list(psr.index) == ["a", "b", "c"]
    assert psr["b"] == pytest.approx(hand_psr(table["b"].to_numpy(), 0.0), rel=1e-12)


@pytest.mark.parametrize("n_trials, sigma", [(1, 0.1), (2.5, 0.1), (10, -0.1), (10, float("nan"))])
def test_dsr_rejects_bad_trial_figures(n_trials, sigma):
    with pytest.raises(ValueError, match="n_trials|trials_sr_std"):
        stats.deflated_sharpe_ratio(np.ones(10), n_trials, sigma)


def reference_pbo(values: np.ndarray, blocks: int) -> tuple[float, list[float], list[float], list[float]]:
    """CSCV written out split by split, for comparison."""
    size = len(values) // blocks
    parts = [values[b * size : (b + 1) * size] for b in range(blocks)]
    n = values.shape[1]
    logits, is_sr, oos_sr = [], [], []
    for chosen in itertools.combinations(range(blocks), blocks // 2):
        inside = np.vstack([parts[b] for b in chosen])
        outside = np.vstack([parts[b] for b in range(blocks) if b not in chosen])
        sr_in = inside.mean(0) / inside.std(0, ddof=1)
        sr_out = outside.mean(0) / outside.std(0, ddof=1)
        best = int(np.argmax(sr_in))
        omega = sps.rankdata(sr_out)[best] / (n + 1)
        logits.append(math.log(omega / (1 - omega)))
        is_sr.append(sr_in[best])
        oos_sr.append(sr_out[best])
    return float(np.mean(np.array(logits) <= 0)), logits, is_sr, oos_sr


@pytest.mark.parametrize("blocks", [4, 6])
def test_pbo_matches_reference_with_ties(blocks):
    rng = np.random.default_rng(11)
    values = rng.normal(0.0002, 0.01, (blocks * 25 + 3, 6))  # 3 rows left over
    values[:, 4] = values[:, 1]  # identical columns: tied ranks and a tied in-sample winner
    result = stats.pbo(values, blocks=blocks)
    expected, logits, is_sr, oos_sr = reference_pbo(values, blocks)
    assert result.pbo == expected
    np.testing.assert_allclose(result.logits, logits, rtol=1e-9)
    np.testing.assert_allclose(result.in_sample, is_sr, rtol=1e-9)
    np.testing.assert_allclose(result.out_of_sample, oos_sr, rtol=1e-9)


def test_pbo_noise_is_near_half_and_edge_near_zero():
    # One noise sample can lean either way (its splits share the data): average over samples.
    samples = [np.random.default_rng(seed).normal(0.0, 0.01, (800, 20)) for seed in range(24)]
    assert 0.4 <= np.mean([stats.pbo(noise, blocks=8).pbo for noise in samples]) <= 0.6
    edge = np.linspace(0.0, 0.005, 20)  # a persistent, graded edge
    assert np.mean([stats.pbo(noise + edge, blocks=8).pbo for noise in samples]) <= 0.05


@pytest.mark.parametrize(
    "values, blocks, message",
    [
        (np.zeros((100, 3)) + np.arange(100)[:, None], 5, "even"),
        (np.random.default_rng(0).normal(size=(100, 1)), 4, "at least 2 strategies"),
        (np.random.default_rng(0).normal(size=(3, 3)), 4, "too few"),
        (np.where(np.eye(40, 3) > 0, np.nan, 0.01), 4, "finite"),
    ],
)
def test_pbo_rejects_bad_input(values, blocks, message):
    with pytest.raises(ValueError, match=message):
        stats.pbo(values, blocks=blocks)

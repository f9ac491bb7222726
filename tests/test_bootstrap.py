"""Confidence bands: the stationary bootstrap's resamples, and bands equal to one resample at a time."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

from quorex import demo, figures
from quorex.research import bootstrap


@pytest.fixture(scope="module")
def report():
    return demo.run_demo(n_stocks=30, years=3)


def test_bands_equal_a_loop_over_the_resamples(report):
    bands = report.bootstrap(n=120, block=10, seed=3)
    returns = figures.curve_returns(report.period().curve(report.creturn))  # the summary's measured curve
    values = returns.to_numpy()
    rng = np.random.default_rng(3)
    index = bootstrap.stationary_indices(len(values) - 1, 120, 10.0, rng)
    found = {name: [] for name in bootstrap.BOOTSTRAP_FIGURES}
    for rows in index:
        column = np.r_[values[0], values[1:][rows]][:, None]
        for name, value in figures.return_figures(column, returns.index).items():
            if name in found:
                found[name].append(value[0])
    for name, values_ in found.items():
        expected = np.quantile(np.array(values_)[~np.isnan(values_)], [0.05, 0.5, 0.95])
        np.testing.assert_array_equal(bands.loc[name].to_numpy(), expected)  # each resample as if alone
    assert list(bands.columns) == [0.05, 0.5, 0.95] and list(bands.index) == list(bootstrap.BOOTSTRAP_FIGURES)
    lower, _, upper = bands.loc["sharpe_ratio"]
    assert lower < report.summary().loc["Sharpe ratio", "value"] < upper


def test_bands_repeat_for_a_seed_and_do_not_depend_on_how_resamples_are_grouped(report, monkeypatch):
    once = report.bootstrap(n=50, seed=11)
    once.iloc[0, 0] = np.nan  # the bands kept for the next page are the report's own
    once = report.bootstrap(n=50, seed=11)
    assert not np.isnan(once.iloc[0, 0])
    pd.testing.assert_frame_equal(once, report.bootstrap(n=50, seed=11))
    assert not once.equals(report.bootstrap(n=50, seed=12))
    monkeypatch.setattr(bootstrap, "CELLS_PER_CALL", 7 * len(report.creturn))  # seven resamples per call
    filters = list(warnings.filters)
    for threads in (1, 3):
        measured = report.period().curve(report.creturn)
        pd.testing.assert_frame_equal(once, bootstrap.bootstrap_figures(measured, 50, seed=11, threads=threads))
    assert warnings.filters == filters


@pytest.mark.parametrize("block", [1.0, 3.0, 50.0])
def test_indices_follow_the_draws_position_by_position(block):
    draws = np.random.default_rng(9).random((6, 40))
    expected = np.empty(draws.shape, dtype=np.int64)
    chance = 1.0 / block
    for r, row in enumerate(draws):
        for t, u in enumerate(row):
            if t == 0 or u < chance:
                uniform = u / chance if u < chance else (u - chance) / (1.0 - chance)
                expected[r, t] = min(int(uniform * 40), 39)
            else:
                expected[r, t] = (expected[r, t - 1] + 1) % 40
    np.testing.assert_array_equal(bootstrap.indices_of_draws(draws, block), expected)


@pytest.mark.parametrize("block", [1.0, 5.0, 40.0])
def test_resamples_are_blocks_of_consecutive_days_of_the_mean_length(block):
    index = bootstrap.stationary_indices(500, 400, block, np.random.default_rng(1))
    assert index.min() >= 0 and index.max() < 500
    continues = index[:, 1:] == (index[:, :-1] + 1) % 500
    starts = 1.0 - continues.mean()  # a block may start on the very next day by chance
    assert starts == pytest.approx(1.0 / block * (1.0 - 1.0 / 500), rel=0.05, abs=0.002)
    # Every day is drawn about equally often.
    counts = np.bincount(index.ravel(), minlength=500)
    assert counts.min() > 0.6 * counts.mean() and counts.max() < 1.4 * counts.mean()


@pytest.mark.parametrize("n, block, message", [
    (0, 21, "n must be a whole number of resamples"),
    (10.5, 21, "n must be a whole number of resamples"),
    (10, 0.5, "block must be a mean block length of 1 day or more"),
    (10, float("nan"), "block must be a mean block length"),
])
def test_bad_settings_are_refused(report, n, block, message):
    with pytest.raises(ValueError, match=message):
        report.bootstrap(n=n, block=block)


def test_a_flat_curve_has_no_sharpe_band():
    curve = pd.Series(1.0, index=pd.bdate_range("2024-01-01", periods=40))
    bands = bootstrap.bootstrap_figures(curve, n=20)
    assert bands.loc["sharpe_ratio"].isna().all()
    assert (bands.loc[["annual_return", "max_drawdown", "volatility"]] == 0).all().all()

"""Figures against a benchmark and of the return distribution, each against its formula written
here with pandas and SciPy; the summary and the page show exactly them."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
import scipy.stats

import quorex
from quorex import demo, figures
from quorex.io.synthetic import synthetic_market


@pytest.fixture(scope="module")
def curves() -> tuple[pd.Series, pd.Series]:
    """A strategy and a benchmark on business days, with a weekend-free calendar of three years."""
    rng = np.random.default_rng(4)
    dates = pd.bdate_range("2021-03-10", periods=780)
    market = rng.normal(0.0004, 0.01, len(dates))
    ours = 0.8 * market + rng.normal(0.0002, 0.006, len(dates))
    return (pd.Series(np.cumprod(1 + ours), index=dates), pd.Series(100 * np.cumprod(1 + market), index=dates))


def test_relative_figures_follow_their_formulas(curves):
    levels, benchmark = curves
    got = figures.curve_relative_figures(levels, benchmark)
    r, b = levels.pct_change().iloc[1:], benchmark.pct_change().iloc[1:]
    years = (levels.index[-1] - levels.index[0]).days / 365.25
    growth = (levels.iloc[-1] / levels.iloc[0]) ** (1 / years) - 1
    their_growth = (benchmark.iloc[-1] / benchmark.iloc[0]) ** (1 / years) - 1
    beta = np.cov(r, b, ddof=1)[0, 1] / b.var(ddof=1)
    expected = {
        "active_return": growth - their_growth,
        "tracking_error": (r - b).std(ddof=1) * np.sqrt(252),
        "information_ratio": (r - b).mean() / (r - b).std(ddof=1) * np.sqrt(252),
        "beta": beta,
        "alpha": growth - beta * their_growth,
        "up_capture": r[b > 0].mean() / b[b > 0].mean(),
        "down_capture": r[b < 0].mean() / b[b < 0].mean(),
    }
    assert got == pytest.approx(expected, rel=1e-10)
    slope = scipy.stats.linregress(b, r).slope
    assert got["beta"] == pytest.approx(slope, rel=1e-10)


def test_relative_figures_of_a_curve_against_itself_and_a_flat_benchmark(curves):
    levels, _ = curves
    same = figures.curve_relative_figures(levels, levels)
    assert same["beta"] == pytest.approx(1.0) and same["alpha"] == pytest.approx(0.0, abs=1e-12)
    assert same["tracking_error"] == 0.0 and np.isnan(same["information_ratio"])
    assert same["up_capture"] == pytest.approx(1.0) and same["active_return"] == pytest.approx(0.0, abs=1e-12)
    flat = figures.curve_relative_figures(levels, pd.Series(1.0, index=levels.index))
    assert all(np.isnan(flat[name]) for name in ("beta", "alpha", "up_capture", "down_capture"))
    # The benchmark starts later: the figures cover the days both have.
    late = figures.curve_relative_figures(levels, levels.iloc[100:] * 2)
    assert late["beta"] == pytest.approx(1.0) and late["active_return"] == pytest.approx(0.0, abs=1e-12)


def test_distribution_figures_follow_their_formulas(curves):
    levels, _ = curves
    got = figures.curve_figures(levels)
    daily = levels.pct_change().iloc[1:]
    months = levels.resample("ME").last()
    monthly = pd.concat([levels.iloc[:1], months]).pct_change().iloc[1:]  # the first from the first level
    yearly = pd.concat([levels.iloc[:1], levels.resample("YE").last()]).pct_change().iloc[1:]
    expected = {
        "best_day": daily.max(), "worst_day": daily.min(),
        "best_month": monthly.max(), "worst_month": monthly.min(),
        "best_year": yearly.max(), "worst_year": yearly.min(),
        "skew": scipy.stats.skew(daily, bias=False), "kurtosis": scipy.stats.kurtosis(daily, bias=False),
    }
    assert {name: got[name] for name in expected} == pytest.approx(expected, rel=1e-10)
    assert got["skew"] == pytest.approx(daily.skew()) and got["kurtosis"] == pytest.approx(daily.kurt())


@pytest.mark.parametrize("curve, undefined", [
    (pd.Series(1.0, index=pd.bdate_range("2024-01-01", periods=30)), {"skew", "kurtosis"}),
    (pd.Series([1.0, 1.1, 1.05, 1.2], index=pd.bdate_range("2024-01-01", periods=4)), {"kurtosis"}),
    (pd.Series([1.0, 1.1, 1.2, 1.0], index=pd.date_range("2024-01-05", periods=4, freq="W-FRI")),
     {"skew", "kurtosis", "best_day", "worst_day"}),
])
def test_distribution_figures_undefined_where_they_mean_nothing(curve, undefined):
    got = figures.curve_figures(curve)
    names = set(figures.DISTRIBUTION_FIGURES)
    assert {name for name in names if np.isnan(got[name])} == undefined


def test_the_matrix_form_equals_one_curve_at_a_time(curves):
    levels, benchmark = curves
    returns = pd.concat([figures.curve_returns(levels * k + k) for k in (1.0, 2.0, 3.0)], axis=1)
    bench = figures.curve_returns(benchmark).to_numpy()
    matrix = figures.relative_figures(returns.to_numpy(), bench, returns.index)
    spread = figures.distribution_figures(returns.to_numpy(), returns.index)
    for column, k in enumerate((1.0, 2.0, 3.0)):
        one = figures.curve_relative_figures(levels * k + k, benchmark)
        assert {n: v[column] for n, v in matrix.items()} == pytest.approx(one, rel=1e-12)
        assert {n: v[column] for n, v in spread.items()} == pytest.approx(
            {n: figures.curve_figures(levels * k + k)[n] for n in figures.DISTRIBUTION_FIGURES}, rel=1e-12)


def test_rolling_beta_is_beta_over_each_window(curves):
    levels, benchmark = curves
    r, b = levels.pct_change(), benchmark.pct_change()
    rolling = figures.rolling_beta(r, b, 60)
    assert rolling.iloc[:60].isna().all()
    for end in (60, 300, len(r) - 1):
        window = slice(end - 59, end + 1)
        assert rolling.iloc[end] == pytest.approx(np.polyfit(b.iloc[window], r.iloc[window], 1)[0], rel=1e-9)


def test_turnover_by_year_splits_the_yearly_turnover():
    report = demo.run_demo(n_stocks=30, years=3)
    trades, dates = report.trades, report.creturn.index
    arrays = (trades["position"].to_numpy(dtype=np.float64), pd.factorize(trades["stock_id"])[0],
              trades["entry_index"].to_numpy(), trades["exit_index"].to_numpy())
    by_year = figures.turnover_by_year(*arrays, dates)
    years = figures.years_between(dates[0], dates[-1])
    assert by_year.sum() == pytest.approx(figures.yearly_turnover(*arrays, years) * years, rel=1e-12)
    # Independently: the net change of each stock's weight on each date, from the position table.
    held = report.position.reindex(dates).fillna(0.0)
    change = held.diff().fillna(held).abs().sum(axis=1)
    assert by_year.to_numpy() == pytest.approx(change.groupby(dates.year).sum().to_numpy() / 2, rel=1e-9)


def test_summary_rows_are_the_figures_of_quorex_figures():
    report = demo.run_demo(n_stocks=30, years=3)
    summary = report.summary()
    curve = report.period().curve(report.creturn)  # the measured period, from the first position
    bench = report.benchmark_on(curve.index)
    relative = figures.curve_relative_figures(curve, bench)
    spread = figures.curve_figures(curve)
    for label, (name, _) in figures.RELATIVE_LABELS.items():
        assert summary.loc[label, "value"] == relative[name], label
    for label, (name, _) in figures.DISTRIBUTION_LABELS.items():
        assert summary.loc[label, "value"] == spread[name], label
    # Metrics keeps its own contract; the two betas differ only in the sample of the variance.
    whole = report.summary(start=report.creturn.index[0])
    assert report.metrics.beta() == pytest.approx(whole.loc["Beta", "value"], rel=2e-3)
    close = synthetic_market(n_stocks=5, years=1, seed=3)["close"]
    no_benchmark = quorex.backtest(close > 0, close, benchmark=pd.Series(dtype=np.float64, index=pd.DatetimeIndex([])))
    rows = no_benchmark.summary().loc[list(figures.RELATIVE_LABELS)]
    assert rows["value"].isna().all() and (rows["text"] == "n/a").all()


def test_group_exposure_sums_the_held_weights_by_group():
    from quorex.pages.report_sections import group_exposure

    dates = pd.bdate_range("2024-01-01", periods=4)
    position = pd.DataFrame({"A": [0.5, 0.5, 0.0, np.nan], "B": [0.25, -0.25, 0.5, 0.5], "C": [0.25, 0.0, 0.5, 0.5]},
                            index=dates)
    exposure = group_exposure(position, {"A": 11, "B": 11, "C": None})
    expected = position.fillna(0).T.groupby(pd.Series(["11", "11", "(no group)"], index=list("ABC"))).sum().T
    pd.testing.assert_frame_equal(exposure, expected, check_names=False)
    with pytest.raises(ValueError, match="none of the 3 held symbols has a group"):
        group_exposure(position, {"X": "tech"})
    with pytest.raises(TypeError, match="groups must be a Series or mapping"):
        group_exposure(position, ["tech"])

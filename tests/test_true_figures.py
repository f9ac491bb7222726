"""Figures that used to be plausible and wrong: stops that were off, impossible excursions, warm-up
days in every figure, a walk-forward that hid its failure, unadjusted splits."""

from __future__ import annotations

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex import figures
from quorex.backtest.excursions import bounded_by_return
from quorex.backtest.inputs.splits import suspected_splits
from quorex.core import engine
from quorex.demo import momentum_weights
from quorex.io.synthetic import synthetic_market

DATES = pd.bdate_range("2021-01-04", periods=8)


@pytest.fixture(scope="module")
def ohlc():
    prices = synthetic_market(n_stocks=40, years=3, seed=5)
    prices.pop("turnover")
    return prices


# ---------------------------------------------------------------------------
# Off means off


@pytest.mark.parametrize("touched", [False, True])
@pytest.mark.parametrize("side, path", [(-1.0, [10, 10, 20, 40, 80, 160, 160, 160]),
                                        (1.0, [10, 10, 5, 1, 0.1, 0.01, 0.01, 0.01]),
                                        (-1.0, [10, 10, 5, 1, 0.1, 0.01, 0.01, 0.01])])
def test_rules_that_are_off_never_close_a_position(side, path, touched):
    close = pd.DataFrame({"A": np.asarray(path, dtype=float)}, index=DATES)
    prices = {"close": close, "open": close, "high": close * 1.01, "low": close * 0.99}
    weights = pd.DataFrame({"A": [side] * len(DATES)}, index=DATES)
    report = quorex.backtest(weights, prices, touched_exit=touched, market="us")
    assert report.trades["exit_reason"].tolist() == ["open"]
    assert report.summary().loc[["Stop loss", "Take profit", "Trail stop"], "text"].tolist() == ["off"] * 3
    # A stop of 100 % is a stop: a short that lost all its entry value is closed.
    if side < 0 and path[-1] > path[0]:
        stopped = quorex.backtest(weights, prices, stop_loss=1.0, touched_exit=touched, market="us")
        assert stopped.trades["exit_reason"].iloc[0] == "stop_loss"


# ---------------------------------------------------------------------------
# Excursions


def test_an_exit_below_the_path_is_the_trades_low():
    out = bounded_by_return(mae=np.array([-0.0567, -0.02, np.nan]), gmfe=np.array([0.03, 0.01, 0.1]),
                            prior_mfe=np.array([0.01, 0.0, 0.0]), max_drawdown=np.array([-0.06, -0.03, -0.1]),
                            returns=np.array([-0.10, 0.05, np.nan]))
    np.testing.assert_allclose(out["mae"], [-0.10, -0.02, np.nan])
    np.testing.assert_allclose(out["gmfe"], [0.03, 0.05, 0.1])
    np.testing.assert_allclose(out["prior_mfe"], [0.03, 0.0, 0.0])  # the peak before the stop
    np.testing.assert_allclose(out["max_drawdown"], [0.90 / 1.03 - 1, -0.03, -0.1])


@pytest.mark.parametrize("touched", [True, False])
def test_trades_and_round_trips_never_show_an_impossible_excursion(ohlc, touched):
    report = quorex.backtest(momentum_weights(ohlc["close"], 40, 8), ohlc, rebalance="ME", stop_loss=0.04,
                             take_profit=0.06, trail_stop=0.05, touched_exit=touched, market="us")
    raw_mae = report.excursions[:, -6]
    if touched:  # the engine's path follows the closes: touched exits fall outside it
        assert (raw_mae > report.trades["return"].to_numpy() + 1e-12).any()
    for table in (report.trades, report.round_trips):
        priced = table.dropna(subset=["return"])
        assert (priced["mae"] <= priced["return"] + 1e-12).all()
        assert (priced["gmfe"] >= priced["return"] - 1e-12).all()
        assert (priced["max_drawdown"] <= 0).all() and (priced["prior_mfe"] <= priced["gmfe"] + 1e-12).all()


# ---------------------------------------------------------------------------
# The measured period


@pytest.fixture(scope="module")
def lookbacks(ohlc):
    return {lookback: quorex.backtest(momentum_weights(ohlc["close"], lookback, 8), ohlc, rebalance="ME",
                                      market="us") for lookback in (60, 250)}


def test_figures_start_at_the_first_position(lookbacks):
    report = lookbacks[250]
    period = report.period()
    first = report.trades["entry_date"].min()
    assert period.start == first and period.end == report.creturn.index[-1]
    assert period.base == report.creturn.index[report.creturn.index.get_loc(first) - 1]
    curve = report.creturn.loc[period.base:]
    summary = report.summary()
    expected = figures.curve_figures(curve)
    for label, (name, kind) in figures.CURVE_LABELS.items():
        assert summary.loc[label, "value"] == pytest.approx(expected[name], nan_ok=True), label
    assert summary.loc["Measured", "text"] == f"{first.date()} to {period.end.date()} (from the first position)"
    # The warm-up year in cash diluted the whole curve's figures.
    whole = figures.curve_figures(report.creturn)
    assert abs(whole["annual_return"]) < abs(expected["annual_return"])
    assert whole["volatility"] < expected["volatility"]
    # Metrics keeps the whole curve.
    assert report.metrics.sharpe_ratio() == pytest.approx(whole["sharpe_ratio"])


def test_start_and_end_choose_another_period(lookbacks):
    report = lookbacks[60]
    dates = report.creturn.index
    summary = report.summary(start="2017-03-01", end=str(dates[400].date()))
    chosen = report.period("2017-03-01", dates[400])
    assert chosen.start == dates[dates >= "2017-03-01"][0] and chosen.end == dates[400]
    curve = report.creturn.loc[chosen.base:chosen.end]
    assert summary.loc["Annual return", "value"] == pytest.approx(figures.curve_figures(curve)["annual_return"])
    trips = report.round_trips
    entered = trips[(trips["entry_date"] >= chosen.start) & (trips["entry_date"] <= chosen.end)]
    assert summary.loc["Round trips", "value"] == len(entered) < len(trips)
    assert "(chosen)" in summary.loc["Measured", "text"]
    page = report.to_html(start="2017-03-01", end=dates[400])
    assert f"measured {chosen.start.date()} to {chosen.end.date()}, chosen" in page
    with pytest.raises(ValueError, match="no trading date from 2030-01-01"):
        report.summary(start="2030-01-01")


def test_the_page_measures_strategy_and_benchmark_over_the_same_dates(lookbacks):
    report = lookbacks[250]
    page = report.to_html()
    period = report.period()
    assert f"measured {period.start.date()} to {period.end.date()}, from the first position" in page
    benchmark = figures.curve_figures(report.benchmark_on(period.curve(report.creturn).index))
    cells = re.search(r"<th>Annual return</th><td>([^<]*)</td><td>([^<]*)</td>", page)
    assert cells.groups() == (report.summary().loc["Annual return", "text"],
                              figures.format_figure(benchmark["annual_return"], "percent"))


def test_a_sweep_measures_every_set_over_one_common_period(ohlc, lookbacks):
    def strategy(prices, lookback):
        return momentum_weights(prices["close"], lookback, 8)

    result = quorex.sweep(strategy, ohlc, {"lookback": [60, 250]}, rebalance="ME", market="us", progress=False)
    late = lookbacks[250].period()
    assert (result.period.start, result.period.end) == (late.start, late.end)
    assert result.period.reason == "from the first date every set held a position"
    for i, lookback in enumerate((60, 250)):
        report = lookbacks[lookback]
        curve = report.creturn.loc[late.base:]
        assert result.table.loc[i, "sharpe_ratio"] == pytest.approx(figures.curve_figures(curve)["sharpe_ratio"])
        assert result.table.loc[i, "final_equity"] == pytest.approx(curve.iloc[-1] / curve.iloc[0])


# ---------------------------------------------------------------------------
# Walk-forward


def test_walk_forward_refuses_to_hide_a_strategy_that_always_fails(ohlc):
    def broken(prices, lookback):
        raise KeyError(f"no column 'signal_{lookback}'")

    with pytest.raises(ValueError, match=r"every set failed on the train window 2016-01-04 to .*"
                                         r"KeyError: \"no column 'signal_5'\" \(1 set\); .*signal_9"):
        quorex.walk_forward(broken, ohlc["close"], {"lookback": [5, 9]}, train=120, test=60, progress=False)


# ---------------------------------------------------------------------------
# Unadjusted splits

SPLIT_RATIOS = (1 / 2, 2 / 3, 1 / 3, 1 / 4, 1 / 5, 1 / 7, 1 / 10, 2.0, 5.0, 10.0)


def split_market(seed: int, n_stocks: int = 80, years: int = 4):
    """Adjusted closes (normal daily moves, a few genuine crashes, bad prints undone the next day)
    and the same closes unadjusted for splits injected at known dates."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=years * 252)
    vol = rng.uniform(0.008, 0.025, n_stocks)
    moves = rng.normal(0.0, 1.0, (len(dates), n_stocks)) * vol
    crashes = [(int(d), int(s)) for d, s in zip(rng.integers(5, len(dates), 6), rng.integers(0, n_stocks, 6))]
    for day, stock in crashes:
        moves[day, stock] += np.log(0.58)  # -42 %: between 2/3 and 1/2, like no split
    adjusted = 30.0 * np.exp(np.cumsum(moves, axis=0))
    adjusted[100, 3] *= 0.5  # a bad print, undone the next day
    factor = np.ones_like(adjusted)
    injected = set()
    for k, stock in enumerate(rng.choice(n_stocks, min(40, n_stocks), replace=False)):
        day = int(rng.integers(20, len(dates) - 1))
        factor[day:, stock] *= SPLIT_RATIOS[k % len(SPLIT_RATIOS)]
        injected.add((f"S{stock}", dates[day]))
    columns = [f"S{i}" for i in range(n_stocks)]
    return (pd.DataFrame(adjusted, index=dates, columns=columns),
            pd.DataFrame(adjusted * factor, index=dates, columns=columns), injected)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_unadjusted_splits_are_named_and_adjusted_prices_pass(seed):
    adjusted, raw, injected = split_market(seed)
    named = suspected_splits(raw)
    found = set(zip(named["symbol"], named["date"]))
    assert len(found & injected) >= 0.9 * len(injected)
    assert found <= injected  # no genuine crash, no bad print
    assert suspected_splits(adjusted).empty


def moves_by_pandas(values: np.ndarray, min_jump: float) -> set[tuple[int, int, int]]:
    """(row, col, row moved from) of every large move, with the last price carried over gaps."""
    frame = pd.DataFrame(values)
    last_row = pd.DataFrame(np.where(np.isnan(values), np.nan, np.arange(len(values))[:, None])).ffill()
    before, before_row = frame.ffill().shift(), last_row.shift()
    ratio = (frame / before).to_numpy()
    rows, cols = np.nonzero(((ratio >= min_jump) | (ratio <= 1 / min_jump)) & ~np.isnan(values))
    return set(zip(rows.tolist(), cols.tolist(), before_row.to_numpy()[rows, cols].astype(int).tolist()))


@pytest.mark.parametrize("layout", ["C", "F", "reversed columns", "every other row"])
def test_large_moves_across_gaps_in_any_layout(layout):
    rng = np.random.default_rng(3)
    values = np.exp(np.cumsum(rng.normal(0, 0.2, (300, 40)), axis=0))
    values[rng.random(values.shape) < 0.2] = np.nan
    values[:30, 5] = np.nan  # listed late
    values[:, 9] = np.nan  # never priced
    values[10, 11], values[11, 11] = 5e-324, 1e-323  # subnormal: doubled, a move
    values[20, 12], values[21, 12] = 1.7e308, np.inf
    values[0, 7], values[1, 7], values[5, 8] = 0.0, np.inf, -np.inf  # extreme quotients count like any other
    view = {"C": np.ascontiguousarray(values), "F": np.asfortranarray(values),
            "reversed columns": values[:, ::-1], "every other row": values[::2]}[layout]
    rows, cols, previous = engine.large_moves(view, 1.4)
    found = set(zip(rows.tolist(), cols.tolist(), previous.tolist()))
    assert len(found) == len(rows) and found == moves_by_pandas(np.array(view), 1.4)


@pytest.mark.parametrize(("prices", "min_jump", "error", "message"), [
    (np.ones((3, 2), dtype=np.int64), 1.4, ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    (np.ones(3), 1.4, ValueError, "wrong number of dimensions"),
    (None, 1.4, TypeError, "expected numpy.ndarray, got NoneType"),
    (np.ones((3, 2)), 1.0, ValueError, "min_jump must be a finite number above 1, got 1.0"),
    (np.ones((3, 2)), float("nan"), ValueError, "min_jump must be a finite number above 1"),
])
def test_large_moves_refuses_what_it_cannot_scan(prices, min_jump, error, message):
    with pytest.raises(error, match=re.escape(message)):
        engine.large_moves(prices, min_jump)


def test_a_split_warns_and_the_summary_counts_it():
    adjusted, raw, injected = split_market(0, n_stocks=12, years=1)
    weights = pd.DataFrame(1 / 12, index=raw.index, columns=raw.columns)
    with pytest.warns(quorex.DataWarning, match=r"look like unadjusted stock splits: 'S\d+' on \d{4}-\d\d-\d\d"):
        report = quorex.backtest(weights, raw, market="us")
    assert report.summary().loc["Suspected unadjusted splits", "value"] == len(report.suspected_splits) > 0
    with warnings.catch_warnings():
        warnings.simplefilter("error", quorex.DataWarning)
        clean = quorex.backtest(weights, adjusted, market="us")
    assert clean.summary().loc["Suspected unadjusted splits", "text"] == "none"

"""Walk-forward: windows, choices made on train data only, and no look-ahead."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.io.synthetic import synthetic_market
from quorex.research.walkforward import windows


def momentum(prices, lookback=40, top=5):
    close = prices["close"]
    return close.pct_change(lookback, fill_method=None).rank(axis=1, ascending=False) <= top


GRID = {"lookback": [20, 60], "stop_loss": [None, 0.08]}


@pytest.fixture(scope="module")
def prices():
    market = synthetic_market(n_stocks=20, years=3, seed=9)
    return {field: market[field] for field in ("open", "high", "low", "close")}


@pytest.fixture(scope="module")
def result(prices):
    return quorex.walk_forward(momentum, prices, GRID, train=200, test=120, rebalance="ME", progress=False)


DATES = pd.bdate_range("2020-01-01", periods=500)


@pytest.mark.parametrize(
    "train, test, anchored",
    [(100, 50, False), (100, 50, True), (120, 1000, False), ("180D", "90D", False), ("365D", "8W", True)],
)
def test_windows_tile_the_dates_after_the_first_train_window(train, test, anchored):
    plan = windows(DATES, train, test, anchored)
    assert plan[0].train_start == 0
    assert [w.test_start for w in plan[1:]] == [w.test_end for w in plan[:-1]]
    assert plan[-1].test_end == len(DATES)
    for w in plan:
        assert w.train_start < w.test_start < w.test_end
        if anchored:
            assert w.train_start == 0
    if not anchored and isinstance(train, int):
        assert all(w.test_start - w.train_start == train for w in plan)


@pytest.mark.parametrize(
    "train, test, message",
    [(500, 10, "no test dates"), (0, 10, "train must be at least 1"), (100, "soon", "test must be"),
     (1, 10, "at least 2 trading dates")],
)
def test_bad_spans_are_refused(train, test, message):
    with pytest.raises(ValueError, match=message):
        windows(DATES, train, test)


def test_choice_is_the_best_set_of_the_train_window(prices, result):
    first = result.windows.iloc[0]
    train = {field: frame.loc[: first["train_end"]] for field, frame in prices.items()}
    sweep = quorex.sweep(momentum, train, GRID, progress=False, rebalance="ME")
    best = sweep.best("sharpe_ratio")
    assert first["set"] == best.name
    assert result.choices.iloc[0].to_dict() == pytest.approx({k: best[k] for k in GRID}, nan_ok=True)
    assert result.in_sample.iloc[0]["sharpe_ratio"] == best["sharpe_ratio"]


def test_equity_is_the_stitched_test_returns(result):
    assert result.equity.index.equals(result.returns.index)
    assert result.returns.index[0] == result.windows["test_start"].iloc[0]
    assert result.equity.iloc[-1] == pytest.approx(result.out_of_sample["final_equity"].prod(), rel=1e-12)
    assert not result.returns.index.has_duplicates


def test_later_prices_never_change_earlier_equity(prices, result):
    dates = prices["close"].index
    cut = dates[len(dates) * 2 // 3]
    changed = {field: frame.copy() for field, frame in prices.items()}
    rng = np.random.default_rng(0)
    factor = rng.uniform(0.5, 1.5, changed["close"].loc[dates > cut].shape)
    for frame in changed.values():
        frame.loc[dates > cut] *= factor
    again = quorex.walk_forward(momentum, changed, GRID, train=200, test=120, rebalance="ME", progress=False)
    pd.testing.assert_series_equal(again.equity.loc[:cut], result.equity.loc[:cut], check_exact=True)
    decided = result.windows["train_end"] <= cut
    pd.testing.assert_frame_equal(again.choices[decided], result.choices[decided])
    assert not again.equity.loc[cut:].iloc[1:].equals(result.equity.loc[cut:].iloc[1:])


def test_weights_table_walk_forward_uses_rules_only(prices):
    weights = momentum(prices)
    walk = quorex.walk_forward(weights, prices, {"stop_loss": [None, 0.05, 0.1]}, train="365D", test="180D",
                               anchored=True, by="max_drawdown", rebalance="ME", progress=False)
    assert list(walk.choices.columns) == ["stop_loss"]
    assert (walk.windows["train_start"] == prices["close"].index[0]).all()
    assert walk.in_sample["max_drawdown"].notna().all()

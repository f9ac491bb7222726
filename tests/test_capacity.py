"""Capacity curves and execution rules in sweeps and on the pages."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.figures import CAPACITY_FIGURES, EXECUTION_LABELS, EXECUTION_SETTINGS
from quorex.io.synthetic import synthetic_market


@pytest.fixture(scope="module")
def market():
    prices = synthetic_market(40, 2, seed=11)
    close = prices["close"]
    weights = close.pct_change(20, fill_method=None).rank(axis=1, ascending=False) <= 5
    return close, weights, prices["turnover"] / close


def test_capacity_curve_by_capital_on_any_executor(market):
    close, weights, volume = market
    capitals = [1e9, 1e6, 1e8]
    rules = dict(volume=volume, max_participation=0.05, slippage="sqrt", rebalance="ME", market="us")
    curve = quorex.capacity_curve(weights, close, capitals, **rules)
    assert curve.index.tolist() == sorted(capitals) and list(curve.columns) == [*CAPACITY_FIGURES, "error"]
    assert curve["error"].isna().all()
    # Two stocks delist while held and can never be sold (no volume): some orders fail at any capital.
    unfilled = curve["unfilled_share"].to_numpy()
    assert np.all(np.diff(unfilled) >= 0) and unfilled[-1] > 0.5 > unfilled[0]
    assert (curve["slippage_per_year"] > 0).all()
    with ThreadPoolExecutor(2) as pool:
        threaded = quorex.capacity_curve(weights, close, capitals, executor=pool, **rules)
    pd.testing.assert_frame_equal(threaded, curve)
    # Each row is the backtest at that capital.
    one = quorex.backtest(weights, close, capital=1e8, **rules)
    assert curve.loc[1e8, "unfilled_share"] == one.unfilled_share()
    page = quorex.sweep(weights, close, {"capital": capitals}, progress=False, **rules).to_html()
    assert "<h2>Capacity</h2>" in page


@pytest.mark.parametrize("grid, message", [
    ({"lot_size": [-1]}, "grid lot_size=-1: lot_size must be a positive"),
    ({"max_participation": [0]}, r"grid max_participation=0: max_participation must be in \(0, 1\]"),
    ({"slippage": ["fast"]}, "slippage must be a fraction"),
    ({"capital": [0]}, "capital must be a positive"),
])
def test_sweeps_refuse_bad_execution_rules_before_running(market, grid, message):
    close, weights, _ = market
    with pytest.raises(ValueError, match=message):
        quorex.sweep(weights, close, grid, progress=False)


def test_capacity_curve_refuses_what_it_cannot_vary(market):
    close, weights, _ = market
    with pytest.raises(ValueError, match="at least one starting capital"):
        quorex.capacity_curve(weights, close, [])
    with pytest.raises(ValueError, match="capitals=\\[...\\]"):
        quorex.capacity_curve(weights, close, [1e6], capital=1e7)


def test_summary_and_page_show_the_rules_and_what_they_did(market):
    close, weights, volume = market
    report = quorex.backtest(weights, close, rebalance="ME", capital=5e8, volume=volume, max_participation=0.05,
                             slippage=0.001, cash_rate=0.01)
    summary = report.summary()
    assert set(EXECUTION_SETTINGS) | set(EXECUTION_LABELS) <= set(summary.index)
    counts = report.unfilled["reason"].value_counts()
    assert summary.loc["Orders unfilled (volume)", "value"] == counts["volume"] > 0
    assert summary.loc["Slippage paid (of capital)", "value"] == pytest.approx(report.costs["slippage"].sum() / 5e8)
    assert summary.loc["Fees paid (of capital)", "value"] == pytest.approx(report.costs["fee"].sum() / 5e8)
    page = report.to_html()
    assert "<h2>Execution</h2>" in page and "Latest unfilled orders" in page
    plain = quorex.backtest(weights, close, rebalance="ME")
    assert "Orders unfilled (volume)" in plain.summary().index  # the home market's price limit is a rule

"""quorex.backtest from many threads at once, and without copies of its inputs."""

from __future__ import annotations

import importlib
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pandas.testing as pdt

import quorex
from quorex.io.synthetic import synthetic_market

bt = importlib.import_module("quorex.backtest.run")


def case(seed: int) -> tuple[pd.DataFrame, dict, dict]:
    market = synthetic_market(n_stocks=30 + seed, years=2, seed=seed)
    market.pop("turnover")
    close = market["close"]
    momentum = close / close.shift(20) - 1
    weights = momentum.rank(axis=1, ascending=False) <= 5 + seed % 4
    rules = [dict(stop_loss=0.05), dict(take_profit=0.08, touched_exit=True), dict(trail_stop=0.06),
             dict(trade_at="open", stop_loss=0.1, excursion_window=5)][seed % 4]
    return weights, market, dict(rebalance=["W-FRI", "ME", None][seed % 3], **rules)


def outcome(report: quorex.Report) -> tuple:
    return report.creturn, report.trades, report.stock_operations, report.position


def test_eight_threads_get_their_own_results():
    cases = [case(seed) for seed in range(8)]
    serial = [outcome(quorex.backtest(w, p, **k)) for w, p, k in cases]
    barrier = threading.Barrier(8)

    def run(index: int) -> list[tuple]:
        w, p, k = cases[index]
        barrier.wait()
        return [outcome(quorex.backtest(w, p, **k)) for _ in range(3)]

    with ThreadPoolExecutor(8) as pool:
        threaded = list(pool.map(run, range(8)))
    for want, runs in zip(serial, threaded):
        for got in runs:
            assert got[0].to_numpy().tobytes() == want[0].to_numpy().tobytes()
            pdt.assert_frame_equal(got[1], want[1], check_exact=True)
            pdt.assert_frame_equal(got[2], want[2], check_exact=True)
            pdt.assert_frame_equal(got[3], want[3], check_exact=True)


def test_float64_frames_reach_the_engine_without_a_copy(monkeypatch):
    market = synthetic_market(n_stocks=40, years=1, seed=3)
    weights = market["close"].rank(axis=1) <= 5
    seen = {}
    real = bt.run_engine

    def capture(inputs, **settings):
        seen["inputs"] = inputs
        return real(inputs, **settings)

    monkeypatch.setattr(bt, "run_engine", capture)
    prices = {k: market[k] for k in ("close", "open", "high", "low")}
    quorex.backtest(weights, prices, trade_at="open", touched_exit=True, take_profit=0.1)
    inputs = seen["inputs"]
    for name, field in (("close_values", "close"), ("price_values", "open"), ("high_values", "high"),
                        ("low_values", "low"), ("open_values", "open")):
        assert np.shares_memory(getattr(inputs, name), prices[field].to_numpy()), name


def test_tables_are_built_on_first_access_and_kept(monkeypatch):
    weights, market, kwargs = case(1)
    calls = []
    real = bt.trade_table
    monkeypatch.setattr(bt, "trade_table", lambda *a, **k: calls.append(1) or real(*a, **k))
    report = quorex.backtest(weights, market, **kwargs)
    assert calls == []
    assert report.trades is report.trades and calls == [1]
    assert report.position.shape == (len(report.creturn), weights.shape[1]) and calls == [1]

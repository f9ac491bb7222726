"""Parameter sweeps: figures against Metrics, identical tables on every executor, bad input, failures."""

from __future__ import annotations

import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex import cli
from quorex.io.synthetic import synthetic_market
from quorex.research.sweep import FIGURES, SweepError, expand_grid

RATED = ("annual_return", "sharpe_ratio", "sortino_ratio", "max_drawdown", "volatility", "calmar_ratio")


def momentum(prices, lookback=40, top=5):
    """Top momentum stocks; top=0 holds nothing, top<0 fails."""
    if top < 0:
        raise ValueError("top must be 0 or more")
    close = prices["close"]
    return close.pct_change(lookback, fill_method=None).rank(axis=1, ascending=False) <= top


def shared_prices_only(prices, lookback=40, top=5):
    """Momentum that fails unless the prices are the read-only views of the shared block."""
    if prices["close"].to_numpy().flags.writeable:
        raise AssertionError("prices reached the worker as a copy")
    return momentum(prices, lookback, top)


def dies_on(prices, lookback=40, top=5):
    if top == 3:
        os._exit(1)  # a worker process killed mid-sweep
    return momentum(prices, lookback, top)


@pytest.fixture(scope="module")
def prices():
    market = synthetic_market(n_stocks=24, years=2, seed=5)
    return {field: market[field] for field in ("open", "high", "low", "close")}


@pytest.fixture(scope="module")
def weights(prices):
    return momentum(prices)


# Forking a process that runs threads can deadlock; the server starts clean workers.
PROCESSES = multiprocessing.get_context("forkserver")


def process_pool(workers: int) -> ProcessPoolExecutor:
    return ProcessPoolExecutor(workers, mp_context=PROCESSES)


RULES = {"stop_loss": [None, 0.05], "take_profit": [None, 0.1], "trail_stop": [None, 0.08]}
SIGNALS = {"lookback": [20, 60], "top": [0, 4], "stop_loss": [None, 0.06]}


@pytest.fixture(scope="module")
def serial(prices):
    return quorex.sweep(momentum, prices, SIGNALS, executor=ThreadPoolExecutor(1), progress=False, rebalance="ME")


def test_figures_equal_metrics_of_each_backtest(prices, serial):
    for i in (0, 3, 6):  # a flat set (top=0), a stop-loss set and an ordinary one
        row = serial.table.loc[i]
        params = serial.sets[i]
        report = quorex.backtest(momentum(prices, params["lookback"], params["top"]), prices,
                                 rebalance="ME", stop_loss=params["stop_loss"])
        # Every set is measured over the sweep's one period (from the latest first position).
        m = report.metrics_over(serial.period)
        summary = report.summary()["value"]
        expected = {name: getattr(m, name)(0.02) for name in RATED}
        expected |= {"value_at_risk": m.value_at_risk(), "cvalue_at_risk": m.cvalue_at_risk(),
                     "win_rate": summary["Win rate (round trips)"], "trades": summary["Round trips"],
                     "profit_factor": summary["Profit factor (round trips)"], "records": len(report.trades),
                     "final_equity": report.creturn.iloc[-1] / serial.period.curve(report.creturn).iloc[0]}
        for name, value in expected.items():
            assert row[name] == pytest.approx(float(value), rel=1e-9, nan_ok=True), (i, name)
    flat = serial.table.loc[0]
    assert flat["trades"] == 0 and np.isnan(flat["win_rate"]) and np.isnan(flat["sharpe_ratio"])
    assert flat["final_equity"] == 1.0


def test_table_layout_and_grid_order(serial):
    assert list(serial.table.columns) == ["lookback", "top", "stop_loss", *FIGURES, "error"]
    # The last key varies fastest.
    assert serial.table[["lookback", "top"]].head(4).values.tolist() == [[20, 0], [20, 0], [20, 4], [20, 4]]
    assert serial.returns.shape == (len(serial.returns.index), 8)
    equity = (1 + serial.measured_returns().iloc[1:]).cumprod().iloc[-1]
    np.testing.assert_allclose(equity.to_numpy(), serial.table["final_equity"].to_numpy(), rtol=1e-12)


@pytest.fixture(scope="module")
def pool():
    with process_pool(2) as executor:
        yield executor


@pytest.mark.parametrize(
    "kind, chunk_size",
    [("default", None), ("default", 3), ("threads", 1), ("processes", None), ("processes", 5)],
)
def test_every_executor_gives_the_same_table(request, prices, serial, kind, chunk_size):
    executor = {"default": None, "threads": ThreadPoolExecutor(2)}.get(kind) or (
        request.getfixturevalue("pool") if kind == "processes" else None
    )
    result = quorex.sweep(momentum, prices, SIGNALS, executor=executor, chunk_size=chunk_size,
                          progress=False, rebalance="ME")
    pd.testing.assert_frame_equal(result.table, serial.table, check_exact=True)
    pd.testing.assert_frame_equal(result.returns, serial.returns, check_exact=True)


def test_process_workers_read_the_shared_market(prices, pool):
    result = quorex.sweep(shared_prices_only, prices, {"top": [2, 4, 6, 8]}, executor=pool,
                          chunk_size=1, progress=False)
    assert result.table["error"].isna().all(), result.table["error"].tolist()


def test_rules_only_sweep_matches_backtest(prices, weights):
    result = quorex.sweep(weights, prices, [{"stop_loss": 0.05}, {"take_profit": 0.1, "touched_exit": True}],
                          progress=False, rebalance="ME")
    assert list(result.table.columns[:3]) == ["stop_loss", "take_profit", "touched_exit"]
    report = result.report(1)
    direct = quorex.backtest(weights, prices, rebalance="ME", take_profit=0.1, touched_exit=True)
    pd.testing.assert_series_equal(report.creturn, direct.creturn)
    assert result.best("sharpe_ratio").name == result.table["sharpe_ratio"].idxmax()


@pytest.mark.parametrize(
    "grid, fixed, message",
    [
        ({}, {}, "grid is empty"),
        ([], {}, "grid is empty"),
        ({"stop_loss": []}, {}, "'stop_loss'"),
        ({"stop_loss": 0.1}, {}, "'stop_loss'"),
        ({"stop_los": [0.1]}, {}, "'stop_los'"),
        ({"stop_loss": [0.1, -0.2]}, {}, "stop_loss=-0.2"),
        ({"trade_at": ["close", "noon"]}, {}, "trade_at='noon'"),
        ({"rebalance": ["ME", "every tuesday"]}, {}, "rebalance='every tuesday'"),
        ({"excursion_step": [0]}, {}, "excursion_step"),
        ({"fee_ratio": [float("nan")]}, {}, "fee_ratio"),
        ({"stop_loss": [0.1]}, {"stop_loss": 0.2}, "both set"),
        ({"stop_loss": [0.1]}, {"lookback": 5}, "'lookback'"),
        ({"weights": [None]}, {}, "'weights'"),
    ],
)
def test_bad_grid_is_refused_before_anything_runs(prices, weights, grid, fixed, message):
    with pytest.raises(ValueError, match=message):
        quorex.sweep(weights, prices, grid, progress=False, **fixed)


def test_touched_exit_needs_full_prices(prices, weights):
    with pytest.raises(ValueError, match="touched_exit"):
        quorex.sweep(weights, prices["close"], {"touched_exit": [False, True]}, progress=False)


def test_expand_grid_orders_combinations():
    assert expand_grid({"a": [1, 2], "b": ["x", "y"]}) == [
        {"a": 1, "b": "x"}, {"a": 1, "b": "y"}, {"a": 2, "b": "x"}, {"a": 2, "b": "y"},
    ]


def test_a_failing_set_keeps_the_others(prices):
    result = quorex.sweep(momentum, prices, {"top": [2, -1, 4]}, progress=False)
    errors = result.table["error"]
    assert errors.isna().tolist() == [True, False, True]
    assert "top must be 0 or more" in errors[1]
    assert result.table.loc[1, list(FIGURES)].isna().all() and result.returns[1].isna().all()
    assert result.table.loc[[0, 2], "sharpe_ratio"].notna().all()
    assert result.pbo(blocks=4).logits.shape == (6,)  # the failed set is left out


def test_dead_worker_names_the_missing_sets(prices):
    with process_pool(1) as executor, pytest.raises(SweepError) as caught:
        quorex.sweep(dies_on, prices, {"top": [1, 2, 3, 4, 5]}, executor=executor, chunk_size=1,
                     progress=False)
    error = caught.value
    assert 2 in error.missing and "2" in str(error)
    table = error.partial.table
    assert table.loc[error.missing, "error"].str.startswith("not run").all()
    ran = table.index.difference(error.missing)
    assert table.loc[ran, "error"].isna().all() and table.loc[ran, "sharpe_ratio"].notna().all()


def test_dask_cluster_gives_the_same_table(prices, weights):
    distributed = pytest.importorskip("distributed")
    expected = quorex.sweep(weights, prices, RULES, progress=False, rebalance="ME")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        result = quorex.sweep(weights, prices, RULES, executor=client.get_executor(), progress=False,
                              rebalance="ME")
        # The market stays on the workers for the next sweep of it; a changed market is sent afresh.
        again = quorex.sweep(weights, prices, RULES, executor=client.get_executor(), progress=False,
                             rebalance="ME")
        changed = {k: v ** 1.2 for k, v in prices.items()}
        other = quorex.sweep(weights, changed, RULES, executor=client.get_executor(), progress=False,
                             rebalance="ME")
    pd.testing.assert_frame_equal(result.table, expected.table, check_exact=True)
    pd.testing.assert_frame_equal(again.table, expected.table, check_exact=True)
    assert not other.table["final_equity"].equals(expected.table["final_equity"])


def test_cli_sweep_writes_table_and_heatmap(tmp_path, capsys, prices, weights):
    prices["close"].to_csv(tmp_path / "prices.csv", index_label="date")
    weights.to_csv(tmp_path / "weights.csv", index_label="date")
    base = ["sweep", "--prices", str(tmp_path / "prices.csv"), "--weights", str(tmp_path / "weights.csv"),
            "--out", str(tmp_path / "out")]
    assert cli.main([*base, "--grid", "stop_loss=none,0.05", "--grid", "take_profit=0.1,0.2",
                     "--rebalance", "ME"]) == 0
    table = pd.read_csv(tmp_path / "out" / "sweep.csv")
    assert len(table) == 4 and {"sharpe_ratio", "dsr"} <= set(table.columns)
    assert (tmp_path / "out" / "heatmap.png").stat().st_size > 0
    capsys.readouterr()
    assert cli.main([*base, "--grid", "stop_loss=0.1,-1"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "stop_loss=-1" in err


@pytest.mark.parametrize("rebalance", [None, "ME"])
def test_turnover_counts_net_weight_changes_only(prices, rebalance):
    close = prices["close"]
    held = pd.DataFrame(0.0, index=close.index, columns=close.columns)
    held.iloc[:, :2] = 0.5  # bought on the first date and held; "ME" splits it at every month end
    result = quorex.sweep(held, close, {"fee_ratio": [0.0]}, progress=False, rebalance=rebalance)
    # Per year of the time from the close before the first position.
    years = (close.index[-1] - result.period.base).total_seconds() / (365.25 * 86400)
    assert result.table.loc[0, "turnover"] == pytest.approx(0.5 / years, rel=1e-9)

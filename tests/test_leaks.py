"""Memory and reference ownership of simloop, tradearc and metrics.

The soak test runs many backtests in one process and requires a flat resident
set; the reference-count tests require every input to be released by a run,
by a failed run, and the previous run's records to be released by the next.
QUOREX_SOAK_RUNS sets the soak's run count (default 10,000).
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import types

import numpy as np
import pandas as pd
import pytest

from quorex.core import metrics, simloop, tradearc

DAY = 86_400 * 10**9
SOAK_RUNS = int(os.environ.get("QUOREX_SOAK_RUNS", "10000"))
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


def label(text: str) -> str:
    """A label object of its own (not interned), so its count is ours alone."""
    return "".join([text, "\u00b7"])[:-1] + ""


def small_market(seed: int = 7, n: int = 40, m: int = 4) -> dict:
    """A market with trends, gaps and weekly rebalances that also trips exits."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.04, size=(n, m))
    price = 50.0 * np.exp(np.cumsum(steps, axis=0))
    price[rng.random((n, m)) < 0.05] = np.nan
    close = price * (1 + rng.normal(0.0, 0.01, size=(n, m)))
    index = np.arange(n, dtype=np.int64) * DAY
    rows = np.arange(0, n, 5)
    pos_values = rng.choice([0.0, 0.25, -0.25, 0.5], size=(len(rows), m))
    labels = np.array([label(f"s{j}") for j in range(m)], dtype=object)
    return dict(
        price_values=price, close_values=close, high_values=price * 1.02, low_values=price * 0.98,
        open_values=price.copy(), price_index=index, price_columns=labels,
        pos_values=pos_values, pos_index=index[rows], pos_columns=labels.copy(), resample=index[rows],
        fee_ratio=0.001425, tax_ratio=0.003, stop_loss=0.05, take_profit=0.08, trail_stop=0.06,
        tradearc_window=6, tradearc_window_step=2,
    )  # fmt: skip


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def one_cycle(args: dict, touched: bool) -> None:
    simloop.backtest_(**args, touched_exit=touched)
    simloop.get_trade_stocks(args["pos_columns"], args["price_index"], touched)
    simloop.get_stock_operations()


@pytest.mark.soak
@pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine holds freed memory; LeakSanitizer checks this run")
def test_thousands_of_backtests_keep_memory_flat(capsys):
    args = small_market()
    for i in range(500):
        one_cycle(args, touched=i % 2 == 1)
    gc.collect()
    before = rss_bytes()
    for i in range(SOAK_RUNS):
        one_cycle(args, touched=i % 2 == 1)
    gc.collect()
    growth = rss_bytes() - before
    with capsys.disabled():
        print(f"\n{SOAK_RUNS} backtests: resident set {before / 2**20:.1f} MiB -> growth {growth / 2**10:.0f} KiB")
    assert growth < 5 * 2**20


def references(args: dict) -> dict:
    """The reference count of every argument object and every label."""
    counts = {name: sys.getrefcount(value) for name, value in args.items()}
    for name in ("price_columns", "pos_columns"):
        for i, item in enumerate(args[name]):
            counts[f"{name}[{i}]"] = sys.getrefcount(item)
    return counts


def release_held_matrices() -> None:
    """tradearc keeps the last run's price and close matrices until the next run."""
    simloop.backtest_(**small_market(seed=1, n=3, m=1))


def fresh_scalars(args: dict) -> dict:
    # Objects of their own, so that their counts move only through the call.
    return dict(args, fee_ratio=float("0.001425"), stop_loss=float("0.05"),
                stop_trading_next_period=types.SimpleNamespace(), touched_exit=types.SimpleNamespace(),
                retain_cost_when_rebalance=[], periodically_rebalance=[1])  # fmt: skip


def test_a_run_releases_every_argument():
    args = fresh_scalars(small_market())
    baseline = references(args)
    for _ in range(3):
        simloop.backtest_(**args)
        rows, _ = simloop.get_trade_stocks(args["pos_columns"], args["price_index"], True)
        assert rows
        del rows
    release_held_matrices()
    assert references(args) == baseline


def _break(args: dict, how: str) -> dict:
    broken = dict(args)
    if how == "wrong dtype late":
        broken["resample"] = broken["resample"].astype(np.float64)
    elif how == "list":
        broken["pos_columns"] = list(broken["pos_columns"])
    elif how == "no weight rows":
        broken["pos_index"] = broken["pos_index"][:0]
    elif how == "label without encode":
        broken["pos_columns"] = np.array([3] + list(broken["pos_columns"][1:]), dtype=object)
    elif how == "step zero":
        broken["tradearc_window_step"] = 0
    elif how == "window overflow":
        broken["tradearc_window"] = 2**31
    elif how == "touched without high":
        broken["high_values"] = None
        broken["touched_exit"] = True
    return broken


@pytest.mark.parametrize(
    "how",
    ["wrong dtype late", "list", "no weight rows", "label without encode", "step zero", "window overflow",
     "touched without high"],
)  # fmt: skip
def test_a_failed_run_releases_every_argument(how):
    args = _break(fresh_scalars(small_market()), how)
    baseline = references(args)
    for _ in range(3):
        with pytest.raises((TypeError, ValueError, IndexError, ZeroDivisionError, OverflowError, AttributeError)):
            simloop.backtest_(**args)
    release_held_matrices()
    assert references(args) == baseline


def test_the_next_run_releases_the_previous_records():
    args = small_market()
    simloop.backtest_(**args)
    operations = simloop.stock_operations
    trades, positions, records = tradearc.trades, tradearc.trade_positions, tradearc.tradearc
    assert records, "the market must produce trades"
    # Own references: the local name and getrefcount's argument.
    items = [trades[0], positions[0], records[0], records[-1], operations]
    owned = [sys.getrefcount(item) - 1 for item in items]
    simloop.backtest_(**small_market(seed=3))
    gc.collect()
    # Each was held once by its list (or the module), and is no longer.
    assert [sys.getrefcount(item) - 1 for item in items] == [n - 1 for n in owned]
    assert tradearc.trades is trades and tradearc.tradearc is records


def test_trade_rows_hold_only_what_they_return():
    args = small_market()
    simloop.backtest_(**args)
    baseline = references(args)
    rows, operations = simloop.get_trade_stocks(args["pos_columns"], args["price_index"], False)
    held_labels = sum(1 for row in rows for _ in [row[0]])
    assert held_labels == len(rows)
    del rows
    assert references(args) == baseline
    assert operations is simloop.stock_operations


def _report(seed: int) -> types.SimpleNamespace:
    rng = np.random.default_rng(seed)
    index = pd.date_range("2021-01-01", periods=60)
    creturn = pd.Series(np.cumprod(1 + rng.normal(0, 0.01, 60)), index=index)
    trades = pd.DataFrame({"return": rng.normal(0, 0.05, 8), "mae": -rng.random(8), "gmfe": rng.random(8),
                           "position": rng.random(8), "turnover@entry_date": rng.random(8) * 1e6,
                           "turnover@exit_date": rng.random(8) * 1e6})  # fmt: skip
    liquidity = {"處置股": {"entry": 0.1, "exit": 0.2}, "buy_high": {"entry": 0.3, "exit": 0.0}}
    return types.SimpleNamespace(creturn=creturn, benchmark=creturn * 1.01, trades=trades, liquidity=liquidity,
                                 position=pd.DataFrame(rng.random((60, 3)), index=index))  # fmt: skip


CHEAP_ACCESSORS = ["win_rate", "expectancy", "mae", "mfe", "capacity", "profit_factor", "disposal_stock_ratio",
                   "buy_high", "sell_low", "avg_n_stock", "max_n_stock", "alpha", "beta", "value_at_risk",
                   "tail_ratio", "start_date", "end_date"]  # fmt: skip


def test_metrics_objects_are_released_once_evicted():
    report = _report(0)
    before = sys.getrefcount(report)
    first = metrics.Metrics(report)
    for name in CHEAP_ACCESSORS + ["sharpe_ratio"]:
        getattr(first, name)()
    second = metrics.Metrics(_report(1))
    for name in CHEAP_ACCESSORS + ["sharpe_ratio"]:
        getattr(second, name)()
    # The result caches now point at `second`; only our name holds `first`.
    assert sys.getrefcount(first) == 2
    del first
    gc.collect()
    assert sys.getrefcount(report) == before


@pytest.mark.soak
@pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine holds freed memory; LeakSanitizer checks this run")
def test_metrics_memory_is_flat(capsys):
    reports = [_report(seed) for seed in range(4)]

    def cycle(i: int) -> None:
        m = metrics.Metrics(reports[i % 4])
        for name in CHEAP_ACCESSORS:
            getattr(m, name)()

    for i in range(100):
        cycle(i)
    gc.collect()
    before = rss_bytes()
    runs = max(SOAK_RUNS // 80, 10)
    for i in range(runs):
        cycle(i)
    gc.collect()
    growth = rss_bytes() - before
    with capsys.disabled():
        print(f"\n{runs} Metrics objects: resident set growth {growth / 2**10:.0f} KiB")
    assert growth < 5 * 2**20

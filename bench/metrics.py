"""Benchmark: all 44 Metrics accessors on a 20-year daily report.

Prints the workload, the time of the first call of every accessor on a fresh
Metrics object (computing the shared statistics on the way) and the time of
the second, cached round.
"""

from __future__ import annotations

import statistics
import time
import types
import warnings

import numpy as np
import pandas as pd

from quorex.core.metrics import Metrics

YEARS = 20
N_STOCKS = 50
N_TRADES = 5_000
REPEATS = 5


def synthetic_report(seed: int = 7) -> types.SimpleNamespace:
    """A seeded report with every attribute the accessors read."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2005-01-03", periods=YEARS * 252)
    creturn = pd.Series(np.cumprod(1 + rng.normal(0.0004, 0.012, len(dates))), index=dates)
    benchmark = pd.Series(np.cumprod(1 + rng.normal(0.0003, 0.010, len(dates))), index=dates)
    position = pd.DataFrame(np.where(rng.random((len(dates), N_STOCKS)) < 0.2, 1 / N_STOCKS, 0.0), index=dates)
    trades = pd.DataFrame({
        "return": rng.normal(0.01, 0.08, N_TRADES),
        "mae": -rng.random(N_TRADES) * 0.1,
        "gmfe": rng.random(N_TRADES) * 0.2,
        "position": rng.choice([-1, 1], N_TRADES) * rng.uniform(0.01, 0.05, N_TRADES),
        "turnover@entry_date": rng.uniform(1e6, 1e8, N_TRADES),
        "turnover@exit_date": rng.uniform(1e6, 1e8, N_TRADES),
    })
    market = types.SimpleNamespace(get_name=lambda: "tw_stock", get_freq=lambda: "1d")
    liquidity = {key: {"entry": rng.random(), "exit": rng.random()}
                 for key in ("處置股", "警示股", "全額交割股", "buy_high", "sell_low")}
    return types.SimpleNamespace(
        creturn=creturn, benchmark=benchmark, position=position, trades=trades, liquidity=liquidity,
        fee_ratio=0.001425, tax_ratio=0.003, stop_loss=None, take_profit=0.2, trail_stop=None, trade_at="open",
        market=market, update_date=dates[-1], next_trading_date=dates[-1] + pd.offsets.BDay(),
        weights=pd.Series(0.02, index=range(N_STOCKS), name=dates[-1]),
        next_weights=pd.Series(0.02, index=range(N_STOCKS), name=dates[-1] + pd.offsets.BDay()),
        live_performance_start=None)


def accessor_names() -> list[str]:
    return [name for name in vars(Metrics) if not name.startswith("_")]


def run_all(metrics: Metrics, names: list[str]) -> float:
    start = time.perf_counter()
    for name in names:
        getattr(metrics, name)()
    return time.perf_counter() - start


def main() -> None:
    warnings.simplefilter("ignore")
    report = synthetic_report()
    names = accessor_names()
    print(f"workload: {len(names)} accessors, {len(report.creturn)} daily equity values ({YEARS} years), "
          f"{N_STOCKS} stocks, {len(report.trades)} trades; median of {REPEATS} fresh Metrics objects")
    first, cached = [], []
    for _ in range(REPEATS):
        metrics = Metrics(report)
        first.append(run_all(metrics, names))
        cached.append(run_all(metrics, names))
    print(f"first call of all {len(names)}: {statistics.median(first) * 1e3:9.2f} ms")
    print(f"cached call of all {len(names)}: {statistics.median(cached) * 1e6:8.1f} us")
    metrics = Metrics(report)
    costs = sorted(((run_all(metrics, [name]), name) for name in names), reverse=True)
    print("slowest first calls: " + ", ".join(f"{name} {cost * 1e3:.1f} ms" for cost, name in costs[:5]))


if __name__ == "__main__":
    main()

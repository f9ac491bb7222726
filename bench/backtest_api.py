"""Cost of quorex.backtest end to end, split into the pandas layer and the engine.

Workload: the synthetic market (``quorex.market.synthetic_market``) with the
demo's momentum selection, monthly and daily rebalancing.
"""

from __future__ import annotations

import importlib
import time

import quorex
from quorex.demo import momentum_weights
from quorex.market import synthetic_market

bt = importlib.import_module("quorex.backtesting")


def timed(fn, *args, **kwargs):
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return result, time.perf_counter() - start


def main() -> None:
    engine_seconds = []
    real_run = bt._run_engine

    def counting_run(*args, **kwargs):
        run, seconds = timed(real_run, *args, **kwargs)
        engine_seconds.append(seconds)
        return run

    bt._run_engine = counting_run
    for n_stocks, years in ((200, 8), (1000, 20)):
        market = synthetic_market(n_stocks=n_stocks, years=years)
        turnover = market.pop("turnover")
        weights = momentum_weights(market["close"])
        quorex.backtest(weights, market, rebalance="ME")  # warm-up
        for rebalance in ("ME", "D"):
            engine_seconds.clear()
            report, total = timed(
                quorex.backtest, weights, market, rebalance=rebalance, stop_loss=0.1, turnover=turnover
            )
            _, summary = timed(report.summary)
            print(
                f"{n_stocks:5d} stocks x {years:2d} years, rebalance={rebalance:2s}: "
                f"{len(report.trades):7d} trades, backtest {total:6.3f} s "
                f"(engine {engine_seconds[0]:6.3f} s, pandas layer {total - engine_seconds[0]:6.3f} s), "
                f"summary {summary:6.3f} s"
            )


if __name__ == "__main__":
    main()

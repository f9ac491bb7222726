"""Cost of quorex.backtest end to end, beside the engine entries it is built on.

Workloads W1 and W2 of bench/backtest.py as pandas frames (W1: 5,000 dates x
2,000 stocks, monthly top-100, stops, excursion window 20; W2: 2,500 x 500,
daily signed weights, touched exits), held column by column as frames read
from files are, and the demo's synthetic market with its momentum
selection. For W1 and W2, in one run:

- quorex.backtest with the trades table built, against simloop.backtest_
  and quorex.core.engine.run on the very arrays the layer passes;
- two threads each running quorex.backtest on its own market, against the
  two runs one after the other;
- the peak memory of one quorex.backtest, against its inputs.

    python bench/backtest_api.py [--runs N]
"""

from __future__ import annotations

import argparse
import importlib
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd

import quorex
from quorex.backtest.inputs.rules import ENGINE_OFF
from quorex.core import engine, simloop
from quorex.demo import momentum_weights
from quorex.io.synthetic import synthetic_market

sys.path.insert(0, str(Path(__file__).parent))
import backtest as workloads  # noqa: E402

bt = importlib.import_module("quorex.backtest.run")
median_seconds = workloads.median_seconds
MIB = 1 << 20


def as_frames(w: workloads.Workload) -> tuple[pd.DataFrame, dict[str, pd.DataFrame], dict]:
    """The workload as quorex.backtest arguments that reach the engine unchanged."""
    a = w.args
    dates = pd.DatetimeIndex(a["price_index"].view("datetime64[ns]"))
    cols = pd.Index(a["price_columns"])

    def frame(values):
        # Column-major, the layout of frames read from files (one block, a
        # column per stock): the engine gets them as they are.
        return pd.DataFrame(np.asfortranarray(values), index=dates, columns=cols, copy=False)

    prices = {"close": frame(a["close_values"]), "open": frame(a["price_values"])}
    if a["high_values"] is not None:
        prices.update(high=frame(a["high_values"]), low=frame(a["low_values"]))
    weights = pd.DataFrame(a["pos_values"], index=pd.DatetimeIndex(a["pos_index"].view("datetime64[ns]")),
                           columns=cols, copy=False)
    r = w.rules
    kwargs = dict(
        trade_at="open",
        rebalance=pd.DatetimeIndex(a["resample"].view("datetime64[ns]")),
        stop_loss=r.get("stop_loss"), take_profit=r.get("take_profit"), trail_stop=r.get("trail_stop"),
        touched_exit=r.get("touched_exit", False), excursion_window=r.get("tradearc_window", 0),
        excursion_step=r.get("tradearc_window_step", 1),
    )
    return weights, prices, kwargs


def layer_inputs(weights, prices, kwargs) -> tuple[dict, dict]:
    """The arrays and settings quorex.backtest hands to the engine."""
    seen = {}
    real = bt.run_engine

    def capture(inputs, **settings):
        seen.update(inputs=inputs, settings=settings)
        return real(inputs, **settings)

    bt.run_engine = capture
    try:
        quorex.backtest(weights, prices, **kwargs)
    finally:
        bt.run_engine = real
    i = seen["inputs"]
    arrays = dict(price_values=i.price_values, close_values=i.close_values, high_values=i.high_values,
                  low_values=i.low_values, open_values=i.open_values, price_index=i.price_index,
                  price_columns=i.price_columns, pos_values=i.pos_values, pos_index=i.pos_index,
                  pos_columns=i.pos_columns, resample=i.resample)
    return arrays, seen["settings"]


def full_backtest(weights, prices, kwargs):
    report = quorex.backtest(weights, prices, **kwargs)
    report.trades  # built on first access: counted here
    return report


def once_seconds(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def threaded_seconds(jobs) -> float:
    start = time.perf_counter()
    threads = [threading.Thread(target=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def compare(build, runs: int) -> None:
    w = build(np.random.default_rng(20240601))
    weights, prices, kwargs = as_frames(w)
    arrays, settings = layer_inputs(weights, prices, kwargs)
    # backtest_ takes the contract's arguments: neither the last-price rule nor the execution rules.
    contract_settings = {k: v for k, v in settings.items() if k not in ENGINE_OFF and k != "keep_last_price"}
    unlimited = {**kwargs, "price_limit": None}
    contract = median_seconds(lambda: simloop.backtest_(**arrays, **contract_settings), runs)
    entry = median_seconds(lambda: engine.run(**arrays, **settings), runs)
    layer = median_seconds(lambda: full_backtest(weights, prices, kwargs), runs)
    plain = median_seconds(lambda: full_backtest(weights, prices, unlimited), runs)
    report = full_backtest(weights, prices, kwargs)
    same = np.array_equal(report.creturn.to_numpy(), engine.run(**arrays, **settings).creturn)
    print(f"{w.name}: {weights.shape[0]:,} weight rows, {prices['close'].shape[0]:,} dates x "
          f"{prices['close'].shape[1]:,} stocks, {len(report.trades):,} trades (equity identical to engine.run's: "
          f"{same})")
    print(f"  simloop.backtest_                {contract * 1e3:8.1f} ms")
    print(f"  engine.run (home market's limit) {entry * 1e3:8.1f} ms  {entry / contract:5.2f} x backtest_")
    print(f"  quorex.backtest + trades table   {layer * 1e3:8.1f} ms  {layer / contract:5.2f} x backtest_"
          "  (the home market's price limit on, as by default)")
    print(f"    ... with price_limit=None      {plain * 1e3:8.1f} ms  {plain / contract:5.2f} x backtest_")

    other = build(np.random.default_rng(7))
    second = as_frames(other)
    jobs = [lambda: full_backtest(weights, prices, kwargs), lambda: full_backtest(*second)]
    rounds = max(runs, 3)
    serial = statistics.median([sum(once_seconds(job) for job in jobs) for _ in range(rounds)])
    parallel = statistics.median([threaded_seconds(jobs) for _ in range(rounds)])
    print(f"  2 markets one after the other    {serial * 1e3:8.1f} ms")
    print(f"  2 markets on 2 threads           {parallel * 1e3:8.1f} ms  {parallel / serial:5.2f} x serial")

    inputs = sum(f.to_numpy().nbytes for f in prices.values()) + weights.to_numpy().nbytes
    rss, peak = workloads.peak_growth(lambda: full_backtest(weights, prices, kwargs))
    shared = all(np.shares_memory(arrays[k], prices[f].to_numpy())
                 for k, f in (("close_values", "close"), ("price_values", "open")))
    print(f"  inputs                           {inputs / MIB:8.1f} MiB  (passed to the engine without a copy: "
          f"{shared})")
    print(f"  peak RSS growth of a run         {rss / MIB:8.1f} MiB  ({100 * rss / inputs:.1f} % of the inputs; "
          f"{peak / MIB:.1f} MiB traced Python/NumPy allocations: the results and tables)")


def synthetic(runs: int) -> None:
    for n_stocks, years in ((200, 8), (1000, 20)):
        market = synthetic_market(n_stocks=n_stocks, years=years)
        turnover = market.pop("turnover")
        weights = momentum_weights(market["close"])
        for rebalance in ("ME", "D"):
            call = lambda: full_backtest(weights, market, dict(rebalance=rebalance, stop_loss=0.1,  # noqa: E731
                                                                 turnover=turnover))
            seconds = median_seconds(call, max(runs // 2, 1))
            report = call()
            summary = once_seconds(report.summary)
            print(f"synthetic {n_stocks:5d} stocks x {years:2d} years, rebalance={rebalance:2s}: "
                  f"{len(report.trades):7d} trades, backtest {seconds * 1e3:7.1f} ms, summary {summary * 1e3:7.1f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    runs = parser.parse_args().runs
    for build in (workloads.monthly, workloads.daily):
        compare(build, runs)
    synthetic(runs)


if __name__ == "__main__":
    main()

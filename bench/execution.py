"""Times the execution rules of quorex.core.engine.run on W1 of bench/backtest.py.

W1 "monthly": 5,000 dates x 2,000 stocks, a new 100-stock momentum portfolio
every 21 dates, stop loss and trailing stop, excursion window 20 / step 5.
Three runs of it, side by side:

  off        engine.run with every execution rule off (the plain engine)
  all on     capital 100 million, lots of 1,000 shares, minimum fee 20, a
             9.5 % price limit, a tradable frame (1 % of stock-days halted),
             a volume frame with a 10 % participation cap, square-root
             slippage, retried orders, cash interest and borrow fees
  baseline   (with --baseline PATH) engine.run as built from another
             checkout, every rule off: what "off" costs against it

The machine may be shared and noisy: the runs are interleaved (off, on,
baseline, off, on, ...) and each is timed in processor time of this process
(time.process_time) as well as wall-clock; the medians are printed, with the
ratios of the processor times.

    python bench/execution.py [--runs N] [--baseline build/of/other/engine.so]
"""

from __future__ import annotations

import argparse
import importlib
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from backtest import monthly  # noqa: E402  (the W1 workload of bench/backtest.py)

from quorex.core import engine  # noqa: E402


def load_baseline(path: str):
    """Another build of the engine module, loaded beside this one as the top-level module
    ``engine`` (the file keeps its built name, engine.<tag>.so)."""
    folder = str(Path(path).resolve().parent)
    sys.path.insert(0, folder)
    try:
        return importlib.import_module("engine")
    finally:
        sys.path.remove(folder)


def execution_rules(rng: np.random.Generator, shape: tuple[int, int]) -> dict:
    return dict(
        capital=1e8, lot_size=1000.0, min_fee=20.0, price_limit=0.095,
        tradable=rng.random(shape) >= 0.01,
        volume=rng.lognormal(13.0, 0.8, shape[1]) * rng.lognormal(0.0, 0.4, shape),
        max_participation=0.1, impact=0.1, retry_unfilled=True, cash_rate=0.01, borrow_rate=0.03,
    )


def timed(fn) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--baseline", help="path of another build's engine module (every rule off)")
    options = parser.parse_args()
    rng = np.random.default_rng(20240601)
    w = monthly(rng)
    shape = w.args["price_values"].shape
    rules = execution_rules(np.random.default_rng(7), shape)
    calls = {
        "off": lambda: engine.run(**w.args, **w.rules),
        "all on": lambda: engine.run(**w.args, **w.rules, **rules),
    }
    if options.baseline:
        other = load_baseline(options.baseline)
        calls["baseline"] = lambda: other.run(**w.args, **w.rules)
    on = calls["all on"]()
    print(f"{w.name}: {shape[0]:,} dates x {shape[1]:,} stocks, {w.args['pos_values'].shape[0]:,} weight rows, "
          f"rules {w.rules}")
    print(f"  all on: {len(on.trade_sid):,} trade records, {len(on.unfilled_row):,} orders unfilled on their date "
          f"({on.unfilled_value / on.ordered_value:.1%} of the value ordered), final equity {on.creturn[-1]:.4f}")
    for fn in calls.values():
        fn()  # warm-up
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in calls}
    for _ in range(options.runs):
        for name, fn in calls.items():
            times[name].append(timed(fn))
    cpu = {name: statistics.median(c for _, c in runs) for name, runs in times.items()}
    for name, runs in times.items():
        wall = statistics.median(t for t, _ in runs)
        print(f"  {name:10s} {wall * 1e3:8.1f} ms wall  {cpu[name] * 1e3:8.1f} ms processor  "
              f"({cpu[name] / cpu['off']:.3f} x off)  median of {options.runs}, interleaved")
    if "baseline" in cpu:
        print(f"  off against the baseline build: {cpu['off'] / cpu['baseline']:.3f} x")


if __name__ == "__main__":
    main()

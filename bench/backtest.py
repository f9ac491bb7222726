"""Times quorex.core.simloop.backtest_ on two synthetic markets.

W1 "monthly": 5,000 dates x 2,000 stocks, a new 100-stock momentum portfolio
every 21 dates, stop loss and trailing stop, excursion window 20 / step 5.
W2 "daily": 2,500 dates x 500 stocks, 50 random signed weights every date,
touched exits with a 5 % take profit.

Each workload also runs through quorex.core.engine.run, the reentrant entry
over the same engine, side by side.

For each workload: the median of several timed runs after a warm-up, the
share of the daily loop alone (the engine behind a host that records nothing,
when the test-hook probe module is built), and the memory the run adds on top
of its inputs.

    python bench/backtest.py [--runs N]
"""

from __future__ import annotations

import argparse
import statistics
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from quorex.core import engine, simloop, tradearc

try:
    import _quorex_simloop_probe as probe
except ImportError:  # built only with QUOREX_TEST_HOOKS
    probe = None

DAY = 86_400 * 10**9


@dataclass
class Workload:
    name: str
    args: dict
    rules: dict

    @property
    def input_bytes(self) -> int:
        return sum(v.nbytes for v in self.args.values() if isinstance(v, np.ndarray))


def random_walk(rng: np.random.Generator, n: int, m: int, missing: float) -> tuple[np.ndarray, np.ndarray]:
    price = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, (n, m)), axis=0))
    close = price * np.exp(rng.normal(0.0, 0.005, (n, m)))
    price[rng.random((n, m)) < missing] = np.nan
    close[rng.random((n, m)) < missing] = np.nan
    return price, close


def labels(m: int) -> np.ndarray:
    return np.array([f"{1000 + j}" for j in range(m)], dtype=object)


def monthly(rng: np.random.Generator) -> Workload:
    n, m, every, top, lookback = 5_000, 2_000, 21, 100, 60
    price, close = random_walk(rng, n, m, 0.01)
    dates = np.arange(n, dtype=np.int64) * DAY
    signal_rows = np.arange(lookback, n, every)
    momentum = np.nan_to_num(close[signal_rows] / close[signal_rows - lookback] - 1.0, nan=-np.inf)
    weights = np.zeros((len(signal_rows), m))
    best = np.argsort(-momentum, axis=1, kind="stable")[:, :top]
    np.put_along_axis(weights, best, 1.0 / top, axis=1)
    cols = labels(m)
    args = dict(price_values=price, close_values=close, high_values=None, low_values=None, open_values=None,
                price_index=dates, price_columns=cols, pos_values=weights, pos_index=dates[signal_rows],
                pos_columns=cols.copy(), resample=dates[signal_rows])
    rules = dict(stop_loss=0.1, trail_stop=0.15, tradearc_window=20, tradearc_window_step=5)
    return Workload("W1 monthly", args, rules)


def daily(rng: np.random.Generator) -> Workload:
    n, m, picks = 2_500, 500, 50
    price, close = random_walk(rng, n, m, 0.01)
    spread = np.abs(rng.normal(0.0, 0.01, (n, m)))
    high = np.fmax(price, close) * (1.0 + spread)
    low = np.fmin(price, close) * (1.0 - spread)
    opening = price * np.exp(rng.normal(0.0, 0.005, (n, m)))
    weights = np.zeros((n, m))
    for row in weights:
        row[rng.choice(m, picks, replace=False)] = rng.uniform(-1.0, 1.0, picks) / picks
    dates = np.arange(n, dtype=np.int64) * DAY
    cols = labels(m)
    args = dict(price_values=price, close_values=close, high_values=high, low_values=low, open_values=opening,
                price_index=dates, price_columns=cols, pos_values=weights, pos_index=dates.copy(),
                pos_columns=cols.copy(), resample=dates.copy())
    rules = dict(touched_exit=True, take_profit=0.05)
    return Workload("W2 daily", args, rules)


def median_seconds(fn, runs: int) -> float:
    fn()  # warm-up
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def engine_only(w: Workload):
    """The daily loop alone: same engine, no excursion analysis, no Python objects."""
    a, r = w.args, {**dict(fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, take_profit=np.inf,
                           trail_stop=np.inf, touched_exit=False, position_limit=1.0), **w.rules}
    index = {label: i for i, label in enumerate(a["price_columns"])}
    column_of = np.array([index.get(label, -1) for label in a["pos_columns"]], dtype=np.int64)
    return lambda: probe.run_engine(
        a["price_values"], a["close_values"], a["high_values"], a["low_values"], a["open_values"],
        a["price_index"], a["pos_values"], a["pos_index"], a["resample"], column_of, r["fee_ratio"],
        r["tax_ratio"], r["stop_loss"], r["take_profit"], r["trail_stop"], r["touched_exit"],
        r["position_limit"], False, True)


def rss_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def peak_growth(fn) -> tuple[int, int]:
    """(peak RSS growth, peak traced Python/NumPy allocation) of one call, in bytes."""
    baseline = rss_kib("VmRSS")
    try:
        Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
        resettable = True
    except OSError:
        resettable = False
    tracemalloc.start()
    fn()
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    rss_peak = (rss_kib("VmHWM") - baseline) * 1024 if resettable else -1
    return rss_peak, traced_peak


def report(w: Workload, runs: int) -> None:
    call = lambda: simloop.backtest_(**w.args, **w.rules)  # noqa: E731
    a = w.args
    print(f"{w.name}: {len(a['price_index']):,} dates x {a['price_values'].shape[1]:,} stocks, "
          f"{a['pos_values'].shape[0]:,} weight rows, rules {w.rules}")
    total = median_seconds(call, runs)
    print(f"  backtest_            {total * 1e3:8.1f} ms  (median of {runs})")
    print(f"  trades recorded      {len(tradearc.trades):8,}")
    entry = median_seconds(lambda: engine.run(**w.args, **w.rules), runs)
    print(f"  engine.run           {entry * 1e3:8.1f} ms  ({entry / total:.2f} x backtest_: the same engine, "
          f"results in native arrays, without the interpreter lock)")
    if probe is not None:
        loop = median_seconds(engine_only(w), runs)
        _, entries, exits = engine_only(w)()
        print(f"  daily loop alone     {loop * 1e3:8.1f} ms  ({entries:,} entries, {exits:,} exits)")
        print(f"  excursion analysis   {(total - loop) * 1e3:8.1f} ms  (and the calls into it)")
    mib = 1 << 20
    print(f"  inputs               {w.input_bytes / mib:8.1f} MiB")
    rss, traced = peak_growth(call)
    print(f"  peak RSS growth      {rss / mib:8.1f} MiB  ({100 * rss / w.input_bytes:.1f} % of the inputs; "
          f"{traced / mib:.1f} MiB traced NumPy/Python allocations, mostly the trade lists)")
    if probe is not None:
        rss, _ = peak_growth(engine_only(w))
        print(f"  ... daily loop alone {rss / mib:8.1f} MiB  ({100 * rss / w.input_bytes:.1f} % of the inputs)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    runs = parser.parse_args().runs
    rng = np.random.default_rng(20240601)
    for build in (monthly, daily):
        report(build(rng), runs)


if __name__ == "__main__":
    main()

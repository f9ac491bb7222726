"""Sweeps at scale: throughput against the engine alone, each signal once, flat memory with a
store, a killed sweep resumed, Dask against serial, and pbo's run time.

S1 (throughput): 5,000 dates x 500 stocks (random walks, 1 % of prices
missing), momentum weights (the 50 stocks with the best return over
``lookback`` dates, month-end rebalance) for lookback in {20, 60, 120, 250}
(4 signals), each under 256 exit rules: stop_loss x take_profit x trail_stop
(4 values each) x retain_cost_when_rebalance x stop_trading_next_period:
1,024 sets. Timed side by side in one run:

- ``engine.run`` alone on one thread: the engine inputs the sweep builds,
  called for each of the 1,024 sets (the faster of two calls each);
- the sweep on 1 thread, 2 threads, a ``ProcessPoolExecutor(2)`` and a Dask
  ``LocalCluster(2)`` with its default settings, its strategy a lookup of
  the precomputed weights (the sweep's own cost); and on 2 threads with the
  momentum computed by the strategy (its calls counted); each sweep the
  faster of two after a small one that starts the workers;
- what a set costs besides the engine, on one thread, and what the figures
  measured at the end over the common period cost.

Each sweep is timed on the wall clock and in CPU seconds (``os.times()`` of
this process plus the CPU time of its worker processes, read with psutil):
the machine may be shared, and the load (``os.getloadavg()``) is printed
before and after.

S2 (scale): 1,000 dates x 50 stocks, 2 lookbacks x 50 stop_loss x 50
take_profit x 20 trail_stop = 100,000 sets with ``store=``, each sweep in
a fresh process: peak RSS against 1,000 sets of the same keys (2 x 10 x
10 x 5); then the same sweep killed about halfway and run again, and its
table against the uninterrupted one.

PBO: 1,000 strategies x 5,000 days of normal returns, 16 blocks.

    python bench/sweep.py [--skip-dask] [--skip-scale] [--scale-sets 100000]
"""

from __future__ import annotations

import argparse
import importlib
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd

import quorex
from quorex import stats
from quorex.backtest.engine import run_engine
from quorex.research import runs
from quorex.research.grid import expand_grid
from quorex.research.runs import frames_key, set_rules
from quorex.research.signals import prepare_signal
from quorex.research.workload import Workload

LOOKBACKS = [20, 60, 120, 250]
RULES = {
    "stop_loss": [None, 0.05, 0.1, 0.15],
    "take_profit": [None, 0.1, 0.2, 0.4],
    "trail_stop": [None, 0.05, 0.1, 0.2],
    "retain_cost_when_rebalance": [False, True],
    "stop_trading_next_period": [False, True],
}
FIXED = {"rebalance": "ME"}
REPEATS = 2  # the machine is shared: the fastest of two counts
MIB = 1 << 20


def market(n_dates: int, n_stocks: int, seed: int) -> pd.DataFrame:
    """Closing prices: random walks with 1 % of the prices missing."""
    rng = np.random.default_rng(seed)
    close = 50.0 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, (n_dates, n_stocks)), axis=0))
    close[rng.random(close.shape) < 0.01] = np.nan
    dates = pd.bdate_range("2000-01-03", periods=n_dates, name="date")
    return pd.DataFrame(close, index=dates, columns=[f"S{j:04d}" for j in range(n_stocks)])


def momentum(prices: pd.DataFrame, lookback: int = 60, top: int = 50) -> pd.DataFrame:
    return prices.pct_change(lookback, fill_method=None).rank(axis=1, ascending=False) <= top


CALLS: Counter = Counter()


def counted_momentum(prices: pd.DataFrame, lookback: int = 60, top: int = 50) -> pd.DataFrame:
    CALLS[lookback] += 1
    return momentum(prices, lookback, top)


class Precomputed:
    """A strategy that looks its weights up: what remains is the sweep's own cost."""

    def __init__(self, weights: dict[int, pd.DataFrame]) -> None:
        self.weights = weights

    def __call__(self, prices: pd.DataFrame, lookback: int = 60) -> pd.DataFrame:
        return self.weights[lookback]


def s1_grid() -> dict[str, list]:
    return {"lookback": LOOKBACKS, **RULES}


def engine_alone(close: pd.DataFrame, strategy: Precomputed) -> float:
    """Seconds of ``engine.run`` alone for every set, on one thread, on the sweep's inputs
    (each call's faster of two: the machine is shared)."""
    workload = Workload(close, None, strategy, dict(FIXED))
    seconds = 0.0
    for lookback in LOOKBACKS:
        signal = prepare_signal(workload, {"lookback": lookback})
        for settings in expand_grid(RULES):
            rules, bad_prices = set_rules(workload, settings)
            plan, _ = signal.plan(workload, rules, bad_prices, frames_key(workload, settings))
            best = float("inf")
            for _ in range(REPEATS):
                start = time.perf_counter()
                run_engine(plan.inputs, **rules.settings, **plan.matrices)
                best = min(best, time.perf_counter() - start)
            seconds += best
    return seconds


def cpu_seconds() -> float:
    """CPU seconds of this process (and of its ended children) and of its live worker processes."""
    import psutil

    times = os.times()
    own = times.user + times.system + times.children_user + times.children_system
    workers = 0.0
    for process in psutil.Process().children(recursive=True):
        try:
            used = process.cpu_times()
        except psutil.NoSuchProcess:
            continue
        workers += used.user + used.system
    return own + workers


def timed_sweep(strategy, close, executor: Executor | None, repeats: int = REPEATS,
                ) -> tuple[float, float, pd.DataFrame]:
    """Wall and CPU seconds of the fastest of ``repeats`` sweeps, after a small one that starts the workers."""
    quorex.sweep(strategy, close.iloc[:300], {"lookback": [20], "stop_loss": [None, 0.1]}, executor=executor,
                 progress=False, **FIXED)
    best, cpu, table = float("inf"), float("nan"), None
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), cpu_seconds()
        result = quorex.sweep(strategy, close, s1_grid(), executor=executor, progress=False, **FIXED)
        seconds, used = time.perf_counter() - start, cpu_seconds() - start_cpu
        if seconds < best:
            best, cpu, table = seconds, used, result.table
    return best, cpu, table


def profile_per_set(close: pd.DataFrame, strategy: Precomputed, n_sets: int = 128) -> dict[str, float]:
    """Milliseconds per set, on one thread: the engine, the run's daily returns and figures, and the
    rules and inputs lookup."""
    spent: Counter = Counter()

    def timing(name, fn):
        def wrapper(*args, **kwargs):
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                spent[name] += time.perf_counter() - start
        return wrapper

    names = ("run_engine", "daily_returns", "run_figures")
    originals = {name: getattr(runs, name) for name in names}
    for name in names:
        setattr(runs, name, timing(name, originals[name]))
    try:
        workload = Workload(close, None, strategy, dict(FIXED))
        signal = prepare_signal(workload, {"lookback": 60})
        sets = expand_grid(RULES)[: n_sets]
        returns = np.empty((n_sets, len(workload.calendar.rows)))
        figures = np.empty((n_sets, len(runs.RUN_FIGURES)))
        runs.run_set(workload, signal, sets[0], returns[0], figures[0])  # the engine inputs, built once
        spent.clear()
        start = time.perf_counter()
        for i, settings in enumerate(sets):
            runs.run_set(workload, signal, settings, returns[i], figures[i])
        total = time.perf_counter() - start
    finally:
        for name in names:
            setattr(runs, name, originals[name])
    per = {name: 1e3 * value / len(sets) for name, value in spent.items()}
    per["rest"] = 1e3 * total / len(sets) - sum(per.values())
    per["total"] = 1e3 * total / len(sets)
    return per


def measured_at_end(close: pd.DataFrame, strategy: Precomputed) -> float:
    """Seconds the figures over the common period take at the end of a 2-thread sweep (reading
    the returns included)."""
    spent = []
    sweep_module = importlib.import_module("quorex.research.sweep")  # the package's ``sweep`` is the function
    original = sweep_module.measure

    def timed(*args, **kwargs):
        start = time.perf_counter()
        try:
            return original(*args, **kwargs)
        finally:
            spent.append(time.perf_counter() - start)

    sweep_module.measure = timed
    try:
        with ThreadPoolExecutor(2) as executor:
            quorex.sweep(strategy, close, s1_grid(), executor=executor, progress=False, **FIXED)
    finally:
        sweep_module.measure = original
    return spent[-1]


def bench_throughput(with_dask: bool) -> None:
    close = market(5_000, 500, seed=11)
    strategy = Precomputed({k: momentum(close, k) for k in LOOKBACKS})
    n_sets = len(LOOKBACKS) * int(np.prod([len(v) for v in RULES.values()]))
    print(f"S1: {len(close):,} dates x {close.shape[1]} stocks, {len(LOOKBACKS)} signals x "
          f"{n_sets // len(LOOKBACKS)} exit rules = {n_sets:,} sets")
    start_cpu = cpu_seconds()
    engine_seconds = engine_alone(close, strategy)
    engine_cpu = (cpu_seconds() - start_cpu) / REPEATS
    engine_rate = n_sets / engine_seconds
    print(f"  engine.run alone, 1 thread       {engine_seconds:7.2f} s  {engine_rate:6.1f} calls/s "
          f"({1e3 / engine_rate:.2f} ms a call; about {engine_cpu:.2f} CPU s a pass, inputs lookup included)")
    runs_to_time = {
        "sweep, 1 thread": lambda: ThreadPoolExecutor(1),
        "sweep, 2 threads": lambda: ThreadPoolExecutor(2),
        "sweep, ProcessPool(2)": lambda: ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")),
    }
    reference, serial = None, None
    for name, make in runs_to_time.items():
        with make() as executor:
            seconds, cpu, table = timed_sweep(strategy, close, executor)
        serial = serial or seconds
        report(name, seconds, cpu, n_sets, engine_rate, serial)
        reference = same(reference, table, name)
    if with_dask:
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            seconds, cpu, table = timed_sweep(strategy, close, client)
        report("sweep, Dask LocalCluster(2)", seconds, cpu, n_sets, engine_rate, serial)
        same(reference, table, "Dask")
    with ThreadPoolExecutor(2) as executor:
        CALLS.clear()
        seconds, cpu, table = timed_sweep(counted_momentum, close, executor, repeats=1)
        CALLS[20] -= 1  # the warm-up's call
    report("  ... strategy computed", seconds, cpu, n_sets, engine_rate, serial)
    print(f"      strategy calls: {dict(CALLS)} ({sum(CALLS.values())} for {n_sets:,} sets)")
    same(reference, table, "computed strategy")
    per = profile_per_set(close, strategy)
    print(f"  per set, 1 thread: {per['total']:.2f} ms = engine {per['run_engine']:.2f} + daily returns "
          f"{per['daily_returns']:.2f} + trade figures and turnover {per['run_figures']:.2f} + rules and inputs "
          f"lookup {per['rest']:.2f} ms (outside the engine: {per['total'] - per['run_engine']:.2f} ms, "
          f"{(per['total'] - per['run_engine']) / per['run_engine']:.0%} of the engine's time)")
    end = measured_at_end(close, strategy)
    print(f"  at the end: the figures over the common period, {end:.2f} s for {n_sets:,} sets "
          f"({1e3 * end / n_sets:.2f} ms a set, on the calling thread)")


def report(name: str, seconds: float, cpu: float, n_sets: int, engine_rate: float, serial: float) -> None:
    rate = n_sets / seconds
    print(f"  {name:<32} {seconds:7.2f} s  {rate:6.1f} sets/s  {rate / engine_rate:5.2f}x engine.run  "
          f"{serial / seconds:5.2f}x serial  CPU {cpu:6.2f} s ({1e3 * cpu / n_sets:.2f} ms a set)")


def same(reference: pd.DataFrame | None, table: pd.DataFrame, name: str) -> pd.DataFrame:
    if reference is not None and not reference.equals(table):
        print(f"  !! the {name} table differs from the first one")
    return reference if reference is not None else table


# ---------------------------------------------------------------------------
# S2: scale, in fresh processes


def s2_grid(n_sets: int) -> dict[str, list]:
    """The S2 grid of 100,000 sets, or the 1,000-set grid of the same keys."""
    sizes = {100_000: (50, 50, 20), 1_000: (10, 10, 5)}[n_sets]
    return {"lookback": [20, 60],
            **{name: [None, *np.round(np.linspace(0.01, top, size - 1), 4).tolist()]
               for name, top, size in zip(("stop_loss", "take_profit", "trail_stop"), (0.3, 0.6, 0.2), sizes)}}


def child(n_sets: int, store: str, out: str) -> None:
    """One S2 sweep; prints its peak RSS, time and table size as JSON."""
    close = market(1_000, 50, seed=5)
    start = time.perf_counter()
    result = quorex.sweep(momentum, close, s2_grid(n_sets), progress=False, store=store or None, **FIXED)
    seconds = time.perf_counter() - start
    peak = next(int(line.split()[1]) for line in Path("/proc/self/status").read_text().splitlines()
                if line.startswith("VmHWM:"))
    if out:
        result.table.assign(error=result.table["error"].astype("string")).to_parquet(out)
    print(json.dumps({"peak_kib": peak, "seconds": seconds, "sets": len(result.table)}))


def run_child(n_sets: int, store: str, out: str = "") -> dict:
    done = subprocess.run([sys.executable, __file__, "--child", str(n_sets), store, out],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def stored_sets(store: Path) -> int:
    import pyarrow.parquet as pq

    return sum(pq.read_metadata(f).num_rows for f in (store / "parts").glob("*.parquet"))


def bench_scale(n_sets: int) -> None:
    print(f"S2: 1,000 dates x 50 stocks, {n_sets:,} sets with store= (fresh process each, default executor)")
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        small = run_child(1_000, str(root / "small"))
        small_memory = run_child(1_000, "")
        large = run_child(n_sets, str(root / "large"), str(root / "large.parquet"))
        for name, figures in (("1,000 sets, in memory", small_memory), ("1,000 sets, store", small),
                              (f"{n_sets:,} sets, store", large)):
            print(f"  {name:<24} peak RSS {figures['peak_kib'] / 1024:7.1f} MiB  {figures['seconds']:7.1f} s  "
                  f"{figures['sets'] / figures['seconds']:7.1f} sets/s")
        print(f"  peak RSS {n_sets:,} / 1,000 sets (both with store): {large['peak_kib'] / small['peak_kib']:.2f}")
        killed = subprocess.Popen([sys.executable, __file__, "--child", str(n_sets), str(root / "killed"), ""],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while killed.poll() is None and (not (root / "killed" / "parts").exists()
                                         or stored_sets(root / "killed") < n_sets // 2):
            time.sleep(0.5)
        killed.send_signal(signal.SIGKILL)
        killed.wait()
        before = stored_sets(root / "killed")
        resumed = run_child(n_sets, str(root / "killed"), str(root / "resumed.parquet"))
        ran = stored_sets(root / "killed") - before
        same_table = pd.read_parquet(root / "large.parquet").equals(pd.read_parquet(root / "resumed.parquet"))
        print(f"  killed with {before:,} sets stored; the rerun ran {ran:,} ({n_sets - before:,} were missing) in "
              f"{resumed['seconds']:.1f} s; table equal to the uninterrupted run's: {same_table}")


def bench_pbo() -> None:
    values = np.random.default_rng(1).normal(0.0003, 0.01, (5_000, 1_000))
    start = time.perf_counter()
    result = stats.pbo(values, blocks=16)
    seconds = time.perf_counter() - start
    print(f"pbo: 1,000 strategies x 5,000 days, 16 blocks ({len(result.logits):,} splits): "
          f"{seconds:.2f} s (PBO {result.pbo:.3f})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--skip-scale", action="store_true")
    parser.add_argument("--skip-throughput", action="store_true")
    parser.add_argument("--scale-sets", type=int, default=100_000)
    parser.add_argument("--child", nargs=3, metavar=("SETS", "STORE", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1], args.child[2])
        return
    print("load average before: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if not args.skip_throughput:
        bench_throughput(not args.skip_dask)
    if not args.skip_scale:
        bench_scale(args.scale_sets)
    bench_pbo()
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))


if __name__ == "__main__":
    main()

"""Benchmark: the research layer beside the straightforward routes, on the same inputs in one run.

Workloads:
* IC: the rank information coefficient for three forward periods (1, 5, 21
  trading dates) of a random factor on a 5,000-date × 2,000-stock panel,
  10 % of the factor and 10 % of the prices missing. ``quorex.factor``'s
  vectorised ranks against the pandas route (``rank(axis=1)`` of the factor
  and of the forward returns, each masked where the other is missing, then
  ``corrwith(axis=1)``), both given the same forward returns; and the whole
  ``quorex.factor.information_coefficient`` from the prices (input checks
  and forward returns included).
* BOOT: ``report.bootstrap(n=1000)``'s bands on 20 years of daily returns
  (one call of ``quorex.figures.return_figures`` on all resamples) against
  a Python loop calling it on the same resamples one at a time.

Prints the workload, the median wall-clock and processor seconds of REPEATS
runs (the slow routes once) and the largest difference between the routes'
results.
"""

from __future__ import annotations

import os
import statistics
import time

import numpy as np
import pandas as pd

from quorex import factor
from quorex.figures import curve_returns, return_figures
from quorex.research import bootstrap
from quorex.research.factor import ranks


REPEATS = 5
DATES, STOCKS, MISSING = 5_000, 2_000, 0.10
PERIODS = (1, 5, 21)
RESAMPLES, YEARS = 1_000, 20


def timed(fn, runs: int = 1):
    """The last result, and the median wall-clock and processor seconds of ``runs`` runs.

    On a shared machine the processor time (all threads of this process) is
    the steadier measure of the work done; both are printed.
    """
    walls, cpus, out = [], [], None
    for _ in range(runs):
        wall, cpu = time.perf_counter(), time.process_time()
        out = fn()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return out, statistics.median(walls), statistics.median(cpus)


def line(label: str, wall: float, cpu: float, base: tuple[float, float] | None = None) -> str:
    text = f"  {label:34s} {wall:8.3f} s wall {cpu:8.3f} s processor"
    if base is not None:
        text += f"   ({wall / base[0]:.1f}x, {cpu / base[1]:.1f}x slower)"
    return text


def panel(seed: int = 3) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Random-walk closes and a random factor, each with ``MISSING`` of its cells missing."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2005-01-03", periods=DATES)
    symbols = [f"S{i:04d}" for i in range(STOCKS)]
    close = 50 * np.exp(np.cumsum(rng.normal(0.0002, 0.02, (DATES, STOCKS)), axis=0))
    close[rng.random(close.shape) < MISSING] = np.nan
    score = rng.standard_normal((DATES, STOCKS))
    score[rng.random(score.shape) < MISSING] = np.nan
    return pd.DataFrame(close, dates, symbols), pd.DataFrame(score, dates, symbols)


def pandas_rank_ic(score: pd.DataFrame, forward: pd.DataFrame) -> pd.Series:
    """Pairwise-complete rank correlation per date, the pandas way."""
    return score.where(forward.notna()).rank(axis=1).corrwith(forward.where(score.notna()).rank(axis=1), axis=1)


def bench_ic() -> None:
    close, score = panel()
    forward = factor.forward_returns(close, PERIODS)
    values, returns = score.to_numpy(), [forward[p].to_numpy() for p in PERIODS]
    print(f"IC: {DATES:,} dates × {STOCKS:,} stocks, {MISSING:.0%} of factor and prices missing, periods {PERIODS}")
    ranks.rank_correlation(values, returns)  # warm-up
    got, *ours = timed(lambda: ranks.rank_correlation(values, returns), REPEATS)
    theirs, *pandas_time = timed(lambda: [pandas_rank_ic(score, forward[p]) for p in PERIODS])
    difference = max(np.nanmax(np.abs(got[:, k] - theirs[k].to_numpy())) for k in range(len(PERIODS)))
    same_nan = all((np.isnan(got[:, k]) == theirs[k].isna().to_numpy()).all() for k in range(len(PERIODS)))
    _, *whole = timed(lambda: factor.information_coefficient(score, close, PERIODS), REPEATS)
    print(line("quorex ranks", *ours))
    print(line("pandas rank + corrwith", *pandas_time, base=tuple(ours)))
    print(f"  largest difference {difference:.1e}, same undefined dates: {same_nan}")
    print(line("information_coefficient from prices", *whole) + "  (checks, forward returns, ranks)")


def bench_bootstrap() -> None:
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2004-01-02", periods=YEARS * 261)
    levels = pd.Series(np.cumprod(1 + rng.normal(0.0004, 0.011, len(dates))), index=dates)
    returns = curve_returns(levels)
    values = returns.to_numpy()
    print(f"BOOT: {RESAMPLES:,} stationary-bootstrap resamples (mean block 21) of {len(values) - 1:,} daily returns")
    bootstrap.bootstrap_figures(levels, RESAMPLES, 21, 0)  # warm-up
    bands, *ours = timed(lambda: bootstrap.bootstrap_figures(levels, RESAMPLES, 21, 0), REPEATS)
    one_thread = timed(lambda: bootstrap.bootstrap_figures(levels, RESAMPLES, 21, 0, threads=1), REPEATS)[1:]

    def loop(**only) -> pd.DataFrame:
        """One resample at a time: its indices drawn, its returns, its figures."""
        draw = np.random.default_rng(0)
        found = {name: np.empty(RESAMPLES) for name in bootstrap.BOOTSTRAP_FIGURES}
        for k in range(RESAMPLES):
            rows = bootstrap.stationary_indices(len(values) - 1, 1, 21.0, draw)[0]
            column = np.r_[values[0], values[1:][rows]][:, None]
            computed = return_figures(column, returns.index, **only)
            for name in found:
                found[name][k] = computed[name][0]
        return pd.DataFrame({name: np.quantile(v, bootstrap.BANDS) for name, v in found.items()}).T

    print(line(f"report.bootstrap, {os.cpu_count()} threads", *ours))
    print(line("report.bootstrap, 1 thread", *one_thread))
    for label, only in (("all figures", {}), ("the same four", {"figures": bootstrap.BOOTSTRAP_FIGURES})):
        expected, *loop_time = timed(lambda: loop(**only))
        difference = np.max(np.abs(bands.to_numpy() - expected.to_numpy()))
        print(line(f"loop, {label} per resample", *loop_time, base=tuple(ours))
              + f"  bands differ by {difference:.1e}")


if __name__ == "__main__":
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    bench_ic()
    bench_bootstrap()

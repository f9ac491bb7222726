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

Prints the workload, the median of REPEATS runs (the slow routes once) and
the largest difference between the routes' results.
"""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from quorex import factor
from quorex.figures import curve_returns, return_figures
from quorex.research import bootstrap
from quorex.research.factor import ranks

sys.path.insert(0, str(Path(__file__).parent))
from backtest import median_seconds  # noqa: E402

REPEATS = 3
DATES, STOCKS, MISSING = 5_000, 2_000, 0.10
PERIODS = (1, 5, 21)
RESAMPLES, YEARS = 1_000, 20


def once(fn):
    start = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - start


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
    values = score.to_numpy()
    print(f"IC: {DATES:,} dates × {STOCKS:,} stocks, {MISSING:.0%} of factor and prices missing, periods {PERIODS}")
    ours = median_seconds(lambda: ranks.rank_correlation(values, [forward[p].to_numpy() for p in PERIODS]), REPEATS)
    got = ranks.rank_correlation(values, [forward[p].to_numpy() for p in PERIODS])
    theirs, pandas_time = once(lambda: [pandas_rank_ic(score, forward[p]) for p in PERIODS])
    difference = max(np.nanmax(np.abs(got[:, k] - theirs[k].to_numpy())) for k in range(len(PERIODS)))
    same_nan = all((np.isnan(got[:, k]) == theirs[k].isna().to_numpy()).all() for k in range(len(PERIODS)))
    whole = median_seconds(lambda: factor.information_coefficient(score, close, PERIODS), REPEATS)
    print(f"  quorex ranks            {ours:8.3f} s")
    print(f"  pandas rank + corrwith  {pandas_time:8.3f} s   ({pandas_time / ours:.1f}x slower)")
    print(f"  largest difference      {difference:.1e}, same undefined dates: {same_nan}")
    print(f"  information_coefficient from the prices (checks, forward returns, ranks): {whole:.3f} s")


def bench_bootstrap() -> None:
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2004-01-02", periods=YEARS * 261)
    levels = pd.Series(np.cumprod(1 + rng.normal(0.0004, 0.011, len(dates))), index=dates)
    returns = curve_returns(levels)
    values = returns.to_numpy()
    print(f"BOOT: {RESAMPLES:,} stationary-bootstrap resamples (mean block 21) of {len(values) - 1:,} daily returns")
    ours = median_seconds(lambda: bootstrap.bootstrap_figures(levels, RESAMPLES, 21, 0), REPEATS)
    bands = bootstrap.bootstrap_figures(levels, RESAMPLES, 21, 0)

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

    print(f"  report.bootstrap                 {ours:8.3f} s")
    for label, only in (("all figures", {}), ("the same four", {"figures": bootstrap.BOOTSTRAP_FIGURES})):
        expected, loop_time = once(lambda: loop(**only))
        difference = np.max(np.abs(bands.to_numpy() - expected.to_numpy()))
        print(f"  loop, {label:13s} per resample {loop_time:8.3f} s   ({loop_time / ours:.1f}x slower), "
              f"largest difference of the bands {difference:.1e}")


if __name__ == "__main__":
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    bench_ic()
    bench_bootstrap()

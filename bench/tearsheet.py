"""Benchmark: the HTML pages of a long backtest and of a large sweep.

Workloads:
* R20: the demo strategy (monthly momentum, here the top 23 of 200 stocks,
  10 % stop loss) on a 20-year daily synthetic market, about 5,000 trades; the
  metrics are computed before the page is timed, as a caller who printed the
  summary first would have them;
* S1000: a 1,000-set sweep table (three parameters, 10 × 10 × 10) with
  20 years of daily returns per set and a PBO result of 1,000 splits, all
  synthetic.

Prints the workload, the page size and the median build time of REPEATS
builds.
"""

from __future__ import annotations

import statistics
import time
import types
from collections.abc import Callable

import numpy as np
import pandas as pd

from quorex import Market, Report, backtest, demo
from quorex.io.synthetic import synthetic_market
from quorex.tearsheet import sweep_html

YEARS = 20
REPEATS = 5
TOP_N = 23


def timed(build: Callable[[], str], repeats: int = REPEATS) -> tuple[str, float]:
    """The page and the median build time in seconds."""
    times, text = [], ""
    for _ in range(repeats):
        start = time.perf_counter()
        text = build()
        times.append(time.perf_counter() - start)
    return text, statistics.median(times)


def long_report(seed: int = 7) -> Report:
    """The demo strategy over 20 years of a 200-stock synthetic market."""
    market = synthetic_market(n_stocks=200, years=YEARS, seed=seed)
    turnover = market.pop("turnover")
    weights = demo.momentum_weights(market["close"], top_n=TOP_N)
    return backtest(weights, market, rebalance="ME", stop_loss=demo.STOP_LOSS, turnover=turnover,
                    market=Market(name="synthetic"))


def sweep_inputs(seed: int = 11) -> tuple[pd.DataFrame, pd.DataFrame, types.SimpleNamespace]:
    """A synthetic sweep: the table, daily returns (dates × sets) and a PBO result."""
    rng = np.random.default_rng(seed)
    grid = pd.MultiIndex.from_product(
        [range(20, 220, 20), [5, 10, 15, 20, 25, 30, 35, 40, 45, 50], np.round(np.linspace(0.02, 0.2, 10), 3)],
        names=["lookback", "top_n", "stop_loss"],
    ).to_frame(index=False)
    sets = len(grid)
    dates = pd.bdate_range("2005-01-03", periods=YEARS * 252)
    returns = pd.DataFrame(rng.normal(0.0004, 0.012, (len(dates), sets)), index=dates)
    equity = (1 + returns).cumprod()
    figures = pd.DataFrame({
        "annual_return": equity.iloc[-1].to_numpy() ** (1 / YEARS) - 1,
        "sharpe_ratio": (returns.mean() / returns.std() * np.sqrt(252)).to_numpy(),
        "sortino_ratio": rng.normal(1.0, 0.3, sets),
        "max_drawdown": (equity / equity.cummax() - 1).min().to_numpy(),
        "volatility": (returns.std() * np.sqrt(252)).to_numpy(),
        "calmar_ratio": rng.normal(0.5, 0.2, sets),
        "win_rate": rng.uniform(0.4, 0.6, sets),
        "profit_factor": rng.uniform(0.8, 1.8, sets),
        "trades": rng.integers(500, 5_000, sets),
        "turnover": rng.uniform(1, 20, sets),
        "final_equity": equity.iloc[-1].to_numpy(),
        "psr": rng.uniform(0, 1, sets),
        "dsr": rng.uniform(0, 1, sets),
        "error": None,
    })
    table = pd.concat([grid, figures], axis=1)
    pbo = types.SimpleNamespace(
        pbo=0.4, logits=rng.normal(0.3, 1.0, 1_000),
        in_sample=rng.normal(1.2, 0.3, 1_000), out_of_sample=rng.normal(0.4, 0.5, 1_000),
    )
    return table, returns, pbo


def main() -> None:
    start = time.perf_counter()
    report = long_report()
    report.summary()
    print(f"R20: {len(report.creturn):,} dates x {report.position.shape[1]} stocks, "
          f"{len(report.trades):,} trade records, {len(report.round_trips):,} round trips "
          f"(backtest and metrics {time.perf_counter() - start:.1f} s)")
    page, seconds = timed(report.to_html)
    print(f"  report page: {len(page.encode()) / 1e6:.2f} MB, built in {seconds:.3f} s (median of {REPEATS})")

    table, returns, pbo = sweep_inputs()
    print(f"S1000: {len(table):,} sets, {returns.shape[0]:,} dates of daily returns, {len(pbo.logits):,} PBO splits")
    page, seconds = timed(lambda: sweep_html(table, returns, params=["lookback", "top_n"], pbo=pbo), repeats=3)
    print(f"  sweep page: {len(page.encode()) / 1e6:.2f} MB, built in {seconds:.3f} s (median of 3)")


if __name__ == "__main__":
    main()

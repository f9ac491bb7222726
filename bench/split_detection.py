"""How well unadjusted splits are told from genuine moves.

Workload: synthetic markets of fat-tailed daily returns (Student t, 4
degrees of freedom, daily volatility 1 % to 3 % by stock) with genuine
crashes (about one per twenty stock-years, -25 % to -90 %), jumps (one per
fifty stock-years, +30 % to +300 %) and bad prints undone the next day.
"Genuine big moves" counts every day whose own move is as large as a
3-for-2 split's (a factor of 1.4 or more either way).
Splits are injected at random dates (ratios weighted as they occur:
mostly 2-for-1, 3-for-2, 3-for-1, some large splits and reverse splits);
the adjusted closes are the same market without them.

Prints, per seed and in total: the share of injected splits named (at the
right symbol and date), the false alarms on the unadjusted closes, and the
alarms on the adjusted closes (none are splits), per 1,000 stock-years and
as a share of the genuine crashes and jumps.
"""

from __future__ import annotations

import time

import numpy as np
import pandas as pd

from quorex.backtest.inputs.splits import suspected_splits

SPLIT_MIX = {0.5: 40, 2 / 3: 12, 1 / 3: 10, 0.25: 6, 0.2: 4, 1 / 7: 2, 0.1: 3, 1 / 20: 1,
             2.0: 3, 5.0: 3, 10.0: 6, 20.0: 2, 1.5: 2, 4.0: 2, 3.0: 2, 50.0: 1}


def market(seed: int, n_stocks: int = 500, years: int = 10) -> tuple[pd.DataFrame, pd.DataFrame, set, int]:
    """(adjusted closes, unadjusted closes, the injected splits as (symbol, date), genuine big moves)."""
    rng = np.random.default_rng(seed)
    n_days = years * 252
    dates = pd.bdate_range("2010-01-04", periods=n_days)
    symbols = [f"S{i:04d}" for i in range(n_stocks)]
    vol = rng.uniform(0.01, 0.03, n_stocks)
    returns = rng.standard_t(4, (n_days, n_stocks)) / np.sqrt(2.0) * vol
    crashes = rng.random((n_days, n_stocks)) < 0.05 / 252
    returns[crashes] += np.log(rng.uniform(0.1, 0.75, crashes.sum()))
    jumps = rng.random((n_days, n_stocks)) < 0.02 / 252
    returns[jumps] += np.log(rng.uniform(1.3, 4.0, jumps.sum()))
    adjusted = 20.0 * np.exp(np.cumsum(returns, axis=0))
    prints = rng.random((n_days, n_stocks)) < 0.02 / 252
    prints[-1] = False
    adjusted[prints] *= rng.choice([0.5, 0.1, 10.0], prints.sum())  # a bad print, undone the next day
    factor = np.ones((n_days, n_stocks))
    splits = set()
    ratios, weights = zip(*SPLIT_MIX.items())
    for col in range(n_stocks):
        for day in np.flatnonzero(rng.random(n_days) < 0.1 / 252):
            if day == 0:
                continue
            ratio = rng.choice(ratios, p=np.array(weights) / sum(weights))
            factor[day:, col] *= ratio
            splits.add((symbols[col], dates[day]))
    adjusted_frame = pd.DataFrame(adjusted, index=dates, columns=symbols)
    raw = pd.DataFrame(adjusted * factor, index=dates, columns=symbols)
    big = np.abs(returns[1:]) >= np.log(1.4)  # every genuine move as large as a 3-for-2 split
    return adjusted_frame, raw, splits, int(big.sum())


def main() -> None:
    found = injected = false_raw = false_adjusted = big_moves = stock_years = 0
    seconds = []
    for seed in range(5):
        adjusted, raw, splits, moves = market(seed)
        start = time.perf_counter()
        named = suspected_splits(raw)
        seconds.append(time.perf_counter() - start)
        hits = set(zip(named["symbol"], named["date"]))
        alarms = len(suspected_splits(adjusted))
        print(f"seed {seed}: {len(hits & splits)}/{len(splits)} splits named, {len(hits - splits)} false on the "
              f"unadjusted closes, {alarms} on the adjusted ones ({moves} genuine big moves)")
        found, injected = found + len(hits & splits), injected + len(splits)
        false_raw, false_adjusted, big_moves = false_raw + len(hits - splits), false_adjusted + alarms, big_moves + moves
        stock_years += raw.shape[1] * raw.shape[0] / 252
    print(f"named {found / injected:.1%} of {injected} splits; false alarms per 1,000 stock-years: "
          f"{1000 * false_raw / stock_years:.2f} (unadjusted), {1000 * false_adjusted / stock_years:.2f} (adjusted); "
          f"adjusted alarms per genuine big move: {false_adjusted / big_moves:.1%}")
    print(f"scan of {raw.shape[0]} dates x {raw.shape[1]} stocks: {np.median(seconds) * 1000:.0f} ms (median of 5)")


if __name__ == "__main__":
    main()

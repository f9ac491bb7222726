"""Cost of the input checks of quorex.backtest against the whole call.

Workload: the synthetic market (``quorex.market.synthetic_market``, which
has delisted stocks) with the demo's momentum selection, monthly and daily
rebalancing; each check timed on its own (median of 5) and the whole
backtest once, warnings silenced.
"""

from __future__ import annotations

import statistics
import time
import warnings

import numpy as np

import quorex
from quorex import checks
from quorex.backtesting import _ns, align_weights, resample_dates
from quorex.demo import momentum_weights
from quorex.market import next_trading_date, synthetic_market


def median_seconds(fn, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    for n_stocks, years in ((200, 8), (2000, 20)):
        market = synthetic_market(n_stocks=n_stocks, years=years)
        market.pop("turnover")
        close = market["close"]
        weights = momentum_weights(close)
        target = align_weights(weights, close.columns)
        for rebalance in ("ME", "D"):
            resample = resample_dates(rebalance, close.index, target.index,
                                      next_trading_date(None, close.index[-1]))
            rows = checks.scheduled_rebalances(_ns(close.index), _ns(target.index), _ns(resample))
            figures = {
                "check_prices (4 fields)": median_seconds(lambda: checks.check_prices(market, "raise")),
                "check_priced_symbols": median_seconds(
                    lambda: checks.check_priced_symbols(target, {"close": close})),
                "stale holdings": median_seconds(lambda: checks.stale_holdings(close, target, *rows)),
            }
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", quorex.DataWarning)
                start = time.perf_counter()
                quorex.backtest(weights, market, rebalance=rebalance)
                whole = time.perf_counter() - start
            shape = f"{len(close.index)} dates x {n_stocks} stocks, rebalance {rebalance} ({len(rows[0])} rebalances)"
            parts = ", ".join(f"{name} {seconds * 1e3:.1f} ms" for name, seconds in figures.items())
            print(f"{shape}: {parts}; whole backtest {whole * 1e3:.0f} ms")


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()

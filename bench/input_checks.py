"""Cost of the input checks of quorex.backtest against the whole call.

Workload: the synthetic market (``quorex.io.synthetic.synthetic_market``, which
has delisted stocks) with the demo's momentum selection, monthly and daily
rebalancing; each check timed on its own (median of 5 after a warm-up) and the whole
backtest once, warnings silenced.
"""

from __future__ import annotations

import sys
import time
import warnings
from pathlib import Path

import numpy as np

import quorex
from quorex.backtest import run as bt
from quorex.backtest.inputs import prices
from quorex.backtest.inputs import weights as checks
from quorex.backtest.inputs.splits import suspected_splits
from quorex.demo import momentum_weights
from quorex.io.synthetic import synthetic_market

sys.path.insert(0, str(Path(__file__).parent))
from backtest import median_seconds as _median  # noqa: E402


def median_seconds(fn) -> float:
    return _median(fn, 5)


def rebalance_rows(weights, market, rebalance) -> tuple:
    """The arguments the stale check gets in a run: (close, target, trade rows, weight rows)."""
    seen = []
    real = checks.stale_holdings

    def capture(*args):
        seen.append(args)
        return real(*args)

    checks.stale_holdings = capture
    try:
        bt.stale_holdings = capture
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quorex.DataWarning)
            quorex.backtest(weights, market, rebalance=rebalance)
    finally:
        checks.stale_holdings = bt.stale_holdings = real
    return seen[0]


def main() -> None:
    for n_stocks, years in ((200, 8), (2000, 20)):
        market = synthetic_market(n_stocks=n_stocks, years=years)
        market.pop("turnover")
        close = market["close"]
        weights = momentum_weights(close)
        for rebalance in ("ME", "D"):
            _, target, *rows = rebalance_rows(weights, market, rebalance)
            _, lowest = prices.check_prices({"close": close}, "raise")
            figures = {
                "check_prices (4 fields)": median_seconds(lambda: prices.check_prices(market, "raise")),
                "check_priced_symbols": median_seconds(
                    lambda: prices.check_priced_symbols(target, {"close": (close.columns, lowest["close"])})),
                "stale holdings": median_seconds(lambda: checks.stale_holdings(close, target, *rows)),
                "split scan": median_seconds(lambda: suspected_splits(close)),
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

"""The example strategy behind ``python -m quorex demo``.

Monthly momentum with a stop loss, on the package's synthetic market:

* signal: each stock's return over the last 120 trading days (about six
  months), known at the close;
* selection: the 20 strongest stocks, held in equal weight;
* rebalance: with the weights of the last trading date of each month, traded
  at the next trading date's close;
* exits: a 10 % stop loss on the close; a stopped-out stock sits out the next
  rebalance.
"""

from __future__ import annotations

import pandas as pd

from quorex.backtest.run import backtest
from quorex.backtest.market import Market
from quorex.io.synthetic import synthetic_market
from quorex.backtest.report import Report

LOOKBACK = 120
TOP_N = 20
STOP_LOSS = 0.10


def momentum_weights(close: pd.DataFrame, lookback: int = LOOKBACK, top_n: int = TOP_N) -> pd.DataFrame:
    """True for the ``top_n`` stocks with the highest ``lookback``-day return on each date."""
    momentum = close / close.shift(lookback) - 1.0
    return momentum.rank(axis=1, ascending=False, method="first") <= top_n


def run_demo(seed: int = 7, n_stocks: int = 200, years: int = 8) -> Report:
    """Backtest the example strategy on a synthetic market and return its report."""
    market = synthetic_market(n_stocks=n_stocks, years=years, seed=seed)
    turnover = market.pop("turnover")
    weights = momentum_weights(market["close"])
    return backtest(
        weights,
        market,
        rebalance="ME",
        stop_loss=STOP_LOSS,
        turnover=turnover,
        market=Market(name="synthetic"),
    )

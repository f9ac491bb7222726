"""A held stock without a price on a rebalance date keeps its move (engine.run's keep_last_price)."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.core import engine

IDX = pd.bdate_range("2021-01-04", periods=6)
CLOSE = pd.DataFrame({"A": [10, 10, 10, np.nan, 12, 12], "B": [10.0] * 6}, index=IDX)
HALF = pd.DataFrame(0.5, index=IDX, columns=["A", "B"])


@pytest.mark.parametrize("periodic", [True, False])
@pytest.mark.parametrize("trade_at", ["close", "open"])
@pytest.mark.parametrize("dates", [[0], [0, 2], [0, 1, 2, 3, 4]])
def test_a_rebalance_on_a_gap_keeps_the_held_stocks_move(dates, trade_at, periodic):
    prices = {"close": CLOSE, "open": CLOSE}
    report = quorex.backtest(HALF, prices, rebalance=pd.DatetimeIndex(IDX[dates]), trade_at=trade_at,
                             periodically_rebalance=periodic, market="us")
    assert report.creturn.iloc[-1] == pytest.approx(1.1, rel=1e-12)
    trip = report.round_trips.set_index("stock_id").loc["A"]
    assert trip["return"] == pytest.approx(0.2, rel=1e-12)
    records = report.trades[report.trades["stock_id"] == "A"]
    # Every record that continues the holding starts where the one before ended.
    assert (records["entry_price"].iloc[1:].to_numpy() == records["exit_price"].iloc[:-1].to_numpy()).all()


def test_a_stock_bought_on_a_day_without_its_price_is_valued_from_its_first_price():
    weights = pd.DataFrame({"A": [0.0, 0.0, 0.5, 0.5, 0.5, 0.5], "B": 0.5}, index=IDX)
    report = quorex.backtest(weights, CLOSE, rebalance=pd.DatetimeIndex(IDX[[0, 2]]), market="us")
    entry = report.trades.set_index("stock_id").loc["A"]
    assert entry["entry_date"] == IDX[3] and entry["entry_price"] == 12.0
    assert report.creturn.iloc[-1] == pytest.approx(1.0, rel=1e-12)


def test_the_contract_rule_drops_the_move():
    nanoseconds = IDX.as_unit("ns").asi8
    values = CLOSE.to_numpy()
    arguments = (values, values, None, None, None, nanoseconds, np.array(["A", "B"], dtype=object),
                 HALF.to_numpy(), nanoseconds, np.array(["A", "B"], dtype=object), nanoseconds[[0, 2]])
    kept = engine.run(*arguments, fee_ratio=0.0, tax_ratio=0.0)
    dropped = engine.run(*arguments, fee_ratio=0.0, tax_ratio=0.0, keep_last_price=False)
    assert kept.creturn[-1] == pytest.approx(1.1) and dropped.creturn[-1] == pytest.approx(1.0)

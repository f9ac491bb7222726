"""Trades say what happened: fills, exit reasons and returns realised at the fills.

One long position of the whole capital in A, bought at d1's close of 10;
the exits are worked out by hand. With the whole capital in one trade the
final equity (all in cash) is 1 + the trade's return.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex

DATES = pd.bdate_range("2024-01-01", periods=5)
FEE, TAX = 0.001425, 0.003


def market(open_d3: float, high_d3: float, low_d3: float, close_d3: float) -> dict[str, pd.DataFrame]:
    def column(values):
        return pd.DataFrame({"A": values}, index=DATES)

    return {
        "close": column([10.0, 10.0, 10.5, close_d3, close_d3]),
        "open": column([10.0, 10.0, 10.4, open_d3, close_d3]),
        "high": column([10.0, 10.0, 10.8, high_d3, close_d3]),
        "low": column([10.0, 10.0, 10.2, low_d3, close_d3]),
    }


HOLD_A = pd.DataFrame({"A": [1.0]}, index=DATES[:1])


def long_return(x: float) -> float:
    return (1 - FEE) * x * (1 - FEE - TAX) - 1


@pytest.mark.parametrize(
    "bar, rules, fill, reason",
    [
        # d3 trades through the 10 % take profit (11): sold at the level.
        ((10.6, 11.3, 10.5, 11.2), dict(take_profit=0.1), 11.0, "take_profit"),
        # d3 opens above it: sold at the open.
        ((11.5, 11.8, 11.4, 11.6), dict(take_profit=0.1), 11.5, "take_profit"),
        # d3 opens through the 10 % stop (9): sold at the open.
        ((8.5, 8.9, 8.2, 8.6), dict(stop_loss=0.1), 8.5, "stop_loss"),
        # The trailing stop from the peak of d2's close (10.5): 10.5 - 10 * 0.04 = 10.1.
        ((10.3, 10.4, 9.9, 10.0), dict(trail_stop=0.04), 10.1, "trail_stop"),
    ],
)
def test_touched_exit_fills_at_the_level_or_the_open(bar, rules, fill, reason):
    # d3's bars move up to 15 % from d2's close: no price limit here.
    report = quorex.backtest(HOLD_A, market(*bar), touched_exit=True, fee_ratio=FEE, tax_ratio=TAX, price_limit=False,
                             **rules)
    trade = report.trades.iloc[0]
    assert len(report.trades) == 1 and trade["exit_date"] == DATES[3]
    assert trade["entry_price"] == 10.0 and trade["exit_price"] == pytest.approx(fill, rel=1e-12)
    assert trade["exit_reason"] == reason
    assert trade["exit_signal_date"] == DATES[3]  # closed during the day that touched the level
    assert trade["return"] == pytest.approx(long_return(fill / 10.0), rel=1e-12)
    assert report.creturn.iloc[-1] == pytest.approx(1 + trade["return"], rel=1e-12)


def test_close_based_stop_sells_at_the_next_trade_price():
    prices = market(10.0, 10.0, 10.0, 8.8)  # d3 closes 12 % down
    prices["close"].iloc[4, 0] = 8.6  # sold at d4's close
    report = quorex.backtest(HOLD_A, prices["close"], stop_loss=0.1, fee_ratio=FEE, tax_ratio=TAX)
    trade = report.trades.iloc[0]
    assert trade["exit_reason"] == "stop_loss"
    assert trade["exit_signal_date"] == DATES[3] and trade["exit_date"] == DATES[4]
    assert trade["exit_price"] == 8.6
    assert trade["return"] == pytest.approx(long_return(0.86), rel=1e-12)
    assert report.creturn.iloc[-1] == pytest.approx(1 + trade["return"], rel=1e-12)


def test_rebalance_exit_is_signalled_on_the_rebalance_date_under_touched_exits():
    prices = market(10.6, 10.7, 10.5, 10.6)
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=DATES[[0, 2]])
    report = quorex.backtest(weights, prices, touched_exit=True, take_profit=0.5, fee_ratio=FEE, tax_ratio=TAX)
    trade = report.trades.iloc[0]
    assert trade["exit_reason"] == "rebalance"
    assert trade["exit_date"] == DATES[3] and trade["exit_signal_date"] == DATES[2]
    assert trade["exit_price"] == 10.6


def test_open_trade_is_valued_at_its_last_price_without_exit_costs():
    report = quorex.backtest(HOLD_A, market(10.6, 10.7, 10.5, 10.6)["close"], fee_ratio=FEE, tax_ratio=TAX)
    trade = report.trades.iloc[0]
    assert trade["exit_reason"] == "open" and pd.isna(trade["exit_date"])
    assert trade["exit_price"] == 10.6
    assert trade["return"] == pytest.approx((1 - FEE) * 1.06 - 1, rel=1e-12)


def test_entry_on_a_missing_price_fills_at_the_first_price_after_it():
    close = pd.DataFrame({"A": [10.0, np.nan, 10.5, 11.0, 11.0]}, index=DATES)
    report = quorex.backtest(HOLD_A, close, fee_ratio=0.0, tax_ratio=0.0)
    trade = report.trades.iloc[0]
    assert trade["entry_date"] == DATES[1] and trade["entry_price"] == 10.5
    assert trade["return"] == pytest.approx(11.0 / 10.5 - 1, rel=1e-12)
    assert report.creturn.iloc[-1] == pytest.approx(1 + trade["return"], rel=1e-12)

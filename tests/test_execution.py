"""The execution rules, worked out by hand on small markets: price limits, lots and capital, the
minimum fee, the volume cap, slippage, retried orders and carry; and the engine's books on random
markets (equity = cash + shares x close at every close)."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.core import engine

DATES = pd.bdate_range("2024-01-01", periods=6)  # Mon 1 .. Mon 8
FREE = {"fee_ratio": 0.0, "tax_ratio": 0.0}


def hold(rows: dict) -> pd.DataFrame:
    return pd.DataFrame.from_dict(rows, orient="index").rename(index=pd.Timestamp).fillna(0.0)


def close_of(*values: float) -> pd.DataFrame:
    return pd.DataFrame({"A": values}, index=DATES[: len(values)])


BUY_A = hold({"2024-01-01": {"A": 1.0}})


@pytest.mark.parametrize("unfilled, creturn, entry", [
    # Due on d1 at 11 (+10 %: at the limit), bought on d2 at 11.5 (+4.5 %).
    ("retry", [1, 1, 1, 12 / 11.5, 12 / 11.5, 12 / 11.5], DATES[2]),
    ("cancel", [1] * 6, None),
])
def test_a_limit_up_day_blocks_the_buy(unfilled, creturn, entry):
    report = quorex.backtest(BUY_A, close_of(10, 11, 11.5, 12, 12, 12), unfilled=unfilled, **FREE)
    np.testing.assert_allclose(report.creturn.to_numpy(), creturn, rtol=1e-13)
    assert report.trades["entry_date"].tolist() == ([entry] if entry is not None else [])
    row = report.unfilled.iloc[0]
    assert len(report.unfilled) == 1 and row["date"] == DATES[1] and row["symbol"] == "A"
    assert (row["weight_wanted"], row["weight_filled"], row["reason"]) == (1.0, 0.0, "limit_up")


def test_a_limit_down_day_blocks_the_sale_until_the_next_free_date():
    weights = hold({"2024-01-01": {"A": 1.0}, "2024-01-03": {"A": 0.0}})
    report = quorex.backtest(weights, close_of(10, 10, 10, 9, 9.5, 9.5), **FREE)
    np.testing.assert_allclose(report.creturn.to_numpy(), [1, 1, 1, 0.9, 0.95, 0.95], rtol=1e-13)
    trade = report.trades.iloc[0]
    assert trade["exit_date"] == DATES[4] and trade["exit_price"] == 9.5
    assert report.unfilled[["weight_wanted", "reason"]].values.tolist() == [[-1.0, "limit_down"]]


def test_a_touched_exit_on_a_day_locked_at_the_limit_waits():
    # d3 never trades above 8.9 (-11 % from 10): the stop at 9 cannot sell; d4 sells at its close.
    close = close_of(10, 10, 10, 8.9, 8.8, 8.8)
    prices = {"close": close, "open": close.copy(), "high": close.copy(), "low": close * 0.99}
    report = quorex.backtest(BUY_A, prices, touched_exit=True, stop_loss=0.1, **FREE)
    trade = report.trades.iloc[0]
    assert trade["exit_date"] == DATES[4] and trade["exit_price"] == 8.8 and trade["exit_reason"] == "stop_loss"
    assert report.unfilled["reason"].tolist() == ["limit_down"]
    free = quorex.backtest(BUY_A, prices, touched_exit=True, stop_loss=0.1, price_limit=False, **FREE)
    assert free.trades["exit_date"].tolist() == [DATES[3]]


def test_whole_lots_and_the_cash_left_over():
    # 100,000 at 10.5: 9,510 shares would pay their fee; 9 lots of 1,000 are bought.
    report = quorex.backtest(BUY_A, close_of(10, 10.5, 10.5, 10.5), capital=100_000, tax_ratio=0.0)
    fee = 0.001425 * 94_500
    trade = report.trades.iloc[0]
    assert trade["shares"] == 9_000 and trade["fee_paid"] == pytest.approx(fee, rel=1e-14)
    assert report.creturn.iloc[1] == pytest.approx((94_500 + 100_000 - 94_500 - fee) / 100_000, rel=1e-14)


def test_a_fee_below_the_minimum_pays_the_minimum():
    # 0.1425 % of 9,980 is 14.22: the trade pays 20, and buys what the rest of 10,000 buys.
    report = quorex.backtest(BUY_A, close_of(10, 10, 10), market="us", capital=10_000, fee_ratio=0.001425,
                             min_fee=20)
    trade = report.trades.iloc[0]
    assert (trade["shares"], trade["fee_paid"]) == (998, 20.0)
    assert report.creturn.iloc[1] == pytest.approx(0.998, rel=1e-14)


def test_the_volume_cap_spreads_one_order_over_three_dates():
    volume = pd.DataFrame({"A": 1000.0}, index=DATES)
    report = quorex.backtest(BUY_A, close_of(10, 10, 10, 10, 10, 10), market="us", capital=3000, fee_ratio=0.01,
                             tax_ratio=0.0, volume=volume, max_participation=0.1)
    # 297 shares pay their 1 % fee out of 3,000; 100 a day may trade.
    assert report.costs["fee"].tolist() == pytest.approx([0, 10, 10, 9.7, 0, 0], rel=1e-14)
    assert report.trades["shares"].tolist() == [297]
    row = report.unfilled.iloc[0]
    assert (row["date"], row["shares_wanted"], row["shares_filled"], row["reason"]) == (DATES[1], 297, 100, "volume")
    assert report.unfilled_share() == pytest.approx(197 / 297, rel=1e-14)


def test_fixed_slippage_on_an_entry_and_a_stop_exit():
    report = quorex.backtest(BUY_A, close_of(10, 10, 10, 8.5, 8.5, 8.5), stop_loss=0.1, slippage=0.01,
                             price_limit=False, **FREE)
    trade = report.trades.iloc[0]
    assert trade["entry_price"] == pytest.approx(10.1) and trade["exit_price"] == pytest.approx(8.5 * 0.99)
    exit_slip = 0.01 * 0.99 * 0.85
    assert trade["slippage_paid"] == pytest.approx(0.01 + exit_slip, rel=1e-14)
    np.testing.assert_allclose(report.creturn.to_numpy(),
                               [1, 0.99, 0.99, 0.8415, 0.8415 - exit_slip, 0.8415 - exit_slip], rtol=1e-14)


def sqrt_slippage(close: np.ndarray, day: int, shares: float, adv: float, impact: float = 0.1) -> float:
    window = close[max(day - 19, 0): day + 1]
    return impact * np.std(window[1:] / window[:-1] - 1, ddof=1) * np.sqrt(shares / adv)


def test_square_root_slippage_on_an_entry_and_a_stop_exit():
    dates = pd.bdate_range("2024-01-01", periods=8)
    values = np.array([10, 10.5, 10, 10.5, 10, 10.5, 8.5, 8.5])
    close = pd.DataFrame({"A": values}, index=dates)
    volume = pd.DataFrame({"A": 50_000.0}, index=dates)
    report = quorex.backtest(hold({"2024-01-04": {"A": 1.0}}), close, market="us", capital=1e6, volume=volume,
                             slippage="sqrt", stop_loss=0.1, price_limit=False, **FREE)
    # Bought on d4 at 10: shares sized with the slippage of the whole amount, then filled at their own.
    guess = sqrt_slippage(values, 4, 1e6 / 10, 50_000)
    shares = np.floor(1e6 / (10 * (1 + guess)))
    entry = sqrt_slippage(values, 4, shares, 50_000)
    # d6 closes 19 % under the entry; sold on d7 at 8.5.
    exit_ = sqrt_slippage(values, 7, shares, 50_000)
    trade = report.trades.iloc[0]
    assert trade["shares"] == shares
    assert trade["entry_price"] == pytest.approx(10 * (1 + entry), rel=1e-13)
    assert trade["exit_price"] == pytest.approx(8.5 * (1 - exit_), rel=1e-13)
    assert trade["slippage_paid"] == pytest.approx(shares * (10 * entry + 8.5 * exit_), rel=1e-12)


@pytest.mark.parametrize("weight, rates, column", [
    (0.5, {"cash_rate": 0.0365}, "interest"),
    (-0.5, {"borrow_rate": 0.0365}, "borrow"),
])
def test_cash_interest_and_borrow_fee_over_calendar_days(weight, rates, column):
    report = quorex.backtest(hold({"2024-01-01": {"A": weight}}), close_of(*[10.0] * 6), **FREE, **rates)
    daily = 0.0365 / 365
    days = [0, 1, 1, 1, 1, 3]  # Friday to Monday is three days
    expected, cash, short = [], 1.0, 0.0
    for d in range(6):
        accrued = (cash if column == "interest" else short) * daily * days[d]
        expected.append(accrued)
        cash += accrued if column == "interest" else -accrued
        if d == 1:  # the position is opened at d1's price, sized from d1's equity
            cash, short = cash - weight * cash, -weight * cash if weight < 0 else 0.0
    carry = report.carry[column].to_numpy()
    np.testing.assert_allclose(carry, expected, rtol=1e-12, atol=1e-18)
    sign = 1 if column == "interest" else -1
    assert report.creturn.iloc[-1] == pytest.approx(1 + sign * carry.sum(), rel=1e-14)


def test_rules_that_bind_nothing_leave_the_run_as_it_was():
    from quorex.io.synthetic import synthetic_market

    prices = synthetic_market(30, 1, seed=3)
    close = prices["close"]
    weights = close.pct_change(10, fill_method=None).rank(axis=1, ascending=False) <= 5
    off = quorex.backtest(weights, close, rebalance="W-FRI", price_limit=False)
    loose = quorex.backtest(weights, close, rebalance="W-FRI", price_limit=0.5,
                            tradable=close.notna() | close.isna())
    assert off.creturn.to_numpy().tobytes() == loose.creturn.to_numpy().tobytes()
    pd.testing.assert_frame_equal(off.trades, loose.trades)
    # In shares without any cost, the same curve as in fractions.
    money = quorex.backtest(weights, close, rebalance="W-FRI", price_limit=False, capital=1e6, lot_size=False,
                            min_fee=0, **FREE)
    plain = quorex.backtest(weights, close, rebalance="W-FRI", price_limit=False, **FREE)
    np.testing.assert_allclose(money.creturn.to_numpy(), plain.creturn.to_numpy(), rtol=1e-12)


def test_the_market_presets_carry_their_rules():
    close = close_of(10, 11, 11.5, 12, 12, 12)
    assert quorex.backtest(BUY_A, close, **FREE).trades["entry_date"].tolist() == [DATES[2]]  # tw's limit
    assert quorex.backtest(BUY_A, close, market="us", **FREE).trades["entry_date"].tolist() == [DATES[1]]
    custom = quorex.Market(name="x", fee_ratio=0.0, tax_ratio=0.0)
    assert (custom.lot_size, custom.min_fee, custom.price_limit) == (1000, 20, 0.095)
    summary = quorex.backtest(BUY_A, close, market="us", capital=1e5, **FREE).summary()["text"]
    assert (summary["Lot size"], summary["Price limit"], summary["Capital"]) == ("1 shares", "none", "100,000")


@pytest.mark.parametrize("kwargs, message", [
    ({"lot_size": 100}, "lot_size needs capital"),
    ({"min_fee": 20}, "min_fee needs capital"),
    ({"volume": "frame"}, "volume needs capital"),
    ({"capital": -5}, "capital must be a positive"),
    ({"capital": float("inf")}, "capital must be finite"),
    ({"capital": 1e6, "volume": "frame", "max_participation": 1.5}, "max_participation must be in"),
    ({"capital": 1e6, "max_participation": 0.1}, "max_participation needs volume"),
    ({"slippage": "cubic"}, "slippage must be a fraction"),
    ({"slippage": "sqrt"}, "slippage='sqrt' needs volume"),
    ({"price_limit": 10}, "price_limit must be a fraction"),
    ({"unfilled": "queue"}, "unfilled must be"),
    ({"cash_rate": 2}, "rates are fractions"),
    ({"borrow_rate": -0.01}, "borrow_rate must be 0 or more"),
])
def test_bad_rules_are_refused_naming_the_argument(kwargs, message):
    volume = pd.DataFrame({"A": 1000.0}, index=DATES)
    kwargs = {k: (volume if v == "frame" else v) for k, v in kwargs.items()}
    with pytest.raises(ValueError, match=message):
        quorex.backtest(BUY_A, close_of(*[10.0] * 6), **kwargs)


@pytest.mark.parametrize("name, frame, message", [
    ("volume", pd.DataFrame({"B": 1.0}, index=DATES), r"no column for the traded symbols \['A'\]"),
    ("volume", pd.DataFrame({"A": 1.0}, index=DATES[1:]), "no row for 1 trading dates, the first 2024-01-01"),
    ("volume", pd.DataFrame({"A": [1.0, -1, 1, 1, 1, 1]}, index=DATES), "'A' on 2024-01-02"),
    ("tradable", pd.DataFrame({"A": [True, None, True, True, True, True]}, index=DATES, dtype="boolean"),
     "tradable has no value for symbol 'A' on 2024-01-02"),
    ("tradable", pd.DataFrame({"A": 1.0}, index=DATES), "tradable must hold True or False"),
])
def test_frames_that_do_not_cover_the_trades_are_refused(name, frame, message):
    with pytest.raises(ValueError, match=message):
        quorex.backtest(BUY_A, close_of(*[10.0] * 6), capital=1e5, **{name: frame})


def test_an_untradable_day_is_reported_and_nan_volume_means_no_trade():
    tradable = pd.DataFrame({"A": [True, False, True, True, True, True]}, index=DATES)
    volume = pd.DataFrame({"A": [1e6, 1e6, np.nan, 1e6, 1e6, 1e6]}, index=DATES)
    report = quorex.backtest(BUY_A, close_of(*[10.0] * 6), market="us", capital=1e4, tradable=tradable,
                             volume=volume, **FREE)
    assert report.unfilled["reason"].tolist() == ["untradable"]
    assert report.trades["entry_date"].tolist() == [DATES[3]]  # d2 had no volume


def test_the_engine_checks_its_matrices_once():
    price = np.full((3, 2), 10.0)
    dates = np.arange(3, dtype=np.int64)
    cols = np.array(["a", "b"], dtype=object)
    args = (price, price, None, None, None, dates, cols, np.ones((1, 2)) / 2, dates[:1], cols.copy(), dates[:1])
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        engine.run(*args, capital=1e4, volume=np.ones((3, 2), dtype=np.int64))
    with pytest.raises(ValueError, match=r"volume and price_values differ in shape \(\(3, 1\) vs \(3, 2\)\)"):
        engine.run(*args, capital=1e4, volume=np.ones((3, 1)))
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        engine.run(*args, tradable=np.ones((3, 2)))
    with pytest.raises(ValueError, match="volume needs capital"):
        engine.run(*args, volume=np.ones((3, 2)))
    with pytest.raises(ValueError, match="capital must be a finite number"):
        engine.run(*args, capital=float("nan"))
    # Any strides: a transposed and a sliced view read the same numbers.
    volume = np.array([[5.0, 3.0, 4.0], [6.0, 8.0, 7.0]])
    wide = np.zeros((3, 4))
    wide[:, ::2] = volume.T
    one = engine.run(*args, capital=1e4, volume=volume.T, max_participation=0.5)
    two = engine.run(*args, capital=1e4, volume=wide[:, ::2], max_participation=0.5)
    assert one.creturn.tobytes() == two.creturn.tobytes() and one.unfilled_filled.tolist() == [1.5, 4.0]


def random_rules(rng: np.random.Generator, shape: tuple[int, int]) -> dict:
    rules = dict(capital=float(rng.choice([1e4, 1e6, 3e7])), lot_size=float(rng.choice([0, 1, 100, 1000])),
                 min_fee=float(rng.choice([0, 20])), price_limit=float(rng.choice([np.inf, 0.03, 0.095])),
                 retry_unfilled=False, cash_rate=float(rng.choice([0, 0.02])),
                 borrow_rate=float(rng.choice([0, 0.05])), fee_ratio=0.001425, tax_ratio=0.003)
    if rng.random() < 0.5:
        rules["tradable"] = rng.random(shape) < 0.9
    if rng.random() < 0.5:
        rules["volume"] = np.where(rng.random(shape) < 0.05, np.nan, rng.uniform(1e3, 1e6, shape))
        rules["impact"] = 0.1
    elif rng.random() < 0.5:
        rules["slippage"] = 0.001
    if rng.random() < 0.5:
        rules["stop_loss"] = 0.05
    return rules


@pytest.mark.parametrize("seed", range(40))
def test_equity_is_cash_plus_shares_at_the_close_on_random_markets(seed):
    rng = np.random.default_rng(seed)
    n, m = int(rng.integers(5, 60)), int(rng.integers(1, 6))
    close = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.04, (n, m)), axis=0))
    dates = np.arange(n, dtype=np.int64) * 86_400 * 10**9
    cols = np.array([f"s{j}" for j in range(m)], dtype=object)
    rows = np.sort(rng.choice(n, int(rng.integers(1, n)), replace=False))
    weights = rng.normal(0.0, 0.5, (len(rows), m)) * (rng.random((len(rows), m)) < 0.7)
    rules = random_rules(rng, (n, m))
    run = engine.run(close, close, None, None, None, dates, cols, weights, dates[rows], cols.copy(), dates[rows],
                     **rules)
    held = np.zeros((n, m))
    for sid, entry, exit_, shares in zip(run.trade_sid, run.trade_entry_row, run.trade_exit_row, run.trade_shares):
        held[entry:(exit_ if exit_ >= 0 else n), sid] += shares
    equity = run.daily_cash + (held * close).sum(axis=1)
    np.testing.assert_allclose(equity, run.creturn * rules["capital"], rtol=1e-9)


@pytest.mark.parametrize("unfilled", ["retry", "cancel"])
def test_a_stop_exit_locked_at_the_limit_is_retried_even_when_orders_are_cancelled(unfilled):
    # d2 closes 20 % down (a stop signal); d3 trades at 8 (-11 % from d2's 9): locked; d4 sells at 8.5.
    report = quorex.backtest(BUY_A, close_of(10, 10, 9, 8, 8.5, 8.5), stop_loss=0.05, unfilled=unfilled, **FREE)
    trade = report.trades.iloc[0]
    assert (trade["exit_date"], trade["exit_price"], trade["exit_reason"]) == (DATES[4], 8.5, "stop_loss")
    assert report.unfilled["reason"].tolist() == ["limit_down"]


def test_the_next_rebalance_replaces_a_pending_order():
    # Bought nowhere: d1 and d2 sit at the limit; the rebalance of d3's weights (0) drops the order.
    weights = hold({"2024-01-01": {"A": 1.0}, "2024-01-03": {"A": 0.0}})
    report = quorex.backtest(weights, close_of(10, 11, 12.1, 12.1, 12.1, 12.1), **FREE)
    assert report.trades.empty and (report.creturn == 1.0).all()
    assert report.unfilled["date"].tolist() == [DATES[1]]


def test_a_short_in_shares_covers_after_the_limit_and_pays_its_borrow():
    weights = hold({"2024-01-01": {"A": -0.5}, "2024-01-03": {"A": 0.0}})
    close = close_of(10, 10, 10, 11, 11.5, 11.5)  # the cover is due on d3, at the upper limit
    report = quorex.backtest(weights, close, market="us", capital=10_000, borrow_rate=0.0365, price_limit=0.095,
                             **FREE)
    trade = report.trades.iloc[0]
    assert (trade["shares"], trade["exit_date"], trade["exit_price"]) == (-500, DATES[4], 11.5)
    assert report.unfilled["reason"].tolist() == ["limit_up"]
    borrow = report.carry["borrow"]
    assert borrow.iloc[2] == pytest.approx(5_000 * 0.0001, rel=1e-12)  # 500 shares at 10, one day
    assert borrow.iloc[4] == pytest.approx(500 * 11 * 0.0001, rel=1e-12)
    assert trade["return"] == pytest.approx((-500 * (11.5 - 10)) / 5_000, rel=1e-14)
    cash = 10_000 + 5_000 - borrow.sum() - 500 * 11.5
    assert report.creturn.iloc[-1] == pytest.approx(cash / 10_000, rel=1e-14)


def test_a_touched_exit_beyond_the_volume_is_sold_over_the_following_dates():
    close = close_of(10, 10, 10, 9.5, 9.5, 9.5)
    prices = {"close": close, "open": close.copy(), "high": close * 1.01, "low": close.where(close > 9.6, 8.9)}
    volume = pd.DataFrame({"A": [1e6, 1e6, 1e6, 4000, 4000, 4000]}, index=DATES)
    report = quorex.backtest(BUY_A, prices, market="us", capital=10_000, touched_exit=True, stop_loss=0.1,
                             volume=volume, max_participation=0.25, **FREE)
    # 1,000 shares; 1,000 a day may trade: sold at the stop (9) on d3 in full.
    assert report.trades["exit_date"].tolist() == [DATES[3]]
    thin = quorex.backtest(BUY_A, prices, market="us", capital=10_000, touched_exit=True, stop_loss=0.1,
                           volume=volume / 2, max_participation=0.25, **FREE)
    row = thin.unfilled.iloc[0]
    assert (row["shares_wanted"], row["shares_filled"], row["reason"]) == (-1000, -500, "volume")
    # 500 at the stop on d3, the other 500 at d4's price.
    trade = thin.trades.iloc[0]
    assert (trade["exit_date"], trade["exit_price"], trade["exit_reason"]) == (DATES[4], 9.5, "stop_loss")
    assert thin.creturn.iloc[-1] == pytest.approx((500 * 9 + 500 * 9.5) / 10_000, rel=1e-14)


def test_markets_without_the_rules_take_the_home_figures():
    class Exchange:  # a market-like object naming only its name and frequency
        def get_name(self) -> str:
            return "x"

        def get_freq(self) -> str:
            return "1d"

    report = quorex.backtest(BUY_A, close_of(10, 11, 11.5, 12, 12, 12), market=Exchange(), **FREE)
    assert (report.execution.price_limit, report.execution.lot_size) == (0.095, None)  # no lots without capital
    assert quorex.backtest(BUY_A, close_of(*[10.0] * 6), market=Exchange(), capital=1e5).execution.lot_size == 1000


def test_a_sweep_tabulates_what_each_backtest_reports():
    from quorex.io.synthetic import synthetic_market

    prices = synthetic_market(30, 1, seed=5)
    close = prices["close"]
    weights = close.pct_change(10, fill_method=None).rank(axis=1, ascending=False) <= 5
    volume = prices["turnover"] / close
    rules = dict(rebalance="W-FRI", volume=volume, max_participation=0.02, slippage="sqrt")
    result = quorex.sweep(weights, close, {"capital": [1e6, 1e8]}, progress=False, **rules)
    for i, capital in enumerate((1e6, 1e8)):
        report = quorex.backtest(weights, close, capital=capital, **rules)
        summary = report.summary()["value"]
        assert result.table.loc[i, "unfilled_share"] == summary["Value unfilled on its date"]
        measured = report.period().curve(report.creturn).index  # the sweep's figures are over the set's period
        years = (measured[-1] - measured[0]).days / 365.25
        assert result.table.loc[i, "slippage_per_year"] == pytest.approx(summary["Slippage paid (of capital)"] / years)

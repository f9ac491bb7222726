"""quorex.backtest end to end on small markets whose results are worked out by hand."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.backtest import run as bt
from quorex.core import simloop

DATES = pd.bdate_range("2024-01-01", periods=6)  # Mon 1 .. Mon 8
CLOSE = pd.DataFrame(
    {"A": [10.0, 10.0, 11.0, 12.0, 12.0, 9.0], "B": [20.0, 20.0, 20.0, 22.0, 22.0, 22.0]}, index=DATES
)
# The hand markets move 10 % in a day, beyond the home market's price limit: off here.
FREE = {"fee_ratio": 0.0, "tax_ratio": 0.0, "price_limit": False}


@pytest.fixture
def contract(monkeypatch):
    """Also runs each quorex.backtest through simloop.backtest_ on the same arrays,
    which leaves its results in the module state for comparison."""
    engine_run = bt.run_engine

    def both(engine, **settings):
        simloop.backtest_(
            engine.price_values, engine.close_values, engine.high_values, engine.low_values,
            engine.open_values, engine.price_index, engine.price_columns, engine.pos_values,
            engine.pos_index, engine.pos_columns, engine.resample, **settings,
        )
        return engine_run(engine, **settings)

    monkeypatch.setattr(bt, "run_engine", both)


def weights(rows: dict) -> pd.DataFrame:
    return pd.DataFrame.from_dict(rows, orient="index").rename(index=pd.Timestamp).fillna(0.0)


@pytest.fixture(scope="module")
def switch():
    """All in A from the close of d0; half A, half B from the close of d2."""
    w = weights({"2024-01-01": {"A": 1.0}, "2024-01-03": {"A": 0.5, "B": 0.5}})
    return w, quorex.backtest(w, CLOSE, **FREE)


def test_equity_dates_and_symbols(switch):
    _, report = switch
    # Bought A at d1's close, rebalanced at d3's close (A at 12), A falls to 9 on d5.
    np.testing.assert_allclose(report.creturn.to_numpy(), [1, 1, 1.1, 1.2, 1.2, 1.05])
    assert report.creturn.index.equals(DATES)
    assert list(report.position.columns) == ["A", "B"]
    assert report.position["A"].tolist() == [0, 1, 1, 0.5, 0.5, 0.5]
    assert report.position["B"].tolist() == [0, 0, 0, 0.5, 0.5, 0.5]


def test_trade_rows_agree_with_the_engine(switch, contract):
    report = switch[1]
    t = report.trades
    assert t["stock_id"].tolist() == ["A", "A", "B"]
    assert t["entry_date"].tolist() == [DATES[1], DATES[3], DATES[3]]
    assert t["entry_signal_date"].tolist() == [DATES[0], DATES[2], DATES[2]]
    assert t["exit_date"].iloc[0] == DATES[3] and t["exit_signal_date"].iloc[0] == DATES[2]
    assert t["exit_date"].iloc[1:].isna().all() and t["exit_signal_date"].iloc[1:].isna().all()
    assert t["position"].tolist() == [1.0, 0.5, 0.5]
    assert t["period"].tolist() == [2, 3, 3] and t["exit_index"].tolist() == [3, -1, -1]
    np.testing.assert_allclose(t["return"], [0.2, -0.25, 0.0])
    np.testing.assert_allclose(t["mae"], [0.0, -0.25, 0.0])
    np.testing.assert_allclose(t["gmfe"], [0.2, 0.0, 0.0])
    quorex.backtest(switch[0], CLOSE, **FREE)  # simloop keeps only its latest run
    rows, _ = simloop.get_trade_stocks(
        np.array(["A", "B"], dtype=object), DATES.as_unit("ns").asi8, False
    )
    assert [r[0] for r in rows] == t["stock_id"].tolist()
    assert [pd.Timestamp(r[1]) for r in rows] == t["entry_date"].tolist()


def test_weights_by_symbol_named_by_rebalance_date(switch):
    _, report = switch
    assert report.weights.to_dict() == {"A": 0.5, "B": 0.5}
    assert report.weights.name == DATES[3]
    assert report.next_weights.to_dict() == {"A": 0.5, "B": 0.5}
    assert report.next_weights.name is None  # rebalancing follows weight changes
    assert report.metrics.current_rebalance_date() == DATES[3].timestamp()
    assert report.stock_operations["weight"].to_dict() == {"A": 0.5, "B": 0.5}


def test_stop_loss_with_fees():
    close = CLOSE.assign(A=[10.0, 10.0, 10.0, 8.5, 8.0, 8.0])
    w = weights({"2024-01-01": {"A": 1.0}})
    report = quorex.backtest(w, close, fee_ratio=0.01, tax_ratio=0.0, stop_loss=0.1)
    # 1% fee on entry; the close of d3 breaches the 10% stop, sold at d4's close.
    np.testing.assert_allclose(report.creturn, [1, 0.99, 0.99, 0.8415, 0.78408, 0.78408])
    trade = report.trades.iloc[0]
    assert (trade.exit_date, trade.exit_signal_date) == (DATES[4], DATES[3])
    assert trade["return"] == pytest.approx(0.78408 - 1)
    assert report.stock_operations.loc["A", "action"] == "sl_"
    assert report.next_weights.empty and report.stop_loss == 0.1 and report.take_profit is None


def test_delisted_stock_is_carried_until_a_rebalance_sells_it():
    close = CLOSE.assign(B=[20.0, 20.0, 20.0, np.nan, np.nan, np.nan])
    # Columns in another order than the prices: alignment is by label.
    w = weights({"2024-01-01": {"B": 1.0}, "2024-01-04": {"B": 0.0, "A": 1.0}})[["B", "A"]]
    report = quorex.backtest(w, close, **FREE)
    np.testing.assert_allclose(report.creturn, [1, 1, 1, 1, 1, 0.75])
    assert report.trades[["stock_id", "entry_index", "exit_index"]].values.tolist() == [
        ["B", 1, 4], ["A", 4, -1]]
    assert report.position.loc[DATES[3], "B"] == 1.0 and report.position.loc[DATES[4], "B"] == 0.0


def test_month_end_rebalance_and_boolean_weights():
    dates = pd.bdate_range("2024-01-22", "2024-02-09")
    close = pd.DataFrame({"A": 10.0, "B": 20.0, "C": 5.0}, index=dates)
    picks = pd.DataFrame(False, index=dates, columns=["A", "B", "C"])
    picks.loc[:"2024-01-30", "A"] = True
    picks.loc["2024-01-31":, ["B", "C"]] = True
    report = quorex.backtest(picks, close, rebalance="ME", **FREE)
    # The month-end selection (B and C) is traded on the first trading date of February.
    entries = report.trades.groupby("stock_id")["entry_date"].first().to_dict()
    assert entries == {"B": pd.Timestamp("2024-02-01"), "C": pd.Timestamp("2024-02-01")}
    assert report.weights.to_dict() == {"B": 0.5, "C": 0.5}
    assert report.next_weights.name == pd.Timestamp("2024-03-01")


def test_trade_at_open_turnover_and_liquidity():
    opens = CLOSE * 0.5
    high = CLOSE.clip(lower=opens)
    low = opens.copy()  # every open is the day's low
    flags = pd.DataFrame(False, index=DATES, columns=["A", "B"])
    flags.loc[DATES[1], "A"] = True
    w = weights({"2024-01-01": {"A": 1.0}, "2024-01-03": {"B": 1.0}})
    report = quorex.backtest(
        w, {"close": CLOSE, "open": opens, "high": high, "low": low}, trade_at="open",
        turnover=CLOSE * 1000, categories={"處置股": flags}, **FREE,
    )
    # Bought A at d1's open (5), valued at the close (10): equity doubles on d1.
    assert report.creturn.iloc[1] == pytest.approx(2.0)
    assert report.trades["turnover@entry_date"].tolist() == [10_000.0, 22_000.0]
    assert report.liquidity["處置股"] == {"entry": 0.5, "exit": 0.0}
    assert report.liquidity["sell_low"]["exit"] == 1.0  # A sold at d3's open, the low
    assert report.liquidity["buy_high"]["entry"] == 0.0
    assert report.metrics.disposal_stock_ratio() == 0.5 and report.metrics.capacity() > 0


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"trade_at": "open"}, "needs an 'open' price frame"),
        ({"touched_exit": True}, "touched_exit needs prices"),
        ({"trade_at": "vwap"}, "trade_at must be"),
        ({"stop_loss": -0.1}, "stop_loss must be a positive fraction"),
        ({"excursion_step": 0}, "excursion_step must be 1 or more"),
    ],
)
def test_bad_settings_are_clear_errors(kwargs, message):
    with pytest.raises(ValueError, match=message):
        quorex.backtest(weights({"2024-01-01": {"A": 1.0}}), CLOSE, **kwargs)


def test_summary_and_plot(switch):
    _, report = switch
    summary = report.summary()
    assert list(summary.columns) == ["value", "text"]
    assert summary.loc["Trade records", "value"] == 3
    trips = report.round_trips
    assert summary.loc["Round trips", "value"] == len(trips)
    assert summary.loc["Win rate (round trips)", "value"] == pytest.approx((trips["return"] > 0).mean())
    fig = report.plot()
    assert len(fig.axes) == 2


@pytest.mark.parametrize("seed", range(6))
def test_rebalance_dates_agree_with_the_engine(seed, contract):
    """Without stops every entry is made by a rebalance, and every rebalance enters."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=60)
    close = pd.DataFrame(rng.uniform(9, 11, (60, 4)), index=dates, columns=[11, 22, 33, 44])
    rows = np.sort(rng.choice(np.arange(-3, 90), 12, replace=False))
    when = dates[0] + pd.to_timedelta(rows, unit="D")
    w = pd.DataFrame(rng.integers(0, 2, (12, 4)) * 0.25, index=when, columns=close.columns)
    w.iloc[:, 0] = 0.25  # held throughout: each rebalance splits it into a new trade
    rebalance = [None, "W-WED", when[::3]][seed % 3]
    report = quorex.backtest(w, close, rebalance=rebalance, **FREE)
    assert set(report.trades["entry_date"]) == set(report.rebalance_dates)
    assert report.weights.name == report.rebalance_dates[-1]
    ops = simloop.get_stock_operations()
    assert report.weights.to_dict() == {close.columns[sid]: v for sid, v in ops["weights"].items()}
    assert report.trades["stock_id"].isin(close.columns).all()  # labels keep their type


def test_plot_without_matplotlib_names_the_extra(switch, monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'quorex\[plot\]'"):
        switch[1].plot()

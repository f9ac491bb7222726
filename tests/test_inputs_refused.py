"""Inputs that used to give a plausible, wrong number without a word: refused or warned, by name."""

from __future__ import annotations

import time
import warnings

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.backtest.inputs.rules import check_rule
from quorex.research.grid import BACKTEST_ARGUMENTS

DATES = pd.bdate_range("2021-01-04", periods=40)
FREE = {"market": "us"}


def market(seed: int = 0, columns=("A", "B", "C")) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0005, 0.012, (len(DATES), len(columns)))
    return pd.DataFrame(50 * np.exp(np.cumsum(steps, axis=0)), index=DATES, columns=list(columns))


def rotating(close: pd.DataFrame) -> pd.DataFrame:
    """Weights that change every week, so every date's alignment matters."""
    picks = (np.arange(len(close))[:, None] // 5 + np.arange(close.shape[1])) % close.shape[1] == 0
    return pd.DataFrame(picks * 0.6, index=close.index, columns=close.columns)


# ---------------------------------------------------------------------------
# Dates


def test_a_time_of_day_is_read_as_its_calendar_date():
    close, weights = market(), rotating(market())
    plain = quorex.backtest(weights, close, **FREE).creturn
    # Closes stamped 13:30, weights at 00:00 of the same dates: no day earlier than the plain run.
    stamped = quorex.backtest(weights, close.set_axis(close.index + pd.DateOffset(hours=13, minutes=30)), **FREE).creturn
    pd.testing.assert_series_equal(stamped, plain)
    assert (stamped.index == stamped.index.normalize()).all()


@pytest.mark.parametrize("what", ["prices", "weights", "benchmark"])
def test_two_stamps_of_one_date_are_refused_naming_it(what):
    close, weights = market(), rotating(market())
    stamps = close.index.insert(6, close.index[5] + pd.DateOffset(hours=13, minutes=30))[:-1]
    arguments = {"weights": weights, "prices": close, "benchmark": None}
    if what == "benchmark":
        arguments["benchmark"] = pd.Series(1.0, index=stamps)
    else:
        arguments[what] = arguments[what].set_axis(stamps)
    with pytest.raises(ValueError, match=f"duplicate dates: 2 rows fall on {close.index[5].date()}"):
        quorex.backtest(arguments["weights"], arguments["prices"], benchmark=arguments["benchmark"], **FREE)


@pytest.mark.parametrize(
    "index, named",
    [
        (pd.RangeIndex(40), "numbers"),
        (pd.Index(DATES.strftime("%Y%m%d").astype(int)), "numbers"),
        (pd.Index(DATES.strftime("%d/%m/%Y")), "not ISO dates"),
        (pd.Index([1.5] * 40), "numbers"),
    ],
)
@pytest.mark.parametrize("what", ["weights", "prices['close']"])
def test_an_index_of_anything_but_dates_is_refused_naming_the_input(index, named, what):
    close, weights = market(), rotating(market())
    if what == "weights":
        weights = weights.set_axis(index)
    else:
        close = close.set_axis(index)
    with pytest.raises(ValueError, match=rf"{what.replace('[', '.').replace(']', '.')}: the index must hold dates.*{named}"):
        quorex.backtest(weights, close, **FREE)


def test_iso_strings_and_date_objects_still_read():
    close, weights = market(), rotating(market())
    plain = quorex.backtest(weights, close, **FREE).creturn
    as_text = quorex.backtest(weights.set_axis(DATES.strftime("%Y-%m-%d")), close, **FREE).creturn
    as_objects = quorex.backtest(weights, close.set_axis(pd.Index(DATES.date, dtype=object)), **FREE).creturn
    pd.testing.assert_series_equal(as_text, plain)
    pd.testing.assert_series_equal(as_objects, plain)


# ---------------------------------------------------------------------------
# Weights


@pytest.mark.parametrize("values, message", [
    ((np.inf,), "the weight of 'B' on 2021-01-11 \\(inf\\) is infinite"),
    ((-np.inf,), "the weight of 'B' on 2021-01-11 \\(-inf\\) is infinite"),
    ((1e308, 1e308), "on 2021-01-11 \\(1e\\+308\\) makes the row's absolute sum overflow"),
])
def test_unbounded_weights_are_refused_naming_symbol_and_date(values, message):
    weights = rotating(market())
    for column, value in zip(("B", "C"), values):
        weights.loc[DATES[5], column] = value
    with pytest.raises(ValueError, match=message):
        quorex.backtest(weights, market(), **FREE)


def test_unbounded_weights_fail_every_set_of_a_sweep_alike():
    weights = rotating(market())
    weights.loc[DATES[5], "B"] = np.inf
    result = quorex.sweep(weights, market(), {"position_limit": [0.5, 1.0]}, progress=False, **FREE)
    assert result.table["error"].str.contains("'B' on 2021-01-11").all()


def test_a_weight_above_one_warns_naming_the_largest():
    weights = rotating(market()) * 10  # "6" meant 6 %
    weights.loc[DATES[7], "C"] = -8.0
    with pytest.warns(quorex.DataWarning, match=r"the weight of 'C' on 2021-01-13 is -8; .* for -8 % pass -0.08"):
        quorex.backtest(weights, market(), **FREE)
    with warnings.catch_warnings():
        warnings.simplefilter("error", quorex.DataWarning)
        quorex.backtest(rotating(market()), market(), **FREE)  # fractions: no word


@pytest.mark.parametrize("dtype", ["boolean", "bool[pyarrow]"])
def test_nullable_and_arrow_booleans_select_like_plain_ones(dtype):
    close = market()
    picks = rotating(close) > 0
    plain = quorex.backtest(picks, close, **FREE).creturn
    nullable = picks.astype(dtype)
    nullable.iloc[3, 0] = pd.NA  # a gap is not selected
    expected = picks.copy()
    expected.iloc[3, 0] = False
    got = quorex.backtest(nullable, close, **FREE).creturn
    pd.testing.assert_series_equal(got, quorex.backtest(expected, close, **FREE).creturn)
    assert got.iloc[-1] == pytest.approx(plain.iloc[-1], rel=0.2)


# ---------------------------------------------------------------------------
# Rules


@pytest.mark.parametrize("rule, value, hint", [
    ("stop_loss", 10, "stop_loss=10 means a fall of 1000 %; .* for 10 % pass 0.1"),
    ("trail_stop", 5, "trail_stop=5 means a fall of 500 %; .* for 5 % pass 0.05"),
    ("stop_loss", 0.0, "stop_loss must be a positive fraction"),
])
def test_stop_distances_typed_as_percents_are_refused(rule, value, hint):
    with pytest.raises(ValueError, match=hint):
        quorex.backtest(rotating(market()), market(), **{rule: value}, **FREE)


@pytest.mark.parametrize("alias", ["ms", "s", "min", "h", "90min", "36h"])
def test_rebalance_finer_than_a_day_is_refused_at_once(alias):
    started = time.perf_counter()
    with pytest.raises(ValueError, match=f"rebalance='{alias}' is finer than a day"):
        quorex.backtest(rotating(market()), market(), rebalance=alias, **FREE)
    assert time.perf_counter() - started < 5


@pytest.mark.parametrize("alias", ["0ME", "-1ME", "-2W-FRI"])
def test_rebalance_periods_must_be_positive(alias):
    with pytest.raises(ValueError, match=f"rebalance='{alias}': the period must be positive"):
        quorex.backtest(rotating(market()), market(), rebalance=alias, **FREE)


def test_whole_days_and_calendar_periods_still_rebalance():
    for alias in ("D", "2D", "24h", "W-FRI", "ME", "QE"):
        quorex.backtest(rotating(market()), market(), rebalance=alias, **FREE)


def test_market_names_in_any_case():
    close, weights = market(), rotating(market())
    assert quorex.backtest(weights, close, market="US").fee_ratio == 0.0
    assert quorex.backtest(weights, close, market=" Tw ").fee_ratio == pytest.approx(0.001425)


# Acceptable values of every argument of quorex.backtest (but the weights and the prices).
ACCEPTED = {
    "rebalance": "ME", "trade_at": "close", "fee_ratio": 0.001, "tax_ratio": None, "stop_loss": 0.1,
    "take_profit": None, "trail_stop": 0.2, "touched_exit": False, "position_limit": 0.5,
    "retain_cost_when_rebalance": True, "stop_trading_next_period": False, "excursion_window": 3,
    "excursion_step": 1, "periodically_rebalance": True, "benchmark": pd.Series(1.0, index=DATES),
    "turnover": None, "categories": {"watch": pd.DataFrame(False, index=DATES, columns=["A"])}, "market": "us",
    "bad_prices": "missing", "capital": 1e6, "lot_size": 1000, "min_fee": 20, "price_limit": 0.095,
    "tradable": pd.DataFrame(True, index=DATES, columns=["A"]), "volume": pd.DataFrame(1e5, index=DATES, columns=["A"]),
    "max_participation": 0.1, "slippage": "sqrt", "impact": 0.1, "unfilled": "cancel", "cash_rate": 0.01,
    "borrow_rate": 0.02,
}


def test_the_sweep_check_knows_every_backtest_argument():
    assert set(ACCEPTED) == set(BACKTEST_ARGUMENTS)
    for name, value in ACCEPTED.items():
        check_rule(name, value, {"close"})


@pytest.mark.parametrize("grid, fixed, named", [
    ({"fee_ratio": [0.001, 0.1425]}, {}, "grid fee_ratio=0.1425: fee_ratio=0.1425 means 14.25 %"),
    ({"stop_loss": [0.1, 10]}, {}, "grid stop_loss=10: stop_loss=10 means a fall of 1000 %"),
    ({"position_limit": [1.0]}, {"market": "xx"}, "fixed argument market='xx': market: unknown market 'xx'"),
    ({"rebalance": ["ME", "-1ME"]}, {}, "grid rebalance='-1ME': rebalance='-1ME': the period must be positive"),
    ({"rebalance": ["ME", "h"]}, {}, "grid rebalance='h': rebalance='h' is finer than a day"),
    ({"bad_prices": ["raise", "ignore"]}, {}, "grid bad_prices='ignore': bad_prices must be one of"),
    ({"benchmark": [pd.Series(1.0, index=pd.RangeIndex(3))]}, {}, "benchmark: the index must hold dates"),
])
def test_a_sweep_refuses_a_bad_value_before_any_set_runs(grid, fixed, named):
    calls = []

    def strategy(prices, **_):
        calls.append(1)
        return rotating(prices)

    with pytest.raises(ValueError, match=named.replace("(", r"\(").replace(")", r"\)")):
        quorex.sweep(strategy, market(), grid, progress=False, **fixed)
    assert calls == []

"""Input checks of quorex.backtest on real-data mistakes: clocks, bad prices, costs, stale stocks, markets."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex import DataWarning

DATES = pd.bdate_range("2015-01-01", periods=45)  # starts on a holiday-like Thursday
FREE = {"fee_ratio": 0.0, "tax_ratio": 0.0}


def market(seed: int = 0, columns=("A", "B", "C")) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.001, 0.02, (len(DATES), len(columns)))
    return pd.DataFrame(50 * np.exp(np.cumsum(steps, axis=0)), index=DATES, columns=list(columns))


def monthly_picks(close: pd.DataFrame) -> pd.DataFrame:
    return close.rank(axis=1, ascending=False) <= 2


def localized(frame: pd.DataFrame, zone: str) -> pd.DataFrame:
    return frame.set_axis(frame.index.tz_localize(zone))


@pytest.mark.parametrize("zone", ["Asia/Taipei", "America/New_York"])
def test_tz_aware_inputs_keep_their_calendar_dates(zone):
    close = market()
    naive = quorex.backtest(monthly_picks(close), close, rebalance="W-FRI", market="us", **FREE)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)
        aware = quorex.backtest(
            localized(monthly_picks(close), zone), localized(close, zone), rebalance="W-FRI",
            market="us", **FREE
        )
    assert aware.creturn.index.equals(naive.creturn.index)
    assert aware.creturn.iloc[-1] == pytest.approx(naive.creturn.iloc[-1], rel=1e-12)
    assert aware.rebalance_dates.equals(naive.rebalance_dates)


@pytest.mark.parametrize(
    "price_zone, weight_zone, message",
    [
        ("America/New_York", None, r"prices\['close'\] in America/New_York; weights naive"),
        ("Asia/Taipei", "UTC", "weights in UTC"),
        (None, None, "benchmark in Asia/Taipei"),
    ],
)
def test_mixed_clocks_are_refused(price_zone, weight_zone, message):
    close = market()
    weights = monthly_picks(close)
    benchmark = None if price_zone else localized(close, "Asia/Taipei")["A"]
    if price_zone:
        close = localized(close, price_zone)
    if weight_zone:
        weights = localized(weights, weight_zone)
    with pytest.raises(ValueError, match=message):
        quorex.backtest(weights, close, benchmark=benchmark)


@pytest.mark.parametrize("dtype", [object, "string"])  # text dates as pandas 2 and pandas 3 read them
def test_dates_written_with_an_offset_count_as_that_clock(dtype):
    close = market()
    weights = monthly_picks(close)
    stamps = pd.Index(list(weights.index.strftime("%Y-%m-%dT00:00:00+08:00")), dtype=dtype)
    with pytest.raises(ValueError, match=r"prices\['close'\] naive \(no timezone\); weights in UTC\+08:00"):
        quorex.backtest(weights.set_axis(stamps), close)


def test_clock_other_than_the_markets_warns():
    close = localized(market(), "America/New_York")
    with pytest.warns(DataWarning, match=r"stamped in America/New_York but market 'tw' trades in Asia/Taipei"):
        quorex.backtest(monthly_picks(close), close)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)
        quorex.backtest(monthly_picks(close), close, market="us")


@pytest.mark.parametrize("bad", [0.0, -5.0, np.inf])
def test_bad_prices_are_named_or_treated_as_missing(bad):
    close = market()
    weights = pd.DataFrame(1 / 3, index=DATES, columns=close.columns)
    spoiled = close.copy()
    spoiled.loc[DATES[10], "B"] = bad
    spoiled.loc[DATES[12], "C"] = bad
    with pytest.raises(ValueError, match=r"2 zero, negative or infinite price\(s\): \('B', 2015-01-15\)"):
        quorex.backtest(weights, spoiled, rebalance="W-FRI")
    missing = quorex.backtest(weights, spoiled, rebalance="W-FRI", bad_prices="missing")
    gaps = quorex.backtest(weights, spoiled.replace(bad, np.nan), rebalance="W-FRI")
    pd.testing.assert_series_equal(missing.creturn, gaps.creturn)
    assert np.isfinite(missing.creturn).all()


def test_bad_prices_in_other_fields_and_modes():
    close = market()
    low = close * 0.99
    low.loc[DATES[3]] = 0.0
    weights = pd.DataFrame(0.5, index=DATES, columns=close.columns)
    with pytest.raises(ValueError, match=r"prices\['low'\]: 3 zero"):
        quorex.backtest(weights, {"close": close, "low": low})
    with pytest.raises(ValueError, match="bad_prices must be one of"):
        quorex.backtest(weights, close, bad_prices="drop")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"fee_ratio": -0.01}, "fee_ratio must be 0 or more"),
        ({"tax_ratio": -0.001}, "tax_ratio must be 0 or more"),
        ({"fee_ratio": np.nan}, "fee_ratio must be 0 or more"),
        ({"fee_ratio": 0.1425}, r"fee_ratio=0.1425 means 14.25 % .* for 0.1425 % pass 0.001425"),
        ({"tax_ratio": 0.3}, r"tax_ratio=0.3 means 30 % .* pass 0.003"),
        ({"fee_ratio": "cheap"}, "fee_ratio must be a number"),
        ({"market": "moon"}, r"unknown market 'moon'; use one of \['tw', 'us'\]"),
    ],
)
def test_costs_and_markets_are_checked(kwargs, message):
    close = market()
    with pytest.raises(ValueError, match=message):
        quorex.backtest(monthly_picks(close), close, **kwargs)


@pytest.mark.parametrize(
    "kwargs, fee, tax",
    [
        ({}, 0.001425, 0.003),
        ({"market": "tw"}, 0.001425, 0.003),
        ({"market": "US"}, 0.0, 0.0),
        ({"market": "us", "fee_ratio": 0.0005}, 0.0005, 0.0),
        ({"market": quorex.Market(name="x", fee_ratio=0.001, tax_ratio=0.002)}, 0.001, 0.002),
        ({"market": "tw", "tax_ratio": 0.0}, 0.001425, 0.0),
    ],
)
def test_market_costs_unless_given(kwargs, fee, tax):
    close = market()
    report = quorex.backtest(monthly_picks(close), close, rebalance="W-FRI", **kwargs)
    assert (report.fee_ratio, report.tax_ratio) == (fee, tax)
    explicit = quorex.backtest(monthly_picks(close), close, rebalance="W-FRI", fee_ratio=fee, tax_ratio=tax)
    assert report.creturn.iloc[-1] == explicit.creturn.iloc[-1]


def test_delisted_stock_given_weight_warns_with_its_last_price_date():
    close = market()
    close.loc[DATES[20]:, "C"] = np.nan  # last price on DATES[19]
    weights = pd.DataFrame(1 / 3, index=DATES, columns=close.columns)
    with pytest.warns(DataWarning, match=r"1 symbol\(s\).* 'C' \(last price 2015-01-28, weight on 2015-02-09\)"):
        quorex.backtest(weights, close, rebalance="W-FRI")
    # Weight 0 once it stops: no warning.
    weights.loc[DATES[19]:, "C"] = 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)
        quorex.backtest(weights, close, rebalance="W-FRI")


@pytest.mark.parametrize("n", [1, 3])
def test_runs_shorter_than_the_stale_limit(n):
    close = market().iloc[:n]
    close.iloc[:, 2] = np.nan
    close.iloc[0, 2] = 10.0  # C priced on the first date only
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)  # within the limit: not stale
        report = quorex.backtest(close > 0, close, **FREE)
    assert len(report.creturn) == n


def test_all_missing_price_column_with_weight_is_refused_like_a_missing_one():
    close = market()
    close["C"] = np.nan
    weights = pd.DataFrame(1 / 3, index=DATES, columns=close.columns)
    with pytest.raises(ValueError, match=r"1 symbol\(s\) have weights but no prices \(the close .*'C'"):
        quorex.backtest(weights, close)
    weights["C"] = 0.0
    quorex.backtest(weights, close)  # never held: fine




def test_prepared_prices_run_like_the_prices_they_came_from():
    from quorex.backtest import prepare_prices

    close = market()
    weights = monthly_picks(close)
    prepared = prepare_prices(close)
    a = quorex.backtest(weights, close, rebalance="W-FRI", stop_loss=0.05)
    b = quorex.backtest(weights, prepared, rebalance="W-FRI", stop_loss=0.05)
    assert a.creturn.to_numpy().tobytes() == b.creturn.to_numpy().tobytes()
    pd.testing.assert_frame_equal(a.trades, b.trades)
    # The checks that involve the other inputs still run.
    with pytest.raises(ValueError, match="different timezones"):
        quorex.backtest(localized(weights, "Asia/Taipei"), prepared)
    close.loc[DATES[3]] = 0.0
    with pytest.raises(ValueError, match="zero, negative or infinite"):
        prepare_prices(close)

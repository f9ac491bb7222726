"""Round trips and the summary: rates honoured, undefined figures as n/a, settings shown."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex.roundtrips import round_trips

DATES = pd.bdate_range("2024-01-01", periods=40)
FREE = {"fee_ratio": 0.0, "tax_ratio": 0.0}


def prices(seed: int = 1, n: int = 3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.02, (len(DATES), n))
    return pd.DataFrame(100 * np.exp(np.cumsum(steps, axis=0)), index=DATES, columns=list("ABCDE"[:n]))


def held(columns, weight=1.0) -> pd.DataFrame:
    return pd.DataFrame({c: weight for c in columns}, index=DATES)


@pytest.mark.parametrize("seed", range(4))
def test_round_trip_over_rebalances_follows_the_price_path(seed):
    close = prices(seed)
    report = quorex.backtest(held(["A"]), close, rebalance="W-FRI", **FREE)
    assert len(report.trades) > 3  # one record per week
    trip = report.round_trips
    assert len(trip) == 1 and trip["records"].iloc[0] == len(report.trades)
    row = trip.iloc[0]
    path = close["A"].iloc[row.entry_index:] / close["A"].iloc[row.entry_index]
    assert row["return"] == pytest.approx(path.iloc[-1] - 1, abs=1e-12)
    assert row["return"] == pytest.approx(np.prod(1 + report.trades["return"]) - 1, abs=1e-12)
    assert row["mae"] == pytest.approx(min(path.min() - 1, 0), abs=1e-12)
    assert row["gmfe"] == pytest.approx(max(path.max() - 1, 0), abs=1e-12)
    assert row["max_drawdown"] == pytest.approx((path / path.cummax().clip(lower=1) - 1).min(), abs=1e-12)
    low = path.idxmin()
    assert row["prior_mfe"] == pytest.approx(max(path.loc[:low].max() - 1, 0), abs=1e-12)
    assert row["period"] == report.trades["period"].sum()


def test_round_trips_end_at_a_sale_or_a_change_of_side():
    close = prices(2, 2)
    weights = held(["A", "B"], 0.5)
    weights.loc[DATES[12]:DATES[22], "A"] = 0.0  # sold, bought back later
    weights.loc[DATES[25]:, "B"] = -0.5  # long to short
    report = quorex.backtest(weights, close, rebalance="W-FRI", **FREE)
    trips = report.round_trips
    assert trips.groupby("stock_id").size().to_dict() == {"A": 2, "B": 2}
    assert trips.loc[trips["stock_id"] == "B", "side"].tolist() == ["long", "short"]
    assert trips["records"].sum() == len(report.trades)


def test_round_trip_return_is_nan_when_a_record_has_none():
    trades = pd.DataFrame({
        "stock_id": ["A", "A", "A"], "holding": [0, 0, 1], "position": [1.0, 1.0, 1.0], "period": [5, 5, 5],
        "entry_index": [0, 5, 20], "exit_index": [5, 10, -1],
        "mae": [-0.1, -0.1, 0.0], "gmfe": [0.1, 0.0, 0.2], "prior_mfe": [0.0, 0.0, 0.0],
        "max_drawdown": [-0.1, -0.1, 0.0], "profit_days": [1.0, 0.0, 3.0],
        "return": [0.05, np.nan, 0.1],
    })
    trips = round_trips(trades)
    assert trips["records"].tolist() == [2, 1]
    assert np.isnan(trips["return"].iloc[0]) and trips["return"].iloc[1] == pytest.approx(0.1)
    # The second record's low is at 1.05 * 0.9, below the first record's peak of 1.1.
    assert trips["mae"].iloc[0] == pytest.approx(-0.1)
    assert trips["max_drawdown"].iloc[0] == pytest.approx(1.05 * 0.9 / 1.1 - 1)
    assert round_trips(trades.iloc[:0]).empty


def test_summary_honours_each_rate_and_metrics_keeps_its_contract():
    close = prices(3)
    report = quorex.backtest(close.rank(axis=1) <= 1, close, rebalance="W-FRI")
    first = report.summary()
    high = report.summary(riskfree_rate=0.10)
    again = report.summary()
    assert high.loc["Sharpe ratio", "value"] != first.loc["Sharpe ratio", "value"]
    assert again.loc["Sharpe ratio", "value"] == first.loc["Sharpe ratio", "value"]
    fresh = quorex.backtest(close.rank(axis=1) <= 1, close, rebalance="W-FRI").summary(0.10)
    assert high.loc["Sharpe ratio", "value"] == pytest.approx(fresh.loc["Sharpe ratio", "value"])
    # Metrics covers the whole curve; the summary the period from the first position unless told.
    whole = report.summary(start=report.creturn.index[0])
    assert report.metrics.sharpe_ratio() == pytest.approx(whole.loc["Sharpe ratio", "value"])


def test_summary_after_metrics_fixed_at_another_rate():
    close = prices(3)
    report = quorex.backtest(close.rank(axis=1) <= 1, close, rebalance="W-FRI")
    fixed = report.metrics.sharpe_ratio(0.10)
    default = report.summary().loc["Sharpe ratio", "value"]
    assert default != pytest.approx(fixed) and report.metrics.sharpe_ratio(0.10) == fixed


@pytest.mark.filterwarnings("ignore::quorex.DataWarning")
def test_trades_without_a_return_are_left_out_and_counted():
    close = prices(4, 2)
    close.iloc[5:, 1] = np.nan  # B stops trading: its later records have no fill price
    report = quorex.backtest(held(["A", "B"], 0.5), close, rebalance="W-FRI")
    summary = report.summary()
    missing = int(report.trades["return"].isna().sum())
    assert missing > 0 and summary.loc["Records without a return", "value"] == missing
    trips = report.round_trips
    priced = trips["return"].dropna()
    assert summary.loc["Round trips", "value"] == len(priced)
    assert summary.loc["Win rate (round trips)", "value"] == (priced > 0).mean()
    assert summary.loc["MAE (round trips)", "value"] == pytest.approx(trips.loc[priced.index, "mae"].mean())


def test_undefined_figures_read_n_a():
    close = prices(5)
    report = quorex.backtest(held(["A"], 0.0), close)
    summary = report.summary()
    assert summary.loc["Round trips", "text"] == "0"
    for label in ("Win rate (round trips)", "Profit factor (round trips)", "Expectancy (round trips)",
                  "MAE (round trips)", "MFE (round trips)", "Capacity"):
        assert summary.loc[label, "text"] == "n/a" and np.isnan(summary.loc[label, "value"])


def test_profit_factor_without_a_loss_is_infinite_and_capacity_needs_turnover():
    close = pd.DataFrame({"A": np.linspace(10, 20, len(DATES))}, index=DATES)
    turnover = pd.DataFrame({"A": 1e6}, index=DATES)
    report = quorex.backtest(held(["A"]), close, rebalance="W-FRI", turnover=turnover, **FREE)
    summary = report.summary()
    assert summary.loc["Profit factor (round trips)", "text"] == "inf"
    assert summary.loc["Capacity", "value"] == pytest.approx(report.metrics.capacity())


@pytest.mark.parametrize(
    "kwargs, shown",
    [
        ({}, {"Market": "tw (Asia/Taipei)", "Fee": "0.1425 %", "Tax on sales": "0.3 %", "Stop loss": "off",
              "Rebalance": "when the weights change", "Trade at": "close"}),
        ({"market": "us", "stop_loss": 0.1, "rebalance": "ME"},
         {"Market": "us (America/New_York)", "Fee": "0 %", "Tax on sales": "0 %", "Stop loss": "10 %",
          "Rebalance": "ME", "Exits at": "next trade price"}),
        ({"rebalance": DATES[::10], "trail_stop": 0.05, "fee_ratio": 0.0005},
         {"Rebalance": "on 4 given dates", "Trail stop": "5 %", "Fee": "0.05 %"}),
    ],
)
def test_summary_shows_the_settings_used(kwargs, shown):
    close = prices(6)
    summary = quorex.backtest(held(["A", "B"], 0.5), close, **kwargs).summary()
    assert {label: summary.loc[label, "text"] for label in shown} == shown
    assert list(summary.index[:3]) == ["Market", "Fee", "Tax on sales"]

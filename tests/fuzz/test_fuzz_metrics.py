"""Fuzzing metrics.Metrics: all 44 accessors over hostile report objects."""

from __future__ import annotations

import datetime as dt
import types

import numpy as np
import pandas as pd
from fuzz_inputs import assert_same_outcome, attempt, budget, poisoned_twice, prices, same_bits, weights
from hypothesis import event, given
from hypothesis import strategies as st

from quorex.core import metrics

ACCESSORS = [
    "start_date", "end_date", "version", "fee_ratio", "tax_ratio", "trade_at", "market", "freq", "expired",
    "update_date", "next_trading_date", "current_rebalance_date", "next_rebalance_date",
    "live_performance_start", "stop_loss", "take_profit", "trail_stop", "annual_return", "alpha", "beta",
    "avg_n_stock", "max_n_stock", "max_drawdown", "avg_drawdown", "avg_drawdown_days", "value_at_risk",
    "cvalue_at_risk", "sharpe_ratio", "sortino_ratio", "calmar_ratio", "volatility", "profit_factor",
    "tail_ratio", "win_rate", "m12_win_rate", "expectancy", "mae", "mfe", "capacity", "disposal_stock_ratio",
    "warning_stock_ratio", "full_delivery_stock_ratio", "buy_high", "sell_low",
]  # fmt: skip
WITH_RATE = {
    "annual_return", "max_drawdown", "avg_drawdown", "avg_drawdown_days", "sharpe_ratio", "sortino_ratio",
    "calmar_ratio", "volatility", "m12_win_rate",
}  # fmt: skip
# Results that read the clock or the local data cache.
UNSTABLE = {"expired"}
CATEGORIES = ["處置股", "警示股", "全額交割股", "buy_high", "sell_low"]
TRADE_COLUMNS = ["return", "mae", "gmfe", "position", "turnover@entry_date", "turnover@exit_date"]


def test_the_accessor_list_is_complete():
    assert len(ACCESSORS) == 44 and all(callable(getattr(metrics.Metrics, name)) for name in ACCESSORS)


@st.composite
def date_indexes(draw, size: int):
    kind = draw(st.sampled_from(["daily", "daily", "intraday", "unsorted", "duplicates", "tz", "range"]))
    if kind == "range":
        return pd.RangeIndex(size)
    offsets = sorted(draw(st.lists(st.integers(0, 800), min_size=size, max_size=size, unique=kind != "duplicates")))
    if kind == "unsorted":
        offsets = offsets[::-1]
    unit = "h" if kind == "intraday" else "D"
    index = pd.Timestamp("2020-01-01") + pd.to_timedelta(offsets, unit=unit)
    return index.tz_localize("Asia/Taipei") if kind == "tz" else index


@st.composite
def curves(draw):
    size = draw(st.integers(0, 40))
    values = draw(st.lists(prices(), min_size=size, max_size=size))
    return pd.Series(values, index=draw(date_indexes(size)), dtype=float)


@st.composite
def trade_tables(draw):
    rows = draw(st.integers(0, 6))
    columns = draw(st.lists(st.sampled_from(TRADE_COLUMNS), unique=True, max_size=len(TRADE_COLUMNS)))
    return pd.DataFrame({c: draw(st.lists(weights(), min_size=rows, max_size=rows)) for c in columns},
                        index=range(rows), dtype=float)


figures = st.one_of(weights(), st.none(), st.text(max_size=2))
liquidity_tables = st.one_of(
    st.none(),
    st.dictionaries(
        st.sampled_from(CATEGORIES),
        st.one_of(st.fixed_dictionaries({"entry": figures, "exit": figures}),
                  st.dictionaries(st.sampled_from(["entry", "exit", "x"]), figures, max_size=2)),
        max_size=5,
    ),
    st.just([1, 2]),
)
dates = st.one_of(
    st.none(), st.just(False), st.just("2024-01-01"),
    st.integers(0, 2000).map(lambda d: pd.Timestamp("2020-01-01") + pd.Timedelta(d, "D")),
    st.just(dt.datetime(2024, 5, 2, tzinfo=dt.timezone.utc)),
)  # fmt: skip
settings_values = st.one_of(st.none(), weights(), st.text(max_size=3), st.just(object()))


class Market:
    def get_name(self):
        return "tw_stock"

    def get_freq(self):
        return "1d"


@st.composite
def named(draw):
    name = draw(dates)
    return None if draw(st.booleans()) else pd.Series([0.1], name=name)


@st.composite
def reports(draw):
    creturn = draw(curves())
    fields = dict(
        creturn=creturn,
        benchmark=draw(st.one_of(st.just(creturn * 1.01), curves())),
        position=draw(st.one_of(
            st.none(),
            st.integers(0, 5).flatmap(lambda n: st.lists(
                st.lists(weights(), min_size=3, max_size=3), min_size=n, max_size=n)).map(
                lambda rows: pd.DataFrame(rows, columns=list("abc"), dtype=float)),
        )),
        trades=draw(st.one_of(trade_tables(), trade_tables(), st.none())),
        liquidity=draw(liquidity_tables),
        fee_ratio=draw(settings_values), tax_ratio=draw(settings_values),
        stop_loss=draw(settings_values), take_profit=draw(settings_values), trail_stop=draw(settings_values),
        trade_at=draw(st.one_of(st.sampled_from(["open", "close", ""]), st.none(), st.integers())),
        market=draw(st.sampled_from([Market(), None, "tw_stock"])),
        update_date=draw(dates), next_trading_date=draw(dates), live_performance_start=draw(dates),
        weights=draw(named()), next_weights=draw(named()),
    )  # fmt: skip
    missing = draw(st.lists(st.sampled_from(sorted(fields)), unique=True, max_size=2))
    for name in missing:
        del fields[name]
    return types.SimpleNamespace(**fields)


rates = st.sampled_from([None, 0.0, 0.05, float("nan"), "x", (), -1])


def call_all(report, rate):
    """Every accessor once on one Metrics object, with the default rate and `rate`."""
    m = metrics.Metrics(report)
    outcomes = {}
    for name in ACCESSORS:
        accessor = getattr(m, name)
        outcomes[name] = attempt(accessor)
        if name in WITH_RATE:
            outcomes[name + "(rate)"] = attempt(lambda: accessor(rate))
        again = attempt(accessor)
        assert again.error is outcomes[name].error
        if again.error is None:
            # The one-entry result cache hands out the stored object.
            assert again.result is outcomes[name].result or name in WITH_RATE
    return outcomes


@budget(ci=25, long=2_500)
@given(reports(), rates)
def test_accessors_on_hostile_reports(report, rate):
    first, second = poisoned_twice(lambda: call_all(report, rate))
    assert first.error is None, first
    for name, outcome in first.result.items():
        if name in ("annual_return", "alpha", "value_at_risk", "capacity", "win_rate"):
            event(f"{name}: {outcome.error.__name__ if outcome.error else 'value'}")
        if name not in UNSTABLE:
            assert_same_outcome(outcome, second.result[name])


@budget(ci=50, long=5_000)
@given(curves(), curves())
def test_module_functions(s, benchmark):
    for call in (
        lambda: metrics.daily_return(s),
        lambda: metrics.calc_cagr(s),
        lambda: metrics.calculate_alpha_beta(s, benchmark),
        lambda: metrics.safe_division(len(s), s.iloc[0] if len(s) else 0),
    ):
        first, second = poisoned_twice(call)
        assert first.error is second.error
        if first.error is None and not isinstance(first.result, pd.Series):
            assert same_bits(first.result, second.result)

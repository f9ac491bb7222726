"""quorex.core.metrics: the 44 accessors of Metrics."""

from __future__ import annotations

import datetime as dt
import inspect
import math
import types

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex import data
from quorex.core import metrics
from quorex.core.metrics import Metrics

from metrics_support import capacity_trades

RATE_DOC = "riskfree_rate (float): Risk-free rate for calculations"

# name, docstring summary, Returns: entry, takes riskfree_rate
ACCESSORS = [
    ("start_date", "Get the start date of the backtest as timestamp.", "float: Start date timestamp", False),
    ("end_date", "Get the end date of the backtest as timestamp.", "float: End date timestamp", False),
    ("version", "Get the quorex version used for the backtest.", "str: Quorex version", False),
    ("fee_ratio", "Get the fee ratio used in the backtest.", "float: Fee ratio", False),
    ("tax_ratio", "Get the tax ratio used in the backtest.", "float: Tax ratio", False),
    ("trade_at", "Get the trade timing used in the backtest.", "str: Trade timing ('open' or other)", False),
    ("market", "Get the market name used in the backtest.", "str: Market name", False),
    ("freq", "Get the frequency used in the backtest.", "str: Frequency", False),
    ("expired", "Get the expired time as timestamp.", "float: Expired time timestamp", False),
    ("update_date", "Get the update date as timestamp.", "float: Update date timestamp", False),
    ("next_trading_date", "Get the next trading date as timestamp.", "float: Next trading date timestamp", False),
    ("current_rebalance_date", "Get the current rebalance date as timestamp.",
     "float or None: Current rebalance date timestamp or None", False),
    ("next_rebalance_date", "Get the next rebalance date as timestamp.",
     "float or None: Next rebalance date timestamp or None", False),
    ("live_performance_start", "Get the live performance start date as timestamp.",
     "float or None: Live performance start timestamp or None", False),
    ("stop_loss", "Get the stop loss setting.", "float or None: Stop loss value or None", False),
    ("take_profit", "Get the take profit setting.", "float or None: Take profit value or None", False),
    ("trail_stop", "Get the trail stop setting.", "float or None: Trail stop value or None", False),
    ("annual_return", "Get the annual return (CAGR).", "float: Annual return", True),
    ("alpha", "Get the alpha value.", "float: Alpha value", False),
    ("beta", "Get the beta value.", "float: Beta value", False),
    ("avg_n_stock", "Get the average number of stocks.", "float: Average number of stocks", False),
    ("max_n_stock", "Get the maximum number of stocks.", "float: Maximum number of stocks", False),
    ("max_drawdown", "Get the maximum drawdown.", "float: Maximum drawdown", True),
    ("avg_drawdown", "Get the average drawdown.", "float: Average drawdown", True),
    ("avg_drawdown_days", "Get the average drawdown days.", "float: Average drawdown days", True),
    ("value_at_risk", "Get the Value at Risk (VaR).", "float: Value at Risk", False),
    ("cvalue_at_risk", "Get the Conditional Value at Risk (CVaR).", "float: Conditional Value at Risk", False),
    ("sharpe_ratio", "Get the Sharpe ratio.", "float: Sharpe ratio", True),
    ("sortino_ratio", "Get the Sortino ratio.", "float: Sortino ratio", True),
    ("calmar_ratio", "Get the Calmar ratio.", "float: Calmar ratio", True),
    ("volatility", "Get the volatility.", "float: Volatility", True),
    ("profit_factor", "Get the profit factor.", "float: Profit factor", False),
    ("tail_ratio", "Get the tail ratio.", "float: Tail ratio", False),
    ("win_rate", "Get the win rate.", "float: Win rate", False),
    ("m12_win_rate", "Get the 12-month win rate.", "float: 12-month win rate", True),
    ("expectancy", "Get the expectancy.", "float: Expectancy", False),
    ("mae", "Get the Maximum Adverse Excursion (MAE).", "float: MAE", False),
    ("mfe", "Get the Maximum Favorable Excursion (MFE).", "float: MFE", False),
    ("capacity", "Get the capacity.", "float: Capacity", False),
    ("disposal_stock_ratio", "Get the disposal stock ratio.", "float: Disposal stock ratio", False),
    ("warning_stock_ratio", "Get the warning stock ratio.", "float: Warning stock ratio", False),
    ("full_delivery_stock_ratio", "Get the full delivery stock ratio.", "float: Full delivery stock ratio", False),
    ("buy_high", "Get the buy high ratio.", "float: Buy high ratio", False),
    ("sell_low", "Get the sell low ratio.", "float: Sell low ratio", False),
]


def test_accessor_order():
    public = [name for name in vars(Metrics) if not name.startswith("_")]
    assert public == [row[0] for row in ACCESSORS]


@pytest.mark.parametrize(("name", "summary", "returns", "takes_rate"), ACCESSORS, ids=[r[0] for r in ACCESSORS])
def test_accessor_wrapper(name, summary, returns, takes_rate):
    wrapper = vars(Metrics)[name]
    args = f"        Args:\n            {RATE_DOC}\n            \n" if takes_rate else ""
    assert wrapper.__doc__ == f"{summary}\n        \n{args}        Returns:\n            {returns}\n        "
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (name, f"Metrics.{name}",
                                                                              "quorex.core.metrics")
    assert wrapper.cache_parameters() == {"maxsize": 1, "typed": False}
    params = inspect.signature(getattr(Metrics(None), name)).parameters
    assert list(params) == (["riskfree_rate"] if takes_rate else [])
    if takes_rate:
        assert params["riskfree_rate"].default == 0.02
    with pytest.raises(TypeError):
        getattr(Metrics(None), name)(1, 2)
    with pytest.raises(TypeError):
        getattr(Metrics(None), name)(bogus=1)


# -- settings and calendar ----------------------------------------------------


class Market:
    def get_name(self):
        return "tw_stock"

    def get_freq(self):
        return "1d"


def test_settings_are_returned_as_stored():
    stop = object()
    report = types.SimpleNamespace(fee_ratio=0.001425, tax_ratio=0.003, stop_loss=stop, take_profit=None,
                                   trail_stop=0.1, market=Market(),
                                   update_date=pd.Timestamp("2024-05-01"),
                                   next_trading_date=dt.datetime(2024, 5, 2, tzinfo=dt.timezone.utc))
    m = Metrics(report)
    assert (m.fee_ratio(), m.tax_ratio(), m.take_profit(), m.trail_stop()) == (0.001425, 0.003, None, 0.1)
    assert m.stop_loss() is stop
    assert (m.market(), m.freq()) == ("tw_stock", "1d")
    assert m.update_date() == pd.Timestamp("2024-05-01", tz="UTC").timestamp()
    assert m.next_trading_date() == dt.datetime(2024, 5, 2, tzinfo=dt.timezone.utc).timestamp()
    assert m.version() == quorex.__version__


def test_start_and_end_date_are_cached_per_instance():
    creturn = pd.Series([1.0, 1.1, 1.2], index=pd.to_datetime(["2021-03-01", "2021-03-02", "2021-03-05"]))
    report = types.SimpleNamespace(creturn=creturn)
    m = Metrics(report)
    first = m.start_date()
    assert first == creturn.index[0].to_pydatetime().timestamp()
    assert m.end_date() == creturn.index[-1].to_pydatetime().timestamp()
    report.creturn = creturn.iloc[1:]
    assert m.start_date() is first
    Metrics(report).start_date()
    assert m.start_date() == creturn.index[1].to_pydatetime().timestamp()
    with pytest.raises(IndexError):
        Metrics(types.SimpleNamespace(creturn=pd.Series([], dtype=float))).end_date()


@pytest.mark.parametrize(("value", "expected"), [("open", "open"), ("close_then", "close_then"), (None, "open"),
                                                 (3, "open")])
def test_trade_at(value, expected):
    assert Metrics(types.SimpleNamespace(trade_at=value)).trade_at() == expected


@pytest.mark.parametrize(("weights", "expected"), [
    (None, None),
    (pd.Series([0.5], name=None), None),
    (pd.Series([0.5], name=""), None),
    (pd.Series([0.5], name="2024-05-01"), None),
    (pd.Series([0.5], name=pd.Timestamp("2024-05-01")), pd.Timestamp("2024-05-01").timestamp()),
])
def test_rebalance_dates(weights, expected):
    report = types.SimpleNamespace(weights=weights, next_weights=weights)
    assert Metrics(report).current_rebalance_date() == expected
    assert Metrics(report).next_rebalance_date() == expected


@pytest.mark.parametrize(("start", "expected"), [(None, None), (False, None),
                                                 (pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-02").timestamp())])
def test_live_performance_start(start, expected):
    assert Metrics(types.SimpleNamespace(live_performance_start=start)).live_performance_start() == expected


# -- returns and risk ---------------------------------------------------------


def test_value_at_risk_of_monthly_returns():
    levels = np.cumprod([1.0, 0.9, 0.98, 1.03, 1.05])
    creturn = pd.Series(levels, index=pd.to_datetime(["2020-01-01", "2020-01-31", "2020-02-29", "2020-03-31",
                                                      "2020-04-30"]))
    m = Metrics(types.SimpleNamespace(creturn=creturn))
    np.testing.assert_allclose(m._ensure_monthly_return_calculated(), [-0.10, -0.02, 0.03, 0.05])
    assert m.value_at_risk() == pytest.approx(-0.088)
    assert m.cvalue_at_risk() == pytest.approx(-0.10)
    single = Metrics(None)
    single._monthly_return = pd.Series([0.02], index=pd.to_datetime(["2020-01-31"]))
    assert single.value_at_risk() == 0.02 and math.isnan(single.cvalue_at_risk())


def test_monthly_return_labels_month_ends():
    creturn = pd.Series(np.linspace(1, 1.5, 70), index=pd.date_range("2020-01-10", periods=70))
    monthly = Metrics(types.SimpleNamespace(creturn=creturn))._ensure_monthly_return_calculated()
    assert list(monthly.index) == list(pd.to_datetime(["2020-01-31", "2020-02-29", "2020-03-31"]))
    np.testing.assert_allclose(monthly, [creturn["2020-01-31"] - 1, creturn["2020-02-29"] / creturn["2020-01-31"] - 1,
                                         creturn.iloc[-1] / creturn["2020-02-29"] - 1])


@pytest.mark.parametrize(("version", "rule"), [("2.2.0", "ME"), ("3.0.0", "ME"), ("2.1.4", "M"), ("2.10.0", "M")])
def test_month_end_rule_follows_version_text(monkeypatch, version, rule):
    seen = []

    class Returns:
        def __add__(self, other):
            return self

        def resample(self, how):
            seen.append(how)
            return self

        def prod(self):
            return self

        def subtract(self, other):
            return "monthly"

    monkeypatch.setattr(metrics, "pd", types.SimpleNamespace(__version__=version))
    monkeypatch.setattr(metrics, "daily_return", lambda s: Returns())
    assert Metrics(types.SimpleNamespace(creturn=None))._ensure_monthly_return_calculated() == "monthly"
    assert seen == [rule]


def test_alpha_beta_with_late_benchmark():
    idx = pd.date_range("2020-01-01", periods=6)
    creturn = pd.Series([1.0, 1.01, 0.99, 1.02, 1.03, 1.01], index=idx)
    benchmark = pd.Series([1.0, 1.01, 1.03, 1.02], index=idx[2:])
    m = Metrics(types.SimpleNamespace(creturn=creturn, benchmark=benchmark))
    strategy = creturn.pct_change()
    bench = benchmark.pct_change().reindex(idx).fillna(0)
    assert list(bench.iloc[:3]) == [0, 0, 0]
    expected = metrics.calculate_alpha_beta(strategy, bench)
    assert m.beta() == pytest.approx(expected[1]) and m.alpha() == pytest.approx(expected[0])
    assert m._alpha_beta == (m.alpha(), m.beta())


def test_pair_accessors_unpack_exactly_two():
    m = Metrics(None)
    m._var_cvar = iter([1, 2])
    assert m.cvalue_at_risk() == 2
    m = Metrics(None)
    m._alpha_beta = (1, 2, 3)
    with pytest.raises(ValueError):
        m.alpha()


def test_stock_counts():
    position = pd.DataFrame([[0.0, 0.3, np.nan], [0.0, 0.0, 0.0], [0.2, 0.1, 0.0], [0.0, 0.0, 0.0]])
    m = Metrics(types.SimpleNamespace(position=position))
    assert list(m._ensure_position_nstocks_calculated()) == [2, 0, 2, 0]
    assert m.avg_n_stock() == 1.0 and m.max_n_stock() == 2
    other = Metrics(None)
    other._position_nstocks = np.array([1, 4, 2])
    assert other.max_n_stock() == 4


# -- trades -------------------------------------------------------------------


def trades(**columns) -> types.SimpleNamespace:
    return types.SimpleNamespace(trades=pd.DataFrame(columns))


@pytest.mark.parametrize(("returns", "expected"), [([], 1), ([0.1, 0.2], 0), ([0.1, -0.05, 0.0], 2.0)])
def test_profit_factor(returns, expected):
    result = Metrics(trades(**{"return": returns})).profit_factor()
    assert result == expected and isinstance(result, type(expected))


def test_trade_figures():
    m = Metrics(trades(**{"return": [0.1, 0.0, -0.2], "mae": [-0.1, -0.2, -0.3], "gmfe": [0.3, 0.1, 0.2],
                          "mfe": [9.0, 9.0, 9.0]}))
    assert m.win_rate() == pytest.approx(1 / 3) and m.expectancy() == pytest.approx(-0.1 / 3)
    assert m.mae() == pytest.approx(-0.2) and m.mfe() == pytest.approx(0.2)
    with_nan = Metrics(trades(**{"return": [0.1, np.nan]}))
    assert with_nan.win_rate() == 0.5 and with_nan.expectancy() == pytest.approx(0.1)


def test_no_trades_give_integer_zero_without_reading_columns():
    m = Metrics(trades())
    assert [m.win_rate(), m.expectancy(), m.mae(), m.mfe()] == [0, 0, 0, 0]
    assert all(type(v) is int for v in (m.win_rate(), m.mfe()))


def test_tail_ratio():
    creturn = pd.Series(np.cumprod(np.r_[1.0, [0.01, -0.02] * 20] + 1), index=pd.date_range("2020-01-01", periods=41))
    daily = creturn.pct_change()
    m = Metrics(types.SimpleNamespace(creturn=creturn))
    assert m.tail_ratio() == pytest.approx(abs(daily.quantile(0.95) / daily.quantile(0.05)))
    flat = pd.Series(np.r_[1.0, np.full(20, 1.0), 1.1], index=pd.date_range("2020-01-01", periods=22))
    assert type(Metrics(types.SimpleNamespace(creturn=flat)).tail_ratio()) is int


# -- liquidity ------------------------------------------------------------------


def test_capacity():
    assert Metrics(types.SimpleNamespace(trades=capacity_trades())).capacity() == pytest.approx(220_000)
    no_turnover = Metrics(trades(position=[0.5]))
    assert no_turnover.capacity() == 0 and type(no_turnover.capacity()) is int
    m = Metrics(types.SimpleNamespace(trades=capacity_trades()))
    assert m._calc_capacity(0.1) == pytest.approx(440_000)
    with pytest.raises(KeyError):
        Metrics(trades(**{"turnover@entry_date": [1.0], "position": [0.5]})).capacity()


RATIOS = [("disposal_stock_ratio", "處置股"), ("warning_stock_ratio", "警示股"),
          ("full_delivery_stock_ratio", "全額交割股"), ("buy_high", "buy_high"), ("sell_low", "sell_low")]
NAN = float("nan")


@pytest.mark.parametrize(("name", "key"), RATIOS)
@pytest.mark.parametrize(("entry", "exit_"), [(0.2, 0.5), (0.5, 0.2), (0.3, 0.3), (NAN, 0.3), (0.3, NAN)])
def test_category_ratios(name, key, entry, exit_):
    value = getattr(Metrics(types.SimpleNamespace(liquidity={key: {"entry": entry, "exit": exit_}})), name)()
    first, second = (exit_, entry) if name == "disposal_stock_ratio" else (entry, exit_)
    expected = second if second > first else first
    assert value is expected


@pytest.mark.parametrize(("name", "key"), RATIOS)
def test_absent_category_is_integer_zero(name, key):
    result = getattr(Metrics(types.SimpleNamespace(liquidity={"other": {}})), name)()
    assert result == 0 and type(result) is int
    with pytest.raises(TypeError):
        getattr(Metrics(types.SimpleNamespace(liquidity={key: {"entry": 1.0, "exit": "x"}})), name)()


# -- expiry -------------------------------------------------------------------


class Storage(data.FileStorage):
    def __init__(self, expiries):
        super().__init__("/nonexistent")
        self._cache = dict.fromkeys(expiries)
        self.expiries = expiries

    def get_time_expired(self, name):
        return self.expiries[name]


def test_expired_is_the_earliest_expiry(monkeypatch):
    early = dt.datetime(2030, 1, 1, tzinfo=dt.timezone.utc)
    monkeypatch.setattr(data, "_storage", Storage({"a": early + dt.timedelta(days=3), "b": early}))
    assert Metrics(None).expired() == early.timestamp()


def test_expired_without_known_expiry_is_now(monkeypatch):
    monkeypatch.setattr(data, "_storage", Storage({"a": None}))
    before = dt.datetime.now(dt.timezone.utc).timestamp()
    assert before <= Metrics(None).expired() <= dt.datetime.now(dt.timezone.utc).timestamp()


@pytest.mark.parametrize("storage", [types.SimpleNamespace(_cache={"a": 1}), Storage({})])
def test_expired_is_empty_text_when_unknown(monkeypatch, storage):
    monkeypatch.setattr(data, "_storage", storage)
    m = Metrics(None)
    assert m.expired() == "" and m._expired_time == ""


def test_expired_mixed_naive_and_aware_raises(monkeypatch):
    monkeypatch.setattr(data, "_storage", Storage({"a": dt.datetime(2030, 1, 1), "b": None}))
    m = Metrics(None)
    with pytest.raises(TypeError):
        m.expired()
    assert m._expired_time is None


# -- odd reports never crash ----------------------------------------------------

EMPTY = pd.Series([], dtype=float, index=pd.DatetimeIndex([]))
ODD_REPORTS = {
    "none": None,
    "no attributes": types.SimpleNamespace(),
    "empty": types.SimpleNamespace(creturn=EMPTY, benchmark=EMPTY, position=pd.DataFrame(), trades=pd.DataFrame(),
                                   liquidity={}, market=None, weights=None, next_weights=None,
                                   live_performance_start=None),
    "nan": types.SimpleNamespace(creturn=pd.Series(np.nan, index=pd.date_range("2020-01-01", periods=5)),
                                 benchmark=pd.Series(np.nan, index=pd.date_range("2020-01-01", periods=5)),
                                 position=pd.DataFrame([[np.nan]]), liquidity={"buy_high": {"entry": NAN}},
                                 trades=pd.DataFrame({"return": [NAN], "position": [0.0],
                                                      "turnover@entry_date": [NAN], "turnover@exit_date": [1.0]})),
    "wrong types": types.SimpleNamespace(creturn=[1, 2, 3], benchmark="x", position=5, trades=object(),
                                         liquidity=3, market=1, update_date="2020", next_trading_date=None,
                                         weights=types.SimpleNamespace(name=pd.Timestamp("2020-01-01")),
                                         next_weights=7, live_performance_start="yes", trade_at=b"open"),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("report", ODD_REPORTS.values(), ids=ODD_REPORTS.keys())
def test_odd_reports_raise_or_return(report):
    m = Metrics(report)
    for name, *_ in ACCESSORS:
        try:
            getattr(m, name)()
        except Exception:  # noqa: BLE001 - any Python exception is acceptable here
            pass
    for name in [n for n in vars(Metrics) if n.startswith("_ensure") or n == "_calc_capacity"]:
        try:
            getattr(m, name)()
        except Exception:  # noqa: BLE001
            pass


def test_curve_dates_read_naive_labels_as_local_time(monkeypatch):
    import time

    monkeypatch.setenv("TZ", "Asia/Taipei")
    time.tzset()
    try:
        day = pd.Timestamp("2020-01-01")
        m = Metrics(types.SimpleNamespace(creturn=pd.Series([1.0, 2.0], index=[day, day + pd.Timedelta(1, "D")]),
                                          update_date=day))
        assert m.start_date() == day.timestamp() - 8 * 3600
        assert m.update_date() == day.timestamp()
    finally:
        monkeypatch.undo()
        time.tzset()

"""quorex.core.metrics: module functions, the class and its caches."""

from __future__ import annotations

import inspect
import math
import types

import numpy as np
import pandas as pd
import pytest

from quorex.core import metrics
from quorex.core.metrics import Metrics

from metrics_support import capacity_trades, series



# -- module -------------------------------------------------------------------


def test_module_top_level_order():
    names = [n for n in vars(metrics) if not n.startswith("__")]
    assert names == ["lru_cache", "pd", "np", "datetime", "quorex", "data", "daily_return", "safe_division",
                     "calc_cagr", "calculate_alpha_beta", "Metrics"]
    import functools
    import quorex
    import quorex.data

    assert metrics.lru_cache is functools.lru_cache
    assert (metrics.pd, metrics.np, metrics.quorex, metrics.data) == (pd, np, quorex, quorex.data)


@pytest.mark.parametrize(("name", "qualname", "params"), [
    ("daily_return", "<lambda>", ["s"]),
    ("safe_division", "safe_division", ["n", "d"]),
    ("calc_cagr", "<lambda>", ["s"]),
    ("calculate_alpha_beta", "calculate_alpha_beta", ["creturn", "benchmark"]),
])
def test_function_names_and_parameters(name, qualname, params):
    function = getattr(metrics, name)
    assert (function.__qualname__, function.__module__) == (qualname, "quorex.core.metrics")
    assert list(inspect.signature(function).parameters) == params
    with pytest.raises(TypeError):
        function(*range(len(params) + 1))
    with pytest.raises(TypeError):
        function(**{p: 1 for p in params}, extra=1)


def test_daily_return_keeps_last_value_per_day():
    index = pd.to_datetime(["2020-01-01 09:00", "2020-01-01 15:00", "2020-01-02 10:00", "2020-01-03 10:00",
                            "2020-01-04 10:00"])
    result = metrics.daily_return(pd.Series([1.0, 1.1, 1.21, np.nan, 1.331], index=index))
    assert list(result.index) == list(pd.to_datetime(["2020-01-01", "2020-01-02", "2020-01-04"]))
    assert math.isnan(result.iloc[0])
    np.testing.assert_allclose(result.iloc[1:], [0.1, 0.1])


@pytest.mark.parametrize(("n", "d", "expected"), [(5, 2, 2.5), (5, 0, 0), (5, 0.0, 0), (5, None, 0), (5, False, 0)])
def test_safe_division(n, d, expected):
    result = metrics.safe_division(n, d)
    assert result == expected and type(result) is type(expected)


def test_safe_division_nan_denominator_and_ambiguous_truth():
    assert math.isnan(metrics.safe_division(1.0, float("nan")))
    with pytest.raises(ValueError):
        metrics.safe_division(1, pd.Series([1.0, 2.0]))


def test_calc_cagr():
    two_dates = pd.Series([np.nan, 0.1], index=pd.to_datetime(["2020-01-01", "2021-01-01"]))
    assert metrics.calc_cagr(two_dates) == pytest.approx(1.1 ** (365.25 / 366) - 1, rel=1e-15)
    assert metrics.calc_cagr(pd.Series([], dtype=float)) == 0 and type(metrics.calc_cagr(series([0.1]))) is int
    same_day = pd.Series([0.1, 0.2], index=pd.to_datetime(["2020-01-01 01:00", "2020-01-01 05:00"]))
    assert metrics.calc_cagr(same_day) == 0.0 and isinstance(metrics.calc_cagr(same_day), float)


def test_alpha_beta_leading_nan_is_skipped_by_covariance_only():
    c = series([np.nan, 0.01, -0.02, 0.03, 0.0])
    b = series([0.0, 0.02, -0.01, 0.01, 0.01])
    alpha, beta = metrics.calculate_alpha_beta(c, b)
    # covariance over the last four rows (0.00055 / 3); variance over all five (0.00052 / 4)
    assert beta == pytest.approx((0.00055 / 3) / (0.00052 / 4))
    cagr_c = (1.01 * 0.98 * 1.03) ** (365.25 / 4) - 1
    cagr_b = (1.02 * 0.99 * 1.01 * 1.01) ** (365.25 / 4) - 1
    assert alpha == pytest.approx(cagr_c - beta * cagr_b)
    alpha, beta = metrics.calculate_alpha_beta(b, b)
    assert (alpha, beta) == (pytest.approx(0.0), pytest.approx(1.0))


def test_module_functions_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(metrics, "safe_division", lambda n, d: 1.0)
    assert metrics.calc_cagr(series([0.1, 0.1])) == pytest.approx(1.1 * 1.1 - 1)
    monkeypatch.delattr(metrics, "safe_division")
    with pytest.raises(NameError, match="safe_division"):
        metrics.calc_cagr(series([0.1, 0.1]))


# -- class --------------------------------------------------------------------


def test_class_is_plain():
    assert type(Metrics) is type and Metrics.__bases__ == (object,)
    assert (Metrics.__module__, Metrics.__qualname__) == ("quorex.core.metrics", "Metrics")
    assert Metrics.__doc__ == (
        "Metrics class providing individual access to backtest performance metrics.\n    \n    This class provides "
        "individual methods for accessing various backtest metrics\n    while maintaining the same calculation "
        "logic as the original get_metrics() method.\n")
    assert Metrics.__init__.__doc__ == ("Initialize Metrics with a Report instance.\n        \n        Args:\n"
                                        "            report: The Report instance containing backtest data\n")
    assert list(inspect.signature(Metrics).parameters) == ["report"]


def test_constructor_sets_report_then_empty_caches():
    m = Metrics(None)
    assert list(vars(m).items()) == [("report", None)] + [
        (name, None) for name in ("_stats", "_alpha_beta", "_position_nstocks", "_monthly_return", "_var_cvar",
                                  "_tail_ratio", "_profit_factor", "_liquidity", "_expired_time")]
    assert Metrics(report=1).report == 1
    for bad in ((), (1, 2)):
        with pytest.raises(TypeError):
            Metrics(*bad)
    with pytest.raises(TypeError):
        Metrics(rep=1)
    with pytest.raises(AttributeError, match="creturn"):
        m.start_date()


@pytest.mark.parametrize(("name", "doc", "param", "default"), [
    ("_ensure_stats_calculated", "Ensure statistics are calculated and cached.", "riskfree_rate", 0.02),
    ("_ensure_alpha_beta_calculated", "Ensure alpha and beta are calculated and cached.", None, None),
    ("_ensure_position_nstocks_calculated", "Ensure position number of stocks is calculated and cached.", None, None),
    ("_ensure_monthly_return_calculated", "Ensure monthly return is calculated and cached.", None, None),
    ("_ensure_var_cvar_calculated", "Ensure VaR and CVaR are calculated and cached.", None, None),
    ("_ensure_tail_ratio_calculated", "Ensure tail ratio is calculated and cached.", None, None),
    ("_ensure_profit_factor_calculated", "Ensure profit factor is calculated and cached.", None, None),
    ("_ensure_liquidity_calculated", "Ensure liquidity metrics are calculated and cached.", None, None),
    ("_ensure_expired_time_calculated", "Ensure expired time is calculated and cached.", None, None),
    ("_calc_capacity", "Calculate capacity metric.", "percentage_of_volume", 0.05),
])
def test_internal_methods(name, doc, param, default):
    method = getattr(Metrics(None), name)
    assert (method.__doc__, method.__qualname__) == (doc, f"Metrics.{name}")
    params = inspect.signature(method).parameters
    assert list(params) == ([param] if param else [])
    if param:
        assert params[param].default == default
    with pytest.raises(TypeError):
        method(1, 2)
    with pytest.raises(TypeError):
        method(bogus=1)


def test_instance_cache_keeps_first_rate(monkeypatch):
    creturn = series(np.cumprod(1 + np.random.default_rng(1).normal(0.0005, 0.01, 400)))
    report = types.SimpleNamespace(creturn=creturn)
    m = Metrics(report)
    first = m._ensure_stats_calculated(0.0)
    assert m._ensure_stats_calculated(0.05) is first
    assert first["daily_sharpe"] == Metrics(report)._ensure_stats_calculated(0.0)["daily_sharpe"]
    assert first["daily_sharpe"] != Metrics(report)._ensure_stats_calculated(0.05)["daily_sharpe"]
    # the rate of whichever accessor fills the statistics wins
    fresh = Metrics(report)
    assert fresh.sharpe_ratio(0.05) == Metrics(report).sharpe_ratio(riskfree_rate=0.05)
    assert fresh.annual_return() == first["cagr"]
    assert fresh._stats["daily_sharpe"] == Metrics(report)._ensure_stats_calculated(0.05)["daily_sharpe"]
    later = Metrics(report)
    later.annual_return()
    assert later.sharpe_ratio(0.05) == Metrics(report)._ensure_stats_calculated(0.02)["daily_sharpe"]


def test_none_is_the_only_empty_cache():
    report = types.SimpleNamespace(liquidity=None)
    m = Metrics(report)
    assert m._ensure_liquidity_calculated() is None
    report.liquidity = {"buy_high": {"entry": 0.1, "exit": 0.2}}
    assert m._ensure_liquidity_calculated() is report.liquidity
    report.liquidity = {}
    assert m._ensure_liquidity_calculated() == {"buy_high": {"entry": 0.1, "exit": 0.2}}
    m._tail_ratio = 0
    assert m.tail_ratio() == 0


class CountingReport:
    """A report whose trade table counts how often it is read."""

    def __init__(self, trades: pd.DataFrame) -> None:
        self._trades = trades
        self.reads = 0

    @property
    def trades(self) -> pd.DataFrame:
        self.reads += 1
        return self._trades


def test_result_cache_one_entry_shared_by_instances():
    a, b = CountingReport(capacity_trades()), CountingReport(capacity_trades())
    ma, mb = Metrics(a), Metrics(b)
    first = ma.capacity()
    assert first == pytest.approx(220_000) and ma.capacity() is first
    reads = a.reads
    mb.capacity()
    again = ma.capacity()
    assert again == first and again is not first and a.reads == 2 * reads
    # the key is the arguments exactly as passed; the rate goes on positionally
    m = Metrics(None)
    calls = []
    m._ensure_stats_calculated = lambda *args: calls.append(args) or {"daily_sharpe": len(calls)}
    assert [m.sharpe_ratio(), m.sharpe_ratio(), m.sharpe_ratio(0.02), m.sharpe_ratio(riskfree_rate=0.02),
            m.sharpe_ratio(riskfree_rate=0.02)] == [1, 1, 2, 3, 3]
    assert calls == [(0.02,)] * 3
    with pytest.raises(TypeError):
        m.sharpe_ratio([0.02])


def test_exceptions_are_not_cached():
    report = types.SimpleNamespace()
    m = Metrics(report)
    with pytest.raises(AttributeError):
        m.fee_ratio()
    report.fee_ratio = 0.001425
    assert m.fee_ratio() == 0.001425
    assert m._stats is None
    with pytest.raises(AttributeError):
        m.sharpe_ratio()
    assert m._stats is None


def test_reinitialisation_is_refused(monkeypatch):
    import importlib
    import sys

    monkeypatch.delitem(sys.modules, "quorex.core.metrics")
    with pytest.raises(ImportError, match="Re-initialisation is not supported"):
        importlib.import_module("quorex.core.metrics")

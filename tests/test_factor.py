"""Signal analysis: every figure against a plain per-date pandas/SciPy computation, and the inputs
read as the backtest reads them."""

from __future__ import annotations

import re
import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.stats

import quorex
from quorex import factor as qf
from quorex.io.synthetic import synthetic_market
from quorex.research.factor import ranks
from quorex.research.factor.quantiles import quantile_codes


@pytest.fixture(scope="module")
def market() -> dict[str, pd.DataFrame]:
    prices = synthetic_market(n_stocks=40, years=1, seed=5)
    prices.pop("turnover")
    return prices


@pytest.fixture(scope="module")
def momentum(market) -> pd.DataFrame:
    """A factor with holes, a constant day, a day with one name, and ties."""
    close = market["close"]
    factor = (close / close.shift(10) - 1).round(3)  # rounding makes ties
    factor.iloc[30] = 0.5
    factor.iloc[31, 1:] = np.nan
    factor.iloc[40:45, :7] = np.nan
    return factor


def forward_reference(trade: pd.DataFrame, period: int) -> pd.DataFrame:
    """Bought at the next date's price, valued ``period`` dates later at the last price known then."""
    return trade.ffill().shift(-1 - period) / trade.shift(-1) - 1


def per_date(first: pd.DataFrame, second: pd.DataFrame, correlate) -> pd.Series:
    out = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # constant input
        for date in first.index:
            x, y = first.loc[date], second.loc[date]
            known = x.notna() & y.notna()
            out[date] = correlate(x[known], y[known]).statistic if known.sum() >= 2 else np.nan
    return pd.Series(out)


@pytest.mark.parametrize("trade_at", ["close", "open"])
def test_forward_returns_are_what_a_backtest_earns_holding_the_name(market, trade_at):
    fwd = qf.forward_returns(market, periods=(1, 5), trade_at=trade_at)
    trade = market[trade_at]
    for period in (1, 5):
        pd.testing.assert_frame_equal(fwd[period], forward_reference(trade, period), check_freq=False,
                                      check_index_type=False)
    # A signal on date 20 held for 5 dates, in the backtest with its own timing and no costs.
    dates, symbol = trade.index, trade.columns[3]
    weights = pd.DataFrame(0.0, index=dates[[20, 25]], columns=trade.columns)
    weights.loc[dates[20], symbol] = 1.0
    # Forward returns know no price limit; nor does this backtest.
    report = quorex.backtest(weights, market, trade_at=trade_at, fee_ratio=0, tax_ratio=0, price_limit=False)
    held = report.creturn.iloc[26] / report.creturn.iloc[20] - 1  # all in cash until the purchase
    assert fwd[5].loc[dates[20], symbol] == pytest.approx(held, rel=1e-12)


def test_a_price_gap_is_left_out_at_the_purchase_and_carried_at_the_sale():
    dates = pd.bdate_range("2024-01-01", periods=6)
    close = pd.DataFrame({"A": [10.0, 11.0, np.nan, 12.0, np.nan, np.nan]}, index=dates)
    fwd = qf.forward_returns(close, periods=(1, 2))
    assert np.isnan(fwd[1].iloc[1, 0])  # no price on the buying date
    assert fwd[1].iloc[0, 0] == 0.0  # bought at 11, no price on the selling date: carried at 11
    assert fwd[2].iloc[0, 0] == pytest.approx(12.0 / 11.0 - 1)
    assert fwd[1].iloc[2, 0] == 0.0 and fwd[2].iloc[2, 0] == 0.0  # bought at 12, carried to the end
    assert fwd[2].iloc[3:].isna().all().all() and fwd[1].iloc[4:].isna().all().all()  # past the data


@pytest.mark.parametrize("method, correlate", [("spearman", scipy.stats.spearmanr),
                                               ("pearson", scipy.stats.pearsonr)])
def test_information_coefficient_equals_a_per_date_scipy_computation(market, momentum, method, correlate):
    ic = qf.information_coefficient(momentum, market, periods=(1, 5), method=method)
    fwd = qf.forward_returns(market, periods=(1, 5))
    for period in (1, 5):
        expected = per_date(momentum, fwd[period], correlate)
        np.testing.assert_allclose(ic[period].to_numpy(), expected.to_numpy(), rtol=0, atol=1e-12)
    day = momentum.index
    assert np.isnan(ic.loc[day[30]]).all() and np.isnan(ic.loc[day[31]]).all()  # constant, one name
    assert ic.iloc[:10].isna().all().all()  # no factor yet
    assert ic.iloc[12].notna().all()


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("ties", [False, True])
def test_rank_correlation_equals_the_pandas_route(seed, ties, monkeypatch):
    rng = np.random.default_rng(seed)
    first, second = rng.standard_normal((2, 60, 50))
    if ties:
        first, second = np.round(first), np.round(second * 3)
    first[rng.random(first.shape) < 0.15] = np.nan
    second[rng.random(second.shape) < 0.15] = np.nan
    second[7] = 1.0  # a row that does not vary
    a, b = pd.DataFrame(first), pd.DataFrame(second)
    expected = a.where(b.notna()).rank(axis=1).corrwith(b.where(a.notna()).rank(axis=1), axis=1)
    monkeypatch.setattr(ranks, "BLOCK_CELLS", 7 * 50)  # blocks of 7 rows: results do not depend on them
    got = ranks.rank_correlation(first, [second, first])
    np.testing.assert_allclose(got[:, 0], expected.to_numpy(), rtol=0, atol=1e-12)
    known = ~np.isnan(first)
    assert np.allclose(got[known.sum(axis=1) >= 2, 1], 1.0)


@pytest.mark.parametrize("values", [
    "normal", "ties", "next floats", "signed zeros and tiny", "wide",
])
def test_ranks_equal_scipys_average_ranks(values):
    rng = np.random.default_rng(7)
    panel = rng.standard_normal((9, 300))
    if values == "ties":
        panel = np.round(panel)
    elif values == "next floats":
        # Neighbours a few units in the last place apart, the larger one first: a sort that
        # looks at the high bits only would put them in column order.
        base = np.repeat(rng.standard_normal((9, 150)), 2, axis=1)
        panel = base + np.tile([4, 0], 150) * np.spacing(base)
    elif values == "signed zeros and tiny":
        panel = rng.choice([-0.0, 0.0, 5e-324, -5e-324, 1e-310, -1.0, 1.0], size=(9, 300))
    elif values == "wide":
        panel = rng.standard_normal((3, 70_000))  # past the packed sort's width
    panel[rng.random(panel.shape) < 0.2] = np.nan
    expected = scipy.stats.rankdata(panel, axis=1, nan_policy="omit")
    got = ranks.doubled_ranks(panel)
    np.testing.assert_array_equal(got, np.nan_to_num(2 * expected).astype(np.int64))


def test_quantiles_follow_average_ranks(momentum):
    codes = quantile_codes(momentum.to_numpy(), 5)
    ranked = momentum.rank(axis=1)
    expected = np.ceil(5 * ranked.div(momentum.count(axis=1), axis=0)).fillna(0)
    expected.iloc[[30, 31]] = 0  # constant days order nothing
    np.testing.assert_array_equal(codes, expected.to_numpy())


def reference_quantile_means(factor: pd.DataFrame, returns: pd.DataFrame, quantiles: int) -> pd.DataFrame:
    """Per date and quantile, the plain mean of the returns, through a long table and groupby."""
    codes = np.ceil(quantiles * factor.rank(axis=1).div(factor.count(axis=1), axis=0))
    codes = codes.where(factor.nunique(axis=1) > 1, axis=0)
    long = pd.DataFrame({"q": codes.stack(), "r": returns.reindex_like(codes).stack()}).dropna()
    return long.groupby([long.index.get_level_values(0), "q"])["r"].mean().unstack()


def test_quantile_returns_equal_a_groupby(market, momentum):
    table = qf.quantile_returns(momentum, market, quantiles=4, periods=(1, 5))
    fwd = qf.forward_returns(market, periods=(1, 5))
    for period in (1, 5):
        means = reference_quantile_means(momentum, fwd[period], 4)
        np.testing.assert_allclose(table[period].iloc[:4].to_numpy(), means.mean().to_numpy(), rtol=1e-12)
        spread = (means[4.0] - means[1.0]).mean()
        assert table.loc["top minus bottom", period] == pytest.approx(spread, rel=1e-12)


def test_quantile_equity_compounds_the_daily_quantile_means(market, momentum):
    weekly = momentum.iloc[::5]  # sparse factor dates: each basket is kept until the next
    equity = qf.quantile_equity(weekly, market, quantiles=3)
    dates = market["close"].index
    held = weekly.reindex(dates, method="ffill")  # each date: the whole latest factor row
    means = reference_quantile_means(held, qf.forward_returns(market, 1)[1], 3)
    first = dates.get_loc(means.index[0])
    daily = means.reindex(dates[first: len(dates) - 2]).fillna(0.0)
    growth = (1 + daily).cumprod()
    assert equity.index[0] == dates[first + 1] and (equity.iloc[0] == 1).all()
    np.testing.assert_allclose(equity.iloc[1:].to_numpy(), growth.to_numpy(), rtol=1e-12)
    assert (equity.index[1:] == dates[first + 2:]).all()


def test_turnover_counts_the_names_that_arrived(momentum):
    turnover = qf.factor_turnover(momentum, quantiles=5)
    codes = np.ceil(5 * momentum.rank(axis=1).div(momentum.count(axis=1), axis=0))
    codes = codes.where(momentum.nunique(axis=1) > 1, axis=0)
    for t in (12, 25, 32, 46):
        for q in range(1, 6):
            now = set(codes.columns[codes.iloc[t] == q])
            before = set(codes.columns[codes.iloc[t - 1] == q])
            expected = len(now - before) / len(now) if now else np.nan
            assert turnover.iloc[t, q - 1] == pytest.approx(expected, nan_ok=True), (t, q)
    assert turnover.iloc[0].isna().all() and turnover.iloc[30].isna().all()


def test_autocorrelation_and_ic_summary(market, momentum):
    auto = qf.factor_autocorrelation(momentum)
    expected = per_date(momentum.iloc[1:], momentum.shift(1).iloc[1:], scipy.stats.spearmanr)
    np.testing.assert_allclose(auto.iloc[1:].to_numpy(), expected.to_numpy(), atol=1e-12)
    assert np.isnan(auto.iloc[0])
    summary = qf.ic_summary(momentum, market, periods=(1, 5))
    ic = qf.information_coefficient(momentum, market, periods=(1, 5))
    for period, lags in ((1, 0), (5, 4)):
        values = ic[period].dropna().to_numpy()
        n, mean = len(values), values.mean()
        gamma = [np.sum((values[k:] - mean) * (values[:n - k] - mean)) / n for k in range(lags + 1)]
        long_run = gamma[0] + 2 * sum((1 - k / (lags + 1)) * gamma[k] for k in range(1, lags + 1))
        column = summary[period]
        assert column["mean"] == pytest.approx(mean) and column["std"] == pytest.approx(values.std(ddof=1))
        assert column["icir"] == pytest.approx(mean / values.std(ddof=1))
        assert column["t_stat"] == pytest.approx(mean / np.sqrt(long_run * n / (n - 1) / n))
        assert column["positive"] == pytest.approx((values > 0).mean()) and column["dates"] == n
    plain = scipy.stats.ttest_1samp(ic[1].dropna(), 0.0).statistic
    assert summary.loc["t_stat", 1] == pytest.approx(plain)


def test_factor_dates_meet_the_trades_the_backtest_would_make(market):
    close = market["close"]
    factor = close.pct_change(5, fill_method=None)
    friday = next(i for i in range(20, 40) if close.index[i].day_of_week == 4)
    saturday = close.index[friday] + pd.DateOffset(days=1)
    moved = factor.set_axis(close.index.where(close.index != close.index[friday], saturday))
    expected = qf.information_coefficient(factor, market, periods=3)
    pd.testing.assert_frame_equal(qf.information_coefficient(moved, market, periods=3), expected, check_freq=False)
    # A row stamped in the evening is its date's row; two stamps of one date are refused.
    evening = factor.iloc[[25]].set_axis([close.index[20] + pd.DateOffset(hours=20)])
    replaced = factor.iloc[:21].copy()
    replaced.iloc[20] = factor.iloc[25]
    got = qf.information_coefficient(pd.concat([factor.iloc[:20], evening]), market, periods=3)
    pd.testing.assert_frame_equal(got, qf.information_coefficient(replaced, market, periods=3), check_freq=False)
    with pytest.raises(ValueError, match=f"factor: duplicate dates: 2 rows fall on {close.index[20].date()}"):
        qf.information_coefficient(pd.concat([factor.iloc[:21], evening]), market, periods=3)


def test_factor_report_gathers_the_same_tables(market, momentum):
    report = qf.factor_report(momentum, market, periods=(1, 5), quantiles=4)
    same = dict(check_freq=False)
    pd.testing.assert_frame_equal(report.ic, qf.information_coefficient(momentum, market, periods=(1, 5)), **same)
    pd.testing.assert_frame_equal(report.quantile_returns, qf.quantile_returns(momentum, market, 4, (1, 5)))
    pd.testing.assert_frame_equal(report.quantile_equity, qf.quantile_equity(momentum, market, 4), **same)
    pd.testing.assert_frame_equal(report.turnover, qf.factor_turnover(momentum, 4), **same)
    assert report.periods == (1, 5) and "4 quantiles" in repr(report)
    page = report.to_html()
    assert page.count("<svg") == 5 and "<h2>Information coefficient" in page and "<script" not in page


def test_inputs_are_refused_with_the_backtests_messages(market, momentum):
    bad = market["close"].copy()
    bad.iloc[3, 2] = 0.0
    with pytest.raises(ValueError) as backtest_error:
        quorex.backtest(momentum > 0, bad)
    for call in (lambda: qf.information_coefficient(momentum, bad), lambda: qf.forward_returns(bad)):
        with pytest.raises(ValueError, match=re.escape(str(backtest_error.value))):
            call()
    assert not qf.information_coefficient(momentum, bad, bad_prices="missing").empty
    with pytest.raises(ValueError, match="trade_at='open' needs an 'open' price frame"):
        qf.forward_returns(market["close"], trade_at="open")


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda f: f.mask(f.index.to_series() == f.index[12], np.inf, axis=0),
         r"factor: 40 infinite value\(s\): \('1101', 2016-01-20\): inf"),
        (lambda f: f.rename(columns=lambda s: f"X{s}"), "no symbol of the factor has prices"),
        (lambda f: f.set_axis(pd.bdate_range("1990-01-01", periods=len(f))), "no date within the prices' dates"),
        (lambda f: f.astype(object).where(f.notna(), "n/a"), "factor must be numeric"),
        (lambda f: f.tz_localize("UTC"), "dates in different timezones"),
    ],
)
def test_bad_factors_are_refused(market, momentum, change, message):
    with pytest.raises(ValueError, match=message):
        qf.information_coefficient(change(momentum), market)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, m: qf.information_coefficient(f, m, periods=(0, 5)), "periods must be whole numbers"),
        (lambda f, m: qf.information_coefficient(f, m, periods=(5, 5)), "each period once"),
        (lambda f, m: qf.information_coefficient(f, m, method="kendall"), "method must be one of"),
        (lambda f, m: qf.quantile_returns(f, m, quantiles=1), "quantiles must be a whole number"),
        (lambda f, m: qf.factor_turnover(f, quantiles=2.5), "quantiles must be a whole number"),
    ],
)
def test_bad_settings_are_refused(market, momentum, call, message):
    with pytest.raises(ValueError, match=message):
        call(momentum, market)


def test_symbols_without_prices_are_left_out_with_a_warning(market, momentum):
    extra = momentum.assign(ZZZ=1.0)
    with pytest.warns(quorex.DataWarning, match=r"factor: 1 symbol\(s\) have factor values but no prices.*'ZZZ'"):
        got = qf.information_coefficient(extra, market, periods=1)
    pd.testing.assert_frame_equal(got, qf.information_coefficient(momentum, market, periods=1))

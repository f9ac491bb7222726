"""The HTML pages: decimation, one set of figures on every page, the costs paid, and the markup."""

from __future__ import annotations

import copy
import re
import types
import warnings

import numpy as np
import pandas as pd
import pytest

from quorex import demo, figures, tearsheet
from quorex.pages import charts, series

REPORT_SECTIONS = [
    "Headline figures", "Confidence bands", "Equity and drawdowns", "Monthly and yearly returns",
    "Rolling six months", "Against the benchmark", "Trades", "Turnover", "Exposure and holdings",
    "Best and worst trades",
]


@pytest.fixture(scope="module")
def report():
    return demo.run_demo(n_stocks=40, years=3)


@pytest.fixture(scope="module")
def page(report) -> str:
    return report.to_html(title="Momentum <test> & co")


def with_table(report, **tables):
    """A copy of ``report`` with some of its tables replaced (the tables built from them rebuilt)."""
    changed = copy.copy(report)
    changed.__dict__.pop("round_trips", None)
    changed._metrics_by_rate = {}
    changed._metrics = None
    for name, table in tables.items():
        setattr(changed, name, table)
    return changed


def external_references(text: str) -> list[str]:
    """Every URL the page would load that is not inline data."""
    urls = re.findall(r'(?:src|href)\s*=\s*["\']([^"\']+)["\']', text)
    urls += re.findall(r"url\(\s*['\"]?([^'\")]+)", text)
    return [u for u in urls if not u.startswith(("data:", "#"))]


@pytest.mark.parametrize("length, max_points", [(10, 2_000), (5_000, 2_000), (100_003, 2_000), (997, 40)])
@pytest.mark.parametrize("with_gaps", [False, True])
def test_decimate_keeps_extremes_and_ends(length, max_points, with_gaps):
    rng = np.random.default_rng(length)
    values = np.cumsum(rng.normal(size=length))
    if with_gaps:
        values[rng.random(length) < 0.1] = np.nan
    series = pd.Series(values, index=pd.date_range("2000-01-03", periods=length, freq="h"))
    thin = charts.decimate(series, max_points)
    assert len(thin) <= max_points
    assert thin.index.is_monotonic_increasing and thin.index.is_unique
    assert thin.index[0] == series.index[0] and thin.index[-1] == series.index[-1]
    assert thin.max() == series.max() and thin.min() == series.min()
    # every kept point is the series' own value on that date
    pd.testing.assert_series_equal(thin, series.loc[thin.index])
    if length > max_points:
        # every point has a kept point at least as high (and one as low) within one bucket's width
        width = -(-length // ((max_points - 2) // 2))
        kept = series.where(series.index.isin(thin.index)).reset_index(drop=True)
        window = kept.rolling(2 * width - 1, center=True, min_periods=1)
        plain = series.reset_index(drop=True)
        assert (window.max().fillna(np.inf) >= plain).where(plain.notna(), True).all()
        assert (window.min().fillna(-np.inf) <= plain).where(plain.notna(), True).all()


def test_drawdown_periods_find_peak_trough_and_recovery():
    dates = pd.bdate_range("2020-01-01", periods=12)
    equity = pd.Series([1.0, 1.1, 0.99, 0.88, 1.1, 1.2, 1.14, 1.2, 1.3, 1.04, 1.17, 1.25], index=dates)
    periods = series.drawdown_periods(equity, count=5)
    assert list(periods["depth"].round(6)) == [-0.2, -0.2, -0.05]
    first, second, third = periods.itertuples()
    assert (first.start, first.trough, first.recovery, first.days) == (dates[1], dates[3], dates[4], 3)
    # the last fall has not recovered: no recovery date, its length runs to the end
    assert (second.start, second.trough, pd.isna(second.recovery), second.days) == (dates[8], dates[9], True, 3)
    assert (third.start, third.trough, third.recovery) == (dates[5], dates[6], dates[7])
    assert series.drawdown_periods(pd.Series([1.0, 1.1, 1.2], index=dates[:3])).empty


def test_monthly_table_compounds_each_month_from_the_previous_month_end():
    dates = pd.bdate_range("2021-11-15", "2022-02-28")
    monthly = {(2021, 11): 0.10, (2021, 12): -0.05, (2022, 1): 0.02, (2022, 2): 0.03}
    steps = pd.Series([monthly[(d.year, d.month)] for d in dates], index=dates)
    # spread each month's return over its dates so the month compounds to it exactly
    days = steps.groupby([dates.year, dates.month]).transform("size")
    level = (1.0 + steps) ** (1.0 / days)
    level = level.cumprod() / level.iloc[0]
    grid = series.monthly_table(level)
    first_month = (1.10 ** (1 / days.iloc[0])) ** (days.iloc[0] - 1) - 1  # the first date is the base
    assert grid.loc[2021, 11] == pytest.approx(first_month)
    assert grid.loc[2021, 12] == pytest.approx(-0.05)
    assert grid.loc[2022, [1, 2]].tolist() == pytest.approx([0.02, 0.03])
    assert grid.loc[2022, "year"] == pytest.approx(1.02 * 1.03 - 1)
    assert grid.loc[2022, 5:12].isna().all()


def headline(page: str) -> dict[str, tuple[str, str]]:
    """The headline table of a page: label → (strategy text, benchmark text)."""
    table = page[page.index("<h2>Headline figures"):]
    table = table[: table.index("</table>")]
    return {label: (ours, theirs) for label, ours, theirs in
            re.findall(r"<tr><th>([^<]+)</th><td>([^<]*)</td><td>([^<]*)</td></tr>", table)}


def test_one_set_of_figures_on_the_summary_the_sweep_and_the_page(report, page):
    import quorex

    rows = headline(page)
    summary = report.summary()
    prices = demo.synthetic_market(n_stocks=40, years=3)
    turnover = prices.pop("turnover")
    result = quorex.sweep(demo.momentum_weights(prices["close"]), prices, {"stop_loss": [demo.STOP_LOSS]},
                          rebalance="ME", turnover=turnover, market=quorex.Market(name="synthetic"), progress=False)
    row = result.table.loc[0]
    for label, name in [("Annual return", "annual_return"), ("Sharpe ratio", "sharpe_ratio"),
                        ("Max drawdown", "max_drawdown")]:
        assert row[name] == pytest.approx(summary.loc[label, "value"], rel=1e-12), label
        assert rows[label][0] == summary.loc[label, "text"] == figures.format_figure(row[name], "ratio" if
                                                                                     "ratio" in name else "percent")
    assert row["trades"] == summary.loc["Round trips", "value"]
    assert row["win_rate"] == summary.loc["Win rate (round trips)", "value"]
    # The benchmark's column: the same function on the benchmark over the strategy's dates.
    theirs = figures.curve_figures(report.benchmark_on(report.period().curve(report.creturn).index))
    for label, (name, kind) in figures.CURVE_LABELS.items():
        assert rows[label][1] == figures.format_figure(theirs[name], kind), label
    assert rows["Round trips"][1] == "n/a"


def test_the_cost_section_sums_what_the_engine_charged(report, page):
    costs = report.costs
    assert costs.to_numpy().sum() == pytest.approx(report.trades[["fee_paid", "tax_paid"]].to_numpy().sum())
    section = page[page.index("<h3>Costs paid"):]
    cells = re.findall(r"<td[^>]*>([^<]*)</td>", section[: section.index("</table>")])
    assert cells[:3] == [f"{costs['fee'].sum():.2%}", *cells[1:3]]
    assert cells[6] == f"{costs.to_numpy().sum():.2%}"
    assert "Estimated" not in section[: section.index("</p>")]


def test_report_page_has_every_section_in_order(page, report):
    positions = [page.find(f"<h2>{name}") for name in REPORT_SECTIONS]
    assert -1 not in positions and positions == sorted(positions)
    assert page.count("<svg") == 9
    assert external_references(page) == []
    assert "<script" not in page
    assert "Momentum &lt;test&gt; &amp; co" in page and "<test>" not in page
    assert f"<th>Round trips</th><td>{len(report.round_trips)}</td>" in page
    assert "stop loss: 10 %" in page and "rebalance: ME" in page  # the rules, in the header
    assert f"{len(report.round_trips):,} round trips ({len(report.trades):,} trade records" in page


@pytest.mark.parametrize("with_fills", [True, False])
def test_exit_reasons_and_fills_when_the_trades_have_them(report, with_fills):
    trades = report.trades
    if not with_fills:
        trades = trades.drop(columns=["exit_reason", "entry_price", "exit_price"])
    page = tearsheet.report_html(with_table(report, trades=trades))
    assert ("<h3>Exit reasons" in page) == with_fills
    assert ("<th>exit price</th>" in page) == with_fills
    if with_fills:
        table = series.exit_reason_table(trades)
        assert table["trades"].sum() == len(trades) and (table["trades"] > 0).all()
        stopped = trades["exit_reason"] == "stop_loss"
        assert table.loc["stop_loss", "average_return"] == pytest.approx(trades.loc[stopped, "return"].mean())
        assert table.loc["stop_loss", "contribution"] == pytest.approx(
            (trades.loc[stopped, "position"].abs() * trades.loc[stopped, "return"]).sum())


def test_to_html_writes_the_page(tmp_path, report):
    path = tmp_path / "r.html"
    text = report.to_html(path, benchmark_name="universe")
    assert path.read_text(encoding="utf-8") == text
    assert "<th>universe</th>" in text


def _sweep(sets: int = 12) -> tuple[pd.DataFrame, pd.DataFrame, types.SimpleNamespace]:
    rng = np.random.default_rng(5)
    table = pd.DataFrame({
        "lookback": np.repeat([20, 60, 120], sets // 3), "top_n": np.tile(range(5, 5 + sets // 3), 3),
        **{name: rng.normal(size=sets) for name in figures.SWEEP_FIGURES},
        "error": None,
    })
    table["dsr"] = rng.uniform(size=sets)
    returns = pd.DataFrame(rng.normal(0.0005, 0.01, (300, sets)), index=pd.bdate_range("2020-01-01", periods=300))
    pbo = types.SimpleNamespace(pbo=0.25, logits=rng.normal(size=40), in_sample=rng.normal(size=40),
                                out_of_sample=rng.normal(size=40))
    return table, returns, pbo


def test_sweep_page_sorted_by_the_chosen_figure():
    table, returns, pbo = _sweep()
    page = tearsheet.sweep_html(table, returns, by="calmar_ratio", pbo=pbo)
    first_row = re.search(r"<tbody><tr><th[^>]*>(\d+)</th>", page).group(1)
    assert int(first_row) == table["calmar_ratio"].idxmax()
    for heading in ("All sets", "calmar_ratio over lookback and top_n", "Overfitting",
                    "Deflated Sharpe ratio", "Equity of the best 10 sets"):
        assert f"<h2>{heading}" in page
    assert 'class="sortable"' in page and "<script>" in page
    assert external_references(page) == []
    assert "<h2>Overfitting" not in tearsheet.sweep_html(table, returns)


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(by="nope"), "by='nope' is not a column"),
        (dict(params=["lookback", "window"]), "['window'] are not columns"),
        (dict(returns_columns=list("abcdefghijkl")), "no column for sets"),
    ],
)
def test_sweep_page_rejects_bad_arguments(change, message):
    table, returns, _ = _sweep()
    if "returns_columns" in change:
        table.index = list("mnopqrstuvwx")
        returns.columns = change.pop("returns_columns")
    with pytest.raises(ValueError, match=re.escape(message)):
        tearsheet.sweep_html(table, returns, **change)


@pytest.mark.parametrize("case", ["no trades", "five dates", "no benchmark"])
def test_degenerate_runs_still_make_a_whole_page(case, report):
    from quorex import backtest
    from quorex.io.synthetic import synthetic_market

    close = synthetic_market(n_stocks=5, years=1, seed=3)["close"]
    if case == "no trades":
        run = backtest(close * 0 > 1, close)
    elif case == "five dates":
        run = backtest((close > 0).iloc[:5], close.iloc[:5])
    else:
        run = with_table(report, benchmark=pd.Series(dtype=np.float64, index=pd.DatetimeIndex([])))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        page = run.to_html()
    relative = "Against the benchmark"
    assert all(f"<h2>{name}" in page for name in REPORT_SECTIONS[:-1] if name != relative)
    assert (f"<h2>{relative}" in page) == (case != "no benchmark")
    assert ("No trades." in page) == (case == "no trades")

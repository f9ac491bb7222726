"""Backtests compared: each column is that backtest's summary, the correlation that of its days."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex import demo, figures
from quorex.io.synthetic import synthetic_market


@pytest.fixture(scope="module")
def reports() -> dict[str, quorex.Report]:
    market = synthetic_market(n_stocks=30, years=2, seed=8)
    market.pop("turnover")
    close = market["close"]
    return {
        "monthly": quorex.backtest(demo.momentum_weights(close, top_n=8), market, rebalance="ME"),
        "weekly, late": quorex.backtest(demo.momentum_weights(close.iloc[100:], lookback=40, top_n=5),
                                        {k: v.iloc[100:] for k, v in market.items()}, rebalance="W-FRI"),
    }


def test_columns_are_the_summaries_and_the_correlation_is_over_shared_days(reports):
    comparison = quorex.compare(reports, riskfree_rate=0.01)
    for name, report in reports.items():
        summary = report.summary(0.01)
        pd.testing.assert_series_equal(comparison.text[name], summary["text"], check_names=False)
        shown = summary.loc[summary.index.isin(list(figures.FIGURE_LABELS)), "value"]
        pd.testing.assert_series_equal(comparison.figures[name], shown, check_names=False)
    daily = {name: r.creturn.pct_change().iloc[1:] for name, r in reports.items()}
    first, second = daily.values()
    shared = first.index.intersection(second.index)
    expected = np.corrcoef(first.loc[shared], second.loc[shared])[0, 1]
    assert comparison.correlation.loc["monthly", "weekly, late"] == pytest.approx(expected, rel=1e-12)
    assert np.diag(comparison.correlation).tolist() == [1.0, 1.0]
    assert comparison.equity["weekly, late"].index[0] >= reports["weekly, late"].creturn.index[0]


def test_the_page_draws_every_backtest(reports):
    page = quorex.compare(reports).to_html(title="Two <momentum> runs")
    assert page.count("<svg") == 2 and "Two &lt;momentum&gt; runs" in page
    assert all(name in page for name in reports) and "<h2>Correlation of daily returns" in page


@pytest.mark.parametrize("given, error, message", [
    ({}, ValueError, "give a mapping of names to reports"),
    ([("a", None)], ValueError, "give a mapping of names to reports"),
    ({"a": "not a report"}, TypeError, "'a' is a str, not a backtest's Report"),
])
def test_bad_arguments_are_refused(given, error, message):
    with pytest.raises(error, match=message):
        quorex.compare(given)


def test_names_must_differ_as_text(reports):
    report = next(iter(reports.values()))
    with pytest.raises(ValueError, match="the names must differ as text"):
        quorex.compare({1: report, "1": report})

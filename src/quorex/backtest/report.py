"""The result of a backtest: equity curve, trades, positions and figures."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from functools import cached_property
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import pandas as pd

from quorex.backtest.period import Period, measured_period
from quorex.figures import RISKFREE_RATE, unfilled_share

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from quorex.core.metrics import Metrics

DEFAULT_RISKFREE_RATE = RISKFREE_RATE


class ReportSource(Protocol):
    """Builds a report's tables from a finished run when they are first asked for."""

    def benchmark(self) -> pd.Series: ...

    def trades(self) -> pd.DataFrame: ...

    def position(self, trades: pd.DataFrame) -> pd.DataFrame: ...

    def liquidity(self, trades: pd.DataFrame) -> dict[str, Mapping[str, float]]: ...

    def stock_operations(self) -> tuple[pd.Series, pd.Series, pd.DataFrame]: ...

    def rebalance_dates(self) -> pd.DatetimeIndex: ...

    def excursions(self) -> np.ndarray: ...

    def costs(self) -> pd.DataFrame: ...

    def first_position(self) -> pd.Timestamp | None: ...

    def carry(self) -> pd.DataFrame: ...

    def unfilled(self) -> pd.DataFrame: ...

    def execution_totals(self) -> tuple[float, float]: ...

@dataclass(kw_only=True, eq=False, repr=False)
class Report:
    """A finished backtest.

    The equity curve is ready when the backtest returns; every table below
    is built from the run on first access and then kept.

    Attributes
    ----------
    creturn : Series
        Equity after each trading date, in units of the starting capital.
    benchmark : Series
        The benchmark's level (given, or the universe's equal-weight
        buy-and-hold).
    position : DataFrame
        Held weights, dates × symbols: each trade's weight (as a fraction of
        equity when it was opened or last rebalanced) from its entry date
        until its exit date, 0 when not held. Weights are the targets
        applied, not drifted market values.
    trades : DataFrame
        One row per trade: "stock_id", "entry_date", "exit_date",
        "entry_signal_date", "exit_signal_date" (NaT while open), "position",
        "period" (trading dates held), "entry_index", "exit_index" (-1 while
        open), the excursion figures "mae", "gmfe", "prior_mfe",
        "max_drawdown", "profit_days" (fractions of the entry value, after
        costs), "return", the fills "entry_price" and "exit_price" (the last
        price for a trade still open), "exit_reason" ("rebalance",
        "stop_loss", "take_profit", "trail_stop", or "open" while held), and
        "turnover@entry_date"/"turnover@exit_date" when turnover was given,
        "fee_paid", "tax_paid" and "slippage_paid" (what the record paid, in
        units of the starting capital, in currency with a ``capital``; the
        slippage is in the fill prices), "shares" with a ``capital`` (the
        most the record held, negative for a short) and "holding" (shared by the records of one
        continuous holding, numbered in the order the holdings were opened).
        "return" is realised at the fills net of costs: with x = exit_price /
        entry_price, f = fee_ratio when the entry paid costs and c =
        fee_ratio + tax_ratio when the exit did (0 otherwise), a long trade
        returns (1 - f) * x * (1 - c) - 1 and a short one (1 - f) - x * (1 + c).
        With the default settings a position held through a rebalance is
        split there into two trades; the split itself pays no costs. With a
        ``capital`` "return" is in money: (shares * (exit_price -
        entry_price) - fee_paid - tax_paid) / (|shares| * entry_price).
    liquidity : dict
        Category → {"entry": share of trades entered while flagged, "exit":
        share of closed trades exited while flagged}; "buy_high"/"sell_low"
        give the share of entries filled at the day's high and of exits at
        the day's low.
    weights, next_weights : Series
        Weights by symbol of the last rebalance and of the next one, named
        by the trading date on which they took (or take) effect.
    stock_operations : DataFrame
        By symbol: "action" for the next trading date ("enter", "exit",
        "hold", "sl"/"tp" for a pending stop, "sl_"/"tp_" for one stopped
        out since the last rebalance, ...), "weight" and "next_weight".
    rebalance_dates : DatetimeIndex
        The trading dates on which a new weight row was traded.
    excursions : ndarray
        The full excursion record of each trade (sampled days, then exit),
        one row per trade.
    costs : DataFrame
        The fees ("fee"), taxes ("tax") and slippage ("slippage") the run paid
        on each trading date, in units of the starting capital (in currency
        with a ``capital``).
    carry : DataFrame
        The interest earned on cash ("interest") and the fee paid on short
        positions ("borrow") on each trading date, in the same unit.
    unfilled : DataFrame
        One row per order the execution rules did not fill in full on the
        date it was due: "date", "symbol", the signed size wanted and filled
        ("shares_wanted"/"shares_filled" with a ``capital``, else
        "weight_wanted"/"weight_filled" as fractions of the equity), and
        "reason" ("limit_up", "limit_down", "untradable", "volume").
    execution
        The execution rules the run used (``quorex.backtest.inputs.rules.ExecutionRules``).
    round_trips : DataFrame
        The trades with the records of one holding joined (see
        ``quorex.roundtrips``): computed on first use, then kept.
    rebalance, touched_exit
        The rebalance rule and the exit mode the run used (for the summary).
    suspected_splits : DataFrame
        One-day moves of the closes that look like an unadjusted split
        ("symbol", "date", "ratio", "looks_like"); each gave a
        ``quorex.DataWarning``, and the summary counts them.

    Figures are measured over ``period()``: by default from the first date
    the strategy held a position to the last date (see
    ``quorex.backtest.period``); ``summary`` and ``to_html`` take ``start``
    and ``end`` to choose another. ``metrics`` covers the whole curve.
    """

    creturn: pd.Series
    fee_ratio: float
    tax_ratio: float
    stop_loss: float | None
    take_profit: float | None
    trail_stop: float | None
    trade_at: str
    market: Any
    update_date: pd.Timestamp
    next_trading_date: pd.Timestamp
    source: ReportSource
    live_performance_start: pd.Timestamp | None = None
    rebalance: Any = None
    touched_exit: bool = False
    suspected_splits: pd.DataFrame = field(default_factory=lambda: pd.DataFrame(
        {"symbol": [], "date": pd.DatetimeIndex([]), "ratio": [], "looks_like": []}))
    execution: Any = None
    _metrics: Metrics | None = field(default=None, init=False)
    _metrics_by_rate: dict[float, Metrics] = field(default_factory=dict, init=False)
    _metrics_by_period: dict[tuple[pd.Timestamp, pd.Timestamp], Metrics] = field(default_factory=dict, init=False)

    @cached_property
    def benchmark(self) -> pd.Series:
        return self.source.benchmark()

    @cached_property
    def trades(self) -> pd.DataFrame:
        return self.source.trades()

    @cached_property
    def position(self) -> pd.DataFrame:
        return self.source.position(self.trades)

    @cached_property
    def liquidity(self) -> dict[str, Mapping[str, float]]:
        return dict(self.source.liquidity(self.trades))

    @cached_property
    def _stock_operation_tables(self) -> tuple[pd.Series, pd.Series, pd.DataFrame]:
        return self.source.stock_operations()

    @property
    def weights(self) -> pd.Series:
        return self._stock_operation_tables[0]

    @property
    def next_weights(self) -> pd.Series:
        return self._stock_operation_tables[1]

    @property
    def stock_operations(self) -> pd.DataFrame:
        return self._stock_operation_tables[2]

    @cached_property
    def rebalance_dates(self) -> pd.DatetimeIndex:
        return self.source.rebalance_dates()

    @cached_property
    def excursions(self) -> np.ndarray:
        return self.source.excursions()

    @property
    def metrics(self) -> Metrics:
        """The performance figures of this report (computed on first use, then cached)."""
        if self._metrics is None:
            from quorex.core.metrics import Metrics

            self._metrics = Metrics(self)
        return self._metrics

    def metrics_at(self, riskfree_rate: float = DEFAULT_RISKFREE_RATE) -> Metrics:
        """A Metrics object whose rated figures use ``riskfree_rate``; one per rate, kept.

        A Metrics object fixes its rate on first use; ``report.metrics`` keeps
        that contract and serves the default rate here while nothing else
        fixed it.
        """
        from quorex.core.metrics import Metrics

        rate = float(riskfree_rate)
        found = self._metrics_by_rate.get(rate)
        if found is None:
            unused = self._metrics is None or getattr(self._metrics, "_stats", None) is None
            found = self.metrics if rate == DEFAULT_RISKFREE_RATE and unused else Metrics(self)
            self._metrics_by_rate[rate] = found
        return found

    @cached_property
    def costs(self) -> pd.DataFrame:
        return self.source.costs()

    def period(self, start: Any = None, end: Any = None) -> Period:
        """The dates the figures are measured over: by default from the first date a position was
        held to the last date; ``start``/``end`` (dates) choose another period."""
        return measured_period(self.creturn.index, self.source.first_position(), start, end)

    def metrics_over(self, period: Period) -> Metrics:
        """A ``Metrics`` object over ``period``: the curve from its base, the trades entered in it."""
        from quorex.core.metrics import Metrics

        key = (period.start, period.end)
        found = self._metrics_by_period.get(key)
        if found is None:
            trades = self.trades.loc[period.covers(self.trades["entry_date"])]
            view = SimpleNamespace(creturn=period.curve(self.creturn), benchmark=self.benchmark, trades=trades)
            found = self._metrics_by_period[key] = Metrics(view)
        return found

    @cached_property
    def carry(self) -> pd.DataFrame:
        return self.source.carry()

    @cached_property
    def unfilled(self) -> pd.DataFrame:
        return self.source.unfilled()

    @property
    def money_unit(self) -> float:
        """What the money of the tables is counted in: the starting capital with a ``capital``
        (the tables are in currency), else 1 (they are fractions of the starting capital)."""
        capital = getattr(self.execution, "capital", None)
        return float(capital) if capital else 1.0

    def unfilled_share(self) -> float:
        """The share of the value of all orders, on the dates they were due, that did not fill
        then (0 without execution rules; NaN without orders)."""
        return unfilled_share(*self.source.execution_totals())

    @cached_property
    def round_trips(self) -> pd.DataFrame:
        """One row per holding: the records of one continuous holding joined."""
        from quorex.backtest.roundtrips import round_trips

        return round_trips(self.trades)

    def summary(
        self, riskfree_rate: float = DEFAULT_RISKFREE_RATE, *, start: Any = None, end: Any = None
    ) -> pd.DataFrame:
        """The settings of the run, then the headline figures, over ``period(start, end)``.

        Columns: "value" (a float: fractions for rates, drawdowns and costs,
        0.12 = 12 %; NaN when not a number or undefined) and "text" (the
        value as written for reading, "n/a" when undefined). The curve's
        figures use ``riskfree_rate`` and are those of ``quorex.figures``
        (equal to the ``Metrics`` accessors of the same names); so are the
        figures against the benchmark over the curve's dates (alpha, beta,
        active return, tracking error, information ratio, up and down
        capture: ``quorex.figures.relative_figures``) and of the return
        distribution (best and worst day, month and year, skewness,
        kurtosis: ``quorex.figures.distribution_figures``). Trade figures
        are over round trips (``report.round_trips``); trades without a
        return (missing fill prices) are left out of them and counted.
        Capacity is in the currency of the turnover data, n/a without it.
        The curve's figures cover the period's dates (the row "Measured"
        states them), the trade figures and costs the round trips entered
        and the costs paid in it.
        """
        from quorex.backtest.summary import summary_table

        return summary_table(self, riskfree_rate, self.period(start, end))

    def bootstrap(
        self, n: int = 1000, block: float = 21, seed: int | None = 0, riskfree_rate: float = DEFAULT_RISKFREE_RATE,
        *, start: Any = None, end: Any = None,
    ) -> pd.DataFrame:
        """Confidence bands of the curve's figures: the 5 %, 50 % and 95 % quantiles of annual
        return, Sharpe ratio, max drawdown and volatility over ``n`` stationary block-bootstrap
        resamples of the daily returns (blocks of random length, ``block`` days on average).

        Rows are the figures, columns the quantiles (0.05, 0.5, 0.95). The
        figures are those of the summary, over the same curve (the period
        ``period(start, end)``); the same ``seed`` gives the same bands (see
        ``quorex.research.bootstrap``).
        """
        from quorex.research.bootstrap import bootstrap_figures

        period = self.period(start, end)
        if seed is None:  # fresh draws each time
            return bootstrap_figures(period.curve(self.creturn), n, block, seed, riskfree_rate)
        # A seed fixes the bands: a page drawn again does not resample again.
        key = (n, block, seed, riskfree_rate, period)
        bands = self._bands.get(key)
        if bands is None:
            bands = self._bands[key] = bootstrap_figures(period.curve(self.creturn), n, block, seed, riskfree_rate)
        return bands.copy()

    @cached_property
    def _bands(self) -> dict[tuple[Any, ...], pd.DataFrame]:
        return {}

    def drawdown(self) -> pd.Series:
        """The equity curve's fall from its running peak (0 or negative)."""
        return (self.creturn / self.creturn.cummax() - 1.0).rename("drawdown")

    def plot(self, title: str | None = None) -> Figure:
        """The equity curve against the benchmark, and the drawdown underneath.

        Needs matplotlib (``pip install quorex[plot]``). The figure is not
        tied to any GUI backend; save it with ``fig.savefig(path)``.
        """
        try:
            from matplotlib.figure import Figure
        except ImportError:
            raise ImportError(
                "Report.plot() needs matplotlib; install it with: pip install 'quorex[plot]'"
            ) from None
        fig = Figure(figsize=(9, 5.4), dpi=100, layout="constrained")
        top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=(3, 1))
        equity = self.period().curve(self.creturn)
        top.plot(equity.index, equity.to_numpy(), color="#1f5fa8", lw=1.3, label="strategy")
        bench = self.benchmark_on(equity.index)
        if bench is not None:
            top.plot(bench.index, bench.to_numpy(), color="#8c8c8c", lw=1.0, label="benchmark")
        top.set_ylabel("equity (start = 1)")
        top.grid(alpha=0.3)
        top.legend(loc="upper left", frameon=False)
        if title:
            top.set_title(title)
        dd = equity / equity.cummax() - 1.0
        bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color="#c0392b", alpha=0.5, lw=0)
        bottom.set_ylabel("drawdown")
        bottom.grid(alpha=0.3)
        return fig

    def to_html(
        self, path: str | os.PathLike[str] | None = None, *, title: str | None = None,
        benchmark_name: str | None = None, groups: pd.Series | Mapping[Any, Any] | None = None,
        start: Any = None, end: Any = None,
    ) -> str:
        """The report as a self-contained HTML page (see ``quorex.pages``), over ``period(start, end)``.

        Writes the page to ``path`` (UTF-8, in one step) when given, and
        returns it. ``groups`` (a Series or mapping of symbol → group, e.g.
        sectors) adds the exposure by group. Needs matplotlib (``pip install
        quorex[plot]``) for the charts.
        """
        from quorex.pages.html import written
        from quorex.pages.report_page import report_html

        page = report_html(self, title=title, benchmark_name=benchmark_name, groups=groups, start=start, end=end)
        return written(page, path)

    def invested(self) -> pd.Series:
        """The equity curve from the date before the first trade on."""
        moved = np.flatnonzero(self.creturn.to_numpy() != 1.0)
        start = max(int(moved[0]) - 1, 0) if len(moved) else 0
        return self.creturn.iloc[start:]

    def benchmark_on(self, index: pd.DatetimeIndex) -> pd.Series | None:
        """The benchmark's level on the dates of ``index`` (its last known level on each), scaled
        to start at 1; dates before its first level are left out. None without a level.
        """
        benchmark = self.benchmark
        if benchmark is None or benchmark.empty:
            return None
        level = benchmark.reindex(index.union(benchmark.index)).ffill().reindex(index).dropna()
        if level.empty or level.iloc[0] == 0:
            return None
        return level / level.iloc[0]

    def __repr__(self) -> str:
        if len(self.creturn) == 0:
            return "<Report: empty>"
        start, end = self.creturn.index[0], self.creturn.index[-1]
        return (
            f"<Report {start.date()}..{end.date()}: equity {self.creturn.iloc[-1]:.4f}, "
            f"{len(self.trades)} trades>"
        )

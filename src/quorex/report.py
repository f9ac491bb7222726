"""The result of a backtest: equity curve, trades, positions and figures."""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from quorex.core.metrics import Metrics

DEFAULT_RISKFREE_RATE = 0.02

# Figures of the equity curve: label → (Metrics accessor, format kind).
SUMMARY_FIGURES: dict[str, tuple[str, str]] = {
    "Annual return": ("annual_return", "percent"),
    "Sharpe ratio": ("sharpe_ratio", "ratio"),
    "Sortino ratio": ("sortino_ratio", "ratio"),
    "Calmar ratio": ("calmar_ratio", "ratio"),
    "Max drawdown": ("max_drawdown", "percent"),
    "Volatility": ("volatility", "percent"),
    "Alpha": ("alpha", "percent"),
    "Beta": ("beta", "ratio"),
    "VaR (monthly, 5%)": ("value_at_risk", "percent"),
    "CVaR (monthly, 5%)": ("cvalue_at_risk", "percent"),
}
# The accessors whose figures depend on the risk-free rate.
RATED_FIGURES = frozenset({"annual_return", "sharpe_ratio", "sortino_ratio", "calmar_ratio",
                           "max_drawdown", "volatility"})
# Figures of the trades, computed by the report: label → format kind.
TRADE_FIGURES: dict[str, str] = {
    "Round trips": "count",
    "Win rate (round trips)": "percent",
    "Profit factor (round trips)": "ratio",
    "MAE": "percent",
    "MFE": "percent",
    "Trade records": "count",
    "Trades without a return": "count",
    "Capacity": "money",
}


class ReportSource(Protocol):
    """Builds a report's tables from a finished run when they are first asked for."""

    def benchmark(self) -> pd.Series: ...

    def trades(self) -> pd.DataFrame: ...

    def position(self, trades: pd.DataFrame) -> pd.DataFrame: ...

    def liquidity(self, trades: pd.DataFrame) -> dict[str, Mapping[str, float]]: ...

    def stock_operations(self) -> tuple[pd.Series, pd.Series, pd.DataFrame]: ...

    def rebalance_dates(self) -> pd.DatetimeIndex: ...

    def excursions(self) -> np.ndarray: ...


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
        "turnover@entry_date"/"turnover@exit_date" when turnover was given.
        "return" is realised at the fills net of costs: with x = exit_price /
        entry_price, f = fee_ratio when the entry paid costs and c =
        fee_ratio + tax_ratio when the exit did (0 otherwise), a long trade
        returns (1 - f) * x * (1 - c) - 1 and a short one (1 - f) - x * (1 + c).
        With the default settings a position held through a rebalance is
        split there into two trades; the split itself pays no costs.
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
    round_trips : DataFrame
        The trades with the records of one holding joined (see
        ``quorex.roundtrips``): computed on first use, then kept.
    rebalance, touched_exit
        The rebalance rule and the exit mode the run used (for the summary).
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
    _metrics: Metrics | None = field(default=None, init=False)
    _metrics_by_rate: dict[float, Metrics] = field(default_factory=dict, init=False)

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
    def round_trips(self) -> pd.DataFrame:
        """One row per holding: the consecutive records of one stock and side joined."""
        from quorex.roundtrips import round_trips

        return round_trips(self.trades)

    def summary(self, riskfree_rate: float = DEFAULT_RISKFREE_RATE) -> pd.DataFrame:
        """The settings of the run, then the headline figures.

        Columns: "value" (a float: fractions for rates, drawdowns and costs,
        0.12 = 12 %; NaN when not a number or undefined) and "text" (the
        value as written for reading, "n/a" when undefined). The rated
        figures use ``riskfree_rate``. Win rate, profit factor and their
        count are over round trips (``report.round_trips``); trades without
        a return (missing fill prices) are left out of every trade figure
        and counted. Capacity is in the currency of the turnover data, n/a
        without it.
        """
        rows = self._settings_rows() + self._curve_rows(riskfree_rate) + self._trade_rows()
        frame = pd.DataFrame(
            {"value": [r[1] for r in rows], "text": [r[2] for r in rows]},
            index=pd.Index([r[0] for r in rows], name="figure"),
        )
        frame["value"] = frame["value"].astype(np.float64)
        return frame

    def _settings_rows(self) -> list[tuple[str, float, str]]:
        zone = getattr(self.market, "timezone", None)
        name = _market_name(self.market)
        rows = [
            ("Market", np.nan, f"{name} ({zone})" if zone else name),
            ("Fee", float(self.fee_ratio), _cost_text(self.fee_ratio)),
            ("Tax on sales", float(self.tax_ratio), _cost_text(self.tax_ratio)),
        ]
        for label, value in (("Stop loss", self.stop_loss), ("Take profit", self.take_profit),
                             ("Trail stop", self.trail_stop)):
            rows.append((label, np.nan if value is None else float(value),
                         "off" if value is None else _cost_text(value)))
        rows.append(("Exits at", np.nan, "touched level" if self.touched_exit else "next trade price"))
        rows.append(("Rebalance", np.nan, _rebalance_text(self.rebalance)))
        rows.append(("Trade at", np.nan, str(self.trade_at)))
        return rows

    def _curve_rows(self, riskfree_rate: float) -> list[tuple[str, float, str]]:
        m = self.metrics_at(riskfree_rate)
        rows = []
        # Flat or tiny curves make some ratios 0/0; they read as NaN here.
        with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            for label, (name, kind) in SUMMARY_FIGURES.items():
                accessor = getattr(m, name)
                value = accessor(riskfree_rate) if name in RATED_FIGURES else accessor()
                value = np.nan if value is None else float(value)
                rows.append((label, value, format_figure(value, kind)))
        return rows

    def _trade_rows(self) -> list[tuple[str, float, str]]:
        trades = self.trades
        returned = trades.loc[trades["return"].notna()]
        trips = self.round_trips
        trip_return = trips["return"].dropna().to_numpy()
        gain, loss = trip_return[trip_return > 0].sum(), -trip_return[trip_return < 0].sum()
        values = {
            "Round trips": float(len(trip_return)),
            "Win rate (round trips)": float((trip_return > 0).mean()) if len(trip_return) else np.nan,
            "Profit factor (round trips)": _profit_factor(gain, loss, len(trip_return)),
            "MAE": float(returned["mae"].mean()) if len(returned) else np.nan,
            "MFE": float(returned["gmfe"].mean()) if len(returned) else np.nan,
            "Trade records": float(len(trades)),
            "Trades without a return": float(len(trades) - len(returned)),
            "Capacity": self._capacity(),
        }
        return [(label, values[label], format_figure(values[label], kind))
                for label, kind in TRADE_FIGURES.items()]

    def _capacity(self) -> float:
        """The metrics' capacity; undefined (NaN) without turnover data, where they give 0."""
        if "turnover@entry_date" not in self.trades:
            return np.nan
        return float(self.metrics.capacity())

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
        equity = self._invested()
        top.plot(equity.index, equity.to_numpy(), color="#1f5fa8", lw=1.3, label="strategy")
        bench = _rebased(self.benchmark, equity.index)
        if bench is not None:
            top.plot(bench.index, bench.to_numpy(), color="#8c8c8c", lw=1.0, label="benchmark")
        top.set_ylabel("equity (start = 1)")
        top.grid(alpha=0.3)
        top.legend(loc="upper left", frameon=False)
        if title:
            top.set_title(title)
        dd = self.drawdown().loc[equity.index[0]:]
        bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color="#c0392b", alpha=0.5, lw=0)
        bottom.set_ylabel("drawdown")
        bottom.grid(alpha=0.3)
        return fig

    def _invested(self) -> pd.Series:
        """The equity curve from the date before the first trade on."""
        moved = np.flatnonzero(self.creturn.to_numpy() != 1.0)
        start = max(int(moved[0]) - 1, 0) if len(moved) else 0
        return self.creturn.iloc[start:]

    def __repr__(self) -> str:
        if len(self.creturn) == 0:
            return "<Report: empty>"
        start, end = self.creturn.index[0], self.creturn.index[-1]
        return (
            f"<Report {start.date()}..{end.date()}: equity {self.creturn.iloc[-1]:.4f}, "
            f"{len(self.trades)} trades>"
        )


def format_figure(value: float, kind: str) -> str:
    """A figure as written in the summary: "n/a" when undefined."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if kind == "percent":
        return f"{value:.2%}"
    if kind == "money":
        return f"{value:,.0f}"
    if kind == "count":
        return f"{value:.0f}"
    return f"{value:.3f}"


def _profit_factor(gain: float, loss: float, count: int) -> float:
    """Gross gain over gross loss; undefined without trades, infinite without a loss."""
    if count == 0 or (gain == 0 and loss == 0):
        return np.nan
    return math.inf if loss == 0 else float(gain / loss)


def _cost_text(ratio: float) -> str:
    return f"{float(ratio) * 100:.6g} %"


def _market_name(market: Any) -> str:
    getter = getattr(market, "get_name", None)
    return str(getter()) if callable(getter) else str(market)


def _rebalance_text(rebalance: Any) -> str:
    if rebalance is None:
        return "when the weights change"
    if isinstance(rebalance, str):
        return rebalance
    return f"on {len(rebalance)} given dates"


def _rebased(benchmark: pd.Series | None, index: pd.DatetimeIndex) -> pd.Series | None:
    """The benchmark on ``index``, scaled to start at 1."""
    if benchmark is None or benchmark.empty:
        return None
    level = benchmark.reindex(index.union(benchmark.index)).ffill().reindex(index).dropna()
    if level.empty or level.iloc[0] == 0:
        return None
    return level / level.iloc[0]

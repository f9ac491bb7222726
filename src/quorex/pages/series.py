"""Tables the pages draw from a curve or the trades: drawdown periods, calendar returns, exits."""

from __future__ import annotations

import numpy as np
import pandas as pd

WORST_DRAWDOWNS = 5
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

# The sweep table's figure columns, in order; the other columns are parameters.


def daily_returns(level: pd.Series) -> pd.Series:
    """Simple returns of a level series (the first date's return is 0)."""
    return level.pct_change(fill_method=None).fillna(0.0)


def drawdown_periods(equity: pd.Series, count: int = WORST_DRAWDOWNS) -> pd.DataFrame:
    """The ``count`` deepest drawdowns of ``equity``, deepest first.

    Columns: "start" (the peak before the fall), "trough", "recovery" (the
    first date back at the peak; NaT when still under water), "depth"
    (negative fraction) and "days" (trading dates from peak to recovery, or to
    the last date).
    """
    columns = ["start", "trough", "recovery", "depth", "days"]
    if equity.empty:
        return pd.DataFrame(columns=columns)
    drawdown = equity / equity.cummax() - 1.0
    at_peak = drawdown.to_numpy() >= 0
    episode = np.cumsum(at_peak)
    frame = pd.DataFrame({"drawdown": drawdown.to_numpy(), "episode": episode, "position": np.arange(len(equity))})
    grouped = frame.groupby("episode")
    depth = grouped["drawdown"].min()
    depth = depth[depth < 0].nsmallest(count)
    if depth.empty:
        return pd.DataFrame(columns=columns)
    first = grouped["position"].min().loc[depth.index].to_numpy()
    trough = grouped["drawdown"].idxmin().loc[depth.index].to_numpy()
    last = grouped["position"].max().loc[depth.index].to_numpy()
    recovered = last + 1 < len(equity)
    end = np.where(recovered, last + 1, len(equity) - 1)
    dates = equity.index
    return pd.DataFrame({
        "start": dates[first],
        "trough": dates[trough],
        "recovery": pd.DatetimeIndex(np.where(recovered, dates[end], pd.NaT)),
        "depth": depth.to_numpy(),
        "days": end - first,
    })


def monthly_table(level: pd.Series) -> pd.DataFrame:
    """Monthly returns as years × months (1..12), with the compounded "year" total."""
    month_end = level.resample("ME").last().dropna()
    start = level.dropna().iloc[:1]
    monthly = pd.concat([start, month_end]).pct_change(fill_method=None).iloc[1:]
    monthly.index = pd.DatetimeIndex(month_end.index)
    table = pd.DataFrame({"year": monthly.index.year, "month": monthly.index.month, "r": monthly.to_numpy()})
    grid = table.pivot(index="year", columns="month", values="r").reindex(columns=range(1, 13))
    grid["year"] = (1.0 + grid[list(range(1, 13))].fillna(0.0)).prod(axis=1) - 1.0
    return grid


def yearly_returns(level: pd.Series) -> pd.Series:
    """Each calendar year's return of a level series (the first from its first value)."""
    year_end = level.resample("YE").last().dropna()
    start = level.dropna().iloc[:1]
    yearly = pd.concat([start, year_end]).pct_change(fill_method=None).iloc[1:]
    return pd.Series(yearly.to_numpy(), index=year_end.index.year)


def exit_reason_table(trades: pd.DataFrame) -> pd.DataFrame:
    """By exit reason: number of trades, average return, and total contribution.

    The contribution is the sum of position × return, in fractions of equity
    at each entry (it ignores compounding between trades).
    """
    contribution = trades["position"].abs() * trades["return"]
    grouped = trades.assign(contribution=contribution).groupby("exit_reason", sort=False, observed=True)
    table = pd.DataFrame({
        "trades": grouped.size(),
        "average_return": grouped["return"].mean(),
        "contribution": grouped["contribution"].sum(),
    })
    return table.sort_values("trades", ascending=False)

"""The product's figures, each computed by one function, and how they are written.

Return figures (annual return, Sharpe, Sortino, Calmar, max drawdown,
volatility, VaR and CVaR of monthly returns) come from ``return_figures``,
for one curve or for every column of a returns matrix at once. Their
convention is the one ``quorex.core.metrics.Metrics`` uses (ffn's statistics
on the daily equity curve, with a risk-free rate), so every figure the
product shows equals the ``Metrics`` accessor of the same name for the same
curve: the report's summary and page, the benchmark's column beside it, the
sweep table and walk-forward.

Figures against a benchmark (active return, tracking error, information
ratio, beta, alpha, up and down capture) come from ``relative_figures`` and
figures of the return distribution (best and worst day, month and year,
skewness, kurtosis) from ``distribution_figures``; their formulas are
written where they are computed. The summary's "Alpha" and "Beta" are these
(beta over the days both curves have a return, the same sample in its
covariance and variance); ``Metrics.alpha``/``beta`` keep their own
contract and can differ from them in the last digits.

Trade figures (round trips, win rate, profit factor, expectancy) come from
``trade_figures``, over the returns of round trips (the records of one
holding joined, ``quorex.backtest.roundtrips``).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Collection
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

RISKFREE_RATE = 0.02
RETURN_FIGURES = (
    "annual_return",
    "sharpe_ratio",
    "sortino_ratio",
    "max_drawdown",
    "volatility",
    "calmar_ratio",
    "value_at_risk",
    "cvalue_at_risk",
)
RELATIVE_FIGURES = (
    "active_return",
    "tracking_error",
    "information_ratio",
    "beta",
    "alpha",
    "up_capture",
    "down_capture",
)
DISTRIBUTION_FIGURES = ("best_day", "worst_day", "best_month", "worst_month", "best_year", "worst_year", "skew",
                        "kurtosis")
TRADE_FIGURES = ("trades", "win_rate", "profit_factor", "expectancy")
# What the execution rules did: "unfilled_share" is the share of the value of
# all orders that did not fill on the date it was due, "slippage_per_year"
# the slippage paid per year as a fraction of the starting capital.
EXECUTION_FIGURES = ("unfilled_share", "slippage_per_year")
# The figures of each set of a sweep, in the order of its table. "records"
# counts trade records; "turnover" is yearly one-way turnover; "psr" and
# "dsr" the probabilistic and deflated Sharpe ratios.
SWEEP_FIGURES = (*RETURN_FIGURES, *TRADE_FIGURES, "records", "turnover", *EXECUTION_FIGURES, "final_equity", "psr",
                 "dsr")
# A capacity curve's figures, by starting capital (``quorex.capacity_curve``).
CAPACITY_FIGURES = ("annual_return", "sharpe_ratio", "max_drawdown", *EXECUTION_FIGURES)
SECONDS_PER_YEAR = 31_557_600.0  # 365.25 days, as the statistics behind Metrics count
VAR_LEVEL = 0.05  # VaR and CVaR: the worst 5 % of months
# Spacing from which a calendar has no daily figures. Built from a number and
# a unit: pandas 2 parses text such as "2 days" through NumPy's generic
# timedelta unit, which NumPy 2.5 deprecates.
TWO_DAYS = pd.Timedelta(2, "D")


# ---------------------------------------------------------------------------
# Curves and their returns


def daily_curve(levels: pd.Series) -> pd.Series:
    """A level series on calendar days, as the metrics see it (last value per day)."""
    return levels.resample("1D").last().dropna()


def day_rows(index: pd.DatetimeIndex) -> tuple[np.ndarray, pd.DatetimeIndex]:
    """The rows of the last stamp of each calendar day of a sorted ``index``, and those days.

    ``levels[rows]`` on ``days`` is ``daily_curve(levels)`` for levels
    without gaps: a sweep finds the rows once for all the curves of a market.
    """
    days = index.normalize()
    if len(days) == 0:
        return np.empty(0, dtype=np.int64), days
    last = np.flatnonzero(np.r_[days[1:] != days[:-1], True])
    return last, days[last]


def level_returns(levels: np.ndarray) -> np.ndarray:
    """The returns whose compounded product from a starting level of 1 is ``levels``."""
    values = np.asarray(levels, dtype=np.float64)
    out = np.empty(len(values))
    if len(values):
        out[0] = values[0] - 1.0
        out[1:] = values[1:] / values[:-1] - 1.0
    return out


def curve_returns(levels: pd.Series) -> pd.Series:
    """Daily returns whose compounded product is the daily curve.

    The first entry is the first day's growth from a starting level of 1,
    so ``(1 + returns).cumprod()`` gives back an equity curve that starts
    at 1 (the figures do not depend on it: they start from the first day).
    """
    daily = daily_curve(levels)
    return pd.Series(level_returns(daily.to_numpy(dtype=np.float64)), index=daily.index, name="return")


def periods_per_year(dates: pd.DatetimeIndex) -> tuple[float, bool]:
    """The annualisation factor of daily figures, and whether daily figures apply at all.

    Follows ffn's reading of the calendar: spacing of two days or more (weekly
    data, say) has no daily figures, and an unrecognised frequency counts as
    252 periods a year.
    """
    from ffn.core import TRADING_DAYS_PER_YEAR, infer_freq, infer_nperiods

    probe = pd.Series(np.zeros(len(dates)), index=dates)
    typical = probe.index.to_series().diff().median()
    if typical >= TWO_DAYS and infer_freq(probe) == "B":
        typical = pd.Timedelta(1, "D")
    inferred = infer_nperiods(probe)
    factor = float(TRADING_DAYS_PER_YEAR if inferred is None else inferred)
    return factor, bool(typical < TWO_DAYS)


def years_between(first: pd.Timestamp, last: pd.Timestamp) -> float:
    """The length of a period in years of 365.25 days."""
    return (last - first).total_seconds() / SECONDS_PER_YEAR


# ---------------------------------------------------------------------------
# Return figures


def _no_dispersion(values: np.ndarray) -> np.ndarray:
    """Columns whose observations are all equal up to rounding (their Sharpe ratio is undefined)."""
    maximum, minimum = values.max(axis=0), values.min(axis=0)
    spread = maximum - minimum
    tolerance = 4 * np.finfo(float).eps
    return (spread <= tolerance * np.abs(maximum)) | (spread <= tolerance * np.abs(minimum))


@dataclass(frozen=True)
class ReturnCalendar:
    """What the return figures need of a curve's dates, worked out once for any number of curves."""

    dates: pd.DatetimeIndex
    factor: float  # periods per year
    has_daily: bool  # whether daily figures apply


def return_calendar(dates: pd.DatetimeIndex) -> ReturnCalendar:
    """The calendar of curves on ``dates`` (calendar days, sorted)."""
    factor, has_daily = periods_per_year(dates) if len(dates) > 1 else (np.nan, False)
    return ReturnCalendar(dates, factor, has_daily)


def return_figures(
    returns: np.ndarray,
    dates: pd.DatetimeIndex | ReturnCalendar,
    riskfree_rate: float = RISKFREE_RATE,
    figures: Collection[str] = RETURN_FIGURES,
) -> dict[str, np.ndarray]:
    """The return figures of each column of ``returns`` (calendar dates × curves).

    ``returns`` are as ``curve_returns`` gives them: the first row is the
    first day's growth from a base, which no figure depends on; the curves
    are their compounded products. ``dates`` may be their ``ReturnCalendar``.
    ``figures`` names the figures wanted (default: all of
    ``RETURN_FIGURES``); the others are not computed.
    """
    calendar = dates if isinstance(dates, ReturnCalendar) else None
    dates = calendar.dates if calendar is not None else dates
    n_dates, n_curves = returns.shape
    out = {name: np.full(n_curves, np.nan) for name in RETURN_FIGURES}
    if n_dates < 2 or n_curves == 0:
        return {name: out[name] for name in figures}
    equity = 1.0 + returns
    np.cumprod(equity, axis=0, out=equity)
    daily = returns[1:]
    if returns.flags.f_contiguous and not returns.flags.c_contiguous:
        # Curves stored column by column stay so: every pass then runs over
        # contiguous memory, and each column's sums are those of that curve alone.
        daily = np.asfortranarray(daily)
    factor, has_daily = (calendar.factor, calendar.has_daily) if calendar is not None else periods_per_year(dates)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # one daily return has no std
        if has_daily:
            out["volatility"] = daily.std(axis=0, ddof=1) * np.sqrt(factor)
            excess = daily - ((1.0 + riskfree_rate) ** (1.0 / factor) - 1.0)
            std = np.where(_no_dispersion(excess), np.nan, excess.std(axis=0, ddof=1))
            out["sharpe_ratio"] = excess.mean(axis=0) / std * np.sqrt(factor)
            if "sortino_ratio" in figures:
                downside = np.sqrt((np.minimum(excess, 0.0) ** 2).mean(axis=0))
                out["sortino_ratio"] = excess.mean(axis=0) / downside * np.sqrt(factor)
        out["annual_return"] = _annual_return(equity, dates)
        below_peak = np.maximum.accumulate(equity, axis=0)
        np.divide(equity, below_peak, out=below_peak)
        out["max_drawdown"] = below_peak.min(axis=0) - 1.0  # x - 1 keeps the order of x: the same number
        out["calmar_ratio"] = out["annual_return"] / np.abs(out["max_drawdown"])
        if "value_at_risk" in figures or "cvalue_at_risk" in figures:
            out["value_at_risk"], out["cvalue_at_risk"] = _monthly_tail(daily, dates)
    return {name: out[name] for name in figures}


def _annual_return(equity: np.ndarray, dates: pd.DatetimeIndex) -> np.ndarray:
    """The compounded growth of each curve (rows: ``dates``) per year of 365.25 days."""
    return (equity[-1] / equity[0]) ** (1.0 / years_between(dates[0], dates[-1])) - 1.0


def calendar_returns(daily: np.ndarray, dates: pd.DatetimeIndex, per: str = "month") -> np.ndarray:
    """Compounded returns of each calendar month or year ("month"/"year") that has a date.

    A missing (NaN) daily return is skipped; periods without a date have no row.
    """
    key = np.asarray(dates.year * 12 + dates.month - 1 if per == "month" else dates.year)
    if len(key) == 0:
        return np.empty((0, daily.shape[1]))
    starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    return np.multiply.reduceat(np.where(np.isnan(daily), 1.0, 1.0 + daily), starts, axis=0) - 1.0


def monthly_returns(daily: np.ndarray, dates: pd.DatetimeIndex) -> np.ndarray:
    """Compounded returns of each calendar month (months × curves), from daily returns.

    Every month from the first date's to the last date's counts; a month
    without a date has a return of 0, and a missing (NaN) daily return is
    skipped, as a pandas month-end resample of the products gives them.
    """
    months = dates.year * 12 + dates.month - 1
    first = int(months[0]) if len(months) else 0
    span = int(months[-1]) - first + 1 if len(months) else 0
    # Column by column, as the curves: each column's sums are then those of that curve alone.
    out = np.zeros((span, daily.shape[1]), order="F")
    if len(months):
        present = np.unique(np.asarray(months)) - first
        out[present] = calendar_returns(daily, dates, "month")
    return out


def _monthly_tail(daily: np.ndarray, dates: pd.DatetimeIndex) -> tuple[np.ndarray, np.ndarray]:
    """VaR (the 5 % quantile of monthly returns) and CVaR (the mean of the months below it).

    ``daily`` are the returns of ``dates[1:]``; the first date has none but
    its month counts.
    """
    unknown_first = np.full((1, daily.shape[1]), np.nan)
    monthly = monthly_returns(np.vstack([unknown_first, daily]), dates)
    if len(monthly) == 0:
        nothing = np.full(daily.shape[1], np.nan)
        return nothing, nothing.copy()
    var = np.quantile(monthly, VAR_LEVEL, axis=0)
    below = monthly < var
    cvar = np.where(below, monthly, 0.0).sum(axis=0) / below.sum(axis=0)
    ran = ~np.isnan(daily).all(axis=0)
    return np.where(ran, var, np.nan), np.where(ran, cvar, np.nan)


def curve_figures(levels: pd.Series, riskfree_rate: float = RISKFREE_RATE) -> dict[str, float]:
    """The return and distribution figures of one level series (an equity curve or a benchmark)."""
    returns = curve_returns(levels)
    matrix = returns.to_numpy()[:, None]
    figures = return_figures(matrix, returns.index, riskfree_rate) | distribution_figures(matrix, returns.index)
    return {name: float(v[0]) for name, v in figures.items()}


# ---------------------------------------------------------------------------
# Figures against a benchmark, and of the return distribution


def relative_figures(returns: np.ndarray, benchmark: np.ndarray, dates: pd.DatetimeIndex) -> dict[str, np.ndarray]:
    """The figures of each column of ``returns`` against the benchmark's returns on the same dates.

    Both are as ``curve_returns`` gives them (the first row, the growth from
    a base, counts in no figure). With r the strategy's daily returns, b the
    benchmark's and f the periods a year (``periods_per_year``):

    * active return: the strategy's annual return less the benchmark's;
    * tracking error: std(r - b) * sqrt(f), with ddof 1;
    * information ratio: mean(r - b) / std(r - b) * sqrt(f);
    * beta: cov(r, b) / var(b), over the same days, ddof 1 in both;
    * alpha: the strategy's annual return less beta times the benchmark's
      (the growth beyond what the benchmark's share explains; no risk-free
      rate, as ``Metrics.alpha``);
    * up (down) capture: the mean of r over the days on which b rose (fell),
      divided by the mean of b over those days.

    Tracking error and information ratio need daily data (as volatility
    does); against a benchmark that never moves there is no beta, alpha or
    capture (NaN).
    """
    n_dates, n_curves = returns.shape
    out = {name: np.full(n_curves, np.nan) for name in RELATIVE_FIGURES}
    if n_dates < 2 or n_curves == 0:
        return out
    bench = np.asarray(benchmark, dtype=np.float64).reshape(-1, 1)
    ours, theirs = returns[1:], bench[1:]
    factor, has_daily = periods_per_year(dates)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # one daily return has no std
        growth = _annual_return(np.cumprod(1.0 + returns, axis=0), dates)
        their_growth = _annual_return(np.cumprod(1.0 + bench, axis=0), dates)
        out["active_return"] = growth - their_growth
        if has_daily:
            active = ours - theirs
            spread = active.std(axis=0, ddof=1)
            out["tracking_error"] = spread * np.sqrt(factor)
            defined = np.where(_no_dispersion(active), np.nan, spread)
            out["information_ratio"] = active.mean(axis=0) / defined * np.sqrt(factor)
        if _no_dispersion(theirs)[0]:
            return out
        centred = theirs - theirs.mean()
        out["beta"] = ((ours - ours.mean(axis=0)) * centred).sum(axis=0) / (centred**2).sum()
        out["alpha"] = growth - out["beta"] * their_growth
        for name, days in (("up_capture", theirs[:, 0] > 0), ("down_capture", theirs[:, 0] < 0)):
            if days.any():
                out[name] = ours[days].mean(axis=0) / theirs[days, 0].mean()
    return out


def curve_relative_figures(levels: pd.Series, benchmark: pd.Series) -> dict[str, float]:
    """``relative_figures`` of one level series against a benchmark's levels, on the days both have."""
    ours, theirs = daily_curve(levels), daily_curve(benchmark)
    common = ours.index.intersection(theirs.index)
    returns, bench = curve_returns(ours.loc[common]), curve_returns(theirs.loc[common])
    figures = relative_figures(returns.to_numpy()[:, None], bench.to_numpy(), returns.index)
    return {name: float(v[0]) for name, v in figures.items()}


def rolling_beta(returns: pd.Series, benchmark: pd.Series, window: int) -> pd.Series:
    """Beta (as ``relative_figures`` defines it) over each trailing ``window`` of daily returns on the
    same dates; NaN until a window is full or while the benchmark does not move."""
    both = pd.concat([returns, benchmark], axis=1, keys=["ours", "theirs"])
    rolling = both.rolling(window, min_periods=window)
    variance = rolling["theirs"].var()
    return (rolling["ours"].cov(both["theirs"]) / variance.where(variance > 0)).rename("beta")


def distribution_figures(returns: np.ndarray, dates: pd.DatetimeIndex) -> dict[str, np.ndarray]:
    """Figures of the distribution of each column's returns (rows as ``curve_returns`` gives them).

    Best and worst day are the largest and smallest daily return; best and
    worst month and year the compounded return of a calendar month or year
    with a date, the first counted from the curve's first level and the
    last to its last level (either may be partial), as the page's calendar
    shows them. Skewness and kurtosis are the sample's adjusted
    Fisher-Pearson skewness and excess kurtosis of the daily returns (those
    of pandas' ``skew()`` and ``kurt()``, and of ffn's daily figures):

        skew = sqrt(n (n - 1)) / (n - 2) * m3 / m2 ** 1.5
        kurtosis = (n - 1) / ((n - 2) (n - 3)) * ((n + 1) * m4 / m2 ** 2 - 3 (n - 1))

    with m_k the k-th central moment (divided by n). Daily figures need daily
    data (as volatility does); a curve without movement has no skewness or
    kurtosis (NaN).
    """
    n_dates, n_curves = returns.shape
    out = {name: np.full(n_curves, np.nan) for name in DISTRIBUTION_FIGURES}
    if n_dates < 2 or n_curves == 0:
        return out
    daily = returns[1:]
    from_first_level = np.vstack([np.full((1, n_curves), np.nan), daily])
    for per in ("month", "year"):
        periods = calendar_returns(from_first_level, dates, per)
        out[f"best_{per}"], out[f"worst_{per}"] = periods.max(axis=0), periods.min(axis=0)
    if periods_per_year(dates)[1]:
        out["best_day"], out["worst_day"] = daily.max(axis=0), daily.min(axis=0)
        out["skew"], out["kurtosis"] = _adjusted_moments(daily)
    return out


def _adjusted_moments(daily: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    n = daily.shape[0]
    centred = daily - daily.mean(axis=0)
    m2, m3, m4 = ((centred**k).mean(axis=0) for k in (2, 3, 4))
    flat = _no_dispersion(daily)
    with np.errstate(divide="ignore", invalid="ignore"):
        skew = np.sqrt(n * (n - 1.0)) / (n - 2.0) * m3 / m2**1.5 if n >= 3 else np.full_like(m2, np.nan)
        kurtosis = ((n - 1.0) / ((n - 2.0) * (n - 3.0)) * ((n + 1.0) * m4 / m2**2 - 3.0 * (n - 1.0))
                    if n >= 4 else np.full_like(m2, np.nan))
    return np.where(flat, np.nan, skew), np.where(flat, np.nan, kurtosis)


# ---------------------------------------------------------------------------
# Trade figures


def trade_figures(returns: np.ndarray) -> dict[str, float]:
    """Figures of round trips from their returns; a trip without a return (NaN) is left out.

    "trades" counts the round trips with a return, "win_rate" is the share of
    them above 0, "profit_factor" the gross gain over the gross loss
    (infinite without a loss), "expectancy" the mean return. Without round
    trips every figure but the count is undefined (NaN).
    """
    values = np.asarray(returns, dtype=np.float64)
    values = values[~np.isnan(values)]
    count = len(values)
    if count == 0:
        return {"trades": 0.0, "win_rate": np.nan, "profit_factor": np.nan, "expectancy": np.nan}
    gain, loss = values[values > 0].sum(), -values[values < 0].sum()
    if gain == 0 and loss == 0:
        factor = np.nan
    else:
        factor = math.inf if loss == 0 else float(gain / loss)
    return {
        "trades": float(count),
        "win_rate": float((values > 0).mean()),
        "profit_factor": factor,
        "expectancy": float(values.mean()),
    }


def unfilled_share(ordered: float, unfilled: float) -> float:
    """The share of the value of all orders, on the dates they were due, that did not fill then
    (0 without execution rules; NaN without orders)."""
    return unfilled / ordered if ordered > 0 else (0.0 if unfilled == 0 else math.nan)


def execution_figures(unfilled_share: float, slippage_paid: float, capital: float, years: float) -> dict[str, float]:
    """``EXECUTION_FIGURES`` of one run: the share of the orders' value unfilled on their dates, and
    the slippage paid (in the unit of ``capital``, 1 for a run in fractions of its starting
    capital) per year as a fraction of the capital."""
    return {
        "unfilled_share": float(unfilled_share),
        "slippage_per_year": float(slippage_paid / capital / years) if years > 0 else math.nan,
    }


def yearly_turnover(
    position: np.ndarray, stock: np.ndarray, entry: np.ndarray, exit_: np.ndarray, years: float
) -> float:
    """The yearly one-way turnover of trade records: half the absolute change of the held
    target weights, summed over all dates and stocks, per year.

    ``stock`` are integer codes; ``exit_`` is -1 for a record still open. A
    record split at a rebalance exits and re-enters on one date: only the
    net change trades there.
    """
    if len(position) == 0:
        return 0.0
    traded = _net_changes(position, stock, entry, exit_)[1].sum()
    return float(traded / 2.0 / years) if years > 0 else float("nan")


def turnover_by_year(
    position: np.ndarray, stock: np.ndarray, entry: np.ndarray, exit_: np.ndarray, dates: pd.DatetimeIndex
) -> pd.Series:
    """The one-way turnover traded in each calendar year (as ``yearly_turnover`` counts it, not
    annualised: the first and last year may be partial); ``entry``/``exit_`` index ``dates``."""
    years = pd.Index(np.unique(dates.year), name="year")
    if len(position) == 0:
        return pd.Series(0.0, index=years, name="turnover")
    day, traded = _net_changes(position, stock, entry, exit_)
    slot = years.get_indexer(dates.year[day])
    return pd.Series(np.bincount(slot, weights=traded, minlength=len(years)) / 2.0, index=years, name="turnover")


def _net_changes(
    position: np.ndarray, stock: np.ndarray, entry: np.ndarray, exit_: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Each (stock, date) on which records enter or exit: the date and the absolute net change of weight."""
    closed = exit_ >= 0
    day = np.concatenate([entry, exit_[closed]]).astype(np.int64)
    width = int(max(day.max(), 0)) + 1
    code = np.concatenate([stock, stock[closed]]).astype(np.int64) * width + day
    change = np.concatenate([position, -position[closed]])
    slot, codes = pd.factorize(code)  # hashing: no sort
    return np.asarray(codes) % width, np.abs(np.bincount(slot, weights=change))


# ---------------------------------------------------------------------------
# How figures are written


# The curve figures as the summary and the pages label them: label → (figure, format kind).
CURVE_LABELS: dict[str, tuple[str, str]] = {
    "Annual return": ("annual_return", "percent"),
    "Sharpe ratio": ("sharpe_ratio", "ratio"),
    "Sortino ratio": ("sortino_ratio", "ratio"),
    "Calmar ratio": ("calmar_ratio", "ratio"),
    "Max drawdown": ("max_drawdown", "percent"),
    "Volatility": ("volatility", "percent"),
    "VaR (monthly, 5%)": ("value_at_risk", "percent"),
    "CVaR (monthly, 5%)": ("cvalue_at_risk", "percent"),
}

# The distribution figures: label → (figure, format kind).
DISTRIBUTION_LABELS: dict[str, tuple[str, str]] = {
    "Best day": ("best_day", "percent"),
    "Worst day": ("worst_day", "percent"),
    "Best month": ("best_month", "percent"),
    "Worst month": ("worst_month", "percent"),
    "Best year": ("best_year", "percent"),
    "Worst year": ("worst_year", "percent"),
    "Skewness (daily)": ("skew", "ratio"),
    "Excess kurtosis (daily)": ("kurtosis", "ratio"),
}
# The figures against the benchmark: label → (figure, format kind).
RELATIVE_LABELS: dict[str, tuple[str, str]] = {
    "Alpha": ("alpha", "percent"),
    "Beta": ("beta", "ratio"),
    "Active return": ("active_return", "percent"),
    "Tracking error": ("tracking_error", "percent"),
    "Information ratio": ("information_ratio", "ratio"),
    "Up capture": ("up_capture", "percent"),
    "Down capture": ("down_capture", "percent"),
}
# Figures of the trades: label → (figure, format kind); "records" figures count trade records.
TRADE_LABELS: dict[str, tuple[str, str]] = {
    "Round trips": ("trades", "count"),
    "Win rate (round trips)": ("win_rate", "percent"),
    "Profit factor (round trips)": ("profit_factor", "ratio"),
    "Expectancy (round trips)": ("expectancy", "percent"),
    "MAE (round trips)": ("mae", "percent"),
    "MFE (round trips)": ("gmfe", "percent"),
    "Trade records": ("records", "count"),
    "Records without a return": ("records_without_return", "count"),
    "Fees paid (of capital)": ("fee_paid", "percent"),
    "Taxes paid (of capital)": ("tax_paid", "percent"),
    "Capacity": ("capacity", "money"),
}
# The summary's rows of the execution rules a run used, in order.
EXECUTION_SETTINGS = ("Capital", "Lot size", "Minimum fee", "Price limit", "Tradable flags", "Volume cap", "Slippage",
                      "Unfilled orders", "Cash rate", "Borrow rate")
# Figures of the execution rules: label → (figure, format kind). Costs are
# fractions of the starting capital.
EXECUTION_LABELS: dict[str, tuple[str, str]] = {
    "Orders unfilled (limit up)": ("unfilled_limit_up", "count"),
    "Orders unfilled (limit down)": ("unfilled_limit_down", "count"),
    "Orders unfilled (untradable)": ("unfilled_untradable", "count"),
    "Orders unfilled (volume)": ("unfilled_volume", "count"),
    "Value unfilled on its date": ("unfilled_share", "percent"),
    "Slippage paid (of capital)": ("slippage_paid", "percent"),
    "Interest earned (of capital)": ("interest_earned", "percent"),
    "Borrow fees paid (of capital)": ("borrow_paid", "percent"),
}
# Every figure row of the summary, in order: label → format kind.
FIGURE_LABELS: dict[str, str] = {
    label: kind
    for label, (_, kind) in (
        CURVE_LABELS | RELATIVE_LABELS | DISTRIBUTION_LABELS | TRADE_LABELS | EXECUTION_LABELS
    ).items()
}


def format_figure(value: Any, kind: str) -> str:
    """A figure as written in the summary and on the pages: "n/a" when undefined."""
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

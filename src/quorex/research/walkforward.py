"""Walk-forward analysis: choose parameters on a train window, trade them on the next.

Each window's choice sees only the prices of its train window, and its test
run only the prices up to the end of its test window, so changing prices
after a date never changes the walk-forward equity up to that date.
"""

from __future__ import annotations

from collections.abc import Mapping
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import to_datetime_index
from quorex.backtest.inputs.prices import price_frames
from quorex.figures import curve_returns, return_figures
from quorex.research.grid import Grid, Strategy
from quorex.research.sweep import FIGURES, best_index, sweep
from quorex.research.workload import Workload

Span = int | str | pd.DateOffset | pd.Timedelta


@dataclass(frozen=True)
class Window:
    """Row positions of one window: train ``[train_start, test_start)``, test ``[test_start, test_end)``."""

    train_start: int
    test_start: int
    test_end: int


@dataclass(eq=False)
class WalkForwardResult:
    """The outcome of ``walk_forward``.

    Attributes
    ----------
    equity : Series
        The stitched out-of-sample equity over the test dates (starting
        capital 1 before the first test date).
    returns : Series
        Its daily returns.
    choices : DataFrame
        The parameters chosen for each window (NaN when no set had a value
        of the figure on that train window; the window then stays in cash).
    windows : DataFrame
        Per window: the train and test dates and the chosen set's index in
        the train sweep.
    in_sample, out_of_sample : DataFrame
        Per window: the chosen set's figures on its train window (the sweep's
        row) and on its test window (the return-based figures).
    """

    equity: pd.Series
    returns: pd.Series
    choices: pd.DataFrame
    windows: pd.DataFrame
    in_sample: pd.DataFrame
    out_of_sample: pd.DataFrame


def _span_end(dates: pd.DatetimeIndex, start: int, span: Span, what: str) -> int:
    """The first row at or after ``span`` from row ``start`` (a row count or a calendar span)."""
    if isinstance(span, (int, np.integer)) and not isinstance(span, bool):
        if span < 1:
            raise ValueError(f"{what} must be at least 1 trading date, got {span}")
        return start + int(span)
    try:
        offset = pd.tseries.frequencies.to_offset(span)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number of trading dates or a span such as '365D', got {span!r}") from None
    return int(dates.searchsorted(dates[start] + offset, side="left"))


def _span_start(dates: pd.DatetimeIndex, end: int, span: Span) -> int:
    """The first row of a train window of length ``span`` ending before row ``end``."""
    if isinstance(span, (int, np.integer)):
        return max(end - int(span), 0)
    offset = pd.tseries.frequencies.to_offset(span)
    return int(dates.searchsorted(dates[end] - offset, side="left"))


def windows(dates: pd.DatetimeIndex, train: Span, test: Span, anchored: bool = False) -> list[Window]:
    """The walk-forward windows over ``dates``; the last test window may be shorter."""
    out = []
    test_start = _span_end(dates, 0, train, "train")
    while test_start < len(dates):
        test_end = min(_span_end(dates, test_start, test, "test"), len(dates))
        if test_end <= test_start:
            raise ValueError(f"test span {test!r} covers no trading date after {dates[test_start].date()}")
        train_start = 0 if anchored else _span_start(dates, test_start, train)
        out.append(Window(train_start, test_start, test_end))
        test_start = test_end
    if not out:
        raise ValueError(
            f"train span {train!r} leaves no test dates: the prices cover {len(dates)} dates "
            f"({dates[0].date()} to {dates[-1].date()})"
        )
    if out[0].test_start - out[0].train_start < 2:
        raise ValueError(f"train span {train!r} must cover at least 2 trading dates")
    return out


def _rows(prices: Mapping[str, pd.DataFrame], start: int, end: int) -> dict[str, pd.DataFrame]:
    return {field: frame.iloc[start:end] for field, frame in prices.items()}


def _restricted(strategy: Strategy, last_date: pd.Timestamp) -> Strategy:
    """A weights table cut at ``last_date``: nothing later may reach a run that ends there."""
    if not isinstance(strategy, pd.DataFrame):
        return strategy
    return strategy[to_datetime_index(strategy.index, "weights") <= last_date]


def walk_forward(
    strategy: Strategy,
    prices: pd.DataFrame | Mapping[str, pd.DataFrame],
    grid: Grid,
    *,
    train: Span,
    test: Span,
    anchored: bool = False,
    by: str = "sharpe_ratio",
    executor: Executor | None = None,
    progress: bool = True,
    **fixed: Any,
) -> WalkForwardResult:
    """Choose the best set of ``grid`` on each train window and trade it on the next test window.

    ``train`` and ``test`` are numbers of trading dates or calendar spans
    ("365D", "26W", ...). Rolling windows keep their length; ``anchored``
    train windows all start at the first date. The chosen set's test run
    covers its train window and its test window, so its positions on the
    first test date are those it would have held by then (no switching cost
    between windows is charged); only the test dates' returns are kept.
    ``by`` is a figure of the sweep table (highest wins; lowest for
    volatility and turnover). Other arguments are as for ``sweep``.
    """
    from tqdm.auto import tqdm

    if by not in FIGURES:
        raise ValueError(f"by: unknown figure {by!r}; choose one of {list(FIGURES)}")
    frames = price_frames(prices)
    dates = frames["close"].index
    plan = windows(dates, train, test, anchored)
    is_mapping = isinstance(prices, Mapping)
    per_window = []
    for window in tqdm(plan, unit="window", desc="walk-forward", disable=not progress, leave=False):
        per_window.append(_run_window(strategy, frames, is_mapping, grid, window, by, executor, fixed))
    return _stitch(plan, dates, per_window)


@dataclass
class _WindowOutcome:
    choice: dict[str, Any] | None
    chosen: Any
    in_sample: pd.Series
    test_returns: pd.Series
    params: list[str]


def _run_window(
    strategy: Strategy, frames: dict[str, pd.DataFrame], is_mapping: bool, grid: Grid,
    window: Window, by: str, executor: Executor | None, fixed: dict[str, Any],
) -> _WindowOutcome:
    dates = frames["close"].index
    train_last = dates[window.test_start - 1]
    train_prices = _rows(frames, window.train_start, window.test_start)
    result = sweep(
        _restricted(strategy, train_last), train_prices if is_mapping else train_prices["close"], grid,
        executor=executor, progress=False, **fixed,
    )
    refuse_failed_window(result.table, dates, window)
    test_dates = dates[window.test_start : window.test_end]
    try:
        chosen = best_index(result.table, by)
    except ValueError:
        flat = pd.Series(0.0, index=test_dates)
        return _WindowOutcome(None, np.nan, pd.Series(np.nan, index=list(FIGURES)), flat, result.params)
    run_prices = _rows(frames, window.train_start, window.test_end)
    workload = Workload(
        run_prices if is_mapping else run_prices["close"],
        _restricted(strategy, test_dates[-1]) if isinstance(strategy, pd.DataFrame) else None,
        None if isinstance(strategy, pd.DataFrame) else strategy,
        dict(fixed),
    )
    returns = curve_returns(workload.report(result.sets[chosen]).creturn)
    return _WindowOutcome(
        result.sets[chosen], chosen, result.table.loc[chosen, list(FIGURES)],
        returns.reindex(test_dates, fill_value=0.0), result.params,
    )


def refuse_failed_window(table: pd.DataFrame, dates: pd.DatetimeIndex, window: Window) -> None:
    """A window where every set raised is an error naming the window and the sets' errors.

    Without it the window would stay in cash and the strategy's fault would
    read as a flat stretch of the out-of-sample equity.
    """
    errors = table["error"]
    if len(errors) == 0 or errors.isna().any():
        return
    distinct = errors.value_counts(sort=False)
    listed = "; ".join(f"{message} ({count} set{'s' if count > 1 else ''})" for message, count in distinct.items())
    raise ValueError(
        f"walk-forward: every set failed on the train window {dates[window.train_start].date()} to "
        f"{dates[window.test_start - 1].date()}: {listed}"
    )


def _stitch(plan: list[Window], dates: pd.DatetimeIndex, outcomes: list[_WindowOutcome]) -> WalkForwardResult:
    returns = pd.concat([o.test_returns for o in outcomes]).rename("return")
    returns.index.name = "date"
    equity = (1.0 + returns).cumprod().rename("equity")
    params = list(dict.fromkeys(p for o in outcomes for p in o.params))
    choices = pd.DataFrame(
        [{p: (o.choice or {}).get(p, np.nan) for p in params} for o in outcomes],
        columns=params, index=pd.RangeIndex(len(plan), name="window"),
    )
    windows_table = pd.DataFrame(
        {
            "train_start": dates[[w.train_start for w in plan]],
            "train_end": dates[[w.test_start - 1 for w in plan]],
            "test_start": dates[[w.test_start for w in plan]],
            "test_end": dates[[w.test_end - 1 for w in plan]],
            "set": [o.chosen for o in outcomes],
        },
        index=choices.index,
    )
    in_sample = pd.DataFrame([o.in_sample for o in outcomes], index=choices.index)
    out_of_sample = pd.DataFrame([_test_figures(o.test_returns, dates, w) for o, w in zip(outcomes, plan)],
                                 index=choices.index)
    return WalkForwardResult(equity, returns, choices, windows_table, in_sample, out_of_sample)


def _test_figures(test_returns: pd.Series, dates: pd.DatetimeIndex, window: Window) -> dict[str, float]:
    """Return-based figures of one test window, its curve starting at 1 on the last train date."""
    curve_dates = dates[window.test_start - 1 : window.test_end]
    matrix = np.concatenate([[0.0], test_returns.to_numpy()])[:, None]
    figures = {name: float(v[0]) for name, v in return_figures(matrix, curve_dates).items()}
    figures["final_equity"] = float(np.prod(1.0 + matrix))
    return figures

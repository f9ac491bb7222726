"""Parameter sweeps: many backtests of one strategy, on any executor.

``sweep`` runs one backtest per parameter set, keeps each set's daily
returns and trade figures, and computes the return figures of all sets at
once from the returns matrix with ``quorex.figures``. Sets go out to the
executor in chunks (``quorex.research.tasks``); the market reaches each
worker once (``quorex.research.transport``), and the table is assembled by
set index, so it is the same bit for bit whichever executor ran it.
"""

from __future__ import annotations

import itertools
import math
import os
import warnings
from collections.abc import Mapping
from concurrent.futures import Executor, Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.backtest.period import Period, common_period
from quorex.figures import SWEEP_FIGURES, return_figures
from quorex.io.atomic import write_atomically
from quorex.research.grid import Grid, Strategy, expand_grid, validate
from quorex.research.interrupt import cancel_on_interrupt, stopped
from quorex.research.stats import expected_max_sharpe, moments, psr_values
from quorex.research.stats import pbo as overfitting_probability
from quorex.research.tasks import ChunkOutcome, run_chunk
from quorex.research.transport import Transport, dask_client, worker_count
from quorex.research.workload import RUN_FIGURES, Workload

if TYPE_CHECKING:
    from quorex.backtest.report import Report
    from quorex.research.stats import PBOResult

FIGURES = SWEEP_FIGURES
# Figures where the smaller value is the better one.
LOWER_IS_BETTER = frozenset({"volatility", "turnover"})


class SweepError(RuntimeError):
    """The executor failed before every set had run.

    ``missing`` lists the indices of the sets without a result; ``partial``
    is the ``SweepResult`` of everything that did run (the missing sets have
    NaN figures and their reason in ``error``).
    """

    def __init__(self, message: str, *, missing: list[int], partial: SweepResult) -> None:
        super().__init__(message)
        self.missing = missing
        self.partial = partial


class Collected:
    """Results by set index, filled in as chunks finish."""

    def __init__(self, n_sets: int) -> None:
        self.n_sets = n_sets
        self.returns: list[np.ndarray | None] = [None] * n_sets
        self.run_figures = np.full((n_sets, len(RUN_FIGURES)), np.nan)
        self.errors: list[str | None] = [None] * n_sets
        self.first_positions: list[int | None] = [None] * n_sets
        self.dates: np.ndarray | None = None
        self.missing: list[int] = []

    def add(self, chunk: ChunkOutcome) -> None:
        if self.dates is None and chunk.dates is not None:
            self.dates = chunk.dates
        for result in chunk.sets:
            self.returns[result.index] = result.returns
            self.run_figures[result.index] = result.figures
            self.errors[result.index] = result.error
            self.first_positions[result.index] = result.first_position

    def lose(self, indices: list[int], reason: BaseException) -> None:
        self.missing.extend(indices)
        for i in indices:
            self.errors[i] = f"not run: the executor failed ({type(reason).__name__}: {reason})"


def _chunks(n_sets: int, size: int) -> list[list[int]]:
    return [list(range(start, min(start + size, n_sets))) for start in range(0, n_sets, size)]


def _execute(
    workload: Workload,
    sets: list[dict[str, Any]],
    executor: Executor | None,
    chunk_size: int | None,
    progress: bool,
) -> Collected:
    from tqdm.auto import tqdm

    collected = Collected(len(sets))
    # Sets take tens of milliseconds and differ in length: small chunks keep
    # the workers evenly busy to the end, at a per-task cost of about a millisecond.
    size = chunk_size or max(1, math.ceil(len(sets) / (16 * worker_count(executor))))
    chunks = _chunks(len(sets), int(size))
    owned = executor is None and len(sets) > 1
    pool = ThreadPoolExecutor(os.cpu_count() or 1) if owned else executor
    bar = None
    try:
        if pool is None:
            bar = tqdm(total=len(sets), unit="set", desc="sweep", disable=not progress)
            for chunk in chunks:
                collected.add(run_chunk(workload, chunk, [sets[i] for i in chunk]))
                bar.update(len(chunk))
            return collected
        transport = Transport(workload, pool)
        try:
            pending = _submit(transport.pool, transport.source, chunks, sets, collected)
            # The bar's monitor thread starts only now: a forking pool has started its workers.
            bar = tqdm(total=len(sets), unit="set", desc="sweep", disable=not progress)
            with cancel_on_interrupt(workload, pending):
                _gather(pending, collected, bar)
        finally:
            transport.close()
    finally:
        if bar is not None:
            bar.close()
        if owned:
            # After Ctrl-C the threads stop before their next set; nobody waits for them.
            pool.shutdown(wait=not stopped(workload), cancel_futures=True)
    return collected


def _submit(
    pool: Executor, source: Any, chunks: list[list[int]], sets: list[dict[str, Any]], collected: Collected
) -> dict[Future, list[int]]:
    pending: dict[Future, list[int]] = {}
    for k, chunk in enumerate(chunks):
        try:
            pending[pool.submit(run_chunk, source, chunk, [sets[i] for i in chunk])] = chunk
        except Exception as exc:  # noqa: BLE001 - a broken pool refuses new work
            for rest in chunks[k:]:
                collected.lose(rest, exc)
            break
    return pending


def _gather(pending: dict[Future, list[int]], collected: Collected, bar: Any) -> None:
    """Collect finished chunks in any order; they are filed by set index."""
    for future in as_completed(pending):
        chunk = pending[future]
        try:
            collected.add(future.result())
        except Exception as exc:  # noqa: BLE001 - the chunk's sets are reported missing
            collected.lose(chunk, exc)
        bar.update(len(chunk))


def sweep(
    strategy: Strategy,
    prices: pd.DataFrame | Mapping[str, pd.DataFrame],
    grid: Grid,
    *,
    executor: Executor | None = None,
    progress: bool = True,
    chunk_size: int | None = None,
    **fixed: Any,
) -> SweepResult:
    """Backtest every parameter set of ``grid`` and tabulate their figures.

    Parameters
    ----------
    strategy
        A weights DataFrame (the sweep varies only backtest arguments), or a
        callable ``strategy(prices, **signal_params) -> weights``, called
        where the set runs.
    prices
        As for ``quorex.backtest``.
    grid
        A dict of lists (every combination, the last key varying fastest) or
        a list of dicts. Keys that are ``quorex.backtest`` arguments are
        rules; the others go to the strategy callable.
    executor
        None: a thread pool with one thread per core (serial for one set).
        Any ``concurrent.futures.Executor``: a thread pool or a process pool
        (the market goes to each process once, through shared memory); or a
        Dask ``distributed.Client`` (the market is broadcast to its workers
        once and kept there for the next sweep of the same market).
    progress
        Show a progress bar (tqdm, terminal or notebook).
    chunk_size
        Sets per task; by default about four tasks per worker.
    fixed
        Arguments given to every run (backtest arguments or strategy
        parameters).

    Raises
    ------
    ValueError
        Before anything runs: an empty grid, an unknown key, or a value the
        backtest would refuse.
    SweepError
        When the executor fails (a worker process dies, say); it names the
        sets that did not run and carries the partial result as ``partial``.
    """
    if not isinstance(strategy, pd.DataFrame) and not callable(strategy):
        raise TypeError(f"strategy must be a weights DataFrame or a callable, got {type(strategy).__name__}")
    if chunk_size is not None and (int(chunk_size) != chunk_size or chunk_size < 1):
        raise ValueError(f"chunk_size must be a whole number of at least 1, got {chunk_size}")
    if executor is not None and not isinstance(executor, Executor) and dask_client(executor) is None:
        raise TypeError(
            "executor must be a concurrent.futures.Executor, a Dask distributed.Client or None, "
            f"got {type(executor).__name__}"
        )
    sets = expand_grid(grid)
    validate(sets, fixed, strategy, prices)
    is_table = isinstance(strategy, pd.DataFrame)
    workload = Workload(prices, strategy if is_table else None, None if is_table else strategy, dict(fixed))
    collected = _execute(workload, sets, executor, chunk_size, progress)
    result = _assemble(collected, sets, workload)
    if collected.missing:
        missing = sorted(collected.missing)
        raise SweepError(
            f"the executor failed; {len(missing)} of {len(sets)} sets did not run: {_ranges(missing)} "
            f"({collected.errors[missing[0]]})",
            missing=missing,
            partial=result,
        )
    return result


def _ranges(indices: list[int]) -> str:
    """0, 1, 2, 5, 7, 8 → "0-2, 5, 7-8"."""
    groups = []
    for _, run in itertools.groupby(enumerate(indices), key=lambda pair: pair[1] - pair[0]):
        values = [v for _, v in run]
        groups.append(str(values[0]) if len(values) == 1 else f"{values[0]}-{values[-1]}")
    return ", ".join(groups)


def _returns_frame(collected: Collected) -> pd.DataFrame:
    columns = pd.RangeIndex(collected.n_sets, name="set")
    if collected.dates is None:
        return pd.DataFrame(index=pd.DatetimeIndex([], name="date"), columns=columns, dtype=np.float64)
    dates = pd.DatetimeIndex(collected.dates.view("datetime64[ns]"), name="date")
    matrix = np.full((len(dates), collected.n_sets), np.nan)
    for i, values in enumerate(collected.returns):
        if values is None:
            continue
        if len(values) != len(dates):
            collected.errors[i] = f"the returns cover {len(values)} dates instead of {len(dates)}"
            continue
        matrix[:, i] = values
    return pd.DataFrame(matrix, index=dates, columns=columns)


def figure_table(returns: pd.DataFrame, run_figures: np.ndarray) -> pd.DataFrame:
    """All figures of every set (columns of ``returns``), computed together over its dates."""
    matrix = returns.to_numpy()
    figures = return_figures(matrix, returns.index)
    for k, name in enumerate(RUN_FIGURES):
        figures[name] = run_figures[:, k]
    # The first row is the day before the period: its return is not the period's.
    figures["final_equity"] = np.prod(1.0 + matrix[1:], axis=0) if len(matrix) else np.full(matrix.shape[1], np.nan)
    figures["psr"], figures["dsr"] = _sharpe_probabilities(matrix[1:])
    return pd.DataFrame({name: figures[name] for name in FIGURES}, index=returns.columns)


def _sharpe_probabilities(daily: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """PSR against 0 and DSR against the best of the sets that ran, per set."""
    n_sets = daily.shape[1]
    if len(daily) < 2:
        return np.full(n_sets, np.nan), np.full(n_sets, np.nan)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # sets that failed have no returns
        psr = psr_values(daily, 0.0)
        sr = moments(daily)[1]
        trials = sr[np.isfinite(sr)]
        if len(trials) < 2:
            return psr, np.full(n_sets, np.nan)
        threshold = expected_max_sharpe(len(trials), float(np.std(trials, ddof=1)))
        return psr, psr_values(daily, threshold)


def sweep_period(returns: pd.DataFrame, first_positions: list[int | None]) -> Period:
    """The one period every set is measured over: from the latest first position of the sets that ran."""
    if len(returns.index) == 0:
        return Period(pd.NaT, pd.NaT, pd.NaT, "no set ran")
    firsts = [None if f is None else pd.Timestamp(f) for f in first_positions]
    return common_period(returns.index, firsts)


def _assemble(collected: Collected, sets: list[dict[str, Any]], workload: Workload) -> SweepResult:
    returns = _returns_frame(collected)
    ran = [f for f, e in zip(collected.first_positions, collected.errors) if e is None]
    period = sweep_period(returns, ran)
    measured = returns if len(returns.index) == 0 else period.curve(returns)
    figures = figure_table(measured, collected.run_figures)
    params = list(dict.fromkeys(key for entry in sets for key in entry))
    table = pd.DataFrame.from_records(
        [{key: entry.get(key) for key in params} for entry in sets], columns=params, index=returns.columns
    )
    table = pd.concat([table, figures], axis=1)
    table["error"] = pd.Series(collected.errors, index=returns.columns, dtype=object)
    return SweepResult(table=table, returns=returns, params=params, sets=sets, workload=workload, period=period)


@dataclass(eq=False, repr=False)
class SweepResult:
    """The outcome of ``sweep``.

    Attributes
    ----------
    table : DataFrame
        One row per set, in grid order: the parameters, the figures
        (``quorex.figures.SWEEP_FIGURES``: the return figures, the trade
        figures over round trips, the number of trade records, yearly one-way
        turnover, final equity, PSR, DSR) and ``error`` (the message of a
        set that failed).
    returns : DataFrame
        Daily returns, dates × sets; ``(1 + returns).cumprod()`` is each
        set's equity curve.
    params : list of str
        The varied parameters (the first columns of ``table``).
    sets : list of dict
        Each set's parameters.
    workload : Workload
        The market, strategy and fixed arguments every set ran with.
    period : Period
        The dates every set's return figures, PSR and DSR are measured over,
        the same for all: from the latest date on which a set first held a
        position (so no set is measured over its warm-up in cash) to the last
        date. ``period.curve(returns)`` gives those rows (from the close
        before the period). Trade figures count each set's round trips, and
        its turnover is per year of its own time from its first position.
    """

    table: pd.DataFrame
    returns: pd.DataFrame
    params: list[str]
    sets: list[dict[str, Any]]
    workload: Workload
    period: Period

    def best(self, by: str = "sharpe_ratio") -> pd.Series:
        """The table row of the best set by ``by`` (highest; lowest for volatility and turnover)."""
        return self.table.loc[best_index(self.table, by)]

    def report(self, i: int) -> Report:
        """Re-run set ``i`` and return its full ``Report``."""
        if not 0 <= i < len(self.sets):
            raise IndexError(f"set {i} does not exist; the sweep has sets 0 to {len(self.sets) - 1}")
        return self.workload.report(self.sets[i])

    def pbo(self, blocks: int = 16) -> PBOResult:
        """The probability of backtest overfitting of the sets that ran (see ``quorex.stats.pbo``)."""
        ran = self.table.index[self.table["error"].isna()]
        return overfitting_probability(self.measured_returns().iloc[1:][ran], blocks=blocks)

    def measured_returns(self) -> pd.DataFrame:
        """The daily returns of the measured period, from the close before it (the first row)."""
        return self.period.curve(self.returns) if len(self.returns.index) else self.returns

    def to_html(
        self, path: str | Path | None = None, *, by: str = "sharpe_ratio", title: str | None = None,
        with_pbo: bool = True,
    ) -> str:
        """A sweep page (HTML); written to ``path`` when given."""
        from quorex.pages.sweep_page import sweep_html

        overfitting = None
        if with_pbo:
            try:
                overfitting = self.pbo()
            except ValueError:
                overfitting = None  # too few sets or dates
        html = sweep_html(self.table, self.measured_returns(), by=by, params=self.params, pbo=overfitting,
                          title=title)
        if path is not None:
            write_atomically(Path(path), html.encode("utf-8"))
        return html

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        return f"<SweepResult: {len(self.table)} sets over {self.params}, {failed} failed>"


def best_index(table: pd.DataFrame, by: str) -> Any:
    """The index of the best row of ``table`` by figure ``by`` (the first on ties)."""
    if by not in FIGURES:
        raise ValueError(f"by: unknown figure {by!r}; choose one of {list(FIGURES)}")
    values = pd.to_numeric(table[by], errors="coerce")
    if values.notna().sum() == 0:
        raise ValueError(f"by={by!r}: no set has a value")
    return values.idxmin() if by in LOWER_IS_BETTER else values.idxmax()

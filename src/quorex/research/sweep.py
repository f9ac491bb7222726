"""Parameter sweeps: many backtests of one strategy, on any executor, at any scale.

``sweep`` runs one backtest per parameter set and tabulates its figures.
The strategy runs once per distinct combination of its own parameters
(``quorex.research.signals``); each set then costs one engine run and its
figures, computed from the engine's arrays (``quorex.research.runs``). Sets
go out to the executor in chunks (``quorex.research.execution``); the market
and the signals reach each worker once (``quorex.research.transport``);
finished chunks go to memory or to a store on disk
(``quorex.research.results``), from which a stopped sweep resumes. When all
have run, every set is measured over one common period, from the latest
first position among them (``quorex.research.measured``). The table is
assembled by set index, so it is the same bit for bit whichever executor
ran it, in how many chunks, and whether it was resumed.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Mapping
from concurrent.futures import Executor
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex.backtest.period import Period
from quorex.figures import SWEEP_FIGURES
from quorex.io.atomic import write_atomically
from quorex.research.execution import Lost, execute
from quorex.research.grid import Grid, Strategy, expand_grid, validate
from quorex.research.measured import MEASURED_FIGURES, deflated_sharpe, measure, sweep_period
from quorex.research.results import MemoryResults, StoredResults
from quorex.research.runs import RUN_FIGURES
from quorex.research.signals import plan_signals
from quorex.research.stats import pbo as overfitting_probability
from quorex.research.tokens import token
from quorex.research.transport import dask_client
from quorex.research.workload import Workload

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
    NaN figures and their reason in ``error``). With a ``store``, running
    the same sweep again runs only the missing sets.
    """

    def __init__(self, message: str, *, missing: list[int], partial: SweepResult) -> None:
        super().__init__(message)
        self.missing = missing
        self.partial = partial


def sweep(
    strategy: Strategy,
    prices: pd.DataFrame | Mapping[str, pd.DataFrame],
    grid: Grid,
    *,
    executor: Executor | Any | None = None,
    progress: bool = True,
    chunk_size: int | None = None,
    store: str | os.PathLike[str] | None = None,
    **fixed: Any,
) -> SweepResult:
    """Backtest every parameter set of ``grid`` and tabulate their figures.

    Parameters
    ----------
    strategy
        A weights DataFrame (the sweep varies only backtest arguments), or a
        callable ``strategy(prices, **signal_params) -> weights``, called
        once per distinct combination of its parameters, by a worker.
    prices
        As for ``quorex.backtest``.
    grid
        A dict of lists (every combination, the last key varying fastest) or
        a list of dicts. Keys that are ``quorex.backtest`` arguments are
        rules; the others go to the strategy callable.
    executor
        None: a thread pool with one thread per core (serial for one set).
        Any ``concurrent.futures.Executor``: a thread pool or a process pool
        (the market and each weights table go to each process once, through
        shared memory); or a Dask ``distributed.Client`` (the market is
        broadcast to its workers once and kept there for the next sweep of
        the same market; each weights table is computed by one task).
    progress
        Show a progress bar (tqdm, terminal or notebook).
    chunk_size
        Sets per task; by default about sixteen tasks per worker.
    store
        A directory: each finished chunk's rows and returns are written
        there as Parquet files (needs pyarrow, ``quorex[parquet]``), memory
        stays flat whatever the number of sets, and the same call with the
        same ``store`` runs only the sets missing there. A store written by
        another sweep (grid, market, fixed arguments or strategy) is refused.
    fixed
        Arguments given to every run (backtest arguments or strategy
        parameters).

    Raises
    ------
    ValueError
        Before anything runs: an empty grid, an unknown key, a value the
        backtest would refuse, or a store of another sweep.
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
    days = pd.DatetimeIndex(workload.calendar.days.to_numpy(), name="date")
    if store is None:
        results: MemoryResults | StoredResults = MemoryResults(len(sets), days)
    else:
        results = StoredResults.open(store, sweep_identity(workload, sets), len(sets), days)
    pending = results.pending()
    with _Progress(len(sets), len(sets) - len(pending), progress) as bar:
        lost = execute(workload, sets, plan_signals(sets, fixed, is_table), pending, executor, chunk_size,
                       results, bar.update)
    result = _assemble(results, lost, sets, workload)
    if lost:
        missing = sorted(i for loss in lost for i in loss.indices)
        raise SweepError(
            f"the executor failed; {len(missing)} of {len(sets)} sets did not run: {_ranges(missing)} "
            f"({result.table['error'].iloc[missing[0]]})",
            missing=missing,
            partial=result,
        )
    return result


def sweep_identity(workload: Workload, sets: list[dict[str, Any]]) -> dict[str, str]:
    """What a store's results belong to, by content."""
    return {
        "grid": token(sets),
        "market": token(workload.prices),
        "fixed arguments": token(workload.fixed),
        "strategy": token(workload.weights if workload.strategy is None else workload.strategy),
    }


class _Progress:
    """A tqdm bar that starts at the first finished chunk: a forking pool has started its workers by then."""

    def __init__(self, total: int, done: int, show: bool) -> None:
        self.total, self.done, self.show = total, done, show
        self.bar: Any = None

    def update(self, n: int) -> None:
        if self.bar is None:
            from tqdm.auto import tqdm

            self.bar = tqdm(total=self.total, initial=self.done, unit="set", desc="sweep", disable=not self.show)
        self.bar.update(n)

    def __enter__(self) -> _Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


def _ranges(indices: list[int]) -> str:
    """0, 1, 2, 5, 7, 8 → "0-2, 5, 7-8"."""
    groups = []
    for _, run in itertools.groupby(enumerate(indices), key=lambda pair: pair[1] - pair[0]):
        values = [v for _, v in run]
        groups.append(str(values[0]) if len(values) == 1 else f"{values[0]}-{values[-1]}")
    return ", ".join(groups)


def _assemble(results: MemoryResults | StoredResults, lost: list[Lost], sets: list[dict[str, Any]],
              workload: Workload) -> SweepResult:
    # The table's figures, filled column by column where they are found: a sweep of many
    # sets holds them once.
    figures = np.full((len(sets), len(FIGURES)), np.nan, order="F")
    columns = {name: figures[:, k] for k, name in enumerate(FIGURES)}
    first_days, errors = results.rows({name: columns[name] for name in RUN_FIGURES})
    for loss in lost:
        reason = f"not run: the executor failed ({type(loss.reason).__name__}: {loss.reason})"
        for i in loss.indices:
            errors[i] = reason
    days = results.days
    ran = np.array([error is None for error in errors], dtype=bool)
    period, base = sweep_period(days, first_days, ran)
    if base < len(days):
        observed = measure(results.curves(base), days[base:], {name: columns[name] for name in MEASURED_FIGURES})
        columns["dsr"][:] = deflated_sharpe(observed)
    index = pd.RangeIndex(len(sets), name="set")
    params = list(dict.fromkeys(key for entry in sets for key in entry))
    table = sweep_table(figures, errors, sets, params, index)

    def returns() -> pd.DataFrame:
        return pd.DataFrame(results.returns(), index=days, columns=index, copy=False)  # the matrix is ours

    return SweepResult(table=table, returns=returns, params=params, sets=sets, workload=workload, period=period,
                       store=getattr(results, "path", None))


def sweep_table(figures: np.ndarray, errors: list[str | None], sets: list[dict[str, Any]], params: list[str],
                index: pd.Index) -> pd.DataFrame:
    """One row per set: its parameters, ``FIGURES`` (the columns of ``figures``, column-major, taken
    without a copy) and its error."""
    table = pd.DataFrame(figures, index=index, columns=list(FIGURES), copy=False)
    for position, key in enumerate(params):
        table.insert(position, key, pd.Series([entry.get(key) for entry in sets], index=index))
    table["error"] = pd.Series(errors, index=index, dtype=object)
    return table


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
        set's equity curve. From a store it is read when first asked for.
    params : list of str
        The varied parameters (the first columns of ``table``).
    sets : list of dict
        Each set's parameters.
    workload : Workload
        The market, strategy and fixed arguments every set ran with.
    period : Period
        The dates every set's return figures, final equity, PSR and DSR are
        measured over, the same for all: from the latest date on which a set
        first held a position (so no set is measured over its warm-up in
        cash) to the last date. ``period.curve(returns)`` gives those rows
        (from the close before the period). Trade figures count each set's
        round trips, and its turnover is per year of its own time from its
        first position.
    store : Path or None
        The store the results were kept in.
    """

    def __init__(
        self, *, table: pd.DataFrame, returns: pd.DataFrame | Callable[[], pd.DataFrame], params: list[str],
        sets: list[dict[str, Any]], workload: Workload, period: Period, store: Path | None = None,
    ) -> None:
        self.table = table
        self._returns = returns
        self.params = params
        self.sets = sets
        self.workload = workload
        self.period = period
        self.store = store

    @property
    def returns(self) -> pd.DataFrame:
        if callable(self._returns):
            self._returns = self._returns()
        return self._returns

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
        return self.returns if self.period.start is pd.NaT else self.period.curve(self.returns)

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

"""Parameter sweeps: many backtests of one strategy, on any executor.

``sweep`` runs one backtest per parameter set, keeps each set's daily
returns and trade figures, and computes the performance figures of all sets
at once from the returns matrix. Sets go out to the executor in chunks; the
market reaches each worker process once (shared memory for a local process
pool, a broadcast for a Dask cluster) and the table is assembled by set
index, so it is the same bit for bit whichever executor ran it.
"""

from __future__ import annotations

import inspect
import itertools
import math
import os
import pickle
import threading
import uuid
import warnings
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from multiprocessing import shared_memory
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from quorex import _figures
from quorex.backtesting import PreparedPrices, backtest, prepare_prices

if TYPE_CHECKING:
    from quorex.report import Report
    from quorex.stats import PBOResult

Strategy = pd.DataFrame | Callable[..., pd.DataFrame]
Grid = Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]]

BACKTEST_ARGUMENTS = tuple(inspect.signature(backtest).parameters)[2:]
TRADE_FIGURES = ("win_rate", "profit_factor", "trades", "turnover")
FIGURES = (*_figures.RETURN_FIGURES, *TRADE_FIGURES, "final_equity", "psr", "dsr")
# Figures where the smaller value is the better one.
LOWER_IS_BETTER = frozenset({"volatility", "turnover"})
_STOP_RULES = ("stop_loss", "take_profit", "trail_stop")
_SWITCHES = ("touched_exit", "retain_cost_when_rebalance", "stop_trading_next_period",
             "periodically_rebalance")

# Markets attached by this (worker) process, newest last.
_ATTACHED: OrderedDict[str, tuple[shared_memory.SharedMemory, _Workload]] = OrderedDict()
_ATTACHED_LIMIT = 2
_ATTACH_LOCK = threading.Lock()
_ALIGN = 64


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


# ---------------------------------------------------------------------------
# Grid


def expand_grid(grid: Grid) -> list[dict[str, Any]]:
    """The parameter sets of ``grid``, in order.

    A dict of lists gives every combination, the last key varying fastest
    (``itertools.product`` order); a list of dicts gives its sets as listed.
    """
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("grid is empty: give at least one key with values")
        for key, values in grid.items():
            if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                raise ValueError(f"grid[{key!r}] must be a list of values, got {values!r}")
        lists = {key: list(values) for key, values in grid.items()}
        for key, values in lists.items():
            if not values:
                raise ValueError(f"grid[{key!r}] has no values")
        keys = list(lists)
        return [dict(zip(keys, combo)) for combo in itertools.product(*lists.values())]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}")
    sets = list(grid)
    if not sets:
        raise ValueError("grid is empty: give at least one parameter set")
    for i, entry in enumerate(sets):
        if not isinstance(entry, Mapping):
            raise TypeError(f"grid[{i}] must be a dict of parameters, got {type(entry).__name__}")
    return [dict(entry) for entry in sets]


def _strategy_parameters(strategy: Strategy) -> frozenset[str] | None:
    """The keyword parameters a strategy callable takes (None: any), empty for a weights table."""
    if isinstance(strategy, pd.DataFrame):
        return frozenset()
    try:
        parameters = list(inspect.signature(strategy).parameters.values())
    except (TypeError, ValueError):
        return None
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters):
        return None
    return frozenset(p.name for p in parameters[1:] if p.kind is not inspect.Parameter.VAR_POSITIONAL)


def _check_keys(keys: Iterable[str], strategy: Strategy, where: str) -> None:
    accepted = _strategy_parameters(strategy)
    for key in keys:
        if key in ("weights", "prices"):
            raise ValueError(f"{where}: {key!r} cannot be varied; pass it as the sweep's own argument")
        if key in BACKTEST_ARGUMENTS or accepted is None or key in accepted:
            continue
        extra = "" if isinstance(strategy, pd.DataFrame) else " nor a parameter of the strategy"
        raise ValueError(f"{where}: unknown key {key!r}: not a quorex.backtest argument{extra}")


def _check_rule(key: str, value: Any, prices: Any) -> None:
    """Refuse, before anything runs, a rule value that the backtest would refuse."""
    from quorex import backtesting as bt

    fields = set(prices) if isinstance(prices, Mapping) else {"close"}
    if key in _STOP_RULES:
        bt._stop_arguments(**{**dict.fromkeys(_STOP_RULES), key: value})
    elif key in ("fee_ratio", "tax_ratio"):
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"must be a number, got {value!r}") from None
        if not math.isfinite(number):
            raise ValueError(f"must be a finite number, got {value!r}")
    elif key == "position_limit":
        bt._check_run_settings(value, 0, 1)
    elif key == "excursion_window":
        bt._check_run_settings(1.0, value, 1)
    elif key == "excursion_step":
        bt._check_run_settings(1.0, 0, value)
    elif key == "trade_at":
        if value not in ("close", "open"):
            raise ValueError(f"trade_at must be 'close' or 'open', got {value!r}")
        if value == "open" and "open" not in fields:
            raise ValueError("trade_at='open' needs an 'open' price frame")
    elif key == "rebalance" and value is not None:
        if isinstance(value, str):
            try:
                pd.tseries.frequencies.to_offset(value)
            except ValueError:
                raise ValueError(f"unknown frequency {value!r}") from None
        else:
            bt.to_datetime_index(pd.Index(value), "rebalance")
    elif key in _SWITCHES and not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{key} must be True or False, got {value!r}")
    if key == "touched_exit" and value and not {"open", "high", "low"} <= fields:
        raise ValueError("touched_exit needs 'open', 'high' and 'low' prices besides 'close'")


def validate(sets: list[dict[str, Any]], fixed: Mapping[str, Any], strategy: Strategy, prices: Any) -> None:
    """Every key known and every rule value acceptable, or a ValueError naming the key."""
    _check_keys(fixed, strategy, "fixed arguments")
    varied = {key for entry in sets for key in entry}
    _check_keys(varied, strategy, "grid")
    clash = sorted(varied & set(fixed))
    if clash:
        raise ValueError(f"grid and fixed arguments both set {clash}")
    checked: set[tuple[str, str]] = set()
    pairs = [(k, v, "fixed argument") for k, v in fixed.items()]
    pairs += [(k, v, "grid") for entry in sets for k, v in entry.items()]
    for key, value, where in pairs:
        if key not in BACKTEST_ARGUMENTS:
            continue
        seen = (key, repr(value))
        if seen in checked:
            continue
        checked.add(seen)
        try:
            _check_rule(key, value, prices)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{where} {key}={value!r}: {exc}") from None


# ---------------------------------------------------------------------------
# Running one set (in the worker)


@dataclass(frozen=True)
class _Workload:
    """What every set needs: the market, the strategy and the fixed arguments."""

    prices: Any
    weights: pd.DataFrame | None
    strategy: Callable[..., pd.DataFrame] | None
    fixed: dict[str, Any]

    def report(self, settings: Mapping[str, Any]) -> Report:
        """The backtest of one parameter set."""
        merged = {**self.fixed, **settings}
        rules = {k: v for k, v in merged.items() if k in BACKTEST_ARGUMENTS}
        if self.strategy is None:
            weights = self.weights
        else:
            signals = {k: v for k, v in merged.items() if k not in BACKTEST_ARGUMENTS}
            weights = self.strategy(self.prices, **signals)
        return backtest(weights, self.prepared(rules.get("bad_prices", "raise")), **rules)

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A Dask worker rebuilds arrays inside its network buffers, at offsets
        # that leave float64 data unaligned; NumPy then takes its slow paths
        # on every scan. The frames are copied once, aligned, on arrival.
        state = {k: v for k, v in state.items() if k != "_prepared"}
        state["prices"] = _realigned(state["prices"])
        state["weights"] = _realigned(state["weights"])
        self.__dict__.update(state)

    def prepared(self, bad_prices: str) -> PreparedPrices:
        """The market checked once per process and mode, not once per set."""
        cache = self.__dict__.setdefault("_prepared", {})
        if bad_prices not in cache:
            cache[bad_prices] = prepare_prices(self.prices, bad_prices)
        return cache[bad_prices]


def _realigned(prices: Any) -> Any:
    """``prices`` (a frame, a mapping of frames or anything else) with aligned frame values."""
    def aligned(frame: Any) -> Any:
        if isinstance(frame, pd.DataFrame) and not frame.to_numpy().flags.aligned:
            return frame.copy()
        return frame

    if isinstance(prices, Mapping):
        return {field: aligned(frame) for field, frame in prices.items()}
    return aligned(prices)


@dataclass
class _SetOutcome:
    index: int
    returns: np.ndarray | None
    trade_figures: tuple[float, float, float, float]
    error: str | None


@dataclass
class _ChunkOutcome:
    dates: np.ndarray | None  # int64 nanoseconds, from the first set that ran
    sets: list[_SetOutcome]


def trade_figures(trades: pd.DataFrame, dates: pd.DatetimeIndex) -> tuple[float, float, float, float]:
    """Win rate, profit factor and trade count as the Metrics accessors give them, and turnover.

    Turnover is the yearly one-way turnover: half the absolute change of the
    held target weights summed over all dates and symbols, per year.
    """
    count = len(trades)
    if count == 0:
        return 0.0, 1.0, 0.0, 0.0
    returns = trades["return"]
    win_rate = float((returns > 0).mean())
    gain, loss = returns[returns > 0].sum(), returns[returns < 0].sum()
    profit_factor = abs(float(gain / loss)) if loss else 0.0
    return win_rate, profit_factor, float(count), _turnover(trades, dates)


def _turnover(trades: pd.DataFrame, dates: pd.DatetimeIndex) -> float:
    position = trades["position"].to_numpy(dtype=np.float64)
    entry = trades["entry_index"].to_numpy(dtype=np.int64)
    exit_ = trades["exit_index"].to_numpy(dtype=np.int64)
    stock = pd.factorize(trades["stock_id"])[0].astype(np.int64)
    closed = exit_ >= 0
    # A trade split at a rebalance exits and re-enters on one date: only the net change trades.
    day = np.concatenate([entry, exit_[closed]])
    code = np.concatenate([stock, stock[closed]]) * (int(max(day.max(), 0)) + 1) + day
    change = np.concatenate([position, -position[closed]])
    slot = pd.factorize(code)[0]  # hashing: no sort
    traded = np.abs(np.bincount(slot, weights=change)).sum()
    years = (dates[-1] - dates[0]).total_seconds() / _figures.SECONDS_PER_YEAR if len(dates) > 1 else 0.0
    return float(traded / 2.0 / years) if years > 0 else float("nan")


def _run_set(workload: _Workload, index: int, settings: Mapping[str, Any]) -> tuple[_SetOutcome, np.ndarray]:
    report = workload.report(settings)
    returns = _figures.curve_returns(report.creturn)
    figures = trade_figures(report.trades, returns.index)
    return _SetOutcome(index, returns.to_numpy(), figures, None), returns.index.asi8


def _run_chunk(source: Any, indices: list[int], settings: list[dict[str, Any]]) -> _ChunkOutcome:
    """Run a chunk of sets; a failing set records its error and the others go on."""
    workload = _resolve(source)
    outcome = _ChunkOutcome(dates=None, sets=[])
    for index, params in zip(indices, settings):
        try:
            result, dates = _run_set(workload, index, params)
        except Exception as exc:  # noqa: BLE001 - a failing set must not lose the others
            result = _SetOutcome(index, None, (np.nan,) * 4, f"{type(exc).__name__}: {exc}")
        else:
            if outcome.dates is None:
                outcome.dates = dates
        outcome.sets.append(result)
    return outcome


# ---------------------------------------------------------------------------
# Getting the workload to the workers


@dataclass(frozen=True)
class _SharedWorkload:
    """A workload pickled into one shared-memory block: the header, then its large buffers."""

    token: str
    block: str
    header_size: int
    buffer_sizes: tuple[int, ...]


def _aligned(size: int) -> int:
    return -(-size // _ALIGN) * _ALIGN


def _share(workload: _Workload) -> tuple[_SharedWorkload, shared_memory.SharedMemory]:
    """The workload in shared memory; NumPy buffers are written once, outside the pickle."""
    buffers: list[pickle.PickleBuffer] = []
    try:
        header = pickle.dumps(workload, protocol=5, buffer_callback=buffers.append)
    except (pickle.PicklingError, TypeError, AttributeError) as exc:
        raise ValueError(f"the strategy or an argument cannot be sent to worker processes: {exc}") from None
    raws = [b.raw() for b in buffers]
    total = _aligned(len(header)) + sum(_aligned(r.nbytes) for r in raws)
    room = _shared_memory_room()
    if room is not None and room < total:
        # Writing past a full tmpfs kills the process (SIGBUS) instead of raising.
        raise OSError(f"shared memory has {room / 2**20:.0f} MiB free, the market needs {total / 2**20:.0f} MiB")
    block = shared_memory.SharedMemory(create=True, size=max(total, 1))
    offset = 0
    for data in (memoryview(header), *raws):
        block.buf[offset : offset + data.nbytes] = data
        offset += _aligned(data.nbytes)
    shared = _SharedWorkload(uuid.uuid4().hex, block.name, len(header), tuple(r.nbytes for r in raws))
    return shared, block


def _shared_memory_room() -> int | None:
    """Free bytes of the file system behind shared memory blocks (None where there is none to ask)."""
    try:
        status = os.statvfs("/dev/shm")
    except (OSError, AttributeError):
        return None
    return status.f_bavail * status.f_frsize


def _attach(shared: _SharedWorkload) -> _Workload:
    """This process's copy-free view of a shared workload (attached once per process)."""
    with _ATTACH_LOCK:
        if shared.token in _ATTACHED:
            return _ATTACHED[shared.token][1]
        block = shared_memory.SharedMemory(name=shared.block, track=False)
        view = block.buf
        offset = _aligned(shared.header_size)
        buffers = []
        for size in shared.buffer_sizes:
            # Read-only: a strategy that writes into the prices must not change them for other sets.
            buffers.append(view[offset : offset + size].toreadonly())
            offset += _aligned(size)
        workload = pickle.loads(view[: shared.header_size], buffers=buffers)
        _ATTACHED[shared.token] = (block, workload)
        while len(_ATTACHED) > _ATTACHED_LIMIT:
            _ATTACHED.popitem(last=False)  # the arrays keep their mapping alive while in use
        return workload


def _resolve(source: Any) -> _Workload:
    return _attach(source) if isinstance(source, _SharedWorkload) else source


def _dask_client(executor: Executor | None) -> Any:
    """The Dask client behind ``client.get_executor()``, or None for other executors."""
    if executor is None or not type(executor).__module__.startswith("distributed"):
        return None
    return getattr(executor, "_client", None)


def _worker_count(executor: Executor | None) -> int:
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    client = _dask_client(executor)
    if client is not None:
        return max(1, sum(client.nthreads().values()))
    return os.cpu_count() or 1


# The last market each Dask client was sent, by content token, kept on its
# workers so that further sweeps of the same market (a grid refined step by
# step) do not send it again. One per client: a new market replaces it.
_cluster_markets: weakref.WeakKeyDictionary[Any, tuple[str, Any]] = weakref.WeakKeyDictionary()
_cluster_markets_lock = threading.Lock()


def _scatter_once(client: Any, workload: _Workload) -> Any:
    """The workload's future on every worker of ``client``, sent only when its content is new there."""
    from dask.base import tokenize

    token = tokenize(workload.prices, workload.weights, workload.strategy, workload.fixed)
    with _cluster_markets_lock:
        cached = _cluster_markets.get(client)
        if cached is not None and cached[0] == token and cached[1].status == "finished":
            return cached[1]
    future = client.scatter(workload, broadcast=True, hash=False)
    with _cluster_markets_lock:
        previous = _cluster_markets.get(client)
        _cluster_markets[client] = (token, future)
    if previous is not None:
        previous[1].release()
    return future


class _Transport:
    """How the workload travels to the workers of one executor, and its clean-up."""

    def __init__(self, workload: _Workload, executor: Executor | None) -> None:
        self._block: shared_memory.SharedMemory | None = None
        client = _dask_client(executor)
        if isinstance(executor, ProcessPoolExecutor):
            try:
                self.source, self._block = _share(workload)
            except OSError as exc:
                warnings.warn(f"sending the market with every task instead of sharing it: {exc}",
                              RuntimeWarning, stacklevel=4)
                self.source = workload
        elif client is not None:
            self.source = _scatter_once(client, workload)
        else:
            self.source = workload

    def close(self) -> None:
        if self._block is not None:
            self._block.close()
            self._block.unlink()


# ---------------------------------------------------------------------------
# The sweep


class _Collected:
    """Results by set index, filled in as chunks finish."""

    def __init__(self, n_sets: int) -> None:
        self.n_sets = n_sets
        self.returns: list[np.ndarray | None] = [None] * n_sets
        self.trade_figures = np.full((n_sets, len(TRADE_FIGURES)), np.nan)
        self.errors: list[str | None] = [None] * n_sets
        self.dates: np.ndarray | None = None
        self.missing: list[int] = []

    def add(self, chunk: _ChunkOutcome) -> None:
        if self.dates is None and chunk.dates is not None:
            self.dates = chunk.dates
        for result in chunk.sets:
            self.returns[result.index] = result.returns
            self.trade_figures[result.index] = result.trade_figures
            self.errors[result.index] = result.error

    def lose(self, indices: list[int], reason: BaseException) -> None:
        self.missing.extend(indices)
        for i in indices:
            self.errors[i] = f"not run: the executor failed ({type(reason).__name__}: {reason})"


def _chunks(n_sets: int, size: int) -> list[list[int]]:
    return [list(range(start, min(start + size, n_sets))) for start in range(0, n_sets, size)]


def _execute(
    workload: _Workload,
    sets: list[dict[str, Any]],
    executor: Executor | None,
    chunk_size: int | None,
    progress: bool,
) -> _Collected:
    from tqdm.auto import tqdm

    collected = _Collected(len(sets))
    # Sets take tens of milliseconds and differ in length: small chunks keep
    # the workers evenly busy to the end, at a per-task cost of about a millisecond.
    size = chunk_size or max(1, math.ceil(len(sets) / (16 * _worker_count(executor))))
    chunks = _chunks(len(sets), int(size))
    owned = executor is None and len(sets) > 1
    pool = ThreadPoolExecutor(os.cpu_count() or 1) if owned else executor
    bar = None
    try:
        if pool is None:
            bar = tqdm(total=len(sets), unit="set", desc="sweep", disable=not progress)
            for chunk in chunks:
                collected.add(_run_chunk(workload, chunk, [sets[i] for i in chunk]))
                bar.update(len(chunk))
            return collected
        transport = _Transport(workload, pool)
        try:
            pending = _submit(pool, transport.source, chunks, sets, collected)
            # The bar's monitor thread starts only now: a forking pool has started its workers.
            bar = tqdm(total=len(sets), unit="set", desc="sweep", disable=not progress)
            _gather(pending, collected, bar)
        finally:
            transport.close()
    finally:
        if bar is not None:
            bar.close()
        if owned:
            pool.shutdown()
    return collected


def _submit(
    pool: Executor, source: Any, chunks: list[list[int]], sets: list[dict[str, Any]], collected: _Collected
) -> dict[Future, list[int]]:
    pending: dict[Future, list[int]] = {}
    for k, chunk in enumerate(chunks):
        try:
            pending[pool.submit(_run_chunk, source, chunk, [sets[i] for i in chunk])] = chunk
        except Exception as exc:  # noqa: BLE001 - a broken pool refuses new work
            for rest in chunks[k:]:
                collected.lose(rest, exc)
            break
    return pending


def _gather(pending: dict[Future, list[int]], collected: _Collected, bar: Any) -> None:
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
        Any ``concurrent.futures.Executor``: a thread pool, a process pool
        (the market goes to each process once, through shared memory) or a
        Dask ``Client(...).get_executor()`` (the market is broadcast to the
        workers once).
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
    if executor is not None and not isinstance(executor, Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor or None, got {type(executor).__name__}")
    sets = expand_grid(grid)
    validate(sets, fixed, strategy, prices)
    is_table = isinstance(strategy, pd.DataFrame)
    workload = _Workload(prices, strategy if is_table else None, None if is_table else strategy, dict(fixed))
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


def _returns_frame(collected: _Collected) -> pd.DataFrame:
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


def figure_table(returns: pd.DataFrame, trade_figures: np.ndarray) -> pd.DataFrame:
    """All figures of every set (columns of ``returns``), computed together."""
    matrix = returns.to_numpy()
    figures = _figures.return_figures(matrix, returns.index)
    for k, name in enumerate(TRADE_FIGURES):
        figures[name] = trade_figures[:, k]
    figures["final_equity"] = np.prod(1.0 + matrix, axis=0) if len(matrix) else np.full(matrix.shape[1], np.nan)
    figures["psr"], figures["dsr"] = _sharpe_probabilities(matrix[1:])
    return pd.DataFrame({name: figures[name] for name in FIGURES}, index=returns.columns)


def _sharpe_probabilities(daily: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """PSR against 0 and DSR against the best of the sets that ran, per set."""
    from quorex import stats

    n_sets = daily.shape[1]
    if len(daily) < 2:
        return np.full(n_sets, np.nan), np.full(n_sets, np.nan)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # sets that failed have no returns
        psr = stats._psr(daily, 0.0)
        sr = stats._moments(daily)[1]
        trials = sr[np.isfinite(sr)]
        if len(trials) < 2:
            return psr, np.full(n_sets, np.nan)
        threshold = stats.expected_max_sharpe(len(trials), float(np.std(trials, ddof=1)))
        return psr, stats._psr(daily, threshold)


def _assemble(collected: _Collected, sets: list[dict[str, Any]], workload: _Workload) -> SweepResult:
    returns = _returns_frame(collected)
    figures = figure_table(returns, collected.trade_figures)
    params = list(dict.fromkeys(key for entry in sets for key in entry))
    table = pd.DataFrame.from_records(
        [{key: entry.get(key) for key in params} for entry in sets], columns=params, index=returns.columns
    )
    table = pd.concat([table, figures], axis=1)
    table["error"] = pd.Series(collected.errors, index=returns.columns, dtype=object)
    return SweepResult(table=table, returns=returns, params=params, sets=sets, _workload=workload)


@dataclass(eq=False, repr=False)
class SweepResult:
    """The outcome of ``sweep``.

    Attributes
    ----------
    table : DataFrame
        One row per set, in grid order: the parameters, the figures
        (annual return, Sharpe, Sortino, max drawdown, volatility, Calmar,
        win rate, profit factor, trades, yearly one-way turnover, final
        equity, PSR, DSR) and ``error`` (the message of a set that failed).
    returns : DataFrame
        Daily returns, dates × sets; ``(1 + returns).cumprod()`` is each
        set's equity curve.
    params : list of str
        The varied parameters (the first columns of ``table``).
    sets : list of dict
        Each set's parameters.
    """

    table: pd.DataFrame
    returns: pd.DataFrame
    params: list[str]
    sets: list[dict[str, Any]]
    _workload: _Workload

    def best(self, by: str = "sharpe_ratio") -> pd.Series:
        """The table row of the best set by ``by`` (highest; lowest for volatility and turnover)."""
        return self.table.loc[best_index(self.table, by)]

    def report(self, i: int) -> Report:
        """Re-run set ``i`` and return its full ``Report``."""
        if not 0 <= i < len(self.sets):
            raise IndexError(f"set {i} does not exist; the sweep has sets 0 to {len(self.sets) - 1}")
        return self._workload.report(self.sets[i])

    def pbo(self, blocks: int = 16) -> PBOResult:
        """The probability of backtest overfitting of the sets that ran (see ``quorex.stats.pbo``)."""
        from quorex import stats

        ran = self.table.index[self.table["error"].isna()]
        return stats.pbo(self.returns.iloc[1:][ran], blocks=blocks)

    def to_html(
        self, path: str | Path | None = None, *, by: str = "sharpe_ratio", title: str | None = None,
        with_pbo: bool = True,
    ) -> str:
        """A sweep page (HTML); written to ``path`` when given."""
        from quorex.tearsheet import sweep_html

        overfitting = None
        if with_pbo:
            try:
                overfitting = self.pbo()
            except ValueError:
                overfitting = None  # too few sets or dates
        html = sweep_html(self.table, self.returns, by=by, params=self.params, pbo=overfitting, title=title)
        if path is not None:
            Path(path).write_text(html, encoding="utf-8")
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

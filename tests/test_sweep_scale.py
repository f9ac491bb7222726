"""Sweeps at scale: each signal computed once, stores that resume to the same bits (and the same
common period) on every executor, stores of another sweep refused, a sweep stopped by a killed worker
or Ctrl-C resumed, and the figures measured at the end the same in any block of sets."""

from __future__ import annotations

import multiprocessing
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorex
from quorex import cli
from quorex.figures import daily_curve, day_rows, return_calendar
from quorex.io.atomic import TEMP_PREFIX
from quorex.io.synthetic import synthetic_market
from quorex.research.interrupt import interrupts_deferred, stop
from quorex.research.measured import block_figures
from quorex.research.results import MemoryResults, StoredResults
from quorex.research.runs import RUN_FIGURES
from quorex.research.signals import plan_signals, prepare_signal
from quorex.research.sweep import FIGURES, SweepError, sweep_identity
from quorex.research.tasks import run_chunk
from quorex.research.workload import Workload
from quorex.research.walkforward import windows
from quorex.research.tokens import token, value_key

pytest.importorskip("pyarrow")

PROCESSES = multiprocessing.get_context("forkserver")
GRID = {"lookback": [20, 60], "stop_loss": [None, 0.05], "take_profit": [None, 0.1]}


def momentum(prices, lookback=40, top=5, calls=None):
    """Top momentum stocks; each call leaves a file in directory ``calls`` (worker processes
    and Dask workers count in the same place)."""
    if calls:
        Path(calls, f"{lookback}-{top}-{os.getpid()}-{time.perf_counter_ns()}").touch()
    close = prices["close"]
    return close.pct_change(lookback, fill_method=None).rank(axis=1, ascending=False) <= top


def dies_once(prices, lookback=40, top=5, calls=None):
    """Momentum whose first call for lookback 60 kills its worker process (a marker file remembers)."""
    marker = Path(calls, "died")
    if lookback == 60 and not marker.exists():
        marker.touch()
        os._exit(1)
    return momentum(prices, lookback, top, calls)


def calls(directory: Path) -> list[str]:
    return sorted(p.name.rsplit("-", 2)[0] for p in directory.iterdir() if p.name != "died")


@pytest.fixture(scope="module")
def prices():
    market = synthetic_market(n_stocks=24, years=2, seed=5)
    return {field: market[field] for field in ("open", "high", "low", "close")}


@pytest.fixture(scope="module")
def reference(prices):
    return quorex.sweep(momentum, prices, GRID, executor=ThreadPoolExecutor(1), progress=False, rebalance="ME")


@pytest.fixture
def counted(tmp_path):
    directory = tmp_path / "calls"
    directory.mkdir()
    return directory


@pytest.fixture(scope="module")
def pool():
    with ProcessPoolExecutor(2, mp_context=PROCESSES) as executor:
        yield executor


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import the tests
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as dask_client:
        yield dask_client


def executor_of(request, kind):
    return {"serial": lambda: None, "threads": lambda: ThreadPoolExecutor(2),
            "processes": lambda: request.getfixturevalue("pool"),
            "dask": lambda: request.getfixturevalue("client")}[kind]()


def assert_same(result, reference):
    pd.testing.assert_frame_equal(result.table, reference.table, check_exact=True)
    pd.testing.assert_frame_equal(result.returns, reference.returns, check_exact=True)
    assert result.period == reference.period


@pytest.mark.parametrize("kind", ["serial", "threads", "processes", "dask"])
def test_the_strategy_runs_once_per_signal_on_every_executor(request, prices, counted, kind):
    if kind == "dask":
        pytest.importorskip("distributed")
    quorex.sweep(momentum, prices, GRID, executor=executor_of(request, kind), chunk_size=1, progress=False,
                 rebalance="ME", top=4, calls=str(counted))
    assert calls(counted) == ["20-4", "60-4"]


def test_a_weights_table_and_rules_only_make_one_signal(prices):
    plan = plan_signals([{"stop_loss": 0.1}, {"stop_loss": 0.2}], {"rebalance": "ME"}, is_table=True)
    assert plan.params == [{}] and plan.of_set.tolist() == [0, 0]
    sets = [{"lookback": 1, "stop_loss": None}, {"lookback": 1.0, "stop_loss": 0.1}, {"lookback": True},
            {"stop_loss": 0.2, "lookback": 1}]
    plan = plan_signals(sets, {"top": 3, "fee_ratio": 0.0}, is_table=False)
    # 1, 1.0 and True are different arguments to a strategy; the rules never split a signal.
    assert plan.of_set.tolist() == [0, 1, 2, 0]
    assert plan.params[0] == {"top": 3, "lookback": 1}
    groups = plan.groups(np.array([3, 2, 1, 0]))
    assert [(signal, indices.tolist()) for signal, indices in groups] == [(0, [0, 3]), (1, [1]), (2, [2])]


def test_walk_forward_computes_each_window_signal_once(prices, counted):
    quorex.walk_forward(momentum, prices, GRID, train=200, test=120, rebalance="ME", progress=False,
                        calls=str(counted))
    per_window = len(windows(prices["close"].index, 200, 120))
    # Each window: one call per lookback for its train sweep, one for the chosen set's test run.
    assert len(calls(counted)) == per_window * (2 + 1)


@pytest.mark.parametrize("kind", ["serial", "threads", "processes", "dask"])
def test_stored_and_resumed_sweeps_equal_the_sweep_in_memory(request, prices, reference, tmp_path, kind):
    if kind == "dask":
        pytest.importorskip("distributed")
    executor = executor_of(request, kind)
    store = tmp_path / "store"
    first = quorex.sweep(momentum, prices, GRID, executor=executor, chunk_size=2, progress=False,
                         rebalance="ME", store=store)
    assert_same(first, reference)
    assert first.store == store
    parts = sorted((store / "parts").glob("*.parquet"))
    assert len(parts) == 4
    parts[1].unlink()  # as if the sweep had stopped before this chunk
    parts[3].unlink()
    resumed = quorex.sweep(momentum, prices, GRID, executor=executor, chunk_size=3, progress=False,
                           rebalance="ME", store=store)
    assert_same(resumed, reference)
    assert len(list((store / "parts").glob("*.parquet"))) == 4  # 2 kept + 2 chunks of the 4 missing sets


def test_a_complete_store_runs_nothing(prices, tmp_path, counted):
    import pyarrow as pa

    pool = pa.default_memory_pool().backend_name
    store = tmp_path / "store"
    first = quorex.sweep(momentum, prices, GRID, progress=False, rebalance="ME", store=store, calls=str(counted))
    assert pa.default_memory_pool().backend_name == pool  # the store's writes leave Arrow's default as it was
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()  # a writer killed halfway leaves a temp file named by its process
    (store / "parts" / f"{TEMP_PREFIX}{gone.pid}-interrupted").write_bytes(b"PAR1 half a part")
    for entry in counted.iterdir():
        entry.unlink()
    again = quorex.sweep(momentum, prices, GRID, progress=False, rebalance="ME", store=store, calls=str(counted))
    assert calls(counted) == []
    assert_same(again, first)
    assert not list((store / "parts").glob(f"{TEMP_PREFIX}*"))


@pytest.mark.parametrize(
    "change, differs",
    [
        (dict(grid={"lookback": [20, 60], "stop_loss": [None, 0.06], "take_profit": [None, 0.1]}), "grid"),
        (dict(grid={"lookback": [20], "stop_loss": [None, 0.05]}), "number of sets"),
        (dict(scale=1.01), "market"),
        (dict(fixed={"rebalance": "W-FRI"}), "fixed arguments"),
        (dict(fixed={"rebalance": "ME", "top": 3}), "fixed arguments"),
        (dict(strategy=lambda prices, lookback=40: momentum(prices, lookback)), "strategy"),
    ],
)
def test_a_store_of_another_sweep_is_refused(prices, tmp_path, change, differs):
    store = tmp_path / "store"
    quorex.sweep(momentum, prices, GRID, progress=False, rebalance="ME", store=store)
    other_prices = {k: v * change["scale"] for k, v in prices.items()} if "scale" in change else prices
    with pytest.raises(ValueError, match=f"store .* another sweep: its {differs}"):
        quorex.sweep(change.get("strategy", momentum), other_prices, change.get("grid", GRID), progress=False,
                     store=store, **change.get("fixed", {"rebalance": "ME"}))


def test_a_store_is_not_written_into_a_directory_of_other_files(prices, tmp_path):
    (tmp_path / "notes.txt").write_text("mine")
    with pytest.raises(ValueError, match="other files"):
        quorex.sweep(momentum, prices, GRID, progress=False, store=tmp_path)


def test_a_killed_worker_is_resumed_from_the_store(prices, reference, tmp_path, counted):
    store = tmp_path / "store"
    with ProcessPoolExecutor(1, mp_context=PROCESSES) as executor, pytest.raises(SweepError) as caught:
        quorex.sweep(dies_once, prices, GRID, executor=executor, chunk_size=2, progress=False,
                     rebalance="ME", store=store, calls=str(counted))
    assert caught.value.missing == [4, 5, 6, 7]  # the sets of lookback 60
    with ProcessPoolExecutor(2, mp_context=PROCESSES) as executor:
        resumed = quorex.sweep(dies_once, prices, GRID, executor=executor, progress=False, rebalance="ME",
                               store=store, calls=str(counted))
    figures = list(FIGURES)
    pd.testing.assert_frame_equal(resumed.table[figures], reference.table[figures], check_exact=True)
    assert calls(counted) == ["20-5", "60-5"]


def test_ctrl_c_waits_for_the_bookkeeping_to_end():
    done = []
    with pytest.raises(KeyboardInterrupt):
        with interrupts_deferred():
            signal.raise_signal(signal.SIGINT)
            done.append("recorded")
        done.append("after")  # not reached: Ctrl-C arrives as the block ends
    assert done == ["recorded"] and signal.getsignal(signal.SIGINT) is signal.default_int_handler


CTRL_C_SCRIPT = """
import sys
from concurrent.futures import ProcessPoolExecutor
import multiprocessing
sys.path.insert(0, {tests!r})
import quorex
from quorex import cli
from test_sweep_scale import momentum, prices_for_script, slow_momentum

if __name__ == "__main__":
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as pool:
        quorex.sweep(slow_momentum, prices_for_script(), {{"lookback": list(range(20, 36))}}, executor=pool,
                     progress=False, rebalance="ME", store={store!r})
"""


def prices_for_script():
    market = synthetic_market(n_stocks=24, years=2, seed=5)
    return {field: market[field] for field in ("open", "high", "low", "close")}


def slow_momentum(prices, lookback=40, top=5):
    time.sleep(0.3)
    return momentum(prices, lookback, top)


def test_ctrl_c_stops_the_sweep_and_the_store_resumes_it(prices, tmp_path):
    store = tmp_path / "store"
    script = tmp_path / "sweep_script.py"
    script.write_text(CTRL_C_SCRIPT.format(tests=str(Path(__file__).parent), store=str(store)))
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and len(list((store / "parts").glob("*.parquet"))) < 2:
        time.sleep(0.05)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=30)
    assert child.returncode != 0 and b"KeyboardInterrupt" in err
    assert b"leaked shared_memory" not in err  # the market and the signals were released
    grid = {"lookback": list(range(20, 36))}
    done = len(list((store / "parts").glob("*.parquet")))
    assert 2 <= done < 16
    resumed = quorex.sweep(slow_momentum, prices, grid, progress=False, rebalance="ME", store=store)
    whole = quorex.sweep(slow_momentum, prices, grid, executor=ThreadPoolExecutor(2), progress=False,
                         rebalance="ME")
    assert_same(resumed, whole)


@pytest.mark.parametrize(
    "stamps",
    [
        pd.bdate_range("2021-01-01", periods=30),
        pd.DatetimeIndex(["2021-01-04 09:00", "2021-01-04 13:30", "2021-01-05 13:30", "2021-01-07 09:00",
                          "2021-01-07 10:00", "2021-01-07 13:30"]),
    ],
)
def test_day_rows_pick_the_daily_curve(stamps):
    levels = pd.Series(np.linspace(1.0, 2.0, len(stamps)) ** 2, index=stamps)
    rows, days = day_rows(stamps)
    expected = daily_curve(levels)
    np.testing.assert_array_equal(levels.to_numpy()[rows], expected.to_numpy())
    assert days.equals(pd.DatetimeIndex(expected.index, freq=None))


def test_tokens_tell_values_apart_by_content():
    dates = pd.bdate_range("2021-01-01", periods=5)
    frame = pd.DataFrame({"A": np.arange(5.0)}, index=dates)
    assert token(frame) == token(frame.copy())
    assert token(frame) != token(frame.tz_localize("Asia/Taipei"))
    assert token(frame) != token(frame.rename(columns={"A": "B"}))
    assert len({value_key(1), value_key(1.0), value_key(True)}) == 3
    assert value_key([1, 2]) == value_key([1, 2]) != value_key((1, 2))

    def strategy(prices, lookback=20):
        return prices

    def edited(prices, lookback=20):
        return prices * 1

    assert token(strategy) != token(edited)


def test_report_inputs_are_checked_before_the_sweep(prices):
    turnover = prices["close"].astype(str).iloc[:, :3]
    turnover.iloc[0, 0] = "a lot"
    with pytest.raises(ValueError, match="fixed argument turnover"):
        quorex.sweep(momentum, prices, {"lookback": [20]}, progress=False, turnover=turnover)


def test_cli_sweep_resumes_from_its_store(tmp_path, capsys, prices):
    prices["close"].to_csv(tmp_path / "prices.csv", index_label="date")
    momentum(prices).to_csv(tmp_path / "weights.csv", index_label="date")
    command = ["sweep", "--prices", str(tmp_path / "prices.csv"), "--weights", str(tmp_path / "weights.csv"),
               "--grid", "stop_loss=none,0.05", "--grid", "take_profit=0.1,0.2", "--store", str(tmp_path / "store")]
    assert cli.main([*command, "--out", str(tmp_path / "first")]) == 0
    parts = sorted((tmp_path / "store" / "parts").glob("*.parquet"))
    assert cli.main([*command, "--out", str(tmp_path / "again")]) == 0
    assert sorted((tmp_path / "store" / "parts").glob("*.parquet")) == parts  # nothing ran again
    first, again = (pd.read_csv(tmp_path / out / "sweep.csv") for out in ("first", "again"))
    pd.testing.assert_frame_equal(first, again)
    capsys.readouterr()
    assert cli.main([*command[:-4], "--grid", "take_profit=0.3", *command[-2:],
                            "--out", str(tmp_path / "other")]) == 2
    assert "another sweep" in capsys.readouterr().err


@pytest.mark.parametrize("n_days", [40, 5_000, 10_000])
def test_each_curve_has_the_same_figures_alone_or_in_any_block(n_days):
    rng = np.random.default_rng(n_days)
    returns = np.asfortranarray(rng.normal(0.0004, 0.012, (n_days, 9)))
    returns[:, 4] = np.nan  # a set that failed
    returns[: n_days // 2, 6] = 0.0  # one in cash for half the period
    calendar = return_calendar(pd.bdate_range("1995-01-02", periods=n_days))
    together, moments = block_figures(returns, calendar)
    for column in range(returns.shape[1]):
        alone, own_moments = block_figures(np.asfortranarray(returns[:, column : column + 1]), calendar)
        for name, values in alone.items():
            assert np.array_equal(values, together[name][column : column + 1], equal_nan=True), (column, name)
        np.testing.assert_array_equal(own_moments[0], moments[column])
    part, _ = block_figures(np.asfortranarray(returns[:, 2:7]), calendar)
    assert all(np.array_equal(part[name], together[name][2:7], equal_nan=True) for name in part)


def test_the_common_period_starts_at_the_latest_first_position_of_the_sets_that_ran(prices):
    def fails_slowest(prices, lookback=40):
        if lookback == 120:
            raise ValueError("no signal for 120")
        return momentum(prices, lookback)

    result = quorex.sweep(fails_slowest, prices, {"lookback": [20, 60, 120]}, progress=False, rebalance="ME")
    assert result.table["error"].notna().tolist() == [False, False, True]
    later = result.report(1).period()
    assert (result.period.start, result.period.base) == (later.start, later.base)
    assert result.measured_returns().index[0] == later.base


def test_a_stopped_chunk_holds_only_the_sets_that_ran_and_stores_nothing(prices, tmp_path):
    workload = Workload(prices, None, momentum, {"rebalance": "ME"})
    signal = prepare_signal(workload, {"lookback": 20})
    sets = [{"stop_loss": x} for x in (None, 0.05, 0.1)]
    assert run_chunk(workload, signal, [0, 1, 2], sets).errors == [None, None, None]
    stop(workload)  # Ctrl-C: the threads start no further set
    stopped = run_chunk(workload, signal, [0, 1, 2], sets)
    assert len(stopped.indices) == len(stopped.returns) == len(stopped.first_days) == len(stopped.errors) == 0
    days = workload.calendar.days
    store = StoredResults.open(tmp_path / "store", sweep_identity(workload, sets), 3, days)
    store.add(stopped)
    assert store.pending().tolist() == [0, 1, 2]  # a resume runs them all
    memory = MemoryResults(3, days)
    memory.add(stopped)
    figures = {name: np.zeros(3) for name in RUN_FIGURES}
    first_days, errors = memory.rows(figures)
    assert errors == [None, None, None] and (first_days < 0).all() and np.isnan(memory.returns()).all()
    assert all(np.isnan(values).all() for values in figures.values())

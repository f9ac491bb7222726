"""quorex.core.engine against quorex.core.simloop: one engine, two bindings.

Both bindings drive the same simulation; they differ only in where the
results go. On random markets (every switch, missing prices, shorts, touched
exits, both trade prices, excursion windows) their outputs must agree bit
for bit: equity, trades, excursion records, end-of-run weights and actions.
The holdings engine.run reports group the trades by the rule of round
trips.
"""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from quorex.core import engine, simloop, tradearc
from test_simloop_model import random_market, random_rules

MARKET_ARGS = ("price", "close", "high", "low", "open_", "price_index", "price_columns", "pos_values",
               "pos_index", "pos_columns", "resample")


def random_case(seed: int) -> tuple[dict, dict]:
    rng = np.random.default_rng(seed)
    market, rules = random_market(rng), random_rules(rng)
    if rng.random() < 0.5:  # trade at the open instead of the close
        market["price"], market["open_"] = market["open_"], market["price"]
    rules["tradearc_window"] = int(rng.choice([0, 0, 1, 3, 7]))
    rules["tradearc_window_step"] = int(rng.choice([1, 1, 2, 3]))
    return market, rules


def positional(market: dict) -> list:
    return [market[k] for k in MARKET_ARGS]


def contract_run(market: dict, rules: dict) -> dict:
    creturn = simloop.backtest_(*positional(market), **rules)
    ops = simloop.get_stock_operations()
    return dict(
        creturn=creturn,
        trades=[[int(x) for x in t] for t in tradearc.trades],
        positions=np.array(tradearc.trade_positions, dtype=float),
        records=[np.array(r) for r in tradearc.tradearc],
        ops=ops,
    )


def same_bits(a, b) -> bool:
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def same_partition(a, b) -> bool:
    pairs = set(zip(a, b))
    return len(pairs) == len(set(a)) == len(set(b))


def round_trip_numbers(got) -> list[int]:
    """Round trips by their rule, independently of the engine: consecutive
    trades of one position column on one side, where the earlier ended at a
    rebalance on the date the later started."""
    order = sorted(range(len(got.trade_sid)), key=lambda k: (got.trade_sid[k], got.trade_entry_row[k]))
    side = np.sign(got.trade_position)  # NaN matches no side
    rebalance = engine.EXIT_REASONS.index("rebalance")
    numbers, trip, before = [0] * len(order), -1, None
    for k in order:
        continues = before is not None and got.trade_sid[before] == got.trade_sid[k] and side[before] == side[k] \
            and got.trade_exit_reason[before] == rebalance and got.trade_exit_row[before] == got.trade_entry_row[k]
        trip += not continues
        numbers[k] = trip
        before = k
    return numbers


def assert_bindings_agree(market: dict, rules: dict) -> None:
    want = contract_run(market, rules)
    # The contract's rule: a rebalance takes a missing price as the reference.
    got = engine.run(*positional(market), **rules, keep_last_price=False)
    assert same_bits(got.creturn, want["creturn"])
    trades = np.column_stack([got.trade_sid, got.trade_entry_row, got.trade_exit_row]).tolist()
    assert trades == want["trades"]
    assert same_bits(got.trade_position, want["positions"])
    assert got.excursions.shape[0] == len(want["records"])
    for k, record in enumerate(want["records"]):
        assert same_bits(got.excursions[k], record)
    ops = want["ops"]
    assert got.weight_sids.tolist() == list(ops["weights"])
    assert same_bits(got.weight_values, list(ops["weights"].values()))
    assert got.next_weight_sids.tolist() == list(ops["next_weights"])
    assert same_bits(got.next_weight_values, list(ops["next_weights"].values()))
    actions = {sid: engine.ACTIONS[code] for sid, code in enumerate(got.actions) if code >= 0}
    assert actions == ops["actions"]
    assert (got.weight_row, got.next_weight_row) == (ops["weight_time"], ops["next_weight_time"])
    assert same_partition(got.trade_holding.tolist(), round_trip_numbers(got))
    # Holdings are numbered as they open: by entry date, then by column.
    first = np.lexsort((got.trade_sid, got.trade_entry_row))
    assert list(dict.fromkeys(got.trade_holding[first].tolist())) == list(range(len(set(got.trade_holding))))


@pytest.mark.parametrize("seed", range(1000))
def test_bindings_agree_on_random_markets(seed):
    assert_bindings_agree(*random_case(seed))


def test_results_are_arrays_of_one_length_per_trade():
    market, rules = random_case(3)
    got = engine.run(*positional(market), **rules)
    n = len(got.trade_sid)
    for name in ("trade_entry_row", "trade_exit_row", "trade_entry_price", "trade_exit_price", "trade_position",
                 "trade_exit_reason", "trade_entry_signal_row", "trade_exit_signal_row", "trade_entry_charged",
                 "trade_exit_charged", "trade_fee", "trade_tax", "trade_holding"):
        assert isinstance(getattr(got, name), np.ndarray) and len(getattr(got, name)) == n, name
    assert got.daily_fee.shape == got.daily_tax.shape == got.creturn.shape
    assert got.trade_fee.dtype == got.daily_tax.dtype == np.float64 and got.trade_holding.dtype == np.int64
    assert got.excursions.dtype == np.float64 and got.excursions.shape[0] == n
    assert got.trade_exit_reason.dtype == np.int8 and got.trade_entry_charged.dtype == np.bool_
    open_trades = got.trade_exit_row == -1
    assert (got.trade_exit_reason[open_trades] == engine.EXIT_REASONS.index("open")).all()
    assert (got.trade_exit_signal_row[open_trades] == -1).all()


def test_module_state_is_left_alone():
    """A run of the new binding neither reads nor writes what simloop keeps."""
    market, rules = random_case(11)
    simloop.backtest_(*positional(market), **rules)
    before = (simloop.get_stock_operations(), list(tradearc.trades), simloop.RESAMPLE)
    other_market, other_rules = random_case(12)
    engine.run(*positional(other_market), **other_rules)
    assert (simloop.get_stock_operations(), list(tradearc.trades), simloop.RESAMPLE) == before


def test_threads_get_their_own_results():
    cases = [random_case(seed) for seed in range(40, 56)]
    serial = [engine.run(*positional(m), **r) for m, r in cases]
    barrier = threading.Barrier(8)

    def run(case):
        barrier.wait()  # start together so that runs overlap
        return [engine.run(*positional(case[0]), **case[1]) for _ in range(5)]

    with ThreadPoolExecutor(8) as pool:
        threaded = list(pool.map(run, cases[:8])) + list(pool.map(run, cases[8:]))
    for want, runs in zip(serial, threaded):
        for got in runs:
            assert same_bits(got.creturn, want.creturn)
            assert same_bits(got.excursions, want.excursions)
            assert got.trade_sid.tolist() == want.trade_sid.tolist()


BAD_INPUTS = [
    (lambda m: m.update(close=m["close"][:-1]), ValueError, "close_values and price_values differ in shape"),
    (lambda m: m.update(price_index=m["price_index"][:-1]), ValueError, "price_index does not match"),
    (lambda m: m.update(price=m["price"].astype(np.float32)), ValueError, "Buffer dtype mismatch"),
    (lambda m: m.update(pos_values=m["pos_values"][0]), ValueError, "wrong number of dimensions"),
    (lambda m: m.update(pos_index=m["pos_index"][::-1].copy()), ValueError, "ascending"),
    (lambda m: m.update(price_index=[1, 2]), TypeError, "expected numpy.ndarray"),
]


@pytest.mark.parametrize("damage, error, message", BAD_INPUTS)
def test_bad_inputs_raise_like_the_contract(damage, error, message):
    market, rules = random_case(5)
    market["pos_index"] = np.sort(market["pos_index"])
    if len(market["pos_index"]) < 2 or market["pos_index"][0] == market["pos_index"][-1]:
        market["pos_index"] = np.array([0, 10**9], dtype=np.int64)[: len(market["pos_index"])]
    damage(market)
    for binding in (simloop.backtest_, engine.run):
        with pytest.raises(error, match=message):
            binding(*positional(market), **rules)


def test_argument_errors_name_the_function():
    with pytest.raises(TypeError, match=r"run\(\) takes at least 11 positional arguments \(0 given\)"):
        engine.run()
    market, rules = random_case(5)
    with pytest.raises(TypeError, match="run\\(\\) got an unexpected keyword argument 'fee'"):
        engine.run(*positional(market), fee=0.1)

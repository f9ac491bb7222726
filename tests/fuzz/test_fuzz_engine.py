"""Fuzzing quorex.core.engine.run against simloop.backtest_ on the same calls.

Whatever the market or a damaged argument, both bindings must end the same
way: the same exception type, or the same equity and trades bit for bit.
"""

from __future__ import annotations

import numpy as np
from fuzz_inputs import assert_same_outcome, attempt, budget, poisoned_twice
from hypothesis import event, given
from hypothesis import strategies as st
from test_fuzz_simloop import ARRAY_PARAMETERS, broken, markets

from quorex.core import engine, simloop, tradearc


def contract(args: dict):
    creturn = simloop.backtest_(**args)
    return creturn, [[int(x) for x in t] for t in tradearc.trades], [r.copy() for r in tradearc.tradearc]


def native(args: dict):
    got = engine.run(**args, keep_last_price=False)  # backtest_ drops a move across a missing price
    trades = np.column_stack([got.trade_sid, got.trade_entry_row, got.trade_exit_row]).tolist()
    return got.creturn, trades, list(got.excursions)


def kind(error: type[BaseException] | None) -> type[BaseException] | None:
    """NumPy's allocation failure is a MemoryError of its own kind."""
    return MemoryError if error is not None and issubclass(error, MemoryError) else error


def assert_bindings_end_alike(args: dict) -> str:
    want = attempt(lambda: contract(args))
    first, second = poisoned_twice(lambda: native(args))
    assert_same_outcome(first, second)
    assert kind(first.error) is kind(want.error), (first, want)
    if want.error is None:
        assert_same_outcome(first, want)
    return want.error.__name__ if want.error else "curve"


@budget(ci=120, long=20_000)
@given(markets())
def test_hostile_markets_end_alike(args):
    event(f"outcome: {assert_bindings_end_alike(args)}")


@budget(ci=120, long=12_000)
@given(st.data())
def test_one_damaged_argument_ends_alike(data):
    args = data.draw(markets())
    name = data.draw(st.sampled_from(ARRAY_PARAMETERS + ["tradearc_window", "tradearc_window_step"]))
    if name in ("tradearc_window", "tradearc_window_step"):
        args[name] = data.draw(st.sampled_from([2**31, -(2**31) - 1, 1.5, "1", None]))
    else:
        args[name] = data.draw(broken(args[name]))
    event(f"{name}: {assert_bindings_end_alike(args)}")

"""Fuzzing simloop: backtest_, get_trade_stocks, normalize_weight and ioft."""

from __future__ import annotations

import datetime
import math

import numpy as np
from fuzz_inputs import (
    DOCUMENTED_ERRORS,
    SPECIAL_FLOATS,
    assert_same_outcome,
    attempt,
    budget,
    layouts,
    matrix,
    poisoned_twice,
    prices,
    sorted_dates,
    steps,
    weights,
    windows,
)
from hypothesis import assume, event, given
from hypothesis import strategies as st

import simloop_model as model
from quorex.core import simloop, tradearc

LABELS = ["A", "B", "C", "D", "é", ""]

# Float-valued rules, drawn from ordinary values and the special ones.
ratios = st.one_of(st.sampled_from([0.0, 0.001425, 0.003, 0.1]), st.sampled_from(SPECIAL_FLOATS))
distances = st.one_of(st.sampled_from([0.05, 0.1, 0.5, 1.0, math.inf]), st.sampled_from(SPECIAL_FLOATS))


@st.composite
def markets(draw, clean: bool = False):
    """Arguments of a well-formed backtest_ call (shapes and dtypes agree).

    With `clean`, prices are positive and finite, weights and rules finite.
    """
    # Now and then an empty market, or a label that no price column carries.
    degenerate = not clean and draw(st.integers(0, 7)) == 0
    n = draw(st.integers(0 if degenerate else 1, 10))
    m = draw(st.integers(1, 4))
    k = draw(st.integers(1, 4))
    r = draw(st.integers(0 if degenerate else 1, 5))
    price_labels = draw(st.lists(st.sampled_from(LABELS), min_size=m, max_size=m, unique=clean))
    # Position labels: mostly price labels (duplicates allowed), at times an unknown one.
    pos_label = st.sampled_from(price_labels + ["Z"] if degenerate else price_labels)
    pos_labels = draw(st.lists(pos_label, min_size=k, max_size=k))
    price = prices(allow_special=not clean)
    price_index = sorted_dates(draw, n)
    # Weight rows mostly inside the trading calendar, so that rebalances happen.
    low, high = (int(price_index[0]) - 3, int(price_index[-1])) if n and draw(st.integers(0, 3)) else (-5, 45)
    args = dict(
        price_values=matrix(draw, n, m, price),
        close_values=matrix(draw, n, m, price),
        high_values=matrix(draw, n, m, price),
        low_values=matrix(draw, n, m, price),
        open_values=matrix(draw, n, m, price),
        price_index=price_index,
        price_columns=np.array(price_labels, dtype=object),
        pos_values=matrix(draw, r, k, weights(allow_special=not clean)),
        pos_index=sorted_dates(draw, r, low=low, high=max(high, low + r)),
        pos_columns=np.array(pos_labels, dtype=object),
        resample=None,
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.01]) if clean else ratios),
        tax_ratio=draw(st.sampled_from([0.0, 0.003]) if clean else ratios),
        stop_loss=draw(st.sampled_from([0.05, 0.2, 1.0]) if clean else distances),
        take_profit=draw(st.sampled_from([0.05, 0.5, math.inf]) if clean else distances),
        trail_stop=draw(st.sampled_from([0.05, 0.3, math.inf]) if clean else distances),
        touched_exit=draw(st.booleans()),
        position_limit=draw(st.sampled_from([0.2, 0.5, 1.0]) if clean else distances),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        tradearc_window=draw(st.integers(0, 6) if clean else windows()),
        tradearc_window_step=draw(st.integers(1, 3) if clean else steps()),
        periodically_rebalance=draw(st.booleans()),
    )
    resample = draw(st.sampled_from(["pos_index", "price_index", "drawn"]))
    if resample == "drawn":
        args["resample"] = sorted_dates(draw, draw(st.integers(0, 8)), low=-5, high=45, unique=False)
    else:
        args["resample"] = args[resample].copy()
    if not args["touched_exit"] and draw(st.booleans()):
        args.update(high_values=None, low_values=None, open_values=None)
    return args


ARRAY_PARAMETERS = [
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample",
]  # fmt: skip


@st.composite
def broken(draw, array: np.ndarray | None):
    """A damaged replacement for one array argument."""
    if array is None:
        return draw(st.sampled_from([np.zeros((2, 2)), [], 0]))
    kind = draw(
        st.sampled_from(
            ["dtype", "ndim", "shorter", "longer", "none", "list", "labels", "unsorted", "empty", "scalar"]
        )
    )
    if kind == "dtype":
        target = draw(st.sampled_from([np.float32, np.int32, np.int64, np.float64, np.uint64, object, "U2", bool]))
        try:
            return array.astype(target)
        except (TypeError, ValueError):
            return array.astype(object)
    if kind == "ndim":
        return array.ravel() if array.ndim == 2 else array.reshape(1, -1)
    if kind in ("shorter", "longer"):
        n = array.shape[0] + (-1 if kind == "shorter" else 2)
        if n < 0:
            n = 1
        out = np.resize(array, (n, *array.shape[1:]))
        return draw(layouts(out)) if out.dtype != object else out
    if kind == "none":
        return None
    if kind == "list":
        return array.tolist()
    if kind == "labels":
        return np.array(draw(st.lists(st.one_of(st.integers(), st.none(), st.binary(max_size=2), st.floats()),
                                      min_size=len(array), max_size=len(array))) + [None])[:len(array)]
    if kind == "unsorted":
        return array[::-1].copy()
    if kind == "empty":
        return np.zeros((0,) * array.ndim, dtype=array.dtype)
    return np.asarray(array.flat[0] if array.size else 0.0)


def snapshot():
    """Copies of what a run leaves behind, for comparing two runs."""
    return (
        [list(t) for t in tradearc.trades],
        list(tradearc.trade_positions),
        [record.copy() for record in tradearc.tradearc],
        simloop.get_stock_operations(),
    )


def run_backtest(args: dict):
    result = simloop.backtest_(**args)
    return result, snapshot()


def check_curve(args: dict, creturn) -> None:
    n = len(args["price_index"])
    assert type(creturn) is np.ndarray and creturn.dtype == np.float64 and creturn.shape == (n,)
    if len(args["pos_index"]):
        before = np.asarray(args["price_index"]) < args["pos_index"][0]
        assert np.all(creturn[before] == 1.0)


@budget(ci=150, long=20_000)
@given(markets())
def test_backtest_on_hostile_markets(args):
    first, second = poisoned_twice(lambda: run_backtest(args))
    assert_same_outcome(first, second)
    event(f"outcome: {first.error.__name__ if first.error else 'curve'}")
    if first.error is None:
        creturn, (trades, positions, records, operations) = first.result
        event(f"trades: {min(len(trades), 4)}{'+' if len(trades) >= 4 else ''}")
        check_curve(args, creturn)
        assert len(trades) == len(positions) >= len(records)
        assert set(operations) <= {"actions", "weights", "next_weights", "weight_time", "next_weight_time"}


@budget(ci=100, long=12_000)
@given(markets(clean=True))
def test_backtest_on_clean_markets(args):
    first, second = poisoned_twice(lambda: run_backtest(args))
    assert_same_outcome(first, second)
    assert first.error is None, first
    creturn, (trades, _, records, _) = first.result
    check_curve(args, creturn)
    assert np.all(np.isfinite(creturn))
    assert len(records) == len(trades)
    w, s = args["tradearc_window"], args["tradearc_window_step"]
    assert all(len(record) == 6 * ((w - 1) // s + 2) for record in records)
    # The trade rows of a finished run always resolve.
    rows, operations = simloop.get_trade_stocks(args["pos_columns"], args["price_index"], args["touched_exit"])
    assert len(rows) == len(trades) and all(len(row) == 9 for row in rows)
    assert operations is simloop.stock_operations


@budget(ci=150, long=12_000)
@given(st.data())
def test_backtest_with_one_damaged_argument(data):
    args = data.draw(markets())
    name = data.draw(st.sampled_from(ARRAY_PARAMETERS + ["tradearc_window", "tradearc_window_step", "fee_ratio"]))
    if name in ("tradearc_window", "tradearc_window_step"):
        args[name] = data.draw(st.sampled_from([2**31, -(2**31) - 1, 2**63, 1.5, "1", None]))
    elif name == "fee_ratio":
        args[name] = data.draw(st.sampled_from(["0.1", None, [], 10**400, complex(1, 1)]))
    else:
        args[name] = data.draw(broken(args[name]))
    first, second = poisoned_twice(lambda: run_backtest(args))
    assert_same_outcome(first, second)
    event(f"{name}: {first.error.__name__ if first.error else 'curve'}")
    if first.error is None:
        check_curve(args, first.result[0]) if isinstance(args["price_index"], np.ndarray) else None


@budget(ci=100, long=10_000)
@given(st.data())
def test_trade_rows_with_foreign_arrays(data):
    """get_trade_stocks after a run, given arrays that may not belong to it."""
    args = data.draw(markets(clean=True))
    simloop.backtest_(**args)
    candidates = [
        args["pos_columns"], args["price_index"], None, [], np.zeros(0, dtype=np.int64),
        np.zeros((2, 2), dtype=np.int64), np.array(["x"], dtype=object), np.arange(3, dtype=np.int32),
        np.arange(3, dtype=np.float64), np.array([1, 2], dtype=np.int64)[::-1],
    ]  # fmt: skip
    pos_columns = data.draw(st.sampled_from(candidates))
    price_index = data.draw(st.sampled_from(candidates))
    touched = data.draw(st.sampled_from([True, False, 0, None, "x"]))
    first, second = poisoned_twice(lambda: simloop.get_trade_stocks(pos_columns, price_index, touched))
    assert_same_outcome(first, second)
    if first.error is None:
        rows, operations = first.result
        assert type(rows) is list and all(type(row) is list and len(row) == 9 for row in rows)
        assert operations is simloop.stock_operations


weight_values = st.one_of(st.floats(), st.integers(-5, 5), st.sampled_from(SPECIAL_FLOATS))


@budget(ci=200, long=10_000)
@given(
    st.dictionaries(st.integers(-3, 20), weight_values, max_size=8),
    st.one_of(st.floats(), st.sampled_from([0.0, 0.3, 1.0, -0.5])),
)
def test_normalize_weight_matches_its_definition(weights, limit):
    expected = model.normalize_weight(dict(weights), limit)
    given_weights = dict(weights)
    outcome = attempt(lambda: simloop.normalize_weight(given_weights, limit))
    assert outcome.error is None, outcome
    assert outcome.result is given_weights
    assert list(given_weights) == list(expected)
    for key, value in expected.items():
        got = given_weights[key]
        assert (math.isnan(got) and math.isnan(value)) or float(got) == float(value), (key, got, value)


@budget(ci=100, long=5_000)
@given(
    st.one_of(
        st.none(), st.lists(st.floats(), max_size=2), st.text(max_size=3),
        st.dictionaries(st.integers(), st.one_of(st.text(max_size=2), st.none()), min_size=1, max_size=3),
    ),
    st.one_of(st.none(), st.text(max_size=2), st.floats(), st.complex_numbers()),
)  # fmt: skip
def test_normalize_weight_rejects_what_it_cannot_use(weights, limit):
    attempt(lambda: simloop.normalize_weight(weights, limit))


timestamps = st.one_of(
    st.integers(-(2**70), 2**70),
    st.integers(-(10**19), 10**19),
    st.floats(),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.sampled_from([None, "1", b"1", [], True, 1j]),
)


@budget(ci=200, long=10_000)
@given(timestamps)
def test_ioft_agrees_with_fromtimestamp(v):
    def reference():
        return datetime.datetime.fromtimestamp(v / 1e9)

    allowed = DOCUMENTED_ERRORS + (OSError,)
    expected = attempt(reference, allowed)
    got = attempt(lambda: simloop.ioft(v), allowed)
    assert got.error is expected.error, (got, expected)
    assert got.result == expected.result


@budget(ci=20, long=2_000)
@given(markets(clean=True))
def test_results_do_not_depend_on_layout(args):
    """C-ordered copies give the very same curve as the drawn views."""
    assume(len(args["price_index"]) > 0)
    drawn = simloop.backtest_(**args)
    contiguous = {k: np.ascontiguousarray(v) if isinstance(v, np.ndarray) else v for k, v in args.items()}
    again = simloop.backtest_(**contiguous)
    assert drawn.tobytes() == again.tobytes()


@budget(ci=60, long=5_000)
@given(markets())
def test_hostile_markets_follow_the_python_model(args):
    """Where both the engine and the literal model finish, their curves agree."""
    args = dict(args, tradearc_window=0, tradearc_window_step=1)  # the model has no excursion analysis
    got = attempt(lambda: simloop.backtest_(**args))
    rules = {k: v for k, v in args.items() if k not in ("tradearc_window", "tradearc_window_step")}
    market = {"price": rules.pop("price_values"), "close": rules.pop("close_values"),
              "high": rules.pop("high_values"), "low": rules.pop("low_values"), "open_": rules.pop("open_values")}
    try:
        want = model.backtest(**market, **rules).creturn
    except Exception:  # the model is plain Python: it may trip where doubles carry on
        return
    assume(got.error is None)
    np.testing.assert_allclose(got.result, np.asarray(want, dtype=float), rtol=1e-12, atol=0, equal_nan=True)

"""backtest_ argument handling, the helpers around it and the import binding."""

from __future__ import annotations

import datetime
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import simloop_model as model
from quorex.core import simloop, tradearc

DAY = 86_400 * 10**9


def market(n=4, m=2, rows=1) -> dict:
    labels = np.array([f"s{j}" for j in range(m)], dtype=object)
    price = np.full((n, m), 10.0)
    pos_index = np.arange(rows, dtype=np.int64) * DAY
    return dict(
        price_values=price, close_values=price.copy(), high_values=None, low_values=None, open_values=None,
        price_index=np.arange(n, dtype=np.int64) * DAY, price_columns=labels,
        pos_values=np.full((rows, m), 1.0 / m), pos_index=pos_index, pos_columns=labels.copy(),
        resample=pos_index.copy(),
    )


def call(args: dict, **extra):
    return simloop.backtest_(**args, **extra)


@pytest.mark.parametrize(
    ("count", "message"),
    [
        (10, r"backtest_\(\) takes at least 11 positional arguments \(10 given\)"),
        (24, r"backtest_\(\) takes at most 23 positional arguments \(24 given\)"),
    ],
)
def test_positional_count(count, message):
    args = list(market().values()) + [0.0] * 13
    with pytest.raises(TypeError, match=message):
        simloop.backtest_(*args[:count])


@pytest.mark.parametrize(
    ("name", "value", "error", "message"),
    [
        ("pos_index", [0], TypeError,
         "Argument 'pos_index' has incorrect type \\(expected numpy.ndarray, got list\\)"),
        ("price_index", np.arange(4, dtype=np.int32), ValueError,
         "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        ("close_values", np.ones((4, 2), dtype=np.float32), ValueError,
         "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        ("pos_columns", np.array(["s0", "s1"]), ValueError,
         "Buffer dtype mismatch, expected 'unicode object' but got a string"),
        ("pos_values", np.ones(2), ValueError, r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
        ("resample", None, TypeError, "resample"),
        ("fee_ratio", "x", TypeError, "must be real number"),
        ("tradearc_window", 2**31, OverflowError, "too large"),
        ("tradearc_window_step", 1.5, TypeError, "integer"),
    ],
)
def test_argument_errors(name, value, error, message):
    args = market()
    extra = {}
    if name in args:
        args[name] = value
    else:
        extra[name] = value
    with pytest.raises(error, match=message):
        call(args, **extra)


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"fee": 0.1}, "unexpected keyword argument 'fee'"),
        ({"price_values": None}, "multiple values for argument 'price_values'"),
    ],
)
def test_keyword_errors(kwargs, message):
    with pytest.raises(TypeError, match=message):
        simloop.backtest_(*market().values(), **kwargs)


def test_missing_required_keyword():
    args = market()
    del args["resample"]
    with pytest.raises(TypeError, match="missing required argument 'resample'"):
        call(args)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"close_values": np.ones((4, 3))}, r"close_values and price_values differ in shape \(\(4, 3\) vs \(4, 2\)\)"),
        ({"price_index": np.arange(5, dtype=np.int64)}, r"price_index does not match .* \(5 vs 4\)"),
        ({"price_columns": np.array(["s0"], dtype=object)}, r"price_columns does not match .* \(1 vs 2\)"),
        ({"pos_columns": np.array(["s0"], dtype=object)}, r"pos_columns does not match .* \(1 vs 2\)"),
        ({"pos_index": np.zeros(2, dtype=np.int64)}, r"pos_index does not match .* \(2 vs 1\)"),
        ({"price_index": np.array([0, 2, 1, 3], dtype=np.int64)}, "price_index must be sorted"),
        ({"resample": np.array([2, 1], dtype=np.int64)}, "resample must be sorted"),
        ({"pos_columns": np.array(["s0", "zz"], dtype=object)}, "label 'zz' has a non-zero weight"),
    ],
)
def test_inconsistent_inputs_are_refused_before_the_run(change, message):
    simloop.backtest_(**market())
    before = list(tradearc.trades)
    ops = simloop.stock_operations
    with pytest.raises(ValueError, match=message):
        call({**market(), **change})
    assert tradearc.trades == before
    assert simloop.stock_operations is ops


def test_touched_mode_checks_the_intraday_shapes():
    args = market()
    args.update(high_values=np.ones((4, 2)), low_values=np.ones((3, 2)), open_values=np.ones((4, 2)))
    with pytest.raises(ValueError, match="low_values and price_values differ in shape"):
        call(args, touched_exit=True)
    call(args)  # not read without touched exits


def test_equal_consecutive_dates_are_accepted():
    args = market(rows=2)
    args["pos_index"] = np.array([0, 0], dtype=np.int64)
    args["resample"] = np.array([0, 0, 0], dtype=np.int64)
    call(args)


def test_unpriced_column_with_zero_weight_is_ignored():
    args = market()
    args["pos_columns"] = np.array(["s0", "zz"], dtype=object)
    args["pos_values"] = np.array([[0.5, 0.0]])
    call(args)
    assert [t[0] for t in tradearc.trades] == [0]


def test_label_must_be_a_string():
    args = market()
    args["price_columns"] = np.array(["s0", 7], dtype=object)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'encode'"):
        call(args, periodically_rebalance=False)
    assert simloop.RESAMPLE is False  # published before the labels are read


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"pos_index": np.zeros(0, dtype=np.int64), "resample": np.zeros(0, dtype=np.int64)},
         r"Out of bounds on buffer access \(axis 0\)"),
        ({"pos_values": np.zeros((0, 2)), "pos_index": np.zeros(0, dtype=np.int64)},
         "index 0 is out of bounds for axis 0 with size 0"),
    ],
)
def test_no_weight_rows(change, message):
    simloop.backtest_(**market())
    ops = simloop.stock_operations
    with pytest.raises(IndexError, match=message):
        call({**market(), **change})
    assert simloop.stock_operations is ops  # a failed run keeps the previous record


def test_empty_market_with_resample_dates():
    args = market(n=0)
    with pytest.raises(IndexError, match="index 0 is out of bounds"):
        call(args)


def test_empty_resample_never_rebalances():
    args = market()
    args["resample"] = np.zeros(0, dtype=np.int64)
    np.testing.assert_array_equal(call(args), np.ones(4))
    assert tradearc.trades == []


def test_inputs_are_read_through_their_strides():
    args = market(n=6, m=3, rows=2)
    rng = np.random.default_rng(3)
    wide = 10 * np.exp(np.cumsum(rng.normal(0, 0.05, (6, 6)), axis=0))
    args["price_values"] = np.asfortranarray(wide)[:, ::2]
    args["close_values"] = wide[:, 1::2]
    args["pos_values"] = np.array([[0.2, -0.3, 0.5], [0.1, 0.0, 0.9]])[:, ::-1]
    expected = model.backtest(args["price_values"], args["close_values"], None, None, None, args["price_index"],
                              args["price_columns"], args["pos_values"], args["pos_index"], args["pos_columns"],
                              args["resample"])
    np.testing.assert_array_equal(call(args), expected.creturn)


def test_wide_row_is_summed_in_numpy_order():
    # Above eight columns the absolute sum is pairwise; any other order would
    # change the scale, and with it the recorded weights, in the last bits.
    rng = np.random.default_rng(11)
    m = 300
    args = market(n=3, m=m)
    args["pos_values"] = rng.normal(0, 1, (1, m)) * 10.0 ** rng.integers(-8, 3, (1, m))
    call(args, position_limit=10.0)
    expected = model.backtest(*(args[k] for k in list(args)), position_limit=10.0)
    assert tradearc.trade_positions == expected.records.trade_positions


# -- get_trade_stocks ------------------------------------------------------------


def test_trade_rows():
    args = market(n=5, m=2)
    args["close_values"][2, 0] = 8.0  # s0 stopped on date 2's close, sold on date 3
    call(args, stop_loss=0.1)
    index = args["price_index"]
    rows, ops = simloop.get_trade_stocks(args["pos_columns"], index, False)
    assert ops is simloop.stock_operations
    assert rows == [
        ["s0", index[1], index[3], index[0], index[2], 0.5, 2, 1, 3],
        ["s1", index[1], -1, index[0], -1, 0.5, 4, 1, -1],
    ]
    assert isinstance(rows[0][1], np.int64)
    rows, _ = simloop.get_trade_stocks(pos_columns=args["pos_columns"], price_index=index, touched_exit=True)
    assert rows[0][4] == index[3]


def test_trade_entered_on_date_0_signals_on_the_last_date():
    args = market(n=3, m=1)
    call(args)
    tradearc.trades[0][1] = 0  # as if entered on the first date
    rows, _ = simloop.get_trade_stocks(args["pos_columns"], args["price_index"], False)
    assert rows[0][3] == args["price_index"][-1]
    assert rows[0][6] == 3


def test_trade_rows_without_trades_accept_none():
    call({**market(), "resample": np.zeros(0, dtype=np.int64)})
    assert simloop.get_trade_stocks(None, None, False) == ([], simloop.stock_operations)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((None, None), TypeError, r"get_trade_stocks\(\) takes exactly 3 positional arguments \(2 given\)"),
        (([], None, False), TypeError, "Argument 'pos_columns' has incorrect type"),
        ((None, np.zeros(2), False), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        ((np.zeros(2), None, False), ValueError, "expected 'Python object' but got 'double'"),
        ((None, np.arange(4, dtype=np.int64), False), TypeError, "'NoneType' object is not subscriptable"),
    ],
)
def test_trade_rows_errors(args, error, message):
    call(market())
    with pytest.raises(error, match=message):
        simloop.get_trade_stocks(*args)


def test_trade_rows_need_matching_positions():
    call(market())
    tradearc.trade_positions.pop()
    with pytest.raises(IndexError):
        simloop.get_trade_stocks(market()["pos_columns"], market()["price_index"], False)


# -- get_stock_operations, ioft ----------------------------------------------------


def test_stock_operations_copy_is_shallow():
    call(market(rows=2))
    first = simloop.get_stock_operations()
    assert first == simloop.stock_operations and first is not simloop.stock_operations
    first["extra"] = 1
    first["actions"][99] = "x"
    second = simloop.get_stock_operations()
    assert "extra" not in second and second["actions"][99] == "x"
    with pytest.raises(TypeError, match="takes no arguments"):
        simloop.get_stock_operations(1)


@pytest.mark.parametrize("value", [0, 1_500_000_000, 1.5e9, np.int64(1_700_000_000_123_456_789), -10**12])
def test_ioft(value):
    assert simloop.ioft(value) == datetime.datetime.fromtimestamp(value / 1e9)


def test_ioft_half_second():
    assert simloop.ioft(v=1_500_000_000).microsecond == 500_000


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((1, 2), TypeError, r"ioft\(\) takes exactly 1 positional argument \(2 given\)"),
        (("x",), TypeError, "unsupported operand"),
        ((10**400,), OverflowError, "too large"),
    ],
)
def test_ioft_errors(args, error, message):
    with pytest.raises(error, match=message):
        simloop.ioft(*args)


# -- import ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("patch", "error"),
    [
        ("del table['end_analysis']",
         "ImportError: quorex.core.tradearc does not export expected C function end_analysis"),
        ("table['position'] = capsule(table['record_date'], 'double *')",
         "TypeError: C variable quorex.core.tradearc.position has wrong signature "
         "(expected PyArrayObject *, got double *)"),
    ],
)
def test_import_checks_the_native_table(patch, error):
    script = textwrap.dedent(f"""
        import ctypes, sys
        import quorex.core.tradearc as t
        def capsule(old, name):
            get = ctypes.pythonapi.PyCapsule_GetPointer
            get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
            new = ctypes.pythonapi.PyCapsule_New
            new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
            sys.keep = name.encode()
            return new(get(old, b"void (int)"), sys.keep, None)
        table = t.__pyx_capi__
        {patch}
        try:
            import quorex.core.simloop
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == error


def test_module_settings_after_import():
    script = ("import quorex.core.simloop as s, numpy, datetime; "
              "print(s.RETAIN_COST_WHEN_REBALANCE, s.RESAMPLE, s.stock_operations, "
              "s.org_np is numpy, s.datetime is datetime, s.tradearc.__name__)")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "None", "{}", "True", "True", "quorex.core.tradearc"]


class _FailingList(list):
    """A result list whose n-th append raises."""

    def __init__(self, fail_at: int) -> None:
        super().__init__()
        self.fail_at = fail_at

    def append(self, item) -> None:
        if len(self) + 1 == self.fail_at:
            raise RuntimeError("append failed")
        super().append(item)


@pytest.mark.parametrize("fail_at", [1, 3])  # a re-open during the run, the open trades at its end
def test_failure_in_the_excursion_analysis_aborts_the_run(fail_at, monkeypatch):
    simloop.backtest_(**market())
    ops = simloop.stock_operations
    monkeypatch.setattr(tradearc, "tradearc", _FailingList(fail_at))
    with pytest.raises(RuntimeError, match="append failed"):
        call(market(n=5, rows=2))  # two rows: both columns re-opened on date 2, then still open
    assert simloop.stock_operations is ops

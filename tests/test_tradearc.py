"""quorex.core.tradearc, driven through its exported native table."""

from __future__ import annotations

import ctypes
import gc
import math
import sys
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorex.core.tradearc as tradearc

probe = pytest.importorskip("_quorex_tradearc_probe")

INT32_MIN = -(2**31)
TABLE = [
    ("entry", "PyArrayObject *"),
    ("position", "PyArrayObject *"),
    ("start_analysis", "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)"),
    ("record_date", "void (int)"),
    ("record_entry", "void (int, double, int)"),
    ("record_exit", "void (int, int)"),
    ("end_analysis", "PyObject *(std::map<int,double>  &)"),
]
LISTS = ("trades", "trade_positions", "tradearc")


@pytest.fixture(autouse=True)
def _restore_lists():
    saved = {name: getattr(tradearc, name) for name in LISTS}
    yield
    for name, value in saved.items():
        setattr(tradearc, name, value)


def col(*values: float) -> np.ndarray:
    return np.array(values, dtype=float).reshape(-1, 1)


def trade(price, close, entry, exit_, value=1.0, *, window=0, step=1, fee=0.0, tax=0.0,
          charge_entry=0, charge_exit=1, column_map=None):
    """Runs one trade of column 0 and returns its record (or raises)."""
    probe.start_analysis(price, close, {0: 0} if column_map is None else column_map, 1, fee, tax, window, step)
    probe.record_date(entry)
    probe.record_entry(0, value, charge_entry)
    probe.record_date(exit_)
    probe.record_exit(0, charge_exit)
    return tradearc.tradearc[-1]


def reference(price, close, entry, exit_, is_long, charge_entry, charge_exit, fee, tax, w, s):
    """Straightforward model of the record, in Python floats (IEEE doubles)."""
    end = min(max(exit_, entry + w), price.shape[0] - 1)
    p0, c0 = float(price[entry, 0]), float(close[entry, 0])
    r = c0 / p0 if is_long else 2 - c0 / p0
    if charge_entry:
        r = (1 - fee) * r
    ratio, peak, trough, day = [r], [1.0 if 1.0 > r else r], [1.0 if r > 1.0 else r], [0]
    dd, pdays = [r - 1 if 0 > r - 1 else 0.0], [1.0 if r > 1.0 else 0.0]
    prev = c0
    for d in range(entry + 1, end + 1):
        i, x = d - entry - 1, float(close[d, 0])
        if not math.isnan(x):
            q, prev = x / prev, x
            if not math.isnan(q):
                r = r * q if is_long else 2 - (2 - r) * q
        pk = r if r > peak[i] else peak[i]
        peak.append(pk)
        trough.append(r if trough[i] > r else trough[i])
        day.append(i if trough[i] > r else day[i])
        dd.append(r / pk - 1 if dd[i] > r / pk - 1 else dd[i])
        pdays.append(pdays[i] + 1 if not math.isnan(x) and r > 1.0 else pdays[i])
        ratio.append(r)
    if charge_exit:
        if entry != end:
            p, cc = float(price[end, 0]), float(close[end, 0])
            ratio[-1] = p / cc * ratio[-1] if is_long else 2 - (2 - ratio[-1]) * p / cc
        ratio[-1] = (1 - fee - tax) * ratio[-1]

    def block(t):
        return [trough[t] - 1, peak[t] - 1, peak[day[t]] - 1, dd[t], pdays[t], ratio[t] - 1]

    n = 6 * ((w - 1) // s + 2)
    out = np.full(n, -1.0)
    for q, t in enumerate(range(0, min(w, len(ratio)), s)):
        out[6 * q : 6 * q + 6] = block(t)
    out[n - 6 :] = block(min(len(ratio) - 1, exit_ - entry))
    return out


# ---- excursion records -------------------------------------------------------

LONG_PRICE, LONG_CLOSE = col(100.0, 101.0, 104.0), col(102.0, 99.0, 105.0)


def test_long_trade_worked_example():
    record = trade(LONG_PRICE, LONG_CLOSE, 0, 2, window=3)
    dd = 0.99 / 1.02 - 1
    sold = 104.0 / 105.0 * 1.05 - 1  # sold at the trade price, not the close
    days = [[1.0 - 1, 1.02 - 1, 1.02 - 1, 0.0, 1.0, 1.02 - 1],
            [0.99 - 1, 1.02 - 1, 1.02 - 1, dd, 1.0, 0.99 - 1],
            [0.99 - 1, 1.05 - 1, 1.02 - 1, dd, 2.0, sold]]
    np.testing.assert_allclose(record, np.array(days[0] + days[1] + days[2] + days[2]), rtol=0, atol=1e-12)


def test_short_trade_mirrors_the_path():
    record = trade(col(100.0, 100.0), col(100.0, 110.0), 0, 1, value=-1.0, charge_exit=0)
    assert record[5] == pytest.approx(2 - (2 - 1.0) * 1.1 - 1)
    assert record[0] == pytest.approx(-0.1) and record[1] == 0.0 and record[4] == 0.0


@pytest.mark.parametrize(("fee", "tax", "charge_entry"), [(0.001, 0.003, 0), (0.001, 0.003, 1)])
def test_same_day_exit_only_charges_costs(fee, tax, charge_entry):
    record = trade(col(100.0), col(105.0), 0, 0, fee=fee, tax=tax, charge_entry=charge_entry)
    r = 1.05 * (1 - fee) if charge_entry else 1.05
    assert record[5] == (1 - fee - tax) * r - 1


@pytest.mark.parametrize(
    ("window", "step", "rows", "written_days", "length"),
    [(0, 1, 3, [], 6), (10, 3, 12, [0, 3, 6, 9], 30), (5, 2, 3, [0, 2], 24)],
)
def test_window_sampling(window, step, rows, written_days, length):
    price = col(*[100.0 + i for i in range(rows)])
    record = trade(price, price, 0, min(2, rows - 1), window=window, step=step)
    assert record.dtype == np.float64 and record.shape == (length,)
    blocks = record[:-6].reshape(-1, 6)
    assert [i * step for i, b in enumerate(blocks) if not (b == -1.0).all()] == written_days
    assert (blocks[len(written_days):] == -1.0).all()


def test_window_past_exit_keeps_exit_block_unadjusted():
    record = trade(col(100.0, 100.0, 100.0), col(100.0, 110.0, 120.0), 0, 1, window=3, fee=0.01)
    # the exit block is day 1; the exit costs land on the last tracked day (2)
    assert record[-1] == pytest.approx(0.1)
    assert record[17] == (1 - 0.01) * (100 / 120 * (120 / 100)) - 1


def test_nan_close_holds_the_ratio_and_is_no_profit_day():
    record = trade(col(100.0, 1.0, 1.0, 1.0), col(100.0, np.nan, 110.0, np.nan), 0, 3, window=4, charge_exit=0)
    days = record[:-6].reshape(-1, 6)
    assert list(days[:, 5]) == pytest.approx([0.0, 0.0, 0.1, 0.1])
    assert list(days[:, 4]) == [0.0, 0.0, 1.0, 1.0]


def test_entry_date_counts_as_profit_day():
    assert trade(col(100.0), col(101.0), 0, 0, charge_exit=0)[4] == 1.0


def test_unmapped_column_reads_price_column_zero():
    price = np.array([[100.0, 50.0], [110.0, 55.0]])
    record = trade(price, price, 0, 1, column_map={}, charge_exit=0)
    assert record[5] == pytest.approx(0.1)


@pytest.mark.parametrize("layout", ["fortran", "strided"])
def test_non_contiguous_matrices(layout):
    data = [100.0, 102.0, 97.0]
    wide = np.zeros((3, 4))
    wide[:, 2] = data
    matrix = np.asfortranarray(wide) if layout == "fortran" else wide[:, ::2]
    source = 2 if layout == "fortran" else 1
    got = trade(matrix, matrix, 0, 2, column_map={0: source})
    assert np.array_equal(got, trade(col(*data), col(*data), 0, 2))


prices = st.floats(0.5, 2.0)


@settings(max_examples=150, deadline=None)
@given(
    path=st.lists(st.one_of(prices, st.just(math.nan)), min_size=2, max_size=25),
    data=st.data(),
    is_long=st.booleans(),
    charge_entry=st.integers(0, 1),
    charge_exit=st.integers(0, 1),
    window=st.integers(0, 30),
    step=st.integers(1, 7),
)
def test_records_match_the_model_bit_for_bit(path, data, is_long, charge_entry, charge_exit, window, step):
    close = col(*path)
    price = close * data.draw(st.floats(0.9, 1.1))
    price[0, 0] = data.draw(prices)
    exit_ = data.draw(st.integers(0, len(path) + 3))
    fee, tax = data.draw(st.floats(0, 0.01)), data.draw(st.floats(0, 0.01))
    got = trade(price, close, 0, exit_, 1.0 if is_long else -1.0, window=window, step=step, fee=fee, tax=tax,
                charge_entry=charge_entry, charge_exit=charge_exit)
    want = reference(price, close, 0, exit_, is_long, charge_entry, charge_exit, fee, tax, window, step)
    np.testing.assert_array_equal(got, want)


# ---- failures ----------------------------------------------------------------

OK = col(100.0, 100.0, 100.0)


@pytest.mark.parametrize(
    ("price", "close", "kwargs", "error", "message"),
    [
        (col(0.0, 1.0), col(1.0, 1.0), {}, ZeroDivisionError, "float division"),
        (col(1.0, 1.0, 1.0), col(0.0, np.nan, 1.0), {}, ZeroDivisionError, "float division"),
        (col(1.0, 1.0), col(1.0, 0.0), {}, ZeroDivisionError, "float division"),
        (OK, OK, {"step": 0}, ZeroDivisionError, "integer division or modulo by zero"),
        (OK, OK, {"window": INT32_MIN + 1, "step": -1}, OverflowError, "value too large to perform division"),
        (OK, OK, {"window": -2}, ValueError, "negative"),
        (OK, OK, {"window": 5, "step": -1}, ValueError, "negative"),
        (OK, OK, {"window": -1}, IndexError, r"Out of bounds on buffer access \(axis 0\)"),
        (OK, OK, {"window": -1, "step": 2}, IndexError, r"Out of bounds on buffer access \(axis 0\)"),
        (OK, OK, {"column_map": {0: 3}}, IndexError, "index 3 is out of bounds for axis 0 with size 1"),
        (OK, OK[:2], {}, IndexError, "index 2 is out of bounds for axis 0 with size 2"),
        (None, OK, {}, TypeError, "'NoneType' object is not subscriptable"),
        (OK, None, {}, TypeError, "'NoneType' object is not subscriptable"),
    ],
)
def test_failed_analysis_keeps_the_trade_but_not_the_record(price, close, kwargs, error, message):
    with pytest.raises(error, match=message):
        trade(price, close, 0, len(OK) - 1, **kwargs)
    assert len(tradearc.trades) == len(tradearc.trade_positions) == 1
    assert tradearc.tradearc == []


@pytest.mark.parametrize(
    ("entry", "exit_", "message"),
    [(5, 5, "index 5 is out of bounds for axis 0 with size 3"),
     (-4, 0, "index -4 is out of bounds for axis 0 with size 3"),
     (2, 1, "exit date index 1 precedes entry date index 2")],
)
def test_rows_outside_or_reversed_raise(entry, exit_, message):
    with pytest.raises(IndexError, match=message):
        trade(OK, OK, entry, exit_)


@pytest.mark.parametrize(
    ("matrix", "message"),
    [(np.ones((2, 2), dtype=np.int64), "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
     (np.ones(2), r"Buffer has wrong number of dimensions \(expected 2, got 1\)")],
)
def test_start_rejects_bad_matrices_before_any_change(matrix, message):
    trade(OK, OK, 0, 1)
    with pytest.raises(ValueError, match=message):
        probe.start_analysis(OK, matrix, {}, 1, 0.0, 0.0, 0, 1)
    assert len(tradearc.tradearc) == 1


def test_matrix_reshaped_after_start_is_checked_again():
    price = OK.copy()
    probe.start_analysis(price, OK, {0: 0}, 1, 0.0, 0.0, 0, 1)
    price.resize(3, refcheck=False)
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        probe.record_exit(0, 1)


def test_no_columns_rejects_entries():
    probe.start_analysis(OK, OK, {}, 0, 0.0, 0.0, 0, 1)
    with pytest.raises(IndexError, match="index 0 is out of bounds for axis 0 with size 0"):
        probe.record_entry(0, 1.0, 1)


# ---- lists, table and item types -----------------------------------------------


def test_items_and_their_types():
    probe.start_analysis(OK, OK, {0: 0, 1: 0, 2: 0}, 3, 0.0, 0.0, 0, 1)
    probe.record_date(1)
    probe.record_entry(1, 0.25, 1)
    probe.record_entry(2, 0.5, 1)
    probe.record_exit(0, 1)  # never entered: date 0, value 0.0, analysed as short
    assert probe.end_analysis({1: 0.0, 2: math.nan}) is None
    assert tradearc.trades == [[0, 0, 1], [2, 1, -1]]
    assert [type(v) for v in tradearc.trades[1]] == [int, np.int64, int]
    assert tradearc.trade_positions == [0.0, 0.5] and type(tradearc.trade_positions[0]) is np.float64
    assert probe.end_analysis({}) is None and len(tradearc.tradearc) == 2


def test_end_analysis_stops_at_the_first_failing_column():
    probe.start_analysis(OK, OK, {0: 0, 1: 9, 2: 0}, 3, 0.0, 0.0, 0, 1)
    with pytest.raises(IndexError):
        probe.end_analysis({0: 1.0, 1: 1.0, 2: 1.0})
    assert [t[0] for t in tradearc.trades] == [0, 1] and len(tradearc.tradearc) == 1


def test_lists_are_resolved_by_name_at_every_use():
    original = tradearc.trades
    probe.start_analysis(OK, OK, {0: 0}, 1, 0.0, 0.0, 0, 1)
    tradearc.trades = redirected = []
    probe.record_exit(0, 0)
    assert len(redirected) == 1 and original == []
    original.append("stale")
    tradearc.trades = original
    probe.start_analysis(OK, OK, {0: 0}, 1, 0.0, 0.0, 0, 1)
    assert tradearc.trades is original and original == []  # cleared in place
    del tradearc.trades
    with pytest.raises(NameError, match="name 'trades' is not defined"):
        probe.record_exit(0, 0)
    assert tradearc.trade_positions == []


def test_capsule_table():
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = tradearc.__pyx_capi__
    assert [(key, get_name(capsule).decode()) for key, capsule in table.items()] == TABLE

    def exported(key):
        slot = get_pointer(table[key], TABLE[0][1].encode())
        return ctypes.c_void_p.from_address(slot).value

    probe.start_analysis(OK, OK, {}, 2, 0.0, 0.0, 0, 1)
    entry, position = probe.exported_arrays()
    assert (exported("entry"), exported("position")) == (id(entry), id(position))
    probe.record_date(7)
    probe.record_entry(1, -0.5, 1)
    assert list(entry) == [0, 7] and list(position) == [0.0, -0.5]


def test_cycles_do_not_leak():
    price, close = col(*np.linspace(90, 110, 8)), col(*np.linspace(100, 95, 8))

    def cycle():
        probe.start_analysis(price, close, {0: 0, 1: 0}, 2, 0.001, 0.003, 5, 2)
        probe.record_date(1)
        probe.record_entry(0, 0.5, 1)
        probe.record_entry(1, -0.5, 1)
        probe.record_date(4)
        probe.record_exit(0, 1)
        probe.end_analysis({1: -0.5})

    def rss_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    for _ in range(200):
        cycle()
    gc.collect()
    refs, rss = (sys.getrefcount(price), sys.getrefcount(close)), rss_bytes()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(10_000):
        cycle()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert (sys.getrefcount(price), sys.getrefcount(close)) == refs
    assert grown < 256 * 1024
    assert rss_bytes() - rss < 4 * 2**20

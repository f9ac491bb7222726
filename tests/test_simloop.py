"""Hand-computed backtests: sizing, costs, exits, records and end-of-run state."""

from __future__ import annotations

import inspect

import numpy as np
import pytest

from quorex.core import simloop, tradearc

FEE, TAX = 0.001425, 0.003
DAY = 86_400 * 10**9


def run(price, weights, *, close=None, high=None, low=None, opening=None, rows=None, resample=None,
        labels=None, **rules):
    """Backtest on dates 0..N-1 (in days); weight row i is dated `rows[i]`.

    By default every row is signalled on date i and every row date is a
    resample date, so row i is traded at the price of date i + 1.
    """
    price = np.asarray(price, dtype=float)
    if price.ndim == 1:
        price = price[:, None]
    weights = np.atleast_2d(np.asarray(weights, dtype=float))
    n, m = price.shape
    labels = labels or [chr(ord("A") + j) for j in range(m)]
    rows = np.arange(len(weights)) if rows is None else np.asarray(rows)
    resample = rows if resample is None else np.asarray(resample)

    def matrix(values):
        if values is None:
            return None
        values = np.asarray(values, dtype=float)
        return values[:, None] if values.ndim == 1 else values

    close = price if close is None else matrix(close)
    return simloop.backtest_(
        price, close, matrix(high), matrix(low), matrix(opening), np.arange(n, dtype=np.int64) * DAY,
        np.array(labels, dtype=object), weights, (rows * DAY).astype(np.int64),
        np.array(labels[: weights.shape[1]], dtype=object), (resample * DAY).astype(np.int64), **rules,
    )


def trades():
    return [[int(x) for x in t] for t in tradearc.trades]


# -- sizing and the cost model ------------------------------------------------


def test_half_weight_buys_half_and_pays_the_fee_out_of_the_position():
    creturn = run([10.0, 10.0, 10.0], [0.5])
    held = 0.5 - FEE * 0.5
    assert creturn[0] == 1.0
    assert creturn[1] == 0.5 + held
    assert trades() == [[0, 1, -1]]
    assert tradearc.trade_positions == [0.5]


@pytest.mark.parametrize(
    ("row", "limit", "targets"),
    [
        ([1.0, 1.0, 1.0, 1.0], 1.0, [0.25] * 4),  # scaled to an absolute sum of 1
        ([0.25, -0.25], 1.0, [0.25, -0.25]),  # below 1: the rest stays in cash
        ([1.0], 0.3, [0.3]),  # capped at position_limit x equity
        ([-2.0, 1.0], 0.5, [-0.5, 1 / 3]),
    ],
)
def test_targets_are_scaled_then_capped(row, limit, targets):
    price = np.full((3, len(row)), 10.0)
    run(price, [row], position_limit=limit)
    assert trades() == [[sid, 1, -1] for sid in range(len(row))]
    np.testing.assert_allclose(tradearc.trade_positions, targets, rtol=1e-15)


def test_short_from_nothing_charges_only_the_fee():
    creturn = run([10.0, 10.0, 10.0], [-0.5])
    cash = 1.0 + 0.5 - FEE * 0.5
    assert creturn[1] == cash - 0.5


def test_reducing_a_long_pays_fee_and_tax_on_the_sale():
    creturn = run([10.0] * 4, [[0.5], [0.3]])
    cash, held = 0.5, 0.5 - FEE * 0.5
    total = cash + held
    amount = 0.3 * total - held
    cash = cash + (-amount) - (FEE + TAX) * abs(amount)
    held = held + amount
    assert creturn[2] == cash + held
    assert trades() == [[0, 1, 2], [0, 2, -1]]


def test_covering_a_short_costs_its_value_plus_fee_and_tax():
    creturn = run([10.0] * 4, [[-0.5], [0.0]])
    cash, held = 1.0 + 0.5 - FEE * 0.5, -0.5
    assert creturn[2] == cash + held - abs(held) * (FEE + TAX)
    assert trades() == [[0, 1, 2]]


@pytest.mark.parametrize(
    ("rules", "expected"),
    [
        ({}, [[0, 1, 2], [0, 2, 3], [0, 3, -1]]),  # split into a new record at every rebalance
        ({"retain_cost_when_rebalance": True}, [[0, 1, -1]]),
        ({"periodically_rebalance": False}, [[0, 1, -1]]),
    ],
)
def test_held_positions_are_reopened_at_every_rebalance_by_default(rules, expected):
    run([10.0] * 5, [[0.5], [0.4], [0.5]], **rules)
    assert trades() == expected
    assert simloop.RETAIN_COST_WHEN_REBALANCE is bool(rules.get("retain_cost_when_rebalance"))
    assert simloop.RESAMPLE is rules.get("periodically_rebalance", True)


def test_row_waits_for_a_marked_date_and_only_the_newest_is_applied():
    # Rows signalled on dates 0 and 1; only date 2 is a resample date.
    run(np.full((5, 2), 10.0), [[1.0, 0.0], [0.0, 1.0]], rows=[0, 1], resample=[2])
    assert trades() == [[1, 3, -1]]
    assert simloop.stock_operations["weight_time"] == 1


def test_a_row_dated_between_trading_dates_trades_on_the_next_one():
    index = np.array([0, 2, 4, 6], dtype=np.int64) * DAY
    price = np.full((4, 1), 10.0)
    labels = np.array(["A"], dtype=object)
    rows = np.array([0, 3 * DAY], dtype=np.int64)  # the second on a non-trading day
    simloop.backtest_(price, price, None, None, None, index, labels, np.array([[1.0], [0.5]]), rows, labels,
                      rows)
    assert trades() == [[0, 1, 2], [0, 2, -1]]


def test_missing_price_keeps_the_value_and_the_last_valid_reference():
    price = [10.0, 10.0, np.nan, 12.0]
    creturn = run(price, [1.0], fee_ratio=0.0, tax_ratio=0.0)
    assert creturn[2] == 1.0  # NaN price: valued at the held value
    assert creturn[3] == pytest.approx(1.2, rel=1e-15)


# -- exits ------------------------------------------------------------------------


def test_close_based_stop_is_signalled_on_the_close_and_sold_next_date():
    price = [10.0, 10.0, 10.0, 9.5, 9.5]
    close = [10.0, 10.0, 8.9, 9.5, 9.5]
    creturn = run(price, [1.0], close=close, stop_loss=0.1)
    held = 1.0 - FEE
    assert creturn[2] == 0.0 + held * 8.9 / 10.0
    sold = held * 0.95
    assert creturn[3] == sold - sold * (FEE + TAX)
    assert creturn[4] == creturn[3]
    assert trades() == [[0, 1, 3]]
    assert simloop.stock_operations["actions"] == {0: "sl_"}


@pytest.mark.parametrize(
    ("close", "rules", "exits"),
    [
        (12.5, {"take_profit": 0.25}, True),  # upper bound is inclusive
        (7.5, {"stop_loss": 0.25}, False),  # lower bound is strict
        (7.4, {"stop_loss": -0.25}, True),  # distances are taken as absolute values
    ],
)
def test_close_based_bounds(close, rules, exits):
    run([10.0] * 4, [1.0], close=[10.0, 10.0, close, 10.0], fee_ratio=0.0, tax_ratio=0.0, **rules)
    assert trades() == ([[0, 1, 3]] if exits else [[0, 1, -1]])


def test_trailing_stop_follows_the_peak():
    price = [10.0, 10.0, 12.0, 11.4, 11.4, 11.4]
    close = [10.0, 10.0, 12.0, 11.39, 11.4, 11.4]
    run(price, [1.0], close=close, trail_stop=0.05)
    assert trades() == [[0, 1, 4]]  # 1.139 < 1.2 - 0.05


def test_short_closed_at_twice_its_entry_price_by_default():
    run([10.0, 10.0, 20.0, 20.0], [-1.0])
    assert trades() == [[0, 1, 3]]
    assert simloop.stock_operations["actions"] == {0: "tp_"}


def touched(low, high, opening, price_today=10.0, **rules):
    """Long from date 1 at 10, checked against date 2's range."""
    return run([10.0, 10.0, price_today, price_today], [1.0], high=[10.0, 10.0, high, 10.0],
               low=[10.0, 10.0, low, 10.0], opening=[10.0, 10.0, opening, 10.0], touched_exit=True, **rules)


@pytest.mark.parametrize(
    ("low", "high", "opening", "fill", "label"),
    [
        (8.8, 10.2, 9.5, 0.9, "sl_"),  # filled at the stop
        (8.5, 10.2, 8.5, 0.85, "sl_"),  # opened through it: filled at the open
        (9.0, 10.2, 9.5, 0.9, "sl_"),  # touching the bound counts
        (9.5, 12.0, 10.0, 1.2, "tp_"),  # take profit at the bound
        (8.8, 12.5, 10.0, 1.2, "sl_"),  # both touched: upper fill, listed as a loss
    ],
)
def test_touched_exit_fills(low, high, opening, fill, label):
    creturn = touched(low, high, opening, stop_loss=0.1, take_profit=0.2)
    value = (1.0 - FEE) * fill
    assert creturn[2] == 0.0 + value - abs(value) * (FEE + TAX)
    assert creturn[3] == creturn[2]
    assert trades() == [[0, 1, 2]]
    assert simloop.stock_operations["actions"] == {0: label}
    assert simloop.stock_operations["weights"] == {0: 1.0}  # its zero entry is still held


def test_touched_exit_needs_the_intraday_prices():
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        run([10.0] * 3, [1.0], touched_exit=True)


@pytest.mark.parametrize(
    ("stop_trading", "expected"),
    [(True, [[0, 1, 3]]), (False, [[0, 1, 3], [0, 3, -1]])],
)
def test_pending_exit_on_a_rebalance_date(stop_trading, expected):
    # Stop signalled on date 2's close; row 1 (signalled on date 2) is due on date 3.
    price = [10.0, 10.0, 10.0, 10.0, 10.0]
    close = [10.0, 10.0, 8.0, 10.0, 10.0]
    run(price, [[1.0], [1.0]], rows=[0, 2], close=close, stop_loss=0.1,
        stop_trading_next_period=stop_trading)
    # Kept, the position is re-opened by the rebalance instead of being sold.
    assert trades() == expected


def test_stopped_out_stock_sits_out_one_rebalance():
    close = [10.0, 10.0, 8.0, 10.0, 10.0, 10.0, 10.0]
    run([10.0] * 7, [[1.0], [1.0], [1.0]], rows=[0, 3, 4], close=close, stop_loss=0.1)
    assert trades() == [[0, 1, 3], [0, 5, -1]]


def test_signal_on_a_rebalance_date_is_executed_after_the_resize():
    # Date 2 signals on its close, then rebalances (re-opening the position);
    # the signal still sells it on date 3.
    close = [10.0, 10.0, 8.0, 10.0, 10.0]
    run([10.0] * 5, [[1.0], [0.5]], rows=[0, 1], close=close, stop_loss=0.1)
    assert trades() == [[0, 1, 2], [0, 2, 3]]


# -- stock_operations ------------------------------------------------------------


def test_weights_are_those_of_the_last_rebalance_normalised():
    run(np.full((3, 2), 10.0), [[0.6, 0.6]])
    ops = simloop.stock_operations
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert ops["weights"] == {0: 0.5, 1: 0.5}
    assert ops["next_weights"] == {0: 0.5, 1: 0.5}
    assert (ops["weight_time"], ops["next_weight_time"]) == (0, 0)
    assert ops["actions"] == {}


def test_actions_for_a_rebalance_due_after_the_last_date():
    # Row 1 is signalled on the last date: enter C, exit A, hold B.
    run(np.full((3, 3), 10.0), [[0.5, 0.5, 0.0], [0.0, 0.4, 0.4]], rows=[0, 2])
    ops = simloop.stock_operations
    assert ops["actions"] == {0: "exit", 1: "hold", 2: "enter"}
    assert ops["weights"] == {0: 0.5, 1: 0.5}
    assert ops["next_weights"] == {1: 0.4, 2: 0.4}
    assert (ops["weight_time"], ops["next_weight_time"]) == (0, 1)


def test_run_without_rebalance():
    run(np.full((2, 2), 10.0), [[0.5, 0.5]], rows=[1], resample=[1])
    ops = simloop.stock_operations
    assert ops["weights"] == {} and ops["weight_time"] == -1
    assert ops["actions"] == {0: "enter", 1: "enter"}


@pytest.mark.parametrize(
    ("stop_trading", "row_date", "label", "next_weights"),
    [
        (True, 3, "sl", {}),  # sold tomorrow and left out of the next rows
        (False, 2, "sl", {0: 1.0}),  # newest row older than the last date
        (False, 3, "sl_enter", {0: 1.0}),  # the newest row buys it back
    ],
)
def test_pending_exit_labels(stop_trading, row_date, label, next_weights):
    close = [10.0, 10.0, 10.0, 8.0]
    run([10.0] * 4, [[1.0], [1.0]], rows=[0, row_date], resample=[0], close=close, stop_loss=0.1,
        stop_trading_next_period=stop_trading)
    ops = simloop.stock_operations
    assert ops["actions"] == {0: label}
    assert ops["next_weights"] == next_weights


def test_pending_exit_sells_and_reports_zero_weight():
    close = [10.0, 10.0, 8.0, 10.0]
    run([10.0] * 4, [1.0], close=close, stop_loss=0.1)
    assert simloop.stock_operations["weights"] == {0: 0}
    assert simloop.stock_operations["next_weights"] == {}


# -- normalize_weight ------------------------------------------------------------


@pytest.mark.parametrize(
    ("weights", "limit", "expected"),
    [
        ({0: 0.5, 1: -1.0}, 0.6, {0: 0.5 * (1 / 1.5), 1: -0.6}),
        ({0: 0.5, 1: -0.5}, 0.4, {0: 0.4, 1: -0.4}),  # sum of 1: clamped only
        ({}, 1.0, {}),
        ({"x": 2, "y": 2}, 1, {"x": 0.5, "y": 0.5}),
    ],
)
def test_normalize_weight(weights, limit, expected):
    result = simloop.normalize_weight(weights, limit)
    assert result is weights
    assert result == expected


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((None, 1.0), {}, AttributeError, "'NoneType' object has no attribute 'items'"),
        (({},), {}, TypeError, r"normalize_weight\(\) takes exactly 2 positional arguments \(1 given\)"),
        ((), {"weights": {}, "limit": 1}, TypeError, "unexpected keyword argument 'limit'"),
    ],
)
def test_normalize_weight_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        simloop.normalize_weight(*args, **kwargs)


def test_normalize_weight_by_keyword():
    assert simloop.normalize_weight(position_limit=0.5, weights={1: 0.9}) == {1: 0.5}


# -- the callable surface ------------------------------------------------------------


def test_signature_shows_the_defaults():
    params = inspect.signature(simloop.backtest_).parameters
    assert list(params)[:11] == ["price_values", "close_values", "high_values", "low_values", "open_values",
                                 "price_index", "price_columns", "pos_values", "pos_index", "pos_columns",
                                 "resample"]
    defaults = tuple(p.default for p in params.values() if p.default is not inspect.Parameter.empty)
    assert defaults == (0.001425, 0.003, 1.0, float("inf"), float("inf"), False, 1.0, False, True, 0, 1, True)


def test_defaults_match_explicit_values():
    creturn = run([10.0, 10.0, 11.0], [0.5])
    explicit = run([10.0, 10.0, 11.0], [0.5], fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0,
                   take_profit=np.inf, trail_stop=np.inf, touched_exit=False, position_limit=1.0,
                   retain_cost_when_rebalance=False, stop_trading_next_period=True, tradearc_window=0,
                   tradearc_window_step=1, periodically_rebalance=True)
    np.testing.assert_array_equal(creturn, explicit)
    assert creturn.dtype == np.float64


def test_all_dates_before_the_first_row():
    creturn = run([10.0] * 3, [1.0], rows=[5])
    np.testing.assert_array_equal(creturn, [1.0, 1.0, 1.0])
    assert trades() == []

"""The native backtest against the literal Python model on random markets."""

from __future__ import annotations

import numpy as np
import pytest

import simloop_model as model
from quorex.core import simloop, tradearc

INF = float("inf")


def random_market(rng: np.random.Generator) -> dict:
    n = int(rng.integers(1, 60))
    m = int(rng.integers(1, 7))
    steps = rng.normal(0.0, 0.04, (n, m))
    price = 50.0 * np.exp(np.cumsum(steps, axis=0))
    close = price * np.exp(rng.normal(0.0, 0.02, (n, m)))
    high = np.maximum(price, close) * np.exp(np.abs(rng.normal(0.0, 0.03, (n, m))))
    low = np.minimum(price, close) * np.exp(-np.abs(rng.normal(0.0, 0.03, (n, m))))
    opening = price * np.exp(rng.normal(0.0, 0.03, (n, m)))
    if rng.random() < 0.4:  # a last-date shock leaves exit signals pending at the end
        close[-1] *= rng.choice([0.8, 1.25], m)
    for a in (price, close, high, low, opening):
        a[rng.random((n, m)) < 0.08] = np.nan
    price_index = (1000 + 10 * np.cumsum(rng.integers(1, 4, n))).astype(np.int64)
    price_labels = [f"p{i}" for i in range(m)]
    if m > 1 and rng.random() < 0.2:
        price_labels[-1] = price_labels[0]  # a repeated label maps to its last column
    pos_labels = list(rng.choice(price_labels, size=int(rng.integers(1, m + 2))))
    if rng.random() < 0.3:
        pos_labels.append("unpriced")
    k = len(pos_labels)
    r = int(rng.integers(1, 14))
    lo, hi = int(price_index[0]) - 15, int(price_index[-1]) + 15
    pos_index = np.sort(rng.integers(lo, hi + 1, r)).astype(np.int64)
    if rng.random() < 0.3:  # a row signalled on the last date, for the end-of-run labels
        pos_index[-1] = max(pos_index[-1], price_index[-1])
    weights = rng.normal(0.0, 0.6, (r, k)) * (rng.random((r, k)) < 0.6)
    if rng.random() < 0.3:
        weights = np.abs(weights)
    if rng.random() < 0.03:
        weights[rng.integers(r), rng.integers(k)] = np.nan
    for j, label in enumerate(pos_labels):
        if label == "unpriced":
            weights[:, j] = 0.0
    choice = rng.integers(4)
    if choice == 0:
        resample = pos_index.copy()
    elif choice == 1:
        resample = price_index.copy()
    elif choice == 2:
        resample = np.sort(rng.integers(lo, hi + 1, int(rng.integers(0, 12)))).astype(np.int64)
    else:
        resample = np.zeros(0, dtype=np.int64)
    if rng.random() < 0.3:  # Fortran-ordered and strided inputs
        price = np.asfortranarray(price)
        weights = np.asfortranarray(weights)
    return dict(
        price=price, close=close, high=high, low=low, open_=opening, price_index=price_index,
        price_columns=np.array(price_labels, dtype=object), pos_values=weights, pos_index=pos_index,
        pos_columns=np.array(pos_labels, dtype=object), resample=resample,
    )


def random_rules(rng: np.random.Generator) -> dict:
    def pick(*options):
        return options[int(rng.integers(len(options)))]

    return dict(
        fee_ratio=pick(0.001425, 0.0, 0.01),
        tax_ratio=pick(0.003, 0.0, 0.02),
        stop_loss=pick(1.0, 0.05, -0.1, 0.2),
        take_profit=pick(INF, 0.05, 0.15),
        trail_stop=pick(INF, 0.04, 0.1),
        touched_exit=pick(False, True),
        position_limit=pick(1.0, 0.3, 0.6),
        retain_cost_when_rebalance=pick(False, True),
        stop_trading_next_period=pick(True, False),
        periodically_rebalance=pick(True, False),
    )


def run_native(market: dict, rules: dict) -> np.ndarray:
    return simloop.backtest_(
        market["price"], market["close"], market["high"], market["low"], market["open_"],
        market["price_index"], market["price_columns"], market["pos_values"], market["pos_index"],
        market["pos_columns"], market["resample"], **rules,
    )


def assert_close(actual, expected) -> None:
    np.testing.assert_allclose(np.asarray(actual, dtype=float), np.asarray(expected, dtype=float),
                               rtol=1e-12, atol=0, equal_nan=True)


def assert_same_weights(actual: dict, expected: dict) -> None:
    assert list(actual) == list(expected)
    assert_close(list(actual.values()), list(expected.values()))


@pytest.mark.parametrize("seed", range(400))
def test_matches_model(seed):
    rng = np.random.default_rng(seed)
    market, rules = random_market(rng), random_rules(rng)
    creturn = run_native(market, rules)
    expected = model.backtest(**market, **rules)

    assert_close(creturn, expected.creturn)
    assert [[int(x) for x in t] for t in tradearc.trades] == expected.records.trades
    assert_close(tradearc.trade_positions, expected.records.trade_positions)
    assert len(tradearc.tradearc) == len(tradearc.trades)

    ops, want = simloop.stock_operations, expected.stock_operations
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert ops["actions"] == want["actions"]
    assert_same_weights(ops["weights"], want["weights"])
    assert_same_weights(ops["next_weights"], want["next_weights"])
    assert (ops["weight_time"], ops["next_weight_time"]) == (want["weight_time"], want["next_weight_time"])


@pytest.mark.parametrize("seed", range(10))
def test_buy_and_hold_equity_is_cash_plus_marked_positions(seed):
    """Without costs or exits, one row bought on date 1 is worth cash + w * p(d) / p(1)."""
    rng = np.random.default_rng(1000 + seed)
    n, m = 80, 60
    price = 20.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, (n, m)), axis=0))
    weights = rng.normal(0.0, 1.0, (1, m)) * (rng.random((1, m)) < 0.5)
    labels = np.array([f"s{j}" for j in range(m)], dtype=object)
    index = np.arange(n, dtype=np.int64)
    creturn = simloop.backtest_(price, price, None, None, None, index, labels, weights, index[:1], labels,
                                index[:1], fee_ratio=0.0, tax_ratio=0.0, stop_loss=100.0)

    w = weights[0] / max(1.0, np.abs(weights[0]).sum())
    cash = 1.0 - w.sum()
    expected = cash + (w * price[1:] / price[1]).sum(axis=1)
    assert creturn[0] == 1.0
    np.testing.assert_allclose(creturn[1:], expected, rtol=1e-11)

    trades = tradearc.trades
    assert len(trades) == len(tradearc.trade_positions) == len(tradearc.tradearc) == np.count_nonzero(w)
    assert [t[0] for t in trades] == list(np.flatnonzero(w))  # still open: ascending columns
    assert all(t[1] == 1 and t[2] == -1 for t in trades)


@pytest.mark.parametrize("seed", range(20))
def test_trade_lists_are_parallel_and_ordered(seed):
    rng = np.random.default_rng(2000 + seed)
    market, rules = random_market(rng), random_rules(rng)
    run_native(market, rules)
    trades = tradearc.trades
    assert len(trades) == len(tradearc.trade_positions) == len(tradearc.tradearc)
    closed = [t[2] for t in trades if t[2] != -1]
    assert closed == sorted(closed)  # exits are reported as the dates pass
    still_open = trades[len(closed):]
    assert all(t[2] == -1 for t in still_open)
    assert [t[0] for t in still_open] == sorted(t[0] for t in still_open)

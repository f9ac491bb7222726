"""What engine.run says each trade paid, and which trades form one holding.

The hand-built markets use a fee of 1/128 and a tax of 1/64 on one stock at
a constant price, so that every amount the engine trades is a short binary
fraction and every cost below is exact. The random markets check the costs
against the cash of the slow Python model (the holdings are checked against
the round-trip rule by the differential test, test_engine_binding.py).
"""

from __future__ import annotations

import inspect

import numpy as np
import pytest

import simloop_model as model
from quorex.core import engine
from test_engine_binding import positional, random_case
from test_simloop_model import random_market, random_rules

FEE, TAX = 1 / 128, 1 / 64
LABELS = np.array(["a"], dtype=object)


def one_stock(weights, rows_at, price=(8.0,) * 6, close=None, **rules):
    """Weight rows dated on `rows_at` dates; each is traded on the next date."""
    price = np.array(price, dtype=float)[:, None]
    close = price.copy() if close is None else np.array(close, dtype=float)[:, None]
    index = 1000 + 10 * np.arange(len(price), dtype=np.int64)
    pos_index = index[list(rows_at)]
    return engine.run(price, close, np.fmax(price, close), np.fmin(price, close), price, index, LABELS,
                      np.array(weights, dtype=float), pos_index, LABELS, pos_index.copy(),
                      **{"fee_ratio": FEE, "tax_ratio": TAX, **rules})


def daily(n=6, **paid):
    """Daily fee and tax arrays from {"d<date>": (fee, tax)}."""
    fee, tax = np.zeros(n), np.zeros(n)
    for day, (f, t) in paid.items():
        fee[int(day[1:])], tax[int(day[1:])] = f, t
    return fee, tax


# Entry of 0.5 on date 1 leaves 127/256 held and 1/2 in cash (255/256 in all);
# a second row is traded on date 3.
ENTRY = FEE * 0.5
CASES = {
    "entry": (dict(weights=[[0.5]], rows_at=[0]),
              [ENTRY], [0.0], [0], daily(d1=(ENTRY, 0))),
    # Down to 0.25 x 255/256: a sale of 253/1024, taxed, paid by the new record.
    "resize down, split": (dict(weights=[[0.5], [0.25]], rows_at=[0, 2]),
                           [ENTRY, FEE * 253 / 1024], [0.0, TAX * 253 / 1024], [0, 0],
                           daily(d1=(ENTRY, 0), d3=(FEE * 253 / 1024, TAX * 253 / 1024))),
    "resize down, one record": (dict(weights=[[0.5], [0.25]], rows_at=[0, 2], periodically_rebalance=False),
                                [ENTRY + FEE * 253 / 1024], [TAX * 253 / 1024], [0],
                                daily(d1=(ENTRY, 0), d3=(FEE * 253 / 1024, TAX * 253 / 1024))),
    # 0.25 first (127/512 held, 3/4 cash), then up to 0.5 x 511/512: a purchase of 257/1024, untaxed.
    "resize up, split": (dict(weights=[[0.25], [0.5]], rows_at=[0, 2]),
                         [FEE / 4, FEE * 257 / 1024], [0.0, 0.0], [0, 0],
                         daily(d1=(FEE / 4, 0), d3=(FEE * 257 / 1024, 0))),
    # Long to short: a sale of 763/1024 that ends short adds exposure, so it pays no tax;
    # the split starts a new holding.
    "turn short, split": (dict(weights=[[0.5], [-0.25]], rows_at=[0, 2]),
                          [ENTRY, FEE * 763 / 1024], [0.0, 0.0], [0, 1],
                          daily(d1=(ENTRY, 0), d3=(FEE * 763 / 1024, 0))),
    "turn short, one record": (dict(weights=[[0.5], [-0.25]], rows_at=[0, 2], periodically_rebalance=False),
                               [ENTRY + FEE * 763 / 1024], [0.0], [0],
                               daily(d1=(ENTRY, 0), d3=(FEE * 763 / 1024, 0))),
    "final exit": (dict(weights=[[0.5], [0.0]], rows_at=[0, 2]),
                   [ENTRY + FEE * 127 / 256], [TAX * 127 / 256], [0],
                   daily(d1=(ENTRY, 0), d3=(FEE * 127 / 256, TAX * 127 / 256))),
    # The close of date 2 breaches the 12.5 % stop; the position, marked to 7/8
    # of its value (889/2048), is sold at the next trade price.
    "stop exit": (dict(weights=[[0.5]], rows_at=[0], price=[8, 8, 8, 7, 7, 7], close=[8, 8, 6.5, 7, 7, 7],
                       stop_loss=0.125),
                  [ENTRY + FEE * 889 / 2048], [TAX * 889 / 2048], [0],
                  daily(d1=(ENTRY, 0), d3=(FEE * 889 / 2048, TAX * 889 / 2048))),
    # Touched: the low of date 2 reaches the stop level, sold there on the same day.
    "touched stop exit": (dict(weights=[[0.5]], rows_at=[0], price=[8, 8, 8, 7, 7, 7], close=[8, 8, 6.5, 7, 7, 7],
                               stop_loss=0.125, touched_exit=True),
                          [ENTRY + FEE * 889 / 2048], [TAX * 889 / 2048], [0],
                          daily(d1=(ENTRY, 0), d2=(FEE * 889 / 2048, TAX * 889 / 2048))),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_costs_by_hand(case):
    market, fee, tax, holding, (daily_fee, daily_tax) = case
    got = one_stock(**market)
    assert got.trade_fee.tolist() == fee
    assert got.trade_tax.tolist() == tax
    assert got.trade_holding.tolist() == holding
    assert got.daily_fee.tolist() == daily_fee.tolist()
    assert got.daily_tax.tolist() == daily_tax.tolist()


# Ratios for which fee x amount + tax x amount misses (fee + tax) x amount,
# the engine's cost, by a bit: once with the larger fee, once with the larger tax.
@pytest.mark.parametrize("fee, tax", [(0.003, 0.0005), (0.0005, 0.003), (0.01, 0.02)])
def test_fee_and_tax_add_up_to_the_cost_to_the_bit(fee, tax):
    got = one_stock([[0.5], [0.0]], [0, 2], fee_ratio=fee, tax_ratio=tax)
    held = (0.0 + 0.5) - fee * 0.5  # bought on date 1, sold on date 3
    assert got.daily_fee[3] + got.daily_tax[3] == held * (fee + tax)
    assert got.daily_fee[3] == pytest.approx(fee * held, rel=1e-15, abs=0)
    assert got.daily_tax[3] == pytest.approx(tax * held, rel=1e-15, abs=0)


@pytest.mark.parametrize("seed", range(40))
def test_no_fee_and_no_tax_cost_nothing(seed):
    market, rules = random_case(seed)
    market["pos_values"] = np.nan_to_num(market["pos_values"])
    got = engine.run(*positional(market), **{**rules, "fee_ratio": 0.0, "tax_ratio": 0.0})
    for name in ("trade_fee", "trade_tax", "daily_fee", "daily_tax"):
        assert not getattr(got, name).any(), name


@pytest.mark.parametrize("seed", range(1000))
def test_costs_by_trade_add_up_to_the_costs_by_day(seed):
    market, rules = random_case(seed)
    got = engine.run(*positional(market), **rules)
    by_trade = got.trade_fee.sum() + got.trade_tax.sum()
    by_day = got.daily_fee.sum() + got.daily_tax.sum()
    np.testing.assert_allclose(by_trade, by_day, rtol=1e-12, atol=1e-15, equal_nan=True)


class PaidSimulation(model._Simulation):
    """The model, with what each trade takes out of the portfolio (cash plus
    the position traded) booked to the trade's date and to its record."""

    def __init__(self, a: dict) -> None:
        super().__init__(a)
        self.paid_on = np.zeros(len(self.price_index))
        self.paid_open: dict[int, float] = {}
        self.paid_closed: list[float] = []

    def set_position(self, sid, target, check_held=True, drop_zero=False, weight_base=1):
        closed_before = len(self.records.trades)
        before = self.cash + self.held.get(sid, 0.0)
        super().set_position(sid, target, check_held, drop_zero, weight_base)
        paid = before - (self.cash + self.held.get(sid, 0.0))
        self.paid_on[self.records.date] += paid
        if len(self.records.trades) > closed_before:  # the column's record was closed (or split)
            self.paid_closed.append(self.paid_open.pop(sid, 0.0))
        if target != 0:
            self.paid_open[sid] = self.paid_open.get(sid, 0.0) + paid
        elif len(self.records.trades) > closed_before:
            self.paid_closed[-1] += paid

    def paid_by_trade(self) -> list[float]:
        still_open = [self.paid_open.get(t[0], 0.0) for t in self.records.trades[len(self.paid_closed):]]
        return self.paid_closed + still_open


MODEL_DEFAULTS = {name: p.default for name, p in inspect.signature(model.backtest).parameters.items()
                  if p.default is not p.empty}


@pytest.mark.parametrize("seed", range(300))
def test_costs_are_what_the_cash_lost(seed):
    rng = np.random.default_rng(seed)
    market, rules = random_market(rng), random_rules(rng)
    market["pos_values"] = np.nan_to_num(market["pos_values"])  # a NaN weight spends NaN cash
    sim = PaidSimulation({**MODEL_DEFAULTS, **market, **rules})
    creturn = sim.run().creturn
    assert np.isfinite(creturn).all()
    got = engine.run(*positional(market), **rules, keep_last_price=False)  # the model is backtest_'s
    tolerance = dict(rtol=1e-9, atol=1e-12 * max(1.0, np.abs(creturn).max()))
    np.testing.assert_allclose(got.daily_fee + got.daily_tax, sim.paid_on, **tolerance)
    np.testing.assert_allclose(got.trade_fee + got.trade_tax, sim.paid_by_trade(), **tolerance)

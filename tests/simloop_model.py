"""A slow, literal Python model of the backtest loop, used as an oracle.

It is written straight from the rules (one statement per rule, Python floats,
dicts iterated in sorted key order) and deliberately shares no code with the
native engine. Trade records are kept the way the excursion analysis keeps
its `trades` and `trade_positions` lists.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

INF = float("inf")


@dataclass
class Records:
    """Mirror of the trade lists the excursion analysis builds."""

    n_columns: int
    date: int = 0
    entry: list[int] = field(default_factory=list)
    position: list[float] = field(default_factory=list)
    trades: list[list[int]] = field(default_factory=list)
    trade_positions: list[float] = field(default_factory=list)
    calls: list[tuple] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.entry = [0] * self.n_columns
        self.position = [0.0] * self.n_columns

    def record_entry(self, sid: int, weight: float, charge: int) -> None:
        self.entry[sid] = self.date
        self.position[sid] = weight
        self.calls.append(("entry", self.date, sid, weight, charge))

    def record_exit(self, sid: int, charge: int) -> None:
        self.trades.append([sid, self.entry[sid], self.date])
        self.trade_positions.append(self.position[sid])
        self.calls.append(("exit", self.date, sid, charge))

    def end_analysis(self, held: dict[int, float]) -> None:
        for sid in sorted(held):
            if held[sid] != 0:
                self.trades.append([sid, self.entry[sid], -1])
                self.trade_positions.append(self.position[sid])


@dataclass
class Result:
    creturn: np.ndarray
    records: Records
    stock_operations: dict


def normalize_weight(weights: dict, position_limit: float) -> dict:
    s = 0.0
    for _, value in weights.items():
        s = s + abs(value)
    for key in weights:
        if s > 1:
            weights[key] = weights[key] * (1 / s)
    for key in weights:
        if weights[key] > position_limit:
            weights[key] = position_limit
        elif weights[key] < -position_limit:
            weights[key] = -position_limit
    return weights


def backtest(price, close, high, low, open_, price_index, price_columns, pos_values, pos_index,
             pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0,
             take_profit=INF, trail_stop=INF, touched_exit=False, position_limit=1.0,
             retain_cost_when_rebalance=False, stop_trading_next_period=True,
             periodically_rebalance=True) -> Result:
    """Runs the rules on plain Python data; returns creturn, records, stock operations."""
    sim = _Simulation(locals())
    return sim.run()


class _Simulation:
    def __init__(self, a: dict) -> None:
        self.price = a["price"].tolist()
        self.close = a["close"].tolist()
        self.touched = bool(a["touched_exit"])
        if self.touched:
            self.high = a["high"].tolist()
            self.low = a["low"].tolist()
            self.open = a["open_"].tolist()
        self.price_index = [int(x) for x in a["price_index"]]
        self.pos_values = a["pos_values"].tolist()
        self.pos_index = [int(x) for x in a["pos_index"]]
        self.resample = [int(x) for x in a["resample"]]
        self.fee = float(a["fee_ratio"])
        self.tax = float(a["tax_ratio"])
        self.sl = abs(a["stop_loss"])
        self.tp = abs(a["take_profit"])
        self.ts = abs(a["trail_stop"])
        self.limit = float(a["position_limit"])
        self.retain_arg = bool(a["retain_cost_when_rebalance"])
        self.stop_trading = bool(a["stop_trading_next_period"])
        self.RETAIN_COST_WHEN_REBALANCE = bool(a["retain_cost_when_rebalance"])
        self.RESAMPLE = bool(a["periodically_rebalance"])
        names = {}
        for i, label in enumerate(a["price_columns"]):
            names[label.encode("UTF-8")] = i
        self.colmap = {}
        for j, label in enumerate(a["pos_columns"]):
            if label.encode("UTF-8") in names:
                self.colmap[j] = names[label.encode("UTF-8")]
        self.records = Records(len(a["pos_columns"]))

    # -- sizing and trades ---------------------------------------------------

    def set_position(self, sid, target, check_held=True, drop_zero=False, weight_base=1):
        held = (sid in self.held) if check_held else True
        now_open = sid in self.held and self.held[sid] != 0
        target_open = target != 0
        if not now_open and target_open:
            self.records.record_entry(sid, target / weight_base, 1)
        elif now_open and not target_open:
            self.records.record_exit(sid, 1)
        elif now_open and target_open and not self.RETAIN_COST_WHEN_REBALANCE and self.RESAMPLE:
            self.records.record_exit(sid, 0)
            self.records.record_entry(sid, target / weight_base, 0)
        if target != 0:
            if not held:
                self.held[sid] = 0.0
            h = self.held[sid]
            amount = target - h
            if (target >= 0 and amount > 0) or (target <= 0 and amount < 0):
                rate = self.fee
            else:
                rate = self.fee + self.tax
            cost = rate * abs(amount)
            if amount > 0:
                self.cash = self.cash - amount
                h = h + amount - cost
            else:
                self.cash = self.cash + (-amount) - cost
                h = h + amount
            self.held[sid] = h
            if drop_zero and h == 0:
                del self.held[sid]
        else:
            if held:
                h = self.held[sid]
                self.cash = self.cash + h - abs(h) * (self.fee + self.tax)
                if drop_zero:
                    del self.held[sid]
                else:
                    self.held[sid] = 0.0

    def rebalance(self, row):
        total = self.cash + sum(self.held[s] for s in sorted(self.held))
        base = float(np.abs(np.array(row, dtype=np.float64)).sum())
        divisor = 1 if 1 > base else base
        scale = total / divisor
        if math.isnan(scale):
            scale = 1.0
        for sid, v in enumerate(row):
            target = v * scale
            cap = total * self.limit
            if abs(target) > cap:
                target = cap if target > 0 else -cap
            self.set_position(sid, target, True, True, total)

    def rebalance_block(self, d):
        w = self.pos_values[self.current]
        if self.retain_arg:
            for sid, v in enumerate(w):
                if v != 0 and (sid not in self.held or self.held[sid] * v <= 0):
                    self.cost[sid] = 1.0
                    self.peak[sid] = 1.0
        else:
            self.cost = [1.0] * len(self.cost)
            self.peak = [1.0] * len(self.peak)
        if self.stop_trading and len(self.stopped) > 0:
            row = list(w)
            for sid, _ in self.stopped:
                row[sid] = 0.0
        else:
            row = w
        self.rebalance(row)
        self.stopped = []
        self.signals = []
        self.snapshot = dict(self.held)
        self.applied = self.current
        self.ref = list(self.price[d])

    # -- exits ---------------------------------------------------------------

    def bounds(self, e, m):
        if e > 0:
            return 1 + self.tp, max(m - self.ts, 1 - self.sl)
        return min(m + self.ts, 1 + self.sl), 1 - self.tp

    def mark_and_check(self, d):
        for sid in sorted(self.held):
            p = self.colmap.get(sid, 0)
            if math.isnan(self.ref[p]):
                self.ref[p] = self.price[d][p]
            ref = self.ref[p]
            r = self.price[d][p] / ref
            if math.isnan(r):
                r = 1.0
            self.held[sid] = self.held[sid] * r
            self.cost[sid] = self.cost[sid] * r
            self.peak[sid] = max(self.cost[sid], self.peak[sid])
            c, m, v = self.cost[sid], self.peak[sid], self.held[sid]
            e = v / c
            upper, lower = self.bounds(e, m)
            if not self.touched:
                x = c * self.close[d][p] / self.price[d][p]
                if x >= upper:
                    self.signals.append((sid, 1))
                elif x < lower:
                    self.signals.append((sid, -1))
            else:
                base = c / r
                high = base * self.high[d][p] / ref
                low = base * self.low[d][p] / ref
                opening = base * self.open[d][p] / ref
                touched_low = low <= lower
                touched_high = high >= upper
                open_beyond = opening >= upper or opening <= lower
                if open_beyond:
                    self.held[sid] = e * opening
                elif touched_high:
                    self.held[sid] = e * upper
                elif touched_low:
                    self.held[sid] = e * lower
                if touched_low or touched_high or open_beyond:
                    v = self.held[sid]
                    kind = -1 if (touched_low and v > 0) or (touched_high and v < 0) else 1
                    self.stopped.append((sid, kind))
                    self.set_position(sid, 0, False, False)
            if not math.isnan(self.price[d][p]):
                self.ref[p] = self.price[d][p]

    def execute_pending(self):
        for s in self.pending:
            a = s[0]
            keep = self.due and not self.stop_trading and self.pos_values[self.current][a] != 0
            if a in self.held and self.held[a] != 0:
                if keep:
                    continue
                self.set_position(a, 0, False, True)
                self.stopped.append(s)
                self.cost[a] = 1.0
                self.peak[a] = 1.0
                for i, t in enumerate(self.signals):
                    if t[0] == a:
                        del self.signals[i]
                        break

    # -- the loop --------------------------------------------------------------

    def run(self) -> Result:
        n = len(self.price_index)
        creturn = np.empty(n)
        self.cost = [1.0] * len(self.pos_values[0])
        self.peak = [1.0] * len(self.pos_values[0])
        self.ref = [1.0] * len(self.price[0])
        mask = [0] * n
        i = 0
        for r in self.resample:
            while i + 1 < n and self.price_index[i + 1] <= r:
                i += 1
            mask[i] = 1
        self.cash = 1.0
        self.held: dict[int, float] = {}
        self.pending, self.signals, self.stopped = [], [], []
        self.snapshot: dict[int, float] = {}
        self.current, self.applied, self.due = 0, -1, False
        for d in range(n):
            if self.price_index[d] < self.pos_index[0]:
                creturn[d] = 1.0
                continue
            self.records.date = d
            self.mark_and_check(d)
            self.execute_pending()
            self.pending, self.signals = self.signals, []
            if self.due:
                self.rebalance_block(d)
            equity = self.cash
            for sid in sorted(self.held):
                p = self.colmap.get(sid, 0)
                pr, cl = self.price[d][p], self.close[d][p]
                if math.isnan(pr) or math.isnan(cl):
                    equity += self.held[sid]
                else:
                    equity += self.held[sid] * cl / pr
            creturn[d] = equity
            next_date = self.price_index[d + 1] if d < n - 1 else INF
            while self.current < len(self.pos_index) - 1 and self.pos_index[self.current + 1] < next_date:
                self.current += 1
            self.due = self.current != self.applied and mask[d] != 0
        self.records.end_analysis(self.held)
        return Result(creturn, self.records, self.stock_operations())

    def stock_operations(self) -> dict:
        ops = {"actions": {}, "weights": {}, "next_weights": {}}
        weight_sum = 0
        for sid in sorted(self.snapshot):
            w = self.pos_values[self.applied][sid]
            ops["weights"][sid] = w if sid in self.held else 0
            weight_sum += w
        for key in ops["weights"]:
            ops["weights"][key] = ops["weights"][key] / (weight_sum if weight_sum > 1 else 1)
        next_sum = 0
        exiting = {s[0] for s in self.stopped} | {s[0] for s in self.pending}
        for sid, v in enumerate(self.pos_values[self.current]):
            next_sum += abs(v)
            if self.stop_trading and sid in exiting:
                continue
            if v != 0:
                ops["next_weights"][sid] = v
        ops["weight_time"] = self.applied
        ops["next_weight_time"] = self.current
        for key in ops["next_weights"]:
            ops["next_weights"][key] = ops["next_weights"][key] / (next_sum if next_sum > 1 else 1)
        ops["weights"] = normalize_weight(ops["weights"], self.limit)
        ops["next_weights"] = normalize_weight(ops["next_weights"], self.limit)
        actions = ops["actions"]
        if self.due:
            for sid, v in enumerate(self.pos_values[self.current]):
                cur = self.held.get(sid, 0)
                if cur == 0 and v != 0:
                    actions[sid] = "enter"
                if cur != 0 and v == 0:
                    actions[sid] = "exit"
                if cur != 0 and v != 0:
                    actions[sid] = "hold"
        for sid, kind in self.pending:
            if self.stop_trading or self.price_index[-1] > self.pos_index[self.current]:
                actions[sid] = "tp" if kind > 0 else "sl"
            elif sid in ops["next_weights"] and ops["next_weights"][sid] != 0:
                actions[sid] = "tp_enter" if kind > 0 else "sl_enter"
        for sid, kind in self.stopped:
            if self.stop_trading or sid not in actions:
                actions[sid] = "tp_" if kind > 0 else "sl_"
        return ops

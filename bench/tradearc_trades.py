"""Cost of tradearc's excursion records, driven through its native table.

Needs the test probe (dev install: QUOREX_TEST_HOOKS=ON). Prints the
workload and the time per trade and per tracked day.
"""

from __future__ import annotations

import time

import numpy as np

import _quorex_tradearc_probe as probe

DATES, COLUMNS = 5000, 500
FEE, TAX = 0.001425, 0.003


def main() -> None:
    rng = np.random.default_rng(0)
    close = 100 * np.cumprod(1 + rng.normal(0, 0.01, (DATES, COLUMNS)), axis=0)
    price = close * (1 + rng.normal(0, 0.002, (DATES, COLUMNS)))
    column_map = {c: c for c in range(COLUMNS)}

    probe.start_analysis(price, close, column_map, COLUMNS, FEE, TAX, 60, 5)
    start = time.perf_counter()
    probe.record_date(0)
    for c in range(COLUMNS):
        probe.record_entry(c, 1.0 / COLUMNS, 1)
    probe.record_date(DATES - 1)
    for c in range(COLUMNS):
        probe.record_exit(c, 1)
    elapsed = time.perf_counter() - start
    print(f"full-length trades: {COLUMNS} columns x {DATES} dates, window 60, step 5")
    print(f"  {elapsed * 1e3:.1f} ms total, {elapsed / COLUMNS * 1e6:.1f} us/trade, "
          f"{elapsed / (COLUMNS * DATES) * 1e9:.2f} ns/tracked day")

    probe.start_analysis(price, close, column_map, COLUMNS, FEE, TAX, 60, 5)
    trades = 0
    start = time.perf_counter()
    for d in range(0, DATES - 20, 5):
        c = d % COLUMNS
        probe.record_date(d)
        probe.record_entry(c, 0.1, 1)
        probe.record_date(d + 10)
        probe.record_exit(c, 1)
        trades += 1
    elapsed = time.perf_counter() - start
    print(f"short trades: {trades} trades of 10 dates, window 60 (tracked past the exit), step 5")
    print(f"  {elapsed * 1e3:.1f} ms total, {elapsed / trades * 1e6:.2f} us/trade (incl. the probe's calls)")


if __name__ == "__main__":
    main()

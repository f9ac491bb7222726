"""Cost of reading the command line's price files: long and wide CSV of a synthetic market.

Workload: ``quorex.io.synthetic.synthetic_market`` closes written as a long CSV
(date, ticker, close with thousands separators) and as a wide CSV with
YYYYMMDD dates, then read back with ``quorex.io.files.load_prices``.
"""

from __future__ import annotations

import tempfile
import time
from pathlib import Path

from quorex.io import files
from quorex.io.synthetic import synthetic_market


def main() -> None:
    close = synthetic_market(n_stocks=500, years=20)["close"] * 100
    with tempfile.TemporaryDirectory() as tmp:
        wide = Path(tmp) / "wide.csv"
        close.set_axis(close.index.strftime("%Y%m%d")).rename_axis("date").to_csv(wide)
        long = Path(tmp) / "long.csv"
        stacked = close.rename_axis(index="date", columns="ticker").stack().rename("close").reset_index()
        stacked["close"] = stacked["close"].map("{:,.2f}".format)
        stacked.to_csv(long, index=False)
        for name, path in (("wide, YYYYMMDD", wide), ("long, ticker, 1,234.56", long)):
            start = time.perf_counter()
            got = files.load_prices(path)
            seconds = time.perf_counter() - start
            print(f"{name}: {got.shape[0]} dates x {got.shape[1]} stocks "
                  f"({path.stat().st_size / 1e6:.1f} MB) read in {seconds:.2f} s")


if __name__ == "__main__":
    main()

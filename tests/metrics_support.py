"""Small pandas inputs shared by the metrics tests."""

from __future__ import annotations

import pandas as pd


def series(values, start: str = "2020-01-01") -> pd.Series:
    """Float series on consecutive calendar days."""
    return pd.Series(values, index=pd.date_range(start, periods=len(values)), dtype=float)


def capacity_trades() -> pd.DataFrame:
    """Two trades whose accepted money flows are 200,000 and 400,000 at 5 %."""
    return pd.DataFrame({"turnover@entry_date": [1_000_000.0, 2_000_000.0],
                         "turnover@exit_date": [3_000_000.0, 2_000_000.0], "position": [0.5, -0.25]})

"""The frames of the execution rules: which stocks may trade each day, and how many shares did.

Both are dates × symbols and are read on the prices' calendar and columns.
They must cover every trading date and every symbol the weights trade: a
gap there would silently decide whether an order fills, so it is refused,
naming the argument, the symbols and the first date at fault.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import dated_frame, float_frame


def _covering(frame: object, what: str, index: pd.DatetimeIndex, traded: pd.Index) -> pd.DataFrame:
    """``frame`` as a dated frame that has every date of ``index`` and every symbol of ``traded``."""
    dated = dated_frame(frame, what)
    missing = traded.difference(dated.columns)
    if len(missing):
        raise ValueError(
            f"{what} has no column for the traded symbols {list(missing[:5])}"
            f"{' and more' if len(missing) > 5 else ''}; give it a column for every symbol the weights trade"
        )
    absent = index.difference(dated.index)
    if len(absent):
        raise ValueError(
            f"{what} has no row for {len(absent)} trading dates, the first {absent[0].date()}; "
            "give it a row for every date of the prices"
        )
    return dated


def _first_cell(mask: np.ndarray, frame: pd.DataFrame) -> str:
    row, column = np.argwhere(mask)[0]
    return f"symbol {frame.columns[column]!r} on {frame.index[row].date()}"


def tradable_values(tradable: object, close: pd.DataFrame, traded: pd.Index) -> np.ndarray | None:
    """The tradable flags on the prices' dates and columns (True where the frame has no column)."""
    if tradable is None:
        return None
    dated = _covering(tradable, "tradable", close.index, traded)
    shared = close.columns.intersection(dated.columns, sort=False)
    flags = dated.loc[close.index, shared]
    if not all(pd.api.types.is_bool_dtype(dtype) for dtype in flags.dtypes):
        raise ValueError(f"tradable must hold True or False, got the dtypes {sorted(set(map(str, flags.dtypes)))}")
    unknown = flags.isna().to_numpy()
    if unknown.any():
        raise ValueError(f"tradable has no value for {_first_cell(unknown, flags)}; give True or False")
    values = np.ones(close.shape, dtype=bool)
    values[:, close.columns.get_indexer(shared)] = flags.to_numpy(dtype=bool)
    return values


def volume_values(volume: object, close: pd.DataFrame, traded: pd.Index) -> np.ndarray | None:
    """Shares traded on the prices' dates and columns (NaN: no trade that day)."""
    if volume is None:
        return None
    dated = float_frame(_covering(volume, "volume", close.index, traded), "volume")
    values = dated.reindex(index=close.index, columns=close.columns).to_numpy(dtype=np.float64)
    bad = np.isinf(values) | (values < 0)
    if bad.any():
        raise ValueError(
            f"volume must be 0 or more and finite (NaN: no trade that day), got {values[bad][0]!r} for "
            f"{_first_cell(bad, dated.reindex(index=close.index, columns=close.columns))}"
        )
    return values


def execution_matrices(tradable: np.ndarray | None, volume: np.ndarray | None) -> dict[str, np.ndarray]:
    """The engine arguments of the frames that were given."""
    return {name: values for name, values in (("tradable", tradable), ("volume", volume)) if values is not None}

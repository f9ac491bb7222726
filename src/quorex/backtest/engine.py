"""The engine call: a run's inputs as the engine's plain arrays, and one run.

The engine (``quorex.core.engine.run``) keeps no state and releases the
interpreter lock while it simulates, so any number of threads may call
``run_engine`` at once.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd


def nanoseconds(index: pd.DatetimeIndex) -> np.ndarray:
    """A date index as the engine's int64 nanoseconds since the epoch."""
    return index.as_unit("ns").asi8


def labels(columns: pd.Index) -> np.ndarray:
    """Column labels as the engine's object array of ``str``.

    One vectorised conversion: pandas 3's text columns are Arrow arrays,
    which are slow to walk one label at a time.
    """
    text = columns.astype(str).to_numpy(dtype=object)
    if not pd.Index(text).is_unique:
        raise ValueError("symbols must stay distinct when written as text")
    return text


@dataclass(frozen=True)
class EngineInputs:
    """The engine's arrays for one run, and the labels to read its results back."""

    symbols: pd.Index  # price columns, original labels
    pos_labels: pd.Index  # position columns, original labels
    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray | None
    low_values: np.ndarray | None
    open_values: np.ndarray | None
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray

    @classmethod
    def build(
        cls,
        frames: Mapping[str, pd.DataFrame],
        trade_frame: pd.DataFrame,
        weights: pd.DataFrame,
        resample: pd.DatetimeIndex,
        touched_exit: bool,
    ) -> EngineInputs:
        close = frames["close"]
        price_columns = labels(close.columns)

        def values(field: str) -> np.ndarray | None:
            frame = frames.get(field)
            return None if frame is None or not touched_exit else frame.to_numpy()

        return cls(
            symbols=close.columns,
            pos_labels=weights.columns,
            price_values=trade_frame.to_numpy(),
            close_values=close.to_numpy(),
            high_values=values("high"),
            low_values=values("low"),
            open_values=values("open"),
            price_index=nanoseconds(close.index),
            price_columns=price_columns,
            pos_values=weights.to_numpy(),
            pos_index=nanoseconds(weights.index),
            # The weights' symbols are among the prices' (``align_weights``).
            pos_columns=price_columns[close.columns.get_indexer(weights.columns)],
            resample=nanoseconds(resample),
        )

    @property
    def dates(self) -> pd.DatetimeIndex:
        """The trading dates."""
        return pd.DatetimeIndex(self.price_index.view("datetime64[ns]"))


def run_engine(inputs: EngineInputs, **settings: Any) -> SimpleNamespace:
    """One run of the reentrant engine: every result as NumPy arrays."""
    from quorex.core import engine

    return engine.run(
        inputs.price_values,
        inputs.close_values,
        inputs.high_values,
        inputs.low_values,
        inputs.open_values,
        inputs.price_index,
        inputs.price_columns,
        inputs.pos_values,
        inputs.pos_index,
        inputs.pos_columns,
        inputs.resample,
        **settings,
    )

"""How much money a strategy takes: the same backtest at several starting capitals.

``capacity_curve`` runs one set per capital through ``sweep`` (so on any of
its executors, with the market shared, not copied), under the volume cap and
every other execution rule given, and tabulates the figures that capital
moves: the return and its risk, the share of the orders' value the market
did not fill on their dates, and the slippage paid per year.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from concurrent.futures import Executor
from typing import Any

import pandas as pd

from quorex.backtest.inputs.rules import check_capital
from quorex.figures import CAPACITY_FIGURES
from quorex.research.grid import Strategy
from quorex.research.sweep import sweep


def capacity_curve(
    weights: Strategy,
    prices: pd.DataFrame | Mapping[str, pd.DataFrame],
    capitals: Iterable[float],
    *,
    volume: pd.DataFrame | None = None,
    max_participation: float | None = None,
    executor: Executor | None = None,
    progress: bool = False,
    **rules: Any,
) -> pd.DataFrame:
    """The strategy's figures by starting capital.

    Parameters
    ----------
    weights
        A weights DataFrame, or a strategy callable as ``sweep`` takes it.
    prices
        As for ``quorex.backtest``.
    capitals
        The starting capitals to run, in currency.
    volume, max_participation
        Shares traded per stock per day and the largest share of it one
        day's trades of a stock may take; without them only lots, the
        minimum fee and fixed slippage depend on the capital.
    executor, progress
        As for ``sweep``.
    rules
        Any other ``quorex.backtest`` argument (slippage="sqrt", lot_size,
        market, rebalance, ...), the same for every capital.

    Returns
    -------
    DataFrame
        Indexed by capital (ascending): ``quorex.figures.CAPACITY_FIGURES``
        ("annual_return", "sharpe_ratio", "max_drawdown", "unfilled_share",
        "slippage_per_year"), and "error" for a capital whose run failed.
    """
    amounts = sorted({check_capital(value) for value in capitals} - {None})
    if not amounts:
        raise ValueError("capitals: give at least one starting capital")
    if "capital" in rules:
        raise ValueError("capital is what the curve varies; give the amounts as capitals=[...]")
    result = sweep(weights, prices, {"capital": amounts}, executor=executor, progress=progress, volume=volume,
                   max_participation=max_participation, **rules)
    table = result.table.set_index("capital")
    return table[[*CAPACITY_FIGURES, "error"]]

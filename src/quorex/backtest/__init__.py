"""One backtest: inputs checked and aligned, the engine's run, the ``Report`` and its tables.

``inputs`` reads and checks everything a run is given; ``engine`` hands the
arrays to the native engine; ``tables``, ``operations`` and ``roundtrips``
turn its arrays back into labelled tables; ``report`` and ``summary`` are
what the caller gets; ``market`` describes where it trades; ``run`` puts it
together as ``quorex.backtest``.
"""

from quorex.backtest.inputs.messages import DataWarning
from quorex.backtest.inputs.prices import PreparedPrices, prepare_prices
from quorex.backtest.market import Market
from quorex.backtest.report import Report
from quorex.backtest.run import backtest

__all__ = ["DataWarning", "Market", "PreparedPrices", "Report", "backtest", "prepare_prices"]

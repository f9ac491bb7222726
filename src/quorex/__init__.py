"""quorex: portfolio backtesting and performance analysis with a native core."""

from __future__ import annotations

import ffn as _ffn  # noqa: F401  (registers Series.calc_stats used by the metrics)

__version__ = "0.1.0"

from quorex.backtest import backtest  # noqa: E402  (the function shadows its module name)
from quorex.market import Market  # noqa: E402
from quorex.report import Report  # noqa: E402

__all__ = ["Market", "Report", "__version__", "backtest"]

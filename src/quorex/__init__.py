"""quorex: portfolio backtesting and performance analysis with a native core."""

from __future__ import annotations

import ffn as _ffn  # noqa: F401  (registers Series.calc_stats used by the metrics)

__version__ = "0.1.0"

__all__ = ["__version__"]

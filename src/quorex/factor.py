"""Signal analysis under its documented name: see ``quorex.research.factor``."""

from quorex.research.factor import (
    FactorReport,
    factor_autocorrelation,
    factor_report,
    factor_turnover,
    forward_returns,
    ic_summary,
    information_coefficient,
    quantile_equity,
    quantile_returns,
    summarise_ic,
)

__all__ = [
    "FactorReport", "factor_autocorrelation", "factor_report", "factor_turnover", "forward_returns", "ic_summary",
    "information_coefficient", "quantile_equity", "quantile_returns", "summarise_ic",
]

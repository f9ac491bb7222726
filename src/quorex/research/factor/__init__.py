"""Signal analysis before the backtest: a factor (dates × symbols, higher = more attractive) on the
prices and with the timing ``quorex.backtest`` uses.

``panel`` reads and aligns the inputs, ``ranks`` has the row-by-row ranks and
correlations, ``signals`` the forward returns, information coefficients and
persistence, ``quantiles`` the quantile returns, baskets and turnover, and
``report`` everything at once with its page. Exported as ``quorex.factor``.
"""

from quorex.research.factor.quantiles import factor_turnover, quantile_equity, quantile_returns
from quorex.research.factor.report import FactorReport, factor_report
from quorex.research.factor.signals import (
    factor_autocorrelation,
    forward_returns,
    ic_summary,
    information_coefficient,
    summarise_ic,
)

__all__ = [
    "FactorReport", "factor_autocorrelation", "factor_report", "factor_turnover", "forward_returns", "ic_summary",
    "information_coefficient", "quantile_equity", "quantile_returns", "summarise_ic",
]

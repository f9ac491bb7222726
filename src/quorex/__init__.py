"""quorex: portfolio backtesting and performance analysis with a native core."""

from __future__ import annotations

from typing import Any

from quorex.version import __version__


def _install_calc_stats() -> None:
    """Offer ffn's ``calc_stats()`` on pandas objects without importing ffn now.

    The statistics of ``quorex.core.metrics`` call ``Series.calc_stats()``, which
    ffn adds to pandas when it is imported. ffn pulls in scipy, scikit-learn and
    matplotlib, seconds of start-up that most sessions never need, so a stand-in
    imports it on first use; ffn then installs its own method in its place.
    """
    from pandas.core.base import PandasObject

    if hasattr(PandasObject, "calc_stats"):
        return

    def calc_stats(self: Any, *args: Any, **kwargs: Any) -> Any:
        import ffn

        return ffn.calc_stats(self, *args, **kwargs)

    PandasObject.calc_stats = calc_stats


_install_calc_stats()

from quorex.backtest import DataWarning, Market, Report, backtest  # noqa: E402
from quorex.research import (  # noqa: E402
    Comparison,
    SweepError,
    SweepResult,
    WalkForwardResult,
    capacity_curve,
    compare,
    sweep,
    walk_forward,
)
from quorex import factor, stats  # noqa: E402

__all__ = [
    "Comparison", "DataWarning", "Market", "Report", "SweepError", "SweepResult", "WalkForwardResult", "__version__",
    "backtest", "capacity_curve", "compare", "factor", "stats", "sweep", "walk_forward",
]

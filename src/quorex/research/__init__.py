"""Research on many backtests: parameter sweeps, walk-forward analysis, overfitting statistics.

``grid`` expands and checks the parameter sets, ``workload`` runs one set,
``transport`` and ``tasks`` carry sets to an executor's workers, ``sweep``
assembles the table, ``capacity`` sweeps the starting capital, ``walkforward`` chooses and trades sets window by
window, and ``stats`` has the overfitting statistics. ``factor`` analyses a
signal before it is a portfolio, ``bootstrap`` gives a curve's figures
confidence bands, and ``compare`` sets backtests side by side.
"""

from quorex.research import stats
from quorex.research.capacity import capacity_curve
from quorex.research.compare import Comparison, compare
from quorex.research.sweep import SweepError, SweepResult, sweep
from quorex.research.walkforward import WalkForwardResult, walk_forward

__all__ = [
    "Comparison", "SweepError", "SweepResult", "WalkForwardResult", "capacity_curve", "compare", "stats", "sweep",
    "walk_forward",
]

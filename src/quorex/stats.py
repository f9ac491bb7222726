"""The overfitting statistics under their documented name: see ``quorex.research.stats``."""

from quorex.research.stats import (
    PBOResult,
    deflated_sharpe_ratio,
    expected_max_sharpe,
    pbo,
    probabilistic_sharpe_ratio,
    sharpe_ratio,
)

__all__ = [
    "PBOResult", "deflated_sharpe_ratio", "expected_max_sharpe", "pbo", "probabilistic_sharpe_ratio", "sharpe_ratio",
]

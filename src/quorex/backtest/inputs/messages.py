"""How the input checks speak: the warning class and the shape of their lists."""

from __future__ import annotations

from collections.abc import Sequence

# A message names at most this many examples, then "...".
SHOWN = 5


class DataWarning(UserWarning):
    """Input data that a backtest can run on but that probably does not mean what was intended."""


def shown(items: Sequence[str]) -> str:
    """The first ``SHOWN`` items joined by commas, with " ..." when there are more."""
    return ", ".join(items[:SHOWN]) + (" ..." if len(items) > SHOWN else "")

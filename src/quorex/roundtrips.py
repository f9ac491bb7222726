"""Round trips under their first name: see ``quorex.backtest.roundtrips``, which documents the formulas."""

from quorex.backtest.roundtrips import holding_returns, round_trips

__all__ = ["holding_returns", "round_trips"]

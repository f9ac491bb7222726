"""The run's rules: costs, exits, switches and settings, each checked by one function.

``quorex.backtest`` checks its arguments here, and a sweep checks every value
of its grid with the same functions (``check_rule``) before any set runs, so
a value is refused up front exactly when a backtest would refuse it.
"""

from __future__ import annotations

import math
from collections.abc import Collection
from typing import Any

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import to_datetime_index
from quorex.backtest.market import as_market, market_costs

# A commission or tax this large is a percent typed as a fraction.
MAX_COST_RATIO = 0.05
STOP_RULES = ("stop_loss", "take_profit", "trail_stop")
# The engine's setting of each exit rule when it is off.
STOP_OFF = {"stop_loss": 1.0, "take_profit": math.inf, "trail_stop": math.inf}
SWITCHES = ("touched_exit", "retain_cost_when_rebalance", "stop_trading_next_period", "periodically_rebalance")
TRADE_AT = ("close", "open")


def check_cost(name: str, value: Any) -> float:
    """A commission or tax rate as a float: 0 or more and below ``MAX_COST_RATIO``."""
    try:
        ratio = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(ratio) or ratio < 0:
        raise ValueError(f"{name} must be 0 or more, got {value!r}")
    if ratio >= MAX_COST_RATIO:
        raise ValueError(
            f"{name}={ratio:g} means {ratio * 100:.4g} % of every trade; "
            f"costs are fractions: for {ratio:g} % pass {ratio / 100:g}"
        )
    return ratio


def resolve_costs(fee_ratio: Any, tax_ratio: Any, market: object) -> tuple[float, float]:
    """The commission and tax a run uses: the arguments, or the market's where they are None."""
    default_fee, default_tax = market_costs(market)
    fee = check_cost("fee_ratio", default_fee if fee_ratio is None else fee_ratio)
    tax = check_cost("tax_ratio", default_tax if tax_ratio is None else tax_ratio)
    return fee, tax


def stop_arguments(
    stop_loss: float | None, take_profit: float | None, trail_stop: float | None
) -> dict[str, float]:
    """Engine arguments for the exit rules; None switches a rule off."""
    out = {}
    for name, value in zip(STOP_RULES, (stop_loss, take_profit, trail_stop)):
        if value is None:
            out[name] = STOP_OFF[name]
            continue
        value = float(value)
        if not value > 0:
            raise ValueError(f"{name} must be a positive fraction or None, got {value}")
        out[name] = value
    return out


def check_run_settings(position_limit: float, window: int, step: int) -> None:
    """The position limit and the excursion sampling."""
    if not float(position_limit) > 0:
        raise ValueError(f"position_limit must be positive, got {position_limit}")
    if int(window) < 0:
        raise ValueError(f"excursion_window must be 0 or more, got {window}")
    if int(step) < 1:
        raise ValueError(f"excursion_step must be 1 or more, got {step}")


def check_trade_at(trade_at: Any, fields: Collection[str]) -> None:
    """``trade_at`` is "close" or "open", and "open" has its prices."""
    if trade_at not in TRADE_AT:
        raise ValueError(f"trade_at must be 'close' or 'open', got {trade_at!r}")
    if trade_at == "open" and "open" not in fields:
        raise ValueError("trade_at='open' needs an 'open' price frame")


def check_touched_exit(touched_exit: Any, fields: Collection[str]) -> None:
    """Exits at the touched level need the day's open, high and low."""
    if touched_exit:
        missing = [f for f in ("open", "high", "low") if f not in fields]
        if missing:
            raise ValueError(f"touched_exit needs prices {missing} besides 'close'")


def check_rebalance(rebalance: Any) -> None:
    """An offset alias, a list of dates, or None."""
    if rebalance is None:
        return
    if isinstance(rebalance, str):
        try:
            pd.tseries.frequencies.to_offset(rebalance)
        except ValueError:
            raise ValueError(f"rebalance: unknown frequency {rebalance!r}") from None
    elif isinstance(rebalance, (pd.Index, np.ndarray, list, tuple)):
        to_datetime_index(pd.Index(rebalance), "rebalance")
    else:
        raise TypeError(
            f"rebalance must be an offset alias, a DatetimeIndex or None, got {type(rebalance).__name__}"
        )


def check_switch(name: str, value: Any) -> None:
    """A switch is True or False."""
    if not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be True or False, got {value!r}")


def check_rule(name: str, value: Any, fields: Collection[str]) -> None:
    """Refuse ``value`` for backtest argument ``name`` exactly when the backtest would.

    ``fields`` are the price fields of the market the run will have.
    """
    if name in STOP_RULES:
        stop_arguments(**{**dict.fromkeys(STOP_RULES), name: value})
    elif name in ("fee_ratio", "tax_ratio"):
        if value is not None:
            check_cost(name, value)
    elif name == "market":
        as_market(value)
    elif name == "position_limit":
        check_run_settings(value, 0, 1)
    elif name == "excursion_window":
        check_run_settings(1.0, value, 1)
    elif name == "excursion_step":
        check_run_settings(1.0, 0, value)
    elif name == "trade_at":
        check_trade_at(value, fields)
    elif name == "rebalance":
        check_rebalance(value)
    elif name in SWITCHES:
        check_switch(name, value)
    if name == "touched_exit":
        check_touched_exit(value, fields)

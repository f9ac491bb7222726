"""The run's rules: costs, exits, switches and settings, each checked by one function.

``quorex.backtest`` checks its arguments here, and a sweep checks every value
of its grid with the same functions (``check_rule``) before any set runs, so
a value is refused up front exactly when a backtest would refuse it.
"""

from __future__ import annotations

import math
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import dated_frame, dated_series, float_frame, to_datetime_index
from quorex.backtest.market import as_market, market_costs, market_trading_rules

# A commission or tax this large is a percent typed as a fraction.
MAX_COST_RATIO = 0.05
STOP_RULES = ("stop_loss", "take_profit", "trail_stop")
# The engine's setting of each exit rule when it is off: a distance no price reaches,
# on either side (a stop loss of 1.0 would still close a short that lost 100 %).
STOP_OFF = {"stop_loss": math.inf, "take_profit": math.inf, "trail_stop": math.inf}
# A fall larger than the whole entry value (or peak) is a percent typed as a fraction.
MAX_STOP_DISTANCE = {"stop_loss": 1.0, "trail_stop": 1.0}
SWITCHES = ("touched_exit", "retain_cost_when_rebalance", "stop_trading_next_period", "periodically_rebalance")
TRADE_AT = ("close", "open")
BAD_PRICE_MODES = ("raise", "missing")
# The execution rules' frames of dates × symbols.
EXECUTION_FRAMES = ("tradable", "volume")
DAY_NANOSECONDS = 86_400 * 10**9
UNFILLED = ("retry", "cancel")
# The square-root impact's coefficient unless one is given: a fill of one
# day's average volume moves the price by a tenth of the daily volatility.
DEFAULT_IMPACT = 0.1
# An annual rate this large is a percent typed as a fraction.
MAX_RATE = 1.0


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
        out[name] = check_stop(name, value)
    return out


def check_stop(name: str, value: Any) -> float:
    """An exit distance as a float: above 0, and at most 1 for the stop loss and the trailing stop."""
    try:
        distance = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a positive fraction or None, got {value!r}") from None
    if not distance > 0:
        raise ValueError(f"{name} must be a positive fraction or None, got {value!r}")
    limit = MAX_STOP_DISTANCE.get(name)
    if limit is not None and distance > limit:
        raise ValueError(
            f"{name}={distance:g} means a fall of {distance * 100:.4g} %; exit distances are fractions: "
            f"for {distance:g} % pass {distance / 100:g}"
        )
    return distance


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


def rebalance_offset(rebalance: str) -> pd.DateOffset:
    """A rebalance alias as its offset: a period of whole days or longer, going forward."""
    try:
        offset = pd.tseries.frequencies.to_offset(rebalance)
    except ValueError:
        raise ValueError(f"rebalance: unknown frequency {rebalance!r}") from None
    if offset.n <= 0:
        raise ValueError(f"rebalance={rebalance!r}: the period must be positive (e.g. 'ME', '2W-FRI')")
    try:
        span = pd.Timedelta(offset)
    except (TypeError, ValueError):
        span = None  # calendar periods (weeks, months, ...) are days or longer
    if span is not None and span.value % DAY_NANOSECONDS != 0:
        raise ValueError(
            f"rebalance={rebalance!r} is finer than a day; prices are daily: use 'D', 'W-FRI', 'ME', ..."
        )
    return offset


def check_rebalance(rebalance: Any) -> None:
    """An offset alias, a list of dates, or None."""
    if rebalance is None:
        return
    if isinstance(rebalance, str):
        rebalance_offset(rebalance)
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


def check_bad_prices(mode: Any) -> None:
    """How zero, negative and infinite prices are handled: "raise" or "missing"."""
    if mode not in BAD_PRICE_MODES:
        raise ValueError(f"bad_prices must be one of {list(BAD_PRICE_MODES)}, got {mode!r}")


def checked_benchmark(benchmark: object) -> pd.Series | None:
    """The given benchmark on naive dates, sorted, as float64; None when not given."""
    if benchmark is None:
        return None
    series = dated_series(benchmark, "benchmark")
    return series.rename(benchmark.name or "benchmark")


def checked_turnover(turnover: object) -> pd.DataFrame | None:
    """The traded values as a date-indexed float frame; None when not given."""
    return None if turnover is None else float_frame(dated_frame(turnover, "turnover"), "turnover")


def checked_categories(categories: object) -> dict[str, pd.DataFrame] | None:
    """The category flags as date-indexed frames; None when not given."""
    if categories is None:
        return None
    if not isinstance(categories, Mapping):
        raise TypeError(f"categories must be a dict of DataFrames, got {type(categories).__name__}")
    return {name: dated_frame(flags, f"categories[{name!r}]") for name, flags in categories.items()}


# The inputs only a report's tables read (a sweep checks them up front and leaves them out of its runs).
REPORT_INPUTS = {"benchmark": checked_benchmark, "turnover": checked_turnover, "categories": checked_categories}


def check_rule(name: str, value: Any, fields: Collection[str]) -> None:
    """Refuse ``value`` for backtest argument ``name`` exactly when the backtest would.

    ``fields`` are the price fields of the market the run will have. Every
    argument of ``quorex.backtest`` but the weights and the prices has its
    check here.
    """
    if name in STOP_RULES:
        if value is not None:
            check_stop(name, value)
    elif name in ("fee_ratio", "tax_ratio"):
        if value is not None:
            check_cost(name, value)
    elif name in SWITCHES:
        check_switch(name, value)
        if name == "touched_exit":
            check_touched_exit(value, fields)
    elif name in REPORT_INPUTS:
        REPORT_INPUTS[name](value)
    elif name in EXECUTION_FRAMES:
        if value is not None:
            dated_frame(value, name)  # read on the prices' calendar by each run
    elif name in EXECUTION_CHECKS:
        EXECUTION_CHECKS[name](value)
    else:
        checks = {
            "market": as_market,
            "position_limit": lambda v: check_run_settings(v, 0, 1),
            "excursion_window": lambda v: check_run_settings(1.0, v, 1),
            "excursion_step": lambda v: check_run_settings(1.0, 0, v),
            "trade_at": lambda v: check_trade_at(v, fields),
            "rebalance": check_rebalance,
            "bad_prices": check_bad_prices,
        }
        if name not in checks:
            raise ValueError(f"{name!r} is not an argument of quorex.backtest")
        checks[name](value)


def _finite(name: str, value: Any) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return number


def _number_rule(name: str, value: Any, accept: Any, must_be: str, off: tuple[Any, ...] = (None,)) -> Any:
    """``value`` as it is when it is one of ``off`` (None: the default, False: none), else a finite
    number that ``accept`` takes, or a ValueError saying what it must be."""
    if any(value is setting for setting in off):
        return value
    number = _finite(name, value)
    if not accept(number):
        raise ValueError(f"{name} must be {must_be}, got {value!r}")
    return number


def check_capital(value: Any) -> float | None:
    """The starting capital in currency: a positive number, or None for fractional units of 1."""
    return _number_rule("capital", value, lambda v: v > 0, "a positive amount of money")


def check_lot_size(value: Any) -> float | None | bool:
    """Shares per board lot: positive; None takes the market's, False trades any quantity."""
    return _number_rule("lot_size", value, lambda v: v > 0, "a positive number of shares (or False for none)",
                        (None, False))


def check_min_fee(value: Any) -> float | None:
    """The smallest commission of one trade in currency: 0 or more; None takes the market's."""
    return _number_rule("min_fee", value, lambda v: v >= 0, "0 or more")


def check_price_limit(value: Any) -> float | None | bool:
    """The move taken as a limit hit: in (0, 1); None takes the market's, False has none."""
    return _number_rule("price_limit", value, lambda v: 0 < v < 1,
                        "a fraction between 0 and 1 (0.095 for a 10 % limit) or False", (None, False))


def check_participation(value: Any) -> float | None:
    """The largest share of a day's volume one stock's trades take: in (0, 1]."""
    return _number_rule("max_participation", value, lambda v: 0 < v <= 1,
                        "in (0, 1] (0.1 = a tenth of the day's volume)")


def check_slippage(value: Any) -> float | str | None:
    """A fraction of the trade price lost on every fill, "sqrt" for the square-root impact, or None."""
    if value is None or value == "sqrt":
        return value
    if isinstance(value, str):
        raise ValueError(f"slippage must be a fraction, 'sqrt' or None, got {value!r}")
    return check_cost("slippage", value)


def check_impact(value: Any) -> float:
    """The square-root impact's coefficient: positive; None takes ``DEFAULT_IMPACT``."""
    impact = _number_rule("impact", value, lambda v: v > 0, "positive")
    return DEFAULT_IMPACT if impact is None else impact


def check_unfilled(value: Any) -> str:
    """What happens to the part of an order that could not be filled: "retry" or "cancel"."""
    if value not in UNFILLED:
        raise ValueError(f"unfilled must be 'retry' or 'cancel', got {value!r}")
    return value


def check_rate(name: str, value: Any) -> float:
    """An annual rate as a fraction: finite, below 1 in size, and not negative for a fee."""
    rate = _finite(name, value)
    if abs(rate) >= MAX_RATE:
        raise ValueError(f"{name}={rate:g} means {rate * 100:.4g} % a year; rates are fractions: 0.02 for 2 %")
    if name == "borrow_rate" and rate < 0:
        raise ValueError(f"borrow_rate must be 0 or more, got {value!r}")
    return rate


# The engine's setting of each execution rule when it is off.
ENGINE_OFF = {
    "capital": 0.0, "lot_size": 0.0, "min_fee": 0.0, "price_limit": math.inf, "max_participation": math.inf,
    "slippage": 0.0, "impact": 0.0, "retry_unfilled": True, "cash_rate": 0.0, "borrow_rate": 0.0,
}
EXECUTION_CHECKS = {
    "capital": check_capital, "lot_size": check_lot_size, "min_fee": check_min_fee,
    "price_limit": check_price_limit, "max_participation": check_participation, "slippage": check_slippage,
    "impact": check_impact, "unfilled": check_unfilled,
    "cash_rate": lambda value: check_rate("cash_rate", value),
    "borrow_rate": lambda value: check_rate("borrow_rate", value),
}


@dataclass(frozen=True)
class ExecutionRules:
    """The execution rules a run used, as resolved from its arguments and its market.

    ``capital`` None means fractional units of 1; ``lot_size`` and
    ``price_limit`` None mean none; ``slippage`` is a fraction or "sqrt".
    """

    capital: float | None = None
    lot_size: float | None = None
    min_fee: float = 0.0
    price_limit: float | None = None
    max_participation: float | None = None
    slippage: float | str = 0.0
    impact: float = DEFAULT_IMPACT
    unfilled: str = "retry"
    cash_rate: float = 0.0
    borrow_rate: float = 0.0
    tradable: bool = False
    volume: bool = False

    def engine_arguments(self) -> dict[str, Any]:
        """The engine's settings for the rules that are on (the matrices are passed apart); none
        when every rule is off, so that the run is the engine's plain one."""
        sqrt = self.slippage == "sqrt"
        settings = {
            "capital": self.capital or 0.0,
            "lot_size": self.lot_size or 0.0,
            "min_fee": self.min_fee,
            "price_limit": math.inf if self.price_limit is None else self.price_limit,
            "max_participation": math.inf if self.max_participation is None else self.max_participation,
            "slippage": 0.0 if sqrt else float(self.slippage),
            "impact": self.impact if sqrt else 0.0,
            "retry_unfilled": self.unfilled == "retry",
            "cash_rate": self.cash_rate,
            "borrow_rate": self.borrow_rate,
        }
        return {name: value for name, value in settings.items() if value != ENGINE_OFF[name]}


def resolve_execution(market: object, *, volume: bool, tradable: bool, **given: Any) -> ExecutionRules:
    """The execution rules of a run: the arguments checked, the market's lot, minimum fee and
    price limit where they are None, and every rule that needs a capital or volume refused without it.
    """
    checked = {name: EXECUTION_CHECKS[name](value) for name, value in given.items()}
    capital = checked["capital"]
    for name in ("lot_size", "min_fee"):
        if capital is None and checked[name] not in (None, False, 0.0):
            raise ValueError(f"{name} needs capital: positions are counted in shares only with a capital; "
                             "pass capital=... (the starting capital in currency)")
    if capital is None and volume:
        raise ValueError("volume needs capital: the volume cap and the square-root slippage count shares; "
                         "pass capital=... (the starting capital in currency)")
    if checked["max_participation"] is not None and not volume:
        raise ValueError("max_participation needs volume: pass volume=... (shares traded per stock per day)")
    if checked["slippage"] == "sqrt" and not volume:
        raise ValueError("slippage='sqrt' needs volume: pass volume=... (shares traded per stock per day)")
    lot, min_fee, limit = market_trading_rules(market)
    if capital is None:
        lot, min_fee = None, 0.0
    for name, value in (("lot_size", lot), ("min_fee", min_fee), ("price_limit", limit)):
        if checked[name] is None:
            checked[name] = value
        elif checked[name] is False:
            checked[name] = None
    return ExecutionRules(**{**checked, "slippage": checked["slippage"] or 0.0}, tradable=tradable, volume=volume)

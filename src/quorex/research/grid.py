"""A sweep's parameter sets: the grid expanded, and every key and value checked before anything runs."""

from __future__ import annotations

import inspect
import itertools
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import pandas as pd

from quorex.backtest.inputs.rules import check_rule
from quorex.backtest.plan import price_fields
from quorex.backtest.run import backtest
from quorex.research.tokens import value_key

Strategy = pd.DataFrame | Callable[..., pd.DataFrame]
Grid = Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]]

# The keys that are rules of the backtest, and their defaults; every other key goes to the strategy.
BACKTEST_DEFAULTS = {name: p.default for name, p in list(inspect.signature(backtest).parameters.items())[2:]}
BACKTEST_ARGUMENTS = tuple(BACKTEST_DEFAULTS)


def expand_grid(grid: Grid) -> list[dict[str, Any]]:
    """The parameter sets of ``grid``, in order.

    A dict of lists gives every combination, the last key varying fastest
    (``itertools.product`` order); a list of dicts gives its sets as listed.
    """
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("grid is empty: give at least one key with values")
        for key, values in grid.items():
            if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                raise ValueError(f"grid[{key!r}] must be a list of values, got {values!r}")
        lists = {key: list(values) for key, values in grid.items()}
        for key, values in lists.items():
            if not values:
                raise ValueError(f"grid[{key!r}] has no values")
        keys = list(lists)
        return [dict(zip(keys, combo)) for combo in itertools.product(*lists.values())]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}")
    sets = list(grid)
    if not sets:
        raise ValueError("grid is empty: give at least one parameter set")
    for i, entry in enumerate(sets):
        if not isinstance(entry, Mapping):
            raise TypeError(f"grid[{i}] must be a dict of parameters, got {type(entry).__name__}")
    return [dict(entry) for entry in sets]


def split_settings(settings: Mapping[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """A set's settings as (backtest rules, strategy parameters)."""
    rules = {k: v for k, v in settings.items() if k in BACKTEST_ARGUMENTS}
    signals = {k: v for k, v in settings.items() if k not in BACKTEST_ARGUMENTS}
    return rules, signals


def _strategy_parameters(strategy: Strategy) -> frozenset[str] | None:
    """The keyword parameters a strategy callable takes (None: any), empty for a weights table."""
    if isinstance(strategy, pd.DataFrame):
        return frozenset()
    try:
        parameters = list(inspect.signature(strategy).parameters.values())
    except (TypeError, ValueError):
        return None
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters):
        return None
    return frozenset(p.name for p in parameters[1:] if p.kind is not inspect.Parameter.VAR_POSITIONAL)


def _check_keys(keys: Iterable[str], strategy: Strategy, where: str) -> None:
    accepted = _strategy_parameters(strategy)
    for key in keys:
        if key in ("weights", "prices"):
            raise ValueError(f"{where}: {key!r} cannot be varied; pass it as the sweep's own argument")
        if key in BACKTEST_ARGUMENTS or accepted is None or key in accepted:
            continue
        extra = "" if isinstance(strategy, pd.DataFrame) else " nor a parameter of the strategy"
        raise ValueError(f"{where}: unknown key {key!r}: not a quorex.backtest argument{extra}")


def validate(sets: list[dict[str, Any]], fixed: Mapping[str, Any], strategy: Strategy, prices: Any) -> None:
    """Every key known and every rule value acceptable, or a ValueError naming the key and value."""
    _check_keys(fixed, strategy, "fixed arguments")
    varied = {key for entry in sets for key in entry}
    _check_keys(varied, strategy, "grid")
    clash = sorted(varied & set(fixed))
    if clash:
        raise ValueError(f"grid and fixed arguments both set {clash}")
    fields = price_fields(prices)
    checked: set[tuple[str, Any]] = set()
    pairs = itertools.chain(((k, v, "fixed argument") for k, v in fixed.items()),
                            ((k, v, "grid") for entry in sets for k, v in entry.items()))
    for key, value, where in pairs:
        if key not in BACKTEST_ARGUMENTS:
            continue
        seen = (key, value_key(value))
        if seen in checked:
            continue
        checked.add(seen)
        try:
            check_rule(key, value, fields)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{where} {key}={value!r}: {exc}") from None

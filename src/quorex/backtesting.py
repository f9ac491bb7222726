"""The pandas front end of the simulation engine: ``quorex.backtest``.

This module turns labelled pandas inputs into the engine's plain arrays and
the engine's results back into labelled pandas objects. Everything is aligned
by label (dates and symbols), never by position.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from quorex.checks import (
    check_priced_symbols,
    check_prices,
    check_timezones,
    local_calendar_dates,
    resolve_costs,
    stale_holdings,
    warn_stale_holdings,
)
from quorex.market import as_market, next_trading_date
from quorex.report import Report

PRICE_FIELDS = ("close", "open", "high", "low")
EXCURSION_FIELDS = ("mae", "gmfe", "prior_mfe", "max_drawdown", "profit_days", "return")
TRADE_FIELDS = (
    "stock_id",
    "entry_date",
    "exit_date",
    "entry_signal_date",
    "exit_signal_date",
    "position",
    "period",
    "entry_index",
    "exit_index",
)

Rebalance = str | pd.DatetimeIndex | None


def backtest(
    weights: pd.DataFrame,
    prices: pd.DataFrame | Mapping[str, pd.DataFrame],
    *,
    rebalance: Rebalance = None,
    trade_at: str = "close",
    fee_ratio: float | None = None,
    tax_ratio: float | None = None,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    trail_stop: float | None = None,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_step: int = 1,
    periodically_rebalance: bool = True,
    benchmark: pd.Series | None = None,
    turnover: pd.DataFrame | None = None,
    categories: Mapping[str, pd.DataFrame] | None = None,
    market: Any = None,
    bad_prices: str = "raise",
) -> Report:
    """Simulate a portfolio that follows target weights and return its ``Report``.

    Parameters
    ----------
    weights
        Target weights, dates × symbols: fractions of equity (positive long,
        negative short, NaN = 0), or booleans meaning "equal weight of the
        selected symbols". When a row's absolute weights sum to more than 1
        it is scaled down to 1; a smaller sum leaves the rest in cash.
    prices
        Closing prices (dates × symbols), or a mapping with "close" and
        optionally "open", "high" and "low" frames. ``trade_at="open"``
        needs "open"; ``touched_exit`` needs all four.
    rebalance
        On whose close a new weight row is adopted: a pandas offset alias
        ("D", "W-FRI", "ME", "QE", ...) meaning the last trading date of
        each period (the newest weights then, e.g. month-end weights for
        "ME"), an explicit DatetimeIndex (the last trading date on or before
        each date), or None for every date on which the weights change.
    trade_at
        "close" or "open": the price at which all trades are made.
    fee_ratio, tax_ratio
        Commission on every trade; tax on sales. None (the default) takes
        the market's (see ``market``). Either must be 0 or more and below
        0.05: a larger number is a percent typed as a fraction.
    stop_loss, take_profit, trail_stop
        Exit distances as fractions of the entry value (the trailing stop
        from the position's peak); None switches the rule off.
    touched_exit
        Exit during the day at the touched level (needs open/high/low)
        instead of at the next trade price after a breached close.
    position_limit
        Largest absolute weight of one position.
    retain_cost_when_rebalance
        Keep the cost basis (for the exit rules) of positions that stay on
        the same side across a rebalance.
    stop_trading_next_period
        A stock closed by an exit rule sits out the next rebalance.
    excursion_window, excursion_step
        Sample the per-trade excursion path every ``excursion_step`` days
        for ``excursion_window`` days after entry (0: exit figures only).
    periodically_rebalance
        Start a new trade record for every held position at each rebalance.
    benchmark
        A price or equity Series to compare against; by default the
        equal-weight buy-and-hold of the stocks priced on the first date.
    turnover
        Traded value per stock per day (dates × symbols); adds the trade
        columns "turnover@entry_date"/"turnover@exit_date" and the capacity.
    categories
        Category name → boolean frame (dates × symbols) flagging stocks of a
        category, e.g. "處置股", "警示股", "全額交割股"; gives the share of
        entries and exits in each category.
    market
        "tw" (the default: fee 0.1425 %, tax 0.3 % on sales, Asia/Taipei),
        "us" (no commission, no sales tax, America/New_York), a
        ``quorex.Market`` or an object with ``get_name()``/``get_freq()``
        (and optionally ``fee_ratio``, ``tax_ratio``, ``timezone``). Its
        costs apply unless ``fee_ratio``/``tax_ratio`` are given.
    bad_prices
        "raise" (the default): a zero, negative or infinite price is a
        ValueError naming how many there are and where; "missing": such
        prices are treated as missing.

    Dates
    -----
    Dates are calendar dates. A tz-aware index is read at its own wall-clock
    dates (never shifted to UTC); prices and weights in different timezones,
    or one aware and one naive, are refused. Dates stamped in another
    timezone than the market's give a ``quorex.DataWarning``.

    Timing
    ------
    Weights known at the close of date d are traded at the next trading
    date's price (its close, or its open with ``trade_at="open"``), so a
    signal computed from data up to and including d needs no shifting. A
    close that breaches a stop is likewise acted on at the next date's trade
    price; with ``touched_exit`` the position is closed on the same date at
    the touched level.

    Missing prices and delisting
    ----------------------------
    A day without a price leaves a position's value unchanged (its daily
    ratio counts as 1) and triggers no exit. A stock whose prices stop is
    therefore carried at its last trade price, and still counted in the
    equity, until a rebalance in which its weight is 0 sells it at that
    value, less fee and tax. Give such a stock weight 0 once it stops
    trading: a non-zero weight makes the rebalance keep trading it at its
    last price. Such a rebalance gives a ``quorex.DataWarning`` naming the
    symbols whose last price is more than 5 trading dates old; a symbol
    without any price that gets weight is refused.
    """
    market_obj = as_market(market)
    fee_ratio, tax_ratio = resolve_costs(fee_ratio, tax_ratio, market_obj)
    prepared = prices if isinstance(prices, PreparedPrices) else None
    price_dates = prepared.dated if prepared is not None else _price_indexes(prices)
    check_timezones({**price_dates, **_dated_inputs(weights, turnover, benchmark)}, market_obj)
    if prepared is None:
        prepared = prepare_prices(prices, bad_prices)
    frames, lowest = prepared.frames, prepared.lowest
    close = frames["close"]
    index, symbols = close.index, close.columns
    next_date = next_trading_date(market_obj, index[-1])

    trade_frame = _trade_price_frame(frames, trade_at)
    if touched_exit:
        missing = [f for f in ("open", "high", "low") if f not in frames]
        if missing:
            raise ValueError(f"touched_exit needs prices {missing} besides 'close'")
    stops = _stop_arguments(stop_loss, take_profit, trail_stop)
    _check_run_settings(position_limit, excursion_window, excursion_step)
    bench = _checked_benchmark(benchmark)
    traded_value = None if turnover is None else _as_float_frame(_frame(turnover, "turnover"), "turnover")
    categories = _checked_categories(categories)

    target = align_weights(weights, symbols)
    if rebalance is None:
        target = drop_unchanged_rows(target)
    resample = resample_dates(rebalance, index, target.index, next_date)
    trade_field = "close" if trade_at == "close" else "open"
    check_priced_symbols(target, {"the close": (symbols, lowest["close"]),
                                  f"the {trade_at}": (symbols, lowest[trade_field])})

    engine = EngineInputs.build(frames, trade_frame, target, resample, touched_exit)
    run = _run_engine(
        engine,
        fee_ratio=fee_ratio,
        tax_ratio=tax_ratio,
        touched_exit=bool(touched_exit),
        position_limit=float(position_limit),
        retain_cost_when_rebalance=bool(retain_cost_when_rebalance),
        stop_trading_next_period=bool(stop_trading_next_period),
        tradearc_window=int(excursion_window),
        tradearc_window_step=int(excursion_step),
        periodically_rebalance=bool(periodically_rebalance),
        **stops,
    )
    _warn_stale(close, target, run)

    return Report(
        creturn=pd.Series(run.creturn, index=index, name="creturn"),
        fee_ratio=fee_ratio,
        tax_ratio=tax_ratio,
        stop_loss=stop_loss,
        take_profit=take_profit,
        trail_stop=trail_stop,
        trade_at=trade_at,
        market=market_obj,
        rebalance=rebalance,
        touched_exit=bool(touched_exit),
        update_date=index[-1],
        next_trading_date=next_date,
        source=RunTables(
            run=run, engine=engine, frames=frames, trade_frame=trade_frame, fee_ratio=float(fee_ratio),
            tax_ratio=float(tax_ratio), given_benchmark=bench, turnover=traded_value, categories=categories,
            rebalance=rebalance, market=market_obj,
        ),
    )


# ---------------------------------------------------------------------------
# Input alignment


def _price_indexes(prices: object) -> dict[str, pd.Index]:
    """The date indexes of the price frames, by the name an error shows."""
    given = dict(prices) if isinstance(prices, Mapping) else {"close": prices}
    return {f"prices[{field!r}]": frame.index for field, frame in given.items() if isinstance(frame, pd.DataFrame)}


def _dated_inputs(weights: object, turnover: object, benchmark: object) -> dict[str, pd.Index]:
    """The other date indexes whose timezones must agree with the prices'."""
    named = {"weights": weights, "turnover": turnover, "benchmark": benchmark}
    return {name: obj.index for name, obj in named.items() if isinstance(obj, (pd.DataFrame, pd.Series))}


@dataclass(frozen=True)
class PreparedPrices:
    """A market's price frames after their checks, to run many backtests on.

    ``quorex.backtest`` accepts it in place of ``prices`` and then skips the
    scans of every price (they depend on the market only): a sweep prepares
    its market once per process instead of once per set.
    """

    frames: dict[str, pd.DataFrame]
    lowest: dict[str, np.ndarray]  # each column's smallest price, NaN without any
    dated: dict[str, pd.Index]  # the frames' date indexes as given, for the timezone check


def prepare_prices(prices: object, bad_prices: str = "raise") -> PreparedPrices:
    """Align and check ``prices`` once (see ``quorex.backtest``'s ``prices`` and ``bad_prices``)."""
    frames, lowest = check_prices(_price_frames(prices), bad_prices)
    return PreparedPrices(frames=frames, lowest=lowest, dated=_price_indexes(prices))


def _warn_stale(close: pd.DataFrame, target: pd.DataFrame, run: SimpleNamespace) -> None:
    """Warn about rebalances that gave (or, when due after the data, give) weight to stocks
    whose prices stopped."""
    trade_rows, weight_rows = run.rebalance_rows, run.rebalance_weight_rows
    if run.rebalance_due:
        trade_rows = np.append(trade_rows, len(close.index))
        weight_rows = np.append(weight_rows, run.next_weight_row)
    warn_stale_holdings(stale_holdings(close, target, trade_rows, weight_rows))


def to_datetime_index(index: pd.Index, what: str) -> pd.DatetimeIndex:
    """``index`` as a tz-naive nanosecond DatetimeIndex (tz-aware → its own calendar dates)."""
    if not isinstance(index, pd.DatetimeIndex):
        try:
            index = pd.DatetimeIndex(pd.to_datetime(index))
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{what}: the index must hold dates ({exc})") from None
    index = local_calendar_dates(index)
    if index.hasnans:
        raise ValueError(f"{what}: the index has missing dates (NaT)")
    return index if index.unit == "ns" else index.as_unit("ns")


def _frame(obj: object, what: str) -> pd.DataFrame:
    """A date-indexed frame, sorted by date, with unique dates and labels."""
    if not isinstance(obj, pd.DataFrame):
        raise TypeError(f"{what} must be a pandas DataFrame, got {type(obj).__name__}")
    index = to_datetime_index(obj.index, what)
    if index is not obj.index:
        obj = obj.set_axis(index, axis=0, copy=False)
    if not index.is_monotonic_increasing:
        obj = obj.sort_index(kind="stable")
    if obj.index.has_duplicates:
        dups = obj.index[obj.index.duplicated()].unique()[:3]
        raise ValueError(f"{what}: duplicate dates {[str(d.date()) for d in dups]}")
    if obj.columns.has_duplicates:
        dups = obj.columns[obj.columns.duplicated()].unique()[:3]
        raise ValueError(f"{what}: duplicate symbols {list(dups)}")
    return obj


def _price_frames(prices: object) -> dict[str, pd.DataFrame]:
    """The price frames by field, every one on the dates and symbols of "close"."""
    if isinstance(prices, pd.DataFrame):
        given: Mapping[str, object] = {"close": prices}
    elif isinstance(prices, Mapping):
        given = prices
    else:
        raise TypeError(
            "prices must be a DataFrame of closes or a mapping of DataFrames, "
            f"got {type(prices).__name__}"
        )
    unknown = sorted(set(given) - set(PRICE_FIELDS), key=str)
    if unknown:
        raise ValueError(f"prices: unknown fields {unknown}; expected some of {list(PRICE_FIELDS)}")
    if "close" not in given:
        raise ValueError("prices: the mapping needs a 'close' frame")
    close = _frame(given["close"], "prices['close']")
    if len(close.index) == 0 or len(close.columns) == 0:
        raise ValueError("prices: no dates or no symbols")
    frames = {"close": close}
    for field in PRICE_FIELDS[1:]:
        if given.get(field) is not None:
            frame = _frame(given[field], f"prices[{field!r}]")
            if not (frame.index.equals(close.index) and frame.columns.equals(close.columns)):
                frame = frame.reindex(index=close.index, columns=close.columns)
            frames[field] = frame
    for field, frame in frames.items():
        frames[field] = _as_float_frame(frame, f"prices[{field!r}]")
    return frames


def _as_float_frame(frame: pd.DataFrame, what: str) -> pd.DataFrame:
    """``frame`` with float64 values (unchanged when it already has them)."""
    if (frame.dtypes == np.float64).all():
        return frame
    try:
        return frame.astype(np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must be numeric ({exc})") from None


def _trade_price_frame(frames: Mapping[str, pd.DataFrame], trade_at: str) -> pd.DataFrame:
    if trade_at == "close":
        return frames["close"]
    if trade_at == "open":
        if "open" not in frames:
            raise ValueError("trade_at='open' needs an 'open' price frame")
        return frames["open"]
    raise ValueError(f"trade_at must be 'close' or 'open', got {trade_at!r}")


def _stop_arguments(
    stop_loss: float | None, take_profit: float | None, trail_stop: float | None
) -> dict[str, float]:
    """Engine arguments for the exit rules; None switches a rule off."""
    stops = {"stop_loss": (stop_loss, 1.0), "take_profit": (take_profit, np.inf),
             "trail_stop": (trail_stop, np.inf)}
    out = {}
    for name, (value, off) in stops.items():
        if value is None:
            out[name] = off
            continue
        value = float(value)
        if not value > 0:
            raise ValueError(f"{name} must be a positive fraction or None, got {value}")
        out[name] = value
    return out


def _check_run_settings(position_limit: float, window: int, step: int) -> None:
    if not float(position_limit) > 0:
        raise ValueError(f"position_limit must be positive, got {position_limit}")
    if int(window) < 0:
        raise ValueError(f"excursion_window must be 0 or more, got {window}")
    if int(step) < 1:
        raise ValueError(f"excursion_step must be 1 or more, got {step}")


def align_weights(weights: object, symbols: pd.Index) -> pd.DataFrame:
    """Float target weights on the priced symbols; NaN → 0, booleans → equal weight.

    Symbols without prices are dropped when their weight is always 0 and
    rejected otherwise.
    """
    frame = _frame(weights, "weights")
    if len(frame.index) == 0:
        raise ValueError("weights: no dates")
    frame = _numeric_weights(frame)
    unknown = frame.columns.difference(symbols, sort=False)
    if len(unknown):
        traded = unknown[(frame[unknown] != 0).any(axis=0).to_numpy()]
        if len(traded):
            shown = ", ".join(map(repr, traded[:5])) + (" ..." if len(traded) > 5 else "")
            raise ValueError(f"weights: {len(traded)} symbol(s) have weights but no prices: {shown}")
        frame = frame.drop(columns=unknown)
    return frame


def _is_boolean(column: pd.Series) -> bool:
    if pd.api.types.is_bool_dtype(column.dtype):
        return True
    # Booleans with gaps arrive as object columns (True/False/NaN).
    return column.dtype == object and pd.api.types.infer_dtype(column, skipna=True) == "boolean"


def _numeric_weights(frame: pd.DataFrame) -> pd.DataFrame:
    if len(frame.columns) and all(_is_boolean(frame[c]) for c in frame.columns):
        picked = frame.eq(True)  # gaps (NaN) are not selected
        count = picked.sum(axis=1).replace(0, np.nan)
        return picked.div(count, axis=0).fillna(0.0)
    numeric = _as_float_frame(frame, "weights")
    if numeric.isna().to_numpy().any():
        numeric = numeric.fillna(0.0)
    return numeric


def drop_unchanged_rows(weights: pd.DataFrame) -> pd.DataFrame:
    """Keep the first row and every row that differs from the one before it."""
    values = weights.to_numpy()
    changed = np.ones(len(values), dtype=bool)
    changed[1:] = (values[1:] != values[:-1]).any(axis=1)
    return weights if changed.all() else weights.loc[changed]


def resample_dates(
    rebalance: Rebalance,
    price_index: pd.DatetimeIndex,
    weight_index: pd.DatetimeIndex,
    next_date: pd.Timestamp,
) -> pd.DatetimeIndex:
    """The dates on whose close a new weight row may be adopted.

    An alias gives the last trading date of each period; the last period
    counts only once it is over, that is when the next trading date opens a
    new one.
    """
    if rebalance is None:
        return weight_index
    if isinstance(rebalance, str):
        try:
            pd.tseries.frequencies.to_offset(rebalance)
        except ValueError:
            raise ValueError(f"rebalance: unknown frequency {rebalance!r}") from None
        dates = price_index.append(pd.DatetimeIndex([next_date]).as_unit("ns"))
        last = pd.Series(dates, index=dates).resample(rebalance).last().dropna()
        return pd.DatetimeIndex(last[last < next_date].to_numpy()).as_unit("ns")
    if isinstance(rebalance, (pd.Index, np.ndarray, list, tuple)):
        return to_datetime_index(pd.Index(rebalance), "rebalance").unique().sort_values()
    raise TypeError(
        "rebalance must be an offset alias, a DatetimeIndex or None, "
        f"got {type(rebalance).__name__}"
    )


def _ns(index: pd.DatetimeIndex) -> np.ndarray:
    return index.as_unit("ns").asi8


def _labels(columns: pd.Index) -> np.ndarray:
    labels = np.array([str(c) for c in columns], dtype=object)
    if len(set(labels)) != len(labels):
        raise ValueError("symbols must stay distinct when written as text")
    return labels


@dataclass(frozen=True)
class EngineInputs:
    """The engine's arrays for one run, and the labels to read its results back."""

    symbols: pd.Index  # price columns, original labels
    pos_labels: pd.Index  # position columns, original labels
    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray | None
    low_values: np.ndarray | None
    open_values: np.ndarray | None
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray

    @classmethod
    def build(
        cls,
        frames: Mapping[str, pd.DataFrame],
        trade_frame: pd.DataFrame,
        weights: pd.DataFrame,
        resample: pd.DatetimeIndex,
        touched_exit: bool,
    ) -> EngineInputs:
        close = frames["close"]
        price_columns = _labels(close.columns)
        label_of = dict(zip(close.columns, price_columns))

        def values(field: str) -> np.ndarray | None:
            frame = frames.get(field)
            return None if frame is None or not touched_exit else frame.to_numpy()

        return cls(
            symbols=close.columns,
            pos_labels=weights.columns,
            price_values=trade_frame.to_numpy(),
            close_values=close.to_numpy(),
            high_values=values("high"),
            low_values=values("low"),
            open_values=values("open"),
            price_index=_ns(close.index),
            price_columns=price_columns,
            pos_values=weights.to_numpy(),
            pos_index=_ns(weights.index),
            pos_columns=np.array([label_of[c] for c in weights.columns], dtype=object),
            resample=_ns(resample),
        )


def _run_engine(engine: EngineInputs, **settings: Any) -> SimpleNamespace:
    """One run of the reentrant engine entry: every result as NumPy arrays."""
    from quorex.core import engine as core_engine

    return core_engine.run(
        engine.price_values,
        engine.close_values,
        engine.high_values,
        engine.low_values,
        engine.open_values,
        engine.price_index,
        engine.price_columns,
        engine.pos_values,
        engine.pos_index,
        engine.pos_columns,
        engine.resample,
        **settings,
    )


# ---------------------------------------------------------------------------
# Results


def realised_return(
    entry_price: np.ndarray,
    exit_price: np.ndarray,
    position: np.ndarray,
    entry_charged: np.ndarray,
    exit_charged: np.ndarray,
    fee_ratio: float,
    tax_ratio: float,
) -> np.ndarray:
    """Each trade's return at its fills, net of the costs it paid.

    With x = exit_price / entry_price, f = fee_ratio on a charged entry (else
    0) and c = fee_ratio + tax_ratio on a charged exit (else 0):
    long: (1 - f) * x * (1 - c) - 1; short: (1 - f) - x * (1 + c). This is
    the money the position returned per unit put in, as the equity curve
    books it. A trade split at a rebalance that keeps the position pays no
    cost at the split; NaN when a fill price is missing.
    """
    x = exit_price / entry_price
    f = fee_ratio * entry_charged
    c = (fee_ratio + tax_ratio) * exit_charged
    return np.where(position > 0, (1 - f) * x * (1 - c) - 1, (1 - f) - x * (1 + c))


def trade_table(run: SimpleNamespace, engine: EngineInputs, fee_ratio: float, tax_ratio: float) -> pd.DataFrame:
    """One row per trade: stock, dates, position, period, row indices, excursions, fills."""
    from quorex.core.engine import EXIT_REASONS

    dates = engine.price_index
    entry, exit_ = run.trade_entry_row, run.trade_exit_row
    measures = run.excursions[:, -6:] if run.excursions.shape[1] else np.empty((len(entry), 6))
    columns = {
        "stock_id": engine.pos_labels.take(run.trade_sid),
        "entry_date": _dates_at(dates, entry),
        "exit_date": _dates_at(dates, exit_),
        # The first trading date has no earlier signal date.
        "entry_signal_date": _dates_at(dates, run.trade_entry_signal_row),
        "exit_signal_date": _dates_at(dates, run.trade_exit_signal_row),
        "position": run.trade_position,
        "period": np.where(exit_ >= 0, exit_, len(dates)) - entry,
        "entry_index": entry,
        "exit_index": exit_,
    }
    columns.update((name, measures[:, k]) for k, name in enumerate(EXCURSION_FIELDS[:-1]))
    columns["return"] = realised_return(
        run.trade_entry_price, run.trade_exit_price, run.trade_position, run.trade_entry_charged,
        run.trade_exit_charged, fee_ratio, tax_ratio,
    )
    columns["entry_price"] = run.trade_entry_price
    columns["exit_price"] = run.trade_exit_price
    columns["exit_reason"] = pd.Categorical.from_codes(run.trade_exit_reason, categories=list(EXIT_REASONS))
    return pd.DataFrame(columns, copy=False)


def _dates_at(dates: np.ndarray, positions: np.ndarray) -> np.ndarray:
    """datetime64[ns] of the int64 ``dates`` at ``positions``; a negative position gives NaT."""
    if len(dates) == 0:
        return np.full(len(positions), np.datetime64("NaT", "ns"))
    picked = np.where(positions >= 0, dates[np.maximum(positions, 0)], np.iinfo(np.int64).min)
    return picked.view("datetime64[ns]")


def add_turnover(
    trades: pd.DataFrame, run: SimpleNamespace, engine: EngineInputs, turnover: pd.DataFrame
) -> pd.DataFrame:
    """Traded value of each trade's stock on its entry and exit dates."""
    values = _as_float_frame(turnover, "turnover").reindex(
        index=pd.DatetimeIndex(engine.price_index.view("datetime64[ns]")), columns=engine.pos_labels
    ).to_numpy()
    entry = trades["entry_index"].to_numpy()
    exit_ = trades["exit_index"].to_numpy()
    trades = trades.copy()
    trades["turnover@entry_date"] = values[entry, run.trade_sid] if len(trades) else []
    exit_value = np.full(len(trades), np.nan)
    closed = exit_ >= 0
    exit_value[closed] = values[exit_[closed], run.trade_sid[closed]]
    trades["turnover@exit_date"] = exit_value
    return trades


def position_table(trades: pd.DataFrame, index: pd.DatetimeIndex, symbols: pd.Index) -> pd.DataFrame:
    """Daily held weights: each trade's weight from its entry date up to its exit date.

    On the exit date the position is sold, so it is no longer held at that
    close; a trade still open is held to the last date.
    """
    marks = np.full((len(index), len(symbols)), np.nan)
    if len(trades):
        column = symbols.get_indexer(trades["stock_id"])
        entry = trades["entry_index"].to_numpy()
        exit_ = trades["exit_index"].to_numpy()
        closed = exit_ >= 0
        marks[exit_[closed], column[closed]] = 0.0
        # A rebalance closes and reopens on the same date: the entry wins.
        opened = exit_ != entry
        marks[entry[opened], column[opened]] = trades["position"].to_numpy()[opened]
    held = pd.DataFrame(marks, index=index, columns=symbols).ffill().fillna(0.0)
    return held


def liquidity_table(
    trades: pd.DataFrame,
    frames: Mapping[str, pd.DataFrame],
    categories: Mapping[str, pd.DataFrame] | None,
    trade_frame: pd.DataFrame,
) -> dict[str, dict[str, float]]:
    """Share of entries and exits in each category, and of fills at the day's extreme."""
    index = frames["close"].index
    entry = trades["entry_index"].to_numpy()
    exit_ = trades["exit_index"].to_numpy()
    closed = exit_ >= 0
    column = frames["close"].columns.get_indexer(trades["stock_id"])
    table: dict[str, dict[str, float]] = {}
    for name, flags in (categories or {}).items():
        marked = _frame(flags, f"categories[{name!r}]")
        marked = marked.reindex(index=index, columns=frames["close"].columns)
        values = marked.fillna(False).astype(bool).to_numpy()
        table[name] = {
            "entry": _share(values[entry, column]),
            "exit": _share(values[exit_[closed], column[closed]]),
        }
    trade_price = trade_frame.to_numpy()
    if "high" in frames:
        high = frames["high"].to_numpy()
        at_high = trade_price[entry, column] >= high[entry, column]
        table["buy_high"] = {"entry": _share(at_high), "exit": 0.0}
    if "low" in frames:
        low = frames["low"].to_numpy()
        at_low = trade_price[exit_[closed], column[closed]] <= low[exit_[closed], column[closed]]
        table["sell_low"] = {"entry": 0.0, "exit": _share(at_low)}
    return table


def _checked_categories(categories: Mapping[str, pd.DataFrame] | None) -> dict[str, pd.DataFrame] | None:
    """The category flags as date-indexed frames, checked before the run."""
    if categories is None:
        return None
    return {name: _frame(flags, f"categories[{name!r}]") for name, flags in categories.items()}


def _share(flags: np.ndarray) -> float:
    return float(flags.mean()) if len(flags) else 0.0


def _checked_benchmark(benchmark: object) -> pd.Series | None:
    """The given benchmark on naive dates, sorted, as float64; None when not given."""
    if benchmark is None:
        return None
    if not isinstance(benchmark, pd.Series):
        raise TypeError(f"benchmark must be a pandas Series, got {type(benchmark).__name__}")
    index = to_datetime_index(benchmark.index, "benchmark")
    series = benchmark.set_axis(index).sort_index().astype(np.float64)
    return series.rename(benchmark.name or "benchmark")


def _benchmark(benchmark: pd.Series | None, close: pd.DataFrame) -> pd.Series:
    """The given benchmark, or the equal-weight buy-and-hold of the universe."""
    benchmark = _checked_benchmark(benchmark)
    if benchmark is not None:
        return benchmark
    first = close.iloc[0]
    held = close.loc[:, first.notna() & (first != 0)]
    if held.empty:
        return pd.Series(1.0, index=close.index, name="benchmark")
    growth = held.ffill() / held.iloc[0]
    return growth.mean(axis=1).rename("benchmark")


@dataclass(frozen=True)
class RunTables:
    """A finished run's tables, built from the engine's arrays when first asked for."""

    run: SimpleNamespace
    engine: EngineInputs
    frames: Mapping[str, pd.DataFrame]
    trade_frame: pd.DataFrame
    fee_ratio: float
    tax_ratio: float
    given_benchmark: pd.Series | None
    turnover: pd.DataFrame | None
    categories: Mapping[str, pd.DataFrame] | None
    rebalance: Rebalance
    market: object

    def benchmark(self) -> pd.Series:
        return _benchmark(self.given_benchmark, self.frames["close"])

    def trades(self) -> pd.DataFrame:
        table = trade_table(self.run, self.engine, self.fee_ratio, self.tax_ratio)
        if self.turnover is not None:
            table = add_turnover(table, self.run, self.engine, self.turnover)
        return table

    def position(self, trades: pd.DataFrame) -> pd.DataFrame:
        return position_table(trades, self.frames["close"].index, self.engine.pos_labels)

    def liquidity(self, trades: pd.DataFrame) -> dict[str, dict[str, float]]:
        return liquidity_table(trades, self.frames, self.categories, self.trade_frame)

    def stock_operations(self) -> tuple[pd.Series, pd.Series, pd.DataFrame]:
        return stock_operation_tables(self.run, self.engine, self.rebalance, self.market)

    def rebalance_dates(self) -> pd.DatetimeIndex:
        return self.frames["close"].index[self.run.rebalance_rows]

    def excursions(self) -> np.ndarray:
        return self.run.excursions


def stock_operation_tables(
    run: SimpleNamespace, engine: EngineInputs, rebalance: Rebalance, market: object
) -> tuple[pd.Series, pd.Series, pd.DataFrame]:
    """Weights, next weights and per-symbol actions by symbol instead of column index."""
    from quorex.core.engine import ACTIONS

    labels = engine.pos_labels
    current = _weight_series(run.weight_sids, run.weight_values, labels)
    if len(run.rebalance_rows):
        current.name = pd.Timestamp(engine.price_index[run.rebalance_rows[-1]])
    upcoming = _weight_series(run.next_weight_sids, run.next_weight_values, labels)
    upcoming.name = _next_rebalance_date(run.rebalance_due, rebalance, engine, market)
    acting = np.flatnonzero(run.actions >= 0)
    actions = pd.Series(np.asarray(ACTIONS, dtype=object)[run.actions[acting]], index=labels[acting], dtype=object)
    table = pd.DataFrame({"action": actions, "weight": current, "next_weight": upcoming})
    table = table.reindex(labels[labels.isin(table.index)])
    table.index.name = "symbol"
    return current, upcoming, table


def _weight_series(sids: np.ndarray, values: np.ndarray, labels: pd.Index) -> pd.Series:
    return pd.Series(values, index=labels[sids], dtype=np.float64)


def _next_rebalance_date(
    due: bool, rebalance: Rebalance, engine: EngineInputs, market: object
) -> pd.Timestamp | None:
    """The trading date on which the next weights are expected to take effect.

    A rebalance due after the last date happens on the next trading date;
    otherwise on the session after the end of the pending period (or the
    next explicit rebalance date). None when rebalancing follows weight
    changes, which cannot be foreseen.
    """
    last = pd.Timestamp(engine.price_index[-1])
    next_date = next_trading_date(market, last)
    if due:
        return next_date
    if isinstance(rebalance, str):
        dates = pd.DatetimeIndex([last, next_date])
        period_end = pd.Series(dates, index=dates).resample(rebalance).last().index[-1]
        return next_trading_date(market, period_end)
    if rebalance is not None:
        later = engine.resample[engine.resample > engine.price_index[-1]]
        if len(later):
            return next_trading_date(market, pd.Timestamp(later[0]))
    return None

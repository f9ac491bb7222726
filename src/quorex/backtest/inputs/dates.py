"""Date indexes and clocks: every dated input read as calendar dates, in one timezone."""

from __future__ import annotations

import warnings
from collections.abc import Mapping

import pandas as pd

from quorex.backtest.inputs.messages import DataWarning
from quorex.backtest.market import market_timezone


def is_text_or_objects(dtype: object) -> bool:
    """Whether values of ``dtype`` may be text to parse: object, or the text dtype (pandas 3's default)."""
    return dtype == object or isinstance(dtype, pd.StringDtype)


def index_timezone(index: pd.Index) -> str | None:
    """The timezone of a date index (None when naive or not made of dates)."""
    if isinstance(index, pd.DatetimeIndex):
        return None if index.tz is None else str(index.tz)
    if not is_text_or_objects(index.dtype) or len(index) == 0:
        return None
    try:
        parsed = pd.DatetimeIndex(pd.to_datetime(index))
    except (TypeError, ValueError):
        return None  # the date parser proper names the problem
    return None if parsed.tz is None else str(parsed.tz)


def local_calendar_dates(index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """A tz-aware index as the calendar dates on its own wall clock (naive).

    Converting to UTC instead would move a Taipei or New York session to
    another date whenever the stamps are not at midday.
    """
    if index.tz is None:
        return index
    return index.tz_localize(None).normalize()


def _describe_zone(zone: str | None) -> str:
    return "naive (no timezone)" if zone is None else f"in {zone}"


def check_timezones(inputs: Mapping[str, pd.Index], market: object) -> None:
    """All dated inputs share one timezone (or none); warn when it is not the market's.

    Mixed clocks cannot be aligned by date without guessing which one is
    right, so they are refused.
    """
    zones = {name: index_timezone(index) for name, index in inputs.items()}
    distinct = dict.fromkeys(zones.values())
    if len(distinct) > 1:
        described = "; ".join(f"{name} {_describe_zone(zone)}" for name, zone in zones.items())
        raise ValueError(
            f"dates in different timezones: {described}; give every input the same "
            "timezone (e.g. .tz_convert(...)) or none (naive local dates)"
        )
    zone = next(iter(distinct), None)
    expected = market_timezone(market)
    if zone is not None and expected is not None and not _same_zone(zone, expected):
        name = getattr(market, "get_name", lambda: "?")()
        warnings.warn(
            f"the dates are stamped in {zone} but market {name!r} trades in {expected}: "
            f"they are read as calendar dates in {zone}; convert them with "
            f".tz_convert({expected!r}) or pass the market that matches",
            DataWarning,
            stacklevel=3,
        )


def _same_zone(first: str, second: str) -> bool:
    moment = pd.Timestamp("2024-01-15 12:00", tz="UTC")
    summer = pd.Timestamp("2024-07-15 12:00", tz="UTC")
    return all(t.tz_convert(first).utcoffset() == t.tz_convert(second).utcoffset() for t in (moment, summer))


def dated_indexes(**inputs: object) -> dict[str, pd.Index]:
    """The date indexes of the given frames and series, by the name an error shows."""
    return {name: obj.index for name, obj in inputs.items() if isinstance(obj, (pd.DataFrame, pd.Series))}


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


def relabelled(frame: pd.DataFrame, index: pd.Index) -> pd.DataFrame:
    """``frame`` on the dates of ``index``, sharing its data.

    ``set_axis`` copies the values on pandas 2 (where only its deprecated
    ``copy=False`` avoided that); a shallow copy shares them on both lines.
    """
    shallow = frame.copy(deep=False)
    shallow.index = index
    return shallow


def dated_frame(obj: object, what: str) -> pd.DataFrame:
    """A date-indexed frame, sorted by date, with unique dates and labels."""
    if not isinstance(obj, pd.DataFrame):
        raise TypeError(f"{what} must be a pandas DataFrame, got {type(obj).__name__}")
    index = to_datetime_index(obj.index, what)
    if index is not obj.index:
        obj = relabelled(obj, index)
    if not index.is_monotonic_increasing:
        obj = obj.sort_index(kind="stable")
    if obj.index.has_duplicates:
        dups = obj.index[obj.index.duplicated()].unique()[:3]
        raise ValueError(f"{what}: duplicate dates {[str(d.date()) for d in dups]}")
    if obj.columns.has_duplicates:
        dups = obj.columns[obj.columns.duplicated()].unique()[:3]
        raise ValueError(f"{what}: duplicate symbols {list(dups)}")
    return obj


def dated_series(series: object, what: str) -> pd.Series:
    """A date-indexed Series on naive dates, sorted, as float64."""
    if not isinstance(series, pd.Series):
        raise TypeError(f"{what} must be a pandas Series, got {type(series).__name__}")
    index = to_datetime_index(series.index, what)
    return series.set_axis(index).sort_index().astype("float64")

"""Date indexes and clocks: every dated input read as calendar dates, in one timezone."""

from __future__ import annotations

import warnings
from collections.abc import Mapping

import numpy as np
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
    """Every stamp as its calendar date (naive): a tz-aware one on its own wall clock.

    Converting to UTC instead would move a Taipei or New York session to
    another date whenever the stamps are not at midday; keeping a naive
    stamp's time of day would put a 13:30 close after the 00:00 weights of
    the same date and trade them a day early.
    """
    if index.tz is not None:
        index = index.tz_localize(None)
    return index.normalize()


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


def _parsed_dates(index: pd.Index, what: str) -> pd.DatetimeIndex:
    """An index of date objects or ISO date strings as a DatetimeIndex; anything else refused.

    Numbers are refused rather than read as nanoseconds after 1970, and
    strings must be ISO dates (YYYY-MM-DD, optionally with a time and an
    offset, or YYYYMMDD): "01/02/2021" could be either of two dates.
    """
    if isinstance(index, pd.PeriodIndex):
        return index.to_timestamp()
    kind = "empty" if len(index) == 0 else pd.api.types.infer_dtype(index, skipna=True)
    if kind == "empty":
        return pd.DatetimeIndex([])
    if kind in ("date", "datetime", "datetime64"):
        return pd.DatetimeIndex(pd.to_datetime(index))
    if kind == "string":
        try:
            return pd.DatetimeIndex(pd.to_datetime(index, format="ISO8601"))
        except (TypeError, ValueError):
            raise ValueError(
                f"{what}: the index must hold dates; {list(index[:2])} are not ISO dates and could be read "
                "more than one way: write them as YYYY-MM-DD, or pass a DatetimeIndex "
                "(e.g. pd.to_datetime(index, format='%d/%m/%Y'))"
            ) from None
    held = "numbers" if kind in ("integer", "floating", "mixed-integer", "mixed-integer-float", "decimal") else kind
    raise ValueError(
        f"{what}: the index must hold dates, not {held} ({index[:2].tolist()}...): a backtest aligns by "
        "date; give it a DatetimeIndex (for numbers such as 20150102: "
        "pd.to_datetime(index.astype(str), format='%Y%m%d'))"
    )


def to_datetime_index(index: pd.Index, what: str) -> pd.DatetimeIndex:
    """``index`` as a tz-naive nanosecond DatetimeIndex of calendar dates (see ``local_calendar_dates``)."""
    if not isinstance(index, pd.DatetimeIndex):
        index = _parsed_dates(index, what)
    if index.hasnans:
        raise ValueError(f"{what}: the index has missing dates (NaT)")
    index = local_calendar_dates(index)
    return index if index.unit == "ns" else index.as_unit("ns")


def refuse_repeated_dates(given: pd.Index, dates: pd.DatetimeIndex, what: str) -> None:
    """A ValueError naming the first date that two stamps of ``given`` fall on."""
    if not dates.has_duplicates:
        return
    first = dates[dates.duplicated()][0]
    stamps = pd.Index(given)[dates == first]
    raise ValueError(
        f"{what}: duplicate dates: {len(stamps)} rows fall on {first.date()} ({', '.join(map(str, stamps[:3]))}); "
        "stamps are read at their calendar date: give one row per date"
    )


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
    refuse_repeated_dates(obj.index, index, what)
    if not (index.dtype == obj.index.dtype and index.equals(obj.index)):
        obj = relabelled(obj, index)
    if not index.is_monotonic_increasing:
        obj = obj.sort_index(kind="stable")
    if obj.columns.has_duplicates:
        dups = obj.columns[obj.columns.duplicated()].unique()[:3]
        raise ValueError(f"{what}: duplicate symbols {list(dups)}")
    return obj


def float_frame(frame: pd.DataFrame, what: str) -> pd.DataFrame:
    """``frame`` with float64 values (unchanged when it already has them)."""
    if (frame.dtypes == np.float64).all():
        return frame
    try:
        return frame.astype(np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must be numeric ({exc})") from None


def dated_series(series: object, what: str) -> pd.Series:
    """A date-indexed Series on naive dates, sorted, as float64."""
    if not isinstance(series, pd.Series):
        raise TypeError(f"{what} must be a pandas Series, got {type(series).__name__}")
    index = to_datetime_index(series.index, what)
    refuse_repeated_dates(series.index, index, what)
    return series.set_axis(index).sort_index().astype("float64")

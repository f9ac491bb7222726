"""Reading the command line's data files: CSV or Parquet, long, wide or one stock's OHLC table.

Everything that can be wrong in a file is a ``CliError`` naming the file and,
where there is one, the row and column: dates are ISO dates (any UTC offset,
read at their own wall-clock date) or ``YYYYMMDD`` numbers or strings;
numbers may carry thousands separators ("1,234.5"); anything else is refused.
"""

from __future__ import annotations

import bz2
import csv
import gzip
import re
import zipfile
from collections.abc import Sequence
from pathlib import Path
from typing import BinaryIO

import numpy as np
import pandas as pd

from quorex.backtest.inputs.dates import is_text_or_objects

PRICE_FIELDS = ("close", "open", "high", "low")
CSV_SUFFIXES = (".csv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zip")
PARQUET_SUFFIXES = (".parquet", ".pq")
SYMBOL_ALIASES = ("symbol", "ticker", "name", "code", "stock_id")
# A one-stock table in the common download layout; names compared without case, spaces or "_".
OHLC_NAMES = {"open": "open", "high": "high", "low": "low", "close": "close",
              "adjclose": "adj_close", "adjustedclose": "adj_close", "volume": "volume"}

_ISO_DATE = re.compile(
    r"^(\d{4}-\d{2}-\d{2})(?:[ T]\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?\s*(?:Z|[+-]\d{2}(?::?\d{2})?)?$"
)
_COMPACT_DATE = re.compile(r"^\d{8}$")
_THOUSANDS = re.compile(r"^[+-]?\d{1,3}(?:,\d{3})+(?:\.\d*)?$")
_BOOLEANS = {"true": True, "false": False}


class CliError(Exception):
    """A user-facing error: printed as one line, exit status 2."""


def _where(frame: pd.DataFrame, row: int) -> str:
    """Where data row ``row`` (0-based) is in its file: the CSV line or the Parquet row."""
    if frame.attrs.get("csv"):
        return f"line {row + 2}"  # the header is line 1
    return f"row {row + 1}"


def read_table(path: str | Path) -> pd.DataFrame:
    """A CSV or Parquet file as a DataFrame (file type by suffix); CSV cells stay text."""
    path = Path(path)
    name = path.name.lower()
    if not path.is_file():
        raise CliError(f"{path}: no such file")
    try:
        if name.endswith(PARQUET_SUFFIXES):
            _refuse_repeated_columns(_parquet_columns(path), path)
            frame = pd.read_parquet(path)
            if isinstance(frame.index, pd.DatetimeIndex):
                frame = frame.reset_index(names=frame.index.name or "date")
            _refuse_repeated_columns(list(frame.columns), path)
            frame.attrs["csv"] = False
            return frame
        if name.endswith(CSV_SUFFIXES):
            # Dates and symbols as text: dates are read by the rules of this module, and
            # codes such as "0050" keep their zeros. Other cells that pandas cannot
            # read as numbers stay text for parse_numbers. pandas renames a repeated
            # column ("X.1"), so the header is checked as written.
            header = pd.read_csv(path, nrows=1, header=None, dtype=str, skipinitialspace=True)
            _refuse_repeated_columns(header.iloc[0].tolist() if len(header) else [], path)
            as_text = [c for c in header.iloc[0] if _key(c) in ("date", *SYMBOL_ALIASES)] if len(header) else []
            frame = pd.read_csv(path, dtype={c: str for c in as_text}, skipinitialspace=True)
            _refuse_cut_off_line(path, len(frame.columns))
            frame.attrs["csv"] = True
            return frame
    except (ValueError, OSError, UnicodeDecodeError, pd.errors.ParserError) as exc:
        raise CliError(f"{path}: cannot read the file ({' '.join(str(exc).split())})") from None
    raise CliError(f"{path}: unknown file type (use .csv or .parquet)")


def _refuse_repeated_columns(names: list[object], path: Path) -> None:
    seen: dict[str, int] = {}
    for position, name in enumerate(names, start=1):
        text = str(name).strip()
        if text in seen:
            raise CliError(
                f"{path}: the column {text!r} appears twice (columns {seen[text]} and {position}); "
                "give every column its own name"
            )
        seen[text] = position


def _parquet_columns(path: Path) -> list[str]:
    """The column names a Parquet file declares (none known without pyarrow)."""
    try:
        import pyarrow.parquet as pq
    except ImportError:
        return []
    return list(pq.read_schema(path).names)


def _binary_reader(path: Path) -> BinaryIO:
    """The file's bytes, decompressed as its suffix says."""
    name = path.name.lower()
    if name.endswith(".gz"):
        return gzip.open(path, "rb")
    if name.endswith(".bz2"):
        return bz2.open(path, "rb")
    if name.endswith(".zip"):
        archive = zipfile.ZipFile(path)
        return archive.open(archive.namelist()[0])
    return open(path, "rb")


def _last_line(path: Path) -> tuple[int, bytes, bool]:
    """The number of the file's last line, its bytes, and whether a newline ends the file."""
    newlines, tail = 0, b""
    with _binary_reader(path) as handle:
        while chunk := handle.read(1 << 20):
            newlines += chunk.count(b"\n")
            tail = (tail + chunk)[-(1 << 16):]
    ended = tail.endswith(b"\n")
    stripped = tail.rstrip(b"\r\n")
    return newlines + (0 if ended else 1), stripped.rsplit(b"\n", 1)[-1], ended


def _refuse_cut_off_line(path: Path, n_columns: int) -> None:
    """A last line without its newline and with fewer fields than the header was cut off mid-row."""
    number, line, ended = _last_line(path)
    if ended or not line.strip():
        return
    fields = next(csv.reader([line.decode("utf-8", errors="replace")]), [])
    if len(fields) < n_columns:
        raise CliError(
            f"{path}: line {number} has {len(fields)} of {n_columns} fields and no line end: the file "
            "is cut off mid-row (was it written completely?)"
        )


def _key(name: object) -> str:
    return re.sub(r"[\s_]+", "", str(name).strip().lower())


def _find(columns: pd.Index, *names: str) -> str | None:
    wanted = [_key(n) for n in names]
    for name in wanted:
        for column in columns:
            if _key(column) == name:
                return column
    return None


# ---------------------------------------------------------------------------
# Cells


def parse_dates(values: pd.Series, frame: pd.DataFrame, path: Path) -> pd.DatetimeIndex:
    """A column of dates as calendar dates (naive), or a CliError naming the first bad cell."""
    column = values.name
    if pd.api.types.is_datetime64_any_dtype(values.dtype):
        dates = pd.DatetimeIndex(values)
        if dates.tz is not None:
            dates = dates.tz_localize(None)
        parsed = dates.normalize()
    else:
        # Long files repeat each date once per symbol: read each distinct cell once.
        codes, distinct = pd.factorize(values, use_na_sentinel=True)
        text = pd.Series(distinct, dtype=object).map(_date_text)
        distinct_dates = pd.DatetimeIndex(pd.to_datetime(text.to_numpy(), format="%Y%m%d", errors="coerce"))
        parsed = distinct_dates.take(codes, allow_fill=True, fill_value=pd.NaT) if len(distinct) else (
            pd.DatetimeIndex(np.full(len(values), np.datetime64("NaT", "ns"))))
        bad = parsed.isna()
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            if pd.isna(values.iloc[row]):
                raise CliError(f"{path}: {_where(frame, row)}, column {column!r}: the date is missing")
            raise CliError(
                f"{path}: {_where(frame, row)}, column {column!r}: cannot read {values.iloc[row]!r} as a "
                "date (use YYYY-MM-DD, optionally with a time and UTC offset, or YYYYMMDD)"
            )
    if parsed.hasnans:
        row = int(np.flatnonzero(parsed.isna())[0])
        raise CliError(f"{path}: {_where(frame, row)}, column {column!r}: the date is missing")
    if len(parsed) and (parsed.year == 1970).all():
        raise CliError(f"{path}: column {column!r}: every date falls in 1970; are they epoch numbers?")
    return pd.DatetimeIndex(parsed, name="date").as_unit("ns")


def _date_text(cell: object) -> str | None:
    """The cell as YYYYMMDD text, or None when it is not a date in an accepted form."""
    if isinstance(cell, (bool, np.bool_)):
        return None
    if isinstance(cell, (int, np.integer)) or (isinstance(cell, (float, np.floating)) and float(cell).is_integer()):
        text = str(int(cell))
        return text if _COMPACT_DATE.match(text) else None
    if isinstance(cell, pd.Timestamp):
        return cell.strftime("%Y%m%d")
    text = str(cell).strip()
    if _COMPACT_DATE.match(text):
        return text
    match = _ISO_DATE.match(text)
    return match.group(1).replace("-", "") if match else None


def parse_numbers(values: pd.Series, frame: pd.DataFrame, path: Path) -> pd.Series:
    """A column of numbers (or booleans), thousands separators allowed; a CliError names a bad cell."""
    if not is_text_or_objects(values.dtype):
        return values
    present = values.notna()
    cells = values[present]
    # Booleans with gaps arrive as objects; they must stay booleans (equal weight), not 1.0/0.0.
    if len(cells) and str(cells.iloc[0]).strip().lower() in _BOOLEANS:
        lowered = cells.astype(str).str.strip().str.lower()
        if lowered.isin(list(_BOOLEANS)).all():
            flags = lowered.map(_BOOLEANS)
            return flags.astype(bool) if present.all() else flags.reindex(values.index).astype(object)
    try:
        return pd.to_numeric(values).astype(np.float64)  # plain numbers: the C parser
    except (TypeError, ValueError):
        pass
    numbers = pd.to_numeric(_without_thousands(cells), errors="coerce")
    if numbers.isna().any():
        row = int(np.flatnonzero(present.to_numpy())[np.flatnonzero(numbers.isna().to_numpy())[0]])
        cell = values.iloc[row]
        hint = " (ambiguous separators)" if "," in str(cell) else ""
        raise CliError(
            f"{path}: {_where(frame, row)}, column {values.name!r}: cannot read {cell!r} as a number{hint}"
        )
    return numbers.reindex(values.index).astype(np.float64)


def _without_thousands(cells: pd.Series) -> pd.Series:
    """The cells as text without thousands separators; NaN where the commas are not groups of three."""
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
    except ImportError:  # the plain-Python way, a few times slower
        return cells.map(_number_text)
    text = pc.utf8_trim_whitespace(pa.array(cells.astype(str).to_numpy(), type=pa.string()))
    grouped = pc.match_substring_regex(text, _THOUSANDS.pattern)
    commas = pc.match_substring(text, ",")
    kept = pc.if_else(pc.and_(commas, pc.invert(grouped)), pa.scalar(None, pa.string()), text)
    return pd.Series(pc.replace_substring(kept, ",", "").to_numpy(zero_copy_only=False), index=cells.index)


def _number_text(cell: object) -> str | None:
    """The cell without thousands separators; None when its commas are not groups of three digits."""
    text = str(cell).strip()
    if "," not in text:
        return text
    return text.replace(",", "") if _THOUSANDS.match(text) else None


# ---------------------------------------------------------------------------
# Layouts


def to_wide(
    frame: pd.DataFrame,
    path: Path,
    fields: Sequence[str] = ("value",),
    symbol: str | None = None,
    adjusted: bool = False,
) -> dict[str, pd.DataFrame]:
    """The file's data as wide frames (dates × symbols) by field name.

    Long files give one frame per value column found among ``fields`` (or
    "value"); a one-stock OHLC table gives its price fields (when ``fields``
    are price fields); a wide file gives one frame under ``fields[0]``.
    """
    if frame.empty:
        raise CliError(f"{path}: the file has no rows")
    date_col = _find(frame.columns, "date")
    symbol_col = _find(frame.columns, *SYMBOL_ALIASES)
    if date_col is not None and symbol_col is not None:
        return _long_to_wide(frame, path, date_col, symbol_col, fields)
    if date_col is None:
        date_col = frame.columns[0]
    others = [c for c in frame.columns if c != date_col]
    if "close" in fields and others and all(_key(c) in OHLC_NAMES for c in others):
        return _one_stock(frame, path, date_col, symbol or _stem(path), adjusted)
    if not others:
        raise CliError(f"{path}: no symbol columns besides the dates")
    dates = parse_dates(frame[date_col], frame, path)
    _refuse_duplicate_dates(dates, frame, path)
    wide = pd.DataFrame({str(c): parse_numbers(frame[c], frame, path).to_numpy() for c in others}, index=dates)
    return {fields[0]: wide}


def _stem(path: Path) -> str:
    name = path.name
    for suffix in (*CSV_SUFFIXES, *PARQUET_SUFFIXES):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)]
    return path.stem


def _refuse_duplicate_dates(dates: pd.DatetimeIndex, frame: pd.DataFrame, path: Path) -> None:
    repeated = dates.duplicated()
    if repeated.any():
        row = int(np.flatnonzero(repeated)[0])
        raise CliError(
            f"{path}: {_where(frame, row)}: the date {dates[row].date()} appears more than once "
            "(a long file needs a symbol column: symbol, ticker, name, code or stock_id)"
        )


def _one_stock(frame: pd.DataFrame, path: Path, date_col: str, symbol: str, adjusted: bool) -> dict[str, pd.DataFrame]:
    """A single stock's table (Date, Open, High, Low, Close, Adj Close, Volume) as price frames."""
    dates = parse_dates(frame[date_col], frame, path)
    _refuse_duplicate_dates(dates, frame, path)
    columns = {OHLC_NAMES[_key(c)]: c for c in frame.columns if c != date_col}
    values = {name: parse_numbers(frame[c], frame, path).to_numpy(dtype=np.float64) for name, c in columns.items()}
    if adjusted:
        if "adj_close" not in values or "close" not in values:
            raise CliError(f"{path}: --adjusted needs both a close and an adjusted close column")
        with np.errstate(divide="ignore", invalid="ignore"):
            factor = values["adj_close"] / values["close"]
        values = {name: v * factor for name, v in values.items() if name in ("open", "high", "low")} | {
            "close": values["adj_close"]
        }
    elif "close" not in values:
        values["close"] = values["adj_close"]
    return {
        name: pd.DataFrame({symbol: values[name]}, index=dates) for name in PRICE_FIELDS if name in values
    }


def _long_to_wide(
    frame: pd.DataFrame, path: Path, date_col: str, symbol_col: str, fields: Sequence[str]
) -> dict[str, pd.DataFrame]:
    present = {f: _find(frame.columns, f) for f in (*fields, "value")}
    present = {f: c for f, c in present.items() if c is not None}
    if not present:
        raise CliError(f"{path}: a long file needs a 'value' column (or one of {list(fields)})")
    missing_symbol = frame[symbol_col].isna().to_numpy()
    if missing_symbol.any():
        row = int(np.flatnonzero(missing_symbol)[0])
        raise CliError(f"{path}: {_where(frame, row)}, column {symbol_col!r}: the symbol is missing")
    codes, names = pd.factorize(frame[symbol_col])
    symbols = pd.Index(names.astype(str)).str.strip().to_numpy(dtype=object)[codes]
    keys = pd.DataFrame({"date": parse_dates(frame[date_col], frame, path), "symbol": symbols})
    duplicated = keys.duplicated()
    if duplicated.any():
        row = keys[duplicated].iloc[0]
        raise CliError(f"{path}: more than one row for {row['symbol']} on {row['date'].date()}")
    out = {}
    for field, column in present.items():
        values = parse_numbers(frame[column], frame, path)
        wide = pd.DataFrame({"date": keys["date"], "symbol": keys["symbol"], "v": values.to_numpy()})
        wide = wide.pivot(index="date", columns="symbol", values="v")
        if pd.api.types.is_bool_dtype(values.dtype) or values.dtype == object:
            wide = wide.eq(True)  # a (date, symbol) without a row is not selected
        wide.columns.name = None
        out[field] = wide
    return out


def load_prices(
    path: str | Path,
    extra: dict[str, str | Path | None] | None = None,
    symbol: str | None = None,
    adjusted: bool = False,
) -> pd.DataFrame | dict[str, pd.DataFrame]:
    """Closing prices, or a mapping of "close"/"open"/"high"/"low" frames.

    ``extra`` maps "open", "high", "low" to wide files of that field beside
    a wide close file.
    """
    path = Path(path)
    frames = to_wide(read_table(path), path, fields=PRICE_FIELDS, symbol=symbol, adjusted=adjusted)
    if "value" in frames and "close" not in frames:
        frames["close"] = frames.pop("value")
    frames.pop("value", None)
    if "close" not in frames:
        raise CliError(f"{path}: no closing prices ('close' or 'value' column)")
    for field, extra_path in (extra or {}).items():
        if extra_path is None:
            continue
        if field in frames:
            raise CliError(f"{path}: already has {field} prices; drop --{field} {extra_path}")
        extra_path = Path(extra_path)
        frames[field] = to_wide(read_table(extra_path), extra_path, fields=(field,))[field]
    return frames["close"] if len(frames) == 1 else frames


def load_weights(path: str | Path) -> pd.DataFrame:
    """Target weights (numbers or booleans), dates × symbols."""
    path = Path(path)
    return to_wide(read_table(path), path)["value"]

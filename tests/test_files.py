"""The command line's files as people have them: dates, numbers, layouts, and one line per error."""

from __future__ import annotations

import builtins
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorex import cli
from quorex.io import files

# The unit the readers give their dates on every pandas line (pandas 3 builds microseconds).
DATES = pd.bdate_range("2015-01-02", periods=30).as_unit("ns")


@pytest.fixture(scope="module")
def close() -> pd.DataFrame:
    rng = np.random.default_rng(8)
    steps = rng.normal(0.001, 0.01, (len(DATES), 2))
    return pd.DataFrame(np.round(1500 * np.exp(np.cumsum(steps, axis=0)), 2), index=DATES, columns=["AAA", "BBB"])


def write(path: Path, text: str) -> Path:
    path.write_text(text)
    return path


def wide_csv(frame: pd.DataFrame, path: Path, dates: list[str] | None = None) -> Path:
    data = frame.copy()
    data.index = dates if dates is not None else [d.strftime("%Y-%m-%d") for d in frame.index]
    data.rename_axis("date").reset_index().to_csv(path, index=False)
    return path


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quorex", *args], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    "cells",
    [
        [d.strftime("%Y-%m-%d 00:00:00-05:00") for d in DATES],
        [d.strftime("%Y-%m-%dT09:00:00+08:00") for d in DATES],
        [d.strftime("%Y-%m-%d 16:00:00") + ("-05:00" if i % 2 else "-04:00") for i, d in enumerate(DATES)],
        [d.strftime("%Y-%m-%dZ") for d in DATES],
        [d.strftime("%Y%m%d") for d in DATES],
    ],
    ids=["new-york", "taipei", "mixed-offsets", "utc", "yyyymmdd"],
)
def test_dates_are_read_as_written(tmp_path, close, cells):
    got = files.load_prices(wide_csv(close, tmp_path / "p.csv", cells))
    assert got.index.equals(pd.DatetimeIndex(DATES, name="date"))


@pytest.mark.parametrize("column", [
    pd.Series(DATES.strftime("%Y%m%d").astype(int)),
    pd.Series(DATES.tz_localize("America/New_York").tz_convert("Asia/Taipei")),
    pd.Series(DATES),
], ids=["int", "aware", "naive"])
def test_parquet_date_columns(tmp_path, close, column):
    data = close.reset_index(drop=True).assign(date=column.to_numpy())
    data.to_parquet(tmp_path / "p.parquet")
    got = files.load_prices(tmp_path / "p.parquet")
    # New York midnight is 13:00 in Taipei: the same calendar date on the file's own clock.
    assert got.index.equals(pd.DatetimeIndex(DATES, name="date"))


def test_yyyymmdd_run_covers_the_real_dates(tmp_path, close):
    prices = wide_csv(close, tmp_path / "p.csv", list(DATES.strftime("%Y%m%d")))
    weights = write(tmp_path / "w.csv", "date,AAA,BBB\n20150102,0.5,0.5\n")
    done = run("run", "--prices", str(prices), "--weights", str(weights))
    assert done.returncode == 0, done.stderr
    assert "2015-01-02 to 2015-02-12" in done.stdout and "1970" not in done.stdout


def test_thousands_separators_and_symbol_aliases(tmp_path, close):
    rows = ["Date,Ticker,Close"] + [
        f"{d:%Y-%m-%d},{s},\"{v:,.2f}\"" for d, row in close.iterrows() for s, v in row.items()
    ]
    got = files.load_prices(write(tmp_path / "p.csv", "\n".join(rows) + "\n"))
    pd.testing.assert_frame_equal(got.rename_axis(index=None), close, check_freq=False)


@pytest.mark.parametrize("alias", ["symbol", "TICKER", "Name", "code", "stock_id"])
def test_symbol_column_aliases(tmp_path, alias):
    path = write(tmp_path / "w.csv", f"date,{alias},value\n2024-01-02,A,0.5\n2024-01-02,B,0.5\n")
    assert list(files.load_weights(path).columns) == ["A", "B"]


def ohlc_file(close: pd.DataFrame, path: Path) -> Path:
    c = close["AAA"]
    table = pd.DataFrame({
        "Date": DATES.strftime("%Y-%m-%d"), "Open": c * 0.99, "High": c * 1.01, "Low": c * 0.98,
        "Close": c, "Adj Close": c / 2, "Volume": 1000,
    })
    table.to_csv(path, index=False)
    return path


@pytest.mark.parametrize("symbol, adjusted", [(None, False), ("2330", False), ("X", True)])
def test_one_stock_ohlc_file(tmp_path, close, symbol, adjusted):
    path = ohlc_file(close, tmp_path / "AAA.US.csv")
    got = files.load_prices(path, symbol=symbol, adjusted=adjusted)
    name = symbol or "AAA.US"
    assert set(got) == {"close", "open", "high", "low"}
    assert all(list(frame.columns) == [name] for frame in got.values())
    scale = 0.5 if adjusted else 1.0
    np.testing.assert_allclose(got["close"][name], close["AAA"] * scale)
    np.testing.assert_allclose(got["open"][name], close["AAA"] * 0.99 * scale)


def test_wide_open_high_low_files_beside_the_close(tmp_path, close):
    paths = {f: wide_csv(close * k, tmp_path / f"{f}.csv") for f, k in
             (("close", 1.0), ("open", 0.99), ("high", 1.02), ("low", 0.97))}
    weights = write(tmp_path / "w.csv", "date,AAA,BBB\n2015-01-02,0.5,0.5\n")
    done = run("run", "--prices", str(paths["close"]), "--open", str(paths["open"]),
               "--high", str(paths["high"]), "--low", str(paths["low"]), "--weights", str(weights),
               "--trade-at", "open", "--touched-exit", "--stop-loss", "0.02")
    assert done.returncode == 0, done.stderr
    assert "Trade at" in done.stdout and "open" in done.stdout


def test_run_shows_settings_and_warns_in_one_line(tmp_path, close):
    stopped = close.copy()
    stopped.iloc[10:, 1] = np.nan
    prices = wide_csv(stopped, tmp_path / "p.csv")
    weights = wide_csv(pd.DataFrame(0.5, index=DATES, columns=close.columns), tmp_path / "w.csv")
    done = run("run", "--prices", str(prices), "--weights", str(weights), "--rebalance", "W-FRI",
               "--market", "us", "--out", str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr
    trips = pd.read_csv(tmp_path / "out" / "round_trips.csv")
    assert set(trips["stock_id"]) == {"AAA", "BBB"} and (trips["records"] > 1).all()
    assert "us (America/New_York)" in done.stdout and "Win rate (round trips)" in done.stdout
    assert done.stderr.startswith("quorex: warning: 1 symbol(s) get weight") and done.stderr.count("\n") == 1


GOOD_PRICES = "date,A\n2024-01-02,10\n2024-01-03,11\n"
GOOD_WEIGHTS = "date,A\n2024-01-02,1\n"


@pytest.mark.parametrize(
    "prices, weights, extra, message",
    [
        ("date,A\n1704153600000000000,10\n", None, (), "cannot read '1704153600000000000' as a date"),
        ("date,A\n2024-01-02,10\n02/01/2024,11\n", None, (), "line 3, column 'date': cannot read '02/01/2024'"),
        ("date,A\n2024-01-02,10\n,11\n", None, (), "line 3, column 'date'"),
        ("date,A\n2024-01-02,0\n2024-01-03,11\n", None, (), "1 zero, negative or infinite price(s): ('A', 2024-01-02)"),
        ("date,A\n2024-01-02,-5\n2024-01-03,11\n", None, (), "('A', 2024-01-02): -5"),
        ("date,A\n2024-01-02,inf\n2024-01-03,11\n", None, (), "infinite"),
        ("date,A\n2024-01-02,\"1,5\"\n", None, (), "line 2, column 'A': cannot read '1,5' as a number (ambiguous"),
        ("date,A\n2024-01-02,abc\n", None, (), "line 2, column 'A': cannot read 'abc' as a number"),
        ("date,A\n2024-01-02,10\n2024-01-02,11\n", None, (), "line 3: the date 2024-01-02 appears more than once"),
        ("date,ticker,close\n2024-01-02,A,1\n2024-01-02,A,1\n", None, (), "more than one row for A on 2024-01-02"),
        ("date,ticker,close\n2024-01-02,,1\n", None, (), "line 2, column 'ticker': the symbol is missing"),
        ("date\n2024-01-02\n", None, (), "no symbol columns"),
        ("date,A\n", None, (), "has no rows"),
        ("\x00\x01\x02garbage", None, (), "quorex: error:"),
        ("Date,Open,Close\n2024-01-02,1,1\n", None, ("--adjusted",), "--adjusted needs both"),
        (GOOD_PRICES, "date,B\n2024-01-02,1\n", (), "have weights but no prices: 'B'"),
        ("date,A,B\n2024-01-02,10,\n2024-01-03,11,\n", "date,A,B\n2024-01-02,0.5,0.5\n", (), "no prices (the close"),
        (GOOD_PRICES, "date,A\n2024-01-02,maybe\n", (), "cannot read 'maybe' as a number"),
        (GOOD_PRICES, None, ("--fee-ratio", "0.1425"), "for 0.1425 % pass 0.001425"),
        (GOOD_PRICES, None, ("--tax-ratio", "-0.003"), "tax_ratio must be 0 or more"),
        (GOOD_PRICES, None, ("--stop-loss", "-0.1"), "--stop-loss must be a positive fraction"),
        (GOOD_PRICES, None, ("--trade-at", "open"), "needs an 'open' price frame"),
        (GOOD_PRICES, None, ("--touched-exit",), "touched_exit needs prices"),
        (GOOD_PRICES, None, ("--rebalance", "fortnightly"), "unknown frequency"),
        (GOOD_PRICES, None, ("--open", "missing.csv"), "missing.csv: no such file"),
        ("date,symbol,close,open\n2024-01-02,A,1,1\n", None, ("--open", "PRICES"), "already has open prices"),
        ("date,A\n2024-01-02,10\n", None, ("--market", "mars"), "invalid choice: 'mars'"),
    ],
)
def test_every_bad_file_is_one_line_and_status_2(tmp_path, capsys, prices, weights, extra, message):
    price_path = write(tmp_path / "p.csv", prices)
    weight_path = write(tmp_path / "w.csv", weights or GOOD_WEIGHTS)
    extra = tuple(str(price_path) if a == "PRICES" else str(tmp_path / a) if a.endswith(".csv") else a for a in extra)
    status = cli.main(["run", "--prices", str(price_path), "--weights", str(weight_path), *extra])
    err = capsys.readouterr().err
    assert status == 2 and err.count("\n") == 1 and message in err and "Traceback" not in err, err


def test_settings_are_checked_before_any_file_is_read(tmp_path, capsys):
    status = cli.main(["run", "--prices", "nowhere.csv", "--weights", "nowhere.csv", "--fee-ratio", "-1"])
    assert status == 2 and "fee_ratio must be 0 or more" in capsys.readouterr().err


def test_unexpected_failure_is_still_one_line(monkeypatch, capsys):
    def broken(args):
        raise ZeroDivisionError("float division")

    monkeypatch.setattr(cli, "_cmd_health", broken)
    assert cli.main(["health"]) == 2
    assert capsys.readouterr().err == "quorex: error: ZeroDivisionError: float division\n"


def test_zero_price_in_a_real_process(tmp_path):
    prices = write(tmp_path / "p.csv", "date,A\n2024-01-02,10\n2024-01-03,0\n2024-01-04,11\n")
    weights = write(tmp_path / "w.csv", GOOD_WEIGHTS)
    done = run("run", "--prices", str(prices), "--weights", str(weights))
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and "('A', 2024-01-03)" in done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""


@pytest.mark.parametrize("arrow", [True, False])
def test_thousands_rule_with_and_without_pyarrow(monkeypatch, tmp_path, arrow):
    if not arrow:
        # Hidden from the reader only: pandas 3 keeps its text columns in pyarrow when it has it.
        real_import = builtins.__import__

        def import_without_pyarrow(name, globals=None, *args, **kwargs):
            if name.split(".")[0] == "pyarrow" and (globals or {}).get("__name__") == files.__name__:
                raise ImportError(f"no module named {name!r}")
            return real_import(name, globals, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", import_without_pyarrow)
    good = write(tmp_path / "p.csv", 'date,code,close\n2024-01-02,0050,"1,234.5"\n2024-01-02,2330," 987"\n')
    got = files.load_prices(good)
    assert got.loc["2024-01-02"].to_dict() == {"0050": 1234.5, "2330": 987.0}
    bad = write(tmp_path / "q.csv", 'date,code,close\n2024-01-02,A,"12,5"\n')
    with pytest.raises(files.CliError, match=r"line 2, column 'close': cannot read '12,5'"):
        files.load_prices(bad)


def test_wide_boolean_weights_with_gaps_stay_booleans(tmp_path):
    got = files.load_weights(write(tmp_path / "w.csv", "date,A,B\n2024-01-01,True,\n2024-01-02,False,True\n"))
    assert got["A"].dtype == bool and got["B"].tolist()[1] is True and pd.isna(got["B"].iloc[0])

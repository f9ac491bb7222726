"""The command line: file layouts, the demo and run commands, and one-line errors."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorex import cli

DATES = pd.bdate_range("2024-01-01", periods=60)


@pytest.fixture(scope="module")
def market() -> pd.DataFrame:
    rng = np.random.default_rng(3)
    steps = rng.normal(0.0005, 0.01, (len(DATES), 3))
    return pd.DataFrame(50 * np.exp(np.cumsum(steps, axis=0)), index=DATES, columns=["2330", "2317", "1101"])


def long(frame: pd.DataFrame, name: str = "value") -> pd.DataFrame:
    return frame.rename_axis(index="date", columns="symbol").stack().rename(name).reset_index()


@pytest.mark.parametrize("layout", ["wide", "long", "ohlc"])
@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_price_layouts_round_trip(tmp_path, market, layout, suffix):
    if layout == "wide":
        data = market.rename_axis("Date").reset_index()
    elif layout == "long":
        data = long(market)
    else:
        data = long(market, "close").merge(long(market * 0.99, "open"), on=["date", "symbol"])
        data.columns = [c.upper() for c in data.columns]  # names match without regard to case
    path = tmp_path / f"prices{suffix}"
    data.to_csv(path, index=False) if suffix == ".csv" else data.to_parquet(path, index=False)
    prices = cli.load_prices(path)
    close = prices["close"] if isinstance(prices, dict) else prices
    # The files' dates come back in nanoseconds, whatever unit pandas gave the market.
    expected = market.set_axis(market.index.as_unit("ns"))
    pd.testing.assert_frame_equal(
        close[market.columns].rename_axis(index=None), expected, check_freq=False, check_names=False
    )
    if layout == "ohlc":
        assert set(prices) == {"close", "open"}


def test_long_boolean_weights_keep_their_type(tmp_path, market):
    picks = long(market > 50)
    path = tmp_path / "w.csv"
    picks.to_csv(path, index=False)
    assert (cli.load_weights(path).dtypes == bool).all()


def test_long_boolean_weights_without_a_row_are_false_there(tmp_path):
    path = tmp_path / "w.csv"
    path.write_text("date,symbol,value\n2024-01-02,A,True\n2024-01-02,B,False\n2024-01-03,A,True\n")
    got = cli.load_weights(path)
    assert (got.dtypes == bool).all() and got.to_numpy().tolist() == [[True, False], [True, False]]


def _run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "quorex", *args], capture_output=True, text=True, timeout=120
    )


def test_demo_writes_parseable_outputs(tmp_path):
    done = _run("demo", "--out", str(tmp_path), "--stocks", "40", "--years", "2")
    assert done.returncode == 0, done.stderr
    assert "SYNTHETIC" in done.stdout and "Sharpe ratio" in done.stdout
    trades = pd.read_csv(tmp_path / "trades.csv", parse_dates=["entry_date", "exit_date"])
    assert len(trades) > 0 and {"stock_id", "mae", "return", "turnover@entry_date"} <= set(trades.columns)
    equity = pd.read_csv(tmp_path / "equity.csv", index_col="date", parse_dates=True)
    assert equity["creturn"].notna().all()
    assert (tmp_path / "equity.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and "Monthly momentum on a synthetic market" in page


def test_run_on_user_files(tmp_path, market):
    market.rename_axis("date").reset_index().to_csv(tmp_path / "prices.csv", index=False)
    weights = (market.pct_change(5) > 0).iloc[5:]
    long(weights).to_parquet(tmp_path / "weights.parquet")
    done = _run(
        "run", "--prices", str(tmp_path / "prices.csv"), "--weights", str(tmp_path / "weights.parquet"),
        "--rebalance", "W-FRI", "--stop-loss", "0.08", "--out", str(tmp_path / "out"), "--html",
    )
    assert done.returncode == 0, done.stderr
    assert "Annual return" in done.stdout
    assert len(pd.read_csv(tmp_path / "out" / "trades.csv")) > 0
    assert "<h2>Best and worst trades" in (tmp_path / "out" / "report.html").read_text(encoding="utf-8")


def test_html_without_an_output_directory_is_refused(capsys):
    status = cli.main(["run", "--prices", "p.csv", "--weights", "w.csv", "--html"])
    assert status == 2 and "--html needs --out" in capsys.readouterr().err


def _write(path: Path, text: str) -> Path:
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "prices, weights, message",
    [
        ("missing.csv", None, "no such file"),
        ("p.xlsx", None, "unknown file type"),
        ("p.csv", "date,symbol,value\n2024-01-01,A,1\n2024-01-01,A,1\n", "more than one row for A"),
        ("p.csv", "date,symbol,weight\n2024-01-01,A,1\n", "needs a 'value' column"),
        ("p.csv", "date,B\n2024-01-01,1\n", "have weights but no prices: 'B'"),
        ("p.csv", "date,A\nyesterday,1\n", "line 2, column 'date': cannot read 'yesterday' as a date"),
    ],
)
def test_bad_files_exit_2_with_one_line(tmp_path, capsys, prices, weights, message):
    price_path = tmp_path / prices
    if prices != "missing.csv":
        _write(price_path, "date,A\n2024-01-01,10\n2024-01-02,11\n")
    weight_path = _write(tmp_path / "w.csv", weights or "date,A\n2024-01-01,1\n")
    status = cli.main(["run", "--prices", str(price_path), "--weights", str(weight_path)])
    err = capsys.readouterr().err
    assert status == 2 and err.count("\n") == 1 and message in err, err


@pytest.mark.parametrize(
    "args, message",
    [(("run", "--prices", "x.csv"), "--weights"), (("run", "--prices", "x.csv", "--weights", "y.pq"), "no such file")],
)
def test_errors_in_a_real_process_are_one_line(args, message):
    done = _run(*args)
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and message in done.stderr
    assert done.stdout == ""

"""The command line: one set of data options for run and sweep, outputs written whole, Ctrl-C, files
that are not what they claim."""

from __future__ import annotations

import gzip
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorex import cli

DATES = pd.bdate_range("2024-01-01", periods=80)


@pytest.fixture()
def files(tmp_path):
    rng = np.random.default_rng(4)
    close = pd.DataFrame(50 * np.exp(np.cumsum(rng.normal(0.0005, 0.01, (len(DATES), 3)), axis=0)),
                         index=DATES, columns=["AAPL", "MSFT", "IBM"])
    close.to_csv(tmp_path / "prices.csv", index_label="date")
    (close * 0.995).to_csv(tmp_path / "open.csv", index_label="date")
    (close.rank(axis=1) <= 2).to_csv(tmp_path / "weights.csv", index_label="date")
    return tmp_path


def run(args, capsys):
    status = cli.main([str(a) for a in args])
    out = capsys.readouterr()
    return status, out.out, out.err


def sweep_args(files, *extra):
    return ["sweep", "--prices", files / "prices.csv", "--weights", files / "weights.csv",
            "--out", files / "sweep", *extra]


# ---------------------------------------------------------------------------
# One group of data options


def test_sweep_takes_the_market_and_says_what_it_costs(files, capsys):
    status, out, err = run(sweep_args(files, "--grid", "stop_loss=none,0.05", "--market", "US"), capsys)
    assert status == 0, err
    assert "costs: fee 0 %, tax on sales 0 % (market us)" in out
    table = pd.read_csv(files / "sweep" / "sweep.csv")
    status, out, _ = run(sweep_args(files, "--grid", "stop_loss=none,0.05", "--fee-ratio", "0.001"), capsys)
    assert "costs: fee 0.1 %, tax on sales 0.3 % (market tw)" in out
    assert (pd.read_csv(files / "sweep" / "sweep.csv")["final_equity"] < table["final_equity"]).all()


@pytest.mark.parametrize("command", ["run", "sweep"])
def test_run_and_sweep_share_every_data_option(files, capsys, command):
    options = ["--open", files / "open.csv", "--trade-at", "open", "--market", "us", "--bad-prices", "missing",
               "--rebalance", "W-FRI", "--tax-ratio", "0.001"]
    args = (["run", "--prices", files / "prices.csv", "--weights", files / "weights.csv", "--out", files / "run"]
            if command == "run" else sweep_args(files, "--grid", "position_limit=0.5,1"))
    status, out, err = run([*args, *options], capsys)
    assert status == 0, err
    if command == "sweep":
        assert "tax on sales 0.1 %" in out


def test_a_sweep_where_every_set_failed_exits_2(files, capsys):
    pd.DataFrame({"date": DATES, "ZZZ": 1.0}).to_csv(files / "weights.csv", index=False)  # no prices
    status, out, err = run(sweep_args(files, "--grid", "stop_loss=0.05,0.1"), capsys)
    assert status == 2 and err.count("\n") == 1
    assert "all 2 sets failed; the first: ValueError: weights: 1 symbol(s) have weights but no prices" in err
    assert not (files / "sweep" / "sweep.csv").exists()


def test_percent_stops_are_refused_with_the_hint(files, capsys):
    status, _, err = run(["run", "--prices", files / "prices.csv", "--weights", files / "weights.csv",
                          "--stop-loss", "10"], capsys)
    assert status == 2 and "--stop-loss 10 means a fall of 1000 %; exit distances are fractions: for 10 % pass 0.1" in err


# ---------------------------------------------------------------------------
# Outputs written whole


def listing(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


def test_a_failed_run_leaves_the_earlier_outputs_as_they_were(files, capsys, monkeypatch):
    out = files / "run"
    base = ["run", "--prices", files / "prices.csv", "--weights", files / "weights.csv", "--out", out]
    assert run([*base, "--html"], capsys)[0] == 0
    before = listing(out)
    assert set(before) == {"trades.csv", "round_trips.csv", "equity.csv", "equity.png", "report.html"}

    def full_disk(self, *args, **kwargs):
        raise OSError(28, "No space left on device")

    from quorex.backtest.report import Report

    monkeypatch.setattr(Report, "to_html", full_disk)
    status, _, err = run([*base, "--html", "--stop-loss", "0.05"], capsys)
    assert status == 2 and "No space left on device" in err
    assert listing(out) == before  # no cut-off file, nothing half new


def test_a_new_run_replaces_the_whole_set(files, capsys):
    out = files / "run"
    base = ["run", "--prices", files / "prices.csv", "--weights", files / "weights.csv", "--out", out]
    assert run([*base, "--html"], capsys)[0] == 0
    (out / "notes.txt").write_text("mine")
    assert run([*base, "--stop-loss", "0.02"], capsys)[0] == 0
    # The earlier run's page would describe other settings: gone; the user's own file stays.
    assert sorted(p.name for p in out.iterdir()) == ["equity.csv", "equity.png", "notes.txt", "round_trips.csv",
                                                     "trades.csv"]


# ---------------------------------------------------------------------------
# Ctrl-C


# The command line, with a mark left when the first chunk of sets starts (in any worker). The
# native modules are imported first: an editable install checks its build when they load.
DRIVER = """
import importlib
import sys
from pathlib import Path
from quorex import cli
from quorex.core import engine, metrics, simloop, textkit, tradearc
execution = importlib.import_module("quorex.research.execution")
transport = importlib.import_module("quorex.research.transport")

def marked(*args, run_chunk=execution.run_chunk):
    Path(sys.argv[1]).touch()
    return run_chunk(*args)

def shared(*args, share=transport.share):
    handle, block = share(*args)
    Path(sys.argv[1] + ".block").write_text(block.name)
    return handle, block

execution.run_chunk = marked
transport.share = shared
sys.exit(cli.main(sys.argv[2:]))
"""


def wait_for(path: Path, process: subprocess.Popen) -> bool:
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and process.poll() is None:
        if path.exists():
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("workers", [None, 2])
def test_ctrl_c_stops_a_sweep_within_two_seconds(tmp_path, workers):
    rng = np.random.default_rng(0)
    dates = pd.bdate_range("2010-01-04", periods=2500)
    close = pd.DataFrame(50 * np.exp(np.cumsum(rng.normal(0.0003, 0.015, (len(dates), 150)), axis=0)),
                         index=dates, columns=[f"S{i}" for i in range(150)])
    close.to_csv(tmp_path / "prices.csv", index_label="date")
    (close.pct_change(20).rank(axis=1) <= 15).to_csv(tmp_path / "weights.csv", index_label="date")
    stops = ",".join(f"{x:.3f}" for x in np.linspace(0.01, 0.5, 300))
    args = [sys.executable, "-c", DRIVER, str(tmp_path / "started"), "sweep", "--prices", str(tmp_path / "prices.csv"), "--weights",
            str(tmp_path / "weights.csv"), "--grid", f"stop_loss={stops}", "--out", str(tmp_path / "out")]
    if workers:
        args += ["--workers", str(workers)]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    assert wait_for(tmp_path / "started", process), process.communicate()
    time.sleep(1.0)  # the sets are running
    os.killpg(process.pid, signal.SIGINT)  # what Ctrl-C sends: the whole group
    started = time.perf_counter()
    try:
        _, err = process.communicate(timeout=10)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert time.perf_counter() - started < 2.5
    assert process.returncode == 130 and err == "quorex: interrupted\n", err
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())
    if workers:  # the market's shared memory block is gone
        block = (tmp_path / "started.block").read_text().lstrip("/")
        assert block and not (Path("/dev/shm") / block).exists()
    assert "Traceback" not in err


# ---------------------------------------------------------------------------
# Files that are not what they claim


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_repeated_column_is_refused_naming_it(tmp_path, capsys, suffix):
    frame = pd.DataFrame([["2024-01-01", 1.0, 2.0, 3.0]], columns=["date", "A", "B", "A"])
    path = tmp_path / f"weights{suffix}"
    if suffix == ".csv":
        frame.to_csv(path, index=False)
    else:
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.Table.from_arrays([pa.array(frame.iloc[:, i]) for i in range(4)],
                                            names=list(frame.columns)), path)
    with pytest.raises(cli.CliError, match="the column 'A' appears twice"):
        cli.load_weights(path)


@pytest.mark.parametrize("opener, suffix", [(open, ".csv"), (gzip.open, ".csv.gz")])
def test_a_last_line_cut_off_mid_row_is_refused_naming_it(tmp_path, opener, suffix):
    path = tmp_path / f"weights{suffix}"
    with opener(path, "wt") as handle:
        handle.write("date,A,B,C\n2024-01-01,0.2,0.3,0.5\n2024-01-02,0.2,0.3,0.5\n2024-01-03,0.2,0.")
    with pytest.raises(cli.CliError, match="line 4 has 3 of 4 fields and no line end: the file is cut off"):
        cli.load_weights(path)
    with opener(path, "wt") as handle:  # complete, only without a final newline
        handle.write("date,A,B,C\n2024-01-01,0.2,0.3,0.5\n2024-01-02,0.2,0.3,0.5")
    assert cli.load_weights(path).shape == (2, 3)

"""Many writers on one dataset directory, damaged files, and pages made in many threads at once."""

from __future__ import annotations

import re
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import matplotlib
import pytest

import quorex
from quorex.data import FileStorage
from quorex.demo import momentum_weights
from quorex.io.synthetic import synthetic_market

WRITER = """
import sys
from quorex.data import FileStorage
storage = FileStorage(sys.argv[1])
for k in range(int(sys.argv[3])):
    storage.set(f"{sys.argv[2]}-{k}", list(range(k)))
"""


def test_writers_in_two_processes_lose_nothing(tmp_path):
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path), name, "100"]) for name in "ab"]
    assert [w.wait(timeout=120) for w in writers] == [0, 0]
    storage = FileStorage(tmp_path)
    assert len(storage.names()) == 200
    assert storage.get("a-99") == list(range(99)) and storage.get("b-7") == list(range(7))


def test_storage_objects_in_threads_and_a_stale_reader(tmp_path):
    reader = FileStorage(tmp_path)
    assert reader.names() == []
    barrier = threading.Barrier(4)

    def write(worker: int) -> None:
        storage = FileStorage(tmp_path)
        barrier.wait()
        for k in range(25):
            storage.set(f"{worker}/{k}", k)

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(write, range(4)))
    # A storage object that read the index before sees every later write.
    assert len(reader.names()) == 100 and reader.get("3/24") == 24
    reader.set("3/24", "new")
    assert FileStorage(tmp_path).get("3/24") == "new" and len(list(tmp_path.glob("*.pkl"))) == 100


@pytest.mark.parametrize("damage", ["truncate", "alter"])
def test_a_damaged_dataset_file_is_an_error_naming_it(tmp_path, damage):
    FileStorage(tmp_path).set("prices", list(range(1000)))
    (path,) = tmp_path.glob("*.pkl")
    payload = path.read_bytes()
    path.write_bytes(payload[: len(payload) // 2] if damage == "truncate" else payload.replace(b"\x03", b"\x04", 1))
    with pytest.raises(ValueError, match=f"dataset 'prices': the file {re.escape(str(path))} does not match"):
        FileStorage(tmp_path).get("prices")
    path.unlink()
    with pytest.raises(FileNotFoundError, match="dataset 'prices': its file .* is missing"):
        FileStorage(tmp_path).get("prices")


def test_a_killed_writers_temp_file_is_ignored_and_cleared(tmp_path):
    storage = FileStorage(tmp_path)
    storage.set("kept", 1)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    leftover = tmp_path / f".tmp-{dead.stdout.strip()}-abc"
    leftover.write_bytes(b"half a pickle")
    assert FileStorage(tmp_path).names() == ["kept"] and FileStorage(tmp_path).get("kept") == 1
    storage.clear()
    assert not leftover.exists() and storage.names() == []


# ---------------------------------------------------------------------------
# Pages in threads


def test_pages_made_in_many_threads_equal_the_serial_ones():
    prices = synthetic_market(n_stocks=20, years=2, seed=3)
    prices.pop("turnover")
    reports = [quorex.backtest(momentum_weights(prices["close"], lookback, 4), prices, rebalance="ME", market="us")
               for lookback in (20, 60)]

    def page(report) -> str:
        return re.sub(r"made [^<]* with", "made with", report.to_html())

    settings = dict(matplotlib.rcParams)
    serial = [page(r) for r in reports]
    with ThreadPoolExecutor(6) as pool:
        parallel = list(pool.map(page, reports * 3))
    assert parallel == serial * 3
    assert dict(matplotlib.rcParams) == settings

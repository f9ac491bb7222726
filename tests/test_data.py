"""quorex.data: the local dataset cache."""

from __future__ import annotations

import datetime as dt
import json
import os
import subprocess
import sys
import time

import matplotlib
import pandas as pd
import pytest

from quorex import data
from quorex.data import FileStorage

UTC = dt.timezone.utc


def test_round_trip_and_expiry_time(tmp_path):
    storage = FileStorage(tmp_path / "cache")
    frame = pd.DataFrame({"close": [1.0, 2.0]}, index=pd.date_range("2024-01-01", periods=2))
    when = dt.datetime(2099, 1, 1, 9, tzinfo=dt.timezone(dt.timedelta(hours=8)))
    storage.set("price:close", frame, expires=when)
    storage.set("plain", [1, 2])
    assert storage.get_time_expired("price:close") == when and storage.get_time_expired("price:close").tzinfo == UTC
    assert storage.get_time_expired("plain") is None and storage.get_time_expired("missing") is None
    reopened = FileStorage(tmp_path / "cache")
    assert reopened._cache == {}
    pd.testing.assert_frame_equal(reopened.get("price:close"), frame)
    assert list(reopened._cache) == ["price:close"] and reopened.names() == ["plain", "price:close"]
    assert reopened.get("missing", "fallback") == "fallback"


def test_expired_datasets_are_not_returned(tmp_path):
    storage = FileStorage(tmp_path)
    storage.set("old", 1, expires=dt.timedelta(seconds=-1))
    storage.set("new", 2, expires=dt.timedelta(hours=1))
    assert storage.get("old") is None and "old" not in storage._cache
    assert storage.get("new") == 2
    assert abs(storage.get_time_expired("new") - (dt.datetime.now(UTC) + dt.timedelta(hours=1))) < dt.timedelta(
        minutes=1)
    with pytest.raises(TypeError):
        storage.set("bad", 1, expires="tomorrow")


def test_names_stay_inside_the_directory(tmp_path):
    storage = FileStorage(tmp_path / "cache")
    storage.set("../../escape", 1)
    storage.set("a/b", 2)
    assert sorted(p.parent for p in tmp_path.rglob("*.pkl")) == [tmp_path / "cache"] * 2
    assert FileStorage(tmp_path / "cache").get("../../escape") == 1


def test_clear(tmp_path):
    storage = FileStorage(tmp_path)
    storage.set("a", 1)
    storage.set("b", 2)
    storage.clear("a")
    assert storage.names() == ["b"] and FileStorage(tmp_path).names() == ["b"]
    storage.clear()
    assert storage.names() == [] and storage._cache == {} and list(tmp_path.glob("*.pkl")) == []


def test_unreadable_index_is_an_error_and_left_alone(tmp_path):
    (tmp_path / "index.json").write_text("{not json")
    storage = FileStorage(tmp_path)
    for attempt in (storage.names, lambda: storage.get("a"), lambda: storage.set("a", 1)):
        with pytest.raises(ValueError, match="index.json: the storage index is damaged"):
            attempt()
    assert (tmp_path / "index.json").read_text() == "{not json"
    (tmp_path / "index.json").unlink()
    storage.set("a", 1)
    assert json.loads((tmp_path / "index.json").read_text())["a"]["expires"] is None


def test_default_directory(monkeypatch, tmp_path):
    monkeypatch.setenv(data.DATA_DIR_ENV, str(tmp_path / "here"))
    assert FileStorage().directory == tmp_path / "here"
    monkeypatch.delenv(data.DATA_DIR_ENV)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert data.default_directory() == tmp_path / "quorex"


def test_import_touches_no_disk(tmp_path):
    home = tmp_path / "home"
    env = {k: v for k, v in os.environ.items() if k not in (data.DATA_DIR_ENV, "XDG_CACHE_HOME")}
    env["HOME"] = str(home)
    env["MPLCONFIGDIR"] = matplotlib.get_configdir()  # spares the font cache rebuild under the new home
    code = "import quorex, quorex.data as d, quorex.core.metrics as m; m.Metrics(None); print(d._storage.directory)"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(home / ".cache" / "quorex")
    assert not (home / ".cache" / "quorex").exists()


def test_storage_feeds_metrics_expiry(tmp_path, monkeypatch):
    from quorex.core.metrics import Metrics

    storage = FileStorage(tmp_path)
    storage.set("a", 1, expires=dt.datetime(2090, 1, 1, tzinfo=UTC))
    storage.set("b", 2, expires=dt.datetime(2080, 1, 1, tzinfo=UTC))
    previous = data.set_storage(storage)
    try:
        assert data.get_storage() is storage
        assert Metrics(None).expired() == dt.datetime(2080, 1, 1, tzinfo=UTC).timestamp()
        storage.set("c", 3)
        now = time.time()
        assert now - 5 < Metrics(None).expired() <= time.time()
    finally:
        data.set_storage(previous)

"""Named datasets on disk, each with an optional expiry time.

Datasets (any picklable object, typically pandas Series and DataFrames) are
kept as pickle files in one directory, next to a JSON index that records when
each expires. Only load a directory you wrote yourself: unpickling runs code.
Nothing touches the disk until a dataset is read or written.
"""

from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import pickle
import tempfile
from pathlib import Path
from typing import Any

__all__ = ["DATA_DIR_ENV", "FileStorage", "default_directory"]

DATA_DIR_ENV = "QUOREX_DATA_DIR"
_INDEX_FILE = "index.json"

Expiry = _dt.datetime | _dt.timedelta | None


def default_directory() -> Path:
    """The directory of the default storage (read from the environment)."""
    configured = os.environ.get(DATA_DIR_ENV)
    if configured:
        return Path(configured).expanduser()
    cache_home = os.environ.get("XDG_CACHE_HOME")
    base = Path(cache_home).expanduser() if cache_home else Path.home() / ".cache"
    return base / "quorex"


def _now() -> _dt.datetime:
    return _dt.datetime.now(tz=_dt.timezone.utc)


def _as_utc(expires: Expiry) -> _dt.datetime | None:
    """An expiry as an aware UTC datetime; a naive datetime is local time."""
    if expires is None:
        return None
    if isinstance(expires, _dt.timedelta):
        return _now() + expires
    if isinstance(expires, _dt.datetime):
        return expires.astimezone(_dt.timezone.utc)
    raise TypeError(f"expires must be a datetime, a timedelta or None, not {type(expires).__name__}")


def _write_atomically(path: Path, payload: bytes) -> None:
    """Replace ``path`` in one step, so readers never see a partial file."""
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=".tmp-")
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(payload)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


class FileStorage:
    """Named datasets stored as files in one directory, with expiry times.

    ``_cache`` maps the names of the datasets used in this process (read or
    written) to their values; expired datasets are dropped from it when read.
    """

    def __init__(self, directory: str | os.PathLike[str] | None = None) -> None:
        self.directory = Path(directory).expanduser() if directory is not None else default_directory()
        self._cache: dict[str, Any] = {}
        self._index: dict[str, dict[str, str | None]] | None = None

    def __repr__(self) -> str:
        return f"FileStorage({str(self.directory)!r})"

    # -- index --------------------------------------------------------------

    @property
    def _index_path(self) -> Path:
        return self.directory / _INDEX_FILE

    def _entries(self) -> dict[str, dict[str, str | None]]:
        """The on-disk index, read once; a missing or unreadable one is empty."""
        if self._index is None:
            try:
                loaded = json.loads(self._index_path.read_text(encoding="utf-8"))
            except (OSError, ValueError):
                loaded = {}
            self._index = loaded if isinstance(loaded, dict) else {}
        return self._index

    def _save_index(self) -> None:
        payload = json.dumps(self._entries(), ensure_ascii=False, indent=1, sort_keys=True)
        _write_atomically(self._index_path, payload.encode("utf-8"))

    @staticmethod
    def _file_name(name: str) -> str:
        # Hashing keeps any dataset name ("price:close", "../x") inside the directory.
        return hashlib.sha256(name.encode("utf-8")).hexdigest()[:32] + ".pkl"

    # -- public interface ---------------------------------------------------

    def names(self) -> list[str]:
        """Names of all stored datasets, expired or not."""
        return sorted(self._entries())

    def get_time_expired(self, name: str) -> _dt.datetime | None:
        """When ``name`` expires (aware, UTC), or None if unknown or never."""
        entry = self._entries().get(name)
        if not isinstance(entry, dict) or not entry.get("expires"):
            return None
        try:
            expires = _dt.datetime.fromisoformat(str(entry["expires"]))
        except ValueError:
            return None
        return _as_utc(expires)

    def is_expired(self, name: str, now: _dt.datetime | None = None) -> bool:
        """Whether ``name`` has an expiry time that has passed."""
        expires = self.get_time_expired(name)
        return expires is not None and expires <= (now or _now())

    def set(self, name: str, value: Any, expires: Expiry = None) -> None:
        """Store ``value`` under ``name``; ``expires`` is a time or a lifetime."""
        when = _as_utc(expires)
        self.directory.mkdir(parents=True, exist_ok=True)
        file_name = self._file_name(name)
        _write_atomically(self.directory / file_name, pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
        self._entries()[name] = {"file": file_name, "expires": when.isoformat() if when else None}
        self._save_index()
        self._cache[name] = value

    def get(self, name: str, default: Any = None) -> Any:
        """The dataset ``name``, or ``default`` when absent or expired."""
        if self.is_expired(name):
            self._cache.pop(name, None)
            return default
        if name in self._cache:
            return self._cache[name]
        entry = self._entries().get(name)
        if not isinstance(entry, dict):
            return default
        try:
            payload = (self.directory / self._file_name(name)).read_bytes()
        except FileNotFoundError:
            return default
        value = pickle.loads(payload)
        self._cache[name] = value
        return value

    def clear(self, name: str | None = None) -> None:
        """Remove one dataset, or all of them, from memory and disk."""
        names = list(self._entries()) if name is None else [name]
        for each in names:
            self._cache.pop(each, None)
            (self.directory / self._file_name(each)).unlink(missing_ok=True)
            self._entries().pop(each, None)
        if name is None:
            self._cache.clear()
        if self._index_path.exists():
            self._save_index()

"""Named datasets on disk, each with an optional expiry time.

Datasets (any picklable object, typically pandas Series and DataFrames) are
kept as pickle files in one directory, next to a JSON index that records
each one's file, expiry and checksum. Only load a directory you wrote
yourself: unpickling runs code. Nothing touches the disk until a dataset is
read or written.

Any number of processes (and storage objects) may write to one directory
at once: the index is changed only under an exclusive lock on the
directory's lock file and always from the index on disk, so no writer
drops another's dataset. A dataset file is written completely under a
name of its own before the index points to it; a writer that is killed
leaves only a temp file, which readers ignore and ``clear()`` removes.
"""

from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import pickle
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from quorex.io.atomic import TEMP_PREFIX, remove_leftovers, write_atomically

try:
    import fcntl
except ImportError:  # not POSIX: one writing process at a time
    fcntl = None

__all__ = ["DATA_DIR_ENV", "FileStorage", "default_directory"]

DATA_DIR_ENV = "QUOREX_DATA_DIR"
_INDEX_FILE = "index.json"
_LOCK_FILE = ".lock"

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


class FileStorage:
    """Named datasets stored as files in one directory, with expiry times.

    ``_cache`` maps the names of the datasets used in this process (read or
    written) to their values; expired datasets are dropped from it when read.
    """

    def __init__(self, directory: str | os.PathLike[str] | None = None) -> None:
        self.directory = Path(directory).expanduser() if directory is not None else default_directory()
        self._cache: dict[str, Any] = {}
        self._index: dict[str, dict[str, str | None]] | None = None
        self._index_stamp: tuple[int, int, int] | None = None
        self._thread_lock = threading.RLock()

    def __repr__(self) -> str:
        return f"FileStorage({str(self.directory)!r})"

    # -- index --------------------------------------------------------------

    @property
    def _index_path(self) -> Path:
        return self.directory / _INDEX_FILE

    def _stamp(self) -> tuple[int, int, int] | None:
        try:
            status = self._index_path.stat()
        except FileNotFoundError:
            return None
        return status.st_ino, status.st_mtime_ns, status.st_size

    def _read_index(self) -> dict[str, dict[str, str | None]]:
        """The index on disk (empty when there is none); an unreadable one is an error."""
        try:
            text = self._index_path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return {}
        except (OSError, UnicodeDecodeError) as exc:
            raise OSError(f"{self._index_path}: cannot read the storage index ({exc})") from None
        try:
            loaded = json.loads(text)
            problem = None if isinstance(loaded, dict) else "not a mapping of datasets"
        except ValueError as exc:
            problem = str(exc)
        if problem is not None:
            raise ValueError(
                f"{self._index_path}: the storage index is damaged ({problem}); it is left as it is: "
                "repair it, or move it away to start an empty index"
            )
        return loaded

    def _entries(self) -> dict[str, dict[str, str | None]]:
        """The index as it is on disk now: read again whenever another writer replaced it."""
        stamp = self._stamp()
        if self._index is None or stamp != self._index_stamp:
            self._index, self._index_stamp = self._read_index(), stamp
        return self._index

    @contextmanager
    def _locked(self) -> Iterator[None]:
        """Exclusive use of the index, against other threads, storage objects and processes."""
        self.directory.mkdir(parents=True, exist_ok=True)
        with self._thread_lock, open(self.directory / _LOCK_FILE, "a+b") as handle:
            if fcntl is not None:
                fcntl.flock(handle.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                if fcntl is not None:
                    fcntl.flock(handle.fileno(), fcntl.LOCK_UN)

    def _change_index(self, change: Callable[[dict[str, dict[str, str | None]]], None]) -> None:
        """Apply ``change`` to the index on disk and write it back, under the lock."""
        with self._locked():
            entries = self._read_index()
            change(entries)
            payload = json.dumps(entries, ensure_ascii=False, indent=1, sort_keys=True)
            write_atomically(self._index_path, payload.encode("utf-8"))
            self._index, self._index_stamp = entries, self._stamp()

    @staticmethod
    def _file_name(name: str, digest: str = "") -> str:
        # Hashing keeps any dataset name ("price:close", "../x") inside the directory; the
        # content's digest gives every version its own file, so a writer never replaces
        # the file another writer's index entry points to.
        stem = hashlib.sha256(name.encode("utf-8")).hexdigest()[:32]
        return f"{stem}-{digest[:16]}.pkl" if digest else f"{stem}.pkl"

    def _entry_file(self, name: str, entry: dict[str, str | None]) -> Path:
        return self.directory / str(entry.get("file") or self._file_name(name))

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
        payload = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
        digest = hashlib.sha256(payload).hexdigest()
        file_name = self._file_name(name, digest)
        self.directory.mkdir(parents=True, exist_ok=True)
        write_atomically(self.directory / file_name, payload)

        def add(entries: dict[str, dict[str, str | None]]) -> None:
            previous = entries.get(name)
            entries[name] = {"file": file_name, "expires": when.isoformat() if when else None, "sha256": digest}
            if isinstance(previous, dict) and previous.get("file") != file_name:
                self._entry_file(name, previous).unlink(missing_ok=True)

        self._change_index(add)
        self._cache[name] = value

    def get(self, name: str, default: Any = None) -> Any:
        """The dataset ``name``, or ``default`` when absent or expired.

        A dataset file that is missing, cut short or altered (its checksum
        differs from the index's) is an error naming the dataset and the file.
        """
        if self.is_expired(name):
            self._cache.pop(name, None)
            return default
        if name in self._cache:
            return self._cache[name]
        entry = self._entries().get(name)
        if not isinstance(entry, dict):
            return default
        path = self._entry_file(name, entry)
        try:
            payload = path.read_bytes()
        except FileNotFoundError:
            if self._entries().get(name) != entry:  # replaced by another writer meanwhile
                return self.get(name, default)
            raise FileNotFoundError(f"dataset {name!r}: its file {path} is missing") from None
        expected = entry.get("sha256")
        if expected and hashlib.sha256(payload).hexdigest() != expected:
            raise ValueError(
                f"dataset {name!r}: the file {path} does not match its checksum (cut short or altered); "
                f"store the dataset again or clear it (clear({name!r}))"
            )
        value = pickle.loads(payload)
        self._cache[name] = value
        return value

    def clear(self, name: str | None = None) -> None:
        """Remove one dataset, or all of them (and the temp files of killed writers), from memory and disk."""
        if not self.directory.exists():
            for each in list(self._cache) if name is None else [name]:
                self._cache.pop(each, None)
            return

        def remove(entries: dict[str, dict[str, str | None]]) -> None:
            for each in list(entries) if name is None else [name]:
                entry = entries.pop(each, None)
                self._cache.pop(each, None)
                if isinstance(entry, dict):
                    self._entry_file(each, entry).unlink(missing_ok=True)
                (self.directory / self._file_name(each)).unlink(missing_ok=True)

        self._change_index(remove)
        if name is None:
            self._cache.clear()
            remove_leftovers(self.directory, TEMP_PREFIX)

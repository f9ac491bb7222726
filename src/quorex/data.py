"""The package's storage of named datasets (``quorex.data``).

The storage in use lives in ``$QUOREX_DATA_DIR``, else
``$XDG_CACHE_HOME/quorex``, else ``~/.cache/quorex``; ``set_storage``
replaces it. ``quorex.core.metrics`` reads the storage in use here to report
when the datasets used in the process expire.
"""

from __future__ import annotations

from quorex.io.storage import DATA_DIR_ENV, FileStorage, default_directory

__all__ = ["DATA_DIR_ENV", "FileStorage", "default_directory", "get_storage", "set_storage"]

_storage: FileStorage = FileStorage()


def get_storage() -> FileStorage:
    """The storage the package reads and writes datasets through."""
    return _storage


def set_storage(storage: FileStorage) -> FileStorage:
    """Make ``storage`` the package's storage; returns the previous one."""
    global _storage
    previous, _storage = _storage, storage
    return previous

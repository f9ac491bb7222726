"""A Dask cluster at full speed for a sweep, without changing its settings.

Dask's nanny starts every worker process with ``MALLOC_TRIM_THRESHOLD_=65536``.
Giving glibc any of its allocation thresholds switches off its adaptive
mmap threshold, so in such a worker every allocation above 128 KiB (the
engine's working arrays, a run's result arrays, most temporaries of its
figures) is a fresh mapping that the kernel zeroes page by page and that is
unmapped again when freed. A set ran about 1.7 times as slow in a worker as
in the client. While a sweep runs, ``FastHeap`` gives the workers the
thresholds glibc's adaptive scheme reaches for such arrays by itself (heap
memory up to 32 MiB a block, returned to the system beyond 64 MiB free),
and when the sweep ends it puts back the ones the worker was started with.
"""

from __future__ import annotations

import ctypes
import os
import threading
import weakref
from typing import Any

from distributed.diagnostics.plugin import WorkerPlugin

M_TRIM_THRESHOLD = -1
M_MMAP_THRESHOLD = -3
SWEEP_SETTINGS = {M_MMAP_THRESHOLD: 32 << 20, M_TRIM_THRESHOLD: 64 << 20}
# glibc's values when none is given, and the variables that give them.
STARTED_WITH = {M_MMAP_THRESHOLD: ("MALLOC_MMAP_THRESHOLD_", 128 << 10),
                M_TRIM_THRESHOLD: ("MALLOC_TRIM_THRESHOLD_", 128 << 10)}


def _mallopt(settings: dict[int, int]) -> None:
    try:
        mallopt = ctypes.CDLL(None).mallopt  # glibc and musl; elsewhere there is nothing to set
    except (OSError, AttributeError):
        return
    for option, value in settings.items():
        mallopt(ctypes.c_int(option), ctypes.c_int(value))


def _started_with() -> dict[int, int]:
    settings = {}
    for option, (variable, default) in STARTED_WITH.items():
        try:
            settings[option] = int(os.environ.get(variable, default))
        except ValueError:
            settings[option] = default
    return settings


class FastHeap(WorkerPlugin):
    """Sets each worker's allocation thresholds for large arrays; restores them on removal."""

    name = "quorex-sweep-fast-heap"

    def setup(self, worker: Any) -> None:
        _mallopt(SWEEP_SETTINGS)

    def teardown(self, worker: Any) -> None:
        _mallopt(_started_with())


# Sweeps of this process running on each client: the plugin stays while any runs.
_running: weakref.WeakKeyDictionary[Any, int] = weakref.WeakKeyDictionary()
_running_lock = threading.Lock()


def fast_heap_on(client: Any) -> None:
    """Give ``client``'s workers ``FastHeap`` for a sweep (once for overlapping sweeps)."""
    with _running_lock:
        count = _running.get(client, 0)
        _running[client] = count + 1
        if count == 0:
            client.register_plugin(FastHeap(), name=FastHeap.name)


def fast_heap_off(client: Any) -> None:
    """The sweep on ``client`` ended: restore its workers' settings when no other sweep runs."""
    with _running_lock:
        count = _running.get(client, 1) - 1
        if count > 0:
            _running[client] = count
            return
        _running.pop(client, None)
        if client.status == "running":
            client.unregister_worker_plugin(FastHeap.name)

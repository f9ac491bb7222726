"""How a sweep's workload reaches its workers: shared memory for a process pool, a broadcast
to a Dask cluster, a plain reference for threads.

A worker process maps the market once and reuses it for every later chunk
of the same sweep; a Dask cluster keeps the last market each client sent,
so a grid refined step by step does not send it again.
"""

from __future__ import annotations

import os
import pickle
import threading
import uuid
import warnings
import weakref
from collections import OrderedDict
from concurrent.futures import Executor, ProcessPoolExecutor
from dataclasses import dataclass
from multiprocessing import shared_memory
from typing import Any

from quorex.research.workload import Workload

# Markets attached by this (worker) process, newest last.
_ATTACHED: OrderedDict[str, tuple[shared_memory.SharedMemory, Workload]] = OrderedDict()
_ATTACHED_LIMIT = 2
_ATTACH_LOCK = threading.Lock()
_ALIGN = 64


@dataclass(frozen=True)
class SharedWorkload:
    """A workload pickled into one shared-memory block: the header, then its large buffers."""

    token: str
    block: str
    header_size: int
    buffer_sizes: tuple[int, ...]


def _aligned(size: int) -> int:
    return -(-size // _ALIGN) * _ALIGN


def share(workload: Workload) -> tuple[SharedWorkload, shared_memory.SharedMemory]:
    """The workload in shared memory; NumPy buffers are written once, outside the pickle."""
    buffers: list[pickle.PickleBuffer] = []
    try:
        header = pickle.dumps(workload, protocol=5, buffer_callback=buffers.append)
    except (pickle.PicklingError, TypeError, AttributeError) as exc:
        raise ValueError(f"the strategy or an argument cannot be sent to worker processes: {exc}") from None
    raws = [b.raw() for b in buffers]
    total = _aligned(len(header)) + sum(_aligned(r.nbytes) for r in raws)
    room = _shared_memory_room()
    if room is not None and room < total:
        # Writing past a full tmpfs kills the process (SIGBUS) instead of raising.
        raise OSError(f"shared memory has {room / 2**20:.0f} MiB free, the market needs {total / 2**20:.0f} MiB")
    block = shared_memory.SharedMemory(create=True, size=max(total, 1))
    offset = 0
    for data in (memoryview(header), *raws):
        block.buf[offset : offset + data.nbytes] = data
        offset += _aligned(data.nbytes)
    shared = SharedWorkload(uuid.uuid4().hex, block.name, len(header), tuple(r.nbytes for r in raws))
    return shared, block


def _shared_memory_room() -> int | None:
    """Free bytes of the file system behind shared memory blocks (None where there is none to ask)."""
    try:
        status = os.statvfs("/dev/shm")
    except (OSError, AttributeError):
        return None
    return status.f_bavail * status.f_frsize


def attach(shared: SharedWorkload) -> Workload:
    """This process's copy-free view of a shared workload (attached once per process)."""
    with _ATTACH_LOCK:
        if shared.token in _ATTACHED:
            return _ATTACHED[shared.token][1]
        block = shared_memory.SharedMemory(name=shared.block, track=False)
        view = block.buf
        offset = _aligned(shared.header_size)
        buffers = []
        for size in shared.buffer_sizes:
            # Read-only: a strategy that writes into the prices must not change them for other sets.
            buffers.append(view[offset : offset + size].toreadonly())
            offset += _aligned(size)
        workload = pickle.loads(view[: shared.header_size], buffers=buffers)
        _ATTACHED[shared.token] = (block, workload)
        while len(_ATTACHED) > _ATTACHED_LIMIT:
            _ATTACHED.popitem(last=False)  # the arrays keep their mapping alive while in use
        return workload


def resolve(source: Any) -> Workload:
    """The workload a task was given: attached from shared memory, or as it came."""
    return attach(source) if isinstance(source, SharedWorkload) else source


def dask_client(executor: Any) -> Any:
    """``executor`` when it is a Dask ``distributed.Client``, else None."""
    is_dask = type(executor).__module__.startswith("distributed")
    return executor if is_dask and callable(getattr(executor, "get_executor", None)) else None


def worker_count(executor: Any) -> int:
    """The number of workers a sweep plans its chunks for (this machine's cores unless a cluster says)."""
    client = dask_client(executor)
    if client is not None:
        return max(1, sum(client.nthreads().values()))
    return os.cpu_count() or 1


# The last market each Dask client was sent, by content token, kept on its
# workers so that further sweeps of the same market (a grid refined step by
# step) do not send it again. One per client: a new market replaces it.
_cluster_markets: weakref.WeakKeyDictionary[Any, tuple[str, Any]] = weakref.WeakKeyDictionary()
_cluster_markets_lock = threading.Lock()


def scatter_once(client: Any, workload: Workload) -> Any:
    """The workload's future on every worker of ``client``, sent only when its content is new there."""
    from dask.base import tokenize

    token = tokenize(workload.prices, workload.weights, workload.strategy, workload.fixed)
    with _cluster_markets_lock:
        cached = _cluster_markets.get(client)
        if cached is not None and cached[0] == token and cached[1].status == "finished":
            return cached[1]
    future = client.scatter(workload, broadcast=True, hash=False)
    with _cluster_markets_lock:
        previous = _cluster_markets.get(client)
        _cluster_markets[client] = (token, future)
    if previous is not None:
        previous[1].release()
    return future


class Transport:
    """How the workload travels to the workers of one executor, and its clean-up.

    ``pool`` is the executor tasks go to (a Dask client's own executor for a
    client); ``source`` what each task receives in place of the workload.
    """

    def __init__(self, workload: Workload, executor: Executor | Any) -> None:
        self._block: shared_memory.SharedMemory | None = None
        client = dask_client(executor)
        self.pool: Executor = client.get_executor() if client is not None else executor
        if isinstance(executor, ProcessPoolExecutor):
            try:
                self.source, self._block = share(workload)
            except OSError as exc:
                warnings.warn(f"sending the market with every task instead of sharing it: {exc}",
                              RuntimeWarning, stacklevel=4)
                self.source = workload
        elif client is not None:
            self.source = scatter_once(client, workload)
        else:
            self.source = workload

    def close(self) -> None:
        """Release the shared memory block, if there is one."""
        if self._block is not None:
            self._block.close()
            self._block.unlink()

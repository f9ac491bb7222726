"""How a sweep's market and signals reach its workers: shared memory for a process pool,
the cluster's own memory for Dask, plain references for threads.

A worker process maps the market once and reuses it for every later chunk
of the same sweep, and maps each signal (an aligned weights table) once for
all the sets that use it; a Dask cluster keeps the last market each client
sent, so a grid refined step by step does not send it again, and holds each
signal as the result of one task that every chunk of its sets takes as
input.
"""

from __future__ import annotations

import os
import pickle
import threading
import uuid
import warnings
import weakref
from collections import OrderedDict
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass
from multiprocessing import shared_memory
from typing import Any

from quorex.research.interrupt import interrupts_deferred
from quorex.research.signals import Signal
from quorex.research.workload import Workload

# Objects attached by this (worker) process by kind, newest last; the
# oldest beyond the kind's limit are dropped (their arrays keep their
# mapping alive while in use).
_ATTACH_LIMITS = {"market": 2, "signal": 4}
_ATTACHED: dict[str, OrderedDict[str, tuple[shared_memory.SharedMemory, Any]]] = {
    kind: OrderedDict() for kind in _ATTACH_LIMITS
}
_ATTACH_LOCK = threading.Lock()
_ALIGN = 64


@dataclass(frozen=True)
class SharedObject:
    """An object pickled into one shared-memory block: the header, then its large buffers."""

    kind: str  # "market" or "signal"
    token: str
    block: str
    header_size: int
    buffer_sizes: tuple[int, ...]


def _aligned(size: int) -> int:
    return -(-size // _ALIGN) * _ALIGN


def share(value: Any, kind: str) -> tuple[SharedObject, shared_memory.SharedMemory]:
    """``value`` in shared memory; NumPy buffers are written once, outside the pickle."""
    buffers: list[pickle.PickleBuffer] = []
    try:
        header = pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
    except (pickle.PicklingError, TypeError, AttributeError) as exc:
        raise ValueError(f"the strategy or an argument cannot be sent to worker processes: {exc}") from None
    raws = [b.raw() for b in buffers]
    total = _aligned(len(header)) + sum(_aligned(r.nbytes) for r in raws)
    room = _shared_memory_room()
    if room is not None and room < total:
        # Writing past a full tmpfs kills the process (SIGBUS) instead of raising.
        raise OSError(f"shared memory has {room / 2**20:.0f} MiB free, the {kind} needs {total / 2**20:.0f} MiB")
    block = shared_memory.SharedMemory(create=True, size=max(total, 1))
    offset = 0
    for data in (memoryview(header), *raws):
        block.buf[offset : offset + data.nbytes] = data
        offset += _aligned(data.nbytes)
    shared = SharedObject(kind, uuid.uuid4().hex, block.name, len(header), tuple(r.nbytes for r in raws))
    return shared, block


def _shared_memory_room() -> int | None:
    """Free bytes of the file system behind shared memory blocks (None where there is none to ask)."""
    try:
        status = os.statvfs("/dev/shm")
    except (OSError, AttributeError):
        return None
    return status.f_bavail * status.f_frsize


def attach(shared: SharedObject) -> Any:
    """This process's copy-free view of a shared object (attached once per process)."""
    attached = _ATTACHED[shared.kind]
    with _ATTACH_LOCK:
        if shared.token in attached:
            attached.move_to_end(shared.token)
            return attached[shared.token][1]
        block = shared_memory.SharedMemory(name=shared.block, track=False)
        view = block.buf
        offset = _aligned(shared.header_size)
        buffers = []
        for size in shared.buffer_sizes:
            # Read-only: a strategy that writes into the prices must not change them for other sets.
            buffers.append(view[offset : offset + size].toreadonly())
            offset += _aligned(size)
        value = pickle.loads(view[: shared.header_size], buffers=buffers)
        attached[shared.token] = (block, value)
        while len(attached) > _ATTACH_LIMITS[shared.kind]:
            attached.popitem(last=False)
        return value


def resolve(source: Any) -> Any:
    """The object a task was given: attached from shared memory, or as it came."""
    return attach(source) if isinstance(source, SharedObject) else source


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
    """How the market and the signals travel to the workers of one executor, and their clean-up.

    ``pool`` is the executor chunk tasks go to (a Dask client's own executor
    for a client); ``source`` what each task receives in place of the
    workload. A signal is prepared by a task (``prepare``), made available
    to the chunk tasks (``publish``) and released when its sets are done.
    """

    def __init__(self, workload: Workload, executor: Executor | Any) -> None:
        self._blocks: dict[str, shared_memory.SharedMemory] = {}
        self.client = dask_client(executor)
        self.pool: Executor = self.client.get_executor(pure=False) if self.client is not None else executor
        self.shares = isinstance(executor, ProcessPoolExecutor)
        self.source: Any = workload
        if self.shares:
            self.source = self._shared(workload, "market")
        elif self.client is not None:
            from quorex.research.cluster import fast_heap_on

            self.source = scatter_once(self.client, workload)
            fast_heap_on(self.client)

    def _shared(self, value: Any, kind: str) -> Any:
        with interrupts_deferred():  # a block is recorded as soon as it exists
            try:
                handle, block = share(value, kind)
            except OSError as exc:
                warnings.warn(f"sending the {kind} with every task instead of sharing it: {exc}",
                              RuntimeWarning, stacklevel=5)
                return value
            self._blocks[handle.token] = block
        return handle

    def prepare(self, task: Any, params: dict[str, Any]) -> Future:
        """A future of what ``publish`` takes: ``task(source, params)`` run by a worker.

        On Dask the task's future itself (the signal stays on the cluster).
        """
        if self.client is None:
            return self.pool.submit(task, self.source, params)
        ready: Future = Future()
        ready.set_result(self.client.submit(task, self.source, params, pure=False))
        return ready

    def publish(self, prepared: Signal | Any) -> Any:
        """What the chunk tasks of a signal receive: a shared block, the cluster's future or the signal."""
        return self._shared(prepared, "signal") if self.shares else prepared

    def release(self, handle: Any) -> None:
        """Free a signal whose sets are done."""
        if isinstance(handle, SharedObject):
            with interrupts_deferred():
                _unlink(self._blocks.pop(handle.token))
        elif self.client is not None:
            handle.release()

    def close(self) -> None:
        """Release every shared memory block still held, and the cluster's sweep settings."""
        with interrupts_deferred():
            blocks, self._blocks = self._blocks, {}
            for block in blocks.values():
                _unlink(block)
        if self.client is not None:
            from quorex.research.cluster import fast_heap_off

            fast_heap_off(self.client)


def _unlink(block: shared_memory.SharedMemory) -> None:
    block.close()
    block.unlink()

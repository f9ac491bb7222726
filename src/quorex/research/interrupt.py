"""Stopping a sweep at Ctrl-C: pending sets cancelled, running ones stopped between sets, workers ended.

The sweep's scheduler runs inside ``cancel_on_interrupt``. Threads of this
process see the stop through ``stopped`` before each set; worker processes
that the command line starts ignore Ctrl-C (the parent handles it, so no
worker prints a traceback) and are ended by ``WorkerProcesses.close``.
"""

from __future__ import annotations

import os
import signal
import threading
import weakref
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from contextlib import contextmanager
from typing import Any

# Workloads whose sweep was interrupted, by id, with a reference that tells a reused id apart.
_stopped: dict[int, weakref.ref] = {}
_stopped_lock = threading.Lock()


def stop(workload: Any) -> None:
    """Tell the threads running ``workload``'s sets to start no further set."""
    with _stopped_lock:
        for key in [key for key, ref in _stopped.items() if ref() is None]:
            del _stopped[key]
        _stopped[id(workload)] = weakref.ref(workload)


def stopped(workload: Any) -> bool:
    """Whether ``workload``'s sweep was interrupted in this process."""
    ref = _stopped.get(id(workload))
    return ref is not None and ref() is workload


@contextmanager
def cancel_on_interrupt(workload: Any, futures: Callable[[], Iterable[Future]]) -> Iterator[None]:
    """On Ctrl-C inside the block: stop the workload's sets, cancel every future not yet running
    (``futures()``, as they are at that moment), re-raise."""
    try:
        yield
    except KeyboardInterrupt:
        stop(workload)
        for future in futures():
            future.cancel()
        raise


@contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Ctrl-C held back until the block has run to its end, then delivered as it would have been.

    For bookkeeping that must not stop halfway: a shared memory block
    created but not yet recorded, or unlinked but not yet unregistered, is
    reported leaked at exit. Only the main thread is interrupted by Ctrl-C,
    so elsewhere the block runs as it is.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: arrived.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if arrived:
            signal.raise_signal(signal.SIGINT)


def ignore_interrupts(pids: Any = None) -> None:
    """Initializer of a worker process: Ctrl-C is the parent's to handle; report this process's id."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if pids is not None:
        pids.put(os.getpid())


class WorkerProcesses:
    """A process pool whose workers ignore Ctrl-C and that can be ended at once.

    ``executor`` is the pool; ``close(interrupted)`` shuts it down, waiting
    for its workers after a normal end and ending them after an interruption.
    """

    def __init__(self, workers: int) -> None:
        import multiprocessing

        context = multiprocessing.get_context()
        self._pids = context.SimpleQueue()
        self.executor = ProcessPoolExecutor(
            workers, mp_context=context, initializer=ignore_interrupts, initargs=(self._pids,)
        )

    def close(self, interrupted: bool = False) -> None:
        if not interrupted:
            self.executor.shutdown()
            return
        self.executor.shutdown(wait=False, cancel_futures=True)
        while not self._pids.empty():
            try:
                os.kill(self._pids.get(), signal.SIGTERM)
            except (ProcessLookupError, PermissionError):
                pass  # already gone

"""Running a sweep's pending sets on an executor.

The sets are grouped by signal. A signal is prepared by one task (the
strategy called once, its table aligned), published to the workers, and its
sets go out in chunks; when the last chunk of a signal is done the signal is
released. Only a few signals are alive at a time and only two chunks per
worker are in flight, so memory stays flat whatever the number of sets, and
stopping a sweep leaves little to cancel. Each finished chunk goes straight
to the results (memory or a store).
"""

from __future__ import annotations

import math
import os
from collections import deque
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np

from quorex.research.interrupt import cancel_on_interrupt, stopped
from quorex.research.signals import SignalPlan, prepare_signal
from quorex.research.tasks import ChunkOutcome, run_chunk, signal_task
from quorex.research.transport import Transport, worker_count
from quorex.research.workload import Workload

# Chunks in flight per worker: one running and one waiting, so that no
# worker idles while the client files a result.
TASKS_PER_WORKER = 2
# Sets take milliseconds and differ in length: about sixteen chunks per
# worker keep the workers evenly busy to the end.
CHUNKS_PER_WORKER = 16
# The most daily returns one chunk brings back, in bytes (but at least
# CHUNK_SETS sets): a bound on the memory of the results in flight, which
# the allocators keep for reuse once it was needed.
CHUNK_BYTES = 512 << 10
CHUNK_SETS = 16


class Results(Protocol):
    def add(self, chunk: ChunkOutcome) -> None: ...


@dataclass
class Lost:
    """Sets without a result because the executor failed."""

    indices: list[int]
    reason: BaseException


def chunk_length(n_pending: int, n_days: int, workers: int, chunk_size: int | None) -> int:
    """Sets per chunk: ``chunk_size``, or about sixteen chunks per worker within ``CHUNK_BYTES``."""
    if chunk_size is not None:
        return int(chunk_size)
    even = math.ceil(n_pending / (CHUNKS_PER_WORKER * workers))
    return max(1, min(even, max(CHUNK_SETS, CHUNK_BYTES // (8 * max(n_days, 1)))))


@dataclass
class _Signal:
    """A signal's chunks not yet submitted, its handle once published, and its chunks in flight."""

    number: int
    chunks: deque[list[int]]
    handle: Any = None
    running: int = 0

    def unsubmitted(self) -> list[int]:
        """The sets of the chunks not yet submitted (all of them before the signal is published)."""
        return [i for chunk in self.chunks for i in chunk]


def execute(
    workload: Workload,
    sets: list[dict[str, Any]],
    plan: SignalPlan,
    pending: np.ndarray,
    executor: Executor | Any | None,
    chunk_size: int | None,
    results: Results,
    progress: Callable[[int], None],
) -> list[Lost]:
    """Run the ``pending`` sets; each finished chunk goes to ``results``, ``progress`` counts sets."""
    if len(pending) == 0:
        return []
    workers = worker_count(executor)
    size = chunk_length(len(pending), len(workload.calendar.rows), workers, chunk_size)
    groups = [
        _Signal(signal, deque(indices[k : k + size].tolist() for k in range(0, len(indices), size)))
        for signal, indices in plan.groups(pending)
    ]
    if executor is None and len(pending) == 1:
        return _serial(workload, sets, plan, groups, results, progress)
    owned = executor is None
    pool = ThreadPoolExecutor(os.cpu_count() or 1) if owned else executor
    try:
        transport = Transport(workload, pool)
        try:
            return _Scheduler(workload, transport, sets, plan, groups, results, progress, workers).run()
        finally:
            transport.close()
    finally:
        if owned:
            # After Ctrl-C the threads stop before their next set; nobody waits for them.
            pool.shutdown(wait=not stopped(workload), cancel_futures=True)


def _serial(workload: Workload, sets: list[dict[str, Any]], plan: SignalPlan, groups: list[_Signal],
            results: Results, progress: Callable[[int], None]) -> list[Lost]:
    for group in groups:
        signal = prepare_signal(workload, plan.params[group.number])
        for chunk in group.chunks:
            results.add(run_chunk(workload, signal, chunk, [sets[i] for i in chunk]))
            progress(len(chunk))
    return []


class _Scheduler:
    """Prepares signals a few ahead, keeps ``TASKS_PER_WORKER`` chunks per worker in flight.

    On any exit it cancels what has not started and releases every signal;
    on Ctrl-C it also tells this process's threads to start no further set.
    """

    def __init__(self, workload: Workload, transport: Transport, sets: list[dict[str, Any]], plan: SignalPlan,
                 groups: list[_Signal], results: Results, progress: Callable[[int], None], workers: int) -> None:
        self.workload, self.transport, self.sets, self.plan = workload, transport, sets, plan
        self.results, self.progress = results, progress
        self.waiting = deque(groups)
        self.preparing: dict[Future, _Signal] = {}
        self.ready: deque[_Signal] = deque()
        self.running: dict[Future, tuple[_Signal, list[int]]] = {}
        self.task_limit = TASKS_PER_WORKER * workers
        self.signal_limit = workers + 1
        self.published: dict[int, _Signal] = {}
        self.alive = 0
        self.lost: list[Lost] = []

    def run(self) -> list[Lost]:
        try:
            with cancel_on_interrupt(self.workload, self._futures):
                while True:
                    # Chunks first: a pool runs its tasks in order, and a signal prepared
                    # ahead must not hold back (or, if it kills its worker, take down)
                    # the chunks of the signals before it.
                    self._submit_more()
                    self._prepare_more()
                    if not self.preparing and not self.running:
                        return self.lost
                    done, _ = wait(self._futures(), return_when=FIRST_COMPLETED)
                    for future in done:
                        if future in self.preparing:
                            self._prepared(future)
                        else:
                            self._finished(future)
        finally:
            self._cancel()

    def _futures(self) -> list[Future]:
        return [*self.preparing, *self.running]

    def _ready_chunks(self) -> int:
        return sum(len(group.chunks) for group in self.ready)

    def _prepare_more(self) -> None:
        # A signal is prepared ahead while the ready ones have fewer chunks than the workers can take.
        while self.waiting and self.alive < self.signal_limit and (
            self._ready_chunks() + len(self.preparing) * self.task_limit < self.task_limit
        ):
            group = self.waiting.popleft()
            try:
                future = self.transport.prepare(signal_task, self.plan.params[group.number])
            except Exception as exc:  # noqa: BLE001 - a broken pool refuses new work
                self._lose_everything(group, exc)
                return
            self.preparing[future] = group
            self.alive += 1

    def _submit_more(self) -> None:
        while self.ready and len(self.running) < self.task_limit:
            group = self.ready[0]
            chunk = group.chunks.popleft()
            if not group.chunks:
                self.ready.popleft()
            try:
                future = self.transport.pool.submit(
                    run_chunk, self.transport.source, group.handle, chunk, [self.sets[i] for i in chunk]
                )
            except Exception as exc:  # noqa: BLE001 - a broken pool refuses new work
                group.chunks.appendleft(chunk)
                self._lose_everything(group, exc)
                return
            self.running[future] = (group, chunk)
            group.running += 1

    def _prepared(self, future: Future) -> None:
        group = self.preparing.pop(future)
        try:
            group.handle = self.transport.publish(future.result())
            self.published[id(group)] = group
        except Exception as exc:  # noqa: BLE001 - its sets are reported lost, the others go on
            lost = group.unsubmitted()
            self._lose(lost, exc)
            self.progress(len(lost))
            self.alive -= 1
            return
        self.ready.append(group)

    def _finished(self, future: Future) -> None:
        group, chunk = self.running.pop(future)
        group.running -= 1
        try:
            self.results.add(future.result())
        except Exception as exc:  # noqa: BLE001 - the chunk's sets are reported lost
            self._lose(chunk, exc)
        self.progress(len(chunk))
        if group.running == 0 and not group.chunks:
            self._release(group)
            self.alive -= 1

    def _lose(self, indices: list[int], reason: BaseException) -> None:
        self.lost.append(Lost(list(indices), reason))

    def _lose_everything(self, group: _Signal, reason: BaseException) -> None:
        """The pool broke: nothing more can be submitted; what runs still finishes."""
        unsubmitted = [group, *(other for other in self.ready if other is not group), *self.waiting]
        left = [i for other in unsubmitted for i in other.unsubmitted()]
        for other in unsubmitted:
            other.chunks.clear()
        self.ready.clear()
        self.waiting.clear()
        self._lose(left, reason)
        self.progress(len(left))

    def _cancel(self) -> None:
        """Cancel what has not started and release every signal still held (on any exit)."""
        for future in self._futures():
            future.cancel()
        for group in list(self.published.values()):
            self._release(group)

    def _release(self, group: _Signal) -> None:
        self.published.pop(id(group), None)
        handle, group.handle = group.handle, None
        if handle is not None:
            self.transport.release(handle)

"""The tasks a worker runs: a signal prepared once, and a chunk of sets on the workload and
signal it was sent."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from quorex.research.interrupt import stopped
from quorex.research.runs import RUN_FIGURES, run_set
from quorex.research.signals import Signal, prepare_signal
from quorex.research.transport import resolve


@dataclass
class ChunkOutcome:
    """A chunk's sets, their daily returns and figures (``RUN_FIGURES``) by row, the day each first
    held a position (``NO_POSITION`` for none) and their errors.

    One matrix each: a chunk's results are a few allocations, not a few per
    set (small arrays kept between a run's large temporaries would pin the
    allocator's memory for as long as the chunk runs).
    """

    indices: np.ndarray
    returns: np.ndarray  # sets × calendar days
    figures: np.ndarray  # sets × RUN_FIGURES
    first_days: np.ndarray  # int64
    errors: list[str | None]


def signal_task(source: Any, params: dict[str, Any]) -> Signal:
    """The weights of one combination of strategy parameters, aligned on the market."""
    return prepare_signal(resolve(source), params)


def run_chunk(source: Any, signal_source: Any, indices: list[int], settings: list[dict[str, Any]]) -> ChunkOutcome:
    """Run a chunk of sets of one signal; a failing set records its error and the others go on.

    After Ctrl-C (in this process) no further set starts: the outcome then
    holds the sets that ran.
    """
    workload, signal = resolve(source), resolve(signal_source)
    returns = np.empty((len(indices), len(workload.calendar.rows)))
    figures = np.empty((len(indices), len(RUN_FIGURES)))
    first_days = np.empty(len(indices), dtype=np.int64)
    errors: list[str | None] = []
    for k, params in enumerate(settings):
        if stopped(workload):
            break
        error, first_days[k] = run_set(workload, signal, params, returns[k], figures[k])
        errors.append(error)
    ran = len(errors)
    return ChunkOutcome(np.asarray(indices[:ran], dtype=np.int64), returns[:ran], figures[:ran], first_days[:ran],
                        errors)

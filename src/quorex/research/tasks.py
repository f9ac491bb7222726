"""The task a worker runs: a chunk of sets on the workload it was sent."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from quorex.research.interrupt import stopped
from quorex.research.transport import resolve
from quorex.research.workload import SetOutcome, run_set


@dataclass
class ChunkOutcome:
    """The outcomes of a chunk's sets, and the calendar dates of the first set that ran."""

    dates: np.ndarray | None  # int64 nanoseconds
    sets: list[SetOutcome]


def run_chunk(source: Any, indices: list[int], settings: list[dict[str, Any]]) -> ChunkOutcome:
    """Run a chunk of sets; a failing set records its error and the others go on."""
    workload = resolve(source)
    outcome = ChunkOutcome(dates=None, sets=[])
    for index, params in zip(indices, settings):
        if stopped(workload):
            break
        try:
            result, dates = run_set(workload, index, params)
        except Exception as exc:  # noqa: BLE001 - a failing set must not lose the others
            result = SetOutcome.failed(index, exc)
        else:
            if outcome.dates is None:
                outcome.dates = dates
        outcome.sets.append(result)
    return outcome

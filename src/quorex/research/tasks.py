"""The tasks a worker runs: a signal prepared once, and a chunk of sets on the workload and
signal it was sent."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from quorex.research.runs import SetOutcome, run_set
from quorex.research.signals import Signal, prepare_signal
from quorex.research.transport import resolve


@dataclass
class ChunkOutcome:
    """The outcomes of a chunk's sets, in the chunk's order."""

    sets: list[SetOutcome]


def signal_task(source: Any, params: dict[str, Any]) -> Signal:
    """The weights of one combination of strategy parameters, aligned on the market."""
    return prepare_signal(resolve(source), params)


def run_chunk(source: Any, signal_source: Any, indices: list[int], settings: list[dict[str, Any]]) -> ChunkOutcome:
    """Run a chunk of sets of one signal; a failing set records its error and the others go on."""
    workload, signal = resolve(source), resolve(signal_source)
    return ChunkOutcome([run_set(workload, signal, index, params) for index, params in zip(indices, settings)])

"""Where a sweep's outcomes go as its chunks finish: memory, or a store of Parquet files.

A store (``sweep(..., store=DIR)``) keeps each finished chunk in its own
file, so memory stays flat whatever the number of sets, and a sweep stopped
by a crash, a killed worker or Ctrl-C resumes where it stopped: the sets
already in the store are not run again. ``DIR/sweep.json`` names what the
results belong to (the sets, the market, the fixed arguments, the
strategy); ``DIR/parts/*.parquet`` hold one chunk each: per set its index,
its figures (``RUN_FIGURES``), the day it first held a position, its error
and its daily returns. A part is written under a temporary name and renamed
when complete, so a stop never leaves half a part to be read.

Both hand the daily returns back in blocks of sets (``curves``), for the
figures measured at the end over the sweep's common period.
"""

from __future__ import annotations

import json
import os
import threading
import uuid
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from quorex.io.atomic import TEMP_PREFIX, remove_leftovers, write_atomically
from quorex.research.runs import NO_POSITION, RUN_FIGURES
from quorex.research.tasks import ChunkOutcome

STORE_FORMAT = 2
MANIFEST = "sweep.json"
PARTS = "parts"
# Stores reading or writing now, and Arrow's default pool before the first of them (``_on_the_heap``).
_HEAP_LOCK = threading.Lock()
_heap_users = 0
_pool_before: Any = None
# The most daily returns one block of ``MemoryResults.curves`` holds, in bytes: the figures of
# 1,024 curves of 5,000 days ran fastest in blocks of about this size (twice as fast as 128 KiB or 4 MiB).
CURVE_BYTES = 1 << 20


class MemoryResults:
    """Outcomes kept in memory, by set index."""

    def __init__(self, n_sets: int, days: pd.DatetimeIndex) -> None:
        self.days = days
        self.figures = np.full((n_sets, len(RUN_FIGURES)), np.nan)
        self.first_days = np.full(n_sets, NO_POSITION, dtype=np.int64)
        self.errors: list[str | None] = [None] * n_sets
        self.matrix = np.full((len(days), n_sets), np.nan)

    def pending(self) -> np.ndarray:
        return np.arange(len(self.errors))

    def add(self, chunk: ChunkOutcome) -> None:
        self.figures[chunk.indices] = chunk.figures
        self.first_days[chunk.indices] = chunk.first_days
        self.matrix[:, chunk.indices] = chunk.returns.T
        for index, error in zip(chunk.indices.tolist(), chunk.errors):
            self.errors[index] = error

    def rows(self, figures: Mapping[str, np.ndarray]) -> tuple[np.ndarray, list[str | None]]:
        """Every set's ``RUN_FIGURES`` into ``figures`` (one array by name, indexed by set); every
        set's first day with a position, and its error."""
        for k, name in enumerate(RUN_FIGURES):
            figures[name][:] = self.figures[:, k]
        return self.first_days, self.errors

    def returns(self) -> np.ndarray:
        return self.matrix

    def curves(self, first_day: int) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """The daily returns from day ``first_day`` on, in blocks: (sets, days × sets column by column)."""
        rows = len(self.days) - first_day
        width = max(1, CURVE_BYTES // (8 * max(rows, 1)))
        for start in range(0, self.matrix.shape[1], width):
            stop = min(start + width, self.matrix.shape[1])
            yield np.arange(start, stop), np.asfortranarray(self.matrix[first_day:, start:stop])


def _parquet() -> Any:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError("store= keeps the results in Parquet files and needs pyarrow: "
                          "pip install 'quorex[parquet]'") from None
    return pa, pq


@contextmanager
def _on_the_heap(pa: Any) -> Iterator[None]:
    """Arrow's allocations of the block on the process heap, as NumPy's are.

    Arrow's default allocator keeps much of what it frees for reuse: written
    and read part by part, the store of a sweep of 100,000 sets raised its
    peak by about 30 MiB that way (bench/sweep.py); on the heap NumPy reuses
    that memory. The pool is Arrow's process-wide default, switched while
    any store reads or writes (buffers remember their pool, so nothing else
    changes) and switched back by the last one.
    """
    global _heap_users, _pool_before
    with _HEAP_LOCK:
        if _heap_users == 0:
            _pool_before = pa.default_memory_pool()
            pa.set_memory_pool(pa.system_memory_pool())
        _heap_users += 1
    try:
        yield
    finally:
        with _HEAP_LOCK:
            _heap_users -= 1
            if _heap_users == 0:
                pa.set_memory_pool(_pool_before)


class StoredResults:
    """Outcomes in a store directory; only the sets missing there are pending."""

    def __init__(self, path: Path, n_sets: int, days: pd.DatetimeIndex) -> None:
        self.path = path
        self.parts = path / PARTS
        self.n_sets = n_sets
        self.days = days

    @classmethod
    def open(cls, path: str | os.PathLike[str], identity: Mapping[str, str], n_sets: int,
             days: pd.DatetimeIndex) -> StoredResults:
        """The store at ``path`` for the sweep ``identity`` names; created when new.

        A store written for another sweep is refused, naming what differs.
        """
        _parquet()
        root = Path(path)
        manifest = root / MANIFEST
        wanted = {"format": STORE_FORMAT, "sets": n_sets, "identity": dict(identity)}
        if manifest.exists():
            _check_same(root, json.loads(manifest.read_text(encoding="utf-8")), wanted)
        else:
            if root.exists() and any(root.iterdir()):
                raise ValueError(f"store {str(root)!r} is a directory with other files; give an empty or new one")
            root.mkdir(parents=True, exist_ok=True)
            write_atomically(manifest, json.dumps(wanted, indent=1).encode())
        store = cls(root, n_sets, days)
        (root / PARTS).mkdir(exist_ok=True)
        remove_leftovers(store.parts, TEMP_PREFIX)  # parts whose writer was stopped
        return store

    def _files(self) -> list[Path]:
        return sorted(self.parts.glob("*.parquet"))

    def pending(self) -> np.ndarray:
        done = np.zeros(self.n_sets, dtype=bool)
        for sets, _, _ in self._read([]):
            done[sets] = True
        return np.flatnonzero(~done)

    def add(self, chunk: ChunkOutcome) -> None:
        if len(chunk.indices) == 0:
            return
        pa, pq = _parquet()
        with _on_the_heap(pa):
            columns: dict[str, Any] = {"set": pa.array(chunk.indices)}
            columns.update((name, pa.array(chunk.figures[:, k])) for k, name in enumerate(RUN_FIGURES))
            columns["first_day"] = pa.array(chunk.first_days)
            columns["error"] = pa.array(chunk.errors, pa.string())
            failed = pa.array([error is not None for error in chunk.errors])
            columns["returns"] = pa.FixedSizeListArray.from_arrays(pa.array(chunk.returns.ravel()),
                                                                   len(self.days), mask=failed)
            sink = pa.BufferOutputStream()
            # Dictionaries only for the error texts: for figures and returns they cost
            # memory and save nothing.
            pq.write_table(pa.table(columns), sink, use_dictionary=["error"])
            part = sink.getvalue()
        name = f"{int(chunk.indices.min()):010d}-{uuid.uuid4().hex[:12]}.parquet"
        write_atomically(self.parts / name, part)

    def _read(self, columns: list[str]) -> Iterator[tuple[np.ndarray, np.ndarray, Any]]:
        """Every part's sets, which of them no earlier part (by name) had, and its ``columns``."""
        pa, pq = _parquet()
        seen = np.zeros(self.n_sets, dtype=bool)
        for file in self._files():
            with _on_the_heap(pa):
                table = pq.read_table(file, columns=["set", *columns])
            sets = table.column("set").to_numpy()
            fresh = ~seen[sets]
            seen[sets] = True
            yield sets, fresh, table

    def rows(self, figures: Mapping[str, np.ndarray]) -> tuple[np.ndarray, list[str | None]]:
        """Every set's ``RUN_FIGURES`` into ``figures`` (one array by name, indexed by set, NaN where
        missing); every set's first day with a position, and its error."""
        first_days = np.full(self.n_sets, NO_POSITION, dtype=np.int64)
        errors: list[str | None] = [None] * self.n_sets
        for sets, fresh, table in self._read([*RUN_FIGURES, "first_day", "error"]):
            for name in RUN_FIGURES:
                figures[name][sets[fresh]] = table.column(name).to_numpy()[fresh]
            first_days[sets[fresh]] = table.column("first_day").to_numpy()[fresh]
            texts = np.array(table.column("error").to_pylist(), dtype=object)
            for index, error in zip(sets[fresh].tolist(), texts[fresh]):
                errors[index] = error
        return first_days, errors

    def _curves(self) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """Each part's sets (those no earlier part had) and their daily returns (sets × days)."""
        for sets, fresh, table in self._read(["returns"]):
            lists = table.column("returns").combine_chunks()
            values = lists.values.to_numpy(zero_copy_only=False).reshape(len(sets), len(self.days))
            if fresh.any():
                yield (sets, values) if fresh.all() else (sets[fresh], values[fresh])

    def returns(self) -> np.ndarray:
        matrix = np.full((len(self.days), self.n_sets), np.nan)
        for sets, values in self._curves():
            matrix[:, sets] = values.T
        return matrix

    def curves(self, first_day: int) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """The daily returns from day ``first_day`` on, part by part: (sets, days × sets column by column)."""
        for sets, values in self._curves():
            yield sets, np.ascontiguousarray(values[:, first_day:]).T


def _check_same(root: Path, found: dict[str, Any], wanted: dict[str, Any]) -> None:
    if found.get("format") != STORE_FORMAT:
        raise ValueError(f"store {str(root)!r} was written by another version of quorex's sweep store "
                         f"(format {found.get('format')!r}); give a new directory")
    theirs, ours = found.get("identity", {}), wanted["identity"]
    differs = [name for name in ours if theirs.get(name) != ours[name]]
    if found.get("sets") != wanted["sets"]:
        differs.insert(0, f"number of sets ({found.get('sets')} there, {wanted['sets']} here)")
    if differs:
        raise ValueError(
            f"store {str(root)!r} holds the results of another sweep: its {', '.join(differs)} differ from "
            "this sweep's; give a new directory, or the arguments that wrote it to resume it"
        )


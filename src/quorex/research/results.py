"""Where a sweep's outcomes go as its chunks finish: memory, or a store of Parquet files.

A store (``sweep(..., store=DIR)``) keeps each finished chunk in its own
file, so memory stays flat whatever the number of sets, and a sweep stopped
by a crash, a killed worker or Ctrl-C resumes where it stopped: the sets
already in the store are not run again. ``DIR/sweep.json`` names what the
results belong to (the sets, the market, the fixed arguments, the
strategy); ``DIR/parts/*.parquet`` hold one chunk each: per set its index,
its figures (``KEPT``), its error and its daily returns. A part is written
under a temporary name and renamed when complete, so a stop never leaves
half a part to be read.
"""

from __future__ import annotations

import json
import os
import uuid
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from quorex.research.runs import KEPT
from quorex.research.tasks import ChunkOutcome

STORE_FORMAT = 1
MANIFEST = "sweep.json"
PARTS = "parts"


class MemoryResults:
    """Outcomes kept in memory, by set index."""

    def __init__(self, n_sets: int, days: pd.DatetimeIndex) -> None:
        self.days = days
        self.figures = kept_matrix(n_sets)
        self.errors: list[str | None] = [None] * n_sets
        self.matrix = np.full((len(days), n_sets), np.nan)

    def pending(self) -> np.ndarray:
        return np.arange(len(self.errors))

    def add(self, chunk: ChunkOutcome) -> None:
        self.figures[chunk.indices] = chunk.figures
        self.matrix[:, chunk.indices] = chunk.returns.T
        for index, error in zip(chunk.indices.tolist(), chunk.errors):
            self.errors[index] = error

    def rows(self) -> tuple[np.ndarray, list[str | None]]:
        return self.figures, self.errors

    def returns(self) -> np.ndarray:
        return self.matrix


def kept_matrix(n_sets: int) -> np.ndarray:
    """The figures of every set, NaN until filled: column-major, so that the table takes its
    columns without a copy."""
    return np.full((n_sets, len(KEPT)), np.nan, order="F")


def _parquet() -> Any:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError("store= keeps the results in Parquet files and needs pyarrow: "
                          "pip install 'quorex[parquet]'") from None
    return pa, pq


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
            _write_atomically(manifest, json.dumps(wanted, indent=1).encode())
        store = cls(root, n_sets, days)
        (root / PARTS).mkdir(exist_ok=True)
        for leftover in store.parts.glob("*.tmp"):  # a part whose writer was stopped
            leftover.unlink(missing_ok=True)
        return store

    def _files(self) -> list[Path]:
        return sorted(self.parts.glob("*.parquet"))

    def pending(self) -> np.ndarray:
        _, pq = _parquet()
        done = np.zeros(self.n_sets, dtype=bool)
        for file in self._files():
            done[pq.read_table(file, columns=["set"]).column("set").to_numpy()] = True
        return np.flatnonzero(~done)

    def add(self, chunk: ChunkOutcome) -> None:
        pa, pq = _parquet()
        columns: dict[str, Any] = {"set": pa.array(chunk.indices)}
        columns.update((name, pa.array(chunk.figures[:, k])) for k, name in enumerate(KEPT))
        columns["error"] = pa.array(chunk.errors, pa.string())
        failed = pa.array([error is not None for error in chunk.errors])
        columns["returns"] = pa.FixedSizeListArray.from_arrays(pa.array(chunk.returns.ravel()), len(self.days),
                                                               mask=failed)
        name = f"{int(chunk.indices.min()):010d}-{uuid.uuid4().hex[:12]}.parquet"
        temporary = self.parts / (name + ".tmp")
        # Dictionaries only for the error texts: for figures and returns they cost
        # memory (held by Arrow's allocator afterwards) and save nothing.
        pq.write_table(pa.table(columns), temporary, use_dictionary=["error"])
        os.replace(temporary, self.parts / name)

    def _read(self, columns: list[str]) -> Any:
        """Every part's ``columns`` (with "set"), each set once (its first part by name)."""
        pa, pq = _parquet()
        for file in self._files():
            table = pq.read_table(file, columns=["set", *columns])
            yield table.column("set").to_numpy(), table

    def rows(self) -> tuple[np.ndarray, list[str | None]]:
        figures = kept_matrix(self.n_sets)
        errors: list[str | None] = [None] * self.n_sets
        seen = np.zeros(self.n_sets, dtype=bool)
        for sets, table in self._read([*KEPT, "error"]):
            fresh = ~seen[sets]
            seen[sets] = True
            values = np.column_stack([table.column(name).to_numpy() for name in KEPT])
            figures[sets[fresh]] = values[fresh]
            for index, error in zip(sets[fresh], np.asarray(table.column("error").to_pylist(), dtype=object)[fresh]):
                errors[index] = error
        return figures, errors

    def returns(self) -> np.ndarray:
        matrix = np.full((len(self.days), self.n_sets), np.nan)
        seen = np.zeros(self.n_sets, dtype=bool)
        for sets, table in self._read(["returns"]):
            fresh = ~seen[sets]
            seen[sets] = True
            lists = table.column("returns").combine_chunks()
            values = lists.values.to_numpy(zero_copy_only=False).reshape(len(sets), len(self.days))
            matrix[:, sets[fresh]] = values[fresh].T
        return matrix


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


def _write_atomically(path: Path, data: bytes) -> None:
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_bytes(data)
    os.replace(temporary, path)

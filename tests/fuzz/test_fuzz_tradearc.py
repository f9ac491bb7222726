"""Fuzzing tradearc's exported entry points through the native test probe.

The probe binds the exported table exactly as simloop does, so arbitrary call
sequences reach the excursion analysis with dates, columns, windows and steps
that simloop itself would never produce.
"""

from __future__ import annotations

import numpy as np
import pytest
from fuzz_inputs import (
    DOCUMENTED_ERRORS,
    assert_same_outcome,
    budget,
    matrix,
    poisoned_twice,
    prices,
    steps,
    windows,
)
from hypothesis import given
from hypothesis import strategies as st

probe = pytest.importorskip("_quorex_tradearc_probe")
from quorex.core import tradearc  # noqa: E402


@st.composite
def price_matrix(draw, rows: int, cols: int):
    kind = draw(st.sampled_from(["ok"] * 8 + ["none", "float32", "int64", "1d", "3d"]))
    if kind == "none":
        return None
    values = matrix(draw, rows, cols, prices())
    if kind == "float32":
        return values.astype(np.float32)
    if kind == "int64":
        return np.nan_to_num(values).astype(np.int64)
    if kind == "1d":
        return values.ravel()
    if kind == "3d":
        return values[..., np.newaxis]
    return values


@st.composite
def sessions(draw):
    rows = draw(st.integers(0, 8))
    cols = draw(st.integers(0, 3))
    n_columns = draw(st.integers(-1, 4))
    column = st.integers(-2, max(n_columns, 0) + 1)
    start = dict(
        price=draw(price_matrix(rows, cols)),
        close=draw(price_matrix(rows, cols)),
        column_map=draw(st.dictionaries(column, st.integers(-1, cols + 1), max_size=4)),
        n_columns=n_columns,
        fee=draw(st.sampled_from([0.0, 0.001425, 0.5, -0.1, float("nan")])),
        tax=draw(st.sampled_from([0.0, 0.003, 1.0, float("inf")])),
        window=draw(windows()),
        step=draw(steps()),
    )
    date = st.integers(-2, rows + 2)
    operation = st.one_of(
        st.tuples(st.just("record_date"), date),
        st.tuples(st.just("record_entry"), column, st.floats(), st.sampled_from([0, 1])),
        st.tuples(st.just("record_exit"), column, st.sampled_from([0, 1])),
    )
    operations = draw(st.lists(operation, max_size=12))
    held = draw(st.dictionaries(column, st.one_of(st.just(0.0), st.floats()), max_size=4))
    return start, operations, held


def record_length(window: int, step: int) -> int:
    return 6 * ((window - 1) // step + 2)


def run_session(start, operations, held):
    """One analysis; per call its error type (or None), then copies of the three lists."""
    # A rejected start leaves the previous analysis in place: begin both runs
    # from the same state.
    empty = np.zeros((0, 0))
    probe.start_analysis(empty, empty, {}, 0, 0.0, 0.0, 0, 1)
    probe.record_date(0)
    errors = []
    for call in [("start_analysis",), *operations]:
        name, *args = call
        try:
            if name == "start_analysis":
                probe.start_analysis(**start)
            else:
                getattr(probe, name)(*args)
            errors.append(None)
        except SystemError:
            raise
        except DOCUMENTED_ERRORS as exc:
            errors.append(type(exc))
    try:
        probe.end_analysis(held)
        errors.append(None)
    except SystemError:
        raise
    except DOCUMENTED_ERRORS as exc:
        errors.append(type(exc))
    return (
        errors,
        [list(t) for t in tradearc.trades],
        list(tradearc.trade_positions),
        [r.copy() for r in tradearc.tradearc],
    )


@budget(ci=150, long=20_000)
@given(sessions())
def test_call_sequences_are_memory_safe_and_deterministic(session):
    start, operations, held = session
    first, second = poisoned_twice(lambda: run_session(start, operations, held))
    assert_same_outcome(first, second)
    if first.error is not None:
        return
    errors, trades, positions, records = first.result
    if errors[0] is not None:
        return
    assert len(trades) == len(positions) >= len(records)
    for record in records:
        assert isinstance(record, np.ndarray) and record.dtype == np.float64 and record.ndim == 1
        assert len(record) == record_length(start["window"], start["step"])

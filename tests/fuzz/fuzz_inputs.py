"""Strategies and checks shared by the fuzz tests.

Every fuzzed call must either return a result of its documented type or raise
one of the exceptions the modules document; a crash, a SystemError or a result
that depends on the contents of freshly allocated memory is a fault.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st

# What the native modules may raise on bad input; SystemError (a C function
# returning an error without an exception set, or a result with one set) and
# anything else is a fault.
DOCUMENTED_ERRORS: tuple[type[BaseException], ...] = (
    TypeError,
    ValueError,
    IndexError,
    ZeroDivisionError,
    OverflowError,
    AttributeError,
    KeyError,
    MemoryError,
)

LONG = settings.get_current_profile_name() == "long"


def budget(ci: int, long: int) -> settings:
    """Example count of one fuzz test under the active profile."""
    return settings(max_examples=long if LONG else ci)


@dataclass(frozen=True)
class Outcome:
    """What a call did: its result, or the type and text of its exception."""

    result: Any = None
    error: type[BaseException] | None = None
    message: str = ""


def attempt(call: Callable[[], Any], allowed: tuple[type[BaseException], ...] = DOCUMENTED_ERRORS) -> Outcome:
    """Runs `call`, failing the test on an undocumented exception."""
    try:
        return Outcome(result=call())
    except SystemError as exc:  # also a subclass check below would let it through
        pytest.fail(f"SystemError: {exc!r}")
    except allowed as exc:
        return Outcome(error=type(exc), message=str(exc))


try:
    import _quorex_poison as _poison
except ImportError:  # a build without the test hooks
    _poison = None

POISON_BYTES = (0x5A, 0xA5)


def poisoned_twice(call: Callable[[], Any], allowed: tuple[type[BaseException], ...] = DOCUMENTED_ERRORS):
    """Runs `call` once with every new NumPy buffer filled with 0x5A, once with 0xA5.

    Returns both outcomes; a value read from memory that nobody wrote differs
    between them. Without the poisoning hook both runs are plain.
    """
    outcomes = []
    for byte in POISON_BYTES:
        if _poison is not None:
            _poison.install(byte)
        try:
            outcomes.append(attempt(call, allowed))
        finally:
            if _poison is not None:
                _poison.uninstall()
    return outcomes


def same_bits(a: Any, b: Any) -> bool:
    """Structural equality that compares floats and arrays bit for bit."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if not (isinstance(a, np.ndarray) and isinstance(b, np.ndarray)):
            return False
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype == object:
            return all(same_bits(x, y) for x, y in zip(a.ravel(), b.ravel()))
        return a.tobytes() == b.tobytes()
    if isinstance(a, (float, np.floating)) and isinstance(b, (float, np.floating)):
        return type(a) is type(b) and np.asarray(a).tobytes() == np.asarray(b).tobytes()
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_bits(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def assert_same_outcome(first: Outcome, second: Outcome) -> None:
    assert first.error is second.error, (first, second)
    if first.error is None:
        assert same_bits(first.result, second.result), (first.result, second.result)


# Numbers that trip arithmetic: NaN, both infinities, zeros of both signs,
# negatives, denormals and values near the ends of the double range.
SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300, -1e300, 1.7976931348623157e308]


def prices(allow_special: bool = True) -> st.SearchStrategy[float]:
    normal = st.floats(min_value=0.5, max_value=500.0, allow_nan=False)
    if not allow_special:
        return normal
    return st.one_of(normal, normal, normal, st.sampled_from(SPECIAL_FLOATS), st.floats())


def weights(allow_special: bool = True) -> st.SearchStrategy[float]:
    normal = st.one_of(st.just(0.0), st.floats(min_value=-2.0, max_value=2.0, allow_nan=False))
    if not allow_special:
        return normal
    return st.one_of(normal, normal, normal, st.sampled_from(SPECIAL_FLOATS))


INT32_EDGES = [-(2**31), -(2**31) + 1, -2, -1, 0, 1, 2, 3, 2**31 - 2, 2**31 - 1]


def windows() -> st.SearchStrategy[int]:
    return st.one_of(*[st.integers(0, 12)] * 4, st.sampled_from(INT32_EDGES))


def steps() -> st.SearchStrategy[int]:
    return st.one_of(*[st.integers(1, 5)] * 4, st.sampled_from(INT32_EDGES))


@st.composite
def layouts(draw, values: np.ndarray) -> np.ndarray:
    """The same values as a C-ordered, Fortran-ordered or strided view."""
    kind = draw(st.sampled_from(["c", "f", "strided", "reversed"]))
    if kind == "c":
        return np.ascontiguousarray(values)
    if kind == "f":
        return np.asfortranarray(values)
    if kind == "strided":
        # Every other element of a larger buffer, along every axis.
        big = np.full(tuple(2 * n for n in values.shape), np.nan, dtype=values.dtype)
        big[tuple(slice(None, None, 2) for _ in values.shape)] = values
        return big[tuple(slice(None, None, 2) for _ in values.shape)]
    # A negatively strided view of the reversed buffer.
    flipped = np.ascontiguousarray(values[tuple(slice(None, None, -1) for _ in values.shape)])
    return flipped[tuple(slice(None, None, -1) for _ in values.shape)]


def matrix(draw, rows: int, cols: int, elements: st.SearchStrategy[float]) -> np.ndarray:
    flat = draw(st.lists(elements, min_size=rows * cols, max_size=rows * cols))
    return draw(layouts(np.array(flat, dtype=np.float64).reshape(rows, cols)))


def sorted_dates(draw, size: int, low: int = 0, high: int = 40, unique: bool = True) -> np.ndarray:
    values = draw(st.lists(st.integers(low, high), min_size=size, max_size=size, unique=unique))
    return np.array(sorted(values), dtype=np.int64)

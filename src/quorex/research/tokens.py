"""Keys of values by content: which sets share a signal, which runs share their engine inputs,
and whether a store was written for the same sweep.

``value_key`` is a cheap dictionary key for the small values of a grid;
``token`` digests any value by content (frames and arrays by their bytes,
functions by their code), so it stays the same across processes and runs.
"""

from __future__ import annotations

import dataclasses
import hashlib
import pickle
import types
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd


def value_key(value: Any) -> Any:
    """A hashable key equal for equal values of the same type (1, 1.0 and True stay apart)."""
    try:
        hash(value)
    except TypeError:
        return ("token", token(value))
    return (type(value).__qualname__, value)


def settings_key(settings: Mapping[str, Any]) -> tuple[Any, ...]:
    """The key of a set of named values, whatever their order."""
    return tuple(sorted((name, value_key(value)) for name, value in settings.items()))


def token(value: Any) -> str:
    """A hex digest of ``value``'s content."""
    digest = hashlib.blake2b(digest_size=16)
    _feed(digest, value)
    return digest.hexdigest()


def _feed(digest: Any, value: Any) -> None:
    digest.update(type(value).__qualname__.encode())
    if value is None or isinstance(value, (bool, int, float, complex, str, bytes, np.generic)):
        digest.update(repr(value).encode())
    elif isinstance(value, (list, tuple)):
        digest.update(str(len(value)).encode())
        for item in value:
            text = _plain_text(item)
            if text is None:
                _feed(digest, item)
            else:
                digest.update(text)
    elif isinstance(value, Mapping):
        digest.update(str(len(value)).encode())
        text = _plain_text(value)
        if text is not None:
            digest.update(text)
            return
        keys = sorted(value) if all(type(key) is str for key in value) else sorted(value, key=token)
        for key in keys:
            _feed(digest, key)
            _feed(digest, value[key])
    elif isinstance(value, (np.ndarray, pd.Index, pd.Series, pd.DataFrame)):
        _feed_labelled(digest, value)
    elif isinstance(value, types.FunctionType):
        digest.update(f"{value.__module__}.{value.__qualname__}".encode())
        _feed_code(digest, value.__code__)
        _feed(digest, value.__defaults__)
    elif dataclasses.is_dataclass(value) and not isinstance(value, type):
        _feed(digest, {field.name: getattr(value, field.name) for field in dataclasses.fields(value)})
    else:
        try:
            digest.update(pickle.dumps(value, protocol=5))
        except Exception:  # noqa: BLE001 - an unpicklable value is known by its text
            digest.update(repr(value).encode())


PLAIN = (type(None), bool, int, float, str)


def _plain_text(value: Any) -> bytes | None:
    """The text of a plain value, or of a dict of them by name (a grid's set), which describes
    it fully, types included; None for anything else."""
    kind = type(value)
    if kind in PLAIN:
        return f"{kind.__name__}:{value!r}".encode()
    if kind is dict and all(type(k) is str and type(v) in PLAIN for k, v in value.items()):
        return f"dict:{sorted(value.items())!r}".encode()
    return None


def _feed_labelled(digest: Any, value: np.ndarray | pd.Index | pd.Series | pd.DataFrame) -> None:
    if isinstance(value, pd.DataFrame):
        _feed(digest, value.index)
        _feed(digest, value.columns)
        for k in range(value.shape[1]):
            _feed(digest, value.iloc[:, k].to_numpy())
        return
    if isinstance(value, (pd.Series, pd.Index)):
        if isinstance(value, pd.Series):
            _feed(digest, value.index)
        _feed(digest, value.name)
        digest.update(str(value.dtype).encode())  # the timezone is not in the values
        value = value.to_numpy()
    if value.dtype == object:
        _feed(digest, value.tolist())
        return
    digest.update(f"{value.dtype.str}{value.shape}".encode())
    digest.update(np.ascontiguousarray(value).view(np.uint8).data)


def _feed_code(digest: Any, code: types.CodeType) -> None:
    """A function's code: an edited strategy is another strategy."""
    digest.update(code.co_code)
    digest.update(repr(code.co_names).encode())
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            _feed_code(digest, constant)
        else:
            digest.update(repr(constant).encode())

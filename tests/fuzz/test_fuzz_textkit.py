"""Fuzzing textkit.str_to_bytearray with arbitrary text and non-text."""

from __future__ import annotations

from fuzz_inputs import attempt, budget
from hypothesis import given
from hypothesis import strategies as st

from quorex.core import textkit

# Every code point, lone surrogates included.
any_text = st.text(st.characters(codec=None, categories=None), max_size=200)


@budget(ci=200, long=20_000)
@given(any_text)
def test_one_low_byte_per_code_point(text):
    result = textkit.str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == bytearray(ord(c) & 0xFF for c in text)


class _Text(str):
    pass


not_text = st.one_of(
    st.none(),
    st.binary(max_size=8),
    st.integers(),
    st.floats(),
    st.lists(st.text(max_size=2), max_size=3),
    st.text(max_size=8).map(_Text),
    st.text(max_size=8).map(lambda s: memoryview(s.encode())),
)


@budget(ci=100, long=5_000)
@given(not_text)
def test_non_text_is_a_type_error(value):
    outcome = attempt(lambda: textkit.str_to_bytearray(value))
    assert outcome.error is TypeError

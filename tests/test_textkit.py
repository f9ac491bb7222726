import pytest

from quorex.core import textkit


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", b""),
        ("abc", b"abc"),
        ("\u00e9", b"\xe9"),
        ("\u20ac\u4e2d\U0001f600", b"\xac\x2d\x00"),
        ("a\x00b", b"a\x00b"),
    ],
)
def test_low_byte_of_each_code_point(text, expected):
    result = textkit.str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == bytearray(expected)
    assert len(result) == len(text)


def test_keyword_argument():
    assert textkit.str_to_bytearray(text="hi") == bytearray(b"hi")


class _Text(str):
    pass


@pytest.mark.parametrize("bad", [None, _Text("x"), b"x", 3])
def test_refuses_non_str(bad):
    with pytest.raises(TypeError):
        textkit.str_to_bytearray(bad)


@pytest.mark.parametrize(
    ("args", "kwargs"), [((), {}), (("a", "b"), {}), (("a",), {"text": "b"}), ((), {"txt": "a"})]
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        textkit.str_to_bytearray(*args, **kwargs)


def test_no_docstring():
    assert textkit.str_to_bytearray.__doc__ is None

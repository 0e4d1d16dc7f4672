"""Every operation, returning or raising, leaves no blocks and no references behind."""

import pytest

import crypt_main
from crypt_main import _Crypt
from crypt_main import m_crypt as m
from tests.support import assert_no_leak


def heap(text):
    """A str made at run time: literals are interned, immortal, and their counts never move."""
    return "".join(list(text))


class Kw(dict):
    """Keyword arguments, when a row's args end with one."""


# (id, callable, args), one row per path through a call.
CASES = [
    ("base64", m.base64, (heap("some text " * 20),)),
    ("base64-bytes", m.base64, (b"some bytes",)),
    ("base64-surrogate", m.base64, (heap("x\ud800x"),)),
    ("base64_decrypt", m.base64_decrypt, (heap("c29tZSB0ZXh0"),)),
    ("base64_decrypt-padding", m.base64_decrypt, (heap("c29tZSB0ZX"),)),
    ("base64_decrypt-utf8", m.base64_decrypt, (heap("/w=="),)),
    ("md5-upper", m.md5, (heap("message"), heap("upper"))),
    ("md5-bytes", m.md5, (b"message", heap("lower"))),
    ("sha1-bytes", m.sha1, (b"message", heap("upper"))),
    ("md5_hmac", m.md5_hmac, (heap("message"), heap("key"))),
    ("md5_hmac-key-type", m.md5_hmac, (heap("message"), 1.5)),
    ("count", m.md5_hmac, (heap("a"), heap("b"), heap("c"))),
    ("keyword", m.base64, (Kw(value=heap("some text")),)),
    ("unexpected", m.base64, (Kw(valu=heap("some text")),)),
    ("twice", m.md5, (heap("message"), Kw(value=heap("x")))),
    ("missing", m.md5, (Kw(fmt=heap("upper")),)),
    ("instance", m.php, (heap("v"),)),
    ("class", _Crypt, ()),
]


@pytest.mark.parametrize("fn, args", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_leak(fn, args):
    *args, kwargs = args if args and type(args[-1]) is Kw else (*args, {})
    assert_no_leak(fn, *args, **kwargs)


@pytest.mark.parametrize(
    "name, fn, args",
    [
        ("base64", m.base64, (heap("text"),)),
        ("hashlib", m.sha256, (heap("text"), heap("upper"))),
        ("hmac", m.md5_hmac, (heap("text"), heap("key"))),
    ],
)
def test_no_leak_on_name_error(name, fn, args):
    saved = getattr(crypt_main, name)
    delattr(crypt_main, name)
    try:
        with pytest.raises(NameError):
            fn(*args)
        assert_no_leak(fn, *args)
    finally:
        setattr(crypt_main, name, saved)

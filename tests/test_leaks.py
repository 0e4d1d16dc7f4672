"""Every operation, returning or raising, leaves no blocks and no references behind."""

import binascii

import pytest
import rsa
from Crypto.Cipher import AES

import crypt_main
from crypt_main import _Crypt
from crypt_main import m_crypt as m
from tests.support import assert_no_leak


def heap(text):
    """A str made at run time: literals are interned, immortal, and their counts never move."""
    return "".join(list(text))


class Kw(dict):
    """Keyword arguments, when a row's call ends with one."""


class GbkArray(str):  # takes the codec positionally only, as the module passes it
    def encode(self, *args):
        return bytearray(super().encode(*args))


KEY = "an HS256 secret of thirty-two bytes"
K16, K32, K8, IV = "k" * 16, "K" * 32, "des-key!", "i" * 16
GOOD = m.aes_cbc("leak", K16, IV)
NOT_GBK = AES.new(b"k" + b"\0" * 15, AES.MODE_CBC, IV.encode()).encrypt(b"\xff" * 16)

# One row per path through a call: make(k) gives the callable and its arguments (a trailing Kw
# holds keywords), with the exception the call raises, or None when it returns.
CASES = {
    "base64": (lambda k: (m.base64, heap("some text " * 20)), None),
    "base64-bytes": (lambda k: (m.base64, b"some bytes"), AttributeError),
    "base64-surrogate": (lambda k: (m.base64, heap("x\ud800x")), UnicodeEncodeError),
    "base64_decrypt": (lambda k: (m.base64_decrypt, heap("c29tZSB0ZXh0")), None),
    "base64_decrypt-padding": (lambda k: (m.base64_decrypt, heap("c29tZSB0ZX")), binascii.Error),
    "base64_decrypt-utf8": (lambda k: (m.base64_decrypt, heap("/w==")), UnicodeDecodeError),
    "md5-upper": (lambda k: (m.md5, heap("message"), heap("upper")), None),
    "md5-bytes": (lambda k: (m.md5, b"message", heap("lower")), None),
    "sha1-bytes": (lambda k: (m.sha1, b"message", heap("upper")), AttributeError),
    "md5_hmac": (lambda k: (m.md5_hmac, heap("message"), heap("key")), None),
    "md5_hmac-key-type": (lambda k: (m.md5_hmac, heap("message"), 1.5), AttributeError),
    "count": (lambda k: (m.md5_hmac, heap("a"), heap("b"), heap("c")), TypeError),
    "keyword": (lambda k: (m.base64, Kw(value=heap("some text"))), None),
    "unexpected": (lambda k: (m.base64, Kw(valu=heap("some text"))), TypeError),
    "twice": (lambda k: (m.md5, heap("message"), Kw(value=heap("x"))), TypeError),
    "missing": (lambda k: (m.md5, Kw(fmt=heap("upper"))), TypeError),
    "instance": (lambda k: (m.php, heap("v")), TypeError),
    "class": (lambda k: (_Crypt,), None),
    "aes_ecb": (lambda k: (m.aes_ecb, "leak", K16), None),
    "aes_ecb-key": (lambda k: (m.aes_ecb, "leak", "k" * 15), ValueError),
    "aes_ecb-bytes": (lambda k: (m.aes_ecb, b"leak", K16), AttributeError),
    "aes_cbc_decrypt": (lambda k: (m.aes_cbc_decrypt, GOOD, K16, IV), None),
    "aes_cbc_decrypt-short": (lambda k: (m.aes_cbc_decrypt, GOOD[:-1], K16, IV), ValueError),
    "aes_cbc_decrypt-key": (lambda k: (m.aes_cbc_decrypt, GOOD, K32, IV), ValueError),
    "des": (lambda k: (m.des, "leak", K8), None),
    "des_decrypt-str": (lambda k: (m.des_decrypt, "str", K8), TypeError),
    "php-base64": (lambda k: (m.php, "leak", "k", IV, True), None),
    "php-not-gbk": (lambda k: (m.php, "🙂", "k", IV), UnicodeEncodeError),
    "php-empty-key": (lambda k: (m.php, "leak", "", IV), ValueError),
    "php_decrypt": (lambda k: (m.php_decrypt, m.php("leak", "k", IV, 1), "k", IV, 1), None),
    "php_decrypt-not-gbk": (lambda k: (m.php_decrypt, NOT_GBK, "k", IV), UnicodeDecodeError),
    "php_decrypt-base64": (lambda k: (m.php_decrypt, "!", "k", IV, 1), None),  # nothing left
    "_add_to_16-array": (lambda k: (m._add_to_16, GbkArray("abc")), None),
    "_add_to_16-bytes": (lambda k: (m._add_to_16, b"a"), AttributeError),
    "rsa": (lambda k: (m.rsa, "leak", k.pub, True), None),
    "rsa-too-long": (lambda k: (m.rsa, "é" * 27, k.pub), OverflowError),  # 54 bytes
    "rsa-bytes": (lambda k: (m.rsa, b"bytes", k.pub), AttributeError),
    "rsa_decrypt": (lambda k: (m.rsa_decrypt, k.raw, k.pri), None),
    "rsa_decrypt-altered": (
        lambda k: (m.rsa_decrypt, k.raw[:-1] + bytes([k.raw[-1] ^ 1]), k.pri),
        rsa.DecryptionError,
    ),
    "rsa_decrypt-hex-as-raw": (
        lambda k: (m.rsa_decrypt, k.hexed, k.pri, False),
        rsa.DecryptionError,
    ),
    "rsa_decrypt-other-key": (lambda k: (m.rsa_decrypt, k.raw, k.other[1]), rsa.DecryptionError),
    # Not a key at all: only converting the digits before decrypting gives binascii.Error.
    "rsa_decrypt-odd-hex": (
        lambda k: (m.rsa_decrypt, k.hexed[:-1], object(), True),
        binascii.Error,
    ),
    "token": (lambda k: (m.token, {"a": [1]}, KEY, 60.5), None),
    "token-lifetime": (lambda k: (m.token, "d", KEY, "60"), TypeError),
    "token_decrypt": (lambda k: (m.token_decrypt, m.token("d", KEY), KEY), None),
    "token_decrypt-key": (lambda k: (m.token_decrypt, m.token("d", KEY), KEY[::-1]), Exception),
    "token_decrypt-expired": (
        lambda k: (m.token_decrypt, m.token("d", KEY, -60), KEY),
        TimeoutError,
    ),
}


@pytest.mark.parametrize("make, error", CASES.values(), ids=CASES)
def test_no_leak(k, make, error):
    fn, *args = make(k)
    *args, kwargs = args if args and type(args[-1]) is Kw else (*args, {})
    if error:
        pytest.raises(error, fn, *args, **kwargs)
    else:
        fn(*args, **kwargs)
    assert_no_leak(fn, *args, calls=300 if fn is m.rsa_decrypt else 2000, **kwargs)


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

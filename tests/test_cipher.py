"""Symmetric ciphers: AES-ECB, AES-CBC, DES-ECB and the zero-padded GBK variant for PHP peers."""

import base64
import re
import types

import pytest
from Crypto.Cipher import AES
from Crypto.Util.Padding import unpad
from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from hypothesis import example, given
from hypothesis import strategies as st

import crypt_main
from crypt_main import _Crypt
from crypt_main import m_crypt as m
from tests.support import run_python

K16, K32, IV, K8, NULS = "k" * 16, "K" * 32, "i" * 16, "des-key!", b"\0" * 15
KEYS = [
    *(("aes_ecb", (k,)) for k in [K16, "k" * 24, K32, "é" * 8]),
    ("aes_cbc", (K16, IV)),
    ("aes_cbc", (K32, "I" * 16)),
    ("des", (K8,)),
]


def encrypt(algo, mode, data):
    enc = Cipher(algo, mode).encryptor()
    return enc.update(data) + enc.finalize()


def reference(name, value, key, iv=None):
    # Three equal DES keys make TripleDES collapse to single DES.
    algo = TripleDES(key.encode() * 3) if name == "des" else algorithms.AES(key.encode())
    padder = padding.PKCS7(algo.block_size).padder()
    data = padder.update(value.encode()) + padder.finalize()
    return encrypt(algo, modes.CBC(iv.encode()) if iv else modes.ECB(), data)


def zero_pad(data):
    return data + b"\0" * (-len(data) % 16)


def php_reference(value, key, base64s=False, iv=IV):
    key, value = zero_pad(key.encode("gbk")), zero_pad(value.encode("gbk"))
    ciphertext = encrypt(algorithms.AES(key), modes.CBC(iv.encode()), value)
    return base64.b64encode(ciphertext).decode() if base64s else ciphertext


@pytest.mark.parametrize("name, args", KEYS)
@given(value=st.text())
@example(value="")
def test_matches_reference_and_inverts(name, args, value):
    ciphertext = getattr(m, name)(value, *args)
    assert type(ciphertext) is bytes and ciphertext == reference(name, value, *args)
    assert getattr(m, name + "_decrypt")(ciphertext, *args) == value


# The IV alone is UTF-8: GBK would make the last one 12 bytes.
PHP_KEYS = ["k", "k" * 17, "k" * 24, "k" * 32, "中文密钥", "密" * 16]
PHP_KEYS_IVS = [*((k, IV) for k in PHP_KEYS), ("密钥", "中中中中iiii")]


@pytest.mark.parametrize("key, iv", PHP_KEYS_IVS)
@given(value=st.text(st.characters(codec="gbk")), base64s=st.booleans())
@example(value="", base64s=True)
@example(value="a\0b\0", base64s=False)
@example(value="\0" * 16, base64s=False)  # all of it stripped, to the very first character
@example(value="\0", base64s=True)
def test_php_matches_reference_and_strips_trailing_nuls(key, iv, value, base64s):
    ciphertext = m.php(value, key, iv, base64s)
    assert type(ciphertext) is (str if base64s else bytes)
    assert ciphertext == php_reference(value, key, base64s, iv)
    assert m.php_decrypt(ciphertext, key, iv, base64s) == value.rstrip("\0")


@pytest.mark.parametrize(
    "call, wide, sizes",
    [  # `wide` is two bytes in the codec used
        (lambda v: m.aes_ecb(v, K16), "é", {0: 16, 15: 16, 16: 32, 17: 32}),
        (lambda v: m.aes_cbc(v, K16, IV), "é", {0: 16, 15: 16, 16: 32, 17: 32}),
        (lambda v: m.des(v, K8), "é", {0: 8, 7: 8, 8: 16, 9: 16}),
        (lambda v: m.php(v, "k", IV), "中", {0: 0, 15: 16, 16: 16, 17: 32}),
    ],
)
def test_length_counts_encoded_bytes(call, wide, sizes):
    for n, size in sizes.items():
        assert len(call("x" * n)) == len(call(wide * (n // 2) + "x" * (n % 2))) == size


def test_php_base64_text_is_one_line():
    assert len(text := m.php("x" * 64, "k", IV, True)) == 88 and "\n" not in text


@pytest.mark.parametrize(
    "name, args",
    [
        *(("aes_ecb", (k,)) for k in ["k" * 15, "k" * 17, "k" * 33, "é" + "k" * 15]),
        *(("aes_cbc", (K16, iv)) for iv in ["i" * 15, "i" * 17, "é" + "i" * 15]),
        *(("des", (k,)) for k in ["k" * 7, "k" * 9, "k" * 16, "k" * 24]),
        *(
            ("php", (k, iv))
            for k, iv in [
                ("", IV),
                ("k" * 33, IV),
                ("密" * 17, IV),
                ("k", "i" * 15),
                ("k", "中" * 8),
            ]
        ),
    ],
)
def test_bad_key_or_iv_refused_by_the_library(name, args):
    with pytest.raises(ValueError):
        getattr(m, name)("x", *args)
    with pytest.raises(ValueError):
        getattr(m, name + "_decrypt")(b"x" * 16, *args)


class NoTruth:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: m.aes_ecb(b"bytes", "k" * 15), ValueError),  # the key before the data
        (lambda: m.des_decrypt("str", "k" * 7), ValueError),
        (lambda: m.aes_cbc("x", b"key", "\ud800"), AttributeError),  # the key before the IV
        (lambda: m.aes_cbc("x", "k" * 15, b"iv"), AttributeError),  # both encoded before the cipher
        (lambda: m.aes_cbc(b"bytes", K16, "i" * 15), ValueError),  # the IV before the data
        (lambda: m.php(b"bytes", "", IV), ValueError),
        (lambda: m.php("abc", "k", IV, NoTruth()), ZeroDivisionError),
        (lambda: m.php(b"abc", "k", IV, NoTruth()), AttributeError),  # truth taken after encrypting
        (
            lambda: m.php_decrypt(b"x" * 15, "k", IV, NoTruth()),
            ZeroDivisionError,
        ),  # before decrypting
        (lambda: m.php_decrypt(b"x", "", IV, NoTruth()), ValueError),
        (
            lambda: m.php_decrypt(b"bytes", "k", "i" * 15, True),
            ValueError,
        ),  # the cipher before Base64
    ],
)
def test_first_bad_argument_decides_the_error(call, error):
    with pytest.raises(error):
        call()


PHP_KEY = b"k" + NULS
ECB, CBC = AES.new(K16.encode(), AES.MODE_ECB), AES.new(PHP_KEY, AES.MODE_CBC, IV.encode())
BAD_PADDING = encrypt(algorithms.AES(K16.encode()), modes.ECB(), b"x" * 16)
NOT_UTF8 = encrypt(algorithms.AES(K16.encode()), modes.ECB(), b"\xff" + b"\x0f" * 15)
NOT_GBK = encrypt(algorithms.AES(PHP_KEY), modes.CBC(IV.encode()), b"\xff" * 16)


@pytest.mark.parametrize(
    "call, direct",
    [
        (lambda: m.aes_ecb_decrypt(BAD_PADDING[:-1], K16), lambda: ECB.decrypt(b"x" * 15)),
        (lambda: m.aes_ecb_decrypt("x" * 16, K16), lambda: ECB.decrypt("x" * 16)),
        (lambda: m.aes_ecb_decrypt(BAD_PADDING, K16), lambda: unpad(b"x" * 16, 16)),
        (lambda: m.aes_ecb_decrypt(NOT_UTF8, K16), lambda: b"\xff".decode()),
        (lambda: m.aes_cbc(b"abc", K16, IV), lambda: b"abc".encode()),
        (lambda: m.aes_cbc("\ud800", K16, IV), lambda: "\ud800".encode()),
        (lambda: m.php("abc", "k🙂", IV), lambda: "k🙂".encode("gbk")),
        (lambda: m.php_decrypt("A" * 16, "k", IV), lambda: CBC.decrypt("A" * 16)),
        (lambda: m.php_decrypt("AAAA", "k", IV, True), lambda: CBC.decrypt(b"\0\0\0")),
        (lambda: m.php_decrypt("A", "k", IV, True), lambda: base64.decodebytes(b"A")),
        (lambda: m.php_decrypt(NOT_GBK, "k", IV), lambda: (b"\xff" * 16).decode("gbk")),
    ],
)
def test_library_errors_pass_through_unchanged(call, direct):
    with pytest.raises(Exception) as expected:
        direct()
    with pytest.raises(expected.type) as info:
        call()
    assert type(info.value) is expected.type and str(info.value) == str(expected.value)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_decrypt_takes_any_bytes_like(kind):
    assert m.aes_ecb_decrypt(kind(m.aes_ecb("t", K16)), K16) == "t"
    assert m.aes_cbc_decrypt(kind(m.aes_cbc("t", K16, IV)), K16, IV) == "t"
    assert m.des_decrypt(kind(m.des("t", K8)), K8) == "t"
    assert m.php_decrypt(kind(m.php("t", "k", IV)), "k", IV) == "t"


@pytest.mark.parametrize(
    "flag, kind",
    [
        (1, str),
        ("x", str),
        (0, bytes),
        ("", bytes),
        (None, bytes),
    ],
)
def test_base64s_counts_by_truth(flag, kind):
    assert type(ciphertext := m.php("abc", "k", IV, base64s=flag)) is kind
    assert m.php_decrypt(ciphertext, "k", IV, base64s=flag) == "abc"


class GbkArray(str):  # takes the codec positionally only, as the module passes it
    def encode(self, *args):
        return bytearray(super().encode(*args))


def encoding_to(result):
    """A str subclass whose encode("gbk") returns result."""

    def encode(self, *args):
        return result if args == ("gbk",) else str.encode(self, *args)

    return type("Encodes", (str,), {"encode": encode})("x")


@pytest.mark.parametrize(
    "value, padded",
    [
        ("", b""),
        ("abc", b"abc" + NULS[:13]),
        ("x" * 16, b"x" * 16),
        ("x" * 17, b"x" * 17 + NULS),
        ("中文", "中文".encode("gbk") + NULS[:12]),
        (GbkArray("abc"), bytearray(b"abc" + NULS[:13])),
        (GbkArray("中文"), bytearray("中文".encode("gbk") + NULS[:12])),  # the codec named
        # What `+=` and len() make of other results: a list takes the filler's bytes as ints.
        (encoding_to([1, 2, 3]), [1, 2, 3] + [0] * 13),
        (encoding_to(bytearray()), bytearray()),  # already a whole number of blocks
        (encoding_to(7), TypeError("object of type 'int' has no len()")),
        (encoding_to("text"), TypeError),  # str += bytes
        (b"abc", AttributeError),
        ("🙂", UnicodeEncodeError),
    ],
)
def test_add_to_16(value, padded):
    if isinstance(padded, type):
        with pytest.raises(padded):
            m._add_to_16(value)
    elif isinstance(padded, Exception):
        with pytest.raises(type(padded), match=f"^{re.escape(str(padded))}$"):
            m._add_to_16(value)
    else:
        assert type(result := m._add_to_16(value)) is type(padded) and result == padded


def test_padding_loop_stays_interruptible():
    # A deque with maxlen=1 stays one long whatever `+=` adds, and both run in C, so no Python
    # code between two rounds would notice a signal: the loop must check for one itself.
    r = run_python("""
        import collections, faulthandler, signal
        from crypt_main import m_crypt

        faulthandler.dump_traceback_later(60, exit=True)

        class Stuck(str):
            def encode(self, *args):
                return collections.deque([1], maxlen=1)

        class Interrupted(Exception):
            pass

        def handler(signum, frame):
            raise Interrupted

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            m_crypt._add_to_16(Stuck("x"))
        except Interrupted:
            print("interrupted")
        print(m_crypt._add_to_16("x") == b"x" + bytes(15))
    """)
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "interrupted\nTrue\n")


def test_php_pads_through_the_instance():
    class Spaced(_Crypt):
        seen = []

        @staticmethod
        def _add_to_16(value):
            Spaced.seen.append(value)
            return value.encode("gbk").ljust(16, b" ")

    ciphertext = Spaced().php("abc", "k", IV)
    cipher = algorithms.AES(b"k" + b" " * 15), modes.CBC(IV.encode())
    assert ciphertext == encrypt(*cipher, b"abc" + b" " * 13)
    assert Spaced().php_decrypt(ciphertext, "k", IV) == "abc" + " " * 13
    assert Spaced.seen == ["k", "abc", "k"]
    assert _Crypt.php(m, "abc", "k", IV) == m.php("abc", "k", IV)


def test_cipher_module_is_looked_up_at_each_call(monkeypatch):
    calls = []

    def new(*args, **kwargs):
        calls.append((args, kwargs))
        return AES.new(*args, **kwargs)

    stub = types.SimpleNamespace(
        new=new, block_size=AES.block_size, MODE_ECB=AES.MODE_ECB, MODE_CBC=AES.MODE_CBC
    )
    monkeypatch.setattr(crypt_main, "AES", stub)
    assert m.aes_ecb("abc", "é" * 8) == reference("aes_ecb", "abc", "é" * 8)
    assert m.php("abc", "密钥", IV) == php_reference("abc", "密钥")
    assert calls == [
        (("é".encode() * 8, AES.MODE_ECB), {}),
        ((zero_pad("密钥".encode("gbk")), AES.MODE_CBC, IV.encode()), {}),
    ]
    monkeypatch.delattr(crypt_main, "AES")
    with pytest.raises(NameError, match=r"^name 'AES' is not defined$"):
        m.php("abc", "k", IV)
    monkeypatch.delattr(crypt_main, "pad")
    with pytest.raises(NameError, match=r"^name 'pad' is not defined$"):
        m.des("abc", K8)

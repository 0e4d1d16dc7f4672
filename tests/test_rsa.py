"""RSA: the key-size ladder, PKCS#1 v1.5 round trips in raw and hex form; leak checks."""

import binascii
import types

import pytest
import rsa

import crypt_main
from crypt_main import m_crypt

KEY = "an HS256 secret of thirty-two bytes"


@pytest.fixture
def newkeys(monkeypatch):  # real generation takes seconds at 4096 bits
    calls = []
    fake = types.SimpleNamespace(newkeys=lambda *a, **k: calls.append((a, k)) or ["pub", "pri"])
    monkeypatch.setattr(crypt_main, "rsa", fake)
    return calls


@pytest.mark.parametrize(
    "call, bits",
    [
        ((53,), 512),
        ((54,), 1024),
        ((117,), 1024),
        ((118,), 2048),
        ((245,), 2048),
        ((246,), 4096),
        ((10**6,), 4096),
        ((0,), 512),
        ((-500,), 512),
        ((53.5,), 1024),
        ((), 4096),
        ({"length": 100}, 1024),
        (("100",), None),
    ],
)
def test_ladder(newkeys, call, bits):
    if bits is None:
        pytest.raises(TypeError, m_crypt.rsa_keys, *call)
    else:  # the stub hands back a list: the result must still be a tuple
        keys = m_crypt.rsa_keys(**call) if isinstance(call, dict) else m_crypt.rsa_keys(*call)
        assert type(keys) is tuple and keys == ("pub", "pri") and type(newkeys[0][0][0]) is int
    assert newkeys == ([((bits,), {})] if bits else [])


class Reversed(tuple):  # unpacking iterates a subclass; only an exact tuple may be indexed
    def __iter__(self):
        return iter(self[::-1])


class ReversedList(list):
    def __iter__(self):
        return iter(self[::-1])


class NotIterable:
    __iter__ = None


class IterRaises:
    def __iter__(self):
        raise TypeError("custom refusal")  # not reworded: the type has an __iter__


class Indexed:  # iterable through __getitem__ alone
    def __getitem__(self, i):
        return "pq"[i]


def items(*values, then=None):
    yield from values
    if then:
        raise then


# Each a factory, as a generator is used up by one unpacking.
RESULTS = {
    "short": lambda: ["p"],
    "long": lambda: ("p", "q", "r"),
    "long-list": lambda: ["p", "q", "r"],
    "int": lambda: 1,
    "none": lambda: None,
    "tuple-subclass": lambda: Reversed(("p", "q")),
    "list-subclass": lambda: ReversedList(["p", "q"]),
    "generator": lambda: items("p", "q"),
    "generator-long": lambda: items("p", "q", "r"),
    "generator-fails": lambda: items("p", then=ZeroDivisionError("second item")),
    "generator-fails-after": lambda: items("p", "q", then=ZeroDivisionError("third item")),
    "str": lambda: "pq",
    "dict": lambda: {"p": 1, "q": 2},
    "iter-none": NotIterable,
    "iter-raises": IterRaises,
    "getitem": Indexed,
}


@pytest.mark.parametrize("make", RESULTS.values(), ids=RESULTS)
def test_library_result_unpacked_as_python_does(monkeypatch, make):
    # `pub, pri = result`: the same pair, or the same error with the same message.
    monkeypatch.setattr(crypt_main, "rsa", types.SimpleNamespace(newkeys=lambda bits: make()))
    try:
        pub, pri = make()
    except Exception as e:
        got = pytest.raises(type(e), m_crypt.rsa_keys, 1).value
        assert type(got) is type(e) and str(got) == str(e)
    else:
        keys = m_crypt.rsa_keys(1)
        assert type(keys) is tuple and keys == (pub, pri)


@pytest.mark.parametrize("bits", [512, 1024])
@pytest.mark.parametrize("text", ["", "hello", "汉字" * 8, "é" * 26 + "a"])  # the last: 53 bytes
def test_round_trip(k, bits, text):
    pub, pri = k.pairs[bits]
    assert isinstance(pub, rsa.PublicKey) and pub.n == pri.n and pub.n.bit_length() == bits
    raw, again, hexed = (m_crypt.rsa(text, pub, hexs) for hexs in (None, 0, 1))  # by truth
    assert type(raw) is bytes and len(raw) == len(again) == bits // 8 and raw != again  # padding
    assert type(hexed) is bytes and len(hexed) == bits // 4 and hexed == hexed.lower()
    assert rsa.decrypt(raw, pri) == rsa.decrypt(binascii.unhexlify(hexed), pri) == text.encode()
    assert m_crypt.rsa_decrypt(raw, pri) == m_crypt.rsa_decrypt(again, pri, "") == text
    forms = (hexed, hexed.upper(), hexed.decode(), hexed.decode().upper())
    for form, hexs in zip(forms, (True, "y", [0], 1), strict=True):
        assert m_crypt.rsa_decrypt(value=form, pri_key=pri, hexs=hexs) == text

"""The fast paths on exact built-in types give what the general calls give."""

import hashlib
import sys
import types

import pytest
from Crypto.Cipher import AES
from hypothesis import given
from hypothesis import strategies as st

import crypt_main
from crypt_main import m_crypt


def digest_stub(make_hex):
    """A hashlib whose md5 objects answer hexdigest() with make_hex()."""

    class Hash:
        def update(self, data):
            pass

        def hexdigest(self):
            return make_hex()

    return types.SimpleNamespace(md5=Hash)


@given(text=st.text(st.characters(max_codepoint=0x24F), max_size=40), fresh=st.booleans())
def test_case_conversion_matches_str_methods(text, fresh):
    # A fresh string may be upper-cased in place; a shared one must be left as it was.
    make = (lambda: "".join(list(text))) if fresh else (lambda: text)
    saved, crypt_main.hashlib = crypt_main.hashlib, digest_stub(make)
    try:
        before = "".join(list(text))
        assert m_crypt.md5("x", "upper") == text.upper()
        assert m_crypt.md5("x", "lower") == text.lower()
        assert text == before
    finally:
        crypt_main.hashlib = saved


class Hex(str):
    def upper(self):
        return "subclass upper"

    def lower(self):
        return "subclass lower"


class Fmt(str):
    def __eq__(self, other):
        return other == "lower"

    __hash__ = str.__hash__


def test_subclasses_take_the_general_path(monkeypatch):
    monkeypatch.setattr(crypt_main, "hashlib", digest_stub(lambda: Hex("abc")))
    assert m_crypt.md5("x", "upper") == "subclass upper"
    assert m_crypt.md5("x", "lower") == "subclass lower"
    monkeypatch.undo()
    # Fmt("upper") says it equals "lower" only.
    assert m_crypt.md5("abc", Fmt("upper")) == hashlib.md5(b"abc").hexdigest()


def test_method_cache_follows_the_type(monkeypatch):
    real = m_crypt.sha256("abc", "lower")

    class Recording:
        def update(self, data):
            self.data = data

        def hexdigest(self):
            return "recorded:" + self.data.decode()

    stub = types.SimpleNamespace(sha256=Recording)
    for _ in range(3):  # alternate between a cached builtin type and a Python class
        assert m_crypt.sha256("abc", "lower") == real
        monkeypatch.setattr(crypt_main, "hashlib", stub)
        assert m_crypt.sha256("abc", "lower") == "recorded:abc"
        monkeypatch.undo()


def test_module_attributes_honour_getattr_and_subclasses(monkeypatch):
    lazy = types.ModuleType("lazy")
    lazy.__getattr__ = lambda name: getattr(hashlib, name)
    monkeypatch.setattr(crypt_main, "hashlib", lazy)
    assert m_crypt.md5("abc", "lower") == hashlib.md5(b"abc").hexdigest()

    class Overriding(types.ModuleType):
        md5 = property(lambda self: digest_stub(lambda: "from property").md5)

    module = Overriding("overriding")
    module.__dict__["md5"] = hashlib.md5  # shadowed by the property, as Python looks it up
    monkeypatch.setattr(crypt_main, "hashlib", module)
    assert m_crypt.md5("abc", "lower") == "from property"


def test_refcounts_survive_in_place_conversion():
    value = "".join(["leak", "check"])
    before = sys.getrefcount(value)
    for _ in range(100):
        m_crypt.sha1(value, "upper")
    assert sys.getrefcount(value) == before


# The characters on either side of a-z and A-Z, which a range test off by one gets wrong.
EDGES = "`az{@AZ["


@pytest.mark.parametrize("n", range(1, 18))
def test_case_conversion_in_words_and_tail(monkeypatch, n):
    # ASCII text is converted eight characters at a time, then one at a time: each edge
    # character at each position of the words and of the tail, in a fresh and a shared string.
    for c in EDGES:
        for i in range(n):
            text = "0" * i + c + "0" * (n - i - 1)
            for make in (lambda text=text: "".join(list(text)), lambda text=text: text):
                monkeypatch.setattr(crypt_main, "hashlib", digest_stub(make))
                assert m_crypt.md5("x", "upper") == text.upper(), (text, "upper")
                assert m_crypt.md5("x", "lower") == text.lower(), (text, "lower")
                assert text == "0" * i + c + "0" * (n - i - 1)


HELD = []

HEX = "0123456789abcdef-0123456789abcdef-xyz"  # the dash keeps the constant from being interned
FRESH_HEX = {
    "fresh": lambda: "".join(list(HEX)),
    "hash-computed": lambda: [s := "".join(list(HEX)), hash(s)][0],
    "held-elsewhere": lambda: [s := "".join(list(HEX)), HELD.append(s)][0],
    "interned": lambda: sys.intern("".join(list(HEX))),
}


@pytest.mark.parametrize("make", FRESH_HEX.values(), ids=FRESH_HEX)
def test_upper_in_place_only_where_nobody_can_tell(monkeypatch, make):
    # A string may be upper-cased where it lies only if the call alone holds it and no hash
    # was cached from its old contents: a stale hash breaks every dict and set lookup.
    monkeypatch.setattr(crypt_main, "hashlib", digest_stub(make))
    result, expected = m_crypt.md5("x", "upper"), HEX.upper()
    assert result == expected and hash(result) == hash(expected)
    assert {expected: 1}[result] == {result: 1}[expected] == 1 and result in {expected}
    assert all(s == HEX for s in HELD) and sys.intern("".join(list(HEX))) == HEX
    HELD.clear()


def test_method_cache_skips_mutable_types():
    # A class without instance dicts is still mutable: its encode may be replaced at any time.
    class Key(str):
        __slots__ = ()

    assert m_crypt.aes_ecb("abc", Key("k" * 16)) == m_crypt.aes_ecb("abc", "k" * 16)
    Key.encode = lambda self, *args: b"K" * 16
    assert m_crypt.aes_ecb("abc", Key("k" * 16)) == m_crypt.aes_ecb("abc", "K" * 16)
    del Key.encode
    assert m_crypt.aes_ecb("abc", Key("k" * 16)) == m_crypt.aes_ecb("abc", "k" * 16)
    # With an instance dict, an instance's own encode comes before the class's.
    key = type("Dicted", (str,), {})("k" * 16)
    key.encode = lambda *args: b"K" * 16
    assert m_crypt.aes_ecb("abc", key) == m_crypt.aes_ecb("abc", "K" * 16)


class Text(str):
    def rstrip(self, chars=None):
        return f"{self}.rstrip({chars!r})"


class Raw(bytes):
    def decode(self, *args):  # the codec positionally, as the module passes it
        return Text(f"decode{args}")


def decrypting_to(result):
    cryptor = types.SimpleNamespace(decrypt=lambda data: result)
    return types.SimpleNamespace(MODE_CBC=AES.MODE_CBC, new=lambda *args: cryptor)


ECB_TEXT = m_crypt.aes_ecb("é", "k" * 16)
STUBBED = {  # library results that are not exact bytes get the method calls plain Python makes
    "unpad-bytearray": ("unpad", lambda *a: bytearray("é".encode()), "é"),
    "unpad-subclass": ("unpad", lambda *a: Raw(b"x"), "decode()"),
    "rsa-subclass": ("rsa", types.SimpleNamespace(decrypt=lambda *a: Raw(b"x")), "decode()"),
    "php-bytearray": ("AES", decrypting_to(bytearray("中文\0\0".encode("gbk"))), "中文"),
    "php-subclass": ("AES", decrypting_to(Raw(b"x")), "decode('gbk',).rstrip('\\x00')"),
}
CALLS = {
    "unpad": lambda: m_crypt.aes_ecb_decrypt(ECB_TEXT, "k" * 16),
    "rsa": lambda: m_crypt.rsa_decrypt(b"sealed", None),
    "AES": lambda: m_crypt.php_decrypt(b"x" * 16, "k", "i" * 16),
}


@pytest.mark.parametrize("name, stub, expected", STUBBED.values(), ids=STUBBED)
def test_library_results_of_other_types(monkeypatch, name, stub, expected):
    monkeypatch.setattr(crypt_main, name, stub)
    assert CALLS[name]() == expected


class Refusing(str):
    def refuse(self, *args):
        raise ZeroDivisionError(f"{self} refused")

    upper = lower = rstrip = refuse


def test_errors_of_overriding_methods_pass_through(monkeypatch):
    monkeypatch.setattr(crypt_main, "hashlib", digest_stub(lambda: Refusing("hex")))
    for fmt in ("upper", "lower"):
        pytest.raises(ZeroDivisionError, m_crypt.md5, "x", fmt).match("^hex refused$")
    decoded = type("Decoded", (bytes,), {"decode": lambda self, *a: Refusing("text")})
    monkeypatch.setattr(crypt_main, "AES", decrypting_to(decoded(b"x")))
    pytest.raises(ZeroDivisionError, CALLS["AES"]).match("^text refused$")

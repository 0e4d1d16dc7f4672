"""The fast paths on exact built-in types give what the general calls give."""

import hashlib
import sys
import types

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

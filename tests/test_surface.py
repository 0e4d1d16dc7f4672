"""The module namespace, the class _Crypt, its method objects and the instance m_crypt."""

import inspect
import re
import subprocess
import sys

import pytest

import crypt_main
from crypt_main import _Crypt, m_crypt
from tests.method_table import METHODS
from tests.support import run_python


def test_module_namespace():
    import base64
    import binascii
    import hashlib
    import hmac
    import time

    import jwt
    import rsa
    from Crypto.Cipher import AES, DES
    from Crypto.Util.Padding import pad, unpad

    a2b_hex, b2a_hex = binascii.a2b_hex, binascii.b2a_hex
    expected = dict(
        base64=base64,
        hashlib=hashlib,
        hmac=hmac,
        time=time,
        a2b_hex=a2b_hex,
        b2a_hex=b2a_hex,
        jwt=jwt,
        rsa=rsa,
        AES=AES,
        DES=DES,
        pad=pad,
        unpad=unpad,
        _Crypt=_Crypt,
        m_crypt=m_crypt,
    )
    # Binding order, seen in a fresh interpreter: other tests delete and restore globals.
    keys = run_python("import crypt_main; print(*vars(crypt_main))").stdout.split()
    assert keys[keys.index("__all__") :] == ["__all__", *expected]
    assert all(getattr(crypt_main, k) is v for k, v in expected.items())
    ns = {}
    exec("from crypt_main import *", ns)
    assert crypt_main.__all__ == ["m_crypt"] and ns.keys() - {"__builtins__"} == {"m_crypt"}


def test_class_and_instances():
    assert type(_Crypt) is type and _Crypt.__bases__ == (object,) and _Crypt.__doc__ is None
    assert (_Crypt.__name__, _Crypt.__qualname__, _Crypt.__module__) == (
        "_Crypt",
        "_Crypt",
        "crypt_main",
    )
    keys, n = list(_Crypt.__dict__), len(METHODS) + 1
    assert keys[:n] == ["__module__", *(m.name for m in METHODS)]
    # Nothing else but what type() gives every class, and the empty list of slot names that
    # copyreg caches on any class once one of its instances has been pickled (as the README's
    # process-pool example does with m_crypt.php).
    assert set(keys[n:]) - {"__slotnames__"} == set(type("Plain", (), {}).__dict__) - {"__module__"}
    assert _Crypt.__dict__.get("__slotnames__", []) == []
    other = _Crypt()
    assert type(m_crypt) is type(other) is _Crypt and other is not m_crypt
    assert m_crypt.__dict__ == other.__dict__ == {} and m_crypt.__init__() is None


ATTRIBUTES = "__name__ __qualname__ __module__ __doc__ __defaults__ __text_signature__".split()
ATTRIBUTES.append("__vectorcalloffset__")


@pytest.mark.parametrize("m", METHODS, ids=lambda m: m.name)
def test_method(m):
    entry, bound, static = _Crypt.__dict__[m.name], getattr(m_crypt, m.name), m.kind == "static"
    fn = entry.__func__ if static else entry
    assert (type(entry) is staticmethod) == static and getattr(_Crypt, m.name) is fn
    assert bound is fn if static else (bound.__func__, bound.__self__) == (fn, m_crypt)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (
        m.name,
        f"_Crypt.{m.name}",
        "crypt_main",
    )
    assert fn.__doc__ == f"_Crypt.{m.name}({m.params})"
    # Types too: == alone would accept 0 for False or 86400.0 for 86400.
    assert fn.__defaults__ == m.defaults
    assert list(map(type, fn.__defaults__ or ())) == list(map(type, m.defaults or ()))
    assert str(inspect.signature(fn)) == f"({m.params})"
    unbound = m.params if static else m.params.removeprefix("self").removeprefix(", ")
    assert str(inspect.signature(bound)) == f"({unbound})"
    # A Python function's repr; through the class (None as the instance) the function itself.
    assert repr(fn) == f"<function _Crypt.{m.name} at {id(fn):#x}>"
    assert entry.__get__(None, _Crypt) is fn
    # Writable slots would let `del` leave a NULL that the next call or read dereferences.
    before = [getattr(fn, name) for name in ATTRIBUTES]
    for name in ATTRIBUTES:
        pytest.raises(AttributeError, delattr, fn, name)
        pytest.raises(AttributeError, setattr, fn, name, None)
    assert [getattr(fn, name) for name in ATTRIBUTES] == before


def test_module_docstring_lists_every_operation():
    # Each method but __init__, in table order, with the parameters a caller of m_crypt passes.
    listed = re.findall(r"^  (\w+)\((.*)\)$", crypt_main.__doc__, re.MULTILINE)
    assert listed == [
        (m.name, m.params.removeprefix("self").removeprefix(", "))
        for m in METHODS
        if m.name != "__init__"
    ]


FUNCTION = type(m_crypt.md5)


@pytest.mark.parametrize(
    "make",
    [  # a made-up function has no method-table row behind it: its first call would crash
        lambda: FUNCTION(),
        lambda: object.__new__(FUNCTION),
        lambda: type("Sub", (FUNCTION,), {}),
    ],
    ids=["call-type", "object-new", "subclass"],
)
def test_function_type_refuses_new_objects(make):
    with pytest.raises(TypeError):
        make()


def test_import_issues_no_warning():
    # A flipped version comparison at import warns, which -W error turns into a failed import.
    r = subprocess.run(
        [sys.executable, "-W", "error", "-X", "dev", "-c", "import crypt_main; print('ok')"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")

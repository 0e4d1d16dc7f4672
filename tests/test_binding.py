"""Argument binding: the three TypeError texts and the equivalent ways of passing arguments."""

import ctypes
import os
import platform
import textwrap

import pytest

from crypt_main import _Crypt
from crypt_main import m_crypt as m
from tests.support import run_python


def count(name, bound, n, given):
    return f"{name}() takes {bound} {n} positional argument{'s' * (n != 1)} ({given} given)"


def twice(name, kw):
    return f"{name}() got multiple values for keyword argument '{kw}'"


def unexpected(name, kw):
    return f"{name}() got an unexpected keyword argument '{kw}'"


def runtime(text):
    """An equal but not interned str, like the keys of a ** dict built at run time."""
    return "".join(list(text))


CASES = [
    (lambda: m.aes_ecb("x"), count("aes_ecb", "exactly", 2, 1)),
    (lambda: m.aes_ecb("x", "k", "z"), count("aes_ecb", "exactly", 2, 3)),
    (lambda: m.base64(), count("base64", "exactly", 1, 0)),
    (lambda: m.rsa_keys(1024, 2), count("rsa_keys", "at most", 1, 2)),
    (lambda: m.token("d"), count("token", "at least", 2, 1)),
    (lambda: m.token(1, 2, 3, 4, 5), count("token", "at most", 4, 5)),
    # With keywords, the position of the first required parameter left unbound.
    (lambda: m.aes_ecb(key="k"), count("aes_ecb", "exactly", 2, 0)),
    (lambda: m.aes_ecb(value="x"), count("aes_ecb", "exactly", 2, 1)),
    (lambda: m.aes_cbc("v", key="k"), count("aes_cbc", "exactly", 3, 2)),
    (lambda: m.token("d", issuer="x", exp_time=1), count("token", "at least", 2, 1)),
    # Too many positionals is reported before any keyword is looked at.
    (lambda: m.token(1, 2, 3, 4, 5, issuer="x"), count("token", "at most", 4, 5)),
    # The bound instance is the first positional argument.
    (lambda: m.php("v", "k"), count("php", "at least", 4, 3)),
    (lambda: m.php("v", "k", "i", False, 1), count("php", "at most", 5, 6)),
    (lambda: m.php(value="v"), count("php", "at least", 4, 2)),
    (lambda: m.php("v", self=m), twice("php", "self")),
    (lambda: _Crypt.php(), count("php", "at least", 4, 0)),
    (lambda: _Crypt.php(m, "v"), count("php", "at least", 4, 2)),
    (lambda: _Crypt.php(value="v", key="k", iv="i"), count("php", "at least", 4, 0)),
    (lambda: _Crypt(1), count("__init__", "exactly", 1, 2)),
    # The first offending keyword ends the binding.
    (lambda: m.aes_ecb("x", value="y"), twice("aes_ecb", "value")),
    (lambda: m.md5("x", key="upper"), unexpected("md5", "key")),
    (lambda: m.md5("x", bogus=1, value=2), unexpected("md5", "bogus")),
    (lambda: m.md5("x", value=2, bogus=1), twice("md5", "value")),
    (lambda: m.base64("x", **{runtime("value"): "y"}), twice("base64", "value")),
    (lambda: m.base64(**{runtime("valu"): "y"}), unexpected("base64", "valu")),
]


@pytest.mark.parametrize("call, message", CASES, ids=[c[1] for c in CASES])
def test_binding_error(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError and str(e.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: m.md5(value="abc", fmt="upper"),
        lambda: m.md5(fmt="upper", value="abc"),
        lambda: m.md5("abc", fmt="upper"),
        lambda: _Crypt.md5("abc", "upper"),
        lambda: _Crypt().md5(**{runtime("fmt"): "upper", runtime("value"): "abc"}),
    ],
)
def test_equivalent_calls(call):
    assert call() == m.md5("abc", "upper") == "900150983CD24FB0D6963F7D28E17F72"
    assert m.base64(value="hi") == _Crypt.base64(**{runtime("value"): "hi"}) == m.base64("hi")


def test_keyword_names_that_are_not_str():
    # Only the C API can pass them. A name compared as a str without this check is formatted
    # into the unexpected-keyword message as one, which reads past the object.
    obj = ctypes.py_object
    signature = ctypes.PYFUNCTYPE(obj, obj, ctypes.POINTER(obj), ctypes.c_size_t, obj)
    vectorcall = signature(("PyObject_Vectorcall", ctypes.pythonapi))
    args = (obj * 2)("abc", "upper")
    for kwnames in [(1,), (b"fmt",)]:
        with pytest.raises(TypeError, match=r"keywords must be strings$"):
            vectorcall(m.md5, args, 1, kwnames)
    assert vectorcall(m.md5, args, 1, ("fmt",)) == m.md5("abc", "upper")


class EqRaises(str):
    def __eq__(self, other):
        raise KeyError("eq")

    __hash__ = str.__hash__


class EqAlways(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "keyword, expected",
    [(EqRaises("value"), KeyError("eq")), (EqAlways("anything"), "eA==")],
    ids=["raises", "always-true"],
)
def test_keyword_of_a_str_subclass_is_compared_with_eq(keyword, expected):
    # As a Python function matches it: a value comparison that skipped the subclass's __eq__
    # would refuse the one and bind the other.
    try:
        got = m.base64(**{keyword: "x"})
    except KeyError as e:
        got = e
    assert repr(got) == repr(expected)


# A str subclass whose encode is one of our functions nests in C, with no Python frame in
# between; one whose encode is Python code nests through a fresh eval loop each level. Either
# must end in RecursionError on every stack, the thread then still running every operation.
ENCODES = {
    "c": "encode = crypt_main._Crypt.base64",
    "python": "def encode(self, *args):\n        return m.base64(Loop('x')).encode()",
}
RUN = "body()"
# Where the nesting runs: the main thread with a limit far above what its stack holds, threads
# with small stacks, and a stack of the program's own that it switched to, outside the bounds
# the thread's stack has (the guard then counts levels, as Python frames are counted).
STACKS = {
    "main": f"sys.setrecursionlimit(100_000)\n{RUN}",
    **{
        f"thread-{kib}K": f"threading.stack_size({kib} << 10)\n"
        "t = threading.Thread(target=body)\nt.start()\nt.join()"
        for kib in (64, 256, 4096)
    },
    "switched": """
        libc = ctypes.CDLL(None)
        here, there = ctypes.create_string_buffer(4096), ctypes.create_string_buffer(4096)
        stack = ctypes.create_string_buffer(4 << 20)
        start = ctypes.CFUNCTYPE(None)(body)
        assert libc.getcontext(there) == 0
        ctypes.c_void_p.from_buffer(there, 8).value = ctypes.addressof(here)  # uc_link
        ctypes.c_void_p.from_buffer(there, 16).value = ctypes.addressof(stack)  # ss_sp
        ctypes.c_size_t.from_buffer(there, 32).value = len(stack)  # ss_size
        libc.makecontext(there, start, 0)
        assert libc.swapcontext(here, there) == 0
    """,
}


@pytest.mark.parametrize("where", STACKS, ids=STACKS)
@pytest.mark.parametrize("encode", ENCODES, ids=ENCODES)
def test_recursion_through_encode_is_stopped(where, encode):
    if where == "switched" and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer cannot follow a switch to another stack")
    if where == "switched" and platform.machine() != "x86_64":
        pytest.skip("the ucontext_t offsets are glibc's on x86-64")
    r = run_python(
        "import crypt_main, ctypes, sys, threading\n"
        "from crypt_main import m_crypt as m\n"
        "class Loop(str):\n"
        f"    {ENCODES[encode]}\n"
        + textwrap.dedent("""
        def body():
            try:
                m.base64(Loop("x"))
            except RecursionError:
                print("RecursionError")
            # A level not given back on a failed call would run out after this many.
            for _ in range(3000):
                try:
                    m.base64(b"x")
                except AttributeError:
                    pass
            k, iv = "0123456789abcdef", "fedcba9876543210"
            print(m.md5("abc", "upper"), m.aes_cbc_decrypt(m.aes_cbc("x", k, iv), k, iv),
                  m.token_decrypt(m.token([1], "k" * 32), "k" * 32))
        """)
        + textwrap.dedent(STACKS[where])
    )
    out = "RecursionError\n900150983CD24FB0D6963F7D28E17F72 x [1]\n"
    assert (r.returncode, r.stderr, r.stdout) == (0, "", out)


def test_honest_nesting_within_the_limit():
    class Nested(str):
        def encode(self, *args):
            if int(self):
                m.base64(Nested(int(self) - 1))
            return b"x"

    assert m.base64(Nested(300)) == "eA=="

"""Hostile arguments for every method: each call returns or raises an Exception, nothing worse.

Run standalone for a longer campaign:  python tests/test_fuzz.py --seconds 300
"""

import argparse
import inspect
import math
import os
import sys
import time
import warnings

import hypothesis.strategies as st
import rsa as real_rsa
from hypothesis import HealthCheck, given, settings

import crypt_main
from crypt_main import _Crypt, m_crypt

PUB, PRI = real_rsa.newkeys(512)
CALLS = 0


class Boom(Exception):
    pass


def boom(*_args, **_kwargs):
    raise Boom


class StrEncodeRaises(str):
    encode = boom


class StrEncodeWrongType(str):
    def encode(self, *args, **kwargs):
        return 12345


class StrEncodeBytearray(str):
    def encode(self, *args, **kwargs):
        return bytearray(str.encode(self, "utf-8", "replace"))


class StrEncodeList(str):
    def encode(self, *args, **kwargs):
        return [1, 2, 3]


class StrRecursive(str):
    # Bound as a method: value.encode() calls base64(value), which calls value.encode() ...
    encode = _Crypt.base64


class StrEqRaises(str):
    __eq__ = boom
    __hash__ = str.__hash__


class BytesDecodeRaises(bytes):
    decode = boom


class BytesLenLies(bytes):
    def __len__(self):
        return 7


class Falsy:
    def __bool__(self):
        raise Boom


class Strange:
    """Every operator answers with something odd or raises."""

    def __eq__(self, other):
        return Falsy()

    __hash__ = object.__hash__
    __add__ = __radd__ = __mul__ = __rmul__ = lambda self, other: self
    __le__ = boom
    __index__ = boom
    __bool__ = boom

    def __len__(self):
        return -1


def released_view():
    view = memoryview(b"0123456789abcdef")
    view.release()
    return view


SCALARS = [
    "",
    "\0",
    "\0" * 17,
    "\ud800",
    "a\udfffb",
    "😀",
    "0123456789abcdef",
    "中文密钥",
    "x" * 1_000_003,
    b"",
    b"0123456789abcdef",
    b"\xff\xfe",
    bytearray(b"0123456789abcdef"),
    memoryview(b"0123456789abcdef"),
    10**100,
    -(10**100),
    -1,
    0,
    True,
    False,
    math.nan,
    math.inf,
    -0.0,
    3600.5,
    None,
    [],
    {},
    (1, 2),
    {"a": [1]},
    {1, 2},
    object(),
    Strange(),
    Falsy(),
    PUB,
    PRI,
    m_crypt,
    _Crypt,
    "upper",
    "lower",
    "eyJhbGciOiJub25lIn0.e30.",
]
MADE = [
    lambda: StrEncodeRaises("abc"),
    lambda: StrEncodeWrongType("abc"),
    lambda: StrEncodeBytearray("0123456789abcdef"),
    lambda: StrEncodeList("abc"),
    lambda: StrRecursive("abc"),
    lambda: StrEqRaises("upper"),
    lambda: BytesDecodeRaises(b"0123456789abcdef"),
    lambda: BytesLenLies(b"0123456789abcdef"),
    released_view,
    lambda: m_crypt.aes_ecb("x", "0123456789abcdef"),
    lambda: m_crypt.token("x", "0123456789abcdef0123456789abcdef"),
]

values = st.one_of(
    st.sampled_from(SCALARS),
    st.sampled_from(MADE).map(lambda make: make()),
    st.text(st.characters(exclude_categories=()), max_size=40),
    st.binary(max_size=40),
    st.integers(),
    st.floats(),
)
NAMES = [name for name in vars(_Crypt) if not name.startswith("__")] + ["__init__"]


class Sub(_Crypt):
    _add_to_16 = staticmethod(lambda value: b"\0" * 16)


@st.composite
def calls(draw):
    """A method, through an instance or the class, with about as many arguments as it takes,
    some moved to keywords: most calls get past binding and into the body."""
    name = draw(st.sampled_from(NAMES))
    owner = draw(st.sampled_from([m_crypt, _Crypt, Sub()]))
    target = getattr(owner, name) if name != "__init__" or owner is not _Crypt else _Crypt
    params = list(inspect.signature(target).parameters)
    count = draw(st.sampled_from([len(params)] * 6 + [max(len(params) - 1, 0), len(params) + 1]))
    args = draw(st.lists(values, min_size=count, max_size=count))
    if params and params[0] == "self" and draw(st.booleans()):
        args[:1] = [draw(st.sampled_from([m_crypt, Sub(), None]))]
    kwargs = {}
    for _ in range(draw(st.integers(0, min(2, len(args))))):
        value = args.pop()
        right = params[len(args)] if len(args) < len(params) else "bogus"
        kwargs[draw(st.sampled_from([right] * 4 + params + ["bogus"]))] = value
    return target, args, kwargs


class FastKeys:
    """The rsa module with key generation answered from a cache: a 4096-bit key takes seconds."""

    def __getattr__(self, name):
        return getattr(real_rsa, name)

    @staticmethod
    def newkeys(bits):
        return PUB, PRI


def hostile_call(call):
    target, args, kwargs = call
    global CALLS
    CALLS += 1
    try:
        target(*args, **kwargs)
    except Exception:
        pass


def run(examples):
    saved = crypt_main.rsa
    crypt_main.rsa = FastKeys()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            campaign = given(calls())(hostile_call)
            settings(
                max_examples=examples,
                deadline=None,
                database=None,
                suppress_health_check=list(HealthCheck),
            )(campaign)()
    finally:
        crypt_main.rsa = saved


def test_hostile_arguments():
    run(int(os.environ.get("CM_FUZZ_EXAMPLES", "500")))
    # The module still works afterwards.
    assert m_crypt.md5("abc", "lower") == "900150983cd24fb0d6963f7d28e17f72"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=180)
    seconds = parser.parse_args().seconds
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        run(2000)
        print(f"{CALLS} calls", flush=True)
    print(f"fuzz: {CALLS} hostile calls in {seconds:.0f} s, no crash")


if __name__ == "__main__":
    sys.exit(main())

"""Differential fuzzing: the same hostile arguments, module globals and library stand-ins go to
the module and to the same class in plain Python (tests/plain.py), and both must agree on the
result, or on the exception's type and message. Binding errors, whose texts are the module's
own, are checked against the binding rules instead.

Run standalone for a longer campaign:  python tests/test_fuzz.py --seconds 300
"""

import argparse
import importlib.util
import inspect
import math
import os
import re
import signal
import sys
import time
import types
import warnings

import hypothesis.strategies as st
import jwt as real_jwt
import rsa as real_rsa
from hypothesis import HealthCheck, given, settings

import crypt_main
from tests.fuzz.hostile import Boom, Falsy, Strange, boom
from tests.method_table import METHODS
from tests.support import PLAIN

spec = importlib.util.spec_from_file_location("plain_crypt", PLAIN)
plain = importlib.util.module_from_spec(spec)
spec.loader.exec_module(plain)

PUB, PRI = real_rsa.newkeys(512)
NAMES = ("base64", "hashlib", "hmac", "time", "a2b_hex", "b2a_hex", "jwt", "rsa", "AES", "DES")
NAMES += ("pad", "unpad")
CALLS = 0


class StrEncodeRaises(str):
    encode = boom


class StrEncodeOdd(str):
    """encode answers with something of another type, chosen by the text."""

    def encode(self, *args, **kwargs):
        data = str.encode(self, "utf-8", "replace")
        return {"i": 12345, "a": bytearray(data), "l": [1, 2], "s": str(self)}.get(self[:1], data)


class StrRecursive(str):
    encode = crypt_main._Crypt.base64  # value.encode() is base64(value) is value.encode() ...


class StrEqOdd(str):
    def __eq__(self, other):
        if str.__eq__(self, "raise"):
            raise Boom("eq")
        return True

    __hash__ = str.__hash__


class BytesDecodeRaises(bytes):
    decode = boom


class Disguised:
    """isinstance(x, bytes) and isinstance(x, int) are true; the type says otherwise."""

    __class__ = property(lambda self: bytes)

    def encode(self, *args, **kwargs):
        return b"disguised"


SCALARS = [
    *("", "\0", "\0" * 17, "\ud800", "😀", "0123456789abcdef", "中文密钥", "é" * 8, "x" * 70),
    *(b"", b"0123456789abcdef", b"\xff\xfe", bytearray(b"0123456789abcdef")),
    memoryview(b"0123456789abcdef"),
    *(10**40, -1, 0, 1, 53.5, True, False, math.nan, math.inf, 3600.5, None),
    *([], {}, (1, 2), {"a": [1]}, {1, 2}, object(), Strange(), Falsy(), Disguised()),
    *(PUB, PRI, "upper", "lower", "UPPER", "eyJhbGciOiJub25lIn0.e30.", "7b7d", "zz"),
]
MADE = [
    lambda: StrEncodeRaises("abc"),
    *(lambda c=c: StrEncodeOdd(c + "0123456789abcde") for c in "ials-"),
    lambda: StrRecursive("abc"),
    *(lambda t=t: StrEqOdd(t) for t in ("raise", "upper")),
    lambda: BytesDecodeRaises(b"0123456789abcdef"),
    lambda: plain.obj.aes_ecb("x", "0123456789abcdef"),
    lambda: plain.obj.php("x", "key", "0123456789abcdef", True),
    lambda: plain.obj.token("x", "k" * 32),
    lambda: plain.obj.token("x", "k" * 32, -10),
    lambda: plain.obj.rsa("x", PUB, True),
]
values = st.one_of(
    st.sampled_from(SCALARS),
    st.sampled_from(MADE).map(lambda make: make()),
    st.text(st.characters(exclude_categories=()), max_size=24),
    st.binary(max_size=40),
    st.integers(-(2**70), 2**70),
)


class Clock:
    """time: a fixed clock, whatever the machine's, so that tokens come out the same."""

    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


class FastKeys:
    """rsa with key generation answered at once, by a shape the test chooses."""

    def __init__(self, shape):
        self.shape = shape

    def __getattr__(self, name):
        return getattr(real_rsa, name)

    def newkeys(self, bits):
        return {
            "pair": (PUB, PRI),
            "list": [PUB, PRI],
            "gen": (k for k in (PUB, PRI)),
            "one": (PUB,),
            "three": (PUB, PRI, bits),
            "int": bits,
        }[self.shape]


class Through:
    """A copy of a module or class with one attribute missing, raising or replaced."""

    def __init__(self, real, name, how):
        self._real, self._name, self._how = real, name, how

    def __getattr__(self, attr):
        if attr != self._name:
            return getattr(self._real, attr)
        if self._how == "missing":
            raise AttributeError(f"no {attr}")
        if self._how == "raises":
            return boom
        return self._how


def odd_callable(result):
    return lambda *args, **kwargs: result


def interrupt(*args, **kwargs):
    """Ctrl-C between two steps: the default handler raises KeyboardInterrupt here."""
    signal.raise_signal(signal.SIGINT)


# Per global, the stand-ins a draw may choose; the defaults (first) keep calls deterministic.
STAND_INS = {
    "time": [
        Clock(1700000000),
        Clock(1700000000.9),
        Clock("soon"),
        Through(time, "time", "raises"),
    ],
    "rsa": [FastKeys("pair"), *(FastKeys(s) for s in ("list", "gen", "one", "three", "int"))],
    "jwt": [
        real_jwt,
        Through(real_jwt, "decode", odd_callable({"data": [1]})),
        Through(real_jwt, "decode", odd_callable([])),
        Through(real_jwt, "decode", "not callable"),
        Through(real_jwt, "exceptions", types.SimpleNamespace(ExpiredSignatureError=ValueError)),
        Through(real_jwt, "exceptions", types.SimpleNamespace(ExpiredSignatureError=(Boom, 1))),
        Through(real_jwt, "encode", odd_callable(b"bytes token")),
        Through(real_jwt, "decode", interrupt),
    ],
    "hashlib": [
        Through(plain.hashlib, "md5", odd_callable(types.SimpleNamespace(update=boom))),
        Through(plain.hashlib, "sha1", "missing"),
    ],
    "AES": [
        Through(plain.AES, "MODE_CBC", "missing"),
        Through(plain.AES, "block_size", 8),
        Through(plain.AES, "new", odd_callable(types.SimpleNamespace(encrypt=str, decrypt=bytes))),
    ],
    "DES": [Through(plain.DES, "new", "raises")],
    "pad": [odd_callable("padded"), odd_callable(bytearray(b"x" * 16)), interrupt],
    "unpad": [odd_callable(bytearray(b"\xe4\xb8\xad")), odd_callable(b"\xff")],
    "base64": [
        Through(plain.base64, "encodebytes", odd_callable("already text")),
        Through(plain.base64, "decodebytes", odd_callable(bytearray(b"0123456789abcdef"))),
        Through(plain.base64, "encodebytes", interrupt),
    ],
    "hmac": [Through(plain.hmac, "new", "missing"), Through(plain.hmac, "new", interrupt)],
    "b2a_hex": [odd_callable("hex")],
    "a2b_hex": [odd_callable(b"\x00" * 64)],
}
DELETED = object()


@st.composite
def environments(draw):
    """Module globals for one call: mostly the real ones, some replaced or deleted."""
    env = {"time": STAND_INS["time"][0], "rsa": STAND_INS["rsa"][0]}
    for name in draw(st.lists(st.sampled_from(NAMES), max_size=2, unique=True)):
        choices = [DELETED, *STAND_INS.get(name, [])]
        env[name] = draw(st.sampled_from(choices))
    return env


class Sub(crypt_main._Crypt):
    _add_to_16 = staticmethod(lambda value: b"\0" * 16)


class PlainSub(plain._Crypt):
    _add_to_16 = staticmethod(lambda value: b"\0" * 16)


TABLE = {m.name: m for m in METHODS}
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=40)
gbk_texts = st.text(st.characters(codec="gbk"), max_size=40)
IV16 = st.sampled_from(["fedcba9876543210", "é" * 8, "\0" * 16])
KEYS = {
    "des": st.sampled_from(["8bytekey", "ü" * 4]),
    "php": st.sampled_from(["k", "密钥", "k" * 16, "k" * 17, "键" * 12, "k" * 32]),
    "aes": st.sampled_from(["k" * 16, "k" * 24, "k" * 32, "é" * 8]),
}


@st.composite
def good_arguments(draw, m):
    """Arguments that pass every step: the hostile ones are swapped in afterwards."""
    family = m.name.removesuffix("_decrypt")
    key = draw(KEYS.get(family.split("_")[0], st.just("k" * 32)))
    iv = draw(IV16)
    text = draw(gbk_texts if family == "php" else texts)
    sealed = {
        "aes_ecb": lambda: plain.obj.aes_ecb(text, key),
        "aes_cbc": lambda: plain.obj.aes_cbc(text, key, iv),
        "des": lambda: plain.obj.des(text, key),
    }
    flag = draw(st.booleans())
    if m.name in ("php", "php_decrypt"):
        value = plain.obj.php(text, key, iv, flag) if m.name == "php_decrypt" else text
        return {"value": value, "key": key, "iv": iv, "base64s": flag}
    if family in sealed:
        value = sealed[family]() if m.name.endswith("_decrypt") else text
        return {"value": value, "key": key, "iv": iv}
    if m.name == "rsa_decrypt":
        sealed_rsa = real_rsa.encrypt(text.encode()[:53], PUB)
        return {"value": sealed_rsa.hex() if flag else sealed_rsa, "pri_key": PRI, "hexs": flag}
    if m.name == "token_decrypt":
        issuer = draw(st.sampled_from(["Quarne", "other"]))
        return {
            "token": plain.obj.token(text, key, draw(st.sampled_from([-5, 60, None]))),
            "key": key,
            "issuer": issuer,
        }
    return {
        "value": text if m.name != "base64_decrypt" else plain.obj.base64(text),
        "key": key,
        "fmt": draw(st.sampled_from(["upper", "lower", "x"])),
        "pub_key": PUB,
        "hexs": flag,
        "length": draw(st.integers(-20, 300)),
        "data": draw(st.recursive(st.none() | st.integers() | texts, st.lists, max_leaves=4)),
        "exp_time": draw(st.sampled_from([86400, -10, 3600.5, None, True])),
        "issuer": draw(st.sampled_from(["Quarne", "other"])),
    }


@st.composite
def calls(draw):
    """A method, reached through an instance, the class or a subclass instance, with arguments
    that mostly pass, one or two of them hostile, some moved to keywords, right or wrong, called
    from code with builtins of its own or not."""
    m = TABLE[draw(st.sampled_from(list(TABLE)))]
    params = [p.split("=")[0] for p in m.params.split(", ")]
    # Through the class, an instance method takes self explicitly; otherwise self is bound, and
    # _Crypt(...) passes the new instance to __init__.
    owner = draw(st.sampled_from(["instance", "class", "subclass"]))
    if m.name == "_add_to_16" and owner == "subclass":
        owner = "instance"  # the subclass replaces it
    explicit = params if m.kind == "static" or owner == "class" else params[1:]
    if m.name == "__init__":
        explicit = []
    good = draw(good_arguments(m))
    args = [
        draw(st.sampled_from(["instance", "subclass", None])) if p == "self" else good[p]
        for p in explicit
    ]
    for _ in range(draw(st.sampled_from([0, 1, 1, 1, 2]))):
        if args:
            args[draw(st.integers(0, len(args) - 1))] = draw(values)
    count = draw(st.sampled_from([len(args)] * 12 + [max(len(args) - 1, 0), len(args) + 1]))
    args = [*args, draw(values)][:count]
    kwargs = {}
    for _ in range(draw(st.integers(0, min(2, len(args))))):
        value = args.pop()
        right = explicit[len(args)] if len(args) < len(explicit) else "bogus"
        kwargs[draw(st.sampled_from([right] * 12 + explicit + ["bogus"]))] = value
    return m, owner, args, kwargs, draw(environments()), draw(st.booleans())


def target(side, m, owner):
    module = crypt_main if side == "module" else plain
    instance = module.m_crypt if side == "module" else module.obj
    sub = Sub if side == "module" else PlainSub
    if m.name == "__init__":
        return module._Crypt if owner == "class" else instance.__init__
    return getattr({"instance": instance, "class": module._Crypt, "subclass": sub()}[owner], m.name)


def resolve(side, args, kwargs):
    """The symbolic instances of a drawn call, for one side."""
    module = crypt_main if side == "module" else plain
    table = {
        "instance": module.m_crypt if side == "module" else module.obj,
        "subclass": (Sub if side == "module" else PlainSub)(),
    }
    args = [table.get(a, a) if isinstance(a, str) and type(a) is str else a for a in args]
    return args, kwargs


def binding_error(m, owner, args, kwargs):
    """The TypeError text the binding rules give for this call, or None if it binds."""
    params = [p.split("=")[0] for p in m.params.split(", ")]
    total, required = len(params), sum("=" not in p for p in m.params.split(", "))
    self_bound = m.kind == "instance" and (owner != "class" or m.name == "__init__")
    given = len(args) + self_bound

    def count(n):
        bound = "exactly" if required == total else "at least" if n < required else "at most"
        k = required if bound != "at most" else total
        return f"{m.name}() takes {bound} {k} positional argument{'s' * (k != 1)} ({n} given)"

    if given > total or (not kwargs and given < required):
        return count(given)
    bound = set(range(given))
    for kw in kwargs:
        if kw not in params:
            return f"{m.name}() got an unexpected keyword argument '{kw}'"
        if params.index(kw) < given:
            return f"{m.name}() got multiple values for keyword argument '{kw}'"
        bound.add(params.index(kw))
    for i in range(required):
        if i not in bound:
            return count(i)
    return None


class CallersOwn:
    """What a caller's own __builtins__ holds under every global's name: a function takes its
    builtins from where it was made, so no call may reach this."""

    def __getattr__(self, name):
        raise Boom("the caller's builtins")

    __call__ = boom


SANDBOX = dict.fromkeys(NAMES, CallersOwn())


def outcome(fn, args, kwargs, sandboxed):
    try:
        if sandboxed:
            space = {"__builtins__": SANDBOX, "fn": fn, "args": args, "kwargs": kwargs}
            return "result", eval("fn(*args, **kwargs)", space)
        return "result", fn(*args, **kwargs)
    except BaseException as e:  # a KeyboardInterrupt from a stand-in included
        return "raised", e


ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def describe(kind, value):
    if kind == "raised":
        context = type(value.__context__).__name__ if value.__context__ else None
        return type(value).__name__, ADDRESS.sub("0x", str(value)), context
    if isinstance(value, (crypt_main._Crypt, plain._Crypt)):
        return "a new _Crypt"
    return type(value).__name__, repr(value)  # repr: a NaN in a result equals itself


def same_ciphertext(a, b, hexs):
    """RSA pads at random: two ciphertexts agree when they decrypt to the same text."""
    try:
        raw = [bytes.fromhex(x.decode()) if hexs else x for x in (a, b)]
        return real_rsa.decrypt(raw[0], PRI) == real_rsa.decrypt(raw[1], PRI)
    except Exception:
        return False


def run_call(call):
    global CALLS
    CALLS += 1
    m, owner, args, kwargs, env, sandboxed = call
    got = {}
    for side, module in (("module", crypt_main), ("plain", plain)):
        saved = {name: module.__dict__.get(name, DELETED) for name in env}
        for name, value in env.items():
            if value is DELETED:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)
        try:
            side_args, side_kwargs = resolve(side, args, kwargs)
            got[side] = outcome(target(side, m, owner), side_args, side_kwargs, sandboxed)
        finally:
            for name, value in saved.items():
                if value is DELETED:
                    module.__dict__.pop(name, None)
                else:
                    setattr(module, name, value)
    expected_binding = binding_error(m, owner, args, kwargs)
    kind, value = got["module"]
    if expected_binding is not None:
        assert kind == "raised" and type(value) is TypeError, (m.name, got["module"])
        assert str(value) == expected_binding
        return
    mine, theirs = describe(*got["module"]), describe(*got["plain"])
    if m.name == "rsa" and mine[0] == theirs[0] == "bytes":
        hexs = inspect.signature(plain._Crypt.rsa).bind(*args, **kwargs).arguments.get("hexs")
        assert same_ciphertext(got["module"][1], got["plain"][1], bool(hexs)), (call, mine)
        return
    assert mine == theirs, (m.name, owner, args, kwargs, env, mine, theirs)


def run(examples):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        settings(
            max_examples=examples,
            deadline=None,
            database=None,
            suppress_health_check=list(HealthCheck),
        )(given(calls())(run_call))()


def test_module_and_plain_python_agree():
    run(int(os.environ.get("CM_FUZZ_EXAMPLES", "600")))
    # Every global is back, and the module still works.
    assert crypt_main.m_crypt.md5("abc", "lower") == "900150983cd24fb0d6963f7d28e17f72"
    assert all(name in vars(crypt_main) for name in NAMES)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=180)
    seconds = parser.parse_args().seconds
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        run(2000)
        print(f"{CALLS} calls", flush=True)
    print(f"fuzz: {CALLS} calls in {seconds:.0f} s, module and plain Python agree")


if __name__ == "__main__":
    sys.exit(main())

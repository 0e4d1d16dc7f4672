"""Each operation's steps that can fail, in the order its step list runs them, and how to make
each one fail alone. tests/plain.py runs the same steps one statement each.

A step is a fault that makes exactly that step fail:
  {"key": Bad("key")}     an argument; here one that raises Failure("key") at its first use
  "AES"                   the module global is missing: NameError
  "AES.new"               the global stands in without that attribute: AttributeError("AES.new")
  "AES.new()"             calling it raises Failure("AES.new()"), before the library sees anything
  "AES.new().encrypt()"   so does calling encrypt on what AES.new returned
  {"rsa.newkeys": fn}     the attribute is fn (a class: an instance made anew for each call)
Where a library call can fail on its own input too, the planted failure of that call comes
first: it raises before the input is looked at. Handling(...) marks a step that runs only while
another failure is being handled.
"""

import base64
import re

import jwt
import pytest
import rsa
from Crypto.Cipher import AES, DES
from Crypto.Util.Padding import pad

GLOBALS = ("base64", "hashlib", "hmac", "time", "a2b_hex", "b2a_hex", "jwt", "rsa", "AES", "DES")
GLOBALS += ("pad", "unpad")


class Failure(Exception):
    """What a planted fault raises; the message names it."""


class Bad:
    """An argument that fails at its first use: encode, truth test, ==, isinstance, arithmetic."""

    def __init__(self, tag):
        self.tag = tag

    def fail(self, *_args, **_kwargs):
        raise Failure(self.tag)

    encode = __bool__ = __eq__ = __int__ = __add__ = __mul__ = __le__ = __iter__ = fail
    __class__ = property(fail)  # what isinstance asks when the type alone does not decide
    __hash__ = None

    def __repr__(self):
        return f"Bad({self.tag!r})"


def bad(name):
    return {name: Bad(name)}


class Plus:
    """A length whose sum is Bad, so that the multiplication after the addition fails."""

    def __add__(self, other):
        return Bad("(length + 11) * 8")


class Late(int):
    def __radd__(self, other):
        raise Failure("now + exp_time")


class Whole(float):
    def __int__(self):
        raise Failure("int(exp_time)")


class SecondReading:
    """A clock whose every second reading fails; the first gives "iat". Made anew per call."""

    def __init__(self):
        self.readings = 0

    def __call__(self):
        self.readings += 1
        if self.readings % 2 == 0:
            raise Failure("second time.time()")
        return 1.7e9


class Handling(str):
    """A lookup made only while a failure is being handled."""


SELF = object()  # the instance, made from the class under test
KEY, IV, DKEY, SECRET = "k" * 16, "i" * 16, "d" * 8, "s" * 32
PUB, PRI = rsa.newkeys(512)
OTHER_PRI = rsa.newkeys(512)[1]


def ecb(cipher, key, data):
    return cipher.new(key.encode(), cipher.MODE_ECB).encrypt(pad(data, cipher.block_size))


def cbc(data, key=None, padding=True):
    cipher = AES.new(key or KEY.encode(), AES.MODE_CBC, IV.encode())
    return cipher.encrypt(pad(data, 16) if padding else data)


def php_text(data):
    data = data.ljust(-len(data) % 16 + len(data), b"\0")
    return base64.b64encode(cbc(data, b"key".ljust(16, b"\0"), padding=False)).decode()


def token(**claims):
    return jwt.encode({"data": "d", "iss": "Quarne", **claims}, SECRET, algorithm="HS256")


def steps(*rows):
    return [step for row in rows for step in row]


# The steps up to the cipher object, C being the cipher global.
def ecb_cryptor(C):
    return [bad("key"), C, f"{C}.new", f"{C}.MODE_ECB", {"key": "k" * 5}]


CBC_CRYPTOR = [bad("key"), "AES", "AES.MODE_CBC", bad("iv"), "AES.new", {"iv": "i" * 5}]
PHP_CRYPTOR = steps(
    [{"self": object()}, bad("key"), "AES", "AES.MODE_CBC", bad("iv"), "AES.new"],
    ["AES.new()", {"key": ""}],
)


def encrypt(C):
    return [bad("value"), "pad", f"{C}.block_size", "pad()", f"{C}.new().encrypt()"]


def decrypt(C, bad_utf8):
    return [{"value": b"x" * 5}, "unpad", f"{C}.block_size", "unpad()", {"value": bad_utf8}]


def digest(name, value_steps):
    h = f"hashlib.{name}"
    return {"value": "text", "fmt": "upper"}, steps(
        ["hashlib", h, f"{h}()", *value_steps, f"{h}().update()", f"{h}().hexdigest()"],
        [bad("fmt"), f"{h}().hexdigest().upper()"],
    )


# op: (arguments that succeed, steps that can fail, in order)
OPS = {
    "__init__": ({"self": SELF}, []),
    "aes_ecb": ({"value": "text", "key": KEY}, ecb_cryptor("AES") + encrypt("AES")),
    "aes_ecb_decrypt": (
        {"value": ecb(AES, KEY, b"text"), "key": KEY},
        ecb_cryptor("AES") + decrypt("AES", ecb(AES, KEY, b"\xff")),
    ),
    "aes_cbc": ({"value": "text", "key": KEY, "iv": IV}, CBC_CRYPTOR + encrypt("AES")),
    "aes_cbc_decrypt": (
        {"value": cbc(b"text"), "key": KEY, "iv": IV},
        CBC_CRYPTOR + decrypt("AES", cbc(b"\xff")),
    ),
    "base64": (
        {"value": "text"},
        ["base64", "base64.encodebytes", bad("value"), "base64.encodebytes()"],
    ),
    "base64_decrypt": (
        {"value": "dGV4dA=="},
        steps(
            ["base64", "base64.decodebytes", bad("value"), "base64.decodebytes()"],
            [{"value": "x"}, {"value": "/w=="}],
        ),
    ),
    "des": ({"value": "text", "key": DKEY}, ecb_cryptor("DES") + encrypt("DES")),
    "des_decrypt": (
        {"value": ecb(DES, DKEY, b"text"), "key": DKEY},
        ecb_cryptor("DES") + decrypt("DES", ecb(DES, DKEY, b"\xff")),
    ),
    "md5": digest("md5", [bad("value"), {"value": 1}]),
    "md5_hmac": (
        {"value": "text", "key": "key"},
        steps(
            [bad("value"), {"value": 1}, bad("key"), {"key": 2.5}, "hmac", "hmac.new", "hashlib"],
            ["hashlib.md5", "hmac.new()", "hmac.new().digest()"],
        ),
    ),
    "php": (
        {"self": SELF, "value": "text", "key": "key", "iv": IV, "base64s": True},
        steps(
            PHP_CRYPTOR,
            [bad("value"), "AES.new().encrypt()", bad("base64s"), "base64"],
            ["base64.encodebytes", "base64.encodebytes()"],
        ),
    ),
    "php_decrypt": (
        {"self": SELF, "value": php_text(b"text"), "key": "key", "iv": IV, "base64s": True},
        steps(
            PHP_CRYPTOR,
            [bad("base64s"), "base64", "base64.decodebytes", bad("value"), "base64.decodebytes()"],
            [{"value": "x"}, "AES.new().decrypt()", {"value": php_text(b"\xff" * 16)}],
        ),
    ),
    "_add_to_16": ({"value": "text"}, [bad("value"), {"value": "\U0001f600"}]),
    "rsa_keys": (
        {"length": 10},
        steps(
            [{"length": "100"}, {"length": Plus()}, {"length": 1j}, "rsa", "rsa.newkeys"],
            ["rsa.newkeys()", {"rsa.newkeys": lambda bits: 5}],
        ),
    ),
    "rsa": (
        {"value": "text", "pub_key": PUB, "hexs": True},
        steps(
            ["rsa", "rsa.encrypt", bad("value"), "rsa.encrypt()", {"value": "x" * 60}],
            [bad("hexs"), "b2a_hex", "b2a_hex()"],
        ),
    ),
    "rsa_decrypt": (
        {"value": rsa.encrypt(b"text", PUB).hex(), "pri_key": PRI, "hexs": True},
        steps(
            [bad("hexs"), "a2b_hex", "a2b_hex()", {"value": "xyz"}, "rsa", "rsa.decrypt"],
            ["rsa.decrypt()", {"pri_key": OTHER_PRI}, {"value": rsa.encrypt(b"\xff", PUB).hex()}],
        ),
    ),
    "sha1": digest("sha1", [{"value": b"text"}]),
    "sha256": digest("sha256", [{"value": b"text"}]),
    "sha384": digest("sha384", [{"value": b"text"}]),
    "sha512": digest("sha512", [{"value": b"text"}]),
    "token": (
        {"data": "d", "key": SECRET, "exp_time": 60, "issuer": "Quarne"},
        steps(
            ["time", "time.time", "time.time()", {"time.time": lambda: Bad("int(time.time())")}],
            [bad("exp_time"), {"time.time": SecondReading}, {"exp_time": Whole(5)}],
            [{"exp_time": Late(5)}, {"exp_time": "3600"}],
            ["jwt", "jwt.encode", "jwt.encode()", {"data": {1, 2}}],
        ),
    ),
    "token_decrypt": (
        {"token": token(), "key": SECRET, "issuer": "Quarne"},
        steps(
            ["jwt", "jwt.decode", "jwt.decode()", {"token": token(exp=1)}, "jwt.decode().get()"],
            [Handling("jwt.exceptions"), Handling("jwt.exceptions.ExpiredSignatureError")],
        ),
    ),
}

MISSING = object()


def keys(step):
    return list(step) if isinstance(step, dict) else [step]


def compatible(a, b):
    """Whether both faults can be planted at once: not the same argument, nor a path and one
    that goes through it (AES.new and AES.new() cannot both fail)."""
    return not any(
        x == y or y.startswith((x + ".", x + "(")) or x.startswith((y + ".", y + "("))
        for x in keys(a)
        for y in keys(b)
    )


def plan(op, chosen):
    """The arguments and the planted faults ({path: MISSING or a stand-in}) of a call."""
    kwargs, faults = dict(OPS[op][0]), {}
    for step in chosen:
        for k, v in step.items() if isinstance(step, dict) else [(step, MISSING)]:
            v = v() if type(v) is type else v  # a stand-in that keeps count, made anew
            (faults if isinstance(step, str) or "." in k else kwargs)[k] = v
    return kwargs, faults


class Stub:
    """Stands in for `real` at `path`, failing where the faults say and delegating elsewhere."""

    __slots__ = ("_faults", "_path", "_real")

    def __init__(self, real, path, faults):
        self._real, self._path, self._faults = real, path, faults

    def __getattr__(self, attr):
        path = f"{self._path}.{attr}"
        found = self._faults.get(path)
        if found is MISSING:
            raise AttributeError(path)
        return wrap(getattr(self._real, attr) if found is None else found, path, self._faults)


def wrap(value, path, faults):
    if any(k.startswith(path + "(") for k in faults):

        def call(*args, **kwargs):
            if path + "()" in faults:
                raise Failure(path + "()")
            return wrap(value(*args, **kwargs), path + "()", faults)

        return call
    if any(k.startswith(path + ".") for k in faults):
        return Stub(value, path, faults)
    return value


def install(mp, module, faults):
    """Plants the faults in the module's globals through the MonkeyPatch, which restores them."""
    for root in {re.match(r"\w+", k).group() for k in faults}:
        if faults.get(root) is MISSING:
            mp.delattr(module, root)
        else:
            mp.setattr(module, root, wrap(getattr(module, root), root, faults))


def bind(module, kwargs):
    return {k: module._Crypt() if v is SELF else v for k, v in kwargs.items()}


def outcome(module, op, *steps):
    """What a call with the steps' faults planted gives: the exception's type and message and
    those of its context, or the result."""
    kwargs, faults = plan(op, steps)
    with pytest.MonkeyPatch.context() as mp:
        install(mp, module, faults)
        try:
            return "returned", getattr(module._Crypt, op)(**bind(module, kwargs))
        except Exception as e:
            c = e.__context__
            return type(e), str(e), type(c), str(c)


def name(v):
    return v.__name__ if type(v) is type else type(v).__name__


def label(step):
    if isinstance(step, str):
        return step
    return ",".join(
        f"{k}={v!r:.12}"
        if type(v) in (str, bytes, int, float, bool, type(None))
        else f"{k}={name(v)}"
        for k, v in step.items()
    )

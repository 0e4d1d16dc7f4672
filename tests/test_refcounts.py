"""Calls leave the reference count of everything they touch where it was.

A reference leaked or dropped on an object that already exists allocates nothing, so counting
blocks misses it. Each row calls an operation many times and compares the counts of what a
call can touch: the module, its globals and their attributes, the class, m_crypt, the
staticmethods, functions, defaults tuples and defaults, the interned names, the arguments,
the types met (hash types, str, bytes, ...) with their method descriptors, and what the call
returned or raised. Immortal objects are left out: their counts never move.
"""

import _md5
import _sha1
import _sha2
import gc
import hashlib
import inspect
import itertools
import sys
import types

import pytest

import crypt_main
from crypt_main import _Crypt, m_crypt
from tests.faults import GLOBALS, OPS, SELF, install, label, plan

CALLS = 8  # a multiple of the length of every cycle of the stand-ins below
METHODS = ("encode", "decode", "upper", "lower", "replace", "rstrip", "update", "hexdigest")
METHODS += ("digest", "encrypt", "decrypt", "get", "_add_to_16")
NAMES = (*GLOBALS, *METHODS, "encoding", "digestmod", "algorithm", "issuer", "algorithms")
DIGESTS = ("md5", "sha1", "sha256", "sha384", "sha512")
BUILTIN_HASHES = (_md5.md5, _sha1.sha1, _sha2.sha256, _sha2.sha384, _sha2.sha512)
TYPES = (str, bytes, bytearray, dict, types.MappingProxyType)
TYPES += tuple(type(getattr(hashlib, n)()) for n in DIGESTS)
TYPES += tuple(type(h()) for h in BUILTIN_HASHES)
REAL = {name: vars(crypt_main)[name] for name in GLOBALS}
NEVER_FREED = []


def touched(*extra):
    """What a call can touch, with the mortal objects among extra."""
    objs = [crypt_main, vars(crypt_main), _Crypt, m_crypt, *extra]
    objs += [sys.intern(n) for n in NAMES]
    for g in (*REAL.values(), *(vars(crypt_main).get(n) for n in GLOBALS)):
        objs += [g, *getattr(g, "__dict__", {}).values()]  # a global and its attributes
    for entry in vars(_Crypt).values():
        fn = getattr(entry, "__func__", entry)
        defaults = getattr(fn, "__defaults__", None) or ()
        objs += [entry, fn, type(fn), defaults, *defaults]
    kinds = {*TYPES, *(type(o) for o in extra)}
    objs += [*kinds, *(vars(k).get(n) for t in kinds for k in t.__mro__ for n in METHODS)]
    unique = {id(o): o for o in objs if o is not None}
    return [o for o in unique.values() if sys.getrefcount(o) < 2**29]


class Halt(BaseException):
    """Not an Exception: token_decrypt lets it through as it is, instead of converting it."""


def result_of(call):
    try:
        return call()
    except (Exception, Halt) as e:
        return e


def assert_counts_kept(call, *extra):
    # Spare references, so that a reference released once too often shows in a count instead
    # of freeing the object under the interpreter.
    ballast = touched(*extra) * 64
    # The collector runs only where asked, on the young generation: what the calls leave in
    # cycles (tracebacks whose frames hold arguments and globals) is young.
    collecting = gc.isenabled()
    gc.disable()
    try:
        for _ in range(CALLS):  # warms the caches, the module's and the libraries'
            last = result_of(call)
        objs = touched(*extra, last, *getattr(last, "args", ()), getattr(last, "__context__", None))
        del last
        gc.collect(0)
        before = [sys.getrefcount(o) for o in objs]
        for _ in range(CALLS):
            result_of(call)
        gc.collect(0)
        after = [sys.getrefcount(o) for o in objs]
    finally:
        if collecting:
            gc.enable()
    moved = [(f"{o!r:.70}", b, a) for o, b, a in zip(objs, before, after, strict=True) if a != b]
    if moved:
        NEVER_FREED.append(ballast)  # an object released too often is still in use elsewhere
    assert moved == []


def caller(op, kwargs):
    """The method as users call it: through m_crypt, or through the class with another self."""
    kwargs = dict(kwargs)
    self = kwargs.pop("self", SELF)
    if self is SELF:
        return lambda: getattr(m_crypt, op)(**kwargs)
    return lambda: getattr(_Crypt, op)(self, **kwargs)


# Every operation returning, refusing an unexpected keyword, and failing at each of its steps:
# a global or an attribute missing, a library call raising, a bad argument, a library error,
# an expired token. Guards against a global or attribute read and not released, or released
# once more than read (the error paths most of all), a keyword name or default left owned by
# the binder, and a converted exception keeping the one it replaced.
ROWS = [
    (op, s)
    for op, (_, steps) in OPS.items()
    for s in ((), ({"bogus": 1},), *((step,) for step in steps))
]


@pytest.mark.parametrize(
    "op, steps", ROWS, ids=[f"{op}-{'+'.join(map(label, s)) or 'good'}" for op, s in ROWS]
)
def test_counts_kept(monkeypatch, op, steps):
    kwargs, faults = plan(op, steps)
    install(monkeypatch, crypt_main, faults)
    assert_counts_kept(caller(op, kwargs), *kwargs.values())


class Held(list):
    """The objects the stand-ins hold and hand out, each once."""

    def __call__(self, obj):
        if all(obj is not o for o in self):
            self.append(obj)
        return obj

    def cycle(self, *values):
        """A function returning each value in turn."""
        self.extend(values)
        it = itertools.cycle(values)
        return lambda *_args, **_kwargs: next(it)


def standins():
    """Every module global as an object whose attributes, and what they return, are held."""
    h = Held()
    ns = types.SimpleNamespace
    text, padded, cipher = h(b"text"), h(b"text\0\0\0\0"), h(b"0123456789abcdef")
    cryptor = h(ns(encrypt=lambda data: cipher, decrypt=h.cycle(padded, bytearray(padded))))
    pair = h((h(object()), h(object())))
    triple = h((*pair, h(object())))  # one value too many to unpack
    mac = h(ns(digest=lambda: cipher))
    expired = h(type("Expired", (Exception,), {}))
    halt = h(Halt("halt"))
    claims = h({"data": h(object())})
    verified = itertools.cycle([claims, h(types.MappingProxyType(claims))])

    def cipher_module():
        modes = {n: h(object()) for n in ("MODE_ECB", "MODE_CBC", "block_size")}
        return h(ns(new=lambda *a: cryptor, **modes))

    def digests(name, builtin):
        # Hash objects of C types, whose update and hexdigest the module may call straight
        # through the descriptor, then hexdigests that need str.upper or bytes.upper.
        odd = (
            h(ns(update=lambda data: None, hexdigest=lambda v=v: v)) for v in (h("Ééé"), h(b"ab"))
        )
        return h.cycle(getattr(hashlib, name)(), builtin(), *odd)

    def newkeys(bits):
        h(bits)  # the module's own constant
        return triple if bits == 1024 else pair

    def decode(token, *_args, **_kwargs):  # the token names the outcome
        if token == "expired":
            raise expired
        if token == "other":
            raise ValueError("refused")
        if token == "halt":
            raise halt.with_traceback(None)  # a traceback kept from the last raise would grow
        return next(verified)

    g = {
        "AES": cipher_module(),
        "DES": cipher_module(),
        "pad": lambda data, size: padded,
        "unpad": h.cycle(text, bytearray(text)),
        "base64": ns(encodebytes=lambda data: h(b"dGV4dA==\n"), decodebytes=lambda data: text),
        "hashlib": ns(**{n: digests(n, b) for n, b in zip(DIGESTS, BUILTIN_HASHES, strict=True)}),
        "hmac": ns(new=lambda key, msg, digestmod: mac),
        "time": ns(time=lambda: h(1.7e9 + 0.5)),
        "a2b_hex": lambda value: cipher,
        "b2a_hex": lambda value: h(b"6869"),
        "rsa": ns(
            newkeys=newkeys, encrypt=lambda m, k: cipher, decrypt=h.cycle(text, bytearray(text))
        ),
        "jwt": ns(
            encode=lambda *a, **k: h("a.b.c"),
            decode=decode,
            exceptions=ns(ExpiredSignatureError=expired),
        ),
    }
    return g, h


# Every global replaced by objects held here, so that an attribute whose count the real
# modules hide (AES.MODE_ECB and block_size are immortal small ints) or a library result shows
# a leak or an extra release. The stand-ins switch the type of what they return on every call,
# so that the module's one-entry method cache (per name: the last type and its descriptor)
# moves on each time: guards against the cache keeping or dropping one reference too many on
# the type or descriptor it replaces. None: only the required arguments, by position, so that
# the defaults are used.
STANDIN_ROWS = (
    [(op, {}) for op in OPS]
    + [(op, None) for op in OPS]
    + [
        ("md5", {"fmt": "lower"}),
        ("sha256", {"fmt": "lower"}),
        ("rsa_decrypt", {"hexs": False}),
        ("php", {"base64s": False}),
        ("php_decrypt", {"base64s": False}),
        ("token", {"exp_time": 60.5}),
        ("token", {"exp_time": None}),
        ("token_decrypt", {"token": "expired"}),
        ("token_decrypt", {"token": "other"}),
        ("token_decrypt", {"token": "halt"}),
        ("rsa_keys", {"length": 100}),  # 1,024 bits: three values
    ]
)


@pytest.mark.parametrize(
    "op, changes",
    STANDIN_ROWS,
    ids=[f"{op}-{'defaults' if c is None else label(c) or 'good'}" for op, c in STANDIN_ROWS],
)
def test_counts_kept_with_standins(monkeypatch, op, changes):
    g, held = standins()
    for name, obj in g.items():
        monkeypatch.setattr(crypt_main, name, obj)
    kwargs = {**OPS[op][0], **(changes or {})}
    if changes is None:
        params = inspect.signature(getattr(_Crypt, op)).parameters.values()
        args = [
            m_crypt if kwargs[p.name] is SELF else kwargs[p.name]
            for p in params
            if p.default is p.empty
        ]
        call = lambda: getattr(_Crypt, op)(*args)  # noqa: E731
    else:
        call = caller(op, kwargs)
    result_of(call)  # meets the module's constants (rsa_keys' key size)
    assert_counts_kept(call, *held, *kwargs.values())


@pytest.mark.parametrize("lookup_fails", [False, True], ids=["converted", "lookup-fails"])
def test_counts_kept_while_the_caller_handles_an_exception(monkeypatch, lookup_fails):
    # token_decrypt walks the context chain of what it raises, up to the exception its caller
    # is handling, to link in the error it caught: each link it looks at must be released.
    # The chain reaches the caller's exception when the handler's own lookup fails.
    g, held = standins()
    if lookup_fails:
        del g["jwt"].exceptions
    for name, obj in g.items():
        monkeypatch.setattr(crypt_main, name, obj)
    handled = held(KeyError("being handled"))

    def call():
        try:
            raise handled.with_traceback(None)
        except KeyError:
            return m_crypt.token_decrypt("other", "k" * 32)

    raised = result_of(call)
    assert type(raised) is (AttributeError if lookup_fails else Exception)
    assert type(raised.__context__) is ValueError
    assert_counts_kept(call, *held)

"""Which error a caller sees when two things are wrong: the one of the step that runs first.

Every operation's failing steps are listed in order in tests/faults.py. Each step alone, and
each step together with the next one it can be combined with, is planted in crypt_main and in
the plain-Python class; both must raise the same exception (type, message and context), and
with two faults it must be the earlier step's. A swapped pair of statements, a lookup moved
ahead of a conversion, or a global read before the argument it follows, fails a row. With
nothing planted both return the same (RSA by what it decrypts to, tokens under a stopped clock).
"""

import importlib.util
import types

import pytest
import rsa

import crypt_main
from tests.faults import GLOBALS, OPS, PRI, Handling, bind, compatible, label, outcome, plan
from tests.support import PLAIN

spec = importlib.util.spec_from_file_location("plain_crypt", PLAIN)
plain = importlib.util.module_from_spec(spec)
spec.loader.exec_module(plain)

# A clock that stands still, so that both issue the same token.
CLOCK = {"time.time": lambda: 1.7e9}
SINGLE = [(op, step) for op, (_, steps) in OPS.items() for step in steps]


def pairs():
    for op, (_, steps) in OPS.items():
        main = [s for s in steps if not isinstance(s, Handling)]
        for i, first in enumerate(main):
            second = next((s for s in main[i + 1 :] if compatible(first, s)), None)
            if second is not None:
                yield op, first, second
            # A failure of the handler's own lookup replaces the failure it was handling.
            yield from (
                (op, first, s) for s in steps if isinstance(s, Handling) and compatible(first, s)
            )


PAIRS = list(pairs())


def comparable(op, result):
    if op == "rsa":  # randomised: what it decrypts to
        return rsa.decrypt(bytes.fromhex(result.decode()), PRI)
    if op == "rsa_keys":
        return [type(k).__name__ + str(k.n.bit_length()) for k in result]
    return result


@pytest.mark.parametrize("op", OPS)
def test_no_fault(op):
    (got, result), (want, expected) = (outcome(m, op, CLOCK) for m in (crypt_main, plain))
    assert got == want == "returned"
    assert comparable(op, result) == comparable(op, expected)


@pytest.mark.parametrize("op, step", SINGLE, ids=[f"{op}-{label(step)}" for op, step in SINGLE])
def test_single_fault(op, step):
    got = outcome(crypt_main, op, step)
    assert got == outcome(plain, op, step)
    # A fault that lets the call return would fail no step; handler lookups run only on failure.
    assert (got[0] == "returned") == isinstance(step, Handling)


@pytest.mark.parametrize(
    "op, first, second",
    PAIRS,
    ids=[f"{op}-{label(a)}+{label(b)}" for op, a, b in PAIRS],
)
def test_two_faults(op, first, second):
    got = outcome(crypt_main, op, first, second)
    assert got == outcome(plain, op, first, second)
    alone = outcome(plain, op, first)
    if isinstance(second, Handling):
        assert got == (AttributeError, second, *alone[2:])
    else:
        assert got == alone != outcome(plain, op, second)


# Each str and bytes argument as a subclass that records the method calls made on it, and each
# module global behind a stand-in that records the library calls made through it (the dotted
# name, how many positional arguments, which keywords). The module must make the same calls,
# spelled the same way (a codec or an algorithm passed by keyword or positionally, or left to
# its default), in the same order, as plain Python. A dropped or swapped keyword, a different
# codec, or a conversion or library call moved to another step fails.
LOG = []


def recording(name):
    def method(self, *args, **kwargs):
        LOG.append((str(self)[:8], name, args, kwargs))
        return getattr(str, name)(self, *args, **kwargs)

    return method


class SpyStr(str):
    encode, upper, lower, rstrip = map(recording, ("encode", "upper", "lower", "rstrip"))


class SpyBytes(bytes):
    def decode(self, *args, **kwargs):
        LOG.append((bytes(self)[:8], "decode", args, kwargs))
        return bytes.decode(self, *args, **kwargs)


def spied(value):
    kind = {str: SpyStr, bytes: SpyBytes}.get(type(value))
    return kind(value) if kind else value


class Recorder:
    """A module, or a function, that logs each call made through it and passes it on."""

    def __init__(self, real, path):
        self._real, self._path = real, path

    def __getattr__(self, name):
        return recorded(getattr(self._real, name), f"{self._path}.{name}")

    def __call__(self, *args, **kwargs):
        LOG.append((self._path, len(args), sorted(kwargs)))
        return self._real(*args, **kwargs)


def recorded(value, path):
    # Classes pass as they are: the module tests exceptions and types against them.
    wrapped = (types.FunctionType, types.MethodType, types.BuiltinFunctionType, types.ModuleType)
    return Recorder(value, path) if isinstance(value, wrapped) else value


@pytest.mark.parametrize("op", [op for op in OPS if op != "__init__"])
def test_calls_on_the_arguments_and_the_libraries(op):
    results = []
    for module in (crypt_main, plain):
        kwargs = {k: spied(v) for k, v in plan(op, ())[0].items()}
        LOG.clear()
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(module.time, "time", CLOCK["time.time"])
            for name in GLOBALS:
                mp.setattr(module, name, recorded(getattr(module, name), name))
            try:
                result = comparable(op, getattr(module._Crypt, op)(**bind(module, kwargs)))
            except Exception as e:
                result = type(e), str(e)
        results.append((result, list(LOG)))
    assert results[0] == results[1]
    assert any(len(entry) == 3 for entry in results[0][1]) or op == "_add_to_16"

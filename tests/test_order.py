"""Which error a caller sees when two things are wrong: the one of the step that runs first.

Every operation's failing steps are listed in order in tests/faults.py. Each step alone, and
each step together with the next one it can be combined with, is planted in crypt_main and in
the plain-Python class; both must raise the same exception (type, message and context), and
with two faults it must be the earlier step's. A swapped pair of statements, a lookup moved
ahead of a conversion, or a global read before the argument it follows, fails a row. With
nothing planted both return the same (RSA by what it decrypts to, tokens under a stopped clock).
"""

import importlib.util

import pytest
import rsa

import crypt_main
from tests.faults import OPS, PRI, Handling, compatible, label, outcome
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

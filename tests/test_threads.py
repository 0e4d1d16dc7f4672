"""Concurrent calls, and module globals swapped underneath them."""

import random
import sys
import threading
import time
import types

import pytest
import rsa

import crypt_main
from crypt_main import m_crypt

KEY16, IV16, KEY8 = "0123456789abcdef", "fedcba9876543210", "8bytekey"
SECRET = "a token secret of thirty-two bytes"
PUB, PRI = rsa.newkeys(512)
TOKEN = m_crypt.token({"n": [1, 2]}, SECRET, None)
SEALED = m_crypt.rsa("sealed", PUB)

CASES = {
    "md5": lambda: m_crypt.md5("thread", "upper"),
    "sha256": lambda: m_crypt.sha256(value="thread", fmt="lower"),
    "base64": lambda: m_crypt.base64("thread ü"),
    "base64_decrypt": lambda: m_crypt.base64_decrypt("dGhyZWFkIMO8"),
    "hmac": lambda: m_crypt.md5_hmac("thread", b"key"),
    "aes_ecb": lambda: m_crypt.aes_ecb("thread", KEY16),
    "aes_cbc": lambda: m_crypt.aes_cbc_decrypt(m_crypt.aes_cbc("thread", KEY16, IV16), KEY16, IV16),
    "des": lambda: m_crypt.des_decrypt(m_crypt.des("thread", KEY8), KEY8),
    "php": lambda: m_crypt.php("线程", "密钥", IV16, True),
    "rsa": lambda: m_crypt.rsa_decrypt(SEALED, PRI),
    "token": lambda: m_crypt.token_decrypt(TOKEN, SECRET),
}


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def hammer(seconds, check, threads=8):
    """Runs check(rng) in a loop on several threads; returns (calls, failures)."""
    failures, calls = [], [0] * threads
    deadline = time.monotonic() + seconds

    def worker(i):
        rng = random.Random(i)
        while time.monotonic() < deadline:
            try:
                check(rng)
            except BaseException as exc:  # collected, so the main thread reports it
                failures.append(repr(exc))
            calls[i] += 1

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(calls), failures


def test_mixed_operations_agree_with_a_single_thread(fast_switching):
    expected = {name: case() for name, case in CASES.items()}

    def check(rng):
        name = rng.choice(list(CASES))
        assert CASES[name]() == expected[name], name

    calls, failures = hammer(3.0, check)
    assert failures == []
    assert calls > 1000


def test_globals_replaced_while_others_call(fast_switching):
    stand_ins = {
        "AES": types.SimpleNamespace(
            **{k: getattr(crypt_main.AES, k) for k in dir(crypt_main.AES)}
        ),
        "jwt": types.SimpleNamespace(
            encode=crypt_main.jwt.encode,
            decode=crypt_main.jwt.decode,
            exceptions=crypt_main.jwt.exceptions,
        ),
    }
    originals = {name: getattr(crypt_main, name) for name in stand_ins}
    expected_ecb = m_crypt.aes_ecb("swap", KEY16)
    done = threading.Event()

    def swapper():
        rng = random.Random(99)
        while not done.is_set():
            name = rng.choice(list(stand_ins))
            setattr(crypt_main, name, stand_ins[name])
            delattr(crypt_main, name)
            setattr(crypt_main, name, originals[name])

    def check(rng):
        try:
            if rng.random() < 0.5:
                assert m_crypt.aes_ecb("swap", KEY16) == expected_ecb
            else:
                assert m_crypt.token_decrypt(TOKEN, SECRET) == {"n": [1, 2]}
        except Exception as exc:
            # The verifier converts a NameError of its own when jwt is back by the time the
            # failure is handled.
            assert str(exc) in (
                "name 'AES' is not defined",
                "name 'jwt' is not defined",
                "系统异常：name 'jwt' is not defined",
            ), repr(exc)

    thread = threading.Thread(target=swapper)
    thread.start()
    try:
        calls, failures = hammer(3.0, check, threads=7)
    finally:
        done.set()
        thread.join()
    assert all(getattr(crypt_main, name) is obj for name, obj in originals.items())
    assert failures == []
    assert calls > 500

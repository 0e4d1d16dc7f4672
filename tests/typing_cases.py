"""Calls the type stub must accept, and wrong calls it must refuse.

`make typecheck` runs mypy --strict --warn-unused-ignores on this file. Each refused call
carries `# type: ignore[<code>]`: a stub loosened to accept it leaves the ignore unused, which
is an error, and a stub tightened to refuse an accepted call is an error too. test_stub.py runs
the calls, so that each accepted one works and each refused one fails at run time.

A flag known only at run time (a bool) selects the last overload of php, php_decrypt and
rsa_decrypt, which must accept whatever the two literal overloads accept. A checker cannot
tell a literal flag from a bool there, so a few wrong calls with a literal flag pass it too;
they are listed apart, and still fail at run time.
"""

from collections.abc import Callable
from typing import Any, assert_type

from rsa import PrivateKey, PublicKey

from crypt_main import m_crypt

KEY, IV = "0123456789abcdef", "fedcba9876543210"
SECRET = "a secret of at least thirty-two bytes"
PUB, PRI = m_crypt.rsa_keys(53)
SEALED = m_crypt.rsa("text", PUB)
HEX = m_crypt.rsa("text", PUB, True)
RAW = m_crypt.php("text", KEY, IV)
BASE64 = m_crypt.php("text", KEY, IV, True)
TOKEN = m_crypt.token({"user": 42}, SECRET)


def accepted(flag: bool) -> None:
    assert_type(m_crypt.rsa_keys(52.5), tuple[PublicKey, PrivateKey])
    assert_type(m_crypt.aes_ecb_decrypt(memoryview(m_crypt.aes_ecb("t", KEY)), KEY), str)
    assert_type(HEX, bytes)
    assert_type(m_crypt.rsa_decrypt(SEALED, PRI), str)
    assert_type(m_crypt.rsa_decrypt(bytearray(SEALED), PRI, False), str)
    assert_type(m_crypt.rsa_decrypt(memoryview(SEALED), PRI), str)
    assert_type(m_crypt.rsa_decrypt(HEX.decode(), PRI, True), str)
    assert_type(m_crypt.rsa_decrypt(HEX, pri_key=PRI, hexs=True), str)
    assert_type(m_crypt.rsa_decrypt(SEALED if not flag else HEX, PRI, flag), str)
    box: bytes | str = HEX.decode() if flag else SEALED
    assert_type(m_crypt.rsa_decrypt(box, PRI, flag), str)
    assert_type(RAW, bytes)
    assert_type(BASE64, str)
    assert_type(m_crypt.php("text", KEY, IV, base64s=flag), bytes | str)
    assert_type(m_crypt.php("text", KEY, IV, 1), bytes | str)
    assert_type(m_crypt.php_decrypt(bytearray(RAW), KEY, IV), str)
    assert_type(m_crypt.php_decrypt(BASE64, KEY, IV, base64s=True), str)
    sealed: bytes | str = BASE64 if flag else RAW
    assert_type(m_crypt.php_decrypt(sealed, KEY, IV, base64s=flag), str)
    assert_type(m_crypt.php_decrypt(sealed, KEY, IV, flag), str)
    assert_type(m_crypt.md5(b"bytes", "upper"), str)
    assert_type(m_crypt.md5_hmac(b"message", "key"), bytes)
    assert_type(m_crypt.token("d", SECRET, exp_time=1.5), str)
    assert_type(m_crypt.token("d", SECRET, exp_time=None), str)
    assert_type(m_crypt.token_decrypt(TOKEN, SECRET, issuer=None), Any)


# Each fails at run time; the stub must say so before.
REFUSED: list[Callable[[], object]] = [
    lambda: m_crypt.rsa_decrypt(HEX.decode(), PRI),  # type: ignore[call-overload]
    lambda: m_crypt.rsa_decrypt(SEALED, PUB),  # type: ignore[call-overload]
    lambda: m_crypt.php_decrypt(BASE64, KEY, IV),  # type: ignore[call-overload]
    lambda: m_crypt.php(b"text", KEY, IV),  # type: ignore[call-overload]
    lambda: m_crypt.aes_ecb_decrypt("text", KEY),  # type: ignore[arg-type]
    lambda: m_crypt.aes_ecb(b"text", KEY),  # type: ignore[arg-type]
    lambda: m_crypt.aes_cbc("text", KEY, IV.encode()),  # type: ignore[arg-type]
    lambda: m_crypt.des("text", b"8bytekey"),  # type: ignore[arg-type]
    lambda: m_crypt.base64(b"text"),  # type: ignore[arg-type]
    lambda: m_crypt.sha256(b"text", "lower"),  # type: ignore[arg-type]
    lambda: m_crypt.md5(bytearray(b"text"), "lower"),  # type: ignore[arg-type]
    lambda: m_crypt.md5_hmac("message", bytearray(b"key")),  # type: ignore[arg-type]
    lambda: m_crypt.rsa_keys("1024"),  # type: ignore[arg-type]
    lambda: m_crypt.token("d", SECRET, exp_time="3600"),  # type: ignore[arg-type]
    lambda: m_crypt.token_decrypt(TOKEN, SECRET, issuer=1),  # type: ignore[arg-type]
    lambda: m_crypt.md5("text"),  # type: ignore[call-arg]
]

# The value's type does not match the literal flag; the bool overload accepts them.
REFUSED_AT_RUN_TIME_ONLY: list[Callable[[], object]] = [
    lambda: m_crypt.rsa_decrypt(HEX.decode(), PRI, False),
    lambda: m_crypt.php_decrypt(BASE64, KEY, IV, False),
    lambda: m_crypt.php_decrypt(BASE64.encode(), KEY, IV, True),
]


def refused_types_only() -> None:
    """Wrong, though nothing fails at run time until the value is used."""
    raw: bytes = m_crypt.php("text", KEY, IV, True)  # type: ignore[assignment]
    text: str = m_crypt.rsa("text", PUB, True)  # type: ignore[assignment]
    sealed = m_crypt.rsa("text", PRI)  # type: ignore[arg-type]
    print(raw, text, sealed)

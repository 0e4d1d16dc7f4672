"""HS256 tokens: what token issues, checked by hand, and how token_decrypt refuses."""

import base64
import decimal
import hashlib
import hmac
import importlib.util
import json
import types
from unittest import mock

import jwt
import pytest

import crypt_main
from crypt_main import m_crypt
from tests.support import PLAIN

KEY = "an HS256 secret of thirty-two bytes"  # shorter HMAC keys make the library warn
PREFIX = "系统异常："


def b64url(raw):
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def signed(signing_input, digest=hashlib.sha256):
    mac = hmac.new(KEY.encode(), signing_input.encode(), digest).digest()
    return f"{signing_input}.{b64url(mac)}"


def sign(header, claims, digest=hashlib.sha256):
    return signed(".".join(b64url(json.dumps(part).encode()) for part in (header, claims)), digest)


def open_token(token):  # checks the signature without the library's help
    assert signed(token.rpartition(".")[0]) == token
    return [json.loads(base64.urlsafe_b64decode(part + "==")) for part in token.split(".")[:2]]


GOOD = m_crypt.token("d", KEY)
HEAD, BODY, SIG = GOOD.split(".")


@pytest.fixture
def clock(monkeypatch):  # two readings, a thousand seconds and a fraction apart
    readings = iter([1000.7, 2000.9])
    monkeypatch.setattr(crypt_main, "time", types.SimpleNamespace(time=lambda: next(readings)))


# iat truncates the first reading; exp is the second one truncated, plus int(exp_time).
@pytest.mark.parametrize(
    "lifetime, exp",
    [
        ((), 88400),
        ((3600,), 5600),
        ((True,), 2001),
        ((False,), 2000),
        ((3600.9,), 5600),
        ((-1.5,), 1999),
        ((None,), None),
    ],
)
def test_issued_claims(clock, lifetime, exp):
    data = {"user": "ü", "n": [1, 2]}
    header, claims = open_token(token := m_crypt.token(data, KEY, *lifetime))
    expected = {"data": data, "iat": 1000, "iss": "Quarne"} | ({} if exp is None else {"exp": exp})
    assert header["alg"] == "HS256" and list(claims.items()) == list(expected.items())
    assert all(type(claims[name]) is int for name in ("iat", "exp") if name in claims)
    if exp is None:  # issued long ago, and never expires
        assert m_crypt.token_decrypt(token, KEY) == data


@pytest.mark.parametrize(
    "exp_time, error",
    [
        (float("nan"), ValueError),
        (float("-inf"), OverflowError),
        ("3600", TypeError),
        (decimal.Decimal(1), TypeError),
        ([1], TypeError),
        (b"1", TypeError),
    ],
)
def test_unusable_lifetime(exp_time, error):
    text = str(pytest.raises(error, m_crypt.token, "d", KEY, exp_time).value)
    assert error is not TypeError or ("exp_time" in text and type(exp_time).__name__ in text)


@pytest.mark.parametrize("lifetime", [-60, -60.5])
def test_expired(lifetime):
    token = m_crypt.token("d", KEY, lifetime)
    e = pytest.raises(TimeoutError, m_crypt.token_decrypt, token, KEY).value
    assert type(e) is TimeoutError and str(e) == "token已过期" and e.args == ("token已过期",)
    assert type(e.__context__) is jwt.ExpiredSignatureError and e.__cause__ is None


@pytest.mark.parametrize(
    "token, key, error",
    [
        (GOOD, KEY[::-1], jwt.InvalidSignatureError),
        (m_crypt.token("d", KEY, issuer="Elsewhere"), KEY, jwt.InvalidIssuerError),
        (f"{HEAD}.{b64url(b'{"data":"x","iss":"Quarne"}')}.{SIG}", KEY, jwt.InvalidSignatureError),
        (f"{HEAD}.{BODY}.{'B' if SIG[0] == 'A' else 'A'}{SIG[1:]}", KEY, jwt.InvalidSignatureError),
        (
            sign({"alg": "none"}, {"iss": "Quarne"}).rpartition(".")[0] + ".",
            KEY,
            jwt.InvalidAlgorithmError,
        ),
        (sign({"alg": "HS512"}, {"iss": "Quarne"}, hashlib.sha512), KEY, jwt.InvalidAlgorithmError),
        ("", KEY, jwt.DecodeError),
        (GOOD, 12345, TypeError),
    ],
    ids=["key", "issuer", "payload", "signature", "alg-none", "alg-hs512", "empty", "key-type"],
)
def test_refusal_converted(token, key, error):
    e = pytest.raises(Exception, m_crypt.token_decrypt, token, key).value
    assert type(e) is Exception and type(e.__context__) is error and e.__cause__ is None
    assert str(e.__context__) and e.args == (PREFIX + str(e.__context__),)


@pytest.mark.parametrize("error, converted", [(ValueError(), True), (KeyboardInterrupt(), False)])
def test_stubbed_library_failure(monkeypatch, error, converted):
    stub = types.SimpleNamespace(decode=mock.Mock(side_effect=error), exceptions=jwt.exceptions)
    monkeypatch.setattr(crypt_main, "jwt", stub)
    e = pytest.raises(BaseException, m_crypt.token_decrypt, GOOD, KEY).value
    # An empty text leaves the prefix alone; what does not derive from Exception passes as is.
    assert (type(e), e.args) == (Exception, (PREFIX,)) if converted else e is error


def test_unconverted_failures(monkeypatch):
    pytest.raises(TypeError, m_crypt.token_decrypt, GOOD)  # binding comes before the guard
    monkeypatch.delattr(crypt_main, "jwt")  # the handler's own lookup then fails, and surfaces
    got = pytest.raises(NameError, m_crypt.token_decrypt, GOOD, KEY).value
    assert type(got) is NameError and str(got) == "name 'jwt' is not defined"


@pytest.mark.parametrize(
    "data",
    [{"a": [1, {"b": None}], "ü": "汉"}, [1, "x"], (1, "x"), "text", 2**70, -1.25, True, None],
)
def test_data_round_trip(data):
    back = json.loads(json.dumps(data))  # a tuple comes back as a list
    result = m_crypt.token_decrypt(m_crypt.token(data, KEY), KEY)
    assert result == back and type(result) is type(back)
    key = KEY.encode()
    assert m_crypt.token_decrypt(m_crypt.token(data, key, issuer="me"), key, "me") == back


def test_edge_cases():
    claims = open_token(GOOD)[1]  # on the real clock, the readings may straddle a second
    assert claims["exp"] - claims["iat"] in (86400, 86401)
    assert m_crypt.token_decrypt(sign({"alg": "HS256"}, {"iss": "Quarne"}), KEY) is None
    for unserialisable in ({1, 2}, b"raw"):
        pytest.raises(TypeError, m_crypt.token, unserialisable, KEY).match("not JSON serializable")


ONE_BYTE_OFF = KEY[:-1] + chr(ord(KEY[-1]) ^ 1)
FORGED = {
    "alg-HS384": sign({"alg": "HS384", "typ": "JWT"}, {"data": 1, "iss": "Quarne"}, hashlib.sha384),
    "alg-RS256": sign({"alg": "RS256", "typ": "JWT"}, {"data": 1, "iss": "Quarne"}),
    "alg-none": sign({"alg": "none"}, {"data": 1, "iss": "Quarne"}).rpartition(".")[0] + ".",
    "body-twice": f"{HEAD}.{BODY}.{BODY}",
    "head-twice": f"{HEAD}.{HEAD}.{SIG}",
    "reordered": f"{BODY}.{HEAD}.{SIG}",
    "four-segments": f"{GOOD}.{SIG}",
    "iss-list": sign({"alg": "HS256", "typ": "JWT"}, {"data": 1, "iss": ["Quarne"]}),
    "iss-number": sign({"alg": "HS256", "typ": "JWT"}, {"data": 1, "iss": 7}),
    "iss-substring": sign({"alg": "HS256", "typ": "JWT"}, {"data": 1, "iss": "Quar"}),
    "exp-text": sign({"alg": "HS256", "typ": "JWT"}, {"data": 1, "iss": "Quarne", "exp": "soon"}),
}


@pytest.mark.parametrize("token", FORGED.values(), ids=FORGED)
@pytest.mark.parametrize("key", [KEY, ONE_BYTE_OFF], ids=["key", "key-one-byte-off"])
def test_forged_tokens_return_no_data(token, key):
    e = pytest.raises(Exception, m_crypt.token_decrypt, token, key).value
    assert type(e) is Exception and str(e).startswith(PREFIX)


def test_key_one_byte_off_refuses_a_good_token():
    e = pytest.raises(Exception, m_crypt.token_decrypt, GOOD, ONE_BYTE_OFF).value
    assert type(e) is Exception and type(e.__context__) is jwt.InvalidSignatureError


def load_plain():
    spec = importlib.util.spec_from_file_location("plain", PLAIN)
    plain = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(plain)
    return plain


PLAIN_MODULE = load_plain()


def verify_both(monkeypatch, jwt_stub, call_in=None):
    """token_decrypt under a stand-in jwt, in the module and in plain Python: each outcome as
    the chain of (type, message) from the raised exception through its contexts."""
    outcomes = []
    for module, obj in ((crypt_main, m_crypt), (PLAIN_MODULE, PLAIN_MODULE.obj)):
        monkeypatch.setattr(module, "jwt", jwt_stub)
        try:
            if call_in is None:
                obj.token_decrypt(GOOD, KEY)
            else:
                try:
                    raise call_in
                except type(call_in):
                    obj.token_decrypt(GOOD, KEY)
        except BaseException as e:
            chain = []
            while e is not None and len(chain) < 10:
                chain.append((type(e).__name__, str(e)))
                e = e.__context__
            outcomes.append(chain)
        else:
            outcomes.append("returned")
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


def failing_jwt(error, target):
    """decode raises error; the first except clause names target."""
    exceptions = types.SimpleNamespace(ExpiredSignatureError=target)
    return types.SimpleNamespace(decode=mock.Mock(side_effect=error), exceptions=exceptions)


NOT_A_CLASS = "catching classes that do not inherit from BaseException is not allowed"
EXCEPT_TARGETS = {  # what decode raises, what the first except clause names, the result
    "str": (ValueError("v"), "x", NOT_A_CLASS),
    "instance": (ValueError("v"), ValueError(), NOT_A_CLASS),
    "not-an-exception": (ValueError("v"), int, NOT_A_CLASS),
    "tuple": (ValueError("v"), (jwt.ExpiredSignatureError, ValueError), "token已过期"),
    "tuple-with-non-class": (ValueError("v"), (ValueError, "x"), NOT_A_CLASS),
    "nested-tuple": (ValueError("v"), ((ValueError,),), NOT_A_CLASS),
    "empty-tuple": (ValueError("v"), (), PREFIX + "v"),
    "base-exception": (KeyboardInterrupt(), "x", NOT_A_CLASS),
}


@pytest.mark.parametrize("error, target, message", EXCEPT_TARGETS.values(), ids=EXCEPT_TARGETS)
def test_except_target_checked_as_python_does(monkeypatch, error, target, message):
    # Every item of a tuple is checked, even after one that matches, and for any error.
    chain = verify_both(monkeypatch, failing_jwt(error, target))
    assert chain[0][1] == message and chain[1] == (type(error).__name__, str(error))


class Raising:
    """A jwt whose `exceptions`, read by the handler, raises an error with a context of its own."""

    decode = staticmethod(mock.Mock(side_effect=ValueError("from the library")))

    @property
    def exceptions(self):
        try:
            raise ZeroDivisionError("inner")
        except ZeroDivisionError:
            raise LookupError("outer")  # noqa: B904 -- the context is what is tested


@pytest.mark.parametrize("call_in", [None, RuntimeError("the caller's")], ids=["bare", "in-except"])
def test_handler_error_chains_to_the_caught_error(monkeypatch, call_in):
    # The caught error goes below the handler's own chain, above what the caller was handling.
    chain = verify_both(monkeypatch, Raising(), call_in)
    expected = [
        ("LookupError", "outer"),
        ("ZeroDivisionError", "inner"),
        ("ValueError", "from the library"),
    ]
    assert chain == expected + ([("RuntimeError", "the caller's")] if call_in else [])

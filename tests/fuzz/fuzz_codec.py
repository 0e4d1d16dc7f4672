"""Fuzz target: Base64, the hex digests, HMAC-MD5 and __init__, through the binder and the call
helpers, with base64, hashlib and hmac replaced at the input's choice."""

import harness

METHODS = [
    "md5",
    "base64",
    "base64_decrypt",
    "sha1",
    "sha256",
    "sha384",
    "sha512",
    "md5_hmac",
    "__init__",
]
GLOBALS = ["hashlib", "base64", "hmac"]

# Inputs of the test suite, as answers to the harness's questions (see harness.Writer).
SEEDS = [
    {"arg0.t": "abc", "arg1.fmt": "upper"},
    {"arg0.t": "abc", "arg1.fmt": "lower", "keywords": 2},
    {"arg0": "bytes", "arg0.b": b"abc", "arg1.fmt": "upper"},
    {"arg0": "bytes-sub", "arg0.b": b"abc", "arg1.fmt": "x", "route": "class"},
    {"arg0": "str-sub", "arg0.s": "abc", "arg0.cls": harness.HStr, "arg1.fmt": "upper"},
    {"arg0.t": "a" * 17, "arg1": "str-sub", "arg1.good": 1, "arg1.fmt": "upper"},
    {"arg0.t": "\ud800", "arg1.fmt": "lower"},
    {"count": 3},
    {"count": 0, "route": "get"},
    {"keywords": 1, "kw0": "bogus"},
    {"keywords": 2, "kw0": "other", "kw0.other": "value"},
    {"keywords": 1, "kw0": "copy", "route": "kwnames"},
    {"keywords": 1, "kw0": "non-str", "route": "setstate"},
    {"stubs": 1, "stub0": "hashlib", "stub0.how": "delete"},
    {"stubs": 1, "stub0": "hashlib", "stub0.how": "builtins", "route": "exec"},
    {"stubs": 1, "stub0": "hashlib", "stub0.how": "delete", "route": "exec", "exec.builtins": 1},
    {
        "stubs": 1,
        "stub0": "hashlib",
        "stub0.how": "proxy",
        "hashlib.md5": "proxy",
        "hashlib.md5()": "proxy",
        "hashlib.md5().hexdigest": "odd",
        "hashlib.md5().hexdigest~": harness.ODD[8],
        "arg1.fmt": "upper",
    },
    {"method": "sha256", "arg0.t": "text", "arg1.fmt": "lower"},
    {"method": "sha512", "arg0.t": "abc", "arg1.fmt": "upper", "route": "tp_call"},
    {"method": "sha1", "arg0": "bytes", "arg0.b": b"abc"},
    {"method": "base64", "arg0.t": "Hello, 世界!"},
    {"method": "base64", "arg0.t": "Grüße", "route": "partial", "partial.split": 1},
    {"method": "base64", "arg0": "str-sub", "arg0.cls": harness.DigestStr, "arg0.s": "abc"},
    {
        "method": "base64",
        "stubs": 1,
        "stub0": "base64",
        "stub0.how": "module",
        "stub0.hole": 1,
        "stub0.getattr": 1,
    },
    {"method": "base64_decrypt", "arg0.plain": "Grüße"},
    {"method": "base64_decrypt", "arg0.plain": "x" * 60, "arg0.form": 1},
    {"method": "base64_decrypt", "arg0.t": "!!", "arg0": "text"},
    {"method": "md5_hmac", "arg0.t": "message", "arg1.key": "key"},
    {"method": "md5_hmac", "arg0.k": 1, "arg0.v": b"key", "arg1.key": "密钥"},
    {"method": "md5_hmac", "stubs": 1, "stub0": "hmac", "stub0.how": "odd"},
    {"method": "__init__", "route": "class", "arg0.self": None},
    {"method": "__init__", "extra": "new"},
    {"extra": "del-defaults"},
    {"extra": "attrs", "handling": 1},
]

if __name__ == "__main__":
    harness.main(METHODS, GLOBALS)

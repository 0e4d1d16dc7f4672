"""Fuzz target: AES-ECB, AES-CBC, DES and the zero-padded variant with its _add_to_16 hook,
with AES, DES, pad, unpad and base64 replaced at the input's choice."""

import harness

METHODS = [
    "aes_ecb",
    "aes_ecb_decrypt",
    "aes_cbc",
    "aes_cbc_decrypt",
    "des",
    "des_decrypt",
    "php",
    "php_decrypt",
    "_add_to_16",
]
GLOBALS = ["AES", "DES", "pad", "unpad", "base64"]

# Inputs of the test suite, as answers to the harness's questions (see harness.Writer).
SEEDS = [
    {"arg0.t": "text", "arg1.key": "0123456789abcdef"},
    {"arg0.t": "", "arg1.key": "K" * 32, "keywords": 1},
    {"arg0.t": "text", "arg1.key": "é" * 8},
    {"arg0.t": "text", "arg1.key": "中文密钥"},
    {"method": "aes_ecb_decrypt", "arg0.plain": "secret", "arg1.key": "0123456789abcdef"},
    {"method": "aes_ecb_decrypt", "arg0.plain": "secret", "arg0.type": bytearray},
    {"method": "aes_ecb_decrypt", "arg0.plain": "secret", "arg0.type": memoryview},
    {"method": "aes_ecb_decrypt", "arg0.plain": "secret", "arg0.type": harness.HBytes},
    {"method": "aes_ecb_decrypt", "arg0.plain": "x", "arg1.key": "k" * 24},
    {"method": "aes_cbc", "arg0.t": "secret", "arg2.iv": "fedcba9876543210"},
    {"method": "aes_cbc", "arg0.t": "secret", "arg1.key": "中文密钥", "arg2.iv": "short"},
    {
        "method": "aes_cbc_decrypt",
        "arg0.plain": "secret",
        "arg0.iv": "fedcba9876543210",
        "arg2.iv": "fedcba9876543210",
    },
    {"method": "des", "arg0.t": "text", "arg1.key": "des-key!"},
    {"method": "des_decrypt", "arg0.plain": "text", "arg0.key": "des-key!", "arg1.key": "des-key!"},
    {
        "method": "php",
        "arg0.t": "你好，PHP",
        "arg1.key": "密钥",
        "arg2.iv": "fedcba9876543210",
        "arg3.flag": True,
    },
    {"method": "php", "arg0.t": "a\0b\0", "arg1.key": "k" * 17},
    {"method": "php", "arg0.t": "😀", "route": "sub", "sub": harness.SubHook},
    {"method": "php", "route": "sub", "sub": harness.SubStatic},
    {"method": "php", "route": "sub", "sub": harness.SubNone},
    {"method": "php", "route": "class", "arg0.self": harness.SELVES[2]},
    {"method": "php", "arg0.t": "中" * 15, "arg2.iv": "中" * 16},
    {
        "method": "php_decrypt",
        "arg0.plain": "你好，PHP",
        "arg0.key": "密钥",
        "arg1.key": "密钥",
        "arg0.b64": 1,
        "arg3.flag": True,
    },
    {"method": "php_decrypt", "arg0.plain": "\0\0\0", "arg0.key": "密钥", "arg1.key": "密钥"},
    {"method": "_add_to_16", "arg0.t": "中文"},
    {
        "method": "_add_to_16",
        "arg0": "str-sub",
        "arg0.cls": harness.HStr,
        "arg0.s": "abc",
        "HStr.encode": "odd",
        "HStr.encode~": harness.ODD[26],
    },
    {
        "method": "_add_to_16",
        "arg0": "str-sub",
        "arg0.cls": harness.HStr,
        "arg0.s": "abc",
        "HStr.encode": "odd",
        "HStr.encode~": harness.ODD[16],
    },
    {"stubs": 1, "stub0": "AES", "stub0.how": "delete"},
    {"stubs": 1, "stub0": "pad", "stub0.how": "odd", "arg1.key": "中文密钥"},
    {"method": "des", "stubs": 1, "stub0": "DES", "stub0.how": "proxy", "DES.block_size": "odd"},
    {
        "method": "aes_ecb_decrypt",
        "stubs": 1,
        "stub0": "unpad",
        "stub0.how": "proxy",
        "unpad()": "odd",
        "unpad()~": harness.ODD[29],
    },
]

if __name__ == "__main__":
    harness.main(METHODS, GLOBALS)

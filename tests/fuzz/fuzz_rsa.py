"""Fuzz target: RSA key pairs (key generation stubbed, its answer shaped by the input) and
PKCS#1 v1.5 encryption, with rsa, a2b_hex and b2a_hex replaced at the input's choice."""

import harness

METHODS = ["rsa", "rsa_decrypt", "rsa_keys"]
GLOBALS = ["rsa", "a2b_hex", "b2a_hex"]

# Inputs of the test suite, as answers to the harness's questions (see harness.Writer).
SEEDS = [
    {"arg0.t": "text"},
    {"arg0.t": "text", "arg2.flag": True},
    {"arg0.t": "x" * 54},
    {"arg0.t": "text", "arg1.key": harness.PRI},
    {"method": "rsa_decrypt", "arg0.plain": "text"},
    {"method": "rsa_decrypt", "arg0.plain": "text", "arg0.form": 1, "arg2.flag": True},
    {"method": "rsa_decrypt", "arg0.plain": "text", "arg0.form": 2, "arg2.flag": True},
    {"method": "rsa_decrypt", "arg0.plain": "text", "arg0.key": harness.PUB2},
    {"method": "rsa_decrypt", "arg0.plain": "text", "arg0.form": 3},
    {"method": "rsa_keys", "arg0.n": 117},
    {"method": "rsa_keys", "count": 0},
    {"method": "rsa_keys", "arg0.n": "53"},
    {"method": "rsa_keys", "arg0.n": 10**30, "keywords": 1},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[1]},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[18]},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[19]},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[34]},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[35]},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[36]},
    {"method": "rsa_keys", "newkeys": "odd", "newkeys~": harness.ODD[39]},
    {"method": "rsa_keys", "newkeys": "raise", "newkeys!": harness.Interrupt},
    {"stubs": 1, "stub0": "b2a_hex", "stub0.how": "delete", "arg2.flag": True},
    {
        "method": "rsa_decrypt",
        "stubs": 1,
        "stub0": "a2b_hex",
        "stub0.how": "odd",
        "arg2.flag": True,
    },
    {"stubs": 1, "stub0": "rsa", "stub0.how": "module", "stub0.hole": 1},
]

if __name__ == "__main__":
    harness.main(METHODS, GLOBALS)

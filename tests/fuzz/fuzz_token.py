"""Fuzz target: HS256 token issue and verification, and the conversion of every verification
failure, with jwt and time replaced at the input's choice."""

import harness

METHODS = ["token", "token_decrypt"]
GLOBALS = ["jwt", "time"]

# Inputs of the test suite, as answers to the harness's questions (see harness.Writer).
SEEDS = [
    {},
    {"arg2.life": 3600.9},
    {"arg2.life": None, "keywords": 2},
    {"arg2.life": "3600"},
    {"arg0.claims": harness.CLAIMS[7]},
    {"arg3.iss": "Elsewhere"},
    {"method": "token_decrypt"},
    {"method": "token_decrypt", "arg0.token": harness.TOKENS[1]},
    {"method": "token_decrypt", "arg0.token": harness.TOKENS[2]},
    {"method": "token_decrypt", "arg0.token": harness.TOKENS[3]},
    {"method": "token_decrypt", "arg0.token": harness.TOKENS[5]},
    {"method": "token_decrypt", "arg0.token": harness.TOKENS[9], "handling": 1},
    {"method": "token_decrypt", "arg1.key": harness.TOKEN_KEYS[1]},
    {"method": "token_decrypt", "count": 1},
    {"method": "token_decrypt", "stubs": 1, "stub0": "jwt", "stub0.how": "delete"},
    {
        "method": "token_decrypt",
        "stubs": 1,
        "stub0": "jwt",
        "stub0.how": "proxy",
        "jwt.decode": "raise",
        "jwt.decode!": harness.Interrupt,
    },
    {
        "method": "token_decrypt",
        "stubs": 1,
        "stub0": "jwt",
        "stub0.how": "proxy",
        "jwt.decode": "raise",
        "jwt.decode!": harness.Exit,
    },
    {
        "method": "token_decrypt",
        "stubs": 1,
        "stub0": "jwt",
        "stub0.how": "proxy",
        "jwt.decode": "raise",
        "jwt.decode!": harness.BadStr,
    },
    {
        "method": "token_decrypt",
        "stubs": 1,
        "stub0": "jwt",
        "stub0.how": "proxy",
        "jwt.decode": "raise",
        "jwt.decode!": harness.Boom,
        "jwt.exceptions": "proxy",
        "jwt.exceptions.ExpiredSignatureError": "odd",
        "jwt.exceptions.ExpiredSignatureError~": harness.ODD[32],
    },
    {
        "method": "token_decrypt",
        "stubs": 1,
        "stub0": "jwt",
        "stub0.how": "proxy",
        "jwt.decode": "raise",
        "jwt.decode!": harness.Boom,
        "jwt.exceptions": "proxy",
        "jwt.exceptions.ExpiredSignatureError": "odd",
        "jwt.exceptions.ExpiredSignatureError~": harness.ODD[31],
    },
    {
        "method": "token_decrypt",
        "arg0.token": harness.TOKENS[1],
        "stubs": 1,
        "stub0": "jwt",
        "stub0.how": "proxy",
        "jwt.exceptions": "raise",
    },
    {
        "stubs": 1,
        "stub0": "time",
        "stub0.how": "proxy",
        "time.time()": "odd",
        "time.time()~": harness.ODD[5],
    },
]

if __name__ == "__main__":
    harness.main(METHODS, GLOBALS)

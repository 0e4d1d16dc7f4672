"""The methods of _Crypt in class-namespace order, written out independently of the C++ table."""

from typing import NamedTuple


class Method(NamedTuple):
    name: str
    kind: str  # "static" or "instance"
    params: str  # the parameter list exactly as the docstring shows it
    defaults: tuple | None


METHODS = [
    Method("__init__", "instance", "self", None),
    Method("aes_ecb", "static", "value, key", None),
    Method("aes_ecb_decrypt", "static", "value, key", None),
    Method("aes_cbc", "static", "value, key, iv", None),
    Method("aes_cbc_decrypt", "static", "value, key, iv", None),
    Method("base64", "static", "value", None),
    Method("base64_decrypt", "static", "value", None),
    Method("des", "static", "value, key", None),
    Method("des_decrypt", "static", "value, key", None),
    Method("md5", "static", "value, fmt", None),
    Method("md5_hmac", "static", "value, key", None),
    Method("php", "instance", "self, value, key, iv, base64s=False", (False,)),
    Method("php_decrypt", "instance", "self, value, key, iv, base64s=False", (False,)),
    Method("_add_to_16", "static", "value", None),
    Method("rsa_keys", "static", "length=2048", (2048,)),
    Method("rsa", "static", "value, pub_key, hexs=False", (False,)),
    Method("rsa_decrypt", "static", "value, pri_key, hexs=False", (False,)),
    Method("sha1", "static", "value, fmt", None),
    Method("sha256", "static", "value, fmt", None),
    Method("sha384", "static", "value, fmt", None),
    Method("sha512", "static", "value, fmt", None),
    Method("token", "static", "data, key, exp_time=86400, issuer='Quarne'", (86400, "Quarne")),
    Method("token_decrypt", "static", "token, key, issuer='Quarne'", ("Quarne",)),
]

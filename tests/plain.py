"""crypt_main's class written in plain Python, step for step: the wrapper the module replaces.

Every step is its own statement, in the module's order, so that with a bad argument and a
missing or replaced module global both raise the same error (the differential fuzzer checks).
"""

import base64
import hashlib
import hmac
import time
from binascii import a2b_hex, b2a_hex

import jwt
import rsa
from Crypto.Cipher import AES, DES
from Crypto.Util.Padding import pad, unpad

__all__ = ["obj"]


class _Crypt:
    def __init__(self):
        pass

    @staticmethod
    def aes_ecb(value, key):
        secret = key.encode("utf-8")
        cryptor = AES.new(secret, AES.MODE_ECB)
        data = value.encode("utf-8")
        text = pad(data, AES.block_size)
        return cryptor.encrypt(text)

    @staticmethod
    def aes_ecb_decrypt(value, key):
        secret = key.encode("utf-8")
        cryptor = AES.new(secret, AES.MODE_ECB)
        padded = cryptor.decrypt(value)
        text = unpad(padded, AES.block_size)
        return text.decode()

    @staticmethod
    def aes_cbc(value, key, iv):
        secret = key.encode("utf-8")
        mode = AES.MODE_CBC
        vector = iv.encode("utf-8")
        cryptor = AES.new(secret, mode, vector)
        data = value.encode("utf-8")
        text = pad(data, AES.block_size)
        return cryptor.encrypt(text)

    @staticmethod
    def aes_cbc_decrypt(value, key, iv):
        secret = key.encode("utf-8")
        mode = AES.MODE_CBC
        vector = iv.encode("utf-8")
        cryptor = AES.new(secret, mode, vector)
        padded = cryptor.decrypt(value)
        text = unpad(padded, AES.block_size)
        return text.decode()

    @staticmethod
    def base64(value):
        return str(base64.encodebytes(value.encode()), encoding="utf-8").replace("\n", "")

    @staticmethod
    def base64_decrypt(value):
        return str(base64.decodebytes(value.encode(encoding="utf-8")), encoding="utf-8")

    @staticmethod
    def des(value, key):
        secret = key.encode("utf-8")
        cryptor = DES.new(secret, DES.MODE_ECB)
        data = value.encode("utf-8")
        text = pad(data, DES.block_size)
        return cryptor.encrypt(text)

    @staticmethod
    def des_decrypt(value, key):
        secret = key.encode("utf-8")
        cryptor = DES.new(secret, DES.MODE_ECB)
        padded = cryptor.decrypt(value)
        text = unpad(padded, DES.block_size)
        return text.decode()

    @staticmethod
    def md5(value, fmt):
        m = hashlib.md5()
        data = value if isinstance(value, bytes) else value.encode(encoding="utf-8")
        m.update(data)
        result = m.hexdigest()
        return result.upper() if fmt == "upper" else result.lower() if fmt == "lower" else result

    @staticmethod
    def md5_hmac(value, key):
        if not isinstance(value, bytes):
            value = value.encode(encoding="utf-8")
        if not isinstance(key, bytes):
            key = key.encode(encoding="utf-8")
        return hmac.new(key, value, digestmod=hashlib.md5).digest()

    def php(self, value, key, iv, base64s=False):
        secret = self._add_to_16(key)
        mode = AES.MODE_CBC
        vector = iv.encode("utf-8")
        cryptor = AES.new(secret, mode, vector)
        padded = self._add_to_16(value)
        result = cryptor.encrypt(padded)
        if base64s:
            result = str(base64.encodebytes(result), encoding="utf-8").replace("\n", "")
        return result

    def php_decrypt(self, value, key, iv, base64s=False):
        secret = self._add_to_16(key)
        mode = AES.MODE_CBC
        vector = iv.encode("utf-8")
        cryptor = AES.new(secret, mode, vector)
        if base64s:
            value = base64.decodebytes(value.encode())
        return cryptor.decrypt(value).decode("gbk").rstrip("\0")

    @staticmethod
    def _add_to_16(value):
        value = value.encode("gbk")
        while len(value) % 16 != 0:
            value += "\0".encode()  # noqa: UP012 -- spelt as the module spells it
        return value

    @staticmethod
    def rsa_keys(length=2048):
        required_bits = (length + 11) * 8
        if required_bits <= 512:
            key_length = 512
        elif required_bits <= 1024:
            key_length = 1024
        elif required_bits <= 2048:
            key_length = 2048
        else:
            key_length = 4096
        pub_key, pri_key = rsa.newkeys(key_length)
        return pub_key, pri_key

    @staticmethod
    def rsa(value, pub_key, hexs=False):
        result = rsa.encrypt(value.encode(), pub_key)
        if hexs:
            return b2a_hex(result)
        return result

    @staticmethod
    def rsa_decrypt(value, pri_key, hexs=False):
        if hexs:
            value = a2b_hex(value)
        return rsa.decrypt(value, pri_key).decode()

    @staticmethod
    def sha1(value, fmt):
        m = hashlib.sha1()
        data = value.encode(encoding="utf-8")
        m.update(data)
        result = m.hexdigest()
        return result.upper() if fmt == "upper" else result.lower() if fmt == "lower" else result

    @staticmethod
    def sha256(value, fmt):
        m = hashlib.sha256()
        data = value.encode(encoding="utf-8")
        m.update(data)
        result = m.hexdigest()
        return result.upper() if fmt == "upper" else result.lower() if fmt == "lower" else result

    @staticmethod
    def sha384(value, fmt):
        m = hashlib.sha384()
        data = value.encode(encoding="utf-8")
        m.update(data)
        result = m.hexdigest()
        return result.upper() if fmt == "upper" else result.lower() if fmt == "lower" else result

    @staticmethod
    def sha512(value, fmt):
        m = hashlib.sha512()
        data = value.encode(encoding="utf-8")
        m.update(data)
        result = m.hexdigest()
        return result.upper() if fmt == "upper" else result.lower() if fmt == "lower" else result

    @staticmethod
    def token(data, key, exp_time=86400, issuer="Quarne"):
        token_dict = {"data": data, "iat": int(time.time()), "iss": issuer}
        if isinstance(exp_time, int):
            token_dict.update(exp=int(time.time()) + exp_time)
        elif isinstance(exp_time, float):
            token_dict.update(exp=int(time.time()) + int(exp_time))
        elif exp_time is not None:
            raise TypeError(
                "exp_time must be an int, a float or None (no expiry), "
                f"not {type(exp_time).__name__}"
            )
        return jwt.encode(token_dict, key, algorithm="HS256")

    @staticmethod
    def token_decrypt(token, key, issuer="Quarne"):
        try:
            return jwt.decode(token, key, issuer=issuer, algorithms=["HS256"]).get("data")
        except jwt.exceptions.ExpiredSignatureError:
            raise TimeoutError("token已过期")  # noqa: B904 -- context only, as callers see it
        except Exception as e:
            raise Exception("系统异常：" + f"{e}")  # noqa: B904


obj = _Crypt()
